#include "output/frame_composer.hpp"

#include "output/png_decoder.hpp"

#include <qrcodegen/qrcodegen.hpp>

#include <algorithm>
#include <cstring>
#include <string>

namespace kelvara {
namespace {

struct Rgba {
    std::uint8_t r, g, b, a;
};

constexpr Rgba kTransparent{0, 0, 0, 0};
constexpr Rgba kWhite{255, 255, 255, 255};
constexpr Rgba kBlack{0, 0, 0, 255};

// Fills the part of the rectangle that lies on the canvas.
void fill_rect(RgbaImage& canvas, std::int64_t x, std::int64_t y, std::int64_t w, std::int64_t h, Rgba colour) {
    const auto left = std::clamp<std::int64_t>(x, 0, canvas.width);
    const auto right = std::clamp<std::int64_t>(x + w, 0, canvas.width);
    const auto top = std::clamp<std::int64_t>(y, 0, canvas.height);
    const auto bottom = std::clamp<std::int64_t>(y + h, 0, canvas.height);
    if (left >= right || top >= bottom) {
        return;
    }
    for (auto row = top; row < bottom; ++row) {
        std::uint8_t* out = canvas.pixel(static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(row));
        if (colour.r == colour.g && colour.g == colour.b && colour.b == colour.a) {
            std::memset(out, colour.r, static_cast<std::size_t>(right - left) * 4);
            continue;
        }
        for (auto column = left; column < right; ++column, out += 4) {
            std::memcpy(out, &colour, 4);
        }
    }
}

// Clears everything of the canvas that the banner does not cover; the banner's own pixels are written by
// the decoder, so the canvas is never cleared twice.
void clear_around_banner(RgbaImage& canvas, const RenderLayout& layout, PngSize banner) {
    const std::int64_t width = canvas.width;
    fill_rect(canvas, 0, 0, width, layout.banner_y, kTransparent);
    fill_rect(canvas, 0, std::int64_t{layout.banner_y} + banner.height, width, canvas.height, kTransparent);
    fill_rect(canvas, banner.width, layout.banner_y, width - banner.width, banner.height, kTransparent);
}

} // namespace

QrPlacement place_qr_symbol(int modules, const RenderLayout& layout) {
    QrPlacement placement;
    placement.modules = modules;
    const int span = modules + 2 * kQrQuietZone;
    const int area = static_cast<int>(layout.qr_size);
    placement.module_size = std::max(area / span, 1);
    placement.side = span * placement.module_size;
    placement.x0 = static_cast<int>(layout.qr_x) + (area - placement.side) / 2;
    placement.y0 = static_cast<int>(layout.qr_y) + (area - placement.side) / 2;
    return placement;
}

bool compose_with_qr(RgbaImage& canvas, const RenderLayout& layout, std::string_view qr_text) {
    std::optional<qrcodegen::QrCode> symbol;
    try {
        symbol.emplace(qrcodegen::QrCode::encodeText(std::string(qr_text).c_str(), qrcodegen::QrCode::Ecc::MEDIUM));
    } catch (const std::exception&) {
        return false; // longer than any QR version holds
    }
    const QrPlacement placement = place_qr_symbol(symbol->getSize(), layout);
    const int m = placement.module_size;
    fill_rect(canvas, placement.x0, placement.y0, placement.side, placement.side, kWhite);
    for (int y = 0; y < placement.modules; ++y) {
        for (int x = 0; x < placement.modules; ++x) {
            if (symbol->getModule(x, y)) {
                fill_rect(canvas, placement.x0 + std::int64_t{x + kQrQuietZone} * m,
                          placement.y0 + std::int64_t{y + kQrQuietZone} * m, m, m, kBlack);
            }
        }
    }
    return true;
}

std::optional<RgbaImage> compose_banner_frame(std::span<const std::uint8_t> png, bool qr_enabled,
                                              std::string_view qr_text) {
    PngDecoder decoder(png);
    const auto banner = decoder.size();
    if (!banner || banner->width == 0 || banner->height == 0) {
        return std::nullopt;
    }
    const bool with_qr = qr_enabled && !qr_text.empty();
    // Banners are at most 8192 pixels wide, far below the layout's overflow bound.
    const RenderLayout layout = compute_render_layout(banner->width, banner->height, with_qr);
    RgbaImage canvas = RgbaImage::allocate(layout.canvas_width, layout.canvas_height);
    if (!decoder.decode_rgba8(canvas.pixel(layout.banner_x, layout.banner_y), canvas.stride())) {
        return std::nullopt;
    }
    if (with_qr) {
        clear_around_banner(canvas, layout, *banner);
        compose_with_qr(canvas, layout, qr_text);
    }
    return canvas;
}

} // namespace kelvara
