#include "core/engine_state.hpp"
#include "core/engine_transitions.hpp"
#include "support/revisions.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

using test::make_revision;
using test::UrlForm;

EngineState valid_state() {
    EngineState state;
    state.banner_id = "abc";
    state.approved = make_revision("abc", 5);
    state.candidate = make_revision("abc", 6);
    state.notified_revision = 6;
    state.candidate_previewed = true;
    state.rejected = {{"abc", 9}};
    state.legacy_baseline = 3;
    return state;
}

TEST(EngineStateValidity, EveryInvariant) {
    const auto with = [](auto change) {
        auto s = valid_state();
        change(s);
        return s;
    };
    const struct {
        const char* name;
        EngineState state;
        bool valid;
    } cases[] = {
        {"full state", valid_state(), true},
        {"empty state", EngineState{}, false},
        {"version 6", with([](auto& s) { s.version = 6; }), false},
        {"bad banner id", with([](auto& s) { s.banner_id = "a b"; }), false},
        {"pinned without revision", with([](auto& s) {
             s = EngineState{};
             s.banner_id = "abc";
             s.pinned = true;
         }),
         false},
        {"revision without pinned", with([](auto& s) {
             s = EngineState{};
             s.banner_id = "abc";
             s.pinned_revision = 5;
         }),
         false},
        {"pinned revision 0", with([](auto& s) {
             s = EngineState{};
             s.banner_id = "abc";
             s.pinned = true;
             s.pinned_revision = 0;
         }),
         false},
        {"pinned with matching approved", with([](auto& s) {
             s = EngineState{};
             s.banner_id = "abc";
             s.pinned = true;
             s.pinned_revision = 5;
             s.approved = make_revision("abc", 5);
         }),
         true},
        {"pinned with other approved", with([](auto& s) {
             s = EngineState{};
             s.banner_id = "abc";
             s.pinned = true;
             s.pinned_revision = 4;
             s.approved = make_revision("abc", 5);
         }),
         false},
        {"pinned with candidate", with([](auto& s) {
             s.approved.reset();
             s.notified_revision.reset();
             s.candidate_previewed = false;
             s.pinned = true;
             s.pinned_revision = 6;
         }),
         false},
        {"status 5", with([](auto& s) { s.website_status = WebsiteStatus::moderated; }), true},
        {"status 6", with([](auto& s) { s.website_status = static_cast<WebsiteStatus>(6); }), false},
        {"approved of other banner", with([](auto& s) { s.approved = make_revision("abd", 5); }), false},
        {"invalid approved", with([](auto& s) { s.approved->width = 0; }), false},
        {"invalid candidate", with([](auto& s) { s.candidate->content_type = "image/gif"; }), false},
        {"candidate not newer", with([](auto& s) {
             s.candidate = make_revision("abc", 5);
             s.notified_revision = 5;
         }),
         false},
        {"render candidate below revision-form approved",
         with([](auto& s) { s.approved = make_revision("abc", 50, UrlForm::revision); }), true},
        {"revision candidate below render approved", with([](auto& s) {
             s.approved = make_revision("abc", 50);
             s.candidate = make_revision("abc", 6, UrlForm::revision);
         }),
         false},
        {"notified without candidate", with([](auto& s) {
             s.candidate.reset();
             s.candidate_previewed = false;
         }),
         false},
        {"notified other revision", with([](auto& s) { s.notified_revision = 5; }), false},
        {"previewed without candidate", with([](auto& s) {
             s.candidate.reset();
             s.notified_revision.reset();
         }),
         false},
        {"rejected of other banner", with([](auto& s) {
             s.rejected.push_back({"xyz", 3});
         }),
         false},
        {"rejected revision 0", with([](auto& s) {
             s.rejected.push_back({"abc", 0});
         }),
         false},
        {"legacy baseline 0", with([](auto& s) { s.legacy_baseline = 0; }), false},
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
