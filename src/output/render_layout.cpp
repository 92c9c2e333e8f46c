#include "output/render_layout.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace kelvara {

RenderLayout compute_render_layout(std::uint32_t width, std::uint32_t height, bool with_qr) {
    if (width == 0 || height == 0) {
        throw std::invalid_argument("banner dimensions must be nonzero");
    }
    RenderLayout layout;
    layout.canvas_width = width;
    layout.canvas_height = height;
    if (!with_qr) {
        return layout;
    }
    layout.qr_size = std::clamp(height, kMinQrSize, kMaxQrSize);
    constexpr auto max = std::numeric_limits<std::uint32_t>::max();
    if (width > max - kQrGap || width + kQrGap > max - layout.qr_size) {
        throw std::invalid_argument("render layout dimensions overflow");
    }
    layout.canvas_width = width + kQrGap + layout.qr_size;
    layout.canvas_height = std::max(layout.qr_size, height);
    layout.banner_y = (layout.canvas_height - height) / 2;
    layout.qr_x = width + kQrGap;
    layout.qr_y = (layout.canvas_height - layout.qr_size) / 2;
    layout.has_qr = true;
    return layout;
}

} // namespace kelvara
