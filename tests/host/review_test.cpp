// The operator's side: announcements, the preview dialog and "Load & Preview", driven like a person would.
#include "host_fixture.hpp"

#include <QtCore/QElapsedTimer>
#include <QtCore/QTimer>
#include <QtGui/QCursor>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QSystemTrayIcon>

#include <thread>
#include <tuple>

namespace kelvara::test {
namespace {

// The candidate's preview opens by itself, once, when the host's window is in front (front_ rows), or from
// "Load & Preview" (button_ rows): the candidate scaled to fit, and every answer acts. A stray Return decides
// nothing, and a decision the disk refuses to keep changes nothing (with one error line, and no exception in
// the host's event loop).
TEST(Review, CandidatePreviewShowsTheCandidateAndEachAnswerActs) {
    const std::string candidate = "[kelvara] Candidate ", deferred = candidate + "update deferred sequence=1";
    const std::string refused = "[kelvara] Cannot present candidate update: cannot open temporary approval snapshot";
    const std::string presenting = "[kelvara] Presenting candidate update sequence=1";
    // banner, candidate size, answer, size shown, the answer's log line, approved, saves refused
    const std::tuple<std::string, std::uint32_t, std::uint32_t, QString, int, int, std::string, bool, bool> cases[] = {
        {"front_accept", 100, 20, "Accept", 960, 192, candidate + "update accepted sequence=1", true, false},
        {"front_reject", 100, 20, "Reject", 960, 192, candidate + "update rejected sequence=1", false, false},
        {"front_later", 100, 20, "Later", 960, 192, deferred, false, false},
        {"front_return", 100, 20, kPressReturn, 960, 192, deferred, false, false},
        {"front_refused", 100, 20, "Accept", 960, 192, refused, false, true},
        {"button_wide", 100, 20, "Accept", 960, 192, candidate + "previewed and accepted sequence=1", true, false},
        {"button_square", 4000, 4000, "Reject", 640, 640, candidate + "rejected sequence=1", false, false},
        {"button_cancel", 50, 50, "Cancel", 640, 640, "", false, false},
    };
    for (const auto& [banner, width, height, answer, shown_width, shown_height, log, approved, refuse] : cases) {
        SCOPED_TRACE(banner);
        const bool button = banner.starts_with("button");
        publish(banner, {stand_in_revision(1, solid_png(width, height, 0, 200, 0))});
        QMainWindow window; // the host's
        if (!button) {
            host::bring_to_front(window);
        }
        const auto presented = log_count(presenting), decided = log_count(log);
        TestSource source(banner + " source", banner);
        shared_host().show(source.get());
        ASSERT_TRUE(!button || wait_for_update_waiting(source, 1, 20000));
        bool refreshed = false;
        std::optional<RefusedSaves> refusal;
        const SeenDialog seen = answering_dialog(
            answer,
            [&] { // the button's dialog has closed when the click returns; the announcement's may take a while
                refreshed = button && source.click("preview_candidate");
                HeadlessHost::pump_until([&] { return log_count(log) > decided; }, button ? 0 : 10000);
            },
            [&] {
                if (refuse) {
                    refusal.emplace(source.snapshot());
                }
            });
        const std::string last = button ? "Cancel" : "Later";
        EXPECT_EQ(seen.title, "Kelvara candidate revision 1");
        EXPECT_EQ(seen.heading, "Source \u201c" + banner + " source\u201d \u2014 banner " + banner);
        EXPECT_EQ(seen.buttons, (std::vector<std::string>{"Accept", "Reject", last}));
        EXPECT_EQ(seen.focused + "/" + seen.default_button, last + "/" + last);
        EXPECT_EQ(seen.preview_width * 10000 + seen.preview_height, shown_width * 10000 + shown_height);
        EXPECT_EQ(log_count(presenting), presented + (button ? 0 : 1));
        EXPECT_TRUE(log.empty() || log_count(log) == decided + 1);
        EXPECT_EQ(refreshed, button && !log.empty());
        EXPECT_EQ(source.info_line("approved_revision") == "Approved revision: 1", approved);
        EXPECT_EQ(source.info_line("candidate_revision").empty(), approved || answer == "Reject");
        const auto on_air = [] { return output_pixel(5, 5) == std::vector<int>{0, 200, 0, 255}; };
        EXPECT_EQ(HeadlessHost::pump_until(on_air, approved ? 5000 : 0), approved);
        shared_host().show(nullptr);
    }
}

// Also when discovery restarts right after the candidate was claimed, before the announcement ran: it then
// comes once discovery has caught up again.
TEST(Review, BackgroundCandidateAsksForAttentionOnce) {
    const std::string attention = "[kelvara] Requested background attention for candidate sequence=1";
    std::vector<std::unique_ptr<TestSource>> sources;
    for (const std::string banner : {"restarted", "behind"}) {
        publish(banner, {stand_in_revision(1, solid_png(100, 20, 0, 0, 200))});
        const auto before = log_count(attention);
        const auto answered = log_count("result=not-modified");
        sources.push_back(std::make_unique<TestSource>(banner + " source", banner));
        if (banner == "restarted") {
            ASSERT_TRUE(HeadlessHost::pump_until([&] { return log_count("result=not-modified") > answered; }, 10000));
            std::this_thread::sleep_for(std::chrono::milliseconds(300)); // claimed, announcement queued, not run
            EXPECT_TRUE(sources.back()->click("retry_discovery"));
        }
        const SeenDialog seen = answering_dialog(
            "Accept", [&] { HeadlessHost::pump_until([&] { return log_count(attention) > before; }, 10000); });
        EXPECT_EQ(seen.title, "") << banner; // no dialog
        EXPECT_EQ(log_count(attention), before + 1) << banner;
    }
    const auto icons = QCoreApplication::instance()->findChildren<QSystemTrayIcon*>();
    ASSERT_EQ(icons.size(), 1);
    EXPECT_EQ(icons.front()->toolTip(), "Kelvara for OBS");
    EXPECT_TRUE(icons.front()->isVisible());
}

// Clicked while the candidate is still arriving: the button's preview opens, and the announcement of the
// same candidate, which comes meanwhile, brings that dialog to the front instead of opening a second one.
TEST(Review, LoadAndPreviewWhileTheCandidateArrivesOpensOneDialog) {
    publish("arriving", {stand_in_revision(1, solid_png(30, 30, 3, 3, 3))});
    QMainWindow window;
    host::bring_to_front(window);
    TestSource source("arriving source", "arriving");
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
        [&] { // the tick claims the candidate and announces it meanwhile
            HeadlessHost::pump_until(
                [&] { return (most_dialogs = std::max(most_dialogs, host::open_dialog_count())) > 1; }, 1000);
        });
    EXPECT_EQ(seen.title, "Kelvara candidate revision 1");
    EXPECT_EQ(most_dialogs, 1);
    HeadlessHost::pump_events(300);
    EXPECT_EQ(host::open_dialog(), nullptr);
    EXPECT_EQ(log_count("[kelvara] Presenting candidate update"), presented);
    EXPECT_EQ(source.info_line("approved_revision"), "Approved revision: 1");
}

// Without a candidate to show, the button says why: invalid input, nothing newer than the approved banner
// (as soon as the service has answered, with a busy cursor meanwhile), or a service that does not answer.
TEST(Review, LoadAndPreviewExplainsWhyNothingIsShown) {
    publish("current", {});
    publish("unreachable", {stand_in_revision(1, solid_png(30, 30, 7, 7, 7))});
    shared_service().add_fault({"/api/public/banners/unreachable/", -1, {}, standin::Delivery::silence});
    const std::pair<std::string, std::string> cases[] = {
        {"no such thing!", "Enter a valid banner ID or Kelvara URL first."},
        {"current", "Up to date \u2014 no update is waiting."},
        {"unreachable", "The banner could not be loaded yet. Check the ID and network, then try again."},
    };
    for (const auto& [url, text] : cases) {
        SCOPED_TRACE(url);
        TestSource source(url + " source", url);
        HeadlessHost::pump_events(500); // the first answer arrives, or does not
        bool busy = false;
        QTimer::singleShot(50, [&] {
            busy =
                QApplication::overrideCursor() != nullptr && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
        });
        QElapsedTimer waited;
        waited.start();
        bool refreshed = true;
        const SeenDialog seen = answering_dialog("OK", [&] { refreshed = source.click("preview_candidate"); });
        EXPECT_EQ(seen.title + ": " + seen.text, "Kelvara: " + text);
        EXPECT_FALSE(refreshed);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        if (url == "current") {
            EXPECT_TRUE(busy);
            EXPECT_LT(waited.elapsed(), 6000); // the service answered at once: no need to wait the 12 s
        }
    }
    shared_service().clear_faults();
    // OBS Studio makes a push button of the description, reading '&' as the marker of a mnemonic. The texts
    // follow the host's locale, which the operator may change while OBS runs; en-US last, for the other tests.
    TestSource source("button source", "current");
    const std::tuple<const char*, std::string, std::string> locales[] = {
        {"de-DE", "Laden & Vorschau", "Banner-Eingabe: gültig"},
        {"en-US", "Load & Preview", "Banner input: valid"},
    };
    for (const auto& [locale, button_text, validation] : locales) {
        obs_set_locale(locale);
        obs_properties_t* properties = obs_source_properties(source.get());
        const QPushButton button(
            QString::fromUtf8(obs_property_description(obs_properties_get(properties, "preview_candidate"))));
        obs_properties_destroy(properties);
        EXPECT_EQ(host::shown_text(button), button_text) << locale;
        EXPECT_EQ(source.info_line("validation_status"), validation) << locale;
    }
}

// While the dialog is open, a discovery request starts (and stays unanswered): Accept then changes nothing. Or
// the source goes away, removed from the host while something still holds it, or destroyed (its context is
// freed inside the dialog's event loop): the dialog closes by itself, deciding nothing and touching nothing
// freed.
TEST(Review, AcceptOfACandidateNoLongerReadyOrOfASourceGoneChangesNothing) {
    for (const std::string banner : {"moving", "removed", "doomed"}) {
        SCOPED_TRACE(banner);
        publish(banner, {stand_in_revision(1, solid_png(30, 30, 1, 2, 3))});
        auto source = std::make_unique<TestSource>(banner + " source", banner);
        ASSERT_TRUE(wait_for_update_waiting(*source, 1));
        shared_service().add_fault({"/api/public/banners/" + banner + "/", 1, {}, standin::Delivery::silence});
        obs_source_t* raw = obs_source_get_ref(source->get()); // the click needs the source until it returns
        const auto accepted = log_count("accepted sequence=1");
        bool refreshed = true;
        const SeenDialog seen = answering_dialog(
            "Accept", [&] { refreshed = host::click_property_button(raw, "preview_candidate"); },
            [&] {
                const auto requests = shared_service().requests().size();
                if (banner == "removed") {
                    obs_source_remove(raw);
                    HeadlessHost::pump_events(200);
                } else if (banner == "doomed") {
                    source.reset();
                    obs_source_release(std::exchange(raw, nullptr)); // the last reference: the context goes
                    HeadlessHost::pump_events(200);
                } else {
                    source->click("retry_discovery");
                    HeadlessHost::pump_until([&] { return shared_service().requests().size() > requests; }, 5000);
                }
            });
        EXPECT_FALSE(refreshed);
        EXPECT_EQ(seen.closed_by_itself, banner != "moving");
        EXPECT_EQ(log_count("accepted sequence=1"), accepted);
        obs_source_release(raw);
        if (banner == "moving") {
            EXPECT_EQ(source->info_line("approved_revision"), "");
            EXPECT_EQ(source->info_line("candidate_revision"), "Checking for the latest banner update \u2014 preview "
                                                               "will be available when discovery finishes.");
        }
    }
}

} // namespace
} // namespace kelvara::test
