#pragma once

#include "core/engine_state.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace kelvara {

inline constexpr std::uint64_t kDiscoveryTimeoutMs = 5000;
inline constexpr std::uint64_t kMinPollIntervalMs = 60000;
inline constexpr std::uint64_t kMaxPollIntervalMs = 3600000;
inline constexpr std::uint64_t kFirstBackoffMs = 5000;
inline constexpr std::uint64_t kMaxBackoffMs = 300000;

enum class AdmitResult : std::uint32_t {
    new_candidate = 0,
    already_known = 1,
    rejected_before = 2,
    stale = 3,
    pinned = 4,
};

// The state changes shared by the engine's events. Each works on a state in place and touches nothing else.

// Poll seconds clamped to 60..3600 and turned into milliseconds.
std::uint64_t poll_interval_ms_from_seconds(std::uint64_t seconds) noexcept;

// Website status, failure count, next poll time and entity tag after an answer of the given kind.
void record_outcome_status(EngineState& state, MetadataOutcomeKind kind, std::uint64_t now_ms,
                           std::optional<std::string> etag);

// Next poll one interval from now (saturating); a pinned state is left alone.
void schedule_next_poll(EngineState& state, std::uint64_t now_ms, std::uint64_t poll_interval_ms) noexcept;

// Decides what a revision found by discovery means for the state and applies it.
AdmitResult admit_revision(EngineState& state, RenderRevision offered);

// Approves a freshly admitted filter-only candidate without the operator; true when it did.
bool auto_approve(EngineState& state);

} // namespace kelvara
