// `make demo`: a scripted show with the real module in a headless OBS host, against the stand-in service.
//
//   kelvara-demo --module <kelvara-banner.so> --data <module data folder> --out <folder>
//
// A scripted operator clicks the real preview dialog. Each step prints one verdict line and writes a PNG of
// the output; the program exits non-zero when any step did not happen.

#include "headless_host.hpp"
#include "operator.hpp"
#include "stand_in_service.hpp"

#include <QtCore/QBuffer>
#include <QtCore/QProcess>
#include <QtGui/QImage>
#include <QtGui/QPainter>
#include <QtWidgets/QApplication>
#include <QtWidgets/QDialog>
#include <QtWidgets/QMainWindow>

#include <cstdio>
#include <functional>
#include <map>
#include <string>

namespace {

using kelvara::host::bring_to_front;
using kelvara::host::HeadlessHost;

constexpr const char* kBanner = "kelvara-demo";
const std::string kOffline = "Offline \u2014 approved output preserved";

struct Options {
    std::filesystem::path module, data, out, restore;
};

struct Colour {
    int r, g, b;
};
const Colour kRevisionColours[] = {{0, 0, 0}, {32, 96, 200}, {24, 150, 90}, {200, 60, 40}};

// A 480 x 96 banner: a field of the revision's colour with its name on it.
std::vector<std::uint8_t> banner_png(int revision, const char* caption) {
    QImage image(480, 96, QImage::Format_RGBA8888);
    const Colour c = kRevisionColours[revision];
    image.fill(QColor(c.r, c.g, c.b));
    QPainter painter(&image);
    painter.fillRect(8, 8, 464, 80, QColor(255, 255, 255, 40));
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setPixelSize(26);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRect(0, 0, 480, 96), Qt::AlignCenter, QString("Kelvara demo \u2014 %1").arg(caption));
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return {bytes.begin(), bytes.end()};
}

kelvara::standin::StandInRevision revision(int number, bool paid, bool filter, const char* caption) {
    kelvara::standin::StandInRevision r;
    r.number = static_cast<std::uint64_t>(number);
    r.painting_sequence = static_cast<std::uint64_t>(number) * 10;
    r.paid_artwork = paid;
    r.filter_change = filter;
    r.png = banner_png(number, caption);
    return r;
}

class Show {
public:
    Show(const Options& options, HeadlessHost& host) : options_(options), host_(host) {}

    bool verdict(int step, bool passed, const std::string& what) {
        std::printf("STEP %d %s: %s\n", step, passed ? "PASS" : "FAIL", what.c_str());
        std::fflush(stdout);
        all_passed_ = all_passed_ && passed;
        return passed;
    }
    bool all_passed() const { return all_passed_; }

    // The output as the host renders it, cropped to the source, saved as a PNG.
    kelvara::host::Frame snapshot(obs_source_t* source, const std::string& name) {
        const auto frame = host_.next_frame();
        const int width = static_cast<int>(std::min(obs_source_get_width(source), frame.width));
        const int height = static_cast<int>(std::min(obs_source_get_height(source), frame.height));
        QImage image(frame.rgba.data(), static_cast<int>(frame.width), static_cast<int>(frame.height),
                     QImage::Format_RGBA8888);
        image.copy(0, 0, width, height).save(QString::fromStdString((options_.out / name).string()));
        return frame;
    }

    static bool shows(const kelvara::host::Frame& frame, int revision) {
        const Colour c = kRevisionColours[revision];
        const std::uint8_t* p = frame.pixel(3, 3);
        return p[0] == c.r && p[1] == c.g && p[2] == c.b && p[3] == 255;
    }

