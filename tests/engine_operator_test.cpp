#include "store/atomic_snapshot_store.hpp"
#include "support/engine_harness.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

using Kind = MetadataOutcomeKind;
using test::EngineHarness;
using test::make_revision;
using test::paid;

// A state with an approved revision 5 and a waiting, review-ready candidate 7.
EngineHarness waiting_harness() {
    EngineState state = EngineHarness::following("abc");
    state.approved = make_revision("abc", 5);
    EngineHarness h(state);
    h.answer_modified(paid("abc", 7), "\"t\"");
    h.answer(Kind::not_modified);
    return h;
}

TEST(EngineSettings, SameSettingsTwiceSaveOnce) {
    EngineHarness h;
    EXPECT_TRUE(h.engine->apply_settings("xyz", false, std::nullopt));
    EXPECT_TRUE(h.engine->apply_settings("xyz", false, std::nullopt));
    EXPECT_EQ(h.store.saves.size(), 1u);
    EXPECT_EQ(h.render.shown.size(), 2u); // construction, then the one change
}

TEST(EngineSettings, RefusedSettingsLeaveEverythingAlone) {
    const struct {
        std::string banner_id;
        bool pinned;
        std::optional<std::uint64_t> revision;
    } cases[] = {{"abc", true, std::nullopt}, {"abc", true, 0}, {"xyz", false, 4}, {"a b", false, std::nullopt}};
    for (const auto& c : cases) {
        auto h = waiting_harness();
        h.engine->poll_if_due();
        h.clock.now = h.state().next_poll_due_ms;
        h.engine->poll_if_due();
        ASSERT_TRUE(h.engine->in_flight());
        const auto before = h.state();
        const auto saves = h.store.saves.size();
        EXPECT_FALSE(h.engine->apply_settings(c.banner_id, c.pinned, c.revision));
        EXPECT_EQ(h.state(), before);
        EXPECT_EQ(h.store.saves.size(), saves);
        EXPECT_TRUE(h.engine->in_flight());
    }
}

TEST(EngineSettings, ChangesResetOrKeepTheApproval) {
    const struct {
        const char* name;
        std::string banner_id;
        bool pinned;
        std::optional<std::uint64_t> revision;
        bool reset;
    } cases[] = {
        {"other banner", "xyz", false, std::nullopt, true},
        {"pinned", "abc", true, 5, true},
        {"case differs", "ABC", false, std::nullopt, true},
    };
    for (const auto& c : cases) {
        auto h = waiting_harness();
        ASSERT_TRUE(h.engine->reject_candidate());
        h.engine->poll_if_due();
        EXPECT_TRUE(h.engine->apply_settings(c.banner_id, c.pinned, c.revision)) << c.name;
        const auto& s = h.state();
        EXPECT_EQ(s.banner_id, c.banner_id);
        EXPECT_EQ(s.pinned_revision, c.revision);
        EXPECT_FALSE(s.approved || s.candidate || s.etag || !s.rejected.empty() || s.discovery_cursor) << c.name;
        EXPECT_EQ(s.next_poll_due_ms, 0u);
        EXPECT_FALSE(h.engine->in_flight());
        EXPECT_EQ(h.engine->in_flight_request_id(), 0u);
        EXPECT_FALSE(h.render.shown.back());
    }
    // Re-pinning to another revision also resets, pinned to the same one does not reach the transition.
    EngineState pinned = EngineHarness::following("abc");
    pinned.pinned = true;
    pinned.pinned_revision = 5;
    pinned.approved = make_revision("abc", 5);
    EngineHarness h(pinned);
    EXPECT_TRUE(h.engine->apply_settings("abc", true, 5));
    EXPECT_TRUE(h.state().approved);
    EXPECT_TRUE(h.engine->apply_settings("abc", true, 6));
    EXPECT_FALSE(h.state().approved);
}

TEST(EngineSettings, PollIntervalAppliesFromTheNextSchedule) {
    auto h = waiting_harness();
    const auto due = h.state().next_poll_due_ms;
    h.engine->set_poll_interval(600);
    EXPECT_EQ(h.state().next_poll_due_ms, due);
    EXPECT_TRUE(h.state().candidate && h.state().approved);
    h.clock.now = due;
    h.answer(Kind::not_modified);
    EXPECT_EQ(h.state().next_poll_due_ms, due + 600000);
}

TEST(EngineOperator, AnnouncedOnceEvenAfterPreview) {
    auto h = waiting_harness();
    ASSERT_TRUE(h.engine->is_review_ready());
    EXPECT_TRUE(h.engine->claim_notification());
    EXPECT_EQ(h.state().notified_revision, 7u);
    const auto saves = h.store.saves.size();
    EXPECT_FALSE(h.engine->claim_notification());
    EXPECT_TRUE(h.engine->mark_previewed());
    EXPECT_FALSE(h.engine->claim_notification());
    EXPECT_EQ(h.store.saves.size(), saves + 1);

    h.clock.now = h.state().next_poll_due_ms;
    h.answer_modified(paid("abc", 8));
    EXPECT_FALSE(h.state().candidate_previewed);
    EXPECT_FALSE(h.engine->accept_candidate()); // the newer candidate was never opened
    h.answer(Kind::not_modified);
    EXPECT_TRUE(h.engine->claim_notification());
}

