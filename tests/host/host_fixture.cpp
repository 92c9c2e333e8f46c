#include "host_fixture.hpp"

#include "test_fixtures/png_files.hpp"

#include <cstdlib>
#include <thread>

namespace kelvara::test {

std::filesystem::path config_root() {
    static const std::filesystem::path root = [] {
        if (const char* given = std::getenv("KELVARA_TEST_CONFIG_ROOT")) {
            return std::filesystem::path(given);
        }
        char pattern[] = "/tmp/kelvara-host-test-XXXXXX";
        return std::filesystem::path(mkdtemp(pattern));
    }();
    return root;
}

standin::StandInService& shared_service() {
    return standin::StandInService::shared(KELVARA_STAND_IN_CERTIFICATES);
}

namespace {
HeadlessHost* host_instance = nullptr;
}

void shut_down_shared_host() {
    delete host_instance;
    host_instance = nullptr;
    HeadlessHost::pump_events(50); // the last steps of source teardown run on this thread
}

HeadlessHost& shared_host() {
    if (host_instance == nullptr) {
        shared_service();
        host::HostOptions options{KELVARA_MODULE_PATH, KELVARA_MODULE_DATA, config_root(), 640, 360};
        options.echo_log = std::getenv("KELVARA_ECHO_LOG") != nullptr;
        host_instance = new HeadlessHost(options);
    }
    return *host_instance;
}

std::size_t log_count(const std::string& fragment) {
    return shared_host().count_log_lines(fragment);
}

std::vector<std::uint8_t> solid_png(std::uint32_t width, std::uint32_t height, std::uint8_t r, std::uint8_t g,
                                    std::uint8_t b) {
    std::vector<std::uint8_t> pixels;
    for (std::size_t i = 0; i < std::size_t{width} * height; ++i) {
        pixels.insert(pixels.end(), {r, g, b, 255});
    }
    return encode_rgba_png(width, height, pixels);
}

standin::StandInRevision stand_in_revision(std::uint64_t number, std::vector<std::uint8_t> png) {
    return {number, number * 10, true, false, false, std::move(png)};
}

void publish(const std::string& banner_id, std::vector<standin::StandInRevision> revisions) {
    standin::StandInBanner banner;
    banner.revisions = std::move(revisions);
    shared_service().catalog().set_banner(banner_id, std::move(banner));
}

TestSource::TestSource(const std::string& name, const std::string& url, bool qr_enabled)
    : source_(shared_host().create_source(name, url, qr_enabled)) {}

void TestSource::release() {
    if (source_ != nullptr) {
        obs_source_release(std::exchange(source_, nullptr));
    }
}

void TestSource::release_and_wait_for_destroy() {
    // libobs logs this once its destroy callback has returned. (obs_wait_for_destroy_queue would return at
    // once in this host, which has no audio.)
    const std::string destroyed = "source '" + std::string(obs_source_get_name(source_)) + "' destroyed";
    const auto before = log_count(destroyed);
    release();
    for (int waited = 0; waited < 5000 && log_count(destroyed) == before; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GT(log_count(destroyed), before);
}

void TestSource::update(const std::string& url) {
    const OBSDataAutoRelease settings = obs_data_create();
    obs_data_set_string(settings, "url", url.c_str());
    obs_source_update(source_, settings);
}

bool TestSource::button_enabled(const char* name) const {
    obs_properties_t* properties = obs_source_properties(source_);
    obs_property_t* property = obs_properties_get(properties, name);
    const bool enabled = property != nullptr && obs_property_enabled(property);
    obs_properties_destroy(properties);
    return enabled;
}

std::unique_ptr<TestSource> load_source(const std::filesystem::path& saved) {
    return std::make_unique<TestSource>(
        obs_load_source(OBSDataAutoRelease(obs_data_create_from_json_file(saved.c_str()))));
}

std::unique_ptr<TestSource> reload(std::unique_ptr<TestSource> old, const std::filesystem::path& saved, bool held) {
    obs_source_t* holder = held ? obs_source_get_ref(old->get()) : nullptr;
    obs_source_remove(old->get());
    old.reset();
    auto loaded = load_source(saved);
    obs_source_release(holder);
    return loaded;
}

std::unique_ptr<TestSource> accepted_source(const std::string& banner_id, std::vector<std::uint8_t> png) {
    publish(banner_id, {stand_in_revision(1, std::move(png))});
    auto source = std::make_unique<TestSource>(banner_id + " source", banner_id);
    EXPECT_TRUE(wait_for_update_waiting(*source, 1));
    answering_dialog("Accept", [&] { source->click("preview_candidate"); });
    EXPECT_EQ(source->info_line("approved_revision"), "Approved revision: 1");
    return source;
}

bool wait_for_update_waiting(const TestSource& source, std::uint64_t revision, int timeout_ms) {
    const std::string expected = "UPDATE WAITING \u2014 revision " + std::to_string(revision) + ".";
    return HeadlessHost::pump_until([&] { return source.info_line("candidate_revision").starts_with(expected); },
                                    timeout_ms);
}

SeenDialog answering_dialog(const QString& button_text, const std::function<void()>& action,
                            const std::function<void()>& before_click) {
    host::Operator person(button_text, true);
    if (before_click) {
        person.before_answer = [&](QDialog&) { before_click(); };
    }
    action();
    return person.seen().empty() ? SeenDialog{} : person.seen().front();
}

std::vector<int> output_pixel(std::uint32_t x, std::uint32_t y) {
    const host::Frame frame = shared_host().next_frame();
    const std::uint8_t* p = frame.pixel(x, y);
    return {p[0], p[1], p[2], p[3]};
}

} // namespace kelvara::test
