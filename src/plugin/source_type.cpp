#include "plugin/source_type.hpp"

#include "core/log.hpp"
#include "plugin/source_context.hpp"
#include "plugin/source_properties.hpp"
#include "plugin/source_settings_io.hpp"

#include <obs-module.h>

namespace kelvara {
namespace {

SourceContext* context_of(void* data) {
    return static_cast<SourceContext*>(data);
}

const char* get_name(void*) {
    return obs_module_text("KelvaraBanner");
}

void* create(obs_data_t* settings, obs_source_t* source) {
    return SourceContext::create(settings, source);
}

void destroy(void* data) {
    SourceContext::destroy(context_of(data));
}

uint32_t get_width(void* data) {
    return data != nullptr ? context_of(data)->output_width() : 1;
}

uint32_t get_height(void* data) {
    return data != nullptr ? context_of(data)->output_height() : 1;
}

obs_properties_t* get_properties(void* data) {
    return get_source_properties(context_of(data));
}

void update(void* data, obs_data_t* settings) {
    if (data == nullptr) {
        return;
    }
    try {
        context_of(data)->apply_source_settings(settings);
    } catch (const std::exception& error) {
        log_line(LogLevel::error, "[kelvara] Cannot update source: %s", error.what());
    }
}

void video_render(void* data, gs_effect_t* effect) {
    if (data != nullptr) {
        context_of(data)->render(effect);
    }
}

// Every field not set here stays zero: no activate/show hooks, no video_tick (the source registers its
// own tick callback), no save/load, no audio or media callbacks.
obs_source_info make_source_info() {
    obs_source_info info{};
    info.id = kSourceTypeId;
    info.type = OBS_SOURCE_TYPE_INPUT;
    info.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_CUSTOM_DRAW;
    info.get_name = get_name;
    info.create = create;
    info.destroy = destroy;
    info.get_width = get_width;
    info.get_height = get_height;
    info.get_defaults = get_source_defaults;
    info.get_properties = get_properties;
    info.update = update;
    info.video_render = video_render;
    return info;
}

} // namespace

const obs_source_info& banner_source_info() {
    static const obs_source_info info = make_source_info();
    return info;
}

} // namespace kelvara
