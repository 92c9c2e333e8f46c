// The operator's side: announcements, the preview dialog and "Load & Preview", driven like a person would.
#include "host_fixture.hpp"

#include <QtCore/QElapsedTimer>
#include <QtCore/QTimer>
#include <QtGui/QCursor>
#include <QtWidgets/QMainWindow>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QSystemTrayIcon>

namespace kelvara::test {
namespace {

using host::HeadlessHost;

const std::string kUpToDate = "Up to date \u2014 no update is waiting.";
const std::string kNotLoaded = "The banner could not be loaded yet. Check the ID and network, then try again.";

void publish(const std::string& banner_id, std::vector<standin::StandInRevision> revisions) {
    standin::StandInBanner banner;
    banner.revisions = std::move(revisions);
    shared_service().catalog().set_banner(banner_id, std::move(banner));
}

// The host's main window, in front or not.
class HostWindow {
public:
    explicit HostWindow(bool in_front) {
        if (in_front) {
            window_.show();
            window_.activateWindow();
            HeadlessHost::pump_until([] { return QApplication::activeWindow() != nullptr; }, 2000);
        }
    }

private:
    QMainWindow window_;
};

std::size_t log_count(const std::string& line) {
    return shared_host().count_log_lines(line);
}

TEST(Review, ForegroundCandidateOpensTheDialogAndEachAnswerActs) {
    const struct {
        QString button;
        const char* log;
        bool approved;
        bool candidate_stays;
    } answers[] = {
        {"Accept", "[kelvara] Candidate update accepted sequence=1", true, false},
        {"Reject", "[kelvara] Candidate update rejected sequence=1", false, false},
        {"Later", "[kelvara] Candidate update deferred sequence=1", false, true},
        {kPressReturn, "[kelvara] Candidate update deferred sequence=1", false, true}, // a stray key decides nothing
    };
    int banner_number = 0;
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.button.toStdString());
        const std::string banner = "front" + std::to_string(++banner_number);
        publish(banner, {stand_in_revision(1, solid_png(100, 20, 0, 200, 0))});
        HostWindow window(true);
        const auto presented = log_count("[kelvara] Presenting candidate update sequence=1");
        const auto decided = log_count(answer.log);
        TestSource source(banner + " source", banner, false);
        shared_host().show(source.get());
        const SeenDialog seen = answering_dialog(
            answer.button, [&] { HeadlessHost::pump_until([&] { return log_count(answer.log) > decided; }, 10000); });
        EXPECT_EQ(seen.title, "Kelvara candidate revision 1");
        EXPECT_EQ(seen.heading, "Source \u201c" + banner + " source\u201d \u2014 banner " + banner);
        EXPECT_EQ(seen.buttons, (std::vector<std::string>{"Accept", "Reject", "Later"}));
        EXPECT_EQ(seen.focused, "Later");
        EXPECT_EQ(seen.default_button, "Later");
        EXPECT_EQ(log_count("[kelvara] Presenting candidate update sequence=1"), presented + 1);
        EXPECT_EQ(log_count(answer.log), decided + 1);
        EXPECT_EQ(source.info_line("approved_revision") == "Approved revision: 1", answer.approved);
        EXPECT_EQ(!source.info_line("candidate_revision").empty(), answer.candidate_stays);
        if (answer.approved) {
            EXPECT_TRUE(HeadlessHost::pump_until(
                [] {
                    return output_pixel(5, 5) == std::vector<int>{0, 200, 0, 255};
                },
                5000));
        }
        shared_host().show(nullptr);
    }
}

TEST(Review, BackgroundCandidateAsksForAttentionOnce) {
    publish("behind", {stand_in_revision(1, solid_png(100, 20, 0, 0, 200))});
    HostWindow window(false);
    const auto attention = log_count("[kelvara] Requested background attention for candidate sequence=1");
    TestSource source("behind source", "behind", false);
    const SeenDialog seen = answering_dialog("Accept", [&] {
        HeadlessHost::pump_until(
            [&] { return log_count("[kelvara] Requested background attention for candidate sequence=1") > attention; },
            10000);
    });
    EXPECT_EQ(seen.title, ""); // no dialog
    EXPECT_EQ(log_count("[kelvara] Requested background attention for candidate sequence=1"), attention + 1);
    const auto icons = QCoreApplication::instance()->findChildren<QSystemTrayIcon*>();
    ASSERT_EQ(icons.size(), 1);
    EXPECT_EQ(icons.front()->toolTip(), "Kelvara for OBS");
    EXPECT_TRUE(icons.front()->isVisible());

    // Discovery runs again and finds the same candidate: it is not announced a second time.
    const auto requests = shared_service().requests().size();
    ASSERT_TRUE(HeadlessHost::pump_until([&] { return source.click("retry_discovery"); }, 5000));
    ASSERT_TRUE(HeadlessHost::pump_until([&] { return shared_service().requests().size() > requests; }, 5000));
    ASSERT_TRUE(wait_for_update_waiting(source, 1));
    HeadlessHost::pump_events(300);
    EXPECT_EQ(log_count("[kelvara] Requested background attention for candidate sequence=1"), attention + 1);
}