    // Runs `until` while a scripted operator answers the first dialog with `button` (after a screenshot);
    // returns the dialog's title, or "" when none opened.
    std::string operator_answers(const QString& button, const std::string& screenshot, std::function<bool()> until) {
        kelvara::host::Operator person(button, true);
        person.before_answer = [&](QDialog& dialog) {
            if (!screenshot.empty()) {
                dialog.grab().save(QString::fromStdString((options_.out / screenshot).string()));
            }
            std::printf("operator clicks \"%s\" in \"%s\"\n", qPrintable(button), qPrintable(dialog.windowTitle()));
        };
        HeadlessHost::pump_until(until, 20000);
        return person.seen().empty() ? std::string() : person.seen().front().title;
    }

    std::string info_line(obs_source_t* source, const char* name) { return kelvara::host::property_text(source, name); }

    // The operator keeps clicking until the source takes it (a retry is refused while a request is out).
    void click(obs_source_t* source, const char* button) {
        HeadlessHost::pump_until([&] { return kelvara::host::click_property_button(source, button); }, 10000);
    }

    bool logged(const std::string& line) const { return host_.count_log_lines(line) > 0; }

private:
    const Options& options_;
    HeadlessHost& host_;
    bool all_passed_ = true;
};

kelvara::host::HostOptions host_options(const Options& options) {
    kelvara::host::HostOptions host;
    host.module_path = options.module;
    host.module_data = options.data;
    host.config_root = options.out / "obs-config";
    host.width = 640;
    host.height = 200;
    host.echo_log = false;
    return host;
}

void print_module_log(const HeadlessHost& host, std::size_t& printed) {
    const auto lines = host.log_lines();
    for (; printed < lines.size(); ++printed) {
        if (lines[printed].starts_with("[kelvara]")) {
            std::printf("  log: %s\n", lines[printed].c_str());
        }
    }
    std::fflush(stdout);
}

int run_show(const Options& options) {
    kelvara::standin::StandInService service(KELVARA_STAND_IN_CERTIFICATES);
    kelvara::standin::StandInBanner banner;
    banner.revisions.push_back(revision(1, true, false, "revision 1"));
    service.catalog().set_banner(kBanner, banner);
    if (!service.serve_this_process()) {
        std::puts("cannot start the stand-in service");
        return 1;
    }
    std::printf("stand-in service on 127.0.0.1:%u; output pictures in %s\n", service.port(), options.out.c_str());

    HeadlessHost host(host_options(options));
    std::size_t printed = 0;
    Show show(options, host);
    QMainWindow window; // the host's window, in front: new candidates open the preview at once
    window.setWindowTitle("OBS (headless)");
    bring_to_front(window);

    obs_source_t* source = host.create_source("Kelvara banner", kBanner, true);
    host.show(source);

    // 1. Revision 1 appears; the operator accepts it in the preview.
    const std::string title = show.operator_answers(
        "Accept", "preview-dialog.png", [&] { return show.logged("Candidate update accepted sequence=1"); });
    HeadlessHost::pump_until([&] { return Show::shows(host.next_frame(), 1); }, 5000);
    auto frame = show.snapshot(source, "step1-accepted.png");
    print_module_log(host, printed);
    show.verdict(1,
                 title == "Kelvara candidate revision 1" && Show::shows(frame, 1) &&
                     obs_source_get_width(source) == 480 + 16 + 96,
                 "revision 1 opened the preview, Accept put it on the output with its QR code");

    // 2. Revision 2 only changes a filter: approved without asking.
    banner.revisions.push_back(revision(2, false, true, "revision 2"));
    service.catalog().set_banner(kBanner, banner);
    show.click(source, "retry_discovery");
    const std::string second = show.operator_answers("Accept", "", [&] { return Show::shows(host.next_frame(), 2); });
    frame = show.snapshot(source, "step2-auto-approved.png");
    print_module_log(host, printed);
    show.verdict(2, second.empty() && Show::shows(frame, 2),
                 "revision 2 (filter change only) was approved automatically, no dialog");

    // 3. Revision 3 contains paid artwork: the operator rejects it.
    bring_to_front(window);
    banner.revisions.push_back(revision(3, true, false, "revision 3"));
    service.catalog().set_banner(kBanner, banner);
    show.click(source, "retry_discovery");
    const std::string third =
        show.operator_answers("Reject", "", [&] { return show.logged("Candidate update rejected sequence=3"); });
    frame = show.snapshot(source, "step3-rejected.png");
    print_module_log(host, printed);
    show.verdict(3, third == "Kelvara candidate revision 3" && Show::shows(frame, 2),
                 "revision 3 (paid artwork) opened the preview, Reject kept revision 2 on the output");

    // 4. The service goes offline: the approved banner stays.
    service.set_offline(true);
    show.click(source, "retry_discovery");
    HeadlessHost::pump_until([&] { return show.info_line(source, "website_status") == kOffline; }, 15000);
    frame = show.snapshot(source, "step4-offline.png");
    print_module_log(host, printed);
    show.verdict(4, show.info_line(source, "website_status") == kOffline && Show::shows(frame, 2),
                 "service offline: status reads \"" + kOffline + "\", revision 2 stays on the output");

    // 5. The host restarts (a new process) and shows revision 2 from the snapshot before any answer.
    const auto saved = options.out / "obs-config" / "kelvara-source.json";
    obs_data_t* data = obs_save_source(source);
    obs_data_save_json(data, saved.c_str());
    obs_data_release(data);
    host.show(nullptr);
    obs_source_release(source);
    HeadlessHost::pump_events(200);
    QProcess restarted;
    restarted.setProcessChannelMode(QProcess::ForwardedChannels);
    restarted.start(QCoreApplication::applicationFilePath(),
                    {"--module", QString::fromStdString(options.module.string()), "--data",
                     QString::fromStdString(options.data.string()), "--out",
                     QString::fromStdString(options.out.string()), "--restore",
                     QString::fromStdString(saved.string())});
    restarted.waitForFinished(60000);
    const bool restored = restarted.exitStatus() == QProcess::NormalExit && restarted.exitCode() == 0;
    show.verdict(5, restored, "after a restart, revision 2 was back on the output from the snapshot before any answer");
    return show.all_passed() ? 0 : 1;
}

