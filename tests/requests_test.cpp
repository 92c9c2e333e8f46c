#include "core/revision.hpp"
#include "metadata/http_requests.hpp"
#include "metadata/service_urls.hpp"
#include "test_fixtures/revisions.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

using namespace kelvara::test;
using Change = void (*)(RenderRevision&);

TEST(BannerId, AlphabetAndLength) {
    for (const std::string& id : std::vector<std::string>{"abc_DEF-123", "A", "-_", std::string(128, 'x')}) {
        EXPECT_TRUE(is_valid_banner_id(id)) << id;
    }
    const std::string refused[] = {"", "a.b", "a/b", " abc", "abc ", "caf\xC3\xA9", {"a\0b", 3}, std::string(129, 'x')};
    for (const std::string& id : refused) {
        EXPECT_FALSE(is_valid_banner_id(id)) << id;
    }
}

TEST(EntityTag, Syntax) {
    for (const char* tag : {"\"abc\"", "W/\"abc\"", "\"\"", "W/\"\"", "\"caf\xC3\xA9\""}) {
        EXPECT_TRUE(is_valid_entity_tag(tag)) << tag;
    }
    for (const char* tag :
         {"W/\"", "\"", "", "abc", "\"a b\"", "\"a\x7F\"", "\"a\"b\"", "\"a\x01\"", "\"abc", "w/\"abc\""}) {
        EXPECT_FALSE(is_valid_entity_tag(tag)) << tag;
    }
    EXPECT_TRUE(is_valid_entity_tag("\"" + std::string(1022, 'a') + "\"")); // 1024 bytes
    EXPECT_FALSE(is_valid_entity_tag("\"" + std::string(1023, 'a') + "\""));
}

TEST(DiscoveryRequestBuilder, UrlHeadersAndLimits) {
    enum Built { refused, untagged, tagged }; // an invalid stored tag (EntityTag) is left out, the request still built
    const std::string id129(129, 'a');
    // banner ID, stored tag, time-out, cursor, what is built
    const std::tuple<std::string, std::optional<std::string>, std::uint64_t, std::uint64_t, Built> cases[] = {
        {"abc", {}, 5000, 0, untagged},    {"abc", "\"v1\"", 5000, 7, tagged}, {"abc", "W/\"v1\"", 1, 7, tagged},
        {"abc", "v1", 30000, 7, untagged}, {"abc", "", 5000, 7, untagged},     {"abc", {}, 0, 0, refused},
        {"abc", {}, 30001, 0, refused},    {id129, {}, 5000, 0, refused},      {"a/b", {}, 5000, 0, refused},
    };
    for (const auto& [id, tag, timeout, after, built] : cases) {
        std::map<std::string, std::string> headers{{"Accept", "application/json"}};
        if (built == tagged) {
            headers.emplace("If-None-Match", *tag);
        }
        const MetadataHttpRequest http{render_revisions_url(id, after), headers, timeout, 16384};
        EXPECT_EQ(build_discovery_http_request({id, tag, timeout, after}),
                  built == refused ? std::nullopt : std::optional(http))
            << id << " " << timeout;
    }
    // The URL itself, which the rows build the same way (the other URL builders: the URL form and page tests).
    EXPECT_EQ(render_revisions_url("abc", UINT64_MAX),
              "https://kelvara.com/api/public/banners/abc/render-revisions?after=18446744073709551615&limit=1");
}

TEST(ImageRequestBuilder, OnlyUndownloadedServiceImages) {
    const std::tuple<Change, std::uint64_t, bool> cases[] = {
        {[](auto&) {}, 5000, true},
        {[](auto& r) { r.image_url = banner_revision_image_url("abc", 42); }, 5000, true},
        {[](auto& r) { r.width = r.height = 8192; }, 1, true},
        {[](auto&) {}, 30000, true},
        {[](auto&) {}, 0, false},
        {[](auto&) {}, 30001, false},
        {[](auto& r) { r.render_revision = 0, r.image_url = render_image_url("abc", 0); }, 5000, false},
        {[](auto& r) { r.width = 8193; }, 5000, false},
        {[](auto& r) { r.height = 8193; }, 5000, false},
        {[](auto& r) { r.content_type = "image/png; x=y"; }, 5000, false},
        {[](auto& r) { r.content_type = "IMAGE/PNG"; }, 5000, false},
        {[](auto& r) { r.image_bytes = make_revision("abc", 42).image_bytes; }, 5000, false},
        {[](auto& r) { r.image_url = render_image_url("abc", 43); }, 5000, false},
        {[](auto& r) { r.banner_id = "a.b", r.image_url = render_image_url("a.b", 42); }, 5000, false},
    };
    for (std::size_t row = 0; row < std::size(cases); ++row) {
        const auto& [change, timeout, built] = cases[row];
        RenderRevision revision{"abc", 42, 420, render_image_url("abc", 42), "image/png", {}}; // no image, no size
        change(revision);
        const auto http = build_image_http_request(revision, timeout);
        EXPECT_EQ(http, built ? std::optional(ImageHttpRequest{revision.image_url, timeout, 16777216}) : std::nullopt)
            << "row " << row;
    }
}

