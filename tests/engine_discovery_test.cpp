#include "support/engine_harness.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

using Kind = MetadataOutcomeKind;
using test::EngineHarness;
using test::filter_only;
using test::make_revision;
using test::paid;
using test::UrlForm;

TEST(EngineDiscovery, PagesOneRevisionPerAnswerThenWaits) {
    EngineHarness h;
    h.engine->poll_if_due();
    ASSERT_EQ(h.metadata.requests.size(), 1u);
    EXPECT_EQ(h.metadata.requests[0].first, 1u);
    EXPECT_EQ(h.last_request(), (DiscoveryRequest{"abc", std::nullopt, 5000, 0}));

    for (const std::uint64_t number : {3u, 5u, 9u}) {
        h.engine->handle_outcome(h.engine->in_flight_request_id(), Kind::modified, paid("abc", number), "\"t\"");
        h.engine->poll_if_due(); // same tick: the next page goes out at once
        EXPECT_EQ(h.last_request().after, number);
    }
    EXPECT_EQ(h.metadata.requests.size(), 4u);
    EXPECT_EQ(h.state().candidate->render_revision, 9u);
    EXPECT_EQ(h.last_request().etag, "\"t\"");
    EXPECT_FALSE(h.engine->is_review_ready());

    h.engine->handle_outcome(h.engine->in_flight_request_id(), Kind::not_modified, std::nullopt, std::nullopt);
    EXPECT_EQ(h.state().next_poll_due_ms, h.clock.now + 60000);
    EXPECT_TRUE(h.engine->is_review_ready());
    h.clock.now += 59999;
    h.engine->poll_if_due();
    EXPECT_EQ(h.metadata.requests.size(), 4u);
    h.clock.now += 1;
    h.engine->poll_if_due();
    EXPECT_EQ(h.metadata.requests.size(), 5u);
    EXPECT_EQ(h.store.saves.size(), 4u); // one per handled outcome, none for polling
}

TEST(EngineDiscovery, BackOffDoublesToTheCapAndCountsToSixteen) {
    EngineHarness h;
    const std::uint64_t expected_delays[] = {5000, 10000, 20000, 40000, 80000, 160000, 300000, 300000};
    for (std::uint32_t failure = 1; failure <= 20; ++failure) {
        h.answer(failure % 2 ? Kind::network_failure : Kind::malformed);
        const auto delay = failure <= 8 ? expected_delays[failure - 1] : 300000;
        EXPECT_EQ(h.state().next_poll_due_ms, h.clock.now + delay) << failure;
        EXPECT_EQ(h.state().consecutive_failures, std::min(failure, 16u));
        EXPECT_EQ(h.state().website_status, WebsiteStatus::offline);
        h.clock.now += delay;
    }
    h.answer(Kind::not_found);
    EXPECT_EQ(h.state().consecutive_failures, 16u); // service answers other than success keep the counter
    EXPECT_EQ(h.state().website_status, WebsiteStatus::not_found);
    EXPECT_EQ(h.state().next_poll_due_ms, h.clock.now + 60000);
    h.clock.now += 60000;
    h.answer(Kind::not_modified);
    EXPECT_EQ(h.state().consecutive_failures, 0u);
    EXPECT_EQ(h.state().website_status, WebsiteStatus::available);

    // A count at its type's limit (only a crafted state has one) saturates instead of wrapping to 0.
    EngineState worn = EngineHarness::following("abc");
    worn.consecutive_failures = UINT32_MAX;
    EngineHarness limit(worn);
    limit.answer(Kind::network_failure);
    EXPECT_EQ(limit.state().consecutive_failures, 16u);
    EXPECT_EQ(limit.state().next_poll_due_ms, limit.clock.now + 300000);
}

