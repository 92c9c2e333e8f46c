#pragma once

#include "core/records.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kelvara {

inline constexpr std::uint64_t kDiscoveryMaxBodyBytes = 16384;
inline constexpr std::uint64_t kImageMaxBodyBytes = 16777216;
inline constexpr std::uint64_t kMaxExchangeTimeoutMs = 30000;
inline constexpr std::size_t kMaxEntityTagLength = 1024;

// One render-revisions request. Header names are unique and kept in ascending byte order, which is the
// order the adapter sets them in; inserting a name twice keeps the first value.
struct MetadataHttpRequest {
    std::string url;
    std::map<std::string, std::string> headers;
    std::uint64_t timeout_ms = 0;
    std::uint64_t max_body_bytes = kDiscoveryMaxBodyBytes;

    friend bool operator==(const MetadataHttpRequest&, const MetadataHttpRequest&) = default;
};

// One image download.
struct ImageHttpRequest {
    std::string url;
    std::uint64_t timeout_ms = 0;
    std::uint64_t max_body_bytes = kImageMaxBodyBytes;

    friend bool operator==(const ImageHttpRequest&, const ImageHttpRequest&) = default;
};

// An HTTP entity tag, strong ("...") or weak (W/"..."), of at most 1024 bytes.
bool is_valid_entity_tag(std::string_view text) noexcept;

// Empty when no request may be sent: an invalid banner ID, or a time-out of 0 or above 30 s.
// A stored entity tag that is not valid is left out and the request is still built.
std::optional<MetadataHttpRequest> build_discovery_http_request(const DiscoveryRequest& request);

// Empty unless the revision is a decoded, not yet downloaded revision whose image URL is one of the two
// forms built from its own banner ID and number, and the time-out is 1 ms to 30 s.
std::optional<ImageHttpRequest> build_image_http_request(const RenderRevision& revision, std::uint64_t timeout_ms);

} // namespace kelvara
