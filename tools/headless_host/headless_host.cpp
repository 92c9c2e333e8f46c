#include "headless_host.hpp"

#include "x11_display.hpp"

#include <QtCore/QCoreApplication>
#include <QtCore/QElapsedTimer>
#include <QtCore/QThread>
#include <QtGui/QAccessible>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QApplication>
#include <QtWidgets/QDialog>

#include <obs-nix-platform.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kelvara::host {

HeadlessHost::HeadlessHost(const HostOptions& options) : options_(options) {
    base_set_log_handler(&HeadlessHost::on_log, this);
    display_ = open_x11_display();
    if (display_ == nullptr) {
        throw std::runtime_error("no X display: run under xvfb-run");
    }
    obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
    obs_set_nix_platform_display(display_);
    std::filesystem::create_directories(options.config_root);
    if (!obs_startup("en-US", options.config_root.c_str(), nullptr)) {
        throw std::runtime_error("obs_startup failed");
    }
    obs_video_info video{};
    video.graphics_module = "libobs-opengl.so.1"; // the unversioned name exists only with libobs-dev
    video.fps_num = options.fps;
    video.fps_den = 1;
    video.base_width = video.output_width = options.width;
    video.base_height = video.output_height = options.height;
    video.output_format = VIDEO_FORMAT_BGRA; // the raw callback converts exactly from BGRA only
    video.gpu_conversion = true;
    video.colorspace = VIDEO_CS_SRGB;
    video.range = VIDEO_RANGE_FULL;
    video.scale_type = OBS_SCALE_BICUBIC;
    if (const int result = obs_reset_video(&video); result != OBS_VIDEO_SUCCESS) {
        throw std::runtime_error("obs_reset_video failed: " + std::to_string(result));
    }
    if (obs_open_module(&module_, options.module_path.c_str(), options.module_data.c_str()) != MODULE_SUCCESS ||
        (!obs_init_module(module_) && options.module_must_load)) {
        throw std::runtime_error("cannot load module " + options.module_path.string());
    }
    video_scale_info conversion{};
    conversion.format = VIDEO_FORMAT_RGBA;
    conversion.width = options.width;
    conversion.height = options.height;
    conversion.range = VIDEO_RANGE_FULL;
    conversion.colorspace = VIDEO_CS_SRGB;
    obs_add_raw_video_callback(&conversion, &HeadlessHost::on_raw_video, this);
}

HeadlessHost::~HeadlessHost() {
    obs_set_output_source(0, nullptr);
    obs_remove_raw_video_callback(&HeadlessHost::on_raw_video, this);
    obs_shutdown();
    base_set_log_handler(nullptr, nullptr);
    close_x11_display(display_);
}

obs_source_t* HeadlessHost::create_source(const std::string& name, obs_data_t* settings) {
    return obs_source_create("kelvara_banner", name.c_str(), settings, nullptr);
}

obs_source_t* HeadlessHost::create_source(const std::string& name, const std::string& url, bool qr_enabled) {
    obs_data_t* settings = obs_data_create();
    obs_data_set_string(settings, "url", url.c_str());
    obs_data_set_bool(settings, "qr_enabled", qr_enabled);
    obs_source_t* source = create_source(name, settings);
    obs_data_release(settings);
    return source;
}

std::filesystem::path HeadlessHost::snapshot_of(obs_source_t* source) const {
    return options_.config_root / "kelvara-banner" / "sources" / (kept_source_id(source) + ".approval");
}

void HeadlessHost::show(obs_source_t* source) {
    obs_set_output_source(0, source);
}

void HeadlessHost::pump_events(int milliseconds) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
}

Frame HeadlessHost::next_frame(int timeout_ms) {
    std::uint64_t after = 0;
    {
        std::lock_guard lock(mutex_);
        after = latest_frame_.sequence;
    }
    // Two frames later, so that everything done before the call has been rendered.
    pump_until(
        [&] {
            std::lock_guard lock(mutex_);
            return latest_frame_.sequence >= after + 2;
        },
        timeout_ms);
    std::lock_guard lock(mutex_);
    return latest_frame_;
}

