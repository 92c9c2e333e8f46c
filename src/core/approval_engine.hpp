#pragma once

#include "core/engine_state.hpp"
#include "core/engine_transitions.hpp"
#include "core/ports.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace kelvara {

// When an event's new state is written, relative to the event.
enum class SaveMode {
    // StorePort::save returns once the state is stored, and the event commits (or fails) before it returns.
    immediate,
    // StorePort::save only hands the state over. The event leaves its change pending; whoever raised it
    // reports the store's answer with finish_save(). Until then the state stays as it was, every other
    // event is refused, and nothing is review-ready. This lets a caller release its lock while the disk works.
    deferred,
};

// Holds one source's EngineState and turns events into new state, requests and output through its four
// ports. Not thread-safe: the source context raises every event with its source lock held.
//
// Every event that changes the state works on a copy, hands the copy to the store port, and commits it (and
// runs its after-commit effects, such as showing a new approved revision) only once the store has it. A
// transaction whose save fails leaves the state as it was; a discovery answer keeps its effects in memory,
// to be written by the next save, and one that changes only what a restart resets anyway is not written at
// all. At most one change waits for the store at any time.
class ApprovalEngine {
public:
    ApprovalEngine(EngineState initial, MetadataPort& metadata, StorePort& store, RenderPort& render, ClockPort& clock,
                   std::uint64_t poll_seconds, SaveMode save_mode = SaveMode::immediate);

    ApprovalEngine(const ApprovalEngine&) = delete;
    ApprovalEngine& operator=(const ApprovalEngine&) = delete;

    // Discovery: raised by the tick. handle_outcome must not be given the answer it waits for while a save is
    // pending (the answer would be lost): the caller keeps it until save_pending() is false.
    void poll_if_due();
    void handle_outcome(std::uint64_t request_id, MetadataOutcomeKind kind, std::optional<RenderRevision> revision,
                        std::optional<std::string> etag);

    // Settings, operator decisions and retry. True means the state changed and was saved (immediate mode) or
    // is being saved (deferred mode); apply_settings is also true for settings that change nothing.
    //
    // Settings that follow another banner (or the same one pinned otherwise) start over, but the state they
    // replace is kept when it holds review work, and comes back, approval and all, when the settings return
    // to it: a banner changed by mistake and changed back needs no new review. One kept state at a time,
    // as the store keeps one previous snapshot beside the current one.
    bool apply_settings(std::string banner_id, bool pinned, std::optional<std::uint64_t> pinned_revision);
    // At creation: the state of other settings found beside the current one. Ignored unless it is valid,
    // holds review work and follows another banner than the current state.
    void set_kept_state(std::optional<EngineState> kept);
    const std::optional<EngineState>& kept_state() const noexcept { return kept_; }
    void set_poll_interval(std::uint64_t seconds) noexcept;
    bool claim_notification();
    // The operator chose Accept while looking at the candidate: it is approved, and the change written once.
    bool mark_previewed_and_accept();
    bool reject_candidate();
    bool retry_discovery();
    void stop() noexcept;

    // Deferred mode: the change handed to the store, and the store's answer. finish_save(true) commits the
    // change and runs its effects; finish_save(false) drops a transaction and keeps a discovery answer's
    // effects in memory. commit_unsaved() commits the change although the store refused it, for a caller
    // that must not lose it.
    bool save_pending() const noexcept { return pending_.has_value(); }
    void finish_save(bool saved);
    void commit_unsaved();

    // Discovery has caught up with the service while a candidate waits: nothing in flight, nothing waiting
    // for the store, a candidate, and a next poll time that a not_modified answer or an error has set.
    bool is_review_ready() const noexcept;

    const EngineState& state() const noexcept { return state_; }
    bool in_flight() const noexcept { return in_flight_; }
    std::uint64_t in_flight_request_id() const noexcept { return in_flight_request_id_; }
    bool stopped() const noexcept { return stopped_; }
    std::uint64_t poll_interval_ms() const noexcept { return poll_interval_ms_; }

private:
    // What to do once a new state is stored.
    struct Effects {
        bool show_approved = false;   // the approved revision changed
        bool forget_request = false;  // an answer to the request in flight no longer applies
        bool keep_if_unsaved = false; // a discovery answer: its effects stay in memory when the save fails
    };
    // A new state on its way to the store.
    struct Change {
        EngineState state;
        Effects effects;
        std::optional<std::optional<EngineState>> kept{}; // the kept state to take on with it, if it changes
    };

    // What a transaction's normalised copy would start from, without copying: the state when valid,
    // otherwise the empty state.
    const EngineState& normalized_view() const noexcept;
    void set_state(EngineState state);

    // Runs a transaction. `guard` decides on the normalised state, before anything is copied, whether the
    // transition changes anything; only then is the copy made, changed by `change` and saved.
    // The tick raises claim_notification every frame while a candidate waits, so a refusal must cost
    // nothing that grows with the images.
    template <typename Guard, typename Transition>
    bool transact(Guard guard, Transition transition, Effects effects);
    // Without a default argument: clang 14 cannot default-construct Effects before the class is complete.
    template <typename Guard, typename Transition>
    bool transact(Guard guard, Transition transition) {
        return transact(guard, transition, Effects{});
    }

    // Hands the change to the store; in immediate mode also finishes it.
    void save(Change change);
    // A discovery answer: saved only when it changes what a restart keeps (see same_after_restart). Every
    // answer moves the entity tag, the failure count or the poll time; writing the whole state, images
    // included, for those alone would cost the disk up to 16 MiB a poll.
    void save_answer(Change change);
    void show_approved();

    EngineState state_;
    MetadataPort* metadata_;
    StorePort* store_;
    RenderPort* render_;
    ClockPort* clock_;
    SaveMode save_mode_;
    std::optional<EngineState> kept_;
    std::optional<Change> pending_;
    bool in_flight_ = false;
    std::uint64_t in_flight_request_id_ = 0;
    std::uint64_t next_request_id_ = 1;
    bool stopped_ = false;
    std::uint64_t poll_interval_ms_;
    bool state_valid_ = false; // is_valid_state(state_), kept current by set_state
};

} // namespace kelvara
