#include "output/frame_composer.hpp"
#include "support/png_files.hpp"

#include <qrcodegen/qrcodegen.hpp>
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
        {640, 100, true, {756, 100, 0, 0, 656, 0, 100, true}},
        {300, 40, true, {380, 64, 0, 12, 316, 0, 64, true}},
        {1, 1, true, {81, 64, 0, 31, 17, 0, 64, true}},
        {100, 500, true, {436, 500, 0, 0, 116, 90, 320, true}},
        {8192, 8192, true, {8528, 8192, 0, 0, 8208, 3936, 320, true}},
        {UINT32_MAX, 7, false, {UINT32_MAX, 7, 0, 0, 0, 0, 0, false}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compute_render_layout(c.width, c.height, c.qr), c.expected) << c.width << "x" << c.height;
    }
    const struct {
        std::uint32_t width, height;
        const char* message;
    } refused[] = {
        {0, 10, "banner dimensions must be nonzero"},
        {10, 0, "banner dimensions must be nonzero"},
        {UINT32_MAX - 79, 64, "render layout dimensions overflow"},
        {UINT32_MAX - 15, 64, "render layout dimensions overflow"},
    };
    for (const auto& r : refused) {
        try {
            compute_render_layout(r.width, r.height, true);
            ADD_FAILURE() << r.width << "x" << r.height;
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), r.message);
        }
    }
    EXPECT_EQ(compute_render_layout(UINT32_MAX - 80, 64, true).canvas_width, UINT32_MAX);
}

TEST(QrPlacement, WholePixelModulesCentredInTheArea) {
    RenderLayout layout = compute_render_layout(640, 100, true);
    EXPECT_EQ(place_qr_symbol(21, layout), (QrPlacement{21, 3, 87, 656 + 6, 6}));
    layout = compute_render_layout(10, 10, true); // 64-pixel area, a 61-module symbol overhangs by 2 and 3
    EXPECT_EQ(place_qr_symbol(61, layout), (QrPlacement{61, 1, 69, 26 - 2, -2}));
}

int qrcodegen_size(const std::string& text) {
    return qrcodegen::QrCode::encodeText(text.c_str(), qrcodegen::QrCode::Ecc::MEDIUM).getSize();
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

TEST(FrameComposer, BannerUnscaledBesideAReadableQrCode) {
    const std::string url = "https://kelvara.com/banner/abc_DEF-123";
    const struct { std::uint32_t width, height; } sizes[] = {{300, 40}, {640, 100}, {120, 400}};
    for (const auto& size : sizes) {
        const auto pixels = noise_pixels(size.width, size.height, size.width);
        const auto frame = compose_banner_frame(test::encode_rgba_png(size.width, size.height, pixels), true, url);
        ASSERT_TRUE(frame);
        const auto layout = compute_render_layout(size.width, size.height, true);
        ASSERT_EQ(frame->width, layout.canvas_width);
        ASSERT_EQ(frame->height, layout.canvas_height);
        EXPECT_EQ(read_qr_code(*frame), url);

        const auto placement = place_qr_symbol(qrcodegen_size(url), layout);
        std::size_t banner_mismatches = 0, stray_pixels = 0;
        for (std::uint32_t y = 0; y < frame->height; ++y) {
            for (std::uint32_t x = 0; x < frame->width; ++x) {
                const std::uint8_t* p = frame->pixel(x, y);
                const bool in_banner = x < size.width && y >= layout.banner_y && y < layout.banner_y + size.height;
                const bool in_square = int(x) >= placement.x0 && int(x) < placement.x0 + placement.side &&
                                       int(y) >= placement.y0 && int(y) < placement.y0 + placement.side;
                if (in_banner) {
                    const auto* expected = &pixels[(std::size_t{y - layout.banner_y} * size.width + x) * 4];
                    banner_mismatches += !std::equal(p, p + 4, expected);
                } else if (in_square) {
                    stray_pixels += !(p[3] == 255 && p[0] == p[1] && p[1] == p[2] && (p[0] == 0 || p[0] == 255));
                } else {
                    stray_pixels += p[0] || p[1] || p[2] || p[3];
                }
            }
        }
        EXPECT_EQ(banner_mismatches, 0u) << size.width;
        EXPECT_EQ(stray_pixels, 0u) << size.width;
    }
}

TEST(FrameComposer, QrOnlyWithTextAndSetting) {
    const auto png = test::encode_rgba_png(50, 20, noise_pixels(50, 20, 3));
    EXPECT_EQ(compose_banner_frame(png, true, "")->width, 50u); // invalid settings: the banner alone
    EXPECT_EQ(compose_banner_frame(png, false, "https://kelvara.com/banner/x")->width, 50u);
    EXPECT_EQ(compose_banner_frame(png, true, "https://kelvara.com/banner/x")->width, 50u + 16 + 64);
}

TEST(FrameComposer, LargestBannerDecodesAndComposes) {
    test::PngPlan plan;
    plan.width = plan.height = 8192;
    plan.colour_type = PNG_COLOR_TYPE_RGB;
    plan.compression_level = 1;
    plan.rows.assign(plan.height, std::vector<png_byte>(std::size_t{plan.width} * 3));
    for (std::uint32_t y = 0; y < plan.height; ++y) {
        for (std::uint32_t x = 0; x < plan.width; ++x) {
            plan.rows[y][x * 3] = static_cast<png_byte>(x);
            plan.rows[y][x * 3 + 1] = static_cast<png_byte>(y);
            plan.rows[y][x * 3 + 2] = static_cast<png_byte>(x ^ y);
        }
    }
    const auto png = test::encode_png(plan);
    plan.rows.clear();
    const auto frame = compose_banner_frame(png, true, "https://kelvara.com/banner/big");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width, 8192u + 16 + 320);
    const std::uint8_t* corner = frame->pixel(8191, 8191);
    EXPECT_EQ((std::vector<std::uint8_t>(corner, corner + 4)), (std::vector<std::uint8_t>{255, 255, 0, 255}));
}

} // namespace
} // namespace kelvara