TEST(EngineDiscovery, ServiceRefusalsSetTheirStatusAndWaitTheInterval) {
    const struct {
        Kind kind;
        WebsiteStatus status;
        std::uint64_t delay;
    } cases[] = {{Kind::not_found, WebsiteStatus::not_found, 120000},
                 {Kind::forbidden, WebsiteStatus::forbidden, 120000},
                 {Kind::gone, WebsiteStatus::unavailable, 120000},
                 {Kind::moderated, WebsiteStatus::moderated, 120000},
                 {static_cast<Kind>(99), WebsiteStatus::offline, 5000}};
    for (const auto& c : cases) {
        EngineHarness h(EngineHarness::following("abc"), 120);
        h.answer(c.kind, std::nullopt, "\"ignored\"");
        EXPECT_EQ(h.state().website_status, c.status);
        EXPECT_EQ(h.state().next_poll_due_ms, h.clock.now + c.delay);
        EXPECT_FALSE(h.state().etag);
    }
}

TEST(EngineDiscovery, EntityTagKeptReplacedAndDropped) {
    EngineHarness h;
    h.answer(Kind::not_modified, std::nullopt, "\"a\"");
    EXPECT_EQ(h.state().etag, "\"a\"");
    h.clock.now = h.state().next_poll_due_ms;
    h.answer(Kind::not_modified);
    EXPECT_EQ(h.state().etag, "\"a\"");
    h.clock.now = h.state().next_poll_due_ms;
    h.answer(Kind::network_failure, std::nullopt, "\"b\"");
    EXPECT_EQ(h.state().etag, "\"a\"");
    h.clock.now = h.state().next_poll_due_ms;
    h.answer_modified(make_revision("other", 4), "\"c\""); // stale: its tag is discarded
    EXPECT_EQ(h.state().etag, "\"a\"");
    h.clock.now = h.state().next_poll_due_ms;
    h.answer_modified(paid("abc", 4), "\"d\"");
    EXPECT_EQ(h.state().etag, "\"d\"");
    EXPECT_TRUE(h.engine->retry_discovery());
    h.engine->poll_if_due();
    EXPECT_FALSE(h.last_request().etag);
}

TEST(EngineDiscovery, AnswersThatCannotBeAdmittedCountAsMalformed) {
    EngineState approved = EngineHarness::following("abc");
    approved.approved = make_revision("abc", 10);
    approved.discovery_cursor = 10;
    const struct {
        const char* name;
        std::optional<RenderRevision> revision;
    } cases[] = {
        {"no revision", std::nullopt},
        {"other banner", paid("xyz", 11)},
        {"invalid revision",
         [] {
             auto r = paid("abc", 11);
             r.width = 1;
             return std::optional(r);
         }()},
        {"older than approved", paid("abc", 9)},
    };
    for (const auto& c : cases) {
        EngineHarness h(approved);
        h.answer(Kind::modified, c.revision, "\"t\"");
        EXPECT_EQ(h.state().website_status, WebsiteStatus::offline) << c.name;
        EXPECT_EQ(h.state().consecutive_failures, 1u) << c.name;
        EXPECT_EQ(h.state().discovery_cursor, 10u) << c.name;
        EXPECT_FALSE(h.state().etag) << c.name;
        EXPECT_FALSE(h.state().candidate) << c.name;
    }
}

TEST(EngineDiscovery, KnownAndRejectedRevisionsMoveTheCursorOnly) {
    EngineState state = EngineHarness::following("abc");
    state.approved = make_revision("abc", 10);
    state.rejected = {{"abc", 12}};
    EngineHarness h(state);
    h.answer_modified(paid("abc", 10));
    EXPECT_EQ(h.state().discovery_cursor, 10u);
    h.answer_modified(paid("abc", 12));
    EXPECT_EQ(h.state().discovery_cursor, 12u);
    EXPECT_FALSE(h.state().candidate);
    h.answer_modified(paid("abc", 13));
    EXPECT_EQ(h.state().candidate->render_revision, 13u);
    h.answer_modified(paid("abc", 13)); // not newer than the candidate
    EXPECT_EQ(h.state().website_status, WebsiteStatus::offline);
    EXPECT_EQ(h.state().discovery_cursor, 13u);
}

