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
const Tag V = "W/\"v7\"", I = "v7", N; // a valid entity tag, an invalid one, none
const std::string kImage = "https://kelvara.com/banner/b-1/render/7/image";

TEST(OutcomeClassification, DiscoveryReplyTable) {
    using enum MetadataOutcomeKind;
    const std::string J = "application/json", M = modified_page(kBanner, 7), E = available_empty_page(kBanner);
    const std::string JC = J + "; charset=utf-8", M16384 = M + std::string(16384 - M.size(), '\n');
    const std::string M16385 = M16384 + "\n";
    enum Via { asked, redirected, elsewhere }; // a reply for the URL asked, through a redirect, or for another URL
    // status, content type, via, reply tag, request tag, body, kind, tag kept, ended cleanly (the last two rows
    // were cut off in transport: no answer, even when what arrived parses)
    const std::tuple<std::int32_t, std::string, Via, Tag, Tag, std::string, Kind, Tag, bool> cases[] = {
        {200, J, asked, V, N, M, modified, V, true},         {200, J, asked, I, V, M, modified, N, true},
        {200, J, asked, N, V, M, modified, N, true},         {200, J, asked, V, V, E, not_modified, N, true},
        {200, J, asked, V, N, M16384, modified, V, true},    {200, J, asked, V, N, M16385, malformed, N, true},
        {200, JC, asked, V, N, M, malformed, N, true},       {200, J, redirected, V, N, M, malformed, N, true},
        {200, J, elsewhere, V, N, M, malformed, N, true},    {304, "", asked, V, V, E, not_modified, V, true},
        {304, "", asked, N, V, E, not_modified, N, true},    {304, "", asked, I, V, E, not_modified, N, true},
        {304, "", asked, V, N, E, malformed, N, true},       {304, "", asked, V, I, E, malformed, N, true},
        {304, "", elsewhere, V, V, E, malformed, N, true},   {403, J, asked, V, V, M, forbidden, N, false},
        {404, J, asked, V, V, M, not_found, N, true},        {410, J, asked, V, V, M, gone, N, false},
        {0, "", asked, V, V, M, network_failure, N, false},  {201, J, asked, V, V, M, network_failure, N, true},
        {429, J, asked, V, V, M, network_failure, N, true},  {500, J, asked, V, V, M, network_failure, N, false},
        {200, J, asked, V, V, M, network_failure, N, false}, {304, J, asked, V, V, E, network_failure, N, false},
    };
    const std::string url = render_revisions_url(kBanner, kAfter);
    int row = 0;
    for (const auto& [status, type, via, reply_tag, request_tag, body, kind, tag, clean] : cases) {
        const DiscoveryResponseView view{
            status, via == elsewhere ? url + "0" : url, type, body, reply_tag, via == redirected, clean};
        const auto outcome = classify_discovery_response(view, {kBanner, request_tag, 5000, kAfter}, kAfter);
        EXPECT_EQ(outcome.kind, kind) << "row " << row;
        EXPECT_EQ(outcome.etag, tag) << "row " << row;
        EXPECT_EQ(outcome.revision ? outcome.revision->image_url : "", kind == modified ? kImage : "") << row++;
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
        {[](auto& v, auto&) { v.redirected = true; }, true, Kind::malformed},
        {[](auto& v, auto&) { v.url = banner_revision_image_url(kBanner, 7); }, true, Kind::malformed},
        {[](auto& v, auto&) { v.content_type = "image/png; q=1"; }, true, Kind::malformed},
        {[](auto& v, auto&) { v.status = 203; }, true, Kind::malformed},
        {[](auto& v, auto&) { v.status = 301; }, true, Kind::malformed},
        {[](auto&, auto&) {}, false, Kind::network_failure},
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
