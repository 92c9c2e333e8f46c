#include "support/engine_harness.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

using Kind = MetadataOutcomeKind;
using test::EngineHarness;
using test::filter_only;
using test::make_revision;
using test::paid;

TEST(EngineDiscovery, PagesOneRevisionPerAnswerThenWaitsTheInterval) {
    EngineHarness h({.banner_id = "abc"}, 59); // the interval is held to 60 s to 1 h, here and when it changes
    h.engine->poll_if_due();
    EXPECT_EQ(h.metadata.requests.back().second, (DiscoveryRequest{"abc", std::nullopt, 5000, 0}));
    for (const std::uint64_t number : {3u, 5u, 9u}) {
        h.engine->handle_outcome(h.engine->in_flight_request_id(), Kind::modified, paid("abc", number), "t");
        h.engine->poll_if_due(); // same tick: the next page goes out at once
        EXPECT_EQ(h.metadata.requests.back().second, (DiscoveryRequest{"abc", "t", 5000, number}));
    }
    h.engine->handle_outcome(4, Kind::not_modified, std::nullopt, std::nullopt);
    EXPECT_EQ(h.brief(), "C9p D60000 Et K9");
    EXPECT_TRUE(h.engine->is_review_ready());
    h.engine->set_poll_interval(UINT64_MAX); // applies from the next schedule on
    h.clock.now += 59999;
    h.engine->poll_if_due();
    EXPECT_EQ(h.metadata.requests.size(), 4u);
    EXPECT_EQ(h.answer(Kind::not_modified), "C9p D3600000 Et K9"); // 1 ms later
    EXPECT_EQ(h.store.saves.size(), 3u); // one per revision found; none for polling, none for nothing newer
}

// Failures back off doubling up to the cap, refusals wait the interval and keep the count, success clears it
// and takes the entity tag (an answer without one keeps the known one).
TEST(EngineDiscovery, AnswersSetStatusBackOffAndEntityTag) {
    EngineHarness h({.banner_id = "abc"}, 120);
    std::string states;
    for (const auto kind : {Kind::network_failure, Kind::malformed, Kind{99}, Kind::not_found, Kind::forbidden,
                            Kind::gone, Kind::moderated, Kind::network_failure, Kind::network_failure,
                            Kind::network_failure, Kind::network_failure, Kind::not_modified}) {
        states += h.answer(kind, std::nullopt, "e") + ", ";
    }
    EXPECT_EQ(states, "offline F1 D5000, offline F2 D10000, offline F3 D20000, not_found F3 D120000, "
                      "forbidden F3 D120000, unavailable F3 D120000, moderated F3 D120000, offline F4 D40000, "
                      "offline F5 D80000, offline F6 D160000, offline F7 D300000, D120000 Ee, ");
    EXPECT_EQ(h.answer(Kind::not_modified), "D120000 Ee");
    EXPECT_TRUE(h.store.saves.empty()); // status, count, tag and poll time: a restart resets them anyway

    // A count at its type's limit (a crafted state) stays at the cap instead of wrapping; due times saturate.
    EngineHarness worn({.banner_id = "abc", .consecutive_failures = UINT32_MAX});
    worn.clock.now = UINT64_MAX - 10;
    EXPECT_EQ(worn.answer(Kind::network_failure), "offline F16 D10");
    EXPECT_EQ(worn.answer(Kind::not_modified), "D0");
}

