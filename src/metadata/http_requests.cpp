#include "metadata/http_requests.hpp"

#include "core/revision.hpp"
#include "metadata/service_urls.hpp"

namespace kelvara {

bool is_valid_entity_tag(std::string_view text) noexcept {
    if (text.empty() || text.size() > kMaxEntityTagLength) {
        return false;
    }
    std::size_t opaque_start = 0;
    if (text.size() > 2 && text.starts_with("W/\"")) {
        opaque_start = 3;
    } else if (text.front() == '"') {
        opaque_start = 1;
    } else {
        return false;
    }
    if (text.size() <= opaque_start || text.back() != '"') {
        return false;
    }
    for (std::size_t i = opaque_start; i + 1 < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x21 || byte == 0x7F || byte == '"') {
            return false;
        }
    }
    return true;
}

std::optional<MetadataHttpRequest> build_discovery_http_request(const DiscoveryRequest& request) {
    if (!is_valid_banner_id(request.banner_id) || request.timeout_ms == 0 ||
        request.timeout_ms > kMaxExchangeTimeoutMs) {
        return std::nullopt;
    }
    MetadataHttpRequest http;
    http.url = render_revisions_url(request.banner_id, request.after);
    http.headers.emplace("Accept", "application/json");
    if (request.etag && is_valid_entity_tag(*request.etag)) {
        http.headers.emplace("If-None-Match", *request.etag);
    }
    http.timeout_ms = request.timeout_ms;
    http.max_body_bytes = kDiscoveryMaxBodyBytes;
    return http;
}

std::optional<ImageHttpRequest> build_image_http_request(const RenderRevision& revision, std::uint64_t timeout_ms) {
    const bool acceptable =
        is_valid_banner_id(revision.banner_id) && revision.render_revision != 0 && revision.width <= kMaxImageSide &&
        revision.height <= kMaxImageSide && revision.content_type == kPngContentType && timeout_ms >= 1 &&
        timeout_ms <= kMaxExchangeTimeoutMs && revision.image_bytes.empty() && has_service_image_url(revision);
    if (!acceptable) {
        return std::nullopt;
    }
    return ImageHttpRequest{revision.image_url, timeout_ms, kImageMaxBodyBytes};
}

} // namespace kelvara
