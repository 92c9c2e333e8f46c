#include "core/engine_transitions.hpp"
#include "support/engine_harness.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

using test::make_revision;
using test::state_with;
using test::UrlForm;
using S = EngineState&;

// Each invariant broken alone, from a full valid state or from a valid pinned one.
TEST(EngineStateValidity, EveryInvariant) {
    const auto full = [](auto change) {
        return state_with([&](S s) {
            s.approved = make_revision("abc", 5);
            s.candidate = make_revision("abc", 6);
            s.notified_revision = 6;
            s.candidate_previewed = true;
            s.rejected = {{"abc", 9}};
            s.legacy_baseline = 3;
            change(s);
        });
    };
    const auto pinned = [](auto change) {
        return state_with([&](S s) {
            s.pinned = true;
            s.pinned_revision = 5;
            change(s);
        });
    };
    const struct {
        const char* name;
        EngineState state;
        bool valid;
    } cases[] = {
        {"full state", full([](S) {}), true},
        {"empty state", EngineState{}, false},
        {"version 6", full([](S s) { s.version = 6; }), false},
        {"bad banner id", full([](S s) { s.banner_id = "a b"; }), false},
        {"pinned at the approved revision", pinned([](S s) { s.approved = make_revision("abc", 5); }), true},
        {"pinned without revision", pinned([](S s) { s.pinned_revision.reset(); }), false},
        {"revision without pinned", pinned([](S s) { s.pinned = false; }), false},
        {"pinned revision 0", pinned([](S s) { s.pinned_revision = 0; }), false},
        {"pinned, other approved", pinned([](S s) { s.approved = make_revision("abc", 4); }), false},
        {"pinned with candidate", pinned([](S s) { s.candidate = make_revision("abc", 6); }), false},
        {"status 5", full([](S s) { s.website_status = WebsiteStatus::moderated; }), true},
        {"status 6", full([](S s) { s.website_status = static_cast<WebsiteStatus>(6); }), false},
        {"approved of other banner", full([](S s) { s.approved = make_revision("abd", 5); }), false},
        {"invalid approved", full([](S s) { s.approved->width = 0; }), false},
        {"invalid candidate", full([](S s) { s.candidate->content_type = "image/gif"; }), false},
        {"candidate not newer", full([](S s) { s.approved = make_revision("abc", 6); }), false},
        {"render candidate below revision-form approved",
         full([](S s) { s.approved = make_revision("abc", 50, UrlForm::revision); }), true},
        {"revision-form candidate not newer", full([](S s) {
             s.approved = make_revision("abc", 6, UrlForm::revision);
             s.candidate = make_revision("abc", 6, UrlForm::revision);
         }),
         false},
        {"notified without candidate", state_with([](S s) { s.notified_revision = 6; }), false},
        {"notified other revision", full([](S s) { s.notified_revision = 5; }), false},
        {"previewed without candidate", state_with([](S s) { s.candidate_previewed = true; }), false},
        {"rejected of other banner", full([](S s) {
             s.rejected.push_back({"xyz", 3});
         }),
         false},
        {"rejected revision 0", full([](S s) {
             s.rejected.push_back({"abc", 0});
         }),
         false},
        {"legacy baseline 0", full([](S s) { s.legacy_baseline = 0; }), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_valid_state(c.state), c.valid) << c.name;
        EXPECT_EQ(normalize_state(c.state), c.valid ? c.state : EngineState{}) << c.name;
    }
}

TEST(EngineStateValidity, PollIntervalClamp) {
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {{0, 60000},  {59, 60000},     {60, 60000},
                                                             {61, 61000}, {3600, 3600000}, {UINT64_MAX, 3600000}};
    for (const auto& [seconds, ms] : cases) {
        EXPECT_EQ(poll_interval_ms_from_seconds(seconds), ms) << seconds;
    }
}

} // namespace
} // namespace kelvara
