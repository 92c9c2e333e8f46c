#pragma once

#include "core/banner_rules.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvara {

// Every URL of the service is built in this file, under kServiceOrigin.
// Operators may paste banner page URLs from this origin too; they are read as if typed on kServiceOrigin.
inline constexpr std::string_view kAlternateServiceOrigin = "https://www.kelvara.com";

// Base 10, no sign, no leading zeros, "0" for zero.
std::string decimal_string(std::uint64_t value);

// The builders check nothing: callers make sure the banner ID passes is_valid_banner_id first.
std::string banner_url(std::string_view banner_id);
std::string banner_revision_url(std::string_view banner_id, std::uint64_t revision);
std::string banner_revision_image_url(std::string_view banner_id, std::uint64_t revision);
std::string render_page_url(std::string_view banner_id, std::uint64_t render_revision);
std::string render_image_url(std::string_view banner_id, std::uint64_t render_revision);
std::string render_revisions_url(std::string_view banner_id, std::uint64_t after);

} // namespace kelvara
