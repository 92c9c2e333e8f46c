#pragma once

#include <obs.h>

namespace kelvara {

class SourceContext;

void get_source_defaults(obs_data_t* settings);
// The panel of a source, or of the type when `context` is null.
obs_properties_t* get_source_properties(SourceContext* context);
void enable_preview_button(obs_properties_t* properties);

} // namespace kelvara
