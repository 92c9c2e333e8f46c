#pragma once

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace kelvara::test {

// A PNG to be written: rows of raw samples in PNG's own packing (big-endian 16-bit, sub-byte samples packed
// from the high bits), plus the optional palette and transparency chunks.
struct PngPlan {
    std::uint32_t width = 1;
    std::uint32_t height = 1;
    int colour_type = PNG_COLOR_TYPE_RGBA;
    int bit_depth = 8;
    bool interlaced = false;
    std::vector<png_color> palette{};
    std::vector<png_byte> palette_alpha{};            // tRNS for palettes
    std::optional<png_color_16> transparent_colour{}; // tRNS for grey and RGB
    std::vector<std::vector<png_byte>> rows{};
    int compression_level = 6;
};

// Fills every row with pseudo-random samples; with a palette of 2^depth entries every index is valid.
inline void fill_random(PngPlan& plan, std::uint32_t seed) {
    std::mt19937 random(seed);
    const auto next = [&] { return static_cast<png_byte>(random()); };
    // Samples per pixel: 1 for palette and grey, 3 with colour, one more with alpha.
    const int type = plan.colour_type;
    const int channels = type == PNG_COLOR_TYPE_PALETTE
                             ? 1
                             : (type & PNG_COLOR_MASK_COLOR ? 3 : 1) + (type & PNG_COLOR_MASK_ALPHA ? 1 : 0);
    plan.rows.assign(plan.height, std::vector<png_byte>((std::size_t{plan.width} * channels * plan.bit_depth + 7) / 8));
    for (auto& row : plan.rows) {
        std::ranges::generate(row, next);
    }
    if (type == PNG_COLOR_TYPE_PALETTE && plan.palette.empty()) {
        plan.palette.resize(std::size_t{1} << plan.bit_depth);
        std::ranges::generate(plan.palette, [&] { return png_color{next(), next(), next()}; });
    }
}

// Writes a PNG row by row: `next_row(y)` returns a pointer to row y in PNG's packing. Only the compressed
// file is held in memory, so very large images can be made cheaply.
template <typename NextRow>
std::vector<std::uint8_t> encode_png_rows(const PngPlan& header, NextRow next_row) {
    std::vector<std::uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("cannot encode test PNG");
    }
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep data, png_size_t length) {
            auto* target = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(p));
            target->insert(target->end(), data, data + length);
        },
        nullptr);
    png_set_compression_level(png, header.compression_level);
    png_set_IHDR(png, info, header.width, header.height, header.bit_depth, header.colour_type,
                 header.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!header.palette.empty()) {
        png_set_PLTE(png, info, header.palette.data(), static_cast<int>(header.palette.size()));
    }
    if (!header.palette_alpha.empty() || header.transparent_colour) { // libpng writes what the colour type uses
        auto colour = header.transparent_colour.value_or(png_color_16{});
        png_set_tRNS(png, info, header.palette_alpha.data(), static_cast<int>(header.palette_alpha.size()), &colour);
    }
    png_write_info(png, info);
    // Interlaced images need every row in each pass.
    const int passes = header.interlaced ? png_set_interlace_handling(png) : 1;
    for (int pass = 0; pass < passes; ++pass) {
        for (std::uint32_t y = 0; y < header.height; ++y) {
            png_write_row(png, next_row(y));
        }
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

inline std::vector<std::uint8_t> encode_png(const PngPlan& plan) {
    return encode_png_rows(plan, [&](std::uint32_t y) { return plan.rows[y].data(); });
}

// An RGBA PNG whose pixels are given directly (R, G, B, A bytes, rows without padding).
inline std::vector<std::uint8_t> encode_rgba_png(std::uint32_t width, std::uint32_t height,
                                                 const std::vector<std::uint8_t>& pixels, int compression_level = 6) {
    const PngPlan header{.width = width, .height = height, .compression_level = compression_level};
    return encode_png_rows(header, [&](std::uint32_t y) { return pixels.data() + std::size_t{y} * width * 4; });
}

// `png` with one more chunk right after its IHDR chunk (the signature and IHDR take the first 33 bytes).
inline std::vector<std::uint8_t> with_chunk_after_header(std::vector<std::uint8_t> png, std::string_view type,
                                                         const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> chunk(data.size() + 12);
    png_save_uint_32(chunk.data(), static_cast<png_uint_32>(data.size()));
    std::copy_n(type.begin(), 4, chunk.begin() + 4);
    std::copy(data.begin(), data.end(), chunk.begin() + 8);
    png_save_uint_32(&chunk[data.size() + 8], static_cast<png_uint_32>(crc32(0, &chunk[4], uInt(data.size() + 4))));
    png.insert(png.begin() + 33, chunk.begin(), chunk.end());
    return png;
}

} // namespace kelvara::test
