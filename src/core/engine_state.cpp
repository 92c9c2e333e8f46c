#include "core/engine_state.hpp"

#include "core/banner_rules.hpp"
#include "core/revision.hpp"

#include <algorithm>

namespace kelvara {
namespace {

bool belongs_to_banner(const std::optional<RenderRevision>& revision, const std::string& banner_id) {
    return !revision || (revision->banner_id == banner_id && is_valid_revision(*revision));
}

bool candidate_is_newer(const RenderRevision& approved, const RenderRevision& candidate) {
    // Revision-form and render-form numbers count separately; a render-form candidate may carry a lower
    // number than a revision-form approved image.
    if (image_url_form(approved) == ImageUrlForm::revision && has_render_image_url(candidate)) {
        return true;
    }
    return candidate.render_revision > approved.render_revision;
}

} // namespace

bool is_valid_state(const EngineState& state) {
    if (state.version != kEngineStateVersion || !is_valid_banner_id(state.banner_id)) {
        return false;
    }
    if (state.pinned != state.pinned_revision.has_value() || state.pinned_revision == std::optional<std::uint64_t>{0}) {
        return false;
    }
    if (static_cast<std::uint32_t>(state.website_status) > static_cast<std::uint32_t>(WebsiteStatus::moderated)) {
        return false;
    }
    if (!belongs_to_banner(state.approved, state.banner_id) || !belongs_to_banner(state.candidate, state.banner_id)) {
        return false;
    }
    if (state.approved && state.candidate && !candidate_is_newer(*state.approved, *state.candidate)) {
        return false;
    }
    if (state.notified_revision &&
        (!state.candidate || state.pinned || *state.notified_revision != state.candidate->render_revision)) {
        return false;
    }
    if (state.candidate_previewed && !state.candidate) {
        return false;
    }
    if (state.pinned && (state.candidate || state.candidate_previewed ||
                         (state.approved && state.approved->render_revision != *state.pinned_revision))) {
        return false;
    }
    const bool rejected_ok = std::all_of(state.rejected.begin(), state.rejected.end(), [&](const RejectedRevision& r) {
        return r.banner_id == state.banner_id && r.render_revision != 0;
    });
    return rejected_ok && state.legacy_baseline != std::optional<std::uint64_t>{0};
}

EngineState normalize_state(EngineState state) {
    if (is_valid_state(state)) {
        return state;
    }
    return EngineState{};
}

bool follows_same_banner(const EngineState& a, const EngineState& b) noexcept {
    return a.banner_id == b.banner_id && a.pinned == b.pinned && a.pinned_revision == b.pinned_revision;
}

bool same_after_restart(const EngineState& a, const EngineState& b) noexcept {
    // Field by field, without copies: an answer comes with every poll, and a state may hold 10000 rejections.
    // A field added to EngineState belongs here unless a start resets it.
    return a.version == b.version && a.banner_id == b.banner_id && a.pinned == b.pinned &&
           a.pinned_revision == b.pinned_revision && a.approved == b.approved && a.candidate == b.candidate &&
           a.rejected == b.rejected && a.candidate_previewed == b.candidate_previewed &&
           a.notified_revision == b.notified_revision && a.discovery_cursor == b.discovery_cursor &&
           a.legacy_baseline == b.legacy_baseline;
}

bool holds_review_work(const EngineState& state) noexcept {
    return state.approved || state.candidate || !state.rejected.empty();
}

} // namespace kelvara
