#pragma once

#include "output/decode_worker.hpp"

#include <graphics/graphics.h>

namespace kelvara {

// Texture calls of the host's graphics subsystem, for the decode worker.
TextureBackend obs_texture_backend();

// The source's video_render: uploads what the worker finished and draws the approved banner as one sprite
// at the source's origin, with the host's effect or, without one, the default effect. Draws nothing when
// no texture, effect or "image" parameter exists. Changes no blend state, colour space or transform.
void draw_approved_banner(DecodeWorker& worker, gs_effect_t* effect);

} // namespace kelvara
