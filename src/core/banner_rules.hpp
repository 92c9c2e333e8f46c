#pragma once

#include <cstddef>
#include <string_view>

namespace kelvara {

// The service is reached only under this origin; the service's URLs (metadata/service_urls.hpp) and the
// checks of revisions and pages that come from it are built on it.
inline constexpr std::string_view kServiceOrigin = "https://kelvara.com";

inline constexpr std::size_t kMaxBannerIdLength = 128;

// 1 to 128 bytes, each an ASCII letter, digit, '_' or '-'. The one test every banner ID is held to.
bool is_valid_banner_id(std::string_view text) noexcept;

} // namespace kelvara
