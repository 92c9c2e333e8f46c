#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kelvara {

// A tightly packed image: rows top to bottom without padding, each pixel R, G, B, A (not premultiplied).
// The buffer is allocated without being cleared: whoever makes the image writes every pixel once.
struct RgbaImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::unique_ptr<std::uint8_t[]> pixels;

    static RgbaImage allocate(std::uint32_t width, std::uint32_t height) {
        return {width, height, std::make_unique_for_overwrite<std::uint8_t[]>(byte_size(width, height))};
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
