#pragma once

#include "core/approval_engine.hpp"
#include "test_fixtures/fake_ports.hpp"
#include "test_fixtures/revisions.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>

namespace kelvara::test {

// An engine wired to recording fakes, with shortcuts for answering the request in flight.
struct EngineHarness {
    FakeClock clock;
    RecordingMetadata metadata;
    RecordingStore store;
    RecordingRender render;
    std::unique_ptr<ApprovalEngine> engine;

    // `disk`, when given, saves instead of `store`.
    explicit EngineHarness(EngineState initial = {.banner_id = "abc"}, std::uint64_t poll_seconds = 60,
                           SaveMode save_mode = SaveMode::immediate, StorePort* disk = nullptr)
        : engine(std::make_unique<ApprovalEngine>(std::move(initial), metadata, disk ? *disk : store, render, clock,
                                                  poll_seconds, save_mode)) {}

    const EngineState& state() const { return engine->state(); }

    // What differs from the empty state, in field order: pin<n>, A<n>/C<n> approved/candidate (flags p f m), P
    // previewed, N<n> notified, R<n> rejected, status, F<n> failures, D<ms> to poll, E<tag>, K<n> cursor, B<n> base.
    std::string brief() const {
        static const char* const statuses[] = {"", "offline", "forbidden", "not_found", "unavailable", "moderated"};
        const EngineState& s = state();
        std::ostringstream out;
        const auto put = [&out](bool present, const char* tag, const auto& value) {
            if (present) {
                out << ' ' << tag << value;
            }
        };
        const auto revision = [&](const char* tag, const std::optional<RenderRevision>& r) {
            put(r.has_value(), tag,
                r ? std::to_string(r->render_revision) + (r->contains_paid_artwork ? "p" : "") +
                        (r->contains_filter_change ? "f" : "") + (r->contains_moderation ? "m" : "")
                  : "");
        };
        put(s.pinned, "pin", s.pinned_revision.value_or(0));
        revision("A", s.approved);
        revision("C", s.candidate);
        put(s.candidate_previewed, "P", "");
        put(s.notified_revision.has_value(), "N", s.notified_revision.value_or(0));
        for (const auto& entry : s.rejected) {
            put(true, "R", entry.render_revision);
        }
        put(s.website_status != WebsiteStatus{}, "", statuses[static_cast<std::size_t>(s.website_status)]);
        put(s.consecutive_failures != 0, "F", s.consecutive_failures);
        put(s.next_poll_due_ms != 0, "D", s.next_poll_due_ms - clock.now);
        put(s.etag.has_value(), "E", s.etag.value_or(""));
        put(s.discovery_cursor != 0, "K", s.discovery_cursor);
        put(s.legacy_baseline.has_value(), "B", s.legacy_baseline.value_or(0));
        return out.str().substr(out.str().empty() ? 0 : 1);
    }

    std::string after(bool result) const { return (result ? "true: " : "false: ") + brief(); }

    // Polls once due and answers the request that goes out (failing when none does); returns the state after.
    std::string answer(MetadataOutcomeKind kind, std::optional<RenderRevision> revision = std::nullopt,
                       std::optional<std::string> etag = std::nullopt) {
        clock.now = std::max(clock.now, state().next_poll_due_ms);
        engine->poll_if_due();
        EXPECT_TRUE(engine->in_flight()) << "no request went out";
        engine->handle_outcome(engine->in_flight_request_id(), kind, std::move(revision), std::move(etag));
        return brief();
    }
};

// A candidate that needs the operator (paid artwork), and one that may be approved without (filter only).
inline RenderRevision paid(const std::string& banner_id, std::uint64_t number) {
    return with_flags(make_revision(banner_id, number), true, false, false);
}
inline RenderRevision filter_only(const std::string& banner_id, std::uint64_t number) {
    return with_flags(make_revision(banner_id, number), false, true, false);
}

} // namespace kelvara::test
