#pragma once

#include "core/revision.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

struct spng_ctx;

namespace kelvara {

// Decodes one PNG file into 8-bit RGBA rows that the caller places, so that a banner can be decoded
// straight into its spot on a larger canvas without a second buffer.
//
// Every colour type and bit depth, palettes with or without transparency, and Adam7 interlacing come out as
// Qt's QImage::fromData followed by convertToFormat(Format_RGBA8888) would give them: transparency chunks
// applied, no gamma or colour-space conversion, 16-bit samples rounded to the nearest 8-bit value.
// Unlike Qt's image reader it has no process-wide allocation limit to raise, so images up to
// 8192 x 8192 decode without touching settings that belong to the host.
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

    spng_ctx* context_ = nullptr;
    std::optional<PngSize> size_;
    bool sixteen_bit_ = false;
    bool grey_colour_key_ = false;
    bool interlaced_ = false;
};

} // namespace kelvara
