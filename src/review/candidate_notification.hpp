#pragma once

#include "review/review_gate.hpp"

#include <cstdint>
#include <memory>

namespace kelvara {

// Queues the announcement of candidate `revision` of the gate's source to the UI thread; any thread. It runs
// once the poster has long released the source's lock, and does nothing for a source that went away.
void announce_candidate(std::shared_ptr<ReviewGate> gate, std::uint64_t revision);

// Tells the operator about a candidate the tick claimed: the preview dialog when the host's window is in
// front, otherwise a taskbar alert and a tray message. A claimed candidate that is not ready for review yet
// (a save or a request under way) is presented once it is. UI thread, as a call queued by announce_candidate.
void present_candidate_update(const std::shared_ptr<ReviewGate>& gate, std::uint64_t revision);

} // namespace kelvara
