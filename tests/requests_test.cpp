#include "metadata/http_requests.hpp"
#include "metadata/service_urls.hpp"
#include "support/revisions.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

using test::make_revision;

TEST(BannerId, AlphabetAndLength) {
    for (const char* id : {"abc_DEF-123", "A", "-_"}) {
        EXPECT_TRUE(is_valid_banner_id(id)) << id;
    }
    for (const char* id : {"", "a.b", "a/b", " abc", "abc ", "caf\xC3\xA9"}) {
        EXPECT_FALSE(is_valid_banner_id(id)) << id;
    }
    EXPECT_FALSE(is_valid_banner_id(std::string("a\0b", 3)));
    EXPECT_TRUE(is_valid_banner_id(std::string(128, 'x')));
    EXPECT_FALSE(is_valid_banner_id(std::string(129, 'x')));
}

TEST(ServiceUrls, AllBuildersShareTheOrigin) {
    EXPECT_EQ(banner_url("abc"), "https://kelvara.com/banner/abc");
    EXPECT_EQ(banner_revision_url("abc", 42), "https://kelvara.com/banner/abc/revision/42");
    EXPECT_EQ(banner_revision_image_url("abc", 42), "https://kelvara.com/banner/abc/revision/42/image");
    EXPECT_EQ(render_page_url("abc", 1000), "https://kelvara.com/banner/abc/render/1000");
    EXPECT_EQ(render_image_url("abc", UINT64_MAX), "https://kelvara.com/banner/abc/render/18446744073709551615/image");
    EXPECT_EQ(render_revisions_url("abc", 0),
              "https://kelvara.com/api/public/banners/abc/render-revisions?after=0&limit=1");
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
    // An invalid stored tag is left out; the request is still built.
    const std::pair<DiscoveryRequest, bool> built[] = {
        {{"abc", std::nullopt, 5000, 0}, false}, {{"abc", "\"v1\"", 5000, 7}, true},
        {{"abc", "W/\"v1\"", 1, 7}, true},       {{"abc", "v1", 30000, 7}, false},
        {{"abc", "\"a b\"", 5000, 7}, false},    {{"abc", std::string(), 5000, 7}, false},
    };
    for (const auto& [request, sends_tag] : built) {
        const auto http = build_discovery_http_request(request);
        ASSERT_TRUE(http) << request.timeout_ms;
        std::map<std::string, std::string> headers{{"Accept", "application/json"}};
        if (sends_tag) {
            headers.emplace("If-None-Match", *request.etag);
        }
        EXPECT_EQ(*http, (MetadataHttpRequest{render_revisions_url("abc", request.after), headers, request.timeout_ms,
                                              16384}));
    }
    const DiscoveryRequest refused[] = {{"abc", std::nullopt, 0, 0},
                                        {"abc", std::nullopt, 30001, 0},
                                        {std::string(129, 'a'), std::nullopt, 5000, 0},
                                        {"a/b", std::nullopt, 5000, 0}};
    for (const auto& request : refused) {
        EXPECT_FALSE(build_discovery_http_request(request)) << request.banner_id << " " << request.timeout_ms;
    }
}

TEST(ImageRequestBuilder, OnlyUndownloadedServiceImages) {
    using Change = void (*)(RenderRevision&);
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
        {[](auto& r) { r.image_url += "/"; }, 5000, false},
        {[](auto& r) { r.image_url += "?x=1"; }, 5000, false},
        {[](auto& r) { r.image_url = "https://www.kelvara.com/banner/abc/render/42/image"; }, 5000, false},
        {[](auto& r) { r.image_url = render_image_url("abc", 43); }, 5000, false},
        {[](auto& r) { r.banner_id = "a.b", r.image_url = render_image_url("a.b", 42); }, 5000, false},
    };
    for (std::size_t row = 0; row < std::size(cases); ++row) {
        const auto& [change, timeout, built] = cases[row];
        RenderRevision revision = make_revision("abc", 42);
        revision.image_bytes = {};
        revision.width = revision.height = 0;
        change(revision);
        const auto http = build_image_http_request(revision, timeout);
        EXPECT_EQ(http, built ? std::optional(ImageHttpRequest{revision.image_url, timeout, 16777216}) : std::nullopt)
            << "row " << row;
    }
}

} // namespace
} // namespace kelvara
