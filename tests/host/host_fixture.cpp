#include "host_fixture.hpp"

#include "support/png_files.hpp"

#include <QtCore/QTimer>
#include <QtGui/QKeyEvent>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>

#include <cstdlib>

namespace kelvara::test {

HostPaths host_paths() {
    HostPaths paths{KELVARA_MODULE_PATH, KELVARA_MODULE_DATA, KELVARA_STAND_IN_CERTIFICATES, {}};
    if (const char* root = std::getenv("KELVARA_TEST_CONFIG_ROOT")) {
        paths.config_root = root;
    } else {
        static const std::filesystem::path fresh = [] {
            char pattern[] = "/tmp/kelvara-host-test-XXXXXX";
            return std::filesystem::path(mkdtemp(pattern));
        }();
        paths.config_root = fresh;
    }
    return paths;
}

standin::StandInService& shared_service() {
    static standin::StandInService* service = [] {
        auto* created = new standin::StandInService(host_paths().certificates);
        if (!created->listen_on_loopback()) {
            throw std::runtime_error("stand-in service cannot listen");
        }
        host::use_stand_in_service(created->port(), standin::stand_in_ca_certificate(host_paths().certificates));
        return created;
    }();
    return *service;
}

namespace {
host::HeadlessHost* host_instance = nullptr;
}

void shut_down_shared_host() {
    delete host_instance;
    host_instance = nullptr;
    host::HeadlessHost::pump_events(50); // the last steps of source teardown run on this thread
}

host::HeadlessHost& shared_host() {
    if (host_instance != nullptr) {
        return *host_instance;
    }
    host_instance = [] {
        shared_service();
        const HostPaths paths = host_paths();
        host::HostOptions options;
        options.module_path = paths.module;
        options.module_data = paths.module_data;
        options.config_root = paths.config_root;
        options.width = 640;
        options.height = 360;
        options.echo_log = std::getenv("KELVARA_ECHO_LOG") != nullptr;
        return new host::HeadlessHost(options);
    }();
    return *host_instance;
}

std::vector<std::uint8_t> solid_png(std::uint32_t width, std::uint32_t height, std::uint8_t r, std::uint8_t g,
                                    std::uint8_t b) {
    std::vector<std::uint8_t> pixels(std::size_t{width} * height * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = r;
        pixels[i + 1] = g;
        pixels[i + 2] = b;
        pixels[i + 3] = 255;
    }
    return encode_rgba_png(width, height, pixels);
}

standin::StandInRevision stand_in_revision(std::uint64_t number, std::vector<std::uint8_t> png, bool paid,
                                           bool filter) {
    standin::StandInRevision revision;
    revision.number = number;
    revision.painting_sequence = number * 10;
    revision.paid_artwork = paid;
    revision.filter_change = filter;
    revision.png = std::move(png);
    return revision;
}

TestSource::TestSource(const std::string& name, const std::string& url, bool qr_enabled) {
    shared_host();
    obs_data_t* settings = obs_data_create();
    obs_data_set_string(settings, "url", url.c_str());
    obs_data_set_bool(settings, "qr_enabled", qr_enabled);
    source_ = shared_host().create_source(name, settings);
    obs_data_release(settings);
}

TestSource::~TestSource() {
    release();
}

void TestSource::release() {
    if (source_ != nullptr) {
        obs_source_release(source_);
        source_ = nullptr;
    }
}

void TestSource::update(const std::string& url, bool qr_enabled) {
    obs_data_t* settings = obs_data_create();
    obs_data_set_string(settings, "url", url.c_str());
    obs_data_set_bool(settings, "qr_enabled", qr_enabled);
    obs_source_update(source_, settings);
    obs_data_release(settings);
}

std::vector<std::string> TestSource::property_names() const {
    std::vector<std::string> names;
    obs_properties_t* properties = obs_source_properties(source_);
    for (obs_property_t* p = obs_properties_first(properties); p != nullptr; obs_property_next(&p)) {
        names.emplace_back(obs_property_name(p));
    }
    obs_properties_destroy(properties);
    return names;
}

std::string TestSource::info_line(const char* name) const {
    return host::property_text(source_, name);
}

bool TestSource::button_enabled(const char* name) const {
    obs_properties_t* properties = obs_source_properties(source_);
    obs_property_t* property = obs_properties_get(properties, name);
    const bool enabled = property != nullptr && obs_property_enabled(property);
    obs_properties_destroy(properties);
    return enabled;
}

bool TestSource::click(const char* button) const {
    return host::click_property_button(source_, button);
}

std::string TestSource::kept_id() const {
    obs_data_t* settings = obs_source_get_settings(source_);
    std::string id = obs_data_get_string(settings, "kelvara_source_uuid");
    obs_data_release(settings);
    return id;
}

std::filesystem::path TestSource::snapshot() const {
    return host_paths().config_root / "kelvara-banner" / "sources" / (kept_id() + ".approval");
}

std::unique_ptr<TestSource> accepted_source(const std::string& banner_id, std::vector<std::uint8_t> png) {
    standin::StandInBanner banner;
    banner.revisions.push_back(stand_in_revision(1, std::move(png)));
    shared_service().catalog().set_banner(banner_id, std::move(banner));
    auto source = std::make_unique<TestSource>(banner_id + " source", banner_id, false);
    EXPECT_TRUE(wait_for_update_waiting(*source, 1));
    const SeenDialog seen = answering_dialog("Accept", [&] { source->click("preview_candidate"); });
    EXPECT_EQ(seen.title, "Kelvara candidate revision 1");
    EXPECT_EQ(source->info_line("approved_revision"), "Approved revision: 1");
    return source;
}

RefusedSaves::RefusedSaves(const std::filesystem::path& snapshot) : blocker_(snapshot.string() + ".tmp") {
    std::filesystem::create_directories(blocker_);
}

RefusedSaves::~RefusedSaves() {
    std::filesystem::remove_all(blocker_);
}

bool wait_for_update_waiting(const TestSource& source, std::uint64_t revision, int timeout_ms) {
    const std::string expected = "UPDATE WAITING \u2014 revision " + std::to_string(revision) + ".";
    return host::HeadlessHost::pump_until([&] { return source.info_line("candidate_revision").starts_with(expected); },
                                          timeout_ms);
}

SeenDialog answering_dialog(const QString& button_text, const std::function<void()>& action,
                            const std::function<void()>& before_click) {
    SeenDialog seen;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        QDialog* dialog = host::open_dialog();
        if (dialog != nullptr) {
            watcher.stop();
            seen.title = dialog->windowTitle().toStdString();
            if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
                seen.text = box->text().toStdString();
            }
            for (QLabel* label : dialog->findChildren<QLabel*>()) {
                if (label->accessibleName() == "Candidate banner preview") {
                    seen.preview_width = label->pixmap().width();
                    seen.preview_height = label->pixmap().height();
                } else if (label->accessibleName() == "Candidate source") {
                    seen.heading = label->text().toStdString();
                }
            }
            QPushButton* target = nullptr;
            for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
                const std::string shown = host::shown_text(*button);
                seen.buttons.push_back(shown);
                if (button->isDefault()) {
                    seen.default_button = shown;
                }
                if (dialog->focusWidget() == button) {
                    seen.focused = shown;
                }
                if (QString::fromStdString(shown) == button_text) {
                    target = button;
                }
            }
            if (before_click) {
                before_click();
            }
            if (button_text == kPressReturn && dialog->focusWidget() != nullptr) {
                QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
                QCoreApplication::sendEvent(dialog->focusWidget(), &press);
            } else if (target != nullptr) {
                target->click();
            } else {
                dialog->reject();
            }
        }
    });
    watcher.start(20);
    action();
    watcher.stop();
    return seen;
}

std::vector<int> output_pixel(std::uint32_t x, std::uint32_t y) {
    const host::Frame frame = shared_host().next_frame();
    const std::uint8_t* p = frame.pixel(x, y);
    return {p[0], p[1], p[2], p[3]};
}

} // namespace kelvara::test
