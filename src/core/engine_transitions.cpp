#include "core/engine_transitions.hpp"

#include "core/revision.hpp"

#include <algorithm>
#include <limits>

namespace kelvara {
namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    return a > max - b ? max : a + b;
}

void raise(std::uint64_t& counter, std::uint64_t value) noexcept {
    counter = std::max(counter, value);
}

std::uint64_t backoff_ms(std::uint32_t failures) noexcept {
    // failures is 1..16, so the shift cannot overflow before the cap applies.
    return std::min(kFirstBackoffMs << (std::clamp(failures, 1u, kMaxConsecutiveFailures) - 1), kMaxBackoffMs);
}

bool was_rejected(const EngineState& state, const RenderRevision& offered) {
    return std::any_of(state.rejected.begin(), state.rejected.end(), [&](const RejectedRevision& entry) {
        return entry.banner_id == offered.banner_id && entry.render_revision == offered.render_revision;
    });
}

bool rejected_check_passes(const EngineState& state) {
    if (state.rejected.empty()) {
        return true;
    }
    if (!state.approved || !has_render_image_url(*state.approved)) {
        return false;
    }
    const auto approved_number = state.approved->render_revision;
    return std::all_of(state.rejected.begin(), state.rejected.end(),
                       [&](const RejectedRevision& entry) { return entry.render_revision <= approved_number; });
}

} // namespace

std::uint64_t poll_interval_ms_from_seconds(std::uint64_t seconds) noexcept {
    return std::clamp<std::uint64_t>(seconds, 60, 3600) * 1000;
}

void record_outcome_status(EngineState& state, MetadataOutcomeKind kind, std::uint64_t now_ms,
                           std::optional<std::string> etag) {
    switch (kind) {
    case MetadataOutcomeKind::modified:
    case MetadataOutcomeKind::not_modified:
        state.website_status = WebsiteStatus::available;
        state.consecutive_failures = 0;
        state.next_poll_due_ms = 0;
        if (etag) {
            state.etag = std::move(etag);
        }
        return;
    case MetadataOutcomeKind::not_found:
        state.website_status = WebsiteStatus::not_found;
        return;
    case MetadataOutcomeKind::forbidden:
        state.website_status = WebsiteStatus::forbidden;
        return;
    case MetadataOutcomeKind::gone:
        state.website_status = WebsiteStatus::unavailable;
        return;
    case MetadataOutcomeKind::moderated:
        state.website_status = WebsiteStatus::moderated;
        return;
    case MetadataOutcomeKind::network_failure:
    case MetadataOutcomeKind::malformed:
        break;
    }
    // Transport failures, unreadable answers and kinds outside the enumeration back off.
    state.website_status = WebsiteStatus::offline;
    // Saturating: a loaded state may carry any count, and adding to the largest one would wrap to 0.
    state.consecutive_failures = std::min(state.consecutive_failures, kMaxConsecutiveFailures - 1) + 1;
    state.next_poll_due_ms = saturating_add(now_ms, backoff_ms(state.consecutive_failures));
}

void schedule_next_poll(EngineState& state, std::uint64_t now_ms, std::uint64_t poll_interval_ms) noexcept {
    if (state.pinned) {
        return;
    }
    state.next_poll_due_ms =
        saturating_add(now_ms, std::clamp(poll_interval_ms, kMinPollIntervalMs, kMaxPollIntervalMs));
}

AdmitResult admit_revision(EngineState& state, RenderRevision offered) {
    if (state.pinned) {
        return AdmitResult::pinned;
    }
    if (offered.banner_id != state.banner_id || !is_valid_revision(offered)) {
        return AdmitResult::stale;
    }
    // A baseline only ever belongs to an approved image of the revision form, whose numbers are not compared
    // with render-form ones. Beside an approved render-form image (a damaged or crafted snapshot) the
    // numbers must be compared, or a candidate older than the approved revision would break the state.
    const bool approved_renders = state.approved && has_render_image_url(*state.approved);
    if (has_render_image_url(offered) && state.legacy_baseline && !approved_renders) {
        // The approved revision-form image already covers paintings up to the baseline: a render-form
        // revision within it adds nothing new unless it carries a filter change or moderation.
        if (offered.latest_painting_sequence <= *state.legacy_baseline) {
            offered.contains_paid_artwork = false;
            if (!offered.contains_filter_change && !offered.contains_moderation) {
                raise(state.discovery_cursor, offered.render_revision);
                state.website_status = WebsiteStatus::available;
                return AdmitResult::already_known;
            }
        }
    } else if (state.approved) {
        if (state.approved->render_revision == offered.render_revision) {
            raise(state.discovery_cursor, offered.render_revision);
            return AdmitResult::already_known;
        }
        if (state.approved->render_revision > offered.render_revision) {
            return AdmitResult::stale;
        }
    }
    if (state.candidate && offered.render_revision <= state.candidate->render_revision) {
        return AdmitResult::stale;
    }
    if (was_rejected(state, offered)) {
        raise(state.discovery_cursor, offered.render_revision);
        return AdmitResult::rejected_before;
    }
    if (state.candidate) {
        // Superseding must never hide what the skipped candidate contained.
        offered.contains_paid_artwork = offered.contains_paid_artwork || state.candidate->contains_paid_artwork;
        offered.contains_filter_change = offered.contains_filter_change || state.candidate->contains_filter_change;
        offered.contains_moderation = offered.contains_moderation || state.candidate->contains_moderation;
    }
    raise(state.discovery_cursor, offered.render_revision);
    state.candidate = std::move(offered);
    state.candidate_previewed = false;
    state.notified_revision.reset();
    state.website_status = WebsiteStatus::available;
    return AdmitResult::new_candidate;
}

bool auto_approve(EngineState& state) {
    if (!state.candidate || state.pinned || !rejected_check_passes(state)) {
        return false;
    }
    const auto& candidate = *state.candidate;
    if (candidate.contains_paid_artwork || candidate.contains_moderation || !candidate.contains_filter_change) {
        return false;
    }
    state.approved = std::move(state.candidate);
    state.candidate.reset();
    state.candidate_previewed = false;
    state.notified_revision.reset();
    return true;
}

} // namespace kelvara
