#include "core/approval_engine.hpp"

#include "core/banner_rules.hpp"

#include <stdexcept>

namespace kelvara {

ApprovalEngine::ApprovalEngine(EngineState initial, MetadataPort& metadata, StorePort& store, RenderPort& render,
                               ClockPort& clock, std::uint64_t poll_seconds, SaveMode save_mode)
    : metadata_(&metadata), store_(&store), render_(&render), clock_(&clock), save_mode_(save_mode),
      poll_interval_ms_(poll_interval_ms_from_seconds(poll_seconds)) {
    set_state(normalize_state(std::move(initial)));
    show_approved();
}

const EngineState& ApprovalEngine::normalized_view() const noexcept {
    static const EngineState empty_state;
    return state_valid_ ? state_ : empty_state;
}

void ApprovalEngine::set_state(EngineState state) {
    state_ = std::move(state);
    state_valid_ = is_valid_state(state_);
}

void ApprovalEngine::show_approved() {
    render_->show_approved(state_.approved);
}

template <typename Guard, typename Transition>
bool ApprovalEngine::transact(Guard guard, Transition transition, Effects effects) {
    if (stopped_ || pending_) {
        return false;
    }
    const EngineState& current = normalized_view();
    if (!guard(current)) {
        return false;
    }
    Change change{current, effects};
    transition(change.state);
    save(std::move(change));
    return true;
}

void ApprovalEngine::save(Change change) {
    pending_ = std::move(change);
    try {
        store_->save(pending_->state);
    } catch (...) {
        finish_save(false);
        throw;
    }
    if (save_mode_ == SaveMode::immediate) {
        finish_save(true);
    }
}

void ApprovalEngine::finish_save(bool saved) {
    if (pending_ && (saved || pending_->effects.keep_if_unsaved)) {
        commit_unsaved();
    }
    pending_.reset();
}

void ApprovalEngine::commit_unsaved() {
    if (!pending_) {
        return;
    }
    Change change = std::move(*pending_);
    pending_.reset();
    if (stopped_) {
        return; // the source is going away: nothing is shown any more
    }
    set_state(std::move(change.state));
    if (change.kept) {
        kept_ = std::move(*change.kept);
    }
    if (change.effects.forget_request) {
        in_flight_ = false;
        in_flight_request_id_ = 0;
    }
    if (change.effects.show_approved) {
        // Also after a failed save of an automatic approval: the output always shows the state's approved
        // revision, which the next successful save writes.
        show_approved();
    }
}

// ---- Discovery ----

void ApprovalEngine::poll_if_due() {
    if (stopped_ || in_flight_ || pending_) {
        return;
    }
    const std::uint64_t now = clock_->now_ms();
    if (state_.pinned || !is_valid_banner_id(state_.banner_id) || state_.next_poll_due_ms > now) {
        return;
    }
    in_flight_ = true;
    in_flight_request_id_ = next_request_id_++;
    DiscoveryRequest request{state_.banner_id, state_.etag, kDiscoveryTimeoutMs, state_.discovery_cursor};
    metadata_->start_discovery(in_flight_request_id_, request);
}

void ApprovalEngine::handle_outcome(std::uint64_t request_id, MetadataOutcomeKind kind,
                                    std::optional<RenderRevision> revision, std::optional<std::string> etag) {
    if (stopped_ || !in_flight_ || request_id != in_flight_request_id_) {
        return; // a late answer to an abandoned request
    }
    if (pending_) {
        throw std::logic_error("discovery answer handed over while a save is pending");
    }
    in_flight_ = false;

    // Copying the state is cheap: the images are shared, not copied.
    Change change{state_, Effects{.keep_if_unsaved = true}};
    EngineState& next = change.state;

    if (kind == MetadataOutcomeKind::modified) {
        AdmitResult admitted = AdmitResult::stale;
        if (revision) {
            admitted = admit_revision(next, std::move(*revision));
        }
        if (admitted != AdmitResult::stale && admitted != AdmitResult::pinned) {
            change.effects.show_approved = admitted == AdmitResult::new_candidate && auto_approve(next);
            // next_poll_due_ms becomes 0: the next poll asks for the revision after the moved cursor.
            record_outcome_status(next, kind, clock_->now_ms(), std::move(etag));
            save_answer(std::move(change));
            return;
        }
        // A modified answer without a usable revision counts as unreadable; its entity tag is discarded.
        record_outcome_status(next, MetadataOutcomeKind::malformed, clock_->now_ms(), std::nullopt);
        save_answer(std::move(change));
        return;
    }

    const std::uint64_t now = clock_->now_ms();
    record_outcome_status(next, kind, now, std::move(etag));
    switch (kind) {
    case MetadataOutcomeKind::not_modified:
        next.legacy_baseline.reset();
        schedule_next_poll(next, now, poll_interval_ms_);
        break;
    case MetadataOutcomeKind::not_found:
    case MetadataOutcomeKind::forbidden:
    case MetadataOutcomeKind::gone:
    case MetadataOutcomeKind::moderated:
        schedule_next_poll(next, now, poll_interval_ms_);
        break;
    default:
        break; // failures keep the back-off that record_outcome_status set
    }
    save_answer(std::move(change));
}

void ApprovalEngine::save_answer(Change change) {
    if (same_after_restart(change.state, state_)) {
        set_state(std::move(change.state)); // written with the next change that a restart keeps
        return;
    }
    save(std::move(change));
}

// ---- Settings ----

bool ApprovalEngine::apply_settings(std::string banner_id, bool pinned, std::optional<std::uint64_t> pinned_revision) {
    if (stopped_ || pending_) {
        return false;
    }
    EngineState wanted{.banner_id = std::move(banner_id), .pinned = pinned, .pinned_revision = pinned_revision};
    if (follows_same_banner(state_, wanted)) {
        return true;
    }
    const bool acceptable = is_valid_banner_id(wanted.banner_id) &&
                            (pinned ? pinned_revision.has_value() && *pinned_revision != 0 : !pinned_revision);
    if (!acceptable) {
        return false;
    }
    const EngineState& current = normalized_view();
    const bool returns = kept_ && follows_same_banner(*kept_, wanted);
    // An answer to a request made for the old settings must be ignored.
    Change change{returns ? *kept_ : std::move(wanted), Effects{.show_approved = true, .forget_request = true}};
    // The replaced state is kept when it is worth it; otherwise the kept one stays, unless it returned.
    if (holds_review_work(current)) {
        change.kept = current;
    } else if (returns) {
        change.kept = std::optional<EngineState>();
    }
    // As at a start: the service is asked at once, without the entity tag of a state that returns.
    EngineState& next = change.state;
    next.website_status = WebsiteStatus::available;
    next.consecutive_failures = 0;
    next.next_poll_due_ms = 0;
    next.etag.reset();
    save(std::move(change));
    return true;
}

void ApprovalEngine::set_kept_state(std::optional<EngineState> kept) {
    const bool keep =
        kept && is_valid_state(*kept) && holds_review_work(*kept) && !follows_same_banner(*kept, normalized_view());
    kept_ = keep ? std::move(kept) : std::nullopt;
}

void ApprovalEngine::set_poll_interval(std::uint64_t seconds) noexcept {
    poll_interval_ms_ = poll_interval_ms_from_seconds(seconds);
}

bool ApprovalEngine::retry_discovery() {
    if (stopped_ || in_flight_) {
        return false;
    }
    return transact([](const EngineState& current) { return !current.banner_id.empty() && !current.pinned; },
                    [](EngineState& next) {
                        next.consecutive_failures = 0;
                        next.next_poll_due_ms = 0;
                        next.etag.reset();
                    });
}

void ApprovalEngine::stop() noexcept {
    stopped_ = true;
    in_flight_ = false;
    in_flight_request_id_ = 0;
}

// ---- Operator ----

bool ApprovalEngine::is_review_ready() const noexcept {
    return !in_flight_ && !pending_ && state_.candidate && state_.next_poll_due_ms != 0;
}

bool ApprovalEngine::claim_notification() {
    const auto unannounced = [](const EngineState& current) {
        if (current.pinned || current.legacy_baseline || !current.candidate) {
            return false;
        }
        return current.notified_revision != current.candidate->render_revision;
    };
    return transact(unannounced, [](EngineState& next) { next.notified_revision = next.candidate->render_revision; });
}

namespace {

void approve_candidate(EngineState& next) {
    next.approved = std::move(next.candidate);
    next.candidate.reset();
    next.candidate_previewed = false;
    next.notified_revision.reset();
    next.rejected.clear();
}

} // namespace

bool ApprovalEngine::mark_previewed_and_accept() {
    const auto acceptable = [](const EngineState& current) { return !current.pinned && current.candidate; };
    return transact(acceptable, approve_candidate, Effects{.show_approved = true});
}

bool ApprovalEngine::reject_candidate() {
    const auto reject = [](EngineState& next) {
        next.rejected.push_back({next.candidate->banner_id, next.candidate->render_revision});
        // The store reads at most this many entries back. The oldest ones go first: the discovery cursor
        // has already passed their numbers, so the service is never asked about them again.
        if (next.rejected.size() > kMaxRejectedRevisions) {
            next.rejected.erase(next.rejected.begin(),
                                next.rejected.end() - static_cast<std::ptrdiff_t>(kMaxRejectedRevisions));
        }
        next.candidate.reset();
        next.candidate_previewed = false;
        next.notified_revision.reset();
    };
    return transact([](const EngineState& current) { return current.candidate.has_value(); }, reject);
}

} // namespace kelvara
