#pragma once

#include <cstdint>

namespace kelvara {

// Where the banner and its QR code sit on the output canvas. Used by the worker to compose the frame and by
// the source's size callbacks, so that the drawn sprite and the reported size agree.
struct RenderLayout {
    std::uint32_t canvas_width = 0;
    std::uint32_t canvas_height = 0;
    std::uint32_t banner_x = 0;
    std::uint32_t banner_y = 0;
    std::uint32_t qr_x = 0;
    std::uint32_t qr_y = 0;
    std::uint32_t qr_size = 0;
    bool has_qr = false;

    friend bool operator==(const RenderLayout&, const RenderLayout&) = default;
};

inline constexpr std::uint32_t kQrGap = 16;
inline constexpr std::uint32_t kMinQrSize = 64;
inline constexpr std::uint32_t kMaxQrSize = 320;

// The banner at the left edge; with a QR code, a 16-pixel gap and a square of the banner's height (64 to
// 320 pixels) to its right, the shorter of the two centred vertically. Throws std::invalid_argument
// "banner dimensions must be nonzero" or "render layout dimensions overflow".
RenderLayout compute_render_layout(std::uint32_t width, std::uint32_t height, bool with_qr);

} // namespace kelvara
