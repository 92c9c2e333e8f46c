#include "plugin/source_properties.hpp"

#include "core/log.hpp"
#include "metadata/service_urls.hpp"
#include "plugin/source_context.hpp"
#include "plugin/source_settings_io.hpp"
#include "review/preview_flow.hpp"

#include <QtCore/QString>

#include <obs-module.h>

namespace kelvara {
namespace {

constexpr const char* kPreviewButton = "preview_candidate";
constexpr const char* kRetryButton = "retry_discovery";
constexpr const char* kValidationLine = "validation_status";

// A text whose placeholder %1 is a revision number.
std::string with_revision(const char* text, std::uint64_t revision) {
    return QString::fromUtf8(text).arg(revision).toStdString();
}

std::string validation_text(const SourceSettings& settings) {
    if (settings.input_kind != BannerInputKind::invalid) {
        return obs_module_text("Input.Valid");
    }
    switch (settings.validation_message) {
    case ValidationMessage::banner_id:
        return obs_module_text("Input.BannerId");
    case ValidationMessage::revision_range:
        return obs_module_text("Input.RevisionRange");
    case ValidationMessage::none:
    case ValidationMessage::usage:
        break;
    }
    const std::string pattern = std::string(kServiceOrigin) + "/banner/{bannerId}";
    return QString::fromUtf8(obs_module_text("Input.Usage")).arg(QString::fromStdString(pattern)).toStdString();
}

// Runs on every change of the banner field, while the operator types. Nothing is applied here: the host
// applies the settings (OK in the properties window, or an update from elsewhere), so a stray key press
// followed by Cancel never touches the banner on air. The panel still says at once whether the input
// can be read.
bool on_banner_input_modified(void* param, obs_properties_t* properties, obs_property_t*, obs_data_t* settings) {
    auto* context = static_cast<SourceContext*>(param);
    if (context == nullptr || settings == nullptr) {
        return false;
    }
    try {
        const std::string text = validation_text(parse_source_settings(read_source_settings(settings)));
        enable_preview_button(properties);
        obs_property_t* line = obs_properties_get(properties, kValidationLine);
        const char* shown = line != nullptr ? obs_property_description(line) : nullptr;
        if (line == nullptr || (shown != nullptr && text == shown)) {
            return false; // nothing to redraw: the host rebuilds the widgets, cursor and all, on true
        }
        obs_property_set_description(line, text.c_str());
        return true;
    } catch (const std::exception& error) {
        log_line(LogLevel::error, "[kelvara] Cannot apply source settings: %s", error.what());
    }
    return false;
}

bool on_retry_discovery(obs_properties_t*, obs_property_t*, void* param) {
    auto* context = static_cast<SourceContext*>(param);
    if (context == nullptr) {
        return false;
    }
    try {
        return context->review()->retry_discovery();
    } catch (const std::exception& error) {
        log_line(LogLevel::error, "[kelvara] Cannot retry discovery: %s", error.what());
        return false;
    }
}

bool on_load_and_preview(obs_properties_t* properties, obs_property_t*, void* param) {
    auto* context = static_cast<SourceContext*>(param);
    if (context == nullptr || !load_and_preview(context->review())) {
        return false;
    }
    enable_preview_button(properties);
    return true;
}

void add_info(obs_properties_t* properties, const char* name, const std::string& text) {
    obs_properties_add_text(properties, name, text.c_str(), OBS_TEXT_INFO);
}

const char* website_status_text(WebsiteStatus status) noexcept {
    switch (status) {
    case WebsiteStatus::available:
        return obs_module_text("Status.Available");
    case WebsiteStatus::offline:
        return obs_module_text("Status.Offline");
    case WebsiteStatus::forbidden:
        return obs_module_text("Status.Forbidden");
    case WebsiteStatus::not_found:
        return obs_module_text("Status.NotFound");
    case WebsiteStatus::unavailable:
        return obs_module_text("Status.Unavailable");
    case WebsiteStatus::moderated:
        return obs_module_text("Status.Moderated");
    }
    return obs_module_text("Status.Unknown");
}

void add_status_lines(obs_properties_t* properties, const PanelStatus& status) {
    add_info(properties, kValidationLine, validation_text(status.settings));
    add_info(properties, "website_status", website_status_text(status.website_status));
    if (status.approved_revision) {
        add_info(properties, "approved_revision",
                 with_revision(obs_module_text("Status.ApprovedRevision"), *status.approved_revision));
    } else if (status.settings.input_kind != BannerInputKind::invalid) {
        add_info(properties, "approved_status", obs_module_text("Status.NoApprovedOutput"));
    }
    if (status.candidate_revision) {
        // With nothing approved there is no banner that could remain live: the stream is blank until one is
        // accepted.
        const char* waiting = status.approved_revision ? obs_module_text("Status.UpdateWaitingLive")
                                                       : obs_module_text("Status.UpdateWaitingBlank");
        add_info(properties, "candidate_revision",
                 status.review_ready ? with_revision(waiting, *status.candidate_revision)
                                     : obs_module_text("Status.Checking"));
    }
}

} // namespace

void get_source_defaults(obs_data_t* settings) {
    obs_data_set_default_int(settings, kPollSecondsKey, 60);
    obs_data_set_default_bool(settings, kQrEnabledKey, false);
}

obs_properties_t* get_source_properties(SourceContext* context) {
    obs_properties_t* properties = obs_properties_create();
    // The host applies the settings once, on OK; Cancel then has nothing to undo.
    obs_properties_set_flags(properties, OBS_PROPERTIES_DEFER_UPDATE);
    obs_property_t* url =
        obs_properties_add_text(properties, kUrlKey, obs_module_text("BannerInput"), OBS_TEXT_DEFAULT);
    if (context != nullptr) {
        obs_property_set_modified_callback2(url, on_banner_input_modified, context);
    }
    obs_properties_add_int(properties, kPollSecondsKey, obs_module_text("PollInterval"), 60, 3600, 1);
    obs_properties_add_bool(properties, kQrEnabledKey, obs_module_text("ShowQrCode"));
    if (context == nullptr) {
        return properties;
    }
    try {
        const PanelStatus status = context->panel_status();
        add_status_lines(properties, status);
        // OBS makes a push button of the description, where a single '&' marks a mnemonic: "&&" shows one.
        obs_property_t* preview = obs_properties_add_button2(
            properties, kPreviewButton, obs_module_text("LoadAndPreview"), on_load_and_preview, context);
        obs_property_t* retry = obs_properties_add_button2(properties, kRetryButton, obs_module_text("RetryDiscovery"),
                                                           on_retry_discovery, context);
        obs_property_set_enabled(preview, true);
        obs_property_set_enabled(retry, status.settings.input_kind == BannerInputKind::banner);
    } catch (const std::exception& error) {
        // The settings stay editable; only the status lines and buttons are missing.
        log_line(LogLevel::error, "[kelvara] Cannot show source properties: %s", error.what());
    }
    return properties;
}

void enable_preview_button(obs_properties_t* properties) {
    if (properties == nullptr) {
        return;
    }
    if (obs_property_t* preview = obs_properties_get(properties, kPreviewButton)) {
        obs_property_set_enabled(preview, true);
    }
}

} // namespace kelvara
