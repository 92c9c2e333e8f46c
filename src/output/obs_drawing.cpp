#include "output/obs_drawing.hpp"

#include <obs.h>

namespace kelvara {

TextureBackend obs_texture_backend() {
    TextureBackend backend;
    backend.create = [](void*, std::uint32_t width, std::uint32_t height, const std::uint8_t* rgba) -> void* {
        const std::uint8_t* levels[] = {rgba};
        return gs_texture_create(width, height, GS_RGBA, 1, levels, 0);
    };
    backend.destroy = [](void*, void* texture) { gs_texture_destroy(static_cast<gs_texture_t*>(texture)); };
    backend.enter_graphics = [](void*) { obs_enter_graphics(); };
    backend.leave_graphics = [](void*) { obs_leave_graphics(); };
    return backend;
}

void draw_approved_banner(DecodeWorker& worker, gs_effect_t* effect) {
    const auto drawable = worker.update_texture();
    if (!drawable) {
        return;
    }
    if (effect == nullptr) {
        effect = obs_get_base_effect(OBS_EFFECT_DEFAULT);
        if (effect == nullptr) {
            return;
        }
    }
    gs_eparam_t* image = gs_effect_get_param_by_name(effect, "image");
    if (image == nullptr) {
        return;
    }
    auto* texture = static_cast<gs_texture_t*>(drawable->texture);
    gs_effect_set_texture(image, texture);
    while (gs_effect_loop(effect, "Draw")) {
        gs_draw_sprite(texture, 0, drawable->width, drawable->height);
    }
}

} // namespace kelvara
