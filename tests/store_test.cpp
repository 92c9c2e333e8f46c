#include "core/log.hpp"
#include "store/atomic_snapshot_store.hpp"
#include "store/snapshot_codec.hpp"
#include "store/utf8_path.hpp"
#include "support/platform_files.hpp"
#include "test_fixtures/revisions.hpp"
#include "test_fixtures/temp_dir.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

namespace kelvara {
namespace {

using test::make_revision;
using test::UrlForm;
using Bytes = std::vector<std::uint8_t>;

// A snapshot file of any version, built apart from the store's encoder; size 0 skips a field the version lacks.
struct FileBuilder {
    std::uint32_t version;
    Bytes out;

    FileBuilder& uint(std::uint64_t value, int size) {
        for (int i = 0; i < size; ++i) {
            out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
        return *this;
    }
    FileBuilder& text(const std::string& value) {
        uint(value.size(), 8).out.insert(out.end(), value.begin(), value.end());
        return *this;
    }
    FileBuilder& optional(const std::optional<std::uint64_t>& value, std::uint32_t since = 0) {
        return version < since ? *this : value ? uint(1, 1).uint(*value, 8) : uint(0, 1);
    }
    FileBuilder& revision(const std::optional<RenderRevision>& r) {
        if (uint(r.has_value(), 1); !r) {
            return *this;
        }
        text(r->banner_id).uint(r->render_revision, 8).uint(r->latest_painting_sequence, version >= 7 ? 8 : 0);
        text(r->image_url).text(r->content_type).uint(r->image_bytes.size(), 8);
        out.insert(out.end(), r->image_bytes.begin(), r->image_bytes.end());
        const int flag = version >= 5 ? 1 : 0;
        uint(r->width, 4).uint(r->height, 4).uint(r->contains_paid_artwork, flag);
        return uint(r->contains_filter_change, flag).uint(r->contains_moderation, flag);
    }
    Bytes state(const EngineState& s) {
        uint(version, 4).text(s.banner_id).uint(s.pinned, 1).optional(s.pinned_revision);
        revision(s.approved).revision(s.candidate).uint(s.rejected.size(), 8);
        for (const auto& entry : s.rejected) {
            text(entry.banner_id).uint(entry.render_revision, 8);
        }
        uint(static_cast<std::uint32_t>(s.website_status), 4).uint(s.candidate_previewed, 1);
        optional(s.notified_revision, 4).uint(s.consecutive_failures, 4).uint(s.next_poll_due_ms, 8);
        s.etag ? uint(1, 1).text(*s.etag) : uint(0, 1);
        return uint(s.discovery_cursor, version >= 6 ? 8 : 0).optional(s.legacy_baseline, 7).out;
    }
};

// Counts what the decoder takes, to tell a limit refusal (stops at the count) from a later rejection.
struct CountingSource final : SnapshotSource {
    std::span<const std::uint8_t> bytes;
    std::size_t consumed = 0;
    bool read(std::span<std::uint8_t> out) override {
        if (!may_hold(out.size())) {
            return false;
        }
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(consumed), out.size(), out.begin());
        consumed += out.size();
        return true;
    }
    bool may_hold(std::uint64_t count) const override { return count <= bytes.size() - consumed; }
};

const EngineState kBannerOnly{.banner_id = "abc"};

// Every optional field present, two form-crossing revisions (see the state invariants).
EngineState full_state(std::size_t image_size = 33) {
    return {.banner_id = "b1",
            .approved = test::with_flags(make_revision("b1", 5, UrlForm::revision, image_size), true, false, true),
            .candidate = test::with_flags(make_revision("b1", 7, UrlForm::render, image_size), false, true, false),
            .rejected = {{"b1", 6}, {"b1", 9}},
            .website_status = WebsiteStatus::offline,
            .candidate_previewed = true,
            .notified_revision = 7,
            .consecutive_failures = 3,
            .next_poll_due_ms = 12345,
            .etag = "\"x1\"",
            .discovery_cursor = 9,
            .legacy_baseline = 50};
}

std::string save_error(AtomicSnapshotStore& store, const EngineState& state) try {
    store.save(state);
    return "saved";
} catch (const std::exception& error) {
    return error.what();
}

TEST(SnapshotStore, SavesTheKnownBytesAndLoadsWhatItSaved) {
    Bytes golden = {7, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c'};
    golden.resize(55, 0);
    EXPECT_EQ(FileBuilder({7, {}}).state(kBannerOnly), golden);
    const test::TempDir dir;
    AtomicSnapshotStore store(dir / "sources" / "s.approval");
    store.save(kBannerOnly);
    // Read through a stream closed at once: Windows cannot replace a file that is still open.
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(std::ifstream(store.path(), std::ios::binary).rdbuf()), {}), golden);

