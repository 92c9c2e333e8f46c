#pragma once

#include <obs.h>

class QAbstractButton;
class QDialog;
class QWidget;

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kelvara::host {

struct HostOptions {
    std::filesystem::path module_path; // the built kelvara-banner.so
    std::filesystem::path module_data; // the module's data folder, as OBS finds it in the install layout
    std::filesystem::path config_root; // where the module's configuration (and the snapshots) live
    std::uint32_t width = 1280;
    std::uint32_t height = 720;
    std::uint32_t fps = 30;
    bool echo_log = false; // also print every host log line
    // Off, a module that refuses to load leaves the host running without it, as OBS Studio goes on.
    bool module_must_load = true;
};

// One output frame, rows of R, G, B, A bytes without padding.
struct Frame {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint64_t sequence = 0;
    std::vector<std::uint8_t> rgba;

    const std::uint8_t* pixel(std::uint32_t x, std::uint32_t y) const {
        return &rgba[(std::size_t{y} * width + x) * 4];
    }
};

// A real OBS host without the GUI: libobs with its OpenGL renderer on an X display, the module loaded from
// the build tree, and the output channel read back exactly. The caller owns the QApplication (the host's
// UI thread, which runs the module's network adapter and dialogs) and pumps its events.
class HeadlessHost {
public:
    // Throws std::runtime_error when libobs cannot start, or the module does not load and must.
    explicit HeadlessHost(const HostOptions& options);
    ~HeadlessHost();
    HeadlessHost(const HeadlessHost&) = delete;
    HeadlessHost& operator=(const HeadlessHost&) = delete;

    // A kelvara_banner source made from the settings (a new reference; release with obs_source_release).
    obs_source_t* create_source(const std::string& name, obs_data_t* settings);
    // The same, with the banner input and the QR code switch as its settings.
    obs_source_t* create_source(const std::string& name, const std::string& url, bool qr_enabled = false);
    // Where the module keeps the source's approval snapshot (named after kept_source_id).
    std::filesystem::path snapshot_of(obs_source_t* source) const;
    // Puts the source on output channel 0, or nothing.
    void show(obs_source_t* source);

    // Pumps Qt events for the given time.
    static void pump_events(int milliseconds);
    // Pumps events until the condition holds or the time is up; returns the condition's last value.
    template <typename Condition>
    static bool pump_until(Condition condition, int timeout_ms);

    // The next output frame rendered after this call (events are pumped while waiting).
    Frame next_frame(int timeout_ms = 5000);

    std::vector<std::string> log_lines() const;
    std::size_t count_log_lines(const std::string& fragment) const;
    // When the last line holding the fragment arrived (steady clock), if one did.
    std::optional<std::chrono::steady_clock::time_point> last_log_time(const std::string& fragment) const;

private:
    static void on_log(int level, const char* format, va_list arguments, void* param);
    static void on_raw_video(void* param, struct video_data* frame);

    HostOptions options_;
    void* display_ = nullptr;
    obs_module_t* module_ = nullptr;

    // Frames and log lines have locks of their own: a module thread that logs must not wait for a frame copy.
    mutable std::mutex mutex_;
    std::condition_variable frame_arrived_;
    Frame latest_frame_;
    mutable std::mutex log_mutex_;
    std::vector<std::string> log_;
    std::vector<std::chrono::steady_clock::time_point> log_times_;
};

template <typename Condition>
bool HeadlessHost::pump_until(Condition condition, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (condition()) {
            return true;
        }
        pump_events(10);
    }
    return condition();
}

// What the source's properties panel shows for one property (its description, the text of an info line), or
// "" when the panel has no such property.
std::string property_text(obs_source_t* source, const char* name);
// Clicks a button of the source's properties panel as the host's panel would; returns the button's
// refresh flag.
bool click_property_button(obs_source_t* source, const char* name);

// The dialog an operator would see now: the modal one on top, else the first visible top-level dialog, or null.
QDialog* open_dialog();
// How many dialogs are visible now.
int open_dialog_count();

// The ID the module keeps in a source's settings and names its snapshot file after (libobs 29.0 has no
// source UUIDs).
std::string kept_source_id(obs_source_t* source);

// The operator is looking at OBS: the host's main window is shown and active.
void bring_to_front(QWidget& window);

// The text a person sees on a button (or reads to them): without the markers of its keyboard mnemonic.
std::string shown_text(const QAbstractButton& button);

} // namespace kelvara::host
