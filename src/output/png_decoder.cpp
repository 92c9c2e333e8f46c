#include "output/png_decoder.hpp"

#include <spng.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace kelvara {
namespace {

// Adam7: first column and column step of each pass.
constexpr std::uint32_t kPassFirstColumn[7] = {0, 4, 0, 2, 0, 1, 0};
constexpr std::uint32_t kPassColumnStep[7] = {8, 8, 4, 4, 2, 2, 1};

constexpr std::size_t kSignatureBytes = 8;
constexpr std::size_t kChunkHeaderBytes = 8;   // length and type
constexpr std::size_t kChunkFramingBytes = 12; // header and CRC

// Critical chunks (IHDR, PLTE, IDAT, IEND, and unknown ones, which fail the image as before) and tRNS, the one
// ancillary chunk the output applies. Gamma, colour space and significant bits are not applied (see
// PngDecoder), text and the rest never reach the output.
bool is_used(const std::uint8_t* type) {
    const bool ancillary = (type[0] & 0x20) != 0;
    return !ancillary || std::memcmp(type, "tRNS", 4) == 0;
}

std::uint32_t read_be32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

int read_used_chunks(spng_ctx*, void* stream, void* out, std::size_t length) {
    return static_cast<UsedChunkStream*>(stream)->read(static_cast<std::uint8_t*>(out), length) ? 0 : SPNG_IO_EOF;
}

// Nearest 8-bit value of a 16-bit sample, as Qt rounds when it converts 16-bit images to 8 bits.
constexpr std::uint8_t to_8bit(std::uint16_t sample) {
    return static_cast<std::uint8_t>((std::uint32_t{sample} + 128 - ((std::uint32_t{sample} + 128) >> 8)) >> 8);
}

// Qt reads keyed grey images through a palette whose transparent entry is black; do the same so that the
// colour of invisible pixels (which scaling filters can bleed) matches too.
void clear_transparent_colour(std::uint8_t* row, std::size_t row_bytes) {
    for (std::size_t i = 0; i < row_bytes; i += 4) {
        if (row[i + 3] == 0) {
            row[i] = row[i + 1] = row[i + 2] = 0;
        }
    }
}

} // namespace

UsedChunkStream::UsedChunkStream(std::span<const std::uint8_t> png) noexcept
    : png_(png), piece_left_(std::min(png.size(), kSignatureBytes)) {}

bool UsedChunkStream::read(std::uint8_t* out, std::size_t length) noexcept {
    while (length > 0) {
        if (piece_left_ == 0) {
            start_next_piece();
            if (piece_left_ == 0) {
                return false;
            }
        }
        const std::size_t count = std::min(length, piece_left_);
        std::memcpy(out, png_.data() + position_, count);
        out += count;
        length -= count;
        position_ += count;
        piece_left_ -= count;
    }
    return true;
}

void UsedChunkStream::start_next_piece() noexcept {
    for (;;) {
        const std::size_t rest = png_.size() - position_;
        if (rest < kChunkHeaderBytes) {
            piece_left_ = rest; // a cut-off header: the decoder finds the file cut off
            return;
        }
        const std::uint8_t* header = png_.data() + position_;
        const std::uint64_t chunk_bytes = std::uint64_t{read_be32(header)} + kChunkFramingBytes;
        if (is_used(header + 4)) {
            piece_left_ = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_bytes, rest));
            return;
        }
        if (chunk_bytes > rest) {
            position_ = png_.size(); // cut off inside a chunk nobody reads
            piece_left_ = 0;
            return;
        }
        position_ += static_cast<std::size_t>(chunk_bytes);
    }
}

PngDecoder::PngDecoder(std::span<const std::uint8_t> png) noexcept : stream_(png), context_(spng_ctx_new(0)) {
    if (context_ == nullptr) {
        return;
    }
    // Like libpng's defaults: a damaged critical chunk fails the image, a damaged ancillary one is skipped.
    spng_set_crc_action(context_, SPNG_CRC_ERROR, SPNG_CRC_DISCARD);
    spng_set_image_limits(context_, kMaxImageSide, kMaxImageSide);
    spng_ihdr header{};
    if (spng_set_png_stream(context_, read_used_chunks, &stream_) != 0 || spng_get_ihdr(context_, &header) != 0) {
        return;
    }
    size_ = PngSize{header.width, header.height};
    sixteen_bit_ = header.bit_depth == 16;
    spng_trns transparency{};
    grey_colour_key_ =
        header.color_type == SPNG_COLOR_TYPE_GRAYSCALE && !sixteen_bit_ && spng_get_trns(context_, &transparency) == 0;
    interlaced_ = header.interlace_method != SPNG_INTERLACE_NONE;
}

PngDecoder::~PngDecoder() {
    spng_ctx_free(context_);
}

bool PngDecoder::decode_rgba8(std::uint8_t* rows, std::size_t stride) noexcept {
    if (!size_) {
        return false;
    }
    return sixteen_bit_ ? decode_16bit(rows, stride) : decode_8bit(rows, stride);
}

bool PngDecoder::decode_8bit(std::uint8_t* rows, std::size_t stride) noexcept {
    const std::size_t row_bytes = std::size_t{size_->width} * 4;
    if (spng_decode_image(context_, nullptr, 0, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE) != 0) {
        return false;
    }
    // Interlaced passes write only their own columns of each row, so the rows can be the final ones.
    int status = 0;
    spng_row_info row{};
    while ((status = spng_get_row_info(context_, &row)) == 0) {
        std::uint8_t* out = rows + row.row_num * stride;
        status = spng_decode_row(context_, out, row_bytes);
        if (grey_colour_key_ && (status == 0 || status == SPNG_EOI)) {
            clear_transparent_colour(out, row_bytes);
        }
        if (status != 0) {
            break;
        }
    }
    return status == SPNG_EOI;
}

bool PngDecoder::decode_16bit(std::uint8_t* rows, std::size_t stride) noexcept {
    // The decoder truncates 16-bit samples when asked for 8 bits; rounding them ourselves keeps the pixels
    // equal to Qt's. Only one 16-bit row is held at a time.
    const std::uint32_t width = size_->width;
    const std::size_t wide_row_bytes = std::size_t{width} * 8;
    const auto wide_row = std::unique_ptr<std::uint16_t[]>(new (std::nothrow) std::uint16_t[std::size_t{width} * 4]);
    if (!wide_row ||
        spng_decode_image(context_, nullptr, 0, SPNG_FMT_RGBA16, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE) != 0) {
        return false;
    }
    int status = 0;
    spng_row_info row{};
    while ((status = spng_get_row_info(context_, &row)) == 0) {
        status = spng_decode_row(context_, wide_row.get(), wide_row_bytes);
        if (status != 0 && status != SPNG_EOI) {
            break;
        }
        const int pass = interlaced_ ? row.pass : 6;
        std::uint8_t* out = rows + row.row_num * stride;
        for (std::uint32_t x = kPassFirstColumn[pass]; x < width; x += kPassColumnStep[pass]) {
            for (std::size_t channel = 0; channel < 4; ++channel) {
                out[x * 4 + channel] = to_8bit(wide_row[std::size_t{x} * 4 + channel]);
            }
        }
        if (status == SPNG_EOI) {
            break;
        }
    }
    return status == SPNG_EOI;
}

} // namespace kelvara
