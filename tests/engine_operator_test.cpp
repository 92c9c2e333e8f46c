#include "store/snapshot_codec.hpp"
#include "support/engine_harness.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

using Kind = MetadataOutcomeKind;
using test::EngineHarness;
using test::make_revision;
using test::paid;

// A state with an approved revision 5 and a waiting, review-ready candidate 7.
EngineHarness waiting_harness() {
    EngineHarness h({.banner_id = "abc", .approved = make_revision("abc", 5)});
    h.answer(Kind::modified, paid("abc", 7), "t");
    h.answer(Kind::not_modified);
    return h;
}

// Refused settings answer false, the current ones true (neither saves nor drops the request); others start over.
TEST(EngineSettings, ChangesStartOverRefusalsAndRepeatsChangeNothing) {
    const std::tuple<std::string, bool, std::optional<std::uint64_t>, const char*> cases[] = {
        {"abc", true, std::nullopt, "false: A5 R7 offline F1 D0 Et K7"},
        {"abc", true, 0, "false: A5 R7 offline F1 D0 Et K7"},
        {"xyz", false, 4, "false: A5 R7 offline F1 D0 Et K7"},
        {"a b", false, std::nullopt, "false: A5 R7 offline F1 D0 Et K7"},
        {"abc", false, std::nullopt, "true: A5 R7 offline F1 D0 Et K7"},
        {"xyz", false, std::nullopt, "true: "},
        {"abc", true, 5, "true: pin5"},
        {"ABC", false, std::nullopt, "true: "}};
    for (const auto& [banner_id, pinned, revision, expected] : cases) {
        auto h = waiting_harness();
        ASSERT_TRUE(h.engine->reject_candidate());
        h.answer(Kind::network_failure);
        h.clock.now = h.state().next_poll_due_ms;
        h.engine->poll_if_due();
        const auto before = h.brief();
        const auto saves = h.store.saves.size();
        EXPECT_EQ(h.after(h.engine->apply_settings(banner_id, pinned, revision)), expected);
        const bool changed = h.brief() != before;
        EXPECT_EQ(h.state().banner_id, changed ? banner_id : "abc");
        EXPECT_EQ(h.store.saves.size(), saves + (changed ? 1 : 0));
        EXPECT_EQ(h.engine->in_flight(), !changed);
    }
}

// The state a change replaces comes back when the settings return to it (asking the service again at once,
// without its tag); one state is kept, the last one that held review work.
TEST(EngineSettings, AReplacedStateWithReviewWorkReturnsWithItsSettings) {
    auto h = waiting_harness();
    h.engine->set_kept_state(EngineState{.banner_id = "old", .approved = make_revision("old", 1)});
    const std::tuple<std::string, std::optional<std::uint64_t>, const char*> steps[] = {
        {"xyz", std::nullopt, ""},          // abc kept, old dropped
        {"abc", 5, "pin5"},                 // xyz held nothing: abc stays kept
        {"abc", std::nullopt, "A5 C7p K7"}, // abc returns
        {"old", std::nullopt, ""},          // abc kept
        {"abc", std::nullopt, "A5 C7p K7"}, // returns again, the empty old one is not kept
        {"old", std::nullopt, ""},
    };
    for (const auto& [banner_id, pinned_revision, expected] : steps) {
        EXPECT_EQ(h.after(h.engine->apply_settings(banner_id, pinned_revision.has_value(), pinned_revision)),
                  std::string("true: ") + expected)
            << banner_id;
        EXPECT_EQ(h.render.shown.back(), h.state().approved);
    }
    h.answer(Kind::modified, paid("old", 2));
    ASSERT_TRUE(h.engine->apply_settings("xyz", false, std::nullopt)); // old kept now, abc gone
    EXPECT_EQ(h.after(h.engine->apply_settings("abc", false, std::nullopt)), "true: ");
    EXPECT_EQ(h.after(h.engine->apply_settings("old", false, std::nullopt)), "true: C2p K2");

    // Only a valid state of other settings with review work is taken at creation.
    for (const EngineState& kept : {EngineState{.banner_id = "old"}, EngineState{.banner_id = "old", .pinned = true},
                                    EngineState{.banner_id = "abc", .rejected = {{"abc", 3}}}}) {
        EngineHarness fresh;
        fresh.engine->set_kept_state(kept);
        EXPECT_EQ(fresh.engine->kept_state(), std::nullopt);
    }
}

