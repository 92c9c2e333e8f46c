#pragma once

#include "headless_host.hpp"
#include "operator.hpp"
#include "stand_in_service.hpp"

#include <obs.hpp>

#include <QtWidgets/QApplication>
#include <QtWidgets/QDialog>
#include <QtWidgets/QMainWindow>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelvara::test {

using host::HeadlessHost;
using host::kPressReturn;
using host::SeenDialog;

// Where the module keeps its configuration; a child process of the tests gets the same root.
std::filesystem::path config_root();

// One libobs host and one stand-in service for the whole program: libobs starts slowly, and each test uses
// its own banners. shut_down_shared_host stops libobs and every source.
HeadlessHost& shared_host();
standin::StandInService& shared_service();
void shut_down_shared_host();
std::size_t log_count(const std::string& fragment);

std::vector<std::uint8_t> solid_png(std::uint32_t width, std::uint32_t height, std::uint8_t r, std::uint8_t g,
                                    std::uint8_t b);
standin::StandInRevision stand_in_revision(std::uint64_t number, std::vector<std::uint8_t> png);
void publish(const std::string& banner_id, std::vector<standin::StandInRevision> revisions);

// A source owned by a test: released (destroyed) at the end of the scope.
class TestSource {
public:
    TestSource(const std::string& name, const std::string& url, bool qr_enabled = false);
    explicit TestSource(obs_source_t* adopted) : source_(adopted) {}
    ~TestSource() { release(); }
    TestSource(const TestSource&) = delete;
    TestSource& operator=(const TestSource&) = delete;

    obs_source_t* get() const { return source_; }
    void release();
    // The host shut down and freed the source with everything else: nothing is left to release.
    void forget() { source_ = nullptr; }
    // Waits without running the UI thread's events until libobs has destroyed the source, as OBS Studio
    // waits for its destroy queue when it unloads a scene collection.
    void release_and_wait_for_destroy();
    void update(const std::string& url); // as the host applies settings (OK in the properties window)

    // A line of the panel ("" when absent); a click on a button returns the host's refresh flag.
    std::string info_line(const char* name) const { return host::property_text(source_, name); }
    bool button_enabled(const char* name) const;
    bool click(const char* button) const { return host::click_property_button(source_, button); }

    std::string kept_id() const { return host::kept_source_id(source_); }
    std::filesystem::path snapshot() const { return shared_host().snapshot_of(source_); }

private:
    obs_source_t* source_ = nullptr;
};

// A source loaded from a file that obs_save_source wrote, as OBS Studio loads a scene collection.
std::unique_ptr<TestSource> load_source(const std::filesystem::path& saved);
// As OBS Studio reloads a scene collection in one call on the UI thread: the old instance removed and released,
// the new one loaded from the file. With `held`, something else (a projector) still holds the old instance
// meanwhile and lets it go only afterwards.
std::unique_ptr<TestSource> reload(std::unique_ptr<TestSource> old, const std::filesystem::path& saved, bool held);

// A source whose revision 1 (the PNG) the operator accepted through "Load & Preview".
std::unique_ptr<TestSource> accepted_source(const std::string& banner_id, std::vector<std::uint8_t> png);
// Waits until the panel shows a candidate that is ready for review.
bool wait_for_update_waiting(const TestSource& source, std::uint64_t revision, int timeout_ms = 10000);

// Every save of the snapshot fails while this lives: a directory takes the temporary file's name.
class RefusedSaves {
public:
    explicit RefusedSaves(const std::filesystem::path& snapshot) : blocker_(snapshot.string() + ".tmp") {
        std::filesystem::create_directories(blocker_);
    }
    ~RefusedSaves() { std::filesystem::remove_all(blocker_); }

private:
    std::filesystem::path blocker_;
};

// While `action` runs (it may block in a modal dialog), answers the first dialog that opens with the button
// of that text as shown (or Return), after running `before_click` inside the dialog's event loop.
SeenDialog answering_dialog(const QString& button_text, const std::function<void()>& action,
                            const std::function<void()>& before_click = {});

// One output pixel as R, G, B, A.
std::vector<int> output_pixel(std::uint32_t x, std::uint32_t y);

} // namespace kelvara::test
