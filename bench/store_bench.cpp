// Saving and loading a snapshot with two 16 MiB images, against moving the same bytes with plain system
// calls: what the store's encoding, gathering and checks add on top of the disk work itself.
#include "store/atomic_snapshot_store.hpp"
#include "store/snapshot_codec.hpp"
#include "support/goals.hpp"
#include "test_fixtures/revisions.hpp"
#include "test_fixtures/temp_dir.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace kelvara::bench {
namespace {

constexpr std::size_t kLargeImage = 16 * 1024 * 1024;

EngineState state_with_two_large_images() {
    EngineState state;
    state.banner_id = "abc";
    state.approved = test::make_revision("abc", 5, test::UrlForm::render, kLargeImage);
    state.candidate = test::make_revision("abc", 7, test::UrlForm::render, kLargeImage);
    state.etag = "\"abc-7\"";
    return state;
}

struct Files {
    test::TempDir dir;
    EngineState state = state_with_two_large_images();
    std::vector<std::uint8_t> raw_bytes = encode_snapshot(state);
    std::filesystem::path snapshot = dir / "sources" / "bench.approval";
    std::filesystem::path raw = dir / "sources" / "raw.approval";
};

Files& files() {
    static Files instance;
    return instance;
}

bool raw_save(const std::filesystem::path& target, const std::vector<std::uint8_t>& bytes, bool sync_directory) {
    const auto temporary = target.string() + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok =
        fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && ::fsync(fd) == 0;
    ok = fd >= 0 && ::close(fd) == 0 && ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (ok && sync_directory) {
        const int dir = ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ok = dir >= 0 && ::fsync(dir) == 0;
        ::close(dir);
    }
    return ok;
}

std::vector<std::uint8_t> raw_load(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    std::vector<std::uint8_t> bytes;
    if (fd >= 0 && ::fstat(fd, &status) == 0) {
        bytes.resize(static_cast<std::size_t>(status.st_size));
        if (::read(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            bytes.clear();
        }
    }
    ::close(fd);
    return bytes;
}

void ensure_snapshot() {
    if (!std::filesystem::exists(files().snapshot)) {
        AtomicSnapshotStore(files().snapshot).save(files().state);
    }
}

void BM_Save(::benchmark::State& bench) {
    AtomicSnapshotStore store(files().snapshot);
    for (auto _ : bench) {
        store.save(files().state);
    }
}

// The same bytes with the same durability: data synced before the rename, the directory after it.
void BM_RawWriteSyncRename(::benchmark::State& bench, bool sync_directory) {
    for (auto _ : bench) {
        if (!raw_save(files().raw, files().raw_bytes, sync_directory)) {
            bench.SkipWithError("raw save failed");
        }
    }
}

void BM_Load(::benchmark::State& bench) {
    ensure_snapshot();
    AtomicSnapshotStore store(files().snapshot);
    for (auto _ : bench) {
        auto state = store.load();
        if (!state) {
            bench.SkipWithError("snapshot did not load");
        }
        ::benchmark::DoNotOptimize(state);
    }
}

void BM_RawRead(::benchmark::State& bench) {
    ensure_snapshot();
    for (auto _ : bench) {
        auto bytes = raw_load(files().snapshot);
        if (bytes.size() != files().raw_bytes.size()) {
            bench.SkipWithError("raw read failed");
        }
        ::benchmark::DoNotOptimize(bytes);
    }
}

// Disk timings drift during a run. Registering one round of each compared pair after another (instead of
// all repetitions of one benchmark, then all of the other) spreads the drift over both sides; rounds of one
// benchmark share its name, so the reporter's median is taken over all of them.
constexpr int kSaveRounds = 25;
constexpr int kLoadRounds = 15;
constexpr int kSaveIterations = 3;
constexpr int kLoadIterations = 2;

void register_interleaved_rounds() {
    const auto add = [](const char* name, auto function, int iterations) {
        ::benchmark::RegisterBenchmark(name, function)
            ->Unit(::benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(iterations);
    };
    for (int round = 0; round < kSaveRounds; ++round) {
        add("save", BM_Save, kSaveIterations);
        add(
            "raw_write_sync_rename", [](::benchmark::State& bench) { BM_RawWriteSyncRename(bench, true); },
            kSaveIterations);
        add(
            "raw_without_directory_sync", [](::benchmark::State& bench) { BM_RawWriteSyncRename(bench, false); },
            kSaveIterations);
    }
    for (int round = 0; round < kLoadRounds; ++round) {
        add("load", BM_Load, kLoadIterations);
        add("raw_read", BM_RawRead, kLoadIterations);
    }
}

double ratio(double value, double base) {
    return base > 0 ? value / base : 0.0;
}

} // namespace
} // namespace kelvara::bench

int main(int argc, char** argv) {
    using kelvara::bench::ratio;
    kelvara::bench::register_interleaved_rounds();
    kelvara::bench::CollectingReporter reporter;
    kelvara::bench::run_all(argc, argv, reporter);

    const auto median = [&](const std::string& name, int iterations) {
        return reporter.median_ns(name + "/iterations:" + std::to_string(iterations) + "/real_time");
    };
    const double save = median("save", kelvara::bench::kSaveIterations);
    const double raw = median("raw_write_sync_rename", kelvara::bench::kSaveIterations);
    const double raw_no_dir = median("raw_without_directory_sync", kelvara::bench::kSaveIterations);
    std::printf("save %.1f ms, raw %.1f ms, raw without the directory sync %.1f ms (ratio %.3f)\n", save / 1e6,
                raw / 1e6, raw_no_dir / 1e6, ratio(save, raw_no_dir));
    kelvara::bench::report_goal("save_vs_raw", ratio(save, raw), "<=", 1.15);
    const double load = median("load", kelvara::bench::kLoadIterations);
    const double read = median("raw_read", kelvara::bench::kLoadIterations);
    std::printf("load %.1f ms, raw read %.1f ms\n", load / 1e6, read / 1e6);
    kelvara::bench::report_goal("load_vs_raw", ratio(load, read), "<=", 1.2);
    return 0;
}