TEST(EngineOperator, AcceptNeedsPreviewAndClearsRejections) {
    auto h = waiting_harness();
    EXPECT_FALSE(h.engine->accept_candidate());
    h.clock.now = h.state().next_poll_due_ms;
    ASSERT_TRUE(h.engine->reject_candidate());
    h.answer_modified(paid("abc", 8));
    ASSERT_EQ(h.state().rejected.size(), 1u);
    EXPECT_TRUE(h.engine->mark_previewed());
    EXPECT_TRUE(h.engine->mark_previewed()); // saves again
    EXPECT_TRUE(h.engine->accept_candidate());
    EXPECT_EQ(h.state().approved->render_revision, 8u);
    EXPECT_FALSE(h.state().candidate || h.state().candidate_previewed || h.state().notified_revision);
    EXPECT_TRUE(h.state().rejected.empty());
    EXPECT_EQ(h.render.shown.back()->render_revision, 8u);
    EXPECT_EQ(h.store.saves.back(), h.state());
}

TEST(EngineOperator, RejectedRevisionIsNeverOfferedAgain) {
    auto h = waiting_harness();
    const auto shown = h.render.shown.size();
    EXPECT_TRUE(h.engine->reject_candidate());
    EXPECT_EQ(h.render.shown.size(), shown);
    EXPECT_EQ(h.state().approved->render_revision, 5u);
    EXPECT_EQ(h.state().rejected, (std::vector<RejectedRevision>{{"abc", 7}}));
    EXPECT_FALSE(h.engine->reject_candidate());

    EXPECT_TRUE(h.engine->retry_discovery());
    h.engine->poll_if_due();
    EXPECT_EQ(h.last_request().after, 7u);
    h.engine->handle_outcome(h.engine->in_flight_request_id(), Kind::modified, paid("abc", 7), std::nullopt);
    EXPECT_FALSE(h.state().candidate);
    h.answer_modified(paid("abc", 8));
    EXPECT_EQ(h.state().candidate->render_revision, 8u);
}

// The store reads back at most 10000 rejections; a state with more would lose its approval at the restart.
TEST(EngineOperator, RejectionsBeyondWhatTheStoreReadsDropTheOldest) {
    const test::TempDir dir;
    AtomicSnapshotStore store(dir / "s.approval");
    EngineState state = EngineHarness::following("abc");
    state.approved = make_revision("abc", 5);
    for (std::uint64_t number = 6; number < 6 + kMaxRejectedRevisions; ++number) {
        state.rejected.push_back({"abc", number});
    }
    state.candidate = paid("abc", 6 + kMaxRejectedRevisions);
    state.discovery_cursor = state.candidate->render_revision;
    test::FakeClock clock;
    test::RecordingMetadata metadata;
    test::RecordingRender render;
    ApprovalEngine engine(state, metadata, store, render, clock, 60);
    ASSERT_TRUE(engine.reject_candidate()); // the 10001st

    const auto restarted = store.load();
    ASSERT_TRUE(restarted);
    EXPECT_EQ(restarted->approved, state.approved);
    ASSERT_EQ(restarted->rejected.size(), kMaxRejectedRevisions);
    EXPECT_EQ(restarted->rejected.front().render_revision, 7u);
    EXPECT_EQ(restarted->rejected.back().render_revision, 6 + kMaxRejectedRevisions);
}

TEST(EngineOperator, RetryNeedsAFollowedBannerAndNothingInFlight) {
    EngineState pinned = EngineHarness::following("abc");
    pinned.pinned = true;
    pinned.pinned_revision = 2;
    for (const auto& state : {pinned, EngineState{}}) {
        EngineHarness h(state);
        EXPECT_FALSE(h.engine->retry_discovery());
        EXPECT_TRUE(h.store.saves.empty());
    }
    EngineHarness h;
    h.engine->poll_if_due();
    EXPECT_FALSE(h.engine->retry_discovery());
    h.engine->handle_outcome(1, Kind::network_failure, std::nullopt, std::nullopt);
    EXPECT_TRUE(h.engine->retry_discovery());
    EXPECT_EQ(h.state().consecutive_failures, 0u);
    EXPECT_EQ(h.state().next_poll_due_ms, 0u);
    EXPECT_EQ(h.state().website_status, WebsiteStatus::offline); // until the next answer
}

TEST(EngineOperator, FailedSaveLeavesTheStateAndSkipsEffects) {
    auto h = waiting_harness();
    ASSERT_TRUE(h.engine->mark_previewed());
    const auto before = h.state();
    const auto shown = h.render.shown.size();
    h.store.fail = true;
    EXPECT_THROW(h.engine->accept_candidate(), std::runtime_error);
    EXPECT_THROW(h.engine->reject_candidate(), std::runtime_error);
    EXPECT_THROW(h.engine->apply_settings("xyz", false, std::nullopt), std::runtime_error);
    EXPECT_EQ(h.state(), before);
    EXPECT_EQ(h.render.shown.size(), shown);
}

TEST(EngineOperator, InvalidStateIsReplacedByTheEmptyOneInTransactions) {
    EngineState broken = EngineHarness::following("abc");
    broken.candidate_previewed = true; // no candidate: invalid
    test::FakeClock clock;
    test::RecordingMetadata metadata;
    test::RecordingStore store;
    test::RecordingRender render;
    ApprovalEngine engine(broken, metadata, store, render, clock, 60);
    EXPECT_EQ(engine.state(), EngineState{});
    EXPECT_FALSE(engine.retry_discovery());
    EXPECT_TRUE(engine.apply_settings("abc", false, std::nullopt));
    EXPECT_TRUE(is_valid_state(engine.state()));
}

} // namespace
} // namespace kelvara
