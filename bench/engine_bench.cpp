// The engine's share of one video frame while a candidate waits, the two events that copy and save a state
// with large images, and what polls that find nothing newer write to the disk.
#include "core/approval_engine.hpp"
#include "store/atomic_snapshot_store.hpp"
#include "store/snapshot_writer.hpp"
#include "support/goals.hpp"
#include "test_fixtures/fake_ports.hpp"
#include "test_fixtures/revisions.hpp"
#include "test_fixtures/temp_dir.hpp"

#include <algorithm>
#include <filesystem>
#include <memory>

namespace kelvara::bench {
namespace {

constexpr std::size_t kLargeImage = 16 * 1024 * 1024;
constexpr std::size_t kSmallImage = 1024;

struct NullStore final : StorePort {
    std::size_t saves = 0;
    void save(const EngineState&) override { ++saves; }
};

struct Ports {
    test::FakeClock clock;
    test::RecordingMetadata metadata;
    NullStore store;
    test::RecordingRender render;
};

// Approved revision 5, candidate 7 already announced, next poll a minute away: what every frame sees while
// the operator has not decided yet.
EngineState waiting_state(std::size_t image_size) {
    EngineState state;
    state.banner_id = "abc";
    state.approved = test::make_revision("abc", 5, test::UrlForm::render, image_size);
    state.candidate =
        test::with_flags(test::make_revision("abc", 7, test::UrlForm::render, image_size), true, false, false);
    state.notified_revision = 7;
    state.next_poll_due_ms = 61000;
    return state;
}

void BM_WaitingFrame(::benchmark::State& bench, std::size_t image_size) {
    Ports ports;
    ApprovalEngine engine(waiting_state(image_size), ports.metadata, ports.store, ports.render, ports.clock, 60);
    for (auto _ : bench) {
        engine.poll_if_due();
        if (engine.is_review_ready() && engine.state().website_status == WebsiteStatus::available) {
            ::benchmark::DoNotOptimize(engine.claim_notification());
        }
    }
    if (ports.store.saves != 0 || !ports.metadata.requests.empty()) {
        bench.SkipWithError("the waiting frame saved or polled");
    }
}

template <typename Event>
void BM_EventWithLargeImages(::benchmark::State& bench, Event event) {
    for (auto _ : bench) {
        bench.PauseTiming();
        auto ports = std::make_unique<Ports>();
        auto state = waiting_state(kLargeImage);
        state.candidate_previewed = true;
        auto engine = std::make_unique<ApprovalEngine>(std::move(state), ports->metadata, ports->store, ports->render,
                                                       ports->clock, 60);
        bench.ResumeTiming();
        ::benchmark::DoNotOptimize(event(*engine));
        bench.PauseTiming();
        engine.reset();
        ports.reset();
        bench.ResumeTiming();
    }
}

BENCHMARK_CAPTURE(BM_WaitingFrame, image_16mib, kLargeImage)->Repetitions(15);
BENCHMARK_CAPTURE(BM_WaitingFrame, image_1kib, kSmallImage)->Repetitions(15);
BENCHMARK_CAPTURE(BM_EventWithLargeImages, apply_settings,
                  [](ApprovalEngine& engine) { return engine.apply_settings("xyz", false, std::nullopt); })
    ->Repetitions(5)
    ->Iterations(200);
BENCHMARK_CAPTURE(BM_EventWithLargeImages, accept_candidate,
                  [](ApprovalEngine& engine) { return engine.mark_previewed_and_accept(); })
    ->Repetitions(5)
    ->Iterations(200);

} // namespace
} // namespace kelvara::bench

namespace kelvara::bench {
namespace {

// The bytes each save puts in the snapshot folder.
struct CountingStore final : StorePort {
    AtomicSnapshotStore disk;
    std::uintmax_t written = 0;
    explicit CountingStore(std::filesystem::path path) : disk(std::move(path)) {}
    void save(const EngineState& state) override {
        disk.save(state);
        written += std::filesystem::file_size(disk.path());
    }
};

// One source with a 1 MiB approved banner on the real store and writer: what 20 answers "nothing newer" write.
double bytes_written_by_idle_polls() {
    const test::TempDir folder;
    Ports ports;
    CountingStore disk(folder / "s.approval");
    SnapshotWriter writer(disk);
    ApprovalEngine engine({.banner_id = "abc",
                           .approved = test::make_revision("abc", 5, test::UrlForm::render, 1024 * 1024),
                           .discovery_cursor = 5},
                          ports.metadata, writer, ports.render, ports.clock, 60, SaveMode::deferred);
    for (int poll = 0; poll < 20; ++poll) {
        ports.clock.now = std::max(ports.clock.now, engine.state().next_poll_due_ms);
        engine.poll_if_due();
        engine.handle_outcome(engine.in_flight_request_id(), MetadataOutcomeKind::not_modified, std::nullopt,
                              "\"e" + std::to_string(poll) + "\"");
        if (engine.save_pending()) {
            writer.wait();
            engine.finish_save(!writer.take_result().value_or(nullptr));
        }
    }
    return ports.metadata.requests.size() == 20 ? static_cast<double>(disk.written) : -1.0;
}

} // namespace
} // namespace kelvara::bench

int main(int argc, char** argv) {
    kelvara::bench::CollectingReporter reporter;
    kelvara::bench::run_all(argc, argv, reporter);
    const double idle_bytes = kelvara::bench::bytes_written_by_idle_polls();
    kelvara::bench::report_goal("idle_bytes_written_per_poll", idle_bytes / 20, "==", 0, idle_bytes >= 0);
    const double large = reporter.median_ns("BM_WaitingFrame/image_16mib/repeats:15");
    const double small = reporter.median_ns("BM_WaitingFrame/image_1kib/repeats:15");
    kelvara::bench::report_goal("tick_image_size_ratio", small > 0 ? large / small : 0.0, "<=", 1.2);
    kelvara::bench::report_goal("tick_16mib_median_us", large / 1000.0, "<", 2);
    return 0;
}
