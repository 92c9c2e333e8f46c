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

using kelvara::MetadataOutcomeKind;

// The seeds in fuzz/corpus/revision_page_fuzzer are written for this banner and cursor.
constexpr std::string_view kBanner = "kelvara-7";
constexpr std::uint64_t kAfter = 41;

void check_page(const kelvara::RevisionPage& page, std::uint64_t after) {
    // A document says nothing about the network or about access.
    FUZZ_CHECK(page.outcome != MetadataOutcomeKind::network_failure && page.outcome != MetadataOutcomeKind::forbidden &&
               page.outcome != MetadataOutcomeKind::gone);
    FUZZ_CHECK(page.revision.has_value() == (page.outcome == MetadataOutcomeKind::modified));
    if (page.revision) {
        const kelvara::RenderRevision& revision = *page.revision;
        FUZZ_CHECK(revision.banner_id == kBanner && revision.render_revision > after);
        FUZZ_CHECK(revision.image_url == kelvara::render_image_url(kBanner, revision.render_revision));
        FUZZ_CHECK(revision.image_bytes.empty() && revision.width == 0 && revision.height == 0);
        FUZZ_CHECK(kelvara::build_image_http_request(revision, 5000).has_value());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const kelvara::RevisionPage page = kelvara::decode_revision_page(body, kBanner, kAfter);
    check_page(page, kAfter);

    // From cursor 0 the same document says the same, unless it announces a revision the later cursor refuses.
    const kelvara::RevisionPage from_start = kelvara::decode_revision_page(body, kBanner, 0);
    check_page(from_start, 0);
    if (from_start.revision && from_start.revision->render_revision <= kAfter) {
        FUZZ_CHECK(page.outcome == MetadataOutcomeKind::malformed);
    } else {
        FUZZ_CHECK(from_start == page);
    }
    if (page.outcome != MetadataOutcomeKind::malformed) {
        FUZZ_CHECK(kelvara::decode_revision_page(body, "kelvara-8", kAfter).outcome == MetadataOutcomeKind::malformed);
    }
    return 0;
}
