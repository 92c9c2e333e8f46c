#include "metadata/outcome_classification.hpp"

#include "core/revision.hpp"
#include "documents/revision_page.hpp"
#include "metadata/http_requests.hpp"
#include "metadata/service_urls.hpp"

namespace kelvara {
namespace {

bool is_valid_tag(const std::optional<std::string>& tag) {
    return tag && is_valid_entity_tag(*tag);
}

std::uint32_t read_be32(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
           (std::uint32_t{bytes[offset + 2]} << 8) | std::uint32_t{bytes[offset + 3]};
}

MetadataHttpOutcome outcome_of(MetadataOutcomeKind kind) {
    MetadataHttpOutcome outcome;
    outcome.kind = kind;
    return outcome;
}

} // namespace

bool failed_in_transport(std::int32_t status, bool reply_no_error) noexcept {
    return !reply_no_error && status < 400;
}

MetadataHttpOutcome classify_discovery_response(const DiscoveryResponseView& view, const DiscoveryRequest& request,
                                                std::uint64_t after) {
    // A cut-off page can still parse (cut in its padding, say); taking it would skip what it did not show.
    if (failed_in_transport(view.status, view.reply_no_error)) {
        return outcome_of(MetadataOutcomeKind::network_failure);
    }
    // Redirects are never followed, so a redirect answer or a reply standing for another URL is not an
    // answer to this request.
    if (view.redirected || view.url != render_revisions_url(request.banner_id, after)) {
        return outcome_of(MetadataOutcomeKind::malformed);
    }
    switch (view.status) {
    case 200: {
        // A media type parameter (a charset, say) makes the type differ.
        if (view.content_type != kJsonContentType || view.body.size() > kDiscoveryMaxBodyBytes) {
            return outcome_of(MetadataOutcomeKind::malformed);
        }
        RevisionPage page = decode_revision_page(view.body, request.banner_id, after);
        MetadataHttpOutcome outcome = outcome_of(page.outcome);
        outcome.revision = std::move(page.revision);
        if (outcome.kind == MetadataOutcomeKind::modified && is_valid_tag(view.etag)) {
            outcome.etag = view.etag;
        }
        return outcome;
    }
    case 304: {
        // Only a conditional request can be answered "not modified"; the request left out an invalid tag.
        if (!is_valid_tag(request.etag)) {
            return outcome_of(MetadataOutcomeKind::malformed);
        }
        MetadataHttpOutcome outcome = outcome_of(MetadataOutcomeKind::not_modified);
        if (is_valid_tag(view.etag)) {
            outcome.etag = view.etag;
        }
        return outcome;
    }
    case 403:
        return outcome_of(MetadataOutcomeKind::forbidden);
    case 404:
        return outcome_of(MetadataOutcomeKind::not_found);
    case 410:
        return outcome_of(MetadataOutcomeKind::gone);
    default:
        // No status at all, every 5xx, 429 and any other answer: try again later.
        return outcome_of(MetadataOutcomeKind::network_failure);
    }
}

std::optional<RenderRevision> validate_image_response(ImageResponseView view, RenderRevision revision) {
    if (view.redirected || view.status != 200 || view.url != revision.image_url ||
        view.content_type != kPngContentType || view.body.empty() || view.body.size() > kMaxImageBytes) {
        return std::nullopt;
    }
    if (revision.width == 0 && revision.height == 0 && view.body.size() >= 24) {
        revision.width = read_be32(view.body, 16);
        revision.height = read_be32(view.body, 20);
    }
    revision.image_bytes = ImageBytes(std::move(view.body));
    if (!is_valid_revision(revision)) {
        return std::nullopt;
    }
    return revision;
}

MetadataOutcomeKind image_failure_kind(std::int32_t status, bool reply_no_error) noexcept {
    switch (status) {
    case 403:
        return MetadataOutcomeKind::forbidden;
    case 410:
        return MetadataOutcomeKind::gone;
    case 404:
        return MetadataOutcomeKind::not_found;
    default:
        // A complete answer that failed validation is the service's fault; any other error status is not.
        return reply_no_error ? MetadataOutcomeKind::malformed : MetadataOutcomeKind::network_failure;
    }
}

MetadataHttpOutcome apply_image_response(MetadataHttpOutcome modified, ImageResponseView view, bool reply_no_error) {
    const std::int32_t status = view.status;
    // The PNG header arrives first, so a cut-off image would pass validation and its entity tag would then
    // stop every later download of the revision.
    if (failed_in_transport(status, reply_no_error)) {
        return outcome_of(MetadataOutcomeKind::network_failure);
    }
    if (modified.revision) {
        auto complete = validate_image_response(std::move(view), std::move(*modified.revision));
        if (complete) {
            modified.revision = std::move(complete);
            return modified;
        }
    }
    // The entity tag goes too: keeping it would let the next conditional request skip this revision.
    return outcome_of(image_failure_kind(status, reply_no_error));
}

} // namespace kelvara
