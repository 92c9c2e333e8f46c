#pragma once

#include "core/records.hpp"
#include "review/preview_registry.hpp"
#include "review/review_gate.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kelvara {

enum class PreviewDecision : std::uint32_t { later = 0, accept = 1, reject = 2 };

// The modal preview of a candidate's PNG with Accept, Reject and Later (or the toolkit's Cancel when
// `offer_later` is false), and above the image a line that says which source asks (`heading`). Later (or
// Cancel) is the default and focused button: a stray Return or Space decides nothing. `later` when the
// dialog is closed without a decision or the PNG cannot be decoded, in which case nothing is shown. While
// the dialog runs, `hold` (the source's place in the preview registry) can bring it to the front.
PreviewDecision show_candidate_preview(const RenderRevision& candidate, bool offer_later,
                                       const std::string& heading = {}, PreviewRegistry::Hold* hold = nullptr);

// Waits, with a busy cursor, until a candidate is review-ready, or until discovery has answered without
// one, for at most 12 s, pumping the UI thread's events meanwhile. Nothing when no candidate is ready or
// the source went away while waiting.
std::optional<RenderRevision> wait_for_preview_candidate(ReviewGate& gate);

// The properties panel's "Load & Preview": shows the candidate (asking the service first when none is ready)
// and carries out the operator's decision. True when the decision changed the source. Logs its failures.
bool load_and_preview(const std::shared_ptr<ReviewGate>& gate) noexcept;

} // namespace kelvara