    const EngineState pinned{.banner_id = "p", .pinned = true, .pinned_revision = 4, .approved = make_revision("p", 4)};
    // Image sizes cross the reader's 64 KiB buffer in each way: inside it, beyond its end, far larger.
    for (const auto& state : {pinned, full_state(), full_state(40000), full_state(70000),
                              full_state(kMaxSnapshotImageBytes), kBannerOnly}) {
        store.save(state);
        EXPECT_EQ(store.load(), state);
    }
    // Each change of banner set the snapshot it replaced aside, the approval of b1 last; no temporary file stays.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "sources"), {}), 2);
    EXPECT_EQ(store.load_previous(), full_state(kMaxSnapshotImageBytes));
    store.save({.banner_id = "xyz"}); // nothing to review in abc: b1 stays set aside
    EXPECT_EQ(store.load_previous(), full_state(kMaxSnapshotImageBytes));
}

TEST(SnapshotStore, ReadsOlderVersionsWithTheirMigrations) {
    const auto stored = full_state();
    auto v6 = stored;
    v6.approved->latest_painting_sequence = v6.candidate->latest_painting_sequence = 0;
    v6.legacy_baseline = 5; // the approved image has the "/revision/" form
    // Before the cursor, discovery starts over from the approval.
    const EngineState v5{
        .banner_id = "b1", .approved = v6.approved, .website_status = WebsiteStatus::offline, .legacy_baseline = 5};
    auto v4 = v5;
    v4.approved = test::with_flags(*v4.approved, false, false, false);
    auto render_form = stored;
    render_form.approved = make_revision("b1", 5, UrlForm::render);
    auto render_form_v6 = render_form;
    render_form_v6.approved->latest_painting_sequence = render_form_v6.candidate->latest_painting_sequence = 0;
    render_form_v6.legacy_baseline.reset();

    const std::vector<std::tuple<std::uint32_t, EngineState, std::optional<EngineState>>> rows = {
        {7, stored, stored}, {6, stored, v6},           {5, stored, v5},           {4, stored, v4},
        {3, stored, v4},     {2, stored, std::nullopt}, {8, stored, std::nullopt}, {6, render_form, render_form_v6},
    };
    for (const auto& [version, state, expected] : rows) {
        EXPECT_EQ(decode_snapshot(FileBuilder{version, {}}.state(state)), expected) << "version " << version;
    }
}

// Each limit at its edge: a field at it is read to the end, one past it is refused at its count, unread.
TEST(SnapshotStore, ChecksEveryLimitAtItsEdge) {
    using S = EngineState&;
    const std::tuple<const char*, void (*)(S, std::size_t), std::size_t, bool> rows[] = {
        {"banner id", [](S s, std::size_t n) { s.banner_id.assign(n, 'a'); }, 256, false},
        {"rejected id", [](S s, std::size_t n) { s.rejected[0].banner_id.assign(n, 'a'); }, 256, false},
        {"url", [](S s, std::size_t n) { s.approved->image_url.resize(n, 'u'); }, 2048, false},
        {"type", [](S s, std::size_t n) { s.approved->content_type.resize(n, 't'); }, 128, false},
        {"etag", [](S s, std::size_t n) { s.etag = std::string(n, 'e'); }, 2048, true},
        {"image", [](S s, std::size_t n) { s.approved->image_bytes = ImageBytes(test::png_header_bytes(64, 16, n)); },
         16777216, true},
        {"rejected", [](S s, std::size_t n) { s.rejected = std::vector(n, s.rejected[0]); }, 10000, true},
        {"status", [](S s, std::size_t n) { s.website_status = static_cast<WebsiteStatus>(n); }, 5, true},
        {"failures", [](S s, std::size_t n) { s.consecutive_failures = static_cast<std::uint32_t>(n); }, 16, true},
    };
    for (const auto& [name, set, limit, loads] : rows) {
        for (const auto size : {limit, limit + 1}) {
            auto state = full_state();
            set(state, size);
            const auto bytes = encode_snapshot(state);
            CountingSource source;
            source.bytes = bytes;
            const auto loaded = decode_snapshot(source);
            EXPECT_EQ(loaded, size == limit && loads ? std::optional(state) : std::nullopt) << name << size;
            EXPECT_TRUE(size == limit ? source.consumed == bytes.size() : bytes.size() - source.consumed >= size)
                << name << size << " read " << source.consumed;
        }
    }
}

TEST(SnapshotStore, ReadsMarkerBytesAsTheFormatDefines) {
    const auto golden = encode_snapshot(kBannerOnly);
    const EngineState with_approved{.banner_id = "abc", .approved = make_revision("abc", 2)};
    const auto patched = [](Bytes bytes, std::size_t offset, std::uint8_t value) {
        bytes[offset] = value;
        return bytes;
    };
    auto longer = golden;
    longer.insert(longer.end(), {1, 2, 3});
    const std::vector<std::tuple<const char*, Bytes, std::optional<EngineState>>> rows = {
        {"pinned_revision presence 2: absent, no number", patched(golden, 16, 2), kBannerOnly},
        {"etag presence 2", patched(golden, 45, 2), kBannerOnly},
        {"revision block presence 2: present", patched(encode_snapshot(with_approved), 17, 2), with_approved},
        {"pinned byte 2 is damage", patched(golden, 15, 2), std::nullopt},
        {"bytes after the last field", longer, kBannerOnly},
    };
    for (const auto& [name, bytes, expected] : rows) {
        EXPECT_EQ(decode_snapshot(bytes), expected) << name;
    }
}

TEST(SnapshotStore, BuildsSnapshotPathsOnlyFromSafeNames) {
    const std::string longest(128, 'a'); // the alphabet is the banner IDs' (BannerId test)
    EXPECT_EQ(snapshot_path("/cfg", longest), std::filesystem::path("/cfg/sources/" + longest + ".approval"));
    EXPECT_THROW(snapshot_path("", "abc"), std::invalid_argument);
    EXPECT_THROW(snapshot_path("/cfg", longest + "a"), std::invalid_argument);
    EXPECT_THROW(snapshot_path("/cfg", "../x"), std::invalid_argument);
}

// Nothing loads from a file cut anywhere, a missing file (making no folder) or a pipe, where a read would block.
TEST(SnapshotStore, LoadsOnlyAWholeRegularFile) {
    const test::TempDir dir;
    const auto bytes = encode_snapshot(full_state());
    AtomicSnapshotStore store(dir / "s.approval");
    for (std::size_t size = 0; size <= bytes.size(); ++size) {
        std::ofstream(store.path(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), size);
        const auto expected = size < bytes.size() ? std::nullopt : std::optional(full_state());
        ASSERT_EQ(decode_snapshot(std::span(bytes).first(size)), expected) << size;
        ASSERT_EQ(store.load(), expected) << size;
    }
    // A crash between setting the old snapshot aside and moving the new one in: the whole temporary file is
    // the state about to be saved, and takes its place. A cut one does not.
    const auto temporary = store.path().string() + ".tmp";
    std::filesystem::rename(store.path(), temporary);
    EXPECT_EQ(store.load(), full_state());
    EXPECT_TRUE(std::filesystem::exists(store.path()));
    std::filesystem::rename(store.path(), temporary);
    std::filesystem::resize_file(temporary, bytes.size() - 1);
    EXPECT_EQ(store.load(), std::nullopt);
    EXPECT_EQ(AtomicSnapshotStore(dir / "sources" / "s.approval").load(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(dir / "sources"));
    const test::PipeInFilePlace pipe(dir.path());
    EXPECT_EQ(AtomicSnapshotStore(pipe.path).load(), std::nullopt);
}

// Under a UTF-8 user folder as OBS gives it, so that the error paths too meet a name the narrow encoding lacks.
TEST(SnapshotStore, AFailedSaveKeepsThePreviousSnapshot) {
    const test::TempDir temp;
    const auto dir = temp.path() / path_from_utf8("S\xc3\xb8ren \xc5\x81ukasz/plugin_config");
    AtomicSnapshotStore store(snapshot_path(dir, "abc"));
    store.save(full_state());
    EXPECT_EQ(std::filesystem::directory_iterator(temp.path())->path().filename(),
              std::filesystem::path(u8"S\u00f8ren \u0141ukasz"));

    // The temporary file's name is taken by a directory: it cannot be opened. The snapshot of another banner
    // stays in place, to be set aside by the next save.
    std::filesystem::create_directory(dir / "sources" / "abc.approval.tmp");
    EXPECT_EQ(save_error(store, kBannerOnly), "cannot open temporary approval snapshot");
    std::filesystem::remove(dir / "sources" / "abc.approval.tmp");
    EXPECT_EQ(AtomicSnapshotStore(store.path()).load(), full_state());
    store.save(kBannerOnly);
    EXPECT_EQ(store.load_previous(), full_state());
#ifndef _WIN32
    // Writes beyond the file size limit, which Windows lacks, fail with EFBIG (SIGXFSZ ignored meanwhile).
    rlimit original{};
    ::getrlimit(RLIMIT_FSIZE, &original);
    const auto previous_handler = ::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{1000, original.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &small);
    const auto error = save_error(store, full_state(5000));
    ::setrlimit(RLIMIT_FSIZE, &original);
    ::signal(SIGXFSZ, previous_handler);
    EXPECT_EQ(error, "cannot write approval snapshot");
    EXPECT_FALSE(std::filesystem::exists(dir / "sources" / "abc.approval.tmp"));
#endif

    // A directory in the snapshot's place cannot be replaced by a file.
    AtomicSnapshotStore blocked(dir / "taken");
    std::filesystem::create_directories(dir / "taken" / "inner");
    EXPECT_EQ(save_error(blocked, kBannerOnly), "cannot atomically replace approval snapshot");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "taken" / "inner"));
    EXPECT_FALSE(std::filesystem::exists(dir / "taken.tmp"));

