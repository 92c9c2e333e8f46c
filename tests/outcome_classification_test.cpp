#include "metadata/outcome_classification.hpp"

#include "core/revision.hpp"
#include "support/page_documents.hpp"
#include "support/revisions.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

// The revision as the page decoder hands it over: no image, no size.
RenderRevision announced() {
    RenderRevision revision = make_revision(kBanner, 7);
    revision.image_bytes = ImageBytes();
    revision.width = revision.height = 0;
    return revision;
}

ImageResponseView png_reply(std::vector<std::uint8_t> body) {
    return ImageResponseView{200, render_image_url(kBanner, 7), "image/png", std::move(body), false};
}

// The revision's own rules (size, header, bytes) are is_valid_revision's; these are the reply's.
TEST(OutcomeClassification, ImageValidationTable) {
    using Change = void (*)(ImageResponseView&, RenderRevision&);
    const std::pair<Change, bool> cases[] = {
        {[](auto&, auto&) {}, true},
        {[](auto& v, auto&) { v.body = png_header_bytes(64, 16, kMaxImageBytes); }, true},
        {[](auto& v, auto&) { v.body.clear(); }, false},
        {[](auto&, auto& r) { r.width = 64, r.height = 16; }, true},
        {[](auto&, auto& r) { r.width = 65, r.height = 16; }, false},
        {[](auto& v, auto&) { v.redirected = true; }, false},
        {[](auto& v, auto&) { v.status = 203; }, false},
        {[](auto& v, auto&) { v.url = banner_revision_image_url(kBanner, 7); }, false},
        {[](auto& v, auto&) { v.content_type = "image/png; q=1"; }, false},
        {[](auto& v, auto&) { v.body[1] = 'Q'; }, false},
    };
    for (std::size_t row = 0; row < std::size(cases); ++row) {
        ImageResponseView view = png_reply(png_header_bytes(64, 16));
        RenderRevision revision = announced();
        cases[row].first(view, revision);
        const auto result = validate_image_response(view, revision);
        ASSERT_EQ(result.has_value(), cases[row].second) << "row " << row;
        if (result) {
            EXPECT_EQ(std::pair(result->width, result->height), std::pair(64U, 16U)) << "row " << row;
            EXPECT_TRUE(std::ranges::equal(result->image_bytes.span(), view.body)) << "row " << row;
        }
    }
}

// Error statuses keep their meaning whether or not the reply also ended with a network error; any other
// reply that ended with one was cut short, even when the PNG header that arrived would pass.
TEST(OutcomeClassification, ImageStepKeepsRevisionAndTagOnlyWithTheImage) {
    const std::tuple<std::int32_t, bool, bool, Kind> cases[] = {
        // status, ended without a network error, body is the PNG, outcome
        {200, true, true, Kind::modified},
        {200, true, false, Kind::malformed},
        {301, true, true, Kind::malformed},
        {200, false, true, Kind::network_failure},
        {304, false, true, Kind::network_failure},
        {0, false, false, Kind::network_failure},
        {500, false, true, Kind::network_failure},
        {403, true, false, Kind::forbidden},
        {403, false, true, Kind::forbidden},
        {404, true, false, Kind::not_found},
        {410, false, true, Kind::gone},
    };
    for (const auto& [status, no_error, png, kind] : cases) {
        auto view = png_reply(png ? png_header_bytes(64, 16) : std::vector<std::uint8_t>{});
        view.status = status;
        const auto outcome = apply_image_response({Kind::modified, announced(), V}, view, no_error);
        EXPECT_EQ(outcome.kind, kind) << status << " " << no_error;
        EXPECT_EQ(outcome.etag, kind == Kind::modified ? V : N) << status << " " << no_error;
        ASSERT_EQ(outcome.revision.has_value(), kind == Kind::modified) << status << " " << no_error;
        if (outcome.revision) {
            EXPECT_TRUE(is_valid_revision(*outcome.revision));
        }
    }
}

} // namespace
} // namespace kelvara
