#pragma once

#include "core/records.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvara {

inline constexpr std::uint32_t kEngineStateVersion = 7;
inline constexpr std::uint32_t kMaxConsecutiveFailures = 16;
// The most rejected revisions a state keeps, and the most the snapshot store reads back.
inline constexpr std::size_t kMaxRejectedRevisions = 10000;

// How the service answered last. Held as a 32-bit number because a loaded file may carry any value;
// is_valid_state refuses values above `moderated`.
enum class WebsiteStatus : std::uint32_t {
    available = 0,
    offline = 1,
    forbidden = 2,
    not_found = 3,
    unavailable = 4,
    moderated = 5,
};

// Everything the engine knows about one source's banner; exactly what the snapshot file holds.
// A default-constructed state is the empty state; every field has a default so that a designated initializer
// need name only the fields that differ.
struct EngineState {
    std::uint32_t version = kEngineStateVersion;
    std::string banner_id{};
    bool pinned = false;
    std::optional<std::uint64_t> pinned_revision{};
    std::optional<RenderRevision> approved{};
    std::optional<RenderRevision> candidate{};
    std::vector<RejectedRevision> rejected{};
    WebsiteStatus website_status = WebsiteStatus::available;
    bool candidate_previewed = false;
    std::optional<std::uint64_t> notified_revision{};
    std::uint32_t consecutive_failures = 0;
    std::uint64_t next_poll_due_ms = 0;
    std::optional<std::string> etag{};
    std::uint64_t discovery_cursor = 0;
    std::optional<std::uint64_t> legacy_baseline{};

    friend bool operator==(const EngineState&, const EngineState&) = default;
};

// Whether every invariant of a state holds. The empty state is not valid (it has no banner ID).
bool is_valid_state(const EngineState& state);

// The state itself when valid, otherwise the empty state.
EngineState normalize_state(EngineState state);

// Whether two states follow the same banner in the same way: same banner ID, both pinned to the same revision
// or both unpinned. A state of other settings is another banner's approval, even for the same ID.
bool follows_same_banner(const EngineState& a, const EngineState& b) noexcept;

// Whether a state holds something an operator would have to review again if it were thrown away: an
// approved revision, a candidate or a rejection.
bool holds_review_work(const EngineState& state) noexcept;

// Whether two states differ only where a start changes a loaded state anyway: it clears the entity tag, the
// failure count and the poll time, and its first answer replaces the website status. Every other field counts.
bool same_after_restart(const EngineState& a, const EngineState& b) noexcept;

} // namespace kelvara
