#include "output/frame_composer.hpp"
#include "output/png_decoder.hpp"
#include "support/png_files.hpp"

#include <QtGui/QImage>

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace kelvara {
namespace {

using test::PngPlan;

// Our pixels, rows without padding; empty when the file does not decode.
std::vector<std::uint8_t> ours(const std::vector<std::uint8_t>& png) {
    const auto frame = compose_banner_frame(png, false, "");
    return frame ? std::vector<std::uint8_t>(frame->pixels.get(), frame->pixels.get() + frame->size_bytes())
                 : std::vector<std::uint8_t>();
}

// What Qt makes of the same bytes.
std::vector<std::uint8_t> qt_rgba(const std::vector<std::uint8_t>& png) {
    const auto bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(png.data()), qsizetype(png.size()));
    const QImage image = QImage::fromData(bytes, "PNG").convertToFormat(QImage::Format_RGBA8888);
    std::vector<std::uint8_t> pixels;
    for (int y = 0; y < image.height(); ++y) {
        pixels.insert(pixels.end(), image.constScanLine(y), image.constScanLine(y) + image.width() * 4);
    }
    return pixels;
}

PngPlan random_plan(int colour_type, int bit_depth, bool interlaced, std::uint32_t seed) {
    PngPlan plan;
    plan.width = 37;
    plan.height = 23;
    plan.colour_type = colour_type;
    plan.bit_depth = bit_depth;
    plan.interlaced = interlaced;
    test::fill_random(plan, seed);
    return plan;
}

TEST(PngDecoder, SamePixelsAsQtForEveryPngClass) {
    enum Transparency { none, palette_alpha, colour_key };
    // Every colour type at every depth (grey's 1 to 16), then each kind of transparency: a colour key for grey
    // and RGB, alpha for half a palette. Not here: 16-bit RGB with a colour key, which Qt 6.4 decodes with
    // shifted samples (see PngDecoder).
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
                PngPlan plan = random_plan(colour_type, depth, interlaced, seed++);
                if (transparency == palette_alpha) {
                    for (std::size_t i = 0; i < plan.palette.size() / 2 + 1; ++i) {
                        plan.palette_alpha.push_back(static_cast<png_byte>(i * 37));
                    }
                } else if (transparency == colour_key) {
                    // The key is the first pixel's colour, so that some pixels really turn transparent.
                    const auto& row = plan.rows[0];
                    const auto sample = [&](std::size_t i) -> png_uint_16 {
                        return depth == 16 ? png_uint_16(row[2 * i] << 8 | row[2 * i + 1])
                                           : png_uint_16(row[0] >> (8 - depth));
                    };
                    const bool rgb = colour_type == PNG_COLOR_TYPE_RGB;
                    plan.transparent_colour =
                        png_color_16{0, sample(0), sample(rgb ? 1 : 0), sample(rgb ? 2 : 0), sample(0)};
                }
                const auto png = test::encode_png(plan);
                EXPECT_EQ(ours(png), qt_rgba(png))
                    << colour_type << " " << depth << " " << transparency << " " << interlaced;
            }
        }
    }
}

TEST(PngDecoder, DamagedFilesDecodeToNothing) {
    const auto png = test::encode_rgba_png(16, 8, std::vector<std::uint8_t>(16 * 8 * 4, 200));
    ASSERT_FALSE(ours(png).empty());
    for (std::size_t length = 0; length < png.size() - 12; length += 7) { // everything short of IEND
        EXPECT_TRUE(ours(std::vector<std::uint8_t>(png.begin(), png.begin() + length)).empty()) << length;
    }
    auto corrupt = png;
    corrupt[40] ^= 0xFF; // inside IDAT: its CRC no longer matches
    EXPECT_TRUE(ours(corrupt).empty());
    auto too_wide = png;
    too_wide[16] = 0x01; // width 16 + 2^24: beyond 8192
    EXPECT_TRUE(ours(too_wide).empty());
}

// Text never changes a pixel of the output, so more text chunks than a decoder keeps must not stop the decode.
// (A text chunk that would inflate to gigabytes costs nothing either: see the output peak memory benchmark.)
TEST(PngDecoder, AncillaryChunksTheOutputDoesNotUseAreSkipped) {
    const auto clean = test::encode_png(random_plan(PNG_COLOR_TYPE_RGBA, 8, false, 99));
    auto png = clean;
    for (int i = 0; i < 1001; ++i) {
        png = test::with_chunk_after_header(std::move(png), "tEXt", {'k', 0, 'v'});
    }
    EXPECT_EQ(ours(png), qt_rgba(clean));
}

} // namespace
} // namespace kelvara
