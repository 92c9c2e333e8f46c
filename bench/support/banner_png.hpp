#pragma once

#include <png.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

namespace kelvara::bench {

// An opaque RGBA banner of random 8 x 8 colour blocks: busy enough that decoding does real work, compressible
// enough that an 8192 x 8192 image stays below the 16 MiB an approved image may have. Written row by row, so
// making it holds only the compressed file in memory.
inline std::vector<std::uint8_t> block_noise_png(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
    std::vector<std::uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("cannot encode benchmark PNG");
    }
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep data, png_size_t length) {
            auto* target = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(p));
            target->insert(target->end(), data, data + length);
        },
        nullptr);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::mt19937 random(seed);
    std::vector<png_byte> row(std::size_t{width} * 4);
    for (std::uint32_t y = 0; y < height; ++y) {
        if (y % 8 == 0) {
            for (std::uint32_t x = 0; x < width; ++x) {
                if (x % 8 == 0) {
                    const auto colour = random();
                    row[x * 4] = static_cast<png_byte>(colour);
                    row[x * 4 + 1] = static_cast<png_byte>(colour >> 8);
                    row[x * 4 + 2] = static_cast<png_byte>(colour >> 16);
                    row[x * 4 + 3] = 255;
                } else {
                    std::copy_n(&row[(x - 1) * 4], 4, &row[x * 4]);
                }
            }
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

} // namespace kelvara::bench
