#include "core/approval_engine.hpp"

#include "metadata/service_urls.hpp"

namespace kelvara {

ApprovalEngine::ApprovalEngine(EngineState initial, MetadataPort& metadata, StorePort& store, RenderPort& render,
                               ClockPort& clock, std::uint64_t poll_seconds)
    : metadata_(&metadata), store_(&store), render_(&render), clock_(&clock),
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

template <typename Guard, typename Change, typename AfterCommit>
bool ApprovalEngine::transact(Guard guard, Change change, AfterCommit after_commit) {
    if (stopped_) {
        return false;
    }
    const EngineState& current = normalized_view();
    if (!guard(current)) {
        return false;
    }
    EngineState next = current;
    change(next);
    store_->save(next);
    set_state(std::move(next));
    after_commit();
    return true;
}

// ---- Discovery ----

void ApprovalEngine::poll_if_due() {
    if (stopped_ || in_flight_) {
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
    in_flight_ = false;

    // The state changes in place; a failing save leaves the changes in memory for the next save to write.
    const auto save_in_place = [this] {
        state_valid_ = is_valid_state(state_);
        store_->save(state_);
    };

    if (kind == MetadataOutcomeKind::modified) {
        AdmitResult admitted = AdmitResult::stale;
        if (revision) {
            admitted = admit_revision(state_, std::move(*revision));
        }
        if (admitted != AdmitResult::stale && admitted != AdmitResult::pinned) {
            const bool approved = admitted == AdmitResult::new_candidate && auto_approve(state_);
            // next_poll_due_ms becomes 0: the same tick asks for the revision after the moved cursor.
            record_outcome_status(state_, kind, clock_->now_ms(), std::move(etag));
            save_in_place();
            if (approved) {
                show_approved();
            }
            return;
        }
        // A modified answer without a usable revision counts as unreadable; its entity tag is discarded.
        record_outcome_status(state_, MetadataOutcomeKind::malformed, clock_->now_ms(), std::nullopt);
        save_in_place();
        return;
    }

    const std::uint64_t now = clock_->now_ms();
    record_outcome_status(state_, kind, now, std::move(etag));
    switch (kind) {
    case MetadataOutcomeKind::not_modified:
        state_.legacy_baseline.reset();
        schedule_next_poll(state_, now, poll_interval_ms_);
        break;
    case MetadataOutcomeKind::not_found:
    case MetadataOutcomeKind::forbidden:
    case MetadataOutcomeKind::gone:
    case MetadataOutcomeKind::moderated:
        schedule_next_poll(state_, now, poll_interval_ms_);
        break;
    default:
        break; // failures keep the back-off that record_outcome_status set
    }
    save_in_place();
}

// ---- Settings ----

bool ApprovalEngine::apply_settings(std::string banner_id, bool pinned, std::optional<std::uint64_t> pinned_revision) {
    if (stopped_) {
        return false;
    }
    if (banner_id == state_.banner_id && pinned == state_.pinned && pinned_revision == state_.pinned_revision) {
        return true;
    }
    const auto acceptable = [&](const EngineState&) {
        if (!is_valid_banner_id(banner_id)) {
            return false;
        }
        return pinned ? pinned_revision.has_value() && *pinned_revision != 0 : !pinned_revision.has_value();
    };
    const auto change = [&](EngineState& next) {
        const bool revision_changed = pinned && next.pinned_revision != pinned_revision;
        if (revision_changed || pinned != next.pinned || banner_id != next.banner_id) {
            next.approved.reset();
            next.candidate.reset();
            next.candidate_previewed = false;
            next.notified_revision.reset();
            next.rejected.clear();
            next.etag.reset();
            next.discovery_cursor = 0;
            next.legacy_baseline.reset();
        }
        next.banner_id = std::move(banner_id);
        next.pinned = pinned;
        next.pinned_revision = pinned ? pinned_revision : std::nullopt;
        next.website_status = WebsiteStatus::available;
        next.consecutive_failures = 0;
        next.next_poll_due_ms = 0;
    };
    return transact(acceptable, change, [this] {
        // An answer to a request made for the old settings must be ignored.
        in_flight_ = false;
        in_flight_request_id_ = 0;
        show_approved();
    });
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
                    },
                    [] {});
}

void ApprovalEngine::stop() noexcept {
    stopped_ = true;
    in_flight_ = false;
    in_flight_request_id_ = 0;
}

// ---- Operator ----

bool ApprovalEngine::is_review_ready() const noexcept {
    return !in_flight_ && state_.candidate && state_.next_poll_due_ms != 0;
}

bool ApprovalEngine::claim_notification() {
    const auto unannounced = [](const EngineState& current) {
        if (current.pinned || current.legacy_baseline || !current.candidate) {
            return false;
        }
        return current.notified_revision != current.candidate->render_revision;
    };
    return transact(
        unannounced, [](EngineState& next) { next.notified_revision = next.candidate->render_revision; }, [] {});
}

bool ApprovalEngine::mark_previewed() {
    return transact([](const EngineState& current) { return current.candidate.has_value(); },
                    [](EngineState& next) { next.candidate_previewed = true; }, [] {});
}

bool ApprovalEngine::accept_candidate() {
    const auto previewed = [](const EngineState& current) {
        return !current.pinned && current.candidate && current.candidate_previewed;
    };
    const auto approve = [](EngineState& next) {
        next.approved = std::move(next.candidate);
        next.candidate.reset();
        next.candidate_previewed = false;
        next.notified_revision.reset();
        next.rejected.clear();
    };
    return transact(previewed, approve, [this] { show_approved(); });
}

bool ApprovalEngine::reject_candidate() {
    const auto reject = [](EngineState& next) {
        next.rejected.push_back({next.candidate->banner_id, next.candidate->render_revision});
        next.candidate.reset();
        next.candidate_previewed = false;
        next.notified_revision.reset();
    };
    return transact([](const EngineState& current) { return current.candidate.has_value(); }, reject, [] {});
}

} // namespace kelvara
