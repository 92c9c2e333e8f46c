#pragma once

#include "test_fixtures/png_files.hpp"

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string_view>
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

// A zlib stream that inflates to `mebibytes` MiB of zeros, made in milliseconds however large: after a full
// flush a deflate block depends on nothing before it, so one block of 1 MiB of zeros is repeated.
inline std::vector<std::uint8_t> zlib_zeros(std::uint32_t mebibytes) {
    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("cannot start deflate");
    }
    std::vector<std::uint8_t> zeros(1 << 20), block(1 << 14);
    const auto deflate_all = [&](std::vector<std::uint8_t>& input, int flush) {
        stream.next_in = input.data();
        stream.avail_in = static_cast<uInt>(input.size());
        stream.next_out = block.data();
        stream.avail_out = static_cast<uInt>(block.size());
        deflate(&stream, flush);
        return std::vector<std::uint8_t>(block.data(), stream.next_out);
    };
    const std::vector<std::uint8_t> repeated = deflate_all(zeros, Z_FULL_FLUSH);
    std::vector<std::uint8_t> none;
    const std::vector<std::uint8_t> last = deflate_all(none, Z_FINISH); // an empty final block
    deflateEnd(&stream);
    std::vector<std::uint8_t> out{0x78, 0xDA};
    for (std::uint32_t i = 0; i < mebibytes; ++i) {
        out.insert(out.end(), repeated.begin(), repeated.end());
    }
    out.insert(out.end(), last.begin(), last.end());
    // Adler-32 of n zeros: the byte sum stays 1 and the sum of sums is n.
    const std::uint32_t adler = static_cast<std::uint32_t>((std::uint64_t{mebibytes} << 20) % 65521) << 16 | 1;
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(adler >> shift));
    }
    return out;
}

// The data of a zTXt or iCCP chunk: the keyword or profile name, its NUL, compression method 0 and the stream.
inline std::vector<std::uint8_t> named_zlib_data(std::string_view name, const std::vector<std::uint8_t>& stream) {
    std::vector<std::uint8_t> data(name.begin(), name.end());
    data.insert(data.end(), {0, 0});
    data.insert(data.end(), stream.begin(), stream.end());
    return data;
}

} // namespace kelvara::bench
