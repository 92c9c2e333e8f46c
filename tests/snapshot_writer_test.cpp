// Nobody holds the source lock while the disk works, yet saves happen in event order and commit by the rules.
#include "store/engine_saves.hpp"
#include "support/engine_harness.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace kelvara {
namespace {

using namespace std::chrono_literals;
using Kind = MetadataOutcomeKind;

// Writes nothing until the test opens the gate; then saves, or fails when it was opened with true.
struct GatedStore final : StorePort {
    std::promise<bool> gate;
    std::shared_future<bool> failing = gate.get_future().share();
    std::atomic<int> started = 0;
    std::vector<EngineState> saved; // read once the writer is done with it

    void save(const EngineState& state) override {
        ++started;
        if (failing.get()) {
            throw std::runtime_error("cannot write approval snapshot");
        }
        saved.push_back(state);
    }
    // Polls: std::atomic::wait now and then missed its wake-up with MinGW's runtime under Wine.
    void wait_started() const {
        while (started == 0) {
            std::this_thread::sleep_for(1ms);
        }
    }
};

TEST(DeferredSaves, NothingMovesUntilTheStoreAnswers) {
    test::EngineHarness h({.banner_id = "abc"}, 60, SaveMode::deferred);
    EXPECT_EQ(h.answer(Kind::modified, test::paid("abc", 7), "t"), ""); // handed over, not committed
    // Meanwhile no request goes out, no other change starts, and a repeated answer is still ignored.
    h.engine->poll_if_due();
    EXPECT_FALSE(h.engine->retry_discovery() || h.engine->apply_settings("xyz", false, std::nullopt));
    h.engine->handle_outcome(1, Kind::not_modified, std::nullopt, std::nullopt);
    EXPECT_EQ(h.store.saves.size(), 1u);
    EXPECT_EQ(h.metadata.requests.size(), 1u);
    h.engine->finish_save(true);
    EXPECT_EQ(h.brief(), "C7p Et K7");

    // A failed save keeps an answer and drops a transaction unless told to keep it; a stopped engine commits none.
    h.answer(Kind::not_modified);
    h.engine->finish_save(false);
    ASSERT_TRUE(h.engine->is_review_ready());
    EXPECT_TRUE(h.engine->claim_notification());
    EXPECT_FALSE(h.engine->is_review_ready());
    h.engine->finish_save(false);
    EXPECT_EQ(h.after(h.engine->claim_notification()), "true: C7p D60000 Et K7");
    h.engine->commit_unsaved();
    EXPECT_EQ(h.after(h.engine->reject_candidate()), "true: C7p N7 D60000 Et K7");
    h.engine->stop();
    h.engine->finish_save(true);
    EXPECT_EQ(h.brief(), "C7p N7 D60000 Et K7");
}

TEST(SnapshotWriterTest, CallersWaitWithoutTheLockAndSaveInEventOrder) {
    for (const bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "failing disk" : "working disk");
        GatedStore disk;
        SnapshotWriter writer(disk);
        test::EngineHarness h({.banner_id = "abc"}, 60, SaveMode::deferred, &writer);
        ApprovalEngine& engine = *h.engine;
        EngineSaves saves(engine, writer);
        std::mutex source_mutex;
        {
            // The tick hands over an answer and returns.
            std::lock_guard lock(source_mutex);
            engine.poll_if_due();
            engine.handle_outcome(1, Kind::modified, test::paid("abc", 7), "t");
            saves.note_raiser(SaveRaiser::discovery_answer);
        }
        disk.wait_started();
        // An operator retries meanwhile: it waits for the answer's save without the source lock.
        std::vector<SaveRaiser> finished;
        std::promise<void> calling;
        auto caller = std::async(std::launch::async, [&] {
            std::unique_lock lock(source_mutex, std::defer_lock);
            calling.set_value();
            return saves.run_for_caller(
                lock, [](ApprovalEngine& e) { return e.retry_discovery(); },
                [&](const FinishedSave& save) { finished.push_back(save.raiser); });
        });
        calling.get_future().wait();
        std::this_thread::sleep_for(50ms);
        EXPECT_TRUE(std::unique_lock(source_mutex, std::try_to_lock).owns_lock());
        disk.gate.set_value(failing);

        if (failing) {
            EXPECT_THROW(caller.get(), std::runtime_error);
            EXPECT_EQ(engine.state().etag, "t"); // the answer, which brought it, stays; the retry did not commit
        } else {
            EXPECT_TRUE(caller.get());
            ASSERT_EQ(disk.saved.size(), 2u);
            EXPECT_EQ(disk.saved[0].etag, "t"); // first the answer, then the retry that drops its tag
            EXPECT_FALSE(disk.saved[1].etag);
            EXPECT_EQ(engine.state(), disk.saved[1]);
        }
        EXPECT_EQ(finished, (std::vector<SaveRaiser>{SaveRaiser::discovery_answer, SaveRaiser::caller}));
        EXPECT_FALSE(engine.save_pending());
    }
}

// One write thread serves every source: a write that hangs (a slow disk) keeps no other source's caller waiting,
// which writes its own state itself; stopping the hung source waits for its write.
TEST(SnapshotWriterTest, ASlowWriteDelaysNoOtherSourceAndStopLetsItFinish) {
    GatedStore slow;
    SnapshotWriter stuck(slow);
    stuck.save({.banner_id = "abc"});
    slow.wait_started();
    EXPECT_THROW(stuck.save({.banner_id = "abc"}), std::logic_error); // one at a time
    test::RecordingStore disk;
    SnapshotWriter other(disk);
    other.save({.banner_id = "xyz"});
    auto waiting = std::async(std::launch::async, [&] { other.wait(); });
    EXPECT_EQ(waiting.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(disk.saves.size(), 1u);
    EXPECT_TRUE(other.has_result()); // the flag the idle tick reads
    EXPECT_EQ(other.take_result(), std::optional<std::exception_ptr>(nullptr));
    EXPECT_FALSE(other.has_result());
    // Two at once, as when a source is destroyed while its successor retires it: both wait for the write.
    auto stopping = std::async(std::launch::async, [&] { stuck.stop(); });
    auto also_stopping = std::async(std::launch::async, [&] { stuck.stop(); });
    EXPECT_EQ(stopping.wait_for(50ms), std::future_status::timeout) << "stop did not wait for the write";
    EXPECT_EQ(also_stopping.wait_for(1ms), std::future_status::timeout) << "the second stop did not wait";
    slow.gate.set_value(false);
    stopping.get();
    also_stopping.get();
    EXPECT_EQ(slow.saved.size(), 1u);
    EXPECT_EQ(stuck.take_result(), std::optional<std::exception_ptr>(nullptr));
    EXPECT_THROW(stuck.save({.banner_id = "abc"}), std::logic_error);
}

} // namespace
} // namespace kelvara