void state_size(RenderRevision& revision, std::uint32_t width, std::uint32_t height) {
    revision.width = width;
    revision.height = height;
    revision.image_bytes = ImageBytes(png_header_bytes(width, height));
}

// The 64 x 16 header of make_revision with one byte changed, or cut to `size` bytes.
ImageBytes header_with(std::size_t at, std::uint8_t value, std::size_t size = 33) {
    auto bytes = png_header_bytes(64, 16);
    bytes[at] = value;
    bytes.resize(size);
    return ImageBytes(std::move(bytes));
}

TEST(RevisionValidity, EveryRule) {
    const std::pair<Change, bool> cases[] = {
        {[](auto&) {}, true},
        {[](auto& r) { r.image_url = banner_revision_image_url("abc", 42); }, true},
        {[](auto& r) { r.image_url = render_image_url("abc", 41); }, false},
        {[](auto& r) { r.banner_id = "a b", r.image_url = render_image_url("a b", 42); }, false},
        {[](auto& r) { r.render_revision = 0, r.image_url = render_image_url("abc", 0); }, false},
        {[](auto& r) { state_size(r, 8192, 8192); }, true},
        {[](auto& r) { state_size(r, 8193, 1); }, false},
        {[](auto& r) { state_size(r, 1, 8193); }, false},
        {[](auto& r) { state_size(r, 0, 5); }, false},
        {[](auto& r) { state_size(r, 5, 0); }, false},
        {[](auto& r) { r.content_type = "image/png;q=1"; }, false},
        {[](auto& r) { r.content_type = "image/PNG"; }, false},
        {[](auto& r) { r.image_bytes = ImageBytes(png_header_bytes(64, 16, 16777216)); }, true},
        {[](auto& r) { r.image_bytes = ImageBytes(png_header_bytes(64, 16, 16777217)); }, false},
        {[](auto& r) { r.image_bytes = header_with(0, 0x89, 32); }, false},
        {[](auto& r) { r.image_bytes = header_with(1, 'Q'); }, false},
        {[](auto& r) { r.image_bytes = header_with(11, 12); }, false}, // IHDR length not 13
        {[](auto& r) { r.image_bytes = header_with(12, 'i'); }, false},
        {[](auto& r) { r.width = 65; }, false}, // the header states 64
        {[](auto& r) { r.height = 17; }, false},
    };
    for (std::size_t row = 0; row < std::size(cases); ++row) {
        RenderRevision revision = make_revision("abc", 42);
        cases[row].first(revision);
        EXPECT_EQ(is_valid_revision(revision), cases[row].second) << "row " << row;
    }
}

TEST(RevisionValidity, ImageUrlFormsOfKnownUrls) {
    using enum ImageUrlForm;
    const std::string at = "https://kelvara.com/banner/";
    const std::pair<std::string, ImageUrlForm> cases[] = {
        {at + "abc/render/42/image", render}, {at + "abc/revision/42/image", revision},
        {at + "abc/render/042/image", none},  {at + "abc/revision/41/image", none},
        {at + "abc/render/42", none},         {at + "abc/render/42/image/", none},
        {at + "abcd/render/42/image", none},  {at + "ab/render/42/image", none},
        {at + "abc/preview/42/image", none},  {"https://www.kelvara.com/banner/abc/render/42/image", none},
    };
    for (const auto& [url, form] : cases) {
        RenderRevision with_url = make_revision("abc", 42);
        with_url.image_url = url;
        EXPECT_EQ(image_url_form(with_url), form) << url;
    }
}

TEST(ImageBytes, CopiesShareAndCompareByContent) {
    const ImageBytes a(png_header_bytes(1, 2));
    EXPECT_EQ(ImageBytes(a).data(), a.data());
    EXPECT_EQ(ImageBytes(png_header_bytes(1, 2)), a);
    EXPECT_NE(ImageBytes(png_header_bytes(1, 3)), a);
}

} // namespace
} // namespace kelvara
