#include "metadata/http_requests.hpp"
#include "metadata/service_urls.hpp"
#include "support/revisions.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

using test::make_revision;

TEST(BannerId, AlphabetAndLength) {
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        {"abc_DEF-123", true},
        {std::string(128, 'x'), true},
        {std::string(129, 'x'), false},
        {"", false},
        {"a.b", false},
        {"a/b", false},
        {" abc", false},
        {"abc ", false},
        {"caf\xC3\xA9", false},
        {std::string("a\0b", 3), false},
        {"A", true},
        {"-_", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_valid_banner_id(c.text), c.valid) << c.text;
    }
}

TEST(DecimalString, Extremes) {
    EXPECT_EQ(decimal_string(0), "0");
    EXPECT_EQ(decimal_string(7), "7");
    EXPECT_EQ(decimal_string(1000), "1000");
    EXPECT_EQ(decimal_string(18446744073709551615ULL), "18446744073709551615");
}

TEST(ServiceUrls, AllBuildersShareTheOrigin) {
    EXPECT_EQ(banner_url("abc"), "https://kelvara.com/banner/abc");
    EXPECT_EQ(banner_revision_url("abc", 42), "https://kelvara.com/banner/abc/revision/42");
    EXPECT_EQ(banner_revision_image_url("abc", 42), "https://kelvara.com/banner/abc/revision/42/image");
    EXPECT_EQ(render_page_url("abc", 42), "https://kelvara.com/banner/abc/render/42");
    EXPECT_EQ(render_image_url("abc", 42), "https://kelvara.com/banner/abc/render/42/image");
    EXPECT_EQ(render_revisions_url("abc", 0),
              "https://kelvara.com/api/public/banners/abc/render-revisions?after=0&limit=1");
}

TEST(EntityTag, Syntax) {
    std::string long_valid = "\"" + std::string(1022, 'a') + "\"";
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        {"\"abc\"", true},
        {"W/\"abc\"", true},
        {"\"\"", true},
        {"W/\"\"", true},
        {"W/\"", false},
        {"\"", false},
        {"", false},
        {"abc", false},
        {"\"a b\"", false},
        {"\"a\x7F\"", false},
        {"\"a\"b\"", false},
        {"\"a\x01\"", false},
        {"\"caf\xC3\xA9\"", true},
        {"\"abc", false},
        {"w/\"abc\"", false},
        {long_valid, true},
        {"\"" + std::string(1023, 'a') + "\"", false},
    };
    ASSERT_EQ(long_valid.size(), 1024u);
    for (const auto& c : cases) {
        EXPECT_EQ(is_valid_entity_tag(c.text), c.valid) << c.text;
    }
}

TEST(DiscoveryRequestBuilder, UrlHeadersAndLimits) {
    const struct {
        DiscoveryRequest request;
        bool built;
        bool has_tag;
    } cases[] = {
        {{"abc", std::nullopt, 5000, 0}, true, false},
        {{"abc", "\"v1\"", 5000, 7}, true, true},
        {{"abc", "W/\"v1\"", 1, 7}, true, true},
        {{"abc", "v1", 30000, 7}, true, false}, // invalid tag dropped, request still built
        {{"abc", "\"a b\"", 5000, 7}, true, false},
        {{"abc", std::string(), 5000, 7}, true, false},
        {{"abc", std::nullopt, 0, 0}, false, false},
        {{"abc", std::nullopt, 30001, 0}, false, false},
        {{std::string(129, 'a'), std::nullopt, 5000, 0}, false, false},
        {{"a.b", std::nullopt, 5000, 0}, false, false},
        {{"a/b", std::nullopt, 5000, 0}, false, false},
    };
    for (const auto& c : cases) {
        const auto http = build_discovery_http_request(c.request);
        ASSERT_EQ(http.has_value(), c.built) << c.request.banner_id << " " << c.request.timeout_ms;
        if (!http) {
            continue;
        }
        EXPECT_EQ(http->url, render_revisions_url(c.request.banner_id, c.request.after));
        EXPECT_EQ(http->timeout_ms, c.request.timeout_ms);
        EXPECT_EQ(http->max_body_bytes, 16384u);
        using Headers = std::vector<std::pair<std::string, std::string>>;
        Headers expected{{"Accept", "application/json"}};
        if (c.has_tag) {
            expected.emplace_back("If-None-Match", *c.request.etag);
        }
        EXPECT_EQ(Headers(http->headers.begin(), http->headers.end()), expected);
    }
}

TEST(ImageRequestBuilder, OnlyUndownloadedServiceImages) {
    const auto decoded = [](RenderRevision r) {
        r.image_bytes = {};
        r.width = 0;
        r.height = 0;
        return r;
    };
    const auto base = decoded(make_revision("abc", 42));
    const auto with = [&](auto change) {
        auto r = base;
        change(r);
        return r;
    };
    const struct {
        const char* name;
        RenderRevision revision;
        std::uint64_t timeout;
        bool built;
    } cases[] = {
        {"render form", base, 5000, true},
        {"revision form", decoded(make_revision("abc", 42, test::UrlForm::revision)), 5000, true},
        {"size known", with([](auto& r) { r.width = r.height = 8192; }), 1, true},
        {"timeout max", base, 30000, true},
        {"timeout 0", base, 0, false},
        {"timeout 30001", base, 30001, false},
        {"revision 0", with([](auto& r) {
             r.render_revision = 0;
             r.image_url = render_image_url("abc", 0);
         }),
         5000, false},
        {"width 8193", with([](auto& r) { r.width = 8193; }), 5000, false},
        {"height 8193", with([](auto& r) { r.height = 8193; }), 5000, false},
        {"content type", with([](auto& r) { r.content_type = "image/png; x=y"; }), 5000, false},
        {"upper content type", with([](auto& r) { r.content_type = "IMAGE/PNG"; }), 5000, false},
        {"has bytes", make_revision("abc", 42), 5000, false},
        {"trailing slash", with([](auto& r) { r.image_url += "/"; }), 5000, false},
        {"query", with([](auto& r) { r.image_url += "?x=1"; }), 5000, false},
        {"other host", with([](auto& r) { r.image_url = "https://www.kelvara.com/banner/abc/render/42/image"; }), 5000,
         false},
        {"other number", with([](auto& r) { r.image_url = render_image_url("abc", 43); }), 5000, false},
        {"bad id", with([](auto& r) {
             r.banner_id = "a.b";
             r.image_url = render_image_url("a.b", 42);
         }),
         5000, false},
    };
    for (const auto& c : cases) {
        const auto http = build_image_http_request(c.revision, c.timeout);
        ASSERT_EQ(http.has_value(), c.built) << c.name;
        if (http) {
            EXPECT_EQ(http->url, c.revision.image_url) << c.name;
            EXPECT_EQ(http->timeout_ms, c.timeout);
            EXPECT_EQ(http->max_body_bytes, 16777216u);
        }
    }
}

} // namespace
} // namespace kelvara
