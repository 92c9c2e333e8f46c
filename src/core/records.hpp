#pragma once

#include "core/image_bytes.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace kelvara {

// One render revision of a banner together with its downloaded image.
struct RenderRevision {
    std::string banner_id;
    std::uint64_t render_revision = 0;
    std::uint64_t latest_painting_sequence = 0;
    std::string image_url;
    std::string content_type;
    ImageBytes image_bytes;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool contains_paid_artwork = false;
    bool contains_filter_change = false;
    bool contains_moderation = false;

    friend bool operator==(const RenderRevision&, const RenderRevision&) = default;
};

// A revision the operator rejected.
struct RejectedRevision {
    std::string banner_id;
    std::uint64_t render_revision = 0;

    friend bool operator==(const RejectedRevision&, const RejectedRevision&) = default;
};

// What the engine asks the metadata port to fetch: the first revision after `after`.
struct DiscoveryRequest {
    std::string banner_id;
    std::optional<std::string> etag;
    std::uint64_t timeout_ms = 0;
    std::uint64_t after = 0;

    friend bool operator==(const DiscoveryRequest&, const DiscoveryRequest&) = default;
};

enum class MetadataOutcomeKind : std::uint32_t {
    modified = 0,
    not_modified = 1,
    network_failure = 2,
    not_found = 3,
    forbidden = 4,
    gone = 5,
    moderated = 6,
    malformed = 7,
};

// The name the tick writes to the log for an outcome kind; "unknown" for values outside the enumeration.
const char* outcome_kind_name(MetadataOutcomeKind kind) noexcept;

// The classified result of one exchange. `revision` is present only with `modified`.
struct MetadataHttpOutcome {
    MetadataOutcomeKind kind = MetadataOutcomeKind::malformed;
    std::optional<RenderRevision> revision;
    std::optional<std::string> etag;
};

// One finished exchange as the metadata adapter queues it for the tick.
struct CompletedOutcome {
    std::uint64_t request_id = 0;
    MetadataHttpOutcome outcome;
};

} // namespace kelvara