// Unusable offers count as unreadable answers, known and rejected ones move the cursor only, new ones become the
// candidate (inheriting what superseded ones contained) or, when they only change the filter, the approval.
TEST(EngineDiscovery, AdmitsOfferedRevisions) {
    const auto approved = [](std::optional<RenderRevision> r, std::vector<RejectedRevision> rejected = {},
                             std::optional<std::uint64_t> baseline = {}) {
        return EngineState{.banner_id = "abc", .approved = r, .rejected = rejected, .legacy_baseline = baseline};
    };
    const auto offer = [](std::uint64_t number, bool paid, bool filter, bool moderation, std::uint64_t painting = 0) {
        auto r = test::with_flags(make_revision("abc", number), paid, filter, moderation);
        r.latest_painting_sequence = painting;
        return r;
    };
    auto invalid = paid("abc", 11);
    invalid.width = 1;
    const auto r10 = make_revision("abc", 10), r10_revision_form = make_revision("abc", 10, test::UrlForm::revision);
    // An approved "/revision/" form image covers paintings up to its baseline; its number is not comparable.
    const auto legacy = approved(make_revision("abc", 500, test::UrlForm::revision), {}, 100);
    // The state, the revisions offered one answer each, the state after them.
    const std::tuple<EngineState, std::vector<std::optional<RenderRevision>>, const char*> rows[] = {
        {approved(r10), {std::nullopt}, "A10 offline F1 D5000"},
        {approved(r10), {paid("xyz", 11)}, "A10 offline F1 D5000"},
        {approved(r10), {invalid}, "A10 offline F1 D5000"},
        {approved(r10), {paid("abc", 9)}, "A10 offline F1 D5000"},
        {approved(r10), {paid("abc", 10)}, "A10 Et K10"},
        {approved(r10, {{"abc", 12}}), {paid("abc", 12)}, "A10 R12 Et K12"},
        {approved(r10, {{"abc", 12}}), {paid("abc", 13), paid("abc", 13)}, "A10 C13p R12 offline F1 D5000 Et K13"},
        {approved({}), {paid("abc", 1), offer(2, false, false, true)}, "C2pm Et K2"},
        {approved({}), {offer(1, false, true, true), make_revision("abc", 2)}, "C2fm Et K2"},
        {approved({}), {filter_only("abc", 1)}, "A1f Et K1"},
        {approved({}), {offer(1, true, true, false)}, "C1pf Et K1"},
        {approved({}), {make_revision("abc", 1)}, "C1 Et K1"},
        {approved({}, {{"abc", 1}}), {filter_only("abc", 2)}, "C2f R1 Et K2"},
        {approved(r10, {{"abc", 9}, {"abc", 10}}), {filter_only("abc", 11)}, "A11f R9 R10 Et K11"},
        {approved(r10, {{"abc", 9}, {"abc", 12}}), {filter_only("abc", 13)}, "A10 C13f R9 R12 Et K13"},
        {approved(r10_revision_form, {{"abc", 5}}), {filter_only("abc", 11)}, "A10 C11f R5 Et K11"},
        {legacy, {offer(3, true, false, false, 100)}, "A500 Et K3 B100"},
        {legacy, {offer(3, true, true, false, 90)}, "A3f Et K3 B100"},
        {legacy, {offer(3, true, false, false, 101)}, "A500 C3p Et K3 B100"},
        {approved(make_revision("abc", 9), {}, 100), {offer(5, true, false, false, 101)}, "A9 offline F1 D5000 B100"},
    };
    for (const auto& [state, offers, expected] : rows) {
        EngineHarness h(state);
        for (const auto& offered : offers) {
            h.answer(Kind::modified, offered, "t");
        }
        EXPECT_EQ(h.brief(), expected);
    }
}

TEST(EngineDiscovery, LateAnswersAndStopChangeNothing) {
    EngineHarness h;
    h.engine->poll_if_due();
    h.engine->poll_if_due(); // sends nothing while a request is in flight
    h.engine->handle_outcome(2, Kind::modified, paid("abc", 1), std::nullopt);
    EXPECT_TRUE(h.engine->in_flight());
    EXPECT_TRUE(h.engine->apply_settings("xyz", false, std::nullopt));
    EXPECT_FALSE(h.engine->in_flight());
    h.engine->handle_outcome(1, Kind::modified, paid("abc", 1), std::nullopt);
    EXPECT_FALSE(h.state().candidate);

    h.engine->poll_if_due();
    EXPECT_EQ(h.metadata.requests.back().first, 2u); // ids keep growing across settings changes
    h.engine->stop();
    h.engine->handle_outcome(2, Kind::modified, paid("xyz", 1), std::nullopt);
    h.engine->poll_if_due();
    EXPECT_FALSE(h.engine->retry_discovery() || h.engine->apply_settings("abc", false, std::nullopt));
    EXPECT_EQ(h.store.saves.size(), 1u);
    EXPECT_EQ(h.metadata.requests.size(), 2u);
}

// The answer stays in memory and on the output, to be written by the next save.
TEST(EngineDiscovery, FailedSaveKeepsTheAnswer) {
    EngineHarness h;
    h.store.fail = true;
    EXPECT_THROW(h.answer(Kind::modified, filter_only("abc", 4)), std::runtime_error);
    EXPECT_EQ(h.brief(), "A4f K4");
}

} // namespace
} // namespace kelvara
