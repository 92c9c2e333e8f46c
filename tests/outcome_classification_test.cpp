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
const Tag kValidTag = "W/\"v7\"";
const Tag kInvalidTag = "v7";

enum class Body { modified, not_modified, modified_16384, modified_16385 };

std::string body_text(Body body) {
    const std::string modified = modified_page(kBanner, 7);
    switch (body) {
    case Body::modified:
        return modified;
    case Body::not_modified:
        return available_empty_page(kBanner);
    case Body::modified_16384:
        return modified + std::string(16384 - modified.size(), '\n');
    case Body::modified_16385:
        return modified + std::string(16385 - modified.size(), '\n');
    }
    return {};
}

TEST(OutcomeClassification, DiscoveryReplyTable) {
    struct Case {
        std::int32_t status;
        std::string content_type;
        bool redirected;
        bool url_matches;
        Tag reply_tag;
        Tag request_tag;
        Body body;
        Kind kind;
        Tag outcome_tag;
    };
    const std::string json = "application/json";
    const Case cases[] = {
        {200, json, false, true, kValidTag, std::nullopt, Body::modified, Kind::modified, kValidTag},
        {200, json, false, true, kInvalidTag, kValidTag, Body::modified, Kind::modified, std::nullopt},
        {200, json, false, true, std::nullopt, kValidTag, Body::modified, Kind::modified, std::nullopt},
        {200, json, false, true, kValidTag, kValidTag, Body::not_modified, Kind::not_modified, std::nullopt},
        {200, json, false, true, kValidTag, std::nullopt, Body::modified_16384, Kind::modified, kValidTag},
        {200, json, false, true, kValidTag, std::nullopt, Body::modified_16385, Kind::malformed, std::nullopt},
        {200, json + "; charset=utf-8", false, true, kValidTag, std::nullopt, Body::modified, Kind::malformed,
         std::nullopt},
        {200, "text/json", false, true, std::nullopt, std::nullopt, Body::modified, Kind::malformed, std::nullopt},
        {200, json, true, true, kValidTag, std::nullopt, Body::modified, Kind::malformed, std::nullopt},
        {200, json, false, false, kValidTag, std::nullopt, Body::modified, Kind::malformed, std::nullopt},
        {304, "", false, true, kValidTag, kValidTag, Body::not_modified, Kind::not_modified, kValidTag},
        {304, "", false, true, std::nullopt, kValidTag, Body::not_modified, Kind::not_modified, std::nullopt},
        {304, "", false, true, kInvalidTag, kValidTag, Body::not_modified, Kind::not_modified, std::nullopt},
        {304, "", false, true, kValidTag, std::nullopt, Body::not_modified, Kind::malformed, std::nullopt},
        {304, "", false, true, kValidTag, kInvalidTag, Body::not_modified, Kind::malformed, std::nullopt},
        {304, "", false, false, kValidTag, kValidTag, Body::not_modified, Kind::malformed, std::nullopt},
        {301, json, true, true, std::nullopt, std::nullopt, Body::modified, Kind::malformed, std::nullopt},
        {302, json, true, true, std::nullopt, std::nullopt, Body::modified, Kind::malformed, std::nullopt},
        {403, json, false, true, kValidTag, kValidTag, Body::modified, Kind::forbidden, std::nullopt},
        {404, json, false, true, kValidTag, kValidTag, Body::modified, Kind::not_found, std::nullopt},
        {410, json, false, true, kValidTag, kValidTag, Body::modified, Kind::gone, std::nullopt},
        {404, json, false, false, std::nullopt, std::nullopt, Body::modified, Kind::malformed, std::nullopt},
        {0, "", false, true, kValidTag, kValidTag, Body::modified, Kind::network_failure, std::nullopt},
        {201, json, false, true, kValidTag, kValidTag, Body::modified, Kind::network_failure, std::nullopt},
        {429, json, false, true, kValidTag, kValidTag, Body::modified, Kind::network_failure, std::nullopt},
        {451, json, false, true, kValidTag, kValidTag, Body::modified, Kind::network_failure, std::nullopt},
        {500, json, false, true, kValidTag, kValidTag, Body::modified, Kind::network_failure, std::nullopt},
        {503, json, false, true, kValidTag, kValidTag, Body::modified, Kind::network_failure, std::nullopt},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const DiscoveryRequest request{kBanner, c.request_tag, 5000, kAfter};
        const std::string url = render_revisions_url(kBanner, kAfter);
        const DiscoveryResponseView view{
            c.status, c.url_matches ? url : url + "0", c.content_type, body_text(c.body), c.reply_tag, c.redirected};
        const MetadataHttpOutcome outcome = classify_discovery_response(view, request, kAfter);
        EXPECT_EQ(outcome.kind, c.kind) << "row " << i;
        EXPECT_EQ(outcome.etag, c.outcome_tag) << "row " << i;
        ASSERT_EQ(outcome.revision.has_value(), c.kind == Kind::modified) << "row " << i;
        if (outcome.revision) {
            EXPECT_EQ(outcome.revision->render_revision, 7U) << "row " << i;
            EXPECT_EQ(outcome.revision->image_url, render_image_url(kBanner, 7)) << "row " << i;
        }
    }
}

