#pragma once

#include "core/engine_state.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace kelvara {

// The three source settings exactly as the host stores them.
struct RawSourceSettings {
    std::string url;
    std::int64_t poll_seconds = 0;
    bool qr_enabled = false;
};

enum class BannerInputKind : std::uint32_t {
    invalid = 0,         // rejected; only validation_message, poll_seconds and qr_enabled mean anything
    banner = 1,          // follow the banner's latest revisions
    banner_revision = 2, // a banner page URL naming one revision: the engine is pinned to it
};

// Why a banner input was refused. The panel shows the matching text in the operator's language.
enum class ValidationMessage : std::uint32_t {
    none = 0,
    usage = 1,          // neither a banner ID nor a banner page URL
    banner_id = 2,      // a banner page URL whose ID is not a valid banner ID
    revision_range = 3, // a revision number above 2^64 - 1
};

// The operator's settings, validated.
struct SourceSettings {
    std::string banner_id;
    std::uint64_t revision = 0;
    std::int32_t poll_seconds = 60;
    bool qr_enabled = false;
    BannerInputKind input_kind = BannerInputKind::invalid;
    ValidationMessage validation_message = ValidationMessage::none;

    friend bool operator==(const SourceSettings&, const SourceSettings&) = default;
};

// Compiles the banner page URL patterns. The module calls it once at load so that no source pays for it;
// parsing compiles them on first use otherwise.
void prepare_banner_input_patterns();

// Turns the stored settings into one validated record. Never throws for bad input: a refused banner input
// gives kind `invalid` and the message that says why; poll seconds are clamped to 60..3600 in every case.
SourceSettings parse_source_settings(const std::string& url, std::int64_t poll_seconds, bool qr_enabled);
SourceSettings parse_source_settings(const RawSourceSettings& raw);

// The banner's page on the service origin, never with a revision part; empty for an invalid record.
std::string banner_page_url(const SourceSettings& settings);

// Whether a state loaded from the snapshot belongs to these settings: same banner, same pinning.
bool matches_snapshot(const EngineState& state, const SourceSettings& settings);

// What a source starts from: its engine's state, and the state of other settings it keeps for their return.
struct StartingStates {
    EngineState initial;
    std::optional<EngineState> kept;
};

// From the stored snapshot and the one set aside beside it: the one that matches the settings starts, the
// other is kept; when neither matches, a fresh state for the settings starts and the stored one is kept if
// it holds review work (as the next save sets it aside), else the one set aside stays kept.
StartingStates starting_states(const SourceSettings& settings, std::optional<EngineState> stored,
                               std::optional<EngineState> set_aside);

} // namespace kelvara
