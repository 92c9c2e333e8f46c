#pragma once

#include "metadata/banner_input.hpp"

#include <obs.h>

namespace kelvara {

inline constexpr const char* kUrlKey = "url";
inline constexpr const char* kPollSecondsKey = "poll_seconds";
inline constexpr const char* kQrEnabledKey = "qr_enabled";

// The three settings exactly as the host stores them.
RawSourceSettings read_source_settings(obs_data_t* settings);

} // namespace kelvara
