// The module in a real libobs host, against the stand-in service over TLS.
#include "host_fixture.hpp"

#include "test_fixtures/page_documents.hpp"
#include "test_fixtures/png_files.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <thread>
#include <tuple>

namespace kelvara::test {
namespace {

std::string program_path;

const std::vector<int> kRed{255, 0, 0, 255};
const std::vector<int> kBlue{0, 0, 255, 255};

std::vector<std::uint8_t> file_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(HostModule, LoadsAndRegistersTheSourceType) {
    EXPECT_EQ(log_count("[kelvara] TLS support=yes active-backend="), 1u);
    EXPECT_STREQ(obs_source_get_display_name("kelvara_banner"), "Kelvara Banner");
    obs_properties_t* properties = obs_get_source_properties("kelvara_banner");
    std::string names;
    for (obs_property_t* p = obs_properties_first(properties); p != nullptr; obs_property_next(&p)) {
        names += obs_property_name(p) + std::string(" ");
    }
    EXPECT_EQ(names, "url poll_seconds qr_enabled ");
    obs_properties_destroy(properties);
}

// A Qt 5 build of OBS Studio (or a host without a user interface) runs no Qt 6 application: the module says
// why in one line and stays out, and the host goes on without the source type.
TEST(HostModule, RefusesAHostWithoutAQt6Application) {
    const auto log = config_root() / "child-without-qt.log";
    const std::string command =
        "KELVARA_HOST_WITHOUT_QT=1 " + program_path + " --gtest_filter=HostWithoutQt.* > " + log.string() + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << "see " << log;
}

TEST(HostWithoutQt, ModuleRefusesToLoad) {
    if (std::getenv("KELVARA_HOST_WITHOUT_QT") == nullptr) {
        GTEST_SKIP() << "runs as the child process of RefusesAHostWithoutAQt6Application";
    }
    host::HostOptions options{KELVARA_MODULE_PATH, KELVARA_MODULE_DATA, config_root() / "without-qt", 64, 64};
    options.module_must_load = false;
    const HeadlessHost host(options);
    EXPECT_EQ(host.count_log_lines("[kelvara] Cannot load module: this OBS Studio runs no Qt 6 application (a Qt 5 "
                                   "build, or a host without its user interface); use OBS Studio 30 or later, "
                                   "built on Qt 6"),
              1u);
    EXPECT_EQ(host.count_log_lines("[kelvara]"), 1u);
    EXPECT_EQ(obs_source_get_display_name("kelvara_banner"), nullptr);
}

TEST(HostModule, ApprovedBannerReachesTheOutputAndSurvivesServiceFailures) {
    publish("flow", {stand_in_revision(1, solid_png(200, 40, 255, 0, 0))});
    TestSource source("flow source", "flow", true);
    shared_host().show(source.get());
    ASSERT_TRUE(wait_for_update_waiting(source, 1));
    EXPECT_EQ(source.info_line("approved_status"), "No approved output yet \u2014 the stream stays blank until you "
                                                   "Preview and Accept the latest candidate.");
    const std::string choices = ". Load & Preview to Accept, Reject, or leave it for later.";
    EXPECT_EQ(source.info_line("candidate_revision"),
              "UPDATE WAITING \u2014 revision 1" + choices + " The stream stays blank until you accept a revision.");
    EXPECT_EQ(output_pixel(10, 20)[3], 0); // the candidate is not on air, though it sizes the output:
    // 200 x 40 with QR code: 280 x 64, banner at (0, 12), QR square 64 at (216, 0).
    EXPECT_EQ(obs_source_get_width(source.get()) * 1000 + obs_source_get_height(source.get()), 280064u);

    answering_dialog("Accept", [&] { EXPECT_TRUE(source.click("preview_candidate")); });
    EXPECT_EQ(source.info_line("approved_revision"), "Approved revision: 1");
    EXPECT_EQ(obs_source_get_width(source.get()) * 1000 + obs_source_get_height(source.get()), 280064u);
    ASSERT_TRUE(HeadlessHost::pump_until([] { return output_pixel(10, 20) == kRed; }, 5000));
    const host::Frame frame = shared_host().next_frame();
    std::set<std::uint32_t> qr_colours; // the opaque colours (0xRRGGBB) in the QR square
    for (std::uint32_t i = 0; i < 64 * 64; ++i) {
        const std::uint8_t* p = frame.pixel(216 + i % 64, i / 64);
        qr_colours.insert(p[3] == 255 ? p[0] << 16 | p[1] << 8 | p[2] : 0x1000000);
    }
    EXPECT_TRUE(qr_colours.contains(0x000000) && qr_colours.contains(0xffffff));

    // Whatever the service says, or if it cannot be reached, the banner stays on air and the panel says so.
    const auto moderated = test::json_object(test::page_members("flow", "[]", "suspended", false));
    const std::pair<standin::HttpAnswer, std::string> failures[] = {
        {{}, "Offline"},
        {{403, "text/plain", {}, ""}, "Forbidden"},
        {{404, "text/plain", {}, ""}, "Not found"},
        {{410, "text/plain", {}, ""}, "Unavailable"},
        {{200, "application/json", {}, moderated}, "Moderated"},
    };
    for (const auto& [answer, status] : failures) {
        shared_service().set_offline(status == "Offline");
        shared_service().add_fault({"/api/public/banners/flow/", 1, answer});
        ASSERT_TRUE(HeadlessHost::pump_until([&] { return source.click("retry_discovery"); }, 6000));
        EXPECT_TRUE(HeadlessHost::pump_until(
            [&] { return source.info_line("website_status") == status + " \u2014 approved output preserved"; }, 10000))
            << status;
        EXPECT_EQ(output_pixel(10, 20), kRed);
    }

    // Back online with a newer revision: it waits as the candidate and never reaches the output by itself.
    shared_service().set_offline(false);
    shared_service().clear_faults();
    publish("flow",
            {stand_in_revision(1, solid_png(200, 40, 255, 0, 0)), stand_in_revision(2, solid_png(200, 40, 0, 0, 255))});
    ASSERT_TRUE(HeadlessHost::pump_until([&] { return source.click("retry_discovery"); }, 6000));
    ASSERT_TRUE(wait_for_update_waiting(source, 2, 15000));
    EXPECT_EQ(source.info_line("candidate_revision"),
              "UPDATE WAITING \u2014 revision 2" + choices + " The approved banner remains live.");
    EXPECT_EQ(output_pixel(10, 20), kRed);
    shared_host().show(nullptr);
}

// Typing in the banner field applies nothing; the host applies settings (OK in the properties window, or an
// update from elsewhere). A stray key press followed by Cancel, or an invalid input, leaves the approval on
// air; the retry button follows the settings the source has taken (on libobs's next video tick).
TEST(HostModule, TypedInputWaitsForTheHostToApplyIt) {
    auto source = accepted_source("typed", solid_png(60, 20, 255, 0, 0));
    shared_host().show(source->get());
    ASSERT_TRUE(HeadlessHost::pump_until([] { return output_pixel(5, 5) == kRed; }, 5000));
    const auto snapshot = file_bytes(source->snapshot());
    const OBSDataAutoRelease settings = obs_source_get_settings(source->get()), old_settings = obs_data_create();
    obs_data_apply(old_settings, settings);

    obs_properties_t* properties = obs_source_properties(source->get());
    EXPECT_EQ(obs_properties_get_flags(properties), uint32_t(OBS_PROPERTIES_DEFER_UPDATE));
    const std::tuple<const char*, bool, const char*> keys[] = {
        {"type d", true, "Use a banner ID or https://kelvara.com/banner/{bannerId}"},
        {"type", true, "Banner input: valid"}, // one letter deleted: another valid banner
        {"typ", false, "Banner input: valid"},
    };
    for (const auto& [typed, redraw, line] : keys) {
        obs_data_set_string(settings, "url", typed);
        EXPECT_EQ(obs_property_modified(obs_properties_get(properties, "url"), settings), redraw) << typed;
        EXPECT_STREQ(obs_property_description(obs_properties_get(properties, "validation_status")), line);
    }
    obs_properties_destroy(properties);
    const auto unchanged = [&](const char* step) {
        HeadlessHost::pump_events(300); // several frames
        EXPECT_EQ(source->info_line("approved_revision"), "Approved revision: 1") << step;
        EXPECT_EQ(output_pixel(5, 5), kRed) << step;
        EXPECT_EQ(obs_source_get_width(source->get()) * 1000 + obs_source_get_height(source->get()), 60020u) << step;
        EXPECT_EQ(file_bytes(source->snapshot()), snapshot) << step;
    };
    unchanged("typing");
    // Cancel: the window restores the old settings, with an update when it does not defer them.
    obs_data_clear(settings);
    obs_data_apply(settings, old_settings);
    unchanged("cancel");
    obs_source_update(source->get(), old_settings);
    unchanged("cancel with update");
    const auto apply = [&](const std::string& url, const std::string& validation, bool retry_enabled, bool qr = false) {
        const OBSDataAutoRelease update = obs_data_create();
        obs_data_set_string(update, "url", url.c_str());
        obs_data_set_bool(update, "qr_enabled", qr);
        obs_source_update(source->get(), update);
        EXPECT_TRUE(HeadlessHost::pump_until(
            [&] {
                return source->info_line("validation_status") == validation &&
                       source->button_enabled("retry_discovery") == retry_enabled;
            },
            3000))
            << url;
        EXPECT_TRUE(source->button_enabled("preview_candidate"));
    };
    // With the QR code asked for too: an output sized for it would have the banner drawn off its place.
    apply("https://example.com/banner/typed", "Use a banner ID or https://kelvara.com/banner/{bannerId}", false, true);
    unchanged("invalid input");
    apply("typed", "Banner input: valid", true);
    apply("https://kelvara.com/banner/typed/revision/3", "Banner input: valid", false);
    apply("typed_other", "Banner input: valid", true); // another banner: its own approval, none yet
    EXPECT_TRUE(HeadlessHost::pump_until([&] { return source->info_line("approved_revision").empty(); }, 3000));

    // Saved with the other banner (as OBS saves a collection while the window is open), restarted, and changed
    // back: the first banner's approval returns without a new review.
    const OBSDataAutoRelease saved = obs_save_source(source->get());
    shared_host().show(nullptr);
    source->release_and_wait_for_destroy();
    source = std::make_unique<TestSource>(obs_load_source(saved));
    shared_host().show(source->get());
    EXPECT_EQ(source->info_line("approved_revision"), "");
    source->update("typed");
    EXPECT_TRUE(HeadlessHost::pump_until([&] { return output_pixel(5, 5) == kRed; }, 5000));
    EXPECT_EQ(source->info_line("approved_revision"), "Approved revision: 1");
    EXPECT_TRUE(HeadlessHost::pump_until([&] { return source->info_line("website_status") == "Available"; }, 5000));
    shared_host().show(nullptr);
}

// A source goes away while its exchange is in flight: no late answer is handled. Another goes away while the
// state with its new 12 MB candidate is being written: the write finishes first, whole, and nothing of the
// source is touched afterwards.
TEST(HostModule, DestroyedSourceHandlesNoLateAnswerAndLetsItsRunningSaveFinish) {
    publish("silent", {stand_in_revision(1, solid_png(20, 20, 0, 255, 0))});
    shared_service().add_fault({"/api/public/banners/silent/", 1, {}, standin::Delivery::silence});
    HeadlessHost::pump_events(300); // sources of earlier tests finish going away
    const auto outcomes = log_count("[kelvara] Network outcome");
    const auto requests = shared_service().requests().size();
    TestSource silent("silent source", "silent");
    ASSERT_TRUE(HeadlessHost::pump_until([&] { return shared_service().requests().size() > requests; }, 10000));
    silent.release();
    HeadlessHost::pump_events(300);
    EXPECT_EQ(log_count("[kelvara] Network outcome"), outcomes);
    EXPECT_EQ(log_count("[kelvara] Discovery tick failed"), 0u);

    PngPlan plan{.width = 1800, .height = 1800};
    fill_random(plan, 3);
    const auto heavy = encode_png(plan);
    publish("heavy", {stand_in_revision(1, heavy)});
    const auto answers = log_count("result=modified");
    TestSource source("heavy source", "heavy");
    const auto snapshot = source.snapshot();
    ASSERT_TRUE(HeadlessHost::pump_until([&] { return log_count("result=modified") > answers; }, 30000));
    source.release();
    HeadlessHost::pump_events(300);
    EXPECT_GT(std::filesystem::file_size(snapshot), heavy.size());
    EXPECT_FALSE(std::filesystem::exists(snapshot.string() + ".tmp"));
}

// A remote-control plug-in creates sources on a thread of its own, which runs no Qt event loop.
TEST(HostModule, CreationOnAnyThreadWritesTheSnapshotOnlyForAFollowedBanner) {
    publish("fresh", {stand_in_revision(1, solid_png(8, 8, 0, 0, 0))});
    std::optional<TestSource> created_elsewhere;
    shared_host(); // the module loads on the UI thread
    std::thread([&] { created_elsewhere.emplace("fresh source", "fresh"); }).join();
    TestSource& followed = *created_elsewhere;
    EXPECT_TRUE(std::filesystem::exists(followed.snapshot())); // written by the retry at creation, before any tick
    EXPECT_TRUE(wait_for_update_waiting(followed, 1));         // its exchanges run on the host's UI thread
    TestSource pinned("pinned source", "https://kelvara.com/banner/fresh/revision/4");
    TestSource invalid("invalid source", "not a banner");
    EXPECT_FALSE(std::filesystem::exists(pinned.snapshot()));
    EXPECT_FALSE(std::filesystem::exists(invalid.snapshot()));
    EXPECT_FALSE(pinned.kept_id().empty() || pinned.kept_id() == followed.kept_id() ||
                 invalid.kept_id() == followed.kept_id());
    EXPECT_EQ(invalid.info_line("approved_status"), ""); // nothing to promise about an input that names nothing
}

// libobs 29.0 knows no source UUIDs, so the module keeps an ID in the source's settings, and the approval
// follows that ID: through a scene collection released and loaded again in one call on the UI thread (as OBS
// Studio does it), through a reset of the settings (the window's Defaults, then OK), through a snapshot
// folder that refuses writes, and into a second host process while the service never answers. Then once more
// on a host that knows source UUIDs (libobs 29.1 and later, stood in for by a preloaded function).
TEST(HostModule, ApprovalSurvivesReloadsResetsRefusedWritesAndRestarts) {
    auto source = accepted_source("reload", solid_png(40, 20, 0, 0, 255));
    const std::string id = source->kept_id();
    const auto snapshot = source->snapshot();
    const auto saved = config_root() / "saved-source.json";
    ASSERT_TRUE(obs_data_save_json(OBSDataAutoRelease(obs_save_source(source->get())), saved.c_str()));
    source->release_and_wait_for_destroy();
    auto reloaded = load_source(saved);
    EXPECT_EQ(reloaded->kept_id(), id);
    EXPECT_EQ(reloaded->info_line("approved_revision"), "Approved revision: 1");
    obs_source_reset_settings(reloaded->get(), nullptr); // clears every key, hidden ones included
    EXPECT_TRUE(HeadlessHost::pump_until([&] { return reloaded->kept_id() == id; }, 3000));
    for (const bool held : {false, true}) { // the old instance on its way out, or still held by something else
        reloaded = reload(std::move(reloaded), saved, held);
        EXPECT_EQ(reloaded->kept_id(), id) << held;
        EXPECT_EQ(reloaded->info_line("approved_revision"), "Approved revision: 1") << held;
    }
    reloaded->release_and_wait_for_destroy();
    {
        const RefusedSaves refused(snapshot);
        const std::string failure =
            "[kelvara] Cannot save restarted discovery: cannot open temporary approval snapshot";
        const auto failures = log_count(failure);
        const auto restarted = load_source(saved);
        EXPECT_EQ(restarted->info_line("approved_revision"), "Approved revision: 1");
        EXPECT_EQ(log_count(failure), failures + 1);
        shared_host().show(restarted->get());
        EXPECT_TRUE(HeadlessHost::pump_until([] { return output_pixel(5, 5) == kBlue; }, 5000));
        shared_host().show(nullptr);
        restarted->release_and_wait_for_destroy();
    }
    for (const std::string preload : {"", "LD_PRELOAD=" KELVARA_UPGRADED_HOST_SHIM " "}) {
        const auto log = config_root() / (preload.empty() ? "child.log" : "upgraded-child.log");
        const std::string command = preload + "KELVARA_TEST_CONFIG_ROOT=" + config_root().string() +
                                    " KELVARA_RESTORE_SOURCE=" + saved.string() + " " + program_path +
                                    " --gtest_filter=HostRestart.* > " + log.string() + " 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << "see " << log;
    }
}

TEST(HostRestart, ShowsTheSnapshotBeforeAnyAnswer) {
    const char* saved = std::getenv("KELVARA_RESTORE_SOURCE");
    if (saved == nullptr) {
        GTEST_SKIP() << "runs as the second process of ApprovalSurvivesReloadsResetsRefusedWritesAndRestarts";
    }
    shared_service().add_fault({"/", -1, {}, standin::Delivery::silence});
    shared_host();
    auto source = load_source(saved);
    shared_host().show(source->get());
    EXPECT_TRUE(HeadlessHost::pump_until([] { return output_pixel(5, 5) == kBlue; }, 3000));
    EXPECT_EQ(source->info_line("approved_revision"), "Approved revision: 1");
    EXPECT_EQ(log_count("[kelvara] Network outcome"), 0u);
    shared_host().show(nullptr);
    // Reloaded while something holds the old instance: the same source, with the same ID and approval, also on
    // a host that gives every instance a UUID of its own.
    const std::string id = source->kept_id();
    const auto reloaded = reload(std::move(source), saved, true);
    EXPECT_EQ(reloaded->kept_id(), id);
    EXPECT_EQ(reloaded->info_line("approved_revision"), "Approved revision: 1");
}

} // namespace
} // namespace kelvara::test

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    std::optional<QApplication> application;
    if (std::getenv("KELVARA_HOST_WITHOUT_QT") == nullptr) {
        application.emplace(argc, argv);
    }
    kelvara::test::program_path = std::filesystem::canonical("/proc/self/exe").string();
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    kelvara::test::shut_down_shared_host();
    return result;
}
