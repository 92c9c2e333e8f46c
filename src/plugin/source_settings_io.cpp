#include "plugin/source_settings_io.hpp"

namespace kelvara {

RawSourceSettings read_source_settings(obs_data_t* settings) {
    RawSourceSettings raw;
    raw.url = obs_data_get_string(settings, kUrlKey);
    raw.poll_seconds = obs_data_get_int(settings, kPollSecondsKey);
    raw.qr_enabled = obs_data_get_bool(settings, kQrEnabledKey);
    return raw;
}

} // namespace kelvara
