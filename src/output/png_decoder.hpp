#pragma once

#include "core/revision.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

struct spng_ctx;

namespace kelvara {

// A PNG file as the decoder reads it: every chunk except the ancillary ones the output does not use (text,
// colour profiles, and so on: all but tRNS). Those are stepped over by their length without being read, so
// a compressed text or profile chunk is never inflated, however far it would inflate, and any number of them
// costs nothing. An unused chunk that runs past the end of the file ends the stream there: the file is cut
// off, and its remainder is never inflated either.
class UsedChunkStream {
public:
    explicit UsedChunkStream(std::span<const std::uint8_t> png) noexcept;

    // Copies the next `length` bytes of the stream to `out`; false when the stream ends first.
    bool read(std::uint8_t* out, std::size_t length) noexcept;

private:
    void start_next_piece() noexcept;

    std::span<const std::uint8_t> png_;
    std::size_t position_ = 0;   // the next byte of the file to hand out
    std::size_t piece_left_ = 0; // bytes from position_ on that belong to the signature or a used chunk
};

// Decodes one PNG file into 8-bit RGBA rows that the caller places, so that a banner can be decoded
// straight into its spot on a larger canvas without a second buffer.
//
// Every colour type and bit depth, palettes with or without transparency, and Adam7 interlacing come out as
// Qt's QImage::fromData followed by convertToFormat(Format_RGBA8888) would give them: transparency chunks
// applied, no gamma or colour-space conversion, 16-bit samples rounded to the nearest 8-bit value.
// Unlike Qt's image reader it has no process-wide allocation limit to raise, so images up to
// 8192 x 8192 decode without touching settings that belong to the host. Chunks that cannot change a pixel
// are skipped unread (see UsedChunkStream): a damaged or huge one neither stops the decode nor costs time
// or memory, as Qt's reader, too, shows the pixels of a PNG whose text it cannot hold.
//
// One class differs from Qt 6.4 on purpose: 16-bit RGB with a tRNS colour key, which Qt's reader returns with
// its samples shifted by a byte per pixel (three channels packed into a four-channel format). We keep the
// correct pixels there.
class PngDecoder {
public:
    explicit PngDecoder(std::span<const std::uint8_t> png) noexcept;
    ~PngDecoder();
    PngDecoder(const PngDecoder&) = delete;
    PngDecoder& operator=(const PngDecoder&) = delete;

    // The image's size, or nothing when the bytes do not start as a PNG of at most 8192 x 8192 pixels.
    std::optional<PngSize> size() const noexcept { return size_; }

    // Writes row y of the image at rows + y * stride, width * 4 bytes each. False on any decoding error,
    // in which case the rows hold partial data. Call once.
    bool decode_rgba8(std::uint8_t* rows, std::size_t stride) noexcept;

private:
    bool decode_8bit(std::uint8_t* rows, std::size_t stride) noexcept;
    bool decode_16bit(std::uint8_t* rows, std::size_t stride) noexcept;

    UsedChunkStream stream_; // read by the context, so declared before it
    spng_ctx* context_ = nullptr;
    std::optional<PngSize> size_;
    bool sixteen_bit_ = false;
    bool grey_colour_key_ = false;
    bool interlaced_ = false;
};

} // namespace kelvara
