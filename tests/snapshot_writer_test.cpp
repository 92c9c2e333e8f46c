// The snapshot writer and the hand-over of an engine's changes to it: nobody holds the source lock while the
// disk works, yet saves happen in event order and commit by the engine's rules.
#include "store/engine_saves.hpp"
#include "support/engine_harness.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>

namespace kelvara {
namespace {

using namespace std::chrono_literals;
using Kind = MetadataOutcomeKind;
using test::EngineHarness;
using test::paid;

// Writes nothing until the test opens it; then saves, or fails while `fail` is set.
class GatedStore final : public StorePort {
public:
    void save(const EngineState& state) override {
        std::unique_lock lock(mutex_);
        ++started_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        if (fail_) {
            throw std::runtime_error("cannot write approval snapshot");
        }
        saved_.push_back(state);
    }
    void open(bool fail = false) {
        std::lock_guard lock(mutex_);
        open_ = true;
        fail_ = fail;
        changed_.notify_all();
    }
    void wait_started(int count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return started_ >= count; });
    }
    std::vector<EngineState> saved() {
        std::lock_guard lock(mutex_);
        return saved_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    bool fail_ = false;
    int started_ = 0;
    std::vector<EngineState> saved_;
};

TEST(DeferredSaves, NothingMovesUntilTheStoreAnswers) {
    EngineHarness h(EngineHarness::following("abc"), 60, SaveMode::deferred);
    h.engine->poll_if_due();
    const auto id = h.engine->in_flight_request_id();
    h.engine->handle_outcome(id, Kind::modified, paid("abc", 7), "\"t\"");
    ASSERT_TRUE(h.engine->save_pending());
    EXPECT_EQ(h.store.saves.back().candidate->render_revision, 7u); // handed over...
    EXPECT_FALSE(h.state().candidate);                              // ...but not committed

    // Meanwhile no request goes out, no other change starts, and a repeated answer is still ignored.
    h.engine->poll_if_due();
    EXPECT_EQ(h.metadata.requests.size(), 1u);
    EXPECT_FALSE(h.engine->retry_discovery() || h.engine->apply_settings("xyz", false, std::nullopt));
    h.engine->handle_outcome(id, Kind::not_modified, std::nullopt, std::nullopt);
    EXPECT_EQ(h.store.saves.size(), 1u);
    h.engine->finish_save(true);
    EXPECT_EQ(h.state().candidate->render_revision, 7u);
    EXPECT_EQ(h.state().etag, "\"t\"");

    // A failed save keeps an answer's effects and drops a transaction; a stopped engine commits nothing.
    h.answer(Kind::not_modified);
    h.engine->finish_save(false);
    ASSERT_TRUE(h.engine->is_review_ready());
    EXPECT_TRUE(h.engine->claim_notification());
    EXPECT_FALSE(h.engine->is_review_ready());
    h.engine->finish_save(false);
    EXPECT_FALSE(h.state().notified_revision);
    EXPECT_TRUE(h.engine->claim_notification());
    h.engine->stop();
    h.engine->finish_save(true);
    EXPECT_FALSE(h.state().notified_revision);
}

TEST(SnapshotWriterTest, CallersWaitWithoutTheLockAndSaveInEventOrder) {
    for (const bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "failing disk" : "working disk");
        GatedStore disk;
        SnapshotWriter writer(disk);
        test::FakeClock clock;
        test::RecordingMetadata metadata;
        test::RecordingRender render;
        ApprovalEngine engine(EngineHarness::following("abc"), metadata, writer, render, clock, 60, SaveMode::deferred);
        EngineSaves saves(engine, writer);
        std::mutex source_mutex;
        {
            // The tick hands over an answer and returns.
            std::lock_guard lock(source_mutex);
            engine.poll_if_due();
            engine.handle_outcome(1, Kind::modified, paid("abc", 7), "\"t\"");
            saves.note_raiser(SaveRaiser::discovery_answer);
        }
        disk.wait_started(1);
        // An operator retries meanwhile, on a thread that may wait.
        std::vector<SaveRaiser> finished;
        auto caller = std::async(std::launch::async, [&] {
            std::unique_lock lock(source_mutex, std::defer_lock);
            return saves.run_for_caller(
                lock, [](ApprovalEngine& e) { return e.retry_discovery(); },
                [&](const FinishedSave& save) { finished.push_back(save.raiser); });
        });
        bool lock_free = false; // nobody holds the source lock across the write
        for (int attempt = 0; attempt < 100 && !lock_free; ++attempt) {
            std::unique_lock lock(source_mutex, std::try_to_lock);
            lock_free = lock.owns_lock() && engine.save_pending();
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_TRUE(lock_free);
        disk.open(failing);

        if (failing) {
            EXPECT_THROW(caller.get(), std::runtime_error);
            EXPECT_EQ(engine.state().candidate->render_revision, 7u); // the answer stays in memory
            EXPECT_EQ(engine.state().etag, "\"t\"");                  // the retry, which drops it, did not
        } else {
            EXPECT_TRUE(caller.get());
            const auto saved = disk.saved();
            ASSERT_EQ(saved.size(), 2u);
            EXPECT_EQ(saved[0].etag, "\"t\""); // first the answer, then the retry that drops its tag
            EXPECT_FALSE(saved[1].etag);
            EXPECT_EQ(engine.state(), saved[1]);
        }
        EXPECT_EQ(finished, (std::vector<SaveRaiser>{SaveRaiser::discovery_answer, SaveRaiser::caller}));
        EXPECT_FALSE(engine.save_pending());
    }
}

TEST(SnapshotWriterTest, StopLetsTheRunningSaveFinishAndRefusesMore) {
    GatedStore disk;
    SnapshotWriter writer(disk);
    writer.save(EngineHarness::following("abc"));
    disk.wait_started(1);
    auto stopping = std::async(std::launch::async, [&] { writer.stop(); });
    EXPECT_EQ(stopping.wait_for(50ms), std::future_status::timeout) << "stop did not wait for the write";
    disk.open();
    stopping.get();
    EXPECT_EQ(disk.saved().size(), 1u);
    EXPECT_EQ(writer.take_result(), std::optional<std::exception_ptr>(nullptr));
    EXPECT_THROW(writer.save(EngineHarness::following("abc")), std::logic_error);
}

} // namespace
} // namespace kelvara
