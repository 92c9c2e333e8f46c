#pragma once

#include "core/engine_state.hpp"

#include <obs.h>

#include <cstdint>
#include <optional>
#include <string>

namespace kelvara {

class SourceContext;

// The status lines of the properties panel, copied out of the engine under the source lock.
struct SourceStatusView {
    std::string website_status_text;
    std::optional<std::uint64_t> approved_revision;
    std::optional<std::uint64_t> candidate_revision;
};

const char* website_status_text(WebsiteStatus status) noexcept;
SourceStatusView make_status_view(const EngineState& state);

void get_source_defaults(obs_data_t* settings);
// The panel of a source, or of the type when `context` is null.
obs_properties_t* get_source_properties(SourceContext* context);
void enable_preview_button(obs_properties_t* properties);

} // namespace kelvara
