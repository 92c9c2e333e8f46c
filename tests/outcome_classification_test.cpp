#include "metadata/outcome_classification.hpp"

#include "core/revision.hpp"
#include "test_fixtures/page_documents.hpp"
#include "test_fixtures/revisions.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace kelvara {
namespace {

using namespace kelvara::test;
using Kind = MetadataOutcomeKind;
using Tag = std::optional<std::string>;

const std::string kBanner = "b-1";
constexpr std::uint64_t kAfter = 6;
const Tag V = "W/\"v7\""; // a valid entity tag
const Tag I = "v7";       // an invalid one
const Tag N;
const std::string kImage = "https://kelvara.com/banner/b-1/render/7/image";

TEST(OutcomeClassification, DiscoveryReplyTable) {
    const std::string json = "application/json", M = modified_page(kBanner, 7), E = available_empty_page(kBanner);
    const std::string M16384 = M + std::string(16384 - M.size(), '\n');
    // status, content type, redirected, URL as asked, reply tag, request tag, body, kind, tag kept, ended cleanly
    const std::tuple<std::int32_t, std::string, bool, bool, Tag, Tag, std::string, Kind, Tag, bool> cases[] = {
        {200, json, false, true, V, N, M, Kind::modified, V, true},
        {200, json, false, true, I, V, M, Kind::modified, N, true},
        {200, json, false, true, N, V, M, Kind::modified, N, true},
        {200, json, false, true, V, V, E, Kind::not_modified, N, true},
        {200, json, false, true, V, N, M16384, Kind::modified, V, true},
        {200, json, false, true, V, N, M16384 + "\n", Kind::malformed, N, true},
        {200, json + "; charset=utf-8", false, true, V, N, M, Kind::malformed, N, true},
        {200, "text/json", false, true, N, N, M, Kind::malformed, N, true},
        {200, json, true, true, V, N, M, Kind::malformed, N, true},
        {200, json, false, false, V, N, M, Kind::malformed, N, true},
        {304, "", false, true, V, V, E, Kind::not_modified, V, true},
        {304, "", false, true, N, V, E, Kind::not_modified, N, true},
        {304, "", false, true, I, V, E, Kind::not_modified, N, true},
        {304, "", false, true, V, N, E, Kind::malformed, N, true},
        {304, "", false, true, V, I, E, Kind::malformed, N, true},
        {304, "", false, false, V, V, E, Kind::malformed, N, true},
        {302, json, true, true, N, N, M, Kind::malformed, N, true},
        {403, json, false, true, V, V, M, Kind::forbidden, N, false},
        {404, json, false, true, V, V, M, Kind::not_found, N, true},
        {410, json, false, true, V, V, M, Kind::gone, N, false},
        {404, json, false, false, N, N, M, Kind::malformed, N, true},
        {0, "", false, true, V, V, M, Kind::network_failure, N, false},
        {201, json, false, true, V, V, M, Kind::network_failure, N, true},
        {429, json, false, true, V, V, M, Kind::network_failure, N, true},
        {500, json, false, true, V, V, M, Kind::network_failure, N, false},
        {503, json, false, true, V, V, M, Kind::network_failure, N, true},
        // Cut off in transport: no answer, even when what arrived parses.
        {200, json, false, true, V, V, M, Kind::network_failure, N, false},
        {304, json, false, true, V, V, E, Kind::network_failure, N, false},
    };
    const std::string url = render_revisions_url(kBanner, kAfter);
    int row = 0;
    for (const auto& [status, type, redirected, same_url, reply_tag, request_tag, body, kind, tag, clean] : cases) {
        const DiscoveryResponseView view{status, same_url ? url : url + "0", type, body, reply_tag, redirected, clean};
        const auto outcome = classify_discovery_response(view, {kBanner, request_tag, 5000, kAfter}, kAfter);
        EXPECT_EQ(outcome.kind, kind) << "row " << row;
        EXPECT_EQ(outcome.etag, tag) << "row " << row;
        EXPECT_EQ(outcome.revision ? outcome.revision->image_url : "", kind == Kind::modified ? kImage : "") << row++;
    }
}

// The revision's own rules are is_valid_revision's; these are the reply's. A reply that ended with a network
// error was cut short (its PNG header may pass), unless its status is an error status, which keeps its meaning.
TEST(OutcomeClassification, ImageStepKeepsRevisionAndTagOnlyWithAValidWholeImage) {
    using Change = void (*)(ImageResponseView&, RenderRevision&);
    // change to a whole 200 reply with the announced revision's PNG, reply ended without a network error, outcome
    const std::tuple<Change, bool, Kind> cases[] = {
        {[](auto&, auto&) {}, true, Kind::modified},
        {[](auto& v, auto&) { v.body = png_header_bytes(64, 16, kMaxImageBytes); }, true, Kind::modified},
        {[](auto&, auto& r) { r.width = 64, r.height = 16; }, true, Kind::modified},
        {[](auto&, auto& r) { r.width = 65, r.height = 16; }, true, Kind::malformed},
        {[](auto& v, auto&) { v.body.clear(); }, true, Kind::malformed},
        {[](auto& v, auto&) { v.body[1] = 'Q'; }, true, Kind::malformed},
        {[](auto& v, auto&) { v.redirected = true; }, true, Kind::malformed},
        {[](auto& v, auto&) { v.url = banner_revision_image_url(kBanner, 7); }, true, Kind::malformed},
        {[](auto& v, auto&) { v.content_type = "image/png; q=1"; }, true, Kind::malformed},
        {[](auto& v, auto&) { v.status = 203; }, true, Kind::malformed},
        {[](auto& v, auto&) { v.status = 301; }, true, Kind::malformed},
        {[](auto&, auto&) {}, false, Kind::network_failure},
        {[](auto& v, auto&) { v.status = 304; }, false, Kind::network_failure},
        {[](auto& v, auto&) { v.status = 0, v.body.clear(); }, false, Kind::network_failure},
        {[](auto& v, auto&) { v.status = 500; }, false, Kind::network_failure},
        {[](auto& v, auto&) { v.status = 403, v.body.clear(); }, true, Kind::forbidden},
        {[](auto& v, auto&) { v.status = 403; }, false, Kind::forbidden},
        {[](auto& v, auto&) { v.status = 404, v.body.clear(); }, true, Kind::not_found},
        {[](auto& v, auto&) { v.status = 410; }, false, Kind::gone},
    };
    for (std::size_t row = 0; row < std::size(cases); ++row) {
        const auto& [change, no_error, kind] = cases[row];
        RenderRevision revision{kBanner, 7, 70, kImage, "image/png", {}}; // as the page announces it: no image, no size
        ImageResponseView view{200, kImage, "image/png", png_header_bytes(64, 16), false};
        change(view, revision);
        const auto outcome = apply_image_response({Kind::modified, revision, V}, view, no_error);
        const RenderRevision complete{kBanner, 7, 70, kImage, "image/png", ImageBytes(view.body), 64, 16};
        EXPECT_EQ(std::tie(outcome.kind, outcome.revision, outcome.etag),
                  std::tuple(kind, kind == Kind::modified ? std::optional(complete) : std::nullopt,
                             kind == Kind::modified ? V : N))
            << "row " << row;
    }
}

} // namespace
} // namespace kelvara
