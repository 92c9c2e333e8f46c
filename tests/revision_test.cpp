#include "core/revision.hpp"
#include "support/revisions.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

using test::make_revision;
using test::png_header_bytes;

TEST(RevisionValidity, EveryRule) {
    const auto base = make_revision("abc", 42);
    const auto with = [&](auto change) {
        auto r = base;
        change(r);
        return r;
    };
    const auto sized = [](std::uint32_t w, std::uint32_t h) {
        auto r = make_revision("abc", 42);
        r.width = w;
        r.height = h;
        r.image_bytes = ImageBytes(png_header_bytes(w, h));
        return r;
    };
    const struct {
        const char* name;
        RenderRevision revision;
        bool valid;
    } cases[] = {
        {"render form", base, true},
        {"revision form", make_revision("abc", 42, test::UrlForm::revision), true},
        {"8192 square", sized(8192, 8192), true},
        {"width 8193", sized(8193, 1), false},
        {"height 8193", sized(1, 8193), false},
        {"zero width", sized(0, 5), false},
        {"exactly 16 MiB", make_revision("abc", 42, test::UrlForm::render, 16777216), true},
        {"16 MiB + 1", make_revision("abc", 42, test::UrlForm::render, 16777217), false},
        {"header states other size", with([](auto& r) { r.width = 65; }), false},
        {"content type parameter", with([](auto& r) { r.content_type = "image/png;q=1"; }), false},
        {"content type case", with([](auto& r) { r.content_type = "image/PNG"; }), false},
        {"alternate origin", with([](auto& r) { r.image_url = "https://www.kelvara.com/banner/abc/render/42/image"; }),
         false},
        {"url of other revision", with([](auto& r) { r.image_url = render_image_url("abc", 41); }), false},
        {"url with leading zero",
         with([](auto& r) { r.image_url = "https://kelvara.com/banner/abc/render/042/image"; }), false},
        {"revision 0", with([](auto& r) {
             r.render_revision = 0;
             r.image_url = render_image_url("abc", 0);
         }),
         false},
        {"bad banner id", with([](auto& r) {
             r.banner_id = "a b";
             r.image_url = render_image_url("a b", 42);
         }),
         false},
        {"32 bytes", with([](auto& r) {
             auto b = png_header_bytes(64, 16);
             b.resize(32);
             r.image_bytes = ImageBytes(b);
         }),
         false},
        {"no image", with([](auto& r) { r.image_bytes = {}; }), false},
        {"bad signature", with([](auto& r) {
             auto b = png_header_bytes(64, 16);
             b[1] = 'Q';
             r.image_bytes = ImageBytes(b);
         }),
         false},
        {"IHDR length not 13", with([](auto& r) {
             auto b = png_header_bytes(64, 16);
             b[11] = 12;
             r.image_bytes = ImageBytes(b);
         }),
         false},
        {"chunk not IHDR", with([](auto& r) {
             auto b = png_header_bytes(64, 16);
             b[12] = 'i';
             r.image_bytes = ImageBytes(b);
         }),
         false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_valid_revision(c.revision), c.valid) << c.name;
    }
}

TEST(RevisionValidity, UrlFormsAreTold) {
    EXPECT_TRUE(has_render_image_url(make_revision("abc", 3)));
    EXPECT_FALSE(has_render_image_url(make_revision("abc", 3, test::UrlForm::revision)));
    EXPECT_EQ(image_url_form(make_revision("abc", 3, test::UrlForm::revision)), ImageUrlForm::revision);
}

TEST(ImageBytes, CopiesShareAndCompareByContent) {
    const ImageBytes a(png_header_bytes(1, 2));
    const ImageBytes copy = a;
    EXPECT_EQ(copy.data(), a.data());
    const ImageBytes same_content(png_header_bytes(1, 2));
    EXPECT_NE(same_content.data(), a.data());
    EXPECT_EQ(same_content, a);
    EXPECT_NE(ImageBytes(png_header_bytes(1, 3)), a);
    EXPECT_EQ(ImageBytes(), ImageBytes(std::vector<std::uint8_t>{}));
}

} // namespace
} // namespace kelvara
