#include "output/frame_composer.hpp"
#include "output/png_decoder.hpp"
#include "support/png_files.hpp"

#include <QtGui/QImage>

#include <gtest/gtest.h>

#include <string>

namespace kelvara {
namespace {

using test::PngPlan;

std::optional<RgbaImage> decode(const std::vector<std::uint8_t>& png) {
    return compose_banner_frame(png, false, "");
}

// What Qt makes of the same bytes, row by row without padding.
std::vector<std::uint8_t> qt_rgba(const std::vector<std::uint8_t>& png) {
    const auto bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(png.data()), qsizetype(png.size()));
    const QImage image = QImage::fromData(bytes, "PNG").convertToFormat(QImage::Format_RGBA8888);
    std::vector<std::uint8_t> pixels;
    for (int y = 0; y < image.height(); ++y) {
        pixels.insert(pixels.end(), image.constScanLine(y), image.constScanLine(y) + image.width() * 4);
    }
    return pixels;
}

struct PngClass {
    std::string name;
    int colour_type;
    int bit_depth;
    enum { none, palette_alpha, colour_key } transparency = none;
};

std::string describe(const PngClass& c, bool interlaced) {
    return c.name + (interlaced ? " interlaced" : "");
}

TEST(PngDecoder, SamePixelsAsQtForEveryPngClass) {
    const PngClass classes[] = {
        {"grey 1", PNG_COLOR_TYPE_GRAY, 1},
        {"grey 2", PNG_COLOR_TYPE_GRAY, 2},
        {"grey 4", PNG_COLOR_TYPE_GRAY, 4},
        {"grey 8", PNG_COLOR_TYPE_GRAY, 8},
        {"grey 8 key", PNG_COLOR_TYPE_GRAY, 8, PngClass::colour_key},
        {"grey 2 key", PNG_COLOR_TYPE_GRAY, 2, PngClass::colour_key},
        {"grey 16", PNG_COLOR_TYPE_GRAY, 16},
        {"grey 16 key", PNG_COLOR_TYPE_GRAY, 16, PngClass::colour_key},
        {"grey+alpha 8", PNG_COLOR_TYPE_GRAY_ALPHA, 8},
        {"grey+alpha 16", PNG_COLOR_TYPE_GRAY_ALPHA, 16},
        {"rgb 8", PNG_COLOR_TYPE_RGB, 8},
        {"rgb 8 key", PNG_COLOR_TYPE_RGB, 8, PngClass::colour_key},
        {"rgb 16", PNG_COLOR_TYPE_RGB, 16},
        {"rgba 8", PNG_COLOR_TYPE_RGBA, 8},
        {"rgba 16", PNG_COLOR_TYPE_RGBA, 16},
        {"palette 1", PNG_COLOR_TYPE_PALETTE, 1},
        {"palette 4", PNG_COLOR_TYPE_PALETTE, 4},
        {"palette 8", PNG_COLOR_TYPE_PALETTE, 8},
        {"palette 8 tRNS", PNG_COLOR_TYPE_PALETTE, 8, PngClass::palette_alpha},
        {"palette 4 short tRNS", PNG_COLOR_TYPE_PALETTE, 4, PngClass::palette_alpha},
    };
    // Not here: 16-bit RGB with a colour key, which Qt 6.4 decodes with shifted samples (see PngDecoder).
    std::uint32_t seed = 1;
    for (const auto& c : classes) {
        for (const bool interlaced : {false, true}) {
            PngPlan plan;
            plan.width = 37;
            plan.height = 23;
            plan.colour_type = c.colour_type;
            plan.bit_depth = c.bit_depth;
            plan.interlaced = interlaced;
            test::fill_random(plan, seed++);
            if (c.transparency == PngClass::palette_alpha) {
                for (std::size_t i = 0; i < plan.palette.size() / 2 + 1; ++i) {
                    plan.palette_alpha.push_back(static_cast<png_byte>(i * 37));
                }
            } else if (c.transparency == PngClass::colour_key) {
                // The key is the first pixel's colour, so that some pixels really turn transparent.
                const auto& row = plan.rows[0];
                const auto sample = [&](std::size_t i) -> png_uint_16 {
                    if (c.bit_depth == 16) {
                        return static_cast<png_uint_16>(row[2 * i] << 8 | row[2 * i + 1]);
                    }
                    return static_cast<png_uint_16>(row[0] >> (8 - c.bit_depth));
                };
                const bool rgb = c.colour_type == PNG_COLOR_TYPE_RGB;
                plan.transparent_colour =
                    png_color_16{0, sample(0), sample(rgb ? 1 : 0), sample(rgb ? 2 : 0), sample(0)};
            }
            const auto png = test::encode_png(plan);
            const auto ours = decode(png);
            ASSERT_TRUE(ours) << describe(c, interlaced);
            ASSERT_EQ(ours->width, plan.width);
            const std::vector<std::uint8_t> our_pixels(ours->pixels.get(), ours->pixels.get() + ours->size_bytes());
            EXPECT_EQ(our_pixels, qt_rgba(png)) << describe(c, interlaced);
        }
    }
}

TEST(PngDecoder, DamagedFilesDecodeToNothing) {
    std::vector<std::uint8_t> pixels(16 * 8 * 4, 200);
    const auto png = test::encode_rgba_png(16, 8, pixels);
    ASSERT_TRUE(decode(png));
    for (std::size_t length = 0; length < png.size() - 12; length += 7) { // everything short of IEND
        EXPECT_FALSE(decode(std::vector<std::uint8_t>(png.begin(), png.begin() + length))) << length;
    }
    auto corrupt = png;
    corrupt[40] ^= 0xFF; // inside IDAT: its CRC no longer matches
    EXPECT_FALSE(decode(corrupt));
    auto too_wide = png;
    too_wide[16] = 0x01; // width 16 + 2^24: beyond 8192
    EXPECT_FALSE(decode(too_wide));
}

// Text and colour profiles do not change a pixel of the output; Qt's reader, too, shows the pixels of a PNG
// whose text it cannot hold. Neither a chunk that inflates to 4 GiB nor more text chunks than a decoder keeps
// may stop the decode or cost memory and time.
TEST(PngDecoder, AncillaryChunksTheOutputDoesNotUseAreSkipped) {
    struct Case {
        const char* type;
        std::vector<std::uint8_t> data;
        int count;
    };
    const Case cases[] = {
        {"zTXt", test::named_zlib_data("Comment", test::zlib_zeros(4096)), 1},
        {"tEXt", {'k', 0, 'v'}, 1001},
    };
    PngPlan plan;
    plan.width = 37;
    plan.height = 23;
    test::fill_random(plan, 99);
    const auto clean = test::encode_png(plan);
    for (const auto& c : cases) {
        auto png = clean;
        for (int i = 0; i < c.count; ++i) {
            png = test::with_chunk_after_header(std::move(png), c.type, c.data);
        }
        const auto ours = decode(png);
        EXPECT_TRUE(ours) << c.type;
        if (!ours) {
            continue;
        }
        const std::vector<std::uint8_t> our_pixels(ours->pixels.get(), ours->pixels.get() + ours->size_bytes());
        EXPECT_EQ(our_pixels, qt_rgba(png)) << c.type;
        EXPECT_EQ(our_pixels, qt_rgba(clean)) << c.type;
    }
}

} // namespace
} // namespace kelvara