// The second host process of step 5: the service never answers, so what shows comes from the snapshot.
int run_restart(const Options& options) {
    kelvara::standin::StandInService service(KELVARA_STAND_IN_CERTIFICATES);
    kelvara::standin::Fault silence;
    silence.target_prefix = "/";
    silence.count = -1;
    silence.delivery = kelvara::standin::Delivery::silence;
    service.add_fault(silence);
    service.serve_this_process();
    HeadlessHost host(host_options(options));
    obs_data_t* data = obs_data_create_from_json_file(options.restore.c_str());
    obs_source_t* source = obs_load_source(data);
    obs_data_release(data);
    host.show(source);
    Show show(options, host);
    const bool shown = HeadlessHost::pump_until([&] { return Show::shows(host.next_frame(), 2); }, 5000);
    show.snapshot(source, "step5-restarted.png");
    const bool before_answer = host.count_log_lines("[kelvara] Network outcome") == 0;
    std::printf("restarted host: revision 2 %s, network answers so far: %s\n", shown ? "on the output" : "missing",
                before_answer ? "none" : "some");
    host.show(nullptr);
    obs_source_release(source);
    HeadlessHost::pump_events(100);
    return shown && before_answer ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        std::filesystem::path value = argv[i + 1];
        if (option == "--module") {
            options.module = value;
        } else if (option == "--data") {
            options.data = value;
        } else if (option == "--out") {
            options.out = value;
        } else if (option == "--restore") {
            options.restore = value;
        }
    }
    if (options.module.empty() || options.data.empty() || options.out.empty()) {
        std::fprintf(stderr, "usage: %s --module <kelvara-banner.so> --data <data folder> --out <folder>\n", argv[0]);
        return 2;
    }
    try {
        std::filesystem::create_directories(options.out);
        if (!options.restore.empty()) {
            return run_restart(options);
        }
        std::filesystem::remove_all(options.out / "obs-config");
        return run_show(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "demo failed: %s\n", error.what());
        return 1;
    }
}
