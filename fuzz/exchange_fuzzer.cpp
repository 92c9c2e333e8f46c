// A discovery exchange, then the image reply: a revision only when modified, complete and valid; a valid tag
// only with modified or not_modified; a redirected reply or one for another URL is malformed.
// Input: control bytes (flags, see flag(); two statuses; cursor; bit 0: image reply ended without an error),
// then fields split at 0x1E: body, reply ETag, request ETag, reply URL, content type, image body, URL, type.

#include "core/revision.hpp"
#include "fuzz_check.hpp"
#include "metadata/http_requests.hpp"
#include "metadata/outcome_classification.hpp"
#include "metadata/service_urls.hpp"
#include "test_fixtures/revisions.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

namespace {

using namespace kelvara;

const std::string kBanner = "kelvara-7";

std::int32_t status_of(std::uint8_t selector) {
    constexpr std::array<std::int32_t, 14> common{200, 304, 403, 404, 410, 0, 500, 301, 302, 429, 451, 204, 201, 503};
    const std::size_t index = selector % 16;
    return index < common.size() ? common[index] : static_cast<std::int32_t>(selector) * 7 - 300;
}

void check_shape(const MetadataHttpOutcome& outcome) {
    using enum MetadataOutcomeKind;
    FUZZ_CHECK(outcome.revision.has_value() == (outcome.kind == modified));
    FUZZ_CHECK(!outcome.etag ||
               ((outcome.kind == modified || outcome.kind == not_modified) && is_valid_entity_tag(*outcome.etag)));
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

    const DiscoveryRequest request{kBanner, flag(3) ? std::optional(field[2]) : std::nullopt, 5000, control[3]};
    const std::string url = render_revisions_url(kBanner, request.after);
    const DiscoveryResponseView view{status_of(control[1]),
                                     flag(1) ? field[3] : url,
                                     flag(4) ? field[4] : std::string(kJsonContentType),
                                     field[0],
                                     flag(2) ? std::optional(field[1]) : std::nullopt,
                                     flag(0)};
    const auto discovered = classify_discovery_response(view, request, request.after);
    check_shape(discovered);
    FUZZ_CHECK((!view.redirected && view.url == url) || discovered.kind == MetadataOutcomeKind::malformed);

    // The image reply, for the revision the page announced or, failing that, for the next revision.
    RenderRevision asked = discovered.revision ? *discovered.revision : test::make_revision(kBanner, request.after + 1);
    asked.image_bytes = {};
    asked.width = asked.height = 0;
    FUZZ_CHECK(build_image_http_request(asked, request.timeout_ms).has_value());
    const ImageResponseView image{status_of(control[2]), flag(6) ? field[6] : asked.image_url,
                                  flag(7) ? field[7] : std::string(kPngContentType),
                                  std::vector<std::uint8_t>(field[5].begin(), field[5].end()), flag(5)};
    const bool no_error = (control[4] & 1) != 0;
    const auto validated = validate_image_response(image, asked);
    if (validated) {
        FUZZ_CHECK(is_valid_revision(*validated) && std::ranges::equal(validated->image_bytes.span(), image.body));
        FUZZ_CHECK(image.status == 200 && !image.redirected && image.url == asked.image_url);
        RenderRevision same = *validated; // only the image and its size were added
        same.image_bytes = {};
        same.width = same.height = 0;
        FUZZ_CHECK(same == asked);
    }
    if (discovered.kind == MetadataOutcomeKind::modified) {
        const auto delivered = apply_image_response(discovered, image, no_error);
        check_shape(delivered);
        const bool complete = validated && !failed_in_transport(image.status, no_error);
        FUZZ_CHECK((delivered.kind == MetadataOutcomeKind::modified) == complete);
        FUZZ_CHECK(complete ? delivered.revision == validated && delivered.etag == discovered.etag : !delivered.etag);
    }
    return 0;
}
