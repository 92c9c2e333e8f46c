#include "core/revision.hpp"
#include "support/revisions.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

using test::make_revision;
using test::png_header_bytes;

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
    using Change = void (*)(RenderRevision&);
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
        {[](auto& r) { r.image_bytes = {}; }, false},
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
    const std::pair<const char*, ImageUrlForm> cases[] = {
        {"https://kelvara.com/banner/abc/render/42/image", ImageUrlForm::render},
        {"https://kelvara.com/banner/abc/revision/42/image", ImageUrlForm::revision},
        {"https://kelvara.com/banner/abc/render/042/image", ImageUrlForm::none},
        {"https://kelvara.com/banner/abc/revision/41/image", ImageUrlForm::none},
        {"https://kelvara.com/banner/abc/render/42", ImageUrlForm::none},
        {"https://kelvara.com/banner/abc/render/42/image/", ImageUrlForm::none},
        {"https://kelvara.com/banner/abcd/render/42/image", ImageUrlForm::none},
        {"https://kelvara.com/banner/ab/render/42/image", ImageUrlForm::none},
        {"https://www.kelvara.com/banner/abc/render/42/image", ImageUrlForm::none},
        {"https://kelvara.com/banner/abc/preview/42/image", ImageUrlForm::none},
    };
    for (const auto& [url, form] : cases) {
        RenderRevision revision = make_revision("abc", 42);
        revision.image_url = url;
        EXPECT_EQ(image_url_form(revision), form) << url;
        EXPECT_EQ(has_render_image_url(revision), form == ImageUrlForm::render) << url;
        EXPECT_EQ(has_service_image_url(revision), form != ImageUrlForm::none) << url;
    }
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