// The decision cannot be saved (the disk refuses the snapshot): one error line, nothing changes, and no
// exception reaches the host's event loop.
TEST(Review, DecisionThatCannotBeSavedIsLoggedAndChangesNothing) {
    publish("stuck", {stand_in_revision(1, solid_png(30, 30, 1, 1, 1))});
    HostWindow window(true);
    TestSource source("stuck source", "stuck", false);
    const std::string failure = "[kelvara] Cannot present candidate update: cannot open temporary approval snapshot";
    const auto failures = log_count(failure);
    std::unique_ptr<RefusedSaves> refused;
    answering_dialog(
        "Accept", [&] { HeadlessHost::pump_until([&] { return log_count(failure) > failures; }, 10000); },
        [&] { refused = std::make_unique<RefusedSaves>(source.snapshot()); });
    EXPECT_EQ(log_count(failure), failures + 1);
    EXPECT_EQ(source.info_line("approved_revision"), "");
    EXPECT_TRUE(source.info_line("candidate_revision").starts_with("UPDATE WAITING"))
        << source.info_line("candidate_revision");
}

TEST(Review, LoadAndPreviewRefusesInvalidInput) {
    TestSource source("invalid review source", "no such thing!", false);
    // OBS Studio makes a push button of the description, reading '&' as the marker of a mnemonic.
    obs_properties_t* properties = obs_source_properties(source.get());
    const QPushButton button(
        QString::fromUtf8(obs_property_description(obs_properties_get(properties, "preview_candidate"))));
    obs_properties_destroy(properties);
    EXPECT_EQ(host::shown_text(button), "Load & Preview");

    bool refreshed = true;
    const SeenDialog seen = answering_dialog("OK", [&] { refreshed = source.click("preview_candidate"); });
    EXPECT_EQ(seen.title, "Kelvara");
    EXPECT_EQ(seen.text, "Enter a valid banner ID or Kelvara URL first.");
    EXPECT_FALSE(refreshed);
}

TEST(Review, LoadAndPreviewShowsTheCandidateScaledAndCarriesOutTheDecision) {
    const struct {
        std::string banner;
        std::uint32_t width, height;
        QString button;
        int shown_width, shown_height;
        const char* log;
        bool refreshed;
    } cases[] = {
        {"wide", 100, 20, "Accept", 960, 192, "[kelvara] Candidate previewed and accepted sequence=1", true},
        {"square", 4000, 4000, "Reject", 640, 640, "[kelvara] Candidate rejected sequence=1", true},
        {"later", 50, 50, "Cancel", 640, 640, nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.banner);
        publish(c.banner, {stand_in_revision(1, solid_png(c.width, c.height, 9, 9, 9))});
        HostWindow window(false);
        TestSource source(c.banner + " source", c.banner, false);
        ASSERT_TRUE(wait_for_update_waiting(source, 1, 20000));
        const auto logged = c.log ? log_count(c.log) : 0;
        bool refreshed = !c.refreshed;
        const SeenDialog seen = answering_dialog(c.button, [&] { refreshed = source.click("preview_candidate"); });
        EXPECT_EQ(seen.buttons, (std::vector<std::string>{"Accept", "Reject", "Cancel"}));
        EXPECT_EQ(seen.focused, "Cancel");
        EXPECT_EQ(seen.default_button, "Cancel");
        EXPECT_EQ(seen.preview_width, c.shown_width);
        EXPECT_EQ(seen.preview_height, c.shown_height);
        EXPECT_EQ(refreshed, c.refreshed);
        if (c.log != nullptr) {
            EXPECT_EQ(log_count(c.log), logged + 1);
        }
    }
}

