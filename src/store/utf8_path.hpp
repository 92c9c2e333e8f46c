#pragma once

#include <filesystem>
#include <string_view>

namespace kelvara {

// OBS hands a module its paths as UTF-8. A std::filesystem::path made from a char string reads the bytes in
// the narrow encoding of the platform, which on Windows is not UTF-8 (the ANSI code page; byte for byte with
// MinGW), so a user folder such as "Søren" would become another, or an invalid, name there. char8_t text is
// UTF-8 on every platform. On Windows, bytes that are not UTF-8 throw std::filesystem::filesystem_error.
inline std::filesystem::path path_from_utf8(std::string_view utf8) {
    return std::filesystem::path(std::u8string_view(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

} // namespace kelvara