    // A regular file where the directory should be.
    AtomicSnapshotStore orphan(store.path() / "sub" / "x.approval");
    EXPECT_NE(save_error(orphan, kBannerOnly).find("create_directories"), std::string::npos);
    EXPECT_EQ(store.load(), kBannerOnly);
}

// Scanners open a new snapshot without sharing deletion: on Windows a save waits out a short hold, not a long one.
TEST(SnapshotStore, ReplacesASnapshotThatAnotherProgramHoldsOpen) {
    const test::TempDir dir;
    AtomicSnapshotStore store(dir / "s.approval");
    store.save(kBannerOnly);
    {
        auto scanner = test::hold_open(store.path());
        const std::jthread release([&scanner] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            scanner.reset();
        });
        EXPECT_EQ(save_error(store, full_state()), "saved");
    }
    EXPECT_EQ(store.load(), full_state());

    auto scanner = test::hold_open(store.path());
    const auto error = save_error(store, kBannerOnly);
    scanner.reset();
    EXPECT_EQ(error, test::kWindows ? "cannot atomically replace approval snapshot" : "saved");
    EXPECT_EQ(store.load(), test::kWindows ? full_state() : kBannerOnly);
    EXPECT_FALSE(std::filesystem::exists(dir / "s.approval.tmp"));
}

