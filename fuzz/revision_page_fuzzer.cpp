// The render-revisions page decoder: a revision exactly with modified, and then one the image download can
// start from; the cursor only filters; a document about one banner is never the answer about another.

#include "core/revision.hpp"
#include "documents/revision_page.hpp"
#include "fuzz_check.hpp"
#include "metadata/http_requests.hpp"
#include "metadata/service_urls.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

using namespace kelvara;
using enum MetadataOutcomeKind;

constexpr std::string_view kBanner = "kelvara-7"; // the seeds in fuzz/corpus are written for it and cursor 41
constexpr std::uint64_t kAfter = 41;

void check_page(const RevisionPage& page, std::uint64_t after) {
    // A document says nothing about the network or about access.
    FUZZ_CHECK(page.outcome != network_failure && page.outcome != forbidden && page.outcome != gone);
    FUZZ_CHECK(page.revision.has_value() == (page.outcome == modified));
    if (const auto& revision = page.revision) {
        FUZZ_CHECK(revision->banner_id == kBanner && revision->render_revision > after);
        FUZZ_CHECK(revision->image_url == render_image_url(kBanner, revision->render_revision));
        FUZZ_CHECK(revision->image_bytes.empty() && revision->width == 0 && revision->height == 0);
        FUZZ_CHECK(build_image_http_request(*revision, 5000).has_value());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const RevisionPage page = decode_revision_page(body, kBanner, kAfter);
    check_page(page, kAfter);
    // From cursor 0 the same document says the same, unless it announces a revision the later cursor refuses.
    const RevisionPage from_start = decode_revision_page(body, kBanner, 0);
    check_page(from_start, 0);
    if (from_start.revision && from_start.revision->render_revision <= kAfter) {
        FUZZ_CHECK(page.outcome == malformed);
    } else {
        FUZZ_CHECK(from_start == page);
    }
    if (page.outcome != malformed) {
        FUZZ_CHECK(decode_revision_page(body, "kelvara-8", kAfter).outcome == malformed);
    }
    return 0;
}
