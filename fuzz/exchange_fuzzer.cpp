// One discovery exchange through the classification: the render-revisions reply, then the image reply. Every
// outcome keeps the promises the engine relies on: a revision only with modified, and then complete and
// valid; an entity tag only with modified or not_modified, and then valid; a redirected reply, or one for
// another URL, is malformed; the image counts only when it passed validation and arrived whole.
//
// Input layout: 5 control bytes, then fields separated by the byte 0x1E (missing ones are empty):
//   byte 0, bits: 0 reply redirected, 1 reply URL from field 3 (else the request's URL), 2 reply ETag
//                 present (field 1), 3 request ETag present (field 2), 4 content type from field 4 (else
//                 "application/json"), 5 image reply redirected, 6 image URL from field 6 (else the
//                 revision's image URL), 7 image content type from field 7 (else "image/png")
//   byte 1: render-revisions status, byte 2: image status (see status_of), byte 3: the cursor `after`
//   byte 4, bit 0: the image reply ended without a network error
//   fields: 0 body, 1 reply ETag, 2 request ETag, 3 reply URL, 4 content type, 5 image body, 6 image URL,
//           7 image content type

#include "core/revision.hpp"
#include "fuzz_check.hpp"
#include "metadata/http_requests.hpp"
#include "metadata/outcome_classification.hpp"
#include "metadata/service_urls.hpp"
#include "support/revisions.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

namespace {

using kelvara::MetadataOutcomeKind;

const std::string kBanner = "kelvara-7";

std::int32_t status_of(std::uint8_t selector) {
    constexpr std::array<std::int32_t, 14> common{200, 304, 403, 404, 410, 0, 500, 301, 302, 429, 451, 204, 201, 503};
    const std::size_t index = selector % 16;
    return index < common.size() ? common[index] : static_cast<std::int32_t>(selector) * 7 - 300;
}

void check_shape(const kelvara::MetadataHttpOutcome& outcome) {
    FUZZ_CHECK(outcome.revision.has_value() == (outcome.kind == MetadataOutcomeKind::modified));
    FUZZ_CHECK(!outcome.etag ||
               ((outcome.kind == MetadataOutcomeKind::modified || outcome.kind == MetadataOutcomeKind::not_modified) &&
                kelvara::is_valid_entity_tag(*outcome.etag)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::array<std::uint8_t, 5> control{};
    std::array<std::string, 8> field;
    std::copy_n(data, std::min(size, control.size()), control.begin());
    for (std::size_t i = control.size(), f = 0; i < size; ++i) {
        if (data[i] == 0x1E && f + 1 < field.size()) {
            ++f;
        } else {
            field[f].push_back(static_cast<char>(data[i]));
        }
    }
    const auto flag = [&](int bit) { return ((control[0] >> bit) & 1) != 0; };

    kelvara::DiscoveryRequest request{kBanner, std::nullopt, 5000, control[3]};
    if (flag(3)) {
        request.etag = field[2];
    }
    const std::string url = kelvara::render_revisions_url(kBanner, request.after);
    const kelvara::DiscoveryResponseView view{status_of(control[1]),
                                              flag(1) ? field[3] : url,
                                              flag(4) ? field[4] : std::string(kelvara::kJsonContentType),
                                              field[0],
                                              flag(2) ? std::optional(field[1]) : std::nullopt,
                                              flag(0)};
    const auto discovered = kelvara::classify_discovery_response(view, request, request.after);
    check_shape(discovered);
    FUZZ_CHECK((!view.redirected && view.url == url) || discovered.kind == MetadataOutcomeKind::malformed);

    // The image reply, for the revision the page announced or, failing that, for the next revision.
    kelvara::RenderRevision asked =
        discovered.revision ? *discovered.revision : kelvara::test::make_revision(kBanner, request.after + 1);
    asked.image_bytes = {};
    asked.width = asked.height = 0;
    FUZZ_CHECK(kelvara::build_image_http_request(asked, request.timeout_ms).has_value());
    const kelvara::ImageResponseView image{status_of(control[2]), flag(6) ? field[6] : asked.image_url,
                                           flag(7) ? field[7] : std::string(kelvara::kPngContentType),
                                           std::vector<std::uint8_t>(field[5].begin(), field[5].end()), flag(5)};
    const bool no_error = (control[4] & 1) != 0;
    const auto validated = kelvara::validate_image_response(image, asked);
    if (validated) {
        FUZZ_CHECK(kelvara::is_valid_revision(*validated) &&
                   std::ranges::equal(validated->image_bytes.span(), image.body));
        FUZZ_CHECK(image.status == 200 && !image.redirected && image.url == asked.image_url);
        // Only the image and its size were added.
        kelvara::RenderRevision same = *validated;
        same.image_bytes = {};
        same.width = same.height = 0;
        FUZZ_CHECK(same == asked);
    }
    if (discovered.kind == MetadataOutcomeKind::modified) {
        const auto delivered = kelvara::apply_image_response(discovered, image, no_error);
        check_shape(delivered);
        const bool complete = validated && !kelvara::failed_in_transport(image.status, no_error);
        FUZZ_CHECK((delivered.kind == MetadataOutcomeKind::modified) == complete);
        FUZZ_CHECK(complete ? delivered.revision == validated && delivered.etag == discovered.etag : !delivered.etag);
    }
    return 0;
}