#ifdef __linux__
// Every fsync and rename of the test program, which the Linux build wraps (--wrap in tests/CMakeLists.txt).
std::vector<std::string> watched_calls;
bool fail_directory_syncs = false;
std::vector<std::string> logged;
#endif

// A crash must find the old snapshot or the new one whole: data synced before the rename, new directories after.
TEST(SnapshotStore, SyncsTheDataThenRenamesThenSyncsTheDirectory) {
#ifndef __linux__
    GTEST_SKIP() << "watches the store's calls through the linker's --wrap, used by the Linux build only";
#else
    const test::TempDir temp;
    const auto dir = std::filesystem::canonical(temp.path()).string();
    watched_calls.clear();
    AtomicSnapshotStore(dir + "/s.approval").save(full_state());
    AtomicSnapshotStore(dir + "/a/b/s.approval").save(kBannerOnly);
    const auto tmp = dir + "/s.approval.tmp", new_tmp = dir + "/a/b/s.approval.tmp";
    EXPECT_EQ(watched_calls,
              (std::vector<std::string>{"sync " + tmp, "rename " + tmp + " " + dir + "/s.approval", "sync " + dir,
                                        "sync " + dir + "/a", "sync " + dir, "sync " + new_tmp,
                                        "rename " + new_tmp + " " + dir + "/a/b/s.approval", "sync " + dir + "/a/b"}));
    // Another banner: the old snapshot is set aside only once the new one is durable.
    watched_calls.clear();
    AtomicSnapshotStore switched(dir + "/s.approval");
    switched.load();
    switched.save(kBannerOnly);
    EXPECT_EQ(watched_calls,
              (std::vector<std::string>{"sync " + tmp, "rename " + dir + "/s.approval " + dir + "/s.previous.approval",
                                        "rename " + tmp + " " + dir + "/s.approval", "sync " + dir}));

    // Once renamed, the new snapshot is what the next start loads: a folder that cannot be synced afterwards
    // must not turn the save into a failure, only into a warning.
    logged.clear();
    set_log_sink([](LogLevel, const char* line) { logged.emplace_back(line); });
    fail_directory_syncs = true;
    AtomicSnapshotStore store(dir + "/s.approval");
    const auto error = save_error(store, full_state());
    fail_directory_syncs = false;
    set_log_sink(nullptr);
    EXPECT_EQ(error, "saved");
    EXPECT_EQ(store.load(), full_state());
    EXPECT_EQ(logged, std::vector<std::string>{"[kelvara] Approval snapshot saved, but its folder could not be "
                                               "synced: it may not survive a power loss (Input/output error)"});
#endif
}

} // namespace
} // namespace kelvara

#ifdef __linux__
extern "C" {
int __real_fsync(int fd);
int __real_rename(const char* from, const char* to);

int __wrap_fsync(int fd) {
    std::error_code error; // an unknown path shows as an empty one
    const auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
    kelvara::watched_calls.push_back("sync " + path.string());
    if (kelvara::fail_directory_syncs && std::filesystem::is_directory(path, error)) {
        errno = EIO;
        return -1;
    }
    return __real_fsync(fd);
}
int __wrap_rename(const char* from, const char* to) {
    kelvara::watched_calls.push_back("rename " + std::string(from) + " " + to);
    return __real_rename(from, to);
}
}
#endif
