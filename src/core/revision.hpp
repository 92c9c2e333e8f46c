#pragma once

#include "core/records.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kelvara {

inline constexpr std::uint32_t kMaxImageSide = 8192;
inline constexpr std::size_t kMaxImageBytes = 16777216;
inline constexpr std::string_view kPngContentType = "image/png";

struct PngSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;

    friend bool operator==(const PngSize&, const PngSize&) = default;
};

// The size stated by a PNG file's signature and leading IHDR chunk, or nothing when the bytes do not start
// that way. Reads the first 24 bytes only.
std::optional<PngSize> read_png_header_size(std::span<const std::uint8_t> bytes) noexcept;

enum class ImageUrlForm { none, revision, render };

// Which of the two image URL forms built from the revision's own ID and number its image URL is, if any.
ImageUrlForm image_url_form(const RenderRevision& revision);

// The image URL is the "/revision/" or the "/render/" image form built from the revision's own ID and number.
bool has_service_image_url(const RenderRevision& revision);

// The image URL is the "/render/" form. Numbers of the two forms are separate numbering spaces.
bool has_render_image_url(const RenderRevision& revision);

// A complete revision: valid ID and number, a service image URL, a PNG of 1 to 8192 pixels a side and at
// most 16 MiB whose header states exactly `width` and `height`.
bool is_valid_revision(const RenderRevision& revision);

} // namespace kelvara
