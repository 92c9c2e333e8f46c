#pragma once

#include <cstddef>
#include <string_view>

namespace kelvara {

// The service is reached only under this origin; the service's URLs (metadata/service_urls.hpp) and the
// checks of revisions and pages that come from it are built on it.
inline constexpr std::string_view kServiceOrigin = "https://kelvara.com";

inline constexpr std::size_t kMaxBannerIdLength = 128;

// 1 to `max_length` bytes, each an ASCII letter, digit, '_' or '-': text that is safe in a URL path and in a
// file name on every system.
bool is_id_text(std::string_view text, std::size_t max_length) noexcept;

// 1 to 128 bytes of ID text. The one test every banner ID is held to.
inline bool is_valid_banner_id(std::string_view text) noexcept {
    return is_id_text(text, kMaxBannerIdLength);
}

} // namespace kelvara
