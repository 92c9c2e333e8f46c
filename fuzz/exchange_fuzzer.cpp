// One discovery exchange end to end through the pure classification: the render-revisions reply, then the
// image reply. Every outcome must keep the promises the engine relies on: a revision only with modified,
// and then complete and valid; an entity tag only with modified or not_modified, and then valid.
//
// Input layout: 5 control bytes, then fields separated by the byte 0x1E (missing ones are empty):
//   byte 0, bits: 0 reply redirected, 1 reply URL from field 3 (else the request's URL), 2 reply ETag
//                 present (field 1), 3 request ETag present (field 2), 4 content type from field 4 (else
//                 "application/json"), 5 image reply redirected, 6 image URL from field 6 (else the
//                 revision's image URL), 7 image content type from field 7 (else "image/png")
//   byte 1: render-revisions status, byte 2: image status (see status_of)
//   byte 3: the request's cursor `after`
//   byte 4, bit 0: the image reply ended without a network error
//   fields: 0 body, 1 reply ETag, 2 request ETag, 3 reply URL, 4 content type, 5 image body, 6 image URL,
//           7 image content type

#include "core/revision.hpp"
#include "documents/revision_page.hpp"
#include "fuzz_check.hpp"
#include "metadata/http_requests.hpp"
#include "metadata/outcome_classification.hpp"
#include "metadata/service_urls.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using kelvara::MetadataHttpOutcome;
using kelvara::MetadataOutcomeKind;

constexpr std::string_view kBanner = "kelvara-7";
constexpr std::size_t kControlBytes = 5;
constexpr std::size_t kFields = 8;

std::int32_t status_of(std::uint8_t selector) {
    constexpr std::array<std::int32_t, 14> common{200, 304, 403, 404, 410, 0, 500, 301, 302, 429, 451, 204, 201, 503};
    const std::size_t index = selector % 16;
    return index < common.size() ? common[index] : static_cast<std::int32_t>(selector) * 7 - 300;
}

struct Input {
    std::array<std::uint8_t, kControlBytes> control{};
    std::array<std::string, kFields> fields;

    bool flag(std::size_t byte, int bit) const { return (control[byte] >> bit) & 1; }
};

Input split(const std::uint8_t* data, std::size_t size) {
    Input input;
    const std::size_t control = std::min(size, kControlBytes);
    std::copy(data, data + control, input.control.begin());
    std::size_t field = 0;
    for (std::size_t i = control; i < size; ++i) {
        if (data[i] == 0x1E && field + 1 < kFields) {
            ++field;
        } else {
            input.fields[field].push_back(static_cast<char>(data[i]));
        }
    }
    return input;
}

bool is_valid_tag(const std::optional<std::string>& tag) {
    return tag && kelvara::is_valid_entity_tag(*tag);
}

void check_outcome_shape(const MetadataHttpOutcome& outcome) {
    FUZZ_CHECK(static_cast<std::uint32_t>(outcome.kind) <= 7);
    FUZZ_CHECK(outcome.revision.has_value() == (outcome.kind == MetadataOutcomeKind::modified));
    if (outcome.etag) {
        FUZZ_CHECK(outcome.kind == MetadataOutcomeKind::modified || outcome.kind == MetadataOutcomeKind::not_modified);
        FUZZ_CHECK(kelvara::is_valid_entity_tag(*outcome.etag));
    }
}

// The kind the render-revisions reply must get, decided from the table of outcomes independently of the
// order in which the classification tests things.
void check_discovery(const MetadataHttpOutcome& outcome, const kelvara::DiscoveryResponseView& view,
                     const kelvara::DiscoveryRequest& request) {
    check_outcome_shape(outcome);
    if (view.redirected || view.url != kelvara::render_revisions_url(request.banner_id, request.after)) {
        FUZZ_CHECK(outcome.kind == MetadataOutcomeKind::malformed && !outcome.etag);
        return;
    }
    switch (view.status) {
    case 200: {
        if (view.content_type != kelvara::kJsonContentType) {
            FUZZ_CHECK(outcome.kind == MetadataOutcomeKind::malformed);
            break;
        }
        const auto page = kelvara::decode_revision_page(view.body, request.banner_id, request.after);
        FUZZ_CHECK(outcome.kind == page.outcome && outcome.revision == page.revision);
        const bool keeps_tag = page.outcome == MetadataOutcomeKind::modified && is_valid_tag(view.etag);
        FUZZ_CHECK(outcome.etag == (keeps_tag ? view.etag : std::nullopt));
        break;
    }
    case 304:
        FUZZ_CHECK(outcome.kind ==
                   (is_valid_tag(request.etag) ? MetadataOutcomeKind::not_modified : MetadataOutcomeKind::malformed));
        if (outcome.kind == MetadataOutcomeKind::not_modified) {
            FUZZ_CHECK(outcome.etag == (is_valid_tag(view.etag) ? view.etag : std::nullopt));
        }
        break;
    case 403:
        FUZZ_CHECK(outcome.kind == MetadataOutcomeKind::forbidden);
        break;
    case 404:
        FUZZ_CHECK(outcome.kind == MetadataOutcomeKind::not_found);
        break;
    case 410:
        FUZZ_CHECK(outcome.kind == MetadataOutcomeKind::gone);
        break;
    default:
        FUZZ_CHECK(outcome.kind == MetadataOutcomeKind::network_failure);
    }
}

