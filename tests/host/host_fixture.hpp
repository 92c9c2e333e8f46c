#pragma once

#include "headless_host.hpp"
#include "stand_in_service.hpp"

#include <QtWidgets/QApplication>
#include <QtWidgets/QDialog>
#include <QtWidgets/QPushButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelvara::test {

// Paths the build hands to the host tests.
struct HostPaths {
    std::filesystem::path module;
    std::filesystem::path module_data;
    std::filesystem::path certificates;
    std::filesystem::path config_root;
};
HostPaths host_paths();

// One libobs host and one stand-in service for the whole test program: starting libobs takes a while, and
// sources of different tests use different banners.
host::HeadlessHost& shared_host();
standin::StandInService& shared_service();
// Stops libobs (and with it every source) before the process ends.
void shut_down_shared_host();

// An opaque PNG of one colour.
std::vector<std::uint8_t> solid_png(std::uint32_t width, std::uint32_t height, std::uint8_t r, std::uint8_t g,
                                    std::uint8_t b);

standin::StandInRevision stand_in_revision(std::uint64_t number, std::vector<std::uint8_t> png, bool paid = true,
                                           bool filter = false);

// A source owned by a test: released (destroyed) at the end of the scope.
class TestSource {
public:
    TestSource(const std::string& name, const std::string& url, bool qr_enabled);
    explicit TestSource(obs_source_t* adopted) : source_(adopted) {}
    ~TestSource();
    TestSource(const TestSource&) = delete;
    TestSource& operator=(const TestSource&) = delete;

    obs_source_t* get() const { return source_; }
    void release();
    void update(const std::string& url, bool qr_enabled);

    // Property names of the current panel, and the text of one info line ("" when absent).
    std::vector<std::string> property_names() const;
    std::string info_line(const char* name) const;
    bool button_enabled(const char* name) const;
    // Clicks a button of the panel; what it returns is the host's refresh flag.
    bool click(const char* button) const;

    // The ID the module keeps in the source's settings (libobs 29.0 has no source UUIDs), and the snapshot
    // file it names.
    std::string kept_id() const;
    std::filesystem::path snapshot() const;

private:
    obs_source_t* source_ = nullptr;
};

// A source whose revision 1 (the PNG) the operator accepted through "Load & Preview".
std::unique_ptr<TestSource> accepted_source(const std::string& banner_id, std::vector<std::uint8_t> png);

// Makes every save of the snapshot fail while it lives: a directory takes the temporary file's name.
class RefusedSaves {
public:
    explicit RefusedSaves(const std::filesystem::path& snapshot);
    ~RefusedSaves();

private:
    std::filesystem::path blocker_;
};

// Waits until the source's panel shows a candidate that is ready for review.
bool wait_for_update_waiting(const TestSource& source, std::uint64_t revision, int timeout_ms = 10000);

// What an operator saw of a dialog.
struct SeenDialog {
    std::string title;                // "" when no dialog opened
    std::string text;                 // a message box's text
    std::vector<std::string> buttons; // button texts as shown, in layout order
    std::string focused;              // the button that has the keyboard focus
    std::string default_button;       // the button that Return presses
    std::string heading;              // the line above a candidate preview
    int preview_width = 0;            // the candidate preview's pixmap size
    int preview_height = 0;
};

// A key press instead of a click, for answering_dialog: what a stray Return does to the dialog.
inline const QString kPressReturn = "<Return>";

// While `action` runs (it may block in a modal dialog), answers the first dialog that opens by clicking
// the button with the given text as shown (or pressing Return), after running `before_click` (if any)
// inside the dialog's event loop.
SeenDialog answering_dialog(const QString& button_text, const std::function<void()>& action,
                            const std::function<void()>& before_click = {});

// The colour of one output pixel as R, G, B, A.
std::vector<int> output_pixel(std::uint32_t x, std::uint32_t y);

} // namespace kelvara::test
