#include "output/frame_composer.hpp"
#include "test_fixtures/png_files.hpp"

#include <QtGui/QImage>
#include <zbar.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>

namespace kelvara {
namespace {

using test::PngPlan;
using Bytes = std::vector<std::uint8_t>;

// Our pixels, rows without padding; empty when the file does not decode.
Bytes ours(const Bytes& png) {
    const auto frame = compose_banner_frame(png, false, "");
    return frame ? Bytes(frame->pixels.get(), frame->pixels.get() + frame->size_bytes()) : Bytes();
}

// What Qt makes of the same bytes (RGBA scanlines are 32-bit aligned, hence unpadded).
Bytes qt_rgba(const Bytes& png) {
    const auto bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(png.data()), qsizetype(png.size()));
    const QImage image = QImage::fromData(bytes, "PNG").convertToFormat(QImage::Format_RGBA8888);
    return Bytes(image.constBits(), image.constBits() + image.sizeInBytes());
}

PngPlan random_plan(int type, int bit_depth, std::uint32_t seed, std::uint32_t width = 37, std::uint32_t height = 23) {
    PngPlan plan{.width = width, .height = height, .colour_type = type, .bit_depth = bit_depth};
    test::fill_random(plan, seed);
    return plan;
}

TEST(PngDecoder, SamePixelsAsQtForEveryPngClass) {
    enum Transparency { none, palette_alpha, colour_key };
    // Every colour type at every depth, then a colour key for grey and RGB, alpha for half a palette. Not
    // 16-bit RGB with a colour key, which Qt 6.4 decodes with shifted samples (see PngDecoder).
    const std::tuple<int, std::vector<int>, Transparency> classes[] = {
        {PNG_COLOR_TYPE_GRAY, {1, 2, 4, 8, 16}, none}, {PNG_COLOR_TYPE_GRAY_ALPHA, {8, 16}, none},
        {PNG_COLOR_TYPE_RGB, {8, 16}, none},           {PNG_COLOR_TYPE_RGBA, {8, 16}, none},
        {PNG_COLOR_TYPE_PALETTE, {1, 4, 8}, none},     {PNG_COLOR_TYPE_GRAY, {2, 8, 16}, colour_key},
        {PNG_COLOR_TYPE_RGB, {8}, colour_key},         {PNG_COLOR_TYPE_PALETTE, {4, 8}, palette_alpha},
    };
    std::uint32_t seed = 1;
    for (const auto& [colour_type, depths, transparency] : classes) {
        for (const int depth : depths) {
            for (const bool interlaced : {false, true}) {
                PngPlan plan = random_plan(colour_type, depth, seed++);
                plan.interlaced = interlaced;
                if (transparency == palette_alpha) {
                    plan.palette_alpha.resize(plan.palette.size() / 2 + 1);
                    std::ranges::generate(plan.palette_alpha, [i = 0]() mutable { return png_byte(37 * i++); });
                } else if (transparency == colour_key) {
                    std::fill_n(plan.rows[0].begin(), 6, 0); // black pixels, which the black key makes transparent
                    plan.transparent_colour = png_color_16{};
                }
                const auto png = test::encode_png(plan);
                EXPECT_EQ(ours(png), qt_rgba(png))
                    << colour_type << " " << depth << " " << transparency << " " << interlaced;
            }
        }
    }
}

TEST(PngDecoder, DamagedFilesDecodeToNothing) {
    const auto png = test::encode_rgba_png(16, 8, Bytes(16 * 8 * 4, 200));
    ASSERT_FALSE(ours(png).empty());
    for (std::size_t length = 0; length < png.size() - 12; length += 7) { // everything short of IEND
        EXPECT_TRUE(ours(Bytes(png.begin(), png.begin() + length)).empty()) << length;
    }
    auto corrupt = png;
    corrupt[40] ^= 0xFF; // inside IDAT: its CRC no longer matches
    EXPECT_TRUE(ours(corrupt).empty());
    auto too_wide = png;
    too_wide[16] = 0x01; // width 16 + 2^24: beyond 8192
    EXPECT_TRUE(ours(too_wide).empty());
}

// More text chunks than libpng keeps must not stop the decode (a huge one: the output peak memory benchmark).
TEST(PngDecoder, AncillaryChunksTheOutputDoesNotUseAreSkipped) {
    const auto clean = test::encode_png(random_plan(PNG_COLOR_TYPE_RGBA, 8, 99));
    auto png = clean;
    for (int i = 0; i < 1001; ++i) {
        png = test::with_chunk_after_header(std::move(png), "tEXt", {'k', 0, 'v'});
    }
    EXPECT_EQ(ours(png), qt_rgba(clean));
}

TEST(RenderLayout, SizesAndPlaces) {
    const std::string zero = "banner dimensions must be nonzero", overflow = "render layout dimensions overflow";
    // banner size, QR code enabled, the layout, or the message it is refused with (common sizes: FrameComposer)
    const std::tuple<std::uint32_t, std::uint32_t, bool, RenderLayout, std::string> cases[] = {
        {8192, 8192, true, {8528, 8192, 0, 0, 8208, 3936, 320, true}, ""},
        {UINT32_MAX, 7, false, {UINT32_MAX, 7, 0, 0, 0, 0, 0, false}, ""},
        {UINT32_MAX - 80, 64, true, {UINT32_MAX, 64, 0, 0, UINT32_MAX - 64, 0, 64, true}, ""},
        {0, 10, true, {}, zero},
        {10, 0, true, {}, zero},
        {UINT32_MAX - 79, 64, true, {}, overflow},
        {UINT32_MAX - 15, 64, true, {}, overflow},
    };
    for (const auto& [width, height, qr, expected, message] : cases) {
        RenderLayout layout;
        std::string error;
        try {
            layout = compute_render_layout(width, height, qr);
        } catch (const std::invalid_argument& refused) {
            error = refused.what();
        }
        EXPECT_EQ(std::pair(layout, error), std::pair(expected, message)) << width << "x" << height;
    }
}

std::string read_qr_code(const RgbaImage& frame) {
    Bytes grey(std::size_t{frame.width} * frame.height);
    for (std::size_t i = 0; i < grey.size(); ++i) {
        const std::uint8_t* p = frame.pixels.get() + 4 * i;
        grey[i] = p[3] == 0 ? 255 : p[0]; // transparent reads as paper
    }
    zbar::ImageScanner scanner;
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 1);
    zbar::Image image(frame.width, frame.height, "Y800", grey.data(), grey.size());
    return scanner.scan(image) > 0 ? image.symbol_begin()->get_data() : "";
}

