#pragma once

#include <obs-module.h>

namespace kelvara {

inline constexpr const char* kSourceTypeId = "kelvara_banner";

// The record of the kelvara_banner source type.
const obs_source_info& banner_source_info();

} // namespace kelvara
