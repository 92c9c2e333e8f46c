#include "core/engine_state.hpp"
#include "test_fixtures/revisions.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

using test::make_revision;
using test::UrlForm;
using S = EngineState&;

// Each invariant broken alone, from a full valid state or from a valid pinned one.
TEST(EngineStateValidity, EveryInvariant) {
    const EngineState full{.banner_id = "abc",
                           .approved = make_revision("abc", 5),
                           .candidate = make_revision("abc", 6),
                           .rejected = {{"abc", 9}},
                           .candidate_previewed = true,
                           .notified_revision = 6,
                           .legacy_baseline = 3};
    const EngineState pinned{.banner_id = "abc", .pinned = true, .pinned_revision = 5};
    const auto with = [](EngineState s, void (*change)(S)) { return change(s), s; };
    const std::tuple<const char*, EngineState, bool> cases[] = {
        {"full state", full, true},
        {"empty state", EngineState{}, false},
        {"version 6", with(full, [](S s) { s.version = 6; }), false},
        {"bad banner id", with(full, [](S s) { s.banner_id = "a b"; }), false},
        {"pinned at the approved revision", with(pinned, [](S s) { s.approved = make_revision("abc", 5); }), true},
        {"pinned without revision", with(pinned, [](S s) { s.pinned_revision.reset(); }), false},
        {"revision without pinned", with(pinned, [](S s) { s.pinned = false; }), false},
        {"pinned revision 0", with(pinned, [](S s) { s.pinned_revision = 0; }), false},
        {"pinned, other approved", with(pinned, [](S s) { s.approved = make_revision("abc", 4); }), false},
        {"pinned with candidate", with(pinned, [](S s) { s.candidate = make_revision("abc", 6); }), false},
        {"status 5", with(full, [](S s) { s.website_status = WebsiteStatus::moderated; }), true},
        {"status 6", with(full, [](S s) { s.website_status = static_cast<WebsiteStatus>(6); }), false},
        {"approved of other banner", with(full, [](S s) { s.approved = make_revision("abd", 5); }), false},
        {"invalid approved", with(full, [](S s) { s.approved->width = 0; }), false},
        {"invalid candidate", with(full, [](S s) { s.candidate->content_type = "image/gif"; }), false},
        {"candidate not newer", with(full, [](S s) { s.approved = make_revision("abc", 6); }), false},
        {"render candidate below revision-form approved",
         with(full, [](S s) { s.approved = make_revision("abc", 50, UrlForm::revision); }), true},
        {"revision-form candidate not newer",
         with(full, [](S s) { s.approved = s.candidate = make_revision("abc", 6, UrlForm::revision); }), false},
        {"notified without candidate", EngineState{.banner_id = "abc", .notified_revision = 6}, false},
        {"notified other revision", with(full, [](S s) { s.notified_revision = 5; }), false},
        {"previewed without candidate", EngineState{.banner_id = "abc", .candidate_previewed = true}, false},
        {"rejected of other banner", with(full, [](S s) { s.rejected[0].banner_id = "xyz"; }), false},
        {"rejected revision 0", with(full, [](S s) { s.rejected[0].render_revision = 0; }), false},
        {"legacy baseline 0", with(full, [](S s) { s.legacy_baseline = 0; }), false},
    };
    for (const auto& [name, state, valid] : cases) {
        EXPECT_EQ(is_valid_state(state), valid) << name;
    }
}

// What a start resets (tag, failure count, poll time) or replaces (status) alone; every other field counts.
TEST(EngineStateValidity, SameAfterRestart) {
    const EngineState base{.banner_id = "abc", .approved = make_revision("abc", 5)};
    const std::tuple<const char*, void (*)(S), bool> changes[] = {
        {"etag", [](S s) { s.etag = "e"; }, true},
        {"failures", [](S s) { s.consecutive_failures = 2; }, true},
        {"poll time", [](S s) { s.next_poll_due_ms = 9; }, true},
        {"status", [](S s) { s.website_status = WebsiteStatus::offline; }, true},
        {"version", [](S s) { s.version = 6; }, false},
        {"banner", [](S s) { s.banner_id = "xyz"; }, false},
        {"pinned", [](S s) { s.pinned = true; }, false},
        {"pinned revision", [](S s) { s.pinned_revision = 5; }, false},
        {"approved", [](S s) { s.approved.reset(); }, false},
        {"candidate", [](S s) { s.candidate = make_revision("abc", 6); }, false},
        {"rejected", [](S s) { s.rejected.resize(1); }, false},
        {"previewed", [](S s) { s.candidate_previewed = true; }, false},
        {"notified", [](S s) { s.notified_revision = 6; }, false},
        {"cursor", [](S s) { s.discovery_cursor = 5; }, false},
        {"legacy baseline", [](S s) { s.legacy_baseline = 3; }, false},
    };
    for (const auto& [name, change, same] : changes) {
        EngineState changed = base;
        change(changed);
        EXPECT_EQ(same_after_restart(changed, base), same) << name;
    }
}

} // namespace
} // namespace kelvara
