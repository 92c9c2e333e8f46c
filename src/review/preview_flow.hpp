#pragma once

#include "core/records.hpp"

#include <obs.h>

#include <cstdint>
#include <optional>

namespace kelvara {

class SourceContext;

enum class PreviewDecision : std::uint32_t { later = 0, accept = 1, reject = 2 };

// The modal preview of a candidate's PNG with Accept, Reject and Later (or the toolkit's Cancel when
// `offer_later` is false). `later` when the dialog is closed without a decision or the PNG cannot be
// decoded, in which case nothing is shown.
PreviewDecision show_candidate_preview(const RenderRevision& candidate, bool offer_later);

// Waits up to 12 s for a review-ready candidate, pumping the UI thread's events meanwhile. Nothing when
// none arrived or the source was destroyed while waiting.
std::optional<RenderRevision> wait_for_preview_candidate(SourceContext& context);

// The properties panel's "Load & Preview" button.
bool on_load_and_preview(obs_properties_t* properties, obs_property_t* property, void* context);

} // namespace kelvara