TEST(EngineDiscovery, SupersedingCandidateInheritsFlags) {
    EngineHarness h;
    h.answer_modified(test::with_flags(make_revision("abc", 1), true, false, false));
    h.answer_modified(test::with_flags(make_revision("abc", 2), false, false, true));
    h.answer_modified(test::with_flags(make_revision("abc", 3), false, true, false));
    const auto& candidate = *h.state().candidate;
    EXPECT_EQ(candidate.render_revision, 3u);
    EXPECT_TRUE(candidate.contains_paid_artwork && candidate.contains_filter_change && candidate.contains_moderation);
    EXPECT_FALSE(h.state().approved); // the merged flags keep it from automatic approval
}

TEST(EngineDiscovery, AutomaticApprovalOfFilterOnlyChanges) {
    const auto approved_render_10 = [] {
        auto s = EngineHarness::following("abc");
        s.approved = make_revision("abc", 10);
        return s;
    };
    const struct {
        const char* name;
        EngineState state;
        RenderRevision offered;
        bool approved;
    } cases[] = {
        {"nothing rejected", EngineHarness::following("abc"), filter_only("abc", 1), true},
        {"paid artwork", EngineHarness::following("abc"), test::with_flags(make_revision("abc", 1), true, true, false),
         false},
        {"moderation", EngineHarness::following("abc"), test::with_flags(make_revision("abc", 1), false, true, true),
         false},
        {"no flags", EngineHarness::following("abc"), make_revision("abc", 1), false},
        {"rejected, no approved",
         [] {
             auto s = EngineHarness::following("abc");
             s.rejected = {{"abc", 1}};
             return s;
         }(),
         filter_only("abc", 2), false},
        {"rejected older than render approved",
         [&] {
             auto s = approved_render_10();
             s.rejected = {{"abc", 9}, {"abc", 10}};
             return s;
         }(),
         filter_only("abc", 11), true},
        {"rejected newer than approved",
         [&] {
             auto s = approved_render_10();
             s.rejected = {{"abc", 9}, {"abc", 12}};
             return s;
         }(),
         filter_only("abc", 13), false},
        {"rejected, revision-form approved",
         [] {
             auto s = EngineHarness::following("abc");
             s.approved = make_revision("abc", 10, UrlForm::revision);
             s.rejected = {{"abc", 5}};
             return s;
         }(),
         filter_only("abc", 11), false},
    };
    for (const auto& c : cases) {
        EngineHarness h(c.state);
        h.render.shown.clear();
        h.answer_modified(c.offered);
        EXPECT_EQ(h.state().approved && h.state().approved->render_revision == c.offered.render_revision, c.approved)
            << c.name;
        EXPECT_EQ(h.state().candidate.has_value(), !c.approved) << c.name;
        EXPECT_EQ(h.render.shown.size(), c.approved ? 1u : 0u) << c.name;
        EXPECT_EQ(h.store.saves.back(), h.state()) << c.name;
    }
}

