#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace kelvara {

struct PixelBufferFree {
    void operator()(std::uint8_t* pixels) const noexcept { std::free(pixels); }
};
using PixelBuffer = std::unique_ptr<std::uint8_t[], PixelBufferFree>;

// Memory for `bytes` of pixels, not cleared: whoever fills it writes every byte once. Large buffers are
// aligned for, and asked to use, huge pages: a banner canvas of up to ~270 MiB is otherwise tens of
// thousands of page faults, which cost more than decoding into it. Throws std::bad_alloc.
PixelBuffer allocate_pixels(std::size_t bytes);

// A tightly packed image: rows top to bottom without padding, each pixel R, G, B, A (not premultiplied).
struct RgbaImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    PixelBuffer pixels;

    static RgbaImage allocate(std::uint32_t width, std::uint32_t height) {
        return {width, height, allocate_pixels(byte_size(width, height))};
    }
    static std::size_t byte_size(std::uint32_t width, std::uint32_t height) { return std::size_t{width} * height * 4; }
    std::size_t stride() const { return std::size_t{width} * 4; }
    std::size_t size_bytes() const { return byte_size(width, height); }
    std::uint8_t* pixel(std::uint32_t x, std::uint32_t y) { return pixels.get() + y * stride() + std::size_t{x} * 4; }
    const std::uint8_t* pixel(std::uint32_t x, std::uint32_t y) const {
        return pixels.get() + y * stride() + std::size_t{x} * 4;
    }
};

} // namespace kelvara