std::vector<std::string> HeadlessHost::log_lines() const {
    std::lock_guard lock(log_mutex_);
    return log_;
}

std::size_t HeadlessHost::count_log_lines(const std::string& fragment) const {
    std::lock_guard lock(log_mutex_);
    std::size_t count = 0;
    for (const auto& line : log_) {
        count += line.find(fragment) != std::string::npos;
    }
    return count;
}

void HeadlessHost::on_log(int level, const char* format, va_list arguments, void* param) {
    auto* host = static_cast<HeadlessHost*>(param);
    char line[4096];
    std::vsnprintf(line, sizeof line, format, arguments);
    if (host == nullptr) {
        return;
    }
    if (host->options_.echo_log || level <= LOG_ERROR) {
        std::fprintf(stderr, "%s\n", line);
    }
    std::lock_guard lock(host->log_mutex_);
    host->log_.emplace_back(line);
    host->log_times_.push_back(std::chrono::steady_clock::now());
}

std::optional<std::chrono::steady_clock::time_point> HeadlessHost::last_log_time(const std::string& fragment) const {
    std::lock_guard lock(log_mutex_);
    for (std::size_t i = log_.size(); i-- > 0;) {
        if (log_[i].find(fragment) != std::string::npos) {
            return log_times_[i];
        }
    }
    return std::nullopt;
}

void HeadlessHost::on_raw_video(void* param, struct video_data* frame) {
    auto* host = static_cast<HeadlessHost*>(param);
    std::lock_guard lock(host->mutex_);
    Frame& latest = host->latest_frame_;
    latest.width = host->options_.width;
    latest.height = host->options_.height;
    latest.rgba.resize(std::size_t{latest.width} * latest.height * 4);
    for (std::uint32_t y = 0; y < latest.height; ++y) {
        std::memcpy(&latest.rgba[std::size_t{y} * latest.width * 4],
                    frame->data[0] + std::size_t{y} * frame->linesize[0], std::size_t{latest.width} * 4);
    }
    ++latest.sequence;
    host->frame_arrived_.notify_all();
}

std::string kept_source_id(obs_source_t* source) {
    obs_data_t* settings = obs_source_get_settings(source);
    std::string id = obs_data_get_string(settings, "kelvara_source_uuid");
    obs_data_release(settings);
    return id;
}

void bring_to_front(QWidget& window) {
    window.show();
    window.activateWindow();
    HeadlessHost::pump_until([&] { return QApplication::activeWindow() == &window; }, 2000);
}

std::string property_text(obs_source_t* source, const char* name) {
    obs_properties_t* properties = obs_source_properties(source);
    obs_property_t* property = obs_properties_get(properties, name);
    std::string text = property != nullptr ? obs_property_description(property) : "";
    obs_properties_destroy(properties);
    return text;
}

bool click_property_button(obs_source_t* source, const char* name) {
    obs_properties_t* properties = obs_source_properties(source);
    const bool refresh = obs_property_button_clicked(obs_properties_get(properties, name), source);
    obs_properties_destroy(properties);
    return refresh;
}

QDialog* open_dialog() {
    // The one on top, when dialogs stack.
    if (auto* top = qobject_cast<QDialog*>(QApplication::activeModalWidget()); top != nullptr && top->isVisible()) {
        return top;
    }
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(widget);
        if (dialog != nullptr && dialog->isVisible()) {
            return dialog;
        }
    }
    return nullptr;
}

int open_dialog_count() {
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        count += qobject_cast<QDialog*>(widget) != nullptr && widget->isVisible();
    }
    return count;
}

std::string shown_text(const QAbstractButton& button) {
    // Qt's accessible name of a button is its text as shown, with the mnemonic markers taken out.
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(const_cast<QAbstractButton*>(&button));
    return accessible != nullptr ? accessible->text(QAccessible::Name).toStdString() : button.text().toStdString();
}

} // namespace kelvara::host
