#include "output/frame_composer.hpp"
#include "support/png_files.hpp"

#include <zbar.h>

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

namespace kelvara {
namespace {

TEST(RenderLayout, SizesAndPlaces) {
    const struct {
        std::uint32_t width, height;
        bool qr;
        RenderLayout expected;
    } cases[] = {
        {640, 100, false, {640, 100, 0, 0, 0, 0, 0, false}},
        {1, 1, true, {81, 64, 0, 31, 17, 0, 64, true}},
        {100, 500, true, {436, 500, 0, 0, 116, 90, 320, true}},
        {8192, 8192, true, {8528, 8192, 0, 0, 8208, 3936, 320, true}},
        {UINT32_MAX, 7, false, {UINT32_MAX, 7, 0, 0, 0, 0, 0, false}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compute_render_layout(c.width, c.height, c.qr), c.expected) << c.width << "x" << c.height;
    }
    const auto refusal = [](std::uint32_t width, std::uint32_t height) {
        try {
            compute_render_layout(width, height, true);
        } catch (const std::invalid_argument& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(refusal(0, 10), "banner dimensions must be nonzero");
    EXPECT_EQ(refusal(10, 0), "banner dimensions must be nonzero");
    EXPECT_EQ(refusal(UINT32_MAX - 79, 64), "render layout dimensions overflow");
    EXPECT_EQ(refusal(UINT32_MAX - 15, 64), "render layout dimensions overflow");
    EXPECT_EQ(compute_render_layout(UINT32_MAX - 80, 64, true).canvas_width, UINT32_MAX);
}

std::string read_qr_code(const RgbaImage& frame) {
    std::vector<std::uint8_t> grey(std::size_t{frame.width} * frame.height);
    for (std::uint32_t y = 0; y < frame.height; ++y) {
        for (std::uint32_t x = 0; x < frame.width; ++x) {
            const std::uint8_t* p = frame.pixel(x, y);
            grey[std::size_t{y} * frame.width + x] = p[3] == 0 ? 255 : p[0]; // transparent reads as paper
        }
    }
    zbar::zbar_image_scanner_t* scanner = zbar::zbar_image_scanner_create();
    zbar::zbar_image_scanner_set_config(scanner, zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 1);
    zbar::zbar_image_t* image = zbar::zbar_image_create();
    zbar::zbar_image_set_format(image, zbar_fourcc('Y', '8', '0', '0'));
    zbar::zbar_image_set_size(image, frame.width, frame.height);
    zbar::zbar_image_set_data(image, grey.data(), grey.size(), nullptr);
    std::string text;
    if (zbar::zbar_scan_image(scanner, image) > 0) {
        text = zbar::zbar_symbol_get_data(zbar::zbar_image_first_symbol(image));
    }
    zbar::zbar_image_destroy(image);
    zbar::zbar_image_scanner_destroy(scanner);
    return text;
}

std::vector<std::uint8_t> noise_pixels(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
    std::vector<std::uint8_t> pixels(std::size_t{width} * height * 4);
    std::mt19937 random(seed);
    for (auto& byte : pixels) {
        byte = static_cast<std::uint8_t>(random());
    }
    return pixels;
}

// Where the white square of the QR code lies: its corner, side and module size.
struct Square {
    int x0, y0, side, module;
};

// Counts the pixels that differ from the banner, and stray pixels: outside the banner and the square anything
// but transparent, in the square's quiet zone anything but white, in the symbol anything but black or white.
std::pair<int, int> mismatches(const RgbaImage& frame, const std::vector<std::uint8_t>& banner,
                               std::uint32_t banner_width, std::uint32_t banner_y, const Square& q) {
    const auto height = static_cast<std::uint32_t>(banner.size() / 4 / banner_width);
    const int quiet = 4 * q.module;
    int banner_mismatches = 0, stray = 0;
    for (std::uint32_t y = 0; y < frame.height; ++y) {
        for (std::uint32_t x = 0; x < frame.width; ++x) {
            const std::uint8_t* p = frame.pixel(x, y);
            const int dx = int(x) - q.x0, dy = int(y) - q.y0;
            const bool white = p[0] == 255 && p[1] == 255 && p[2] == 255 && p[3] == 255;
            if (x < banner_width && y >= banner_y && y < banner_y + height) {
                banner_mismatches += !std::equal(p, p + 4, &banner[(std::size_t{y - banner_y} * banner_width + x) * 4]);
            } else if (std::min(dx, dy) >= quiet && std::max(dx, dy) < q.side - quiet) {
                stray += !white && !(p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 255);
            } else if (std::min(dx, dy) >= 0 && std::max(dx, dy) < q.side) {
                stray += !white;
            } else {
                stray += p[0] || p[1] || p[2] || p[3];
            }
        }
    }
    return {banner_mismatches, stray};
}

// The banner's pixels as given, the QR code where it belongs; a symbol too large for the area overhangs it
// and is cut off at the canvas's edges.
TEST(FrameComposer, BannerUnscaledBesideTheQrCode) {
    const std::string url = "https://kelvara.com/banner/abc_DEF-123"; // version 3: 29 modules, 37 with the quiet zone
    const std::string long_text = url + "/" + std::string(200, 'x');  // version 11: 61 modules
    const struct {
        std::uint32_t width, height;
        bool qr_enabled;
        std::string text;
        std::uint32_t canvas_width, canvas_height, banner_y;
        Square square;
    } cases[] = {
        {300, 40, true, url, 380, 64, 12, {329, 13, 37, 1}},
        {640, 100, true, url, 756, 100, 0, {669, 13, 74, 2}},
        {120, 400, true, url, 456, 400, 0, {148, 52, 296, 8}},
        {10, 10, true, long_text, 90, 64, 27, {24, -2, 69, 1}},
        {50, 20, false, url, 50, 20, 0, {}}, // QR code turned off
        {50, 20, true, "", 50, 20, 0, {}},   // or no text for it (invalid settings): the banner alone
    };
    for (const auto& c : cases) {
        const auto pixels = noise_pixels(c.width, c.height, c.width);
        const auto frame = compose_banner_frame(test::encode_rgba_png(c.width, c.height, pixels), c.qr_enabled, c.text);
        ASSERT_TRUE(frame);
        ASSERT_EQ(std::pair(frame->width, frame->height), std::pair(c.canvas_width, c.canvas_height));
        EXPECT_EQ(mismatches(*frame, pixels, c.width, c.banner_y, c.square), std::pair(0, 0)) << c.width;
        if (c.qr_enabled && c.text == url) {
            EXPECT_EQ(read_qr_code(*frame), url); // an independent reader finds the text
        }
    }
}

TEST(FrameComposer, LargestBannerDecodesAndComposes) {
    test::PngPlan header;
    header.width = header.height = 8192;
    header.colour_type = PNG_COLOR_TYPE_RGB;
    header.compression_level = 1;
    std::vector<png_byte> row(8192 * 3);
    const auto png = test::encode_png_rows(header, [&](std::uint32_t y) {
        for (std::uint32_t x = 0; x < 8192; ++x) {
            row[x * 3] = png_byte(x), row[x * 3 + 1] = png_byte(y), row[x * 3 + 2] = png_byte(x ^ y);
        }
        return row.data();
    });
    const auto frame = compose_banner_frame(png, true, "https://kelvara.com/banner/big");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width, 8192u + 16 + 320);
    const std::uint8_t* corner = frame->pixel(8191, 8191);
    EXPECT_EQ((std::vector<std::uint8_t>(corner, corner + 4)), (std::vector<std::uint8_t>{255, 255, 0, 255}));
}

} // namespace
} // namespace kelvara