TEST(EngineOperator, AnnouncedOnce) {
    auto h = waiting_harness();
    EXPECT_EQ(h.after(h.engine->claim_notification()), "true: A5 C7p N7 D60000 Et K7");
    EXPECT_EQ(h.after(h.engine->claim_notification()), "false: A5 C7p N7 D60000 Et K7");
    EXPECT_EQ(h.answer(Kind::modified, paid("abc", 8)), "A5 C8p Et K8");
    EXPECT_FALSE(h.engine->is_review_ready()); // until discovery has caught up
    h.answer(Kind::not_modified);
    EXPECT_TRUE(h.engine->claim_notification());

    // A candidate beside an older approval's baseline is not announced until the baseline is gone.
    EngineHarness legacy({.banner_id = "abc",
                          .approved = make_revision("abc", 500, test::UrlForm::revision),
                          .candidate = paid("abc", 3),
                          .legacy_baseline = 100});
    EXPECT_FALSE(legacy.engine->claim_notification());
    EXPECT_EQ(legacy.answer(Kind::not_modified), "A500 C3p D60000");
    EXPECT_TRUE(legacy.engine->claim_notification());
}

// Until an acceptance, which clears the rejections.
TEST(EngineOperator, RejectedRevisionIsNeverOfferedAgain) {
    auto h = waiting_harness();
    const auto shown = h.render.shown.size();
    EXPECT_EQ(h.after(h.engine->reject_candidate()), "true: A5 R7 D60000 Et K7");
    EXPECT_EQ(h.render.shown.size(), shown);
    EXPECT_FALSE(h.engine->reject_candidate());
    EXPECT_EQ(h.answer(Kind::modified, paid("abc", 7)), "A5 R7 Et K7");
    EXPECT_EQ(h.metadata.requests.back().second.after, 7u);
    EXPECT_EQ(h.answer(Kind::modified, paid("abc", 8)), "A5 C8p R7 Et K8");
    EXPECT_EQ(h.after(h.engine->mark_previewed_and_accept()), "true: A8p Et K8");
    EXPECT_FALSE(h.engine->mark_previewed_and_accept());

    // The store reads back at most 10000 rejections: a state with more would not load after a restart.
    EngineState full{.banner_id = "abc", .candidate = paid("abc", 6 + kMaxRejectedRevisions)};
    for (std::uint64_t number = 6; number < 6 + kMaxRejectedRevisions; ++number) {
        full.rejected.push_back({"abc", number});
    }
    EngineHarness at_limit(full);
    ASSERT_TRUE(at_limit.engine->reject_candidate());                                // the 10001st
    EXPECT_EQ(decode_snapshot(encode_snapshot(at_limit.state())), at_limit.state()); // what a restart reads
    EXPECT_EQ(at_limit.state().rejected.front().render_revision, 7u);                // the oldest went
}

// Retry and polling need a followed banner (not pinned, not the empty state that replaces an invalid one); retry
// also waits for the answer in flight, and clears the back-off and the entity tag.
TEST(EngineOperator, RetryNeedsAFollowedBannerAndNothingInFlight) {
    for (const EngineState& state : {EngineState{}, EngineState{.banner_id = "abc", .candidate_previewed = true},
                                     EngineState{.banner_id = "abc", .pinned = true, .pinned_revision = 2}}) {
        EngineHarness h(state);
        h.engine->poll_if_due();
        EXPECT_FALSE(h.engine->retry_discovery());
        EXPECT_TRUE(h.store.saves.empty() && h.metadata.requests.empty());
    }
    EngineHarness h;
    h.answer(Kind::not_modified, std::nullopt, "t");
    h.clock.now = h.state().next_poll_due_ms;
    h.engine->poll_if_due();
    EXPECT_FALSE(h.engine->retry_discovery());
    h.engine->handle_outcome(2, Kind::network_failure, std::nullopt, std::nullopt);
    EXPECT_EQ(h.after(h.engine->retry_discovery()), "true: offline"); // the status stays until the next answer
}

} // namespace
} // namespace kelvara
