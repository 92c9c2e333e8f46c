#pragma once

#include "output/render_layout.hpp"
#include "output/rgba_image.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kelvara {

// How the QR symbol sits in its square area: n modules plus a quiet zone of 4 on every side, drawn with a
// whole-pixel module size m, centred (rounding toward zero) and overhanging the area when even m = 1 does
// not fit.
struct QrPlacement {
    int modules = 0;     // n
    int module_size = 0; // m
    int side = 0;        // s = (n + 8) * m
    int x0 = 0;
    int y0 = 0;

    friend bool operator==(const QrPlacement&, const QrPlacement&) = default;
};

inline constexpr int kQrQuietZone = 4;

QrPlacement place_qr_symbol(int modules, const RenderLayout& layout);

// Paints the QR code of `qr_text` (error correction level medium) into the QR area of a canvas laid out by
// `layout`: a white square with the quiet zone, black square modules, no smoothing. Pixels outside the
// canvas are clipped. False when the text cannot be encoded.
bool compose_with_qr(RgbaImage& canvas, const RenderLayout& layout, std::string_view qr_text);

// The frame the output shows for an approved PNG: the decoded banner, and with `qr_enabled` and a
// non-empty `qr_text` the whole canvas of compute_render_layout with the QR code beside it, the rest
// transparent. The banner is decoded straight into its place on the canvas. Nothing when the PNG cannot
// be decoded.
std::optional<RgbaImage> compose_banner_frame(std::span<const std::uint8_t> png, bool qr_enabled,
                                              std::string_view qr_text);

} // namespace kelvara
