#pragma once

#include "support/png_files.hpp"

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace kelvara::bench {

// An opaque RGBA banner of random 8 x 8 colour blocks: busy enough that decoding does real work, compressible
// enough that an 8192 x 8192 image stays below the 16 MiB an approved image may have. Written row by row, so
// making it holds only the compressed file in memory.
inline std::vector<std::uint8_t> block_noise_png(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
    test::PngPlan header;
    header.width = width;
    header.height = height;
    std::mt19937 random(seed);
    std::vector<png_byte> row(std::size_t{width} * 4);
    return test::encode_png_rows(header, [&](std::uint32_t y) {
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
        return row.data();
    });
}

} // namespace kelvara::bench