// Where the white square of the QR code lies: its corner, side and module size.
struct Square {
    int x0, y0, side, module;
};

// Pixels unlike the banner's (`width` wide from row `top`); elsewhere any but transparent, in the quiet zone any
// but white, in the symbol any but black or white.
int wrong_pixels(const RgbaImage& frame, const Bytes& banner, std::uint32_t width, std::uint32_t top, const Square& q) {
    const auto height = static_cast<std::uint32_t>(banner.size() / 4 / width);
    const int quiet = 4 * q.module;
    int wrong = 0;
    for (std::uint32_t y = 0; y < frame.height; ++y) {
        for (std::uint32_t x = 0; x < frame.width; ++x) {
            const std::uint8_t* p = frame.pixel(x, y);
            const int dx = int(x) - q.x0, dy = int(y) - q.y0;
            const bool white = p[0] == 255 && p[1] == 255 && p[2] == 255 && p[3] == 255;
            if (x < width && y >= top && y < top + height) {
                wrong += !std::equal(p, p + 4, &banner[(std::size_t{y - top} * width + x) * 4]);
            } else if (std::min(dx, dy) >= quiet && std::max(dx, dy) < q.side - quiet) {
                wrong += !white && !(p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 255);
            } else if (std::min(dx, dy) >= 0 && std::max(dx, dy) < q.side) {
                wrong += !white;
            } else {
                wrong += p[0] || p[1] || p[2] || p[3];
            }
        }
    }
    return wrong;
}

// The banner as given, the QR code where it belongs; a symbol too large for its area is cut off at the canvas.
TEST(FrameComposer, BannerUnscaledBesideTheQrCode) {
    const std::string url = "https://kelvara.com/banner/abc_DEF-123"; // version 3: 29 modules, 37 with the quiet zone
    const std::string long_text = url + "/" + std::string(200, 'x');  // version 11: 61 modules
    // banner size, QR code enabled, its text, canvas size, banner's y, the QR code's white square
    using U = std::uint32_t;
    const std::tuple<U, U, bool, std::string, U, U, U, Square> cases[] = {
        {300, 40, true, url, 380, 64, 12, {329, 13, 37, 1}},
        {640, 100, true, url, 756, 100, 0, {669, 13, 74, 2}},
        {120, 400, true, url, 456, 400, 0, {148, 52, 296, 8}},
        {10, 10, true, long_text, 90, 64, 27, {24, -2, 69, 1}},
        {50, 20, false, url, 50, 20, 0, {}}, // QR code turned off
        {50, 20, true, "", 50, 20, 0, {}},   // or no text for it (invalid settings): the banner alone
    };
    for (const auto& [width, height, qr_enabled, text, canvas_width, canvas_height, banner_y, square] : cases) {
        const auto png = test::encode_png(random_plan(PNG_COLOR_TYPE_RGBA, 8, width, width, height));
        const auto frame = compose_banner_frame(png, qr_enabled, text);
        ASSERT_TRUE(frame);
        ASSERT_EQ(std::pair(frame->width, frame->height), std::pair(canvas_width, canvas_height));
        EXPECT_EQ(wrong_pixels(*frame, qt_rgba(png), width, banner_y, square), 0) << width;
        EXPECT_EQ(read_qr_code(*frame), qr_enabled ? text : ""); // an independent reader finds the text
    }
}

TEST(FrameComposer, LargestBannerDecodesAndComposes) {
    const PngPlan header{.width = 8192, .height = 8192, .colour_type = PNG_COLOR_TYPE_RGB, .compression_level = 1};
    std::vector<png_byte> row(8192 * 3);
    const auto png = test::encode_png_rows(header, [&](std::uint32_t y) {
        std::ranges::generate(row, [i = y]() mutable { return png_byte(i++); }); // every sample tells its place
        return row.data();
    });
    const auto frame = compose_banner_frame(png, true, "https://kelvara.com/banner/big");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width, 8192u + 16 + 320);
    const std::uint8_t* corner = frame->pixel(8191, 8191);
    EXPECT_EQ((Bytes(corner, corner + 4)), (Bytes{252, 253, 254, 255}));
}

} // namespace
} // namespace kelvara