void check_image(const kelvara::RenderRevision& asked, const kelvara::ImageResponseView& view,
                 const std::optional<kelvara::RenderRevision>& result) {
    if (!result) {
        return;
    }
    FUZZ_CHECK(kelvara::is_valid_revision(*result));
    FUZZ_CHECK(view.status == 200 && !view.redirected && view.url == asked.image_url);
    FUZZ_CHECK(view.content_type == kelvara::kPngContentType);
    FUZZ_CHECK(std::ranges::equal(result->image_bytes.span(), view.body));
    const auto size = kelvara::read_png_header_size(result->image_bytes.span());
    FUZZ_CHECK(size && size->width == result->width && size->height == result->height);
    kelvara::RenderRevision same = *result;
    same.image_bytes = asked.image_bytes;
    same.width = asked.width;
    same.height = asked.height;
    FUZZ_CHECK(same == asked);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Input input = split(data, size);

    kelvara::DiscoveryRequest request;
    request.banner_id = kBanner;
    request.timeout_ms = 5000;
    request.after = input.control[3];
    if (input.flag(0, 3)) {
        request.etag = input.fields[2];
    }

    kelvara::DiscoveryResponseView view;
    view.status = status_of(input.control[1]);
    view.url = input.flag(0, 1) ? input.fields[3] : kelvara::render_revisions_url(kBanner, request.after);
    view.content_type = input.flag(0, 4) ? input.fields[4] : std::string(kelvara::kJsonContentType);
    view.body = input.fields[0];
    if (input.flag(0, 2)) {
        view.etag = input.fields[1];
    }
    view.redirected = input.flag(0, 0);

    const MetadataHttpOutcome discovered = kelvara::classify_discovery_response(view, request, request.after);
    check_discovery(discovered, view, request);

    // The image reply, for the revision the page announced or, failing that, for the next revision.
    kelvara::RenderRevision asked;
    if (discovered.revision) {
        asked = *discovered.revision;
        FUZZ_CHECK(kelvara::build_image_http_request(asked, request.timeout_ms).has_value());
    } else {
        asked.banner_id = kBanner;
        asked.render_revision = request.after + 1;
        asked.image_url = kelvara::render_image_url(kBanner, asked.render_revision);
        asked.content_type = kelvara::kPngContentType;
    }
    kelvara::ImageResponseView image;
    image.status = status_of(input.control[2]);
    image.url = input.flag(0, 6) ? input.fields[6] : asked.image_url;
    image.content_type = input.flag(0, 7) ? input.fields[7] : std::string(kelvara::kPngContentType);
    image.body.assign(input.fields[5].begin(), input.fields[5].end());
    image.redirected = input.flag(0, 5);
    const bool no_error = input.flag(4, 0);

    const auto validated = kelvara::validate_image_response(image, asked);
    check_image(asked, image, validated);
    if (discovered.kind != MetadataOutcomeKind::modified) {
        return 0;
    }
    const MetadataHttpOutcome delivered = kelvara::apply_image_response(discovered, image, no_error);
    check_outcome_shape(delivered);
    if (validated) {
        FUZZ_CHECK(delivered.kind == MetadataOutcomeKind::modified && delivered.revision == validated);
        FUZZ_CHECK(delivered.etag == discovered.etag);
    } else {
        FUZZ_CHECK(delivered.kind == kelvara::image_failure_kind(image.status, no_error));
        FUZZ_CHECK(!delivered.etag);
    }
    return 0;
}