// The revision as the page decoder hands it over: no image, no size.
RenderRevision announced() {
    RenderRevision revision = make_revision(kBanner, 7);
    revision.image_bytes = ImageBytes();
    revision.width = 0;
    revision.height = 0;
    return revision;
}

ImageResponseView png_reply(std::vector<std::uint8_t> body) {
    return ImageResponseView{200, render_image_url(kBanner, 7), "image/png", std::move(body), false};
}

TEST(OutcomeClassification, ImageValidationTable) {
    using Change = void (*)(ImageResponseView&);
    struct Case {
        const char* what;
        ImageResponseView view;
        std::uint32_t preset_width;
        bool valid;
        Change change = [](ImageResponseView&) {};
    };
    const auto png = [](std::uint32_t width, std::size_t size = 33) {
        return png_reply(png_header_bytes(width, 16, size));
    };
    Case cases[] = {
        {"valid", png(64), 0, true},
        {"16 MiB", png(64, kMaxImageBytes), 0, true},
        {"16 MiB + 1", png(64, kMaxImageBytes + 1), 0, false},
        {"empty", png_reply({}), 0, false},
        {"8193 wide", png(8193), 0, false},
        {"preset size matches", png(64), 64, true},
        {"preset size differs", png(64), 65, false},
        {"redirected", png(64), 0, false, [](ImageResponseView& v) { v.redirected = true; }},
        {"status 203", png(64), 0, false, [](ImageResponseView& v) { v.status = 203; }},
        {"other url", png(64), 0, false, [](ImageResponseView& v) { v.url = banner_revision_image_url(kBanner, 7); }},
        {"type parameter", png(64), 0, false, [](ImageResponseView& v) { v.content_type = "image/png; q=1"; }},
        {"not a png", png(64), 0, false, [](ImageResponseView& v) { v.body[1] = 'Q'; }},
    };
    for (auto& c : cases) {
        c.change(c.view);
        RenderRevision revision = announced();
        revision.width = c.preset_width;
        revision.height = c.preset_width == 0 ? 0 : 16;
        const auto result = validate_image_response(c.view, revision);
        ASSERT_EQ(result.has_value(), c.valid) << c.what;
        if (result) {
            EXPECT_EQ(result->width, 64U) << c.what;
            EXPECT_EQ(result->height, 16U) << c.what;
            EXPECT_TRUE(std::ranges::equal(result->image_bytes.span(), c.view.body)) << c.what;
            EXPECT_TRUE(is_valid_revision(*result)) << c.what;
        }
    }
}

TEST(OutcomeClassification, ImageFailureMapping) {
    const std::tuple<std::int32_t, bool, Kind> cases[] = {
        {403, true, Kind::forbidden},        {403, false, Kind::forbidden},     {410, false, Kind::gone},
        {404, true, Kind::not_found},        {0, false, Kind::network_failure}, {500, false, Kind::network_failure},
        {200, false, Kind::network_failure}, {200, true, Kind::malformed},      {301, true, Kind::malformed},
    };
    for (const auto& [status, no_error, kind] : cases) {
        EXPECT_EQ(image_failure_kind(status, no_error), kind) << status << " " << no_error;
    }
}

// Error statuses come with a network error too and keep their meaning; any other reply that ended with one
// was cut short, even when what arrived would pass: a page that parses, a PNG whose header is intact.
TEST(OutcomeClassification, ReplyEndedByANetworkErrorIsNoAnswer) {
    const std::pair<std::int32_t, Kind> cases[] = {
        {0, Kind::network_failure},   {200, Kind::network_failure}, {304, Kind::network_failure},
        {403, Kind::forbidden},       {404, Kind::not_found},       {410, Kind::gone},
        {500, Kind::network_failure},
    };
    const DiscoveryRequest request{kBanner, kValidTag, 5000, kAfter};
    for (const auto& [status, kind] : cases) {
        const DiscoveryResponseView page{.status = status,
                                         .url = render_revisions_url(kBanner, kAfter),
                                         .content_type = "application/json",
                                         .body = body_text(Body::modified),
                                         .etag = kValidTag,
                                         .redirected = false,
                                         .reply_no_error = false};
        EXPECT_EQ(classify_discovery_response(page, request, kAfter).kind, kind) << status;
        auto image = png_reply(png_header_bytes(64, 16));
        image.status = status;
        const auto outcome = apply_image_response({Kind::modified, announced(), kValidTag}, image, false);
        EXPECT_EQ(outcome.kind, kind) << status;
        EXPECT_FALSE(outcome.revision || outcome.etag) << status;
    }
}

TEST(OutcomeClassification, ImageStepKeepsTheTagOnlyWithTheImage) {
    const MetadataHttpOutcome discovered{Kind::modified, announced(), kValidTag};

    const auto complete = apply_image_response(discovered, png_reply(png_header_bytes(64, 16)), true);
    EXPECT_EQ(complete.kind, Kind::modified);
    EXPECT_EQ(complete.etag, kValidTag);
    ASSERT_TRUE(complete.revision);
    EXPECT_TRUE(is_valid_revision(*complete.revision));

    auto missing = png_reply({});
    missing.status = 404;
    const auto failed = apply_image_response(discovered, missing, false);
    EXPECT_EQ(failed.kind, Kind::not_found);
    EXPECT_FALSE(failed.revision);
    EXPECT_FALSE(failed.etag);
}

} // namespace
} // namespace kelvara