TEST(EngineDiscovery, LegacyBaselinePaths) {
    const auto legacy = [] {
        auto s = EngineHarness::following("abc");
        s.approved = make_revision("abc", 500, UrlForm::revision);
        s.legacy_baseline = 100;
        return s;
    };
    const auto painting = [](RenderRevision r, std::uint64_t sequence) {
        r.latest_painting_sequence = sequence;
        return r;
    };
    { // covered by the baseline and nothing else to show: already known
        EngineHarness h(legacy());
        h.answer_modified(painting(paid("abc", 3), 100));
        EXPECT_FALSE(h.state().candidate);
        EXPECT_EQ(h.state().discovery_cursor, 3u);
    }
    { // covered, but a filter change: paid flag cleared, then approved automatically
        EngineHarness h(legacy());
        h.answer_modified(painting(test::with_flags(make_revision("abc", 3), true, true, false), 90));
        EXPECT_EQ(h.state().approved->render_revision, 3u);
        EXPECT_FALSE(h.state().approved->contains_paid_artwork);
    }
    { // newer paintings: a candidate although its number is below the approved revision-form one
        EngineHarness h(legacy());
        h.answer_modified(painting(paid("abc", 3), 101));
        EXPECT_EQ(h.state().candidate->render_revision, 3u);
        h.answer(Kind::not_modified);
        EXPECT_TRUE(h.engine->is_review_ready());
        EXPECT_FALSE(h.state().legacy_baseline);
        EXPECT_TRUE(h.engine->claim_notification()); // announced only once the baseline is gone
    }
    { // while the baseline stands nothing is announced
        auto s = legacy();
        s.candidate = paid("abc", 3);
        EngineHarness h(s);
        EXPECT_FALSE(h.engine->claim_notification());
    }
    { // a baseline beside an approved render-form image (a damaged snapshot): numbers are compared again
        auto s = legacy();
        s.approved = make_revision("abc", 9);
        EngineHarness h(s);
        h.answer_modified(painting(paid("abc", 5), 101));
        EXPECT_FALSE(h.state().candidate);
        EXPECT_EQ(h.state().approved->render_revision, 9u);
        EXPECT_TRUE(is_valid_state(h.state()));
    }
}

TEST(EngineDiscovery, LateAnswersAndStopChangeNothing) {
    EngineHarness h;
    h.engine->poll_if_due();
    const auto id = h.engine->in_flight_request_id();
    h.engine->handle_outcome(id + 1, Kind::modified, paid("abc", 1), std::nullopt);
    EXPECT_TRUE(h.engine->in_flight());
    EXPECT_TRUE(h.engine->apply_settings("xyz", false, std::nullopt));
    EXPECT_FALSE(h.engine->in_flight());
    h.engine->handle_outcome(id, Kind::modified, paid("abc", 1), std::nullopt);
    EXPECT_FALSE(h.state().candidate);

    h.engine->poll_if_due();
    EXPECT_EQ(h.metadata.requests.back().first, id + 1); // ids keep growing across settings changes
    h.engine->stop();
    const auto saves = h.store.saves.size();
    h.engine->handle_outcome(id + 1, Kind::modified, paid("xyz", 1), std::nullopt);
    h.engine->poll_if_due();
    EXPECT_FALSE(h.engine->retry_discovery() || h.engine->apply_settings("abc", false, std::nullopt));
    EXPECT_EQ(h.store.saves.size(), saves);
    EXPECT_EQ(h.metadata.requests.size(), 2u);
}

TEST(EngineDiscovery, FailedSaveKeepsTheOutcomeInMemoryAndOnAir) {
    EngineHarness h;
    h.store.fail = true;
    h.engine->poll_if_due();
    EXPECT_THROW(h.engine->handle_outcome(1, Kind::modified, filter_only("abc", 4), std::nullopt), std::runtime_error);
    EXPECT_FALSE(h.engine->in_flight());
    EXPECT_EQ(h.state().approved->render_revision, 4u);
    ASSERT_TRUE(h.render.shown.back()); // the output shows what the state approves
    EXPECT_EQ(h.render.shown.back()->render_revision, 4u);
    h.store.fail = false;
    h.answer(Kind::not_modified);
    EXPECT_EQ(h.store.saves.back().approved->render_revision, 4u);
}

TEST(EngineDiscovery, DueTimesSaturate) {
    for (const auto kind : {Kind::not_modified, Kind::network_failure}) {
        EngineHarness h;
        h.clock.now = UINT64_MAX - 10;
        h.answer(kind);
        EXPECT_EQ(h.state().next_poll_due_ms, UINT64_MAX);
    }
}

TEST(EngineDiscovery, FrozenStatesNeverPoll) {
    EngineState pinned = EngineHarness::following("abc");
    pinned.pinned = true;
    pinned.pinned_revision = 3;
    for (const auto& state : {pinned, EngineState{}}) {
        EngineHarness h(state);
        h.engine->poll_if_due();
        EXPECT_TRUE(h.metadata.requests.empty());
    }
}

} // namespace
} // namespace kelvara
