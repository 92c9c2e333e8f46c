#include "core/revision.hpp"

#include "core/banner_rules.hpp"

#include <algorithm>
#include <array>
#include <charconv>

namespace kelvara {
namespace {

constexpr std::array<std::uint8_t, 8> kPngSignature{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::size_t kPngHeaderBytes = 33; // signature + IHDR length, type, data and CRC

std::uint32_t read_be32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
           (std::uint32_t{bytes[offset + 2]} << 8) | std::uint32_t{bytes[offset + 3]};
}

} // namespace

std::optional<PngSize> read_png_header_size(std::span<const std::uint8_t> bytes) noexcept {
    if (bytes.size() < kPngHeaderBytes || !std::equal(kPngSignature.begin(), kPngSignature.end(), bytes.begin())) {
        return std::nullopt;
    }
    const bool ihdr_first =
        read_be32(bytes, 8) == 13 && bytes[12] == 'I' && bytes[13] == 'H' && bytes[14] == 'D' && bytes[15] == 'R';
    if (!ihdr_first) {
        return std::nullopt;
    }
    return PngSize{read_be32(bytes, 16), read_be32(bytes, 20)};
}

ImageUrlForm image_url_form(const RenderRevision& revision) {
    // Compares piece by piece against banner_revision_image_url / render_image_url without building them:
    // the validity test runs for every state check and every decoded page.
    std::string_view rest = revision.image_url;
    const auto take = [&rest](std::string_view part) {
        if (!rest.starts_with(part)) {
            return false;
        }
        rest.remove_prefix(part.size());
        return true;
    };
    if (!take(kServiceOrigin) || !take("/banner/") || !take(revision.banner_id)) {
        return ImageUrlForm::none;
    }
    ImageUrlForm form = ImageUrlForm::none;
    if (take("/revision/")) {
        form = ImageUrlForm::revision;
    } else if (take("/render/")) {
        form = ImageUrlForm::render;
    } else {
        return ImageUrlForm::none;
    }
    std::array<char, 20> digits{};
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), revision.render_revision).ptr;
    if (!take(std::string_view(digits.data(), static_cast<std::size_t>(end - digits.data()))) || rest != "/image") {
        return ImageUrlForm::none;
    }
    return form;
}

bool has_render_image_url(const RenderRevision& revision) {
    return image_url_form(revision) == ImageUrlForm::render;
}

bool has_service_image_url(const RenderRevision& revision) {
    return image_url_form(revision) != ImageUrlForm::none;
}

bool is_valid_revision(const RenderRevision& revision) {
    if (!is_valid_banner_id(revision.banner_id) || revision.render_revision == 0 || !has_service_image_url(revision)) {
        return false;
    }
    if (revision.width == 0 || revision.height == 0 || revision.width > kMaxImageSide ||
        revision.height > kMaxImageSide) {
        return false;
    }
    if (revision.content_type != kPngContentType || revision.image_bytes.size() > kMaxImageBytes) {
        return false;
    }
    const auto size = read_png_header_size(revision.image_bytes.span());
    return size && size->width == revision.width && size->height == revision.height;
}

} // namespace kelvara
