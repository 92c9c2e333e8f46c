#pragma once

#include "core/records.hpp"
#include "metadata/service_urls.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace kelvara::test {

// The first bytes of a PNG file stating the given size: signature, IHDR and its CRC (not checked here),
// padded with zeros up to `total_size`.
inline std::vector<std::uint8_t> png_header_bytes(std::uint32_t width, std::uint32_t height,
                                                  std::size_t total_size = 33) {
    std::vector<std::uint8_t> bytes{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (const std::uint32_t value : {width, height}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<std::uint8_t>(value >> shift));
        }
    }
    bytes.resize(std::max<std::size_t>(total_size, 33), 0);
    return bytes;
}

enum class UrlForm { revision, render };

// A valid revision of the banner, with an image of the given byte size.
inline RenderRevision make_revision(const std::string& banner_id, std::uint64_t number, UrlForm form = UrlForm::render,
                                    std::size_t image_size = 33) {
    const std::string image_url =
        form == UrlForm::render ? render_image_url(banner_id, number) : banner_revision_image_url(banner_id, number);
    const ImageBytes image(png_header_bytes(64, 16, image_size));
    return {banner_id, number, number * 10, image_url, "image/png", image, 64, 16};
}

inline RenderRevision with_flags(RenderRevision revision, bool paid, bool filter, bool moderation) {
    revision.contains_paid_artwork = paid;
    revision.contains_filter_change = filter;
    revision.contains_moderation = moderation;
    return revision;
}

} // namespace kelvara::test
