// Arbitrary bytes as a banner's PNG, as they come from the service and from snapshot files: the chunk walk that
// steps over unused chunks hands the decoder the signature first and never more than the file holds, and
// decoding reads and writes only within bounds, whatever it decides.

#include "fuzz_check.hpp"
#include "output/png_decoder.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace {

// Large enough for every seed, small enough that no input makes each run allocate for seconds.
constexpr std::uint64_t kMaxDecodedPixels = std::uint64_t{1} << 20;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);

    // The stream alone, read in pieces of every length the decoder might ask for.
    kelvara::UsedChunkStream stream(bytes);
    std::vector<std::uint8_t> streamed;
    std::uint8_t piece[97];
    for (std::size_t length = 1; stream.read(piece, length); length = length % sizeof piece + 1) {
        streamed.insert(streamed.end(), piece, piece + length);
        FUZZ_CHECK(streamed.size() <= size);
    }
    const std::size_t signature = std::min<std::size_t>({8, size, streamed.size()});
    FUZZ_CHECK(std::equal(streamed.begin(), streamed.begin() + static_cast<std::ptrdiff_t>(signature), data));

    kelvara::PngDecoder decoder(bytes);
    const auto png_size = decoder.size();
    if (png_size && std::uint64_t{png_size->width} * png_size->height <= kMaxDecodedPixels) {
        FUZZ_CHECK(png_size->width > 0 && png_size->height > 0);
        const std::size_t stride = std::size_t{png_size->width} * 4;
        std::vector<std::uint8_t> rows(stride * png_size->height);
        decoder.decode_rgba8(rows.data(), stride);
    }
    return 0;
}
