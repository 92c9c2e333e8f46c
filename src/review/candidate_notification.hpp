#pragma once

#include "core/records.hpp"

#include <cstdint>
#include <optional>

namespace kelvara {

class SourceContext;

// Operations on a source's candidate for the review UI. Each takes the source lock only around its engine
// work, never while the decision is written to disk, and acts only while the state is review-ready, so a
// decision about a candidate that was replaced, or that discovery is busy with, changes nothing. A failed
// save throws its exception and changes nothing either.
std::optional<RenderRevision> copy_preview_candidate(SourceContext& context);
// The operator chose Accept while looking at candidate `revision`: it is marked previewed and approved in
// one change, written once.
bool accept_if_current(SourceContext& context, std::uint64_t revision);
bool reject_if_current(SourceContext& context, std::uint64_t revision);

// Tells the operator about a candidate the tick claimed: the preview dialog when the host's window is in
// front, otherwise a taskbar alert and a tray message. UI thread, as a call queued by the tick.
void present_candidate_update(SourceContext& context, std::uint64_t revision);

} // namespace kelvara
