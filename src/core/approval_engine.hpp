#pragma once

#include "core/engine_state.hpp"
#include "core/engine_transitions.hpp"
#include "core/ports.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace kelvara {

// Holds one source's EngineState and turns events into new state, requests and output through its four
// ports. Not thread-safe: the source context raises every event with its source lock held.
//
// Events other than poll_if_due, handle_outcome, set_poll_interval and stop are transactions: the event
// works on a normalised copy of the state, saves the copy when it changed, and only then commits it and
// runs its after-commit effects. A save that throws leaves the state as it was.
class ApprovalEngine {
public:
    ApprovalEngine(EngineState initial, MetadataPort& metadata, StorePort& store, RenderPort& render, ClockPort& clock,
                   std::uint64_t poll_seconds);

    ApprovalEngine(const ApprovalEngine&) = delete;
    ApprovalEngine& operator=(const ApprovalEngine&) = delete;

    // Discovery: raised by the tick.
    void poll_if_due();
    void handle_outcome(std::uint64_t request_id, MetadataOutcomeKind kind, std::optional<RenderRevision> revision,
                        std::optional<std::string> etag);

    // Settings, operator decisions and retry. True means the state changed and was saved.
    bool apply_settings(std::string banner_id, bool pinned, std::optional<std::uint64_t> pinned_revision);
    void set_poll_interval(std::uint64_t seconds) noexcept;
    bool claim_notification();
    bool mark_previewed();
    bool accept_candidate();
    bool reject_candidate();
    bool retry_discovery();
    void stop() noexcept;

    // Discovery has caught up with the service while a candidate waits: nothing in flight, a candidate, and
    // a next poll time that a not_modified answer or an error has set.
    bool is_review_ready() const noexcept;

    const EngineState& state() const noexcept { return state_; }
    bool in_flight() const noexcept { return in_flight_; }
    std::uint64_t in_flight_request_id() const noexcept { return in_flight_request_id_; }
    std::uint64_t next_request_id() const noexcept { return next_request_id_; }
    bool stopped() const noexcept { return stopped_; }
    std::uint64_t poll_interval_ms() const noexcept { return poll_interval_ms_; }

private:
    // What a transaction's normalised copy would start from, without copying: the state when valid,
    // otherwise the empty state.
    const EngineState& normalized_view() const noexcept;
    void set_state(EngineState state);

    // Runs a transaction. `guard` decides on the normalised state, before anything is copied, whether the
    // transition changes anything; only then is the copy made, changed by `change`, saved and committed.
    // The tick raises claim_notification every frame while a candidate waits, so a refusal must cost
    // nothing that grows with the images.
    template <typename Guard, typename Change, typename AfterCommit>
    bool transact(Guard guard, Change change, AfterCommit after_commit);

    void show_approved();

    EngineState state_;
    MetadataPort* metadata_;
    StorePort* store_;
    RenderPort* render_;
    ClockPort* clock_;
    bool in_flight_ = false;
    std::uint64_t in_flight_request_id_ = 0;
    std::uint64_t next_request_id_ = 1;
    bool stopped_ = false;
    std::uint64_t poll_interval_ms_;
    bool state_valid_ = false; // is_valid_state(state_), kept current by set_state and handle_outcome
};

} // namespace kelvara