TEST(Review, AcceptOfACandidateThatIsNoLongerReadyChangesNothing) {
    publish("moving", {stand_in_revision(1, solid_png(30, 30, 1, 2, 3))});
    TestSource source("moving source", "moving", false);
    ASSERT_TRUE(wait_for_update_waiting(source, 1));
    standin::Fault silence;
    silence.target_prefix = "/api/public/banners/moving/";
    silence.delivery = standin::Delivery::silence;
    shared_service().add_fault(silence);
    const auto accepted = log_count("accepted sequence=1");
    bool refreshed = true;
    answering_dialog(
        "Accept", [&] { refreshed = source.click("preview_candidate"); },
        [&] {
            // While the dialog is open a discovery request starts (and stays unanswered).
            const auto requests = shared_service().requests().size();
            source.click("retry_discovery");
            HeadlessHost::pump_until([&] { return shared_service().requests().size() > requests; }, 5000);
        });
    EXPECT_FALSE(refreshed);
    EXPECT_EQ(log_count("accepted sequence=1"), accepted);
    EXPECT_EQ(source.info_line("approved_revision"), "");
    // The request is still out: the panel says the candidate cannot be previewed yet.
    EXPECT_EQ(source.info_line("candidate_revision"),
              "Checking for the latest banner update \u2014 preview will be available when discovery finishes.");
}

TEST(Review, SourceDestroyedWhileTheDialogIsOpenIsNeverTouched) {
    publish("doomed", {stand_in_revision(1, solid_png(30, 30, 4, 5, 6))});
    auto source = std::make_unique<TestSource>("doomed source", "doomed", false);
    ASSERT_TRUE(wait_for_update_waiting(*source, 1));
    obs_source_t* raw = source->get();
    obs_source_get_ref(raw); // the click below needs the source; the test holds the last reference
    bool refreshed = true;
    answering_dialog(
        "Accept", [&] { refreshed = host::click_property_button(raw, "preview_candidate"); },
        [&] {
            source.reset();
            obs_source_release(raw);
            HeadlessHost::pump_events(200); // the context is freed inside the dialog's event loop
        });
    EXPECT_FALSE(refreshed);
    EXPECT_EQ(shared_host().count_log_lines("accepted sequence=1 "), 0u);
}

// Clicked while the candidate is still arriving: the button's preview opens, and the announcement of the
// same candidate, which comes meanwhile, brings that dialog to the front instead of opening a second one.
TEST(Review, LoadAndPreviewWhileTheCandidateArrivesOpensOneDialog) {
    publish("arriving", {stand_in_revision(1, solid_png(30, 30, 3, 3, 3))});
    HostWindow window(true);
    TestSource source("arriving source", "arriving", false);
    const auto presented = log_count("[kelvara] Presenting candidate update");
    int most_dialogs = 0;
    QTimer closer; // a second dialog would keep the first one's event loop from ending: close what is left
    QObject::connect(&closer, &QTimer::timeout, [] {
        while (QDialog* left = host::open_dialog()) {
            left->reject();
        }
    });
    closer.start(3000);
    const SeenDialog seen = answering_dialog(
        "Accept", [&] { source.click("preview_candidate"); },
        [&] {
            HeadlessHost::pump_until(
                [&] {
                    most_dialogs = std::max(most_dialogs, host::open_dialog_count());
                    return false;
                },
                1000); // the tick claims the candidate and announces it meanwhile
        });
    EXPECT_EQ(seen.title, "Kelvara candidate revision 1");
    EXPECT_EQ(most_dialogs, 1);
    HeadlessHost::pump_events(300);
    EXPECT_EQ(host::open_dialog(), nullptr);
    EXPECT_EQ(log_count("[kelvara] Presenting candidate update"), presented);
    EXPECT_EQ(source.info_line("approved_revision"), "Approved revision: 1");
}

TEST(Review, LoadAndPreviewWaitsThenExplainsWhyNothingIsShown) {
    publish("current", {});
    TestSource current("current source", "current", false);
    ASSERT_TRUE(HeadlessHost::pump_until([&] { return current.info_line("website_status") == "Available"; }, 5000));
    // The wait ends once the service has answered, well before its 12 s bound, and shows a busy cursor.
    QElapsedTimer waited;
    bool busy = false;
    QTimer::singleShot(50, [&] {
        busy = QApplication::overrideCursor() != nullptr && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    });
    waited.start();
    const SeenDialog up_to_date = answering_dialog("OK", [&] { current.click("preview_candidate"); });
    EXPECT_EQ(up_to_date.text, kUpToDate);
    EXPECT_LT(waited.elapsed(), 6000);
    EXPECT_TRUE(busy);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    publish("unreachable", {stand_in_revision(1, solid_png(30, 30, 7, 7, 7))});
    standin::Fault silence;
    silence.target_prefix = "/api/public/banners/unreachable/";
    silence.count = -1;
    silence.delivery = standin::Delivery::silence;
    shared_service().add_fault(silence);
    TestSource unreachable("unreachable source", "unreachable", false);
    const SeenDialog not_loaded = answering_dialog("OK", [&] { unreachable.click("preview_candidate"); });
    EXPECT_EQ(not_loaded.text, kNotLoaded);
    shared_service().clear_faults();
}

} // namespace
} // namespace kelvara::test
