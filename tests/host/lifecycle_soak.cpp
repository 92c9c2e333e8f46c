// Sources live their whole lives in a real host, step by seeded random step, as streamers live them: created,
// duplicated, removed (also while a save is pending or their dialog is open), collections reloaded (in one call
// or across calls, with an old instance still held) and restarted (now and then in a fresh host process),
// settings reset and changed, dialogs answered, ignored or left open, a service that fails and cuts answers off,
// and a snapshot folder that refuses writes for a while. After every step no two live sources name one snapshot
// file; now and then the output must show the approved revision; every reload and restart must bring back every
// approval and leave no temporary file. The run ends with a full shutdown of the host, sources still live.
//
//   lifecycle_soak [--steps N] [--seed S]    A failure prints the seed and the steps that led there;
//                                            KELVARA_SOAK_TRACE=1 prints every step as it happens.
#include "host_fixture.hpp"

#include "metadata/banner_input.hpp"

#include <QtCore/QElapsedTimer>
#include <QtCore/QTimer>
#include <QtWidgets/QPushButton>

#include <cstdio>
#include <deque>
#include <fstream>
#include <random>
#include <set>
#include <thread>

namespace kelvara::test {
namespace {

constexpr int kBanners = 4; // soak0 .. soak3; revision n of banner b is numbered b * 1000 + n
constexpr std::size_t kMaxSources = 6;
constexpr int kMaxDepth = 3; // steps taken inside the event loops of dialogs that steps opened
constexpr int kFreshProcessEvery = 2500;

std::string program_path;

std::vector<std::uint8_t> colour_of(std::uint64_t revision) {
    return {static_cast<std::uint8_t>(40 + revision % 7 * 30), static_cast<std::uint8_t>(revision / 1000 * 60),
            static_cast<std::uint8_t>(revision % 1000 * 37 % 256)};
}

std::uint64_t shown_approval(obs_source_t* source) { // the panel's number, or 0
    const std::string line = host::property_text(source, "approved_revision");
    return line.empty() ? 0 : std::stoull(line.substr(line.rfind(' ') + 1));
}

// A source as OBS Studio saves it in its collection, with what it showed as approved once settled.
struct SavedSource {
    std::uint64_t approval = 0; // 0: nothing approved
    bool comparable = false;    // settled on a followed banner: a restart must show the same
    std::string json;           // obs_save_source
};

// Loads every source; returns the first that does not show the approval it had.
std::string load_collection(const std::vector<SavedSource>& saved, std::vector<std::unique_ptr<TestSource>>& into) {
    std::string mismatch;
    for (const SavedSource& source : saved) {
        into.push_back(std::make_unique<TestSource>(
            obs_load_source(OBSDataAutoRelease(obs_data_create_from_json(source.json.c_str())))));
        const std::uint64_t shown = shown_approval(into.back()->get());
        if (source.comparable && shown != source.approval && mismatch.empty()) {
            mismatch = std::string(obs_source_get_name(into.back()->get())) + " shows approval " +
                       std::to_string(shown) + ", had " + std::to_string(source.approval);
        }
    }
    return mismatch;
}

class Soak {
public:
    Soak(std::uint64_t seed, int steps) : seed_(seed), steps_(steps), random_(seed) {}

    int run() {
        std::printf("lifecycle soak: seed %llu, %d steps\n", static_cast<unsigned long long>(seed_), steps_);
        std::fflush(stdout);
        for (int banner = 0; banner < kBanners; ++banner) {
            published_.push_back(banner % 2); // two banners start with a revision, two without
            publish_banner(banner);
        }
        QElapsedTimer elapsed;
        elapsed.start();
        // Qt never runs a timer's slot inside itself: a timer for each depth of dialogs opened by steps, and one
        // that only closes dialogs (it never waits, so it is free whenever one is open) for when every step is
        // busy, the sources settle (deciding nothing then), or the run winds down.
        std::vector<std::unique_ptr<QTimer>> drivers;
        for (int depth = 0; depth <= kMaxDepth; ++depth) {
            drivers.push_back(std::make_unique<QTimer>());
            QObject::connect(drivers.back().get(), &QTimer::timeout, [this, depth] {
                if (depth < kMaxDepth) {
                    step();
                } else if (quiet_ > 0 || depth_ >= kMaxDepth || steps_run_ >= steps_) {
                    answer_dialog(quiet_ > 0);
                }
            });
            drivers.back()->start(depth == 0 ? 0 : 5);
        }
        // A run that stops moving (a deadlock, a dialog nobody can close) fails with its steps after a minute.
        std::atomic<bool> running = true;
        std::jthread watchdog([&] {
            for (int last = -1, still = 0; running; std::this_thread::sleep_for(std::chrono::seconds(1))) {
                still = steps_run_ == last ? still + 1 : 0;
                last = steps_run_;
                if (still == 60) {
                    fail("no step for a minute");
                }
            }
        });
        HeadlessHost::pump_until([this] { return steps_run_ >= steps_; }, 24 * 3600 * 1000);
        drivers.clear();
        restart(true);
        create();
        const double seconds = static_cast<double>(elapsed.elapsed()) / 1000.0;
        const auto decided = log_count("accepted sequence") + log_count("rejected sequence");
        std::printf("lifecycle soak: %d reloads and restarts (%d in a fresh process) brought back %d approvals, "
                    "%d outputs checked, %zu decisions carried out\n",
                    reloads_, fresh_processes_, approvals_kept_, outputs_checked_, decided);
        running = false;
        shut_down_shared_host(); // with sources live: libobs destroys them
        for (const auto& source : sources_) {
            source->forget();
        }
        std::printf("lifecycle soak: %d steps in %.0f s (%.0f steps per minute), seed %llu: no failure\n",
                    steps_run_.load(), seconds, steps_run_ * 60.0 / seconds, static_cast<unsigned long long>(seed_));
        return 0;
    }

private:
    void step() {
        if (quiet_ > 0 || depth_ >= kMaxDepth || steps_run_ >= steps_) {
            return;
        }
        ++depth_;
        ++steps_run_;
        const int roll = pick(100);
        // clang-format off
        if (roll < 8) create();
        else if (roll < 10) duplicate();
        else if (roll < 14) remove();
        else if (roll < 16) release_held();
        else if (roll < 19 && depth_ == 1) reload();
        else if (roll < 20 && depth_ == 1) restart(false);
        else if (roll < 21) with_source("reset the settings of", [](obs_source_t* s) { obs_source_reset_settings(s, nullptr); });
        else if (roll < 27) panel();
        else if (roll < 43) preview_click();
        else if (roll < 59) answer_dialog(false);
        else if (roll < 63) toggle_front();
        else if (roll < 74) service_change();
        else if (roll < 76) refuse_writes();
        else if (roll < 82) with_source("Retry discovery of", [](obs_source_t* s) { host::click_property_button(s, "retry_discovery"); });
        else wait();
        // clang-format on
        if (steps_run_ % kFreshProcessEvery == 0 && depth_ == 1) {
            restart(true);
        }
        if (!refusals_.empty() && steps_run_ >= refusal_ends_) {
            end_refusal();
        }
        check_ids();
        if (steps_run_ % 25 == 0 && depth_ == 1) {
            check_output();
        }
        --depth_;
    }

    int pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(random_); }
    bool chance(int percent) { return pick(100) < percent; }

    void note(const std::string& what) {
        std::lock_guard lock(log_mutex_);
        log_.push_back("step " + std::to_string(steps_run_) + " (depth " + std::to_string(depth_) + "): " + what);
        if (trace_) {
            std::fprintf(stderr, "%s\n", log_.back().c_str());
        }
        if (log_.size() > 300) {
            log_.pop_front();
        }
    }

    [[noreturn]] void fail(const std::string& why) {
        std::lock_guard lock(log_mutex_);
        std::fprintf(stderr, "lifecycle soak FAILED at step %d, seed %llu: %s\nthe steps that led there:\n",
                     steps_run_.load(), static_cast<unsigned long long>(seed_), why.c_str());
        for (const auto& line : log_) {
            std::fprintf(stderr, "  %s\n", line.c_str());
        }
        std::fprintf(stderr, "replay: lifecycle_soak --seed %llu --steps %d\n", static_cast<unsigned long long>(seed_),
                     steps_run_.load());
        std::_Exit(1);
    }

    // Runs `action` on a random source, held meanwhile: a step inside a dialog it opens may remove it.
    template <typename Action>
    void with_source(const std::string& what, Action action) {
        if (sources_.empty()) {
            return wait();
        }
        obs_source_t* source =
            obs_source_get_ref(sources_[static_cast<std::size_t>(pick(int(sources_.size())))]->get());
        note(what + " '" + obs_source_get_name(source) + "'");
        action(source);
        obs_source_release(source);
    }

    std::string random_input() {
        const int kind = pick(20);
        const std::string page = "https://kelvara.com/banner/" + banner_name(pick(kBanners));
        return kind == 0   ? "not a banner!"
               : kind == 1 ? page + "/revision/" + std::to_string(pick(3) + 1)
               : kind < 8  ? page
                           : page.substr(page.rfind('/') + 1);
    }
    static std::string banner_name(int banner) { return "soak" + std::to_string(banner); }

    void pump_quietly(int milliseconds) {
        ++quiet_;
        HeadlessHost::pump_events(milliseconds);
        --quiet_;
    }

    void wait() {
        const int milliseconds = 10 + pick(100);
        note("wait " + std::to_string(milliseconds) + " ms");
        HeadlessHost::pump_events(milliseconds);
    }

    // ---- Steps ----

    void create() {
        if (sources_.size() >= kMaxSources) {
            return wait();
        }
        const std::string name = "soak source " + std::to_string(++names_), url = random_input();
        note("create '" + name + "' for " + url);
        sources_.push_back(std::make_unique<TestSource>(name, url, chance(50)));
    }

    void duplicate() {
        if (sources_.size() >= kMaxSources) {
            return wait();
        }
        with_source("duplicate", [this](obs_source_t* original) {
            const std::string name = "soak copy " + std::to_string(++names_);
            sources_.push_back(std::make_unique<TestSource>(obs_source_duplicate(original, name.c_str(), false)));
        });
    }

    // As the Sources dock removes a source; now and then something (a projector) keeps the old instance.
    void remove() {
        if (sources_.empty()) {
            return wait();
        }
        const auto index = static_cast<std::size_t>(pick(static_cast<int>(sources_.size())));
        obs_source_t* source = sources_[index]->get();
        const bool held = chance(30);
        note(std::string("remove '") + obs_source_get_name(source) + (held ? "', still held" : "'"));
        if (held) {
            held_.push_back(obs_source_get_ref(source));
        }
        obs_source_remove(source);
        sources_.erase(sources_.begin() + static_cast<std::ptrdiff_t>(index));
    }

    void release_held() {
        if (held_.empty()) {
            return wait();
        }
        note("let go of a held old instance");
        obs_source_release(held_.front());
        held_.pop_front();
    }

    // The properties window, cancelled or applied with another input. Not while writes are refused: a change
    // the disk refuses is dropped, and the engine keeps the banner it had while the host keeps the new input.
    void panel() {
        const bool apply = refusals_.empty() && chance(60);
        const std::string url = random_input();
        with_source(apply ? "properties, OK with " + url + ", of" : "properties, cancelled, of", [&](obs_source_t* s) {
            obs_properties_destroy(obs_source_properties(s));
            if (apply) {
                const OBSDataAutoRelease settings = obs_data_create();
                obs_data_set_string(settings, "url", url.c_str());
                obs_data_set_int(settings, "poll_seconds", 60 + pick(3) * 60);
                obs_source_update(s, settings);
            }
        });
    }

    // "Load & Preview" while a revision waits (otherwise the button may wait for the service for seconds). Half
    // the time the operator decides at once; otherwise the dialog stays open while other steps run.
    void preview_click() {
        const int now = pick(4);
        with_source(now == 0   ? "Load & Preview, Accept at once, of"
                    : now == 1 ? "Load & Preview, Reject at once, of"
                               : "Load & Preview of",
                    [now](obs_source_t* s) {
                        if (host::property_text(s, "candidate_revision").starts_with("UPDATE WAITING")) {
                            const auto click = [s] { host::click_property_button(s, "preview_candidate"); };
                            now < 2 ? (void)answering_dialog(now == 0 ? "Accept" : "Reject", click) : click();
                        }
                    });
    }

    void answer_dialog(bool undecided) {
        QDialog* dialog = host::open_dialog();
        if (dialog == nullptr) {
            return;
        }
        static const char* const answers[] = {"Accept", "Accept", "Accept", "Reject", "Later", "Cancel", "OK"};
        const QString answer = undecided ? "Later" : answers[pick(7)];
        note("answer '" + dialog->windowTitle().toStdString() + "' with " + answer.toStdString());
        for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
            if (QString::fromStdString(host::shown_text(*button)) == answer) {
                return button->click();
            }
        }
        dialog->reject();
    }

    void toggle_front() {
        note(window_ ? "the host's window goes behind" : "the host's window comes to the front");
        if (window_) {
            window_.reset();
            return;
        }
        window_ = std::make_unique<QMainWindow>();
        ++quiet_;
        host::bring_to_front(*window_);
        --quiet_;
    }

    void publish_banner(int banner) {
        std::vector<standin::StandInRevision> revisions;
        for (int n = 1; n <= published_[static_cast<std::size_t>(banner)]; ++n) {
            const auto number = static_cast<std::uint64_t>(banner * 1000 + n);
            const auto colour = colour_of(number);
            const auto width = 40 + static_cast<std::uint32_t>(n % 5) * 8;
            revisions.push_back(stand_in_revision(number, solid_png(width, 24, colour[0], colour[1], colour[2])));
        }
        publish(banner_name(banner), std::move(revisions));
    }

    // A new revision, or a failure, an unknown banner or an answer cut off for the next request of a banner.
    void service_change() {
        const int banner = pick(kBanners), kind = pick(6);
        const std::string prefix = "/api/public/banners/" + banner_name(banner) + "/";
        if (kind < 2) {
            note("revision " + std::to_string(++published_[static_cast<std::size_t>(banner)]) + " of " +
                 banner_name(banner) + " published");
            return publish_banner(banner);
        }
        const standin::Fault faults[] = {
            {prefix, 1, {500 + pick(4), "text/plain", {}, "down"}},
            {prefix, 1, {chance(50) ? 404 : 410, "text/plain", {}, ""}},
            {prefix,
             1,
             {200, "application/json", {}, std::string(600, ' ') + "{}"},
             chance(50) ? standin::Delivery::cut_short : standin::Delivery::chunked_cut_short},
            {"/", 1, {}, standin::Delivery::reset}};
        note("a fault for " + faults[kind - 2].target_prefix);
        shared_service().add_fault(faults[kind - 2]);
    }

    // The snapshots of the live sources refuse writes for the next 10 to 40 steps.
    void refuse_writes() {
        if (!refusals_.empty()) {
            return wait();
        }
        note("the snapshot folder refuses writes");
        pump_quietly(100); // settings already applied reach their engines first
        for (const auto& source : sources_) {
            try {
                refusals_.push_back(std::make_unique<RefusedSaves>(source->snapshot()));
            } catch (const std::filesystem::filesystem_error&) {
                // the temporary file of a save under way is in the place: this source's writes go on
            }
        }
        refusal_ends_ = steps_run_ + 10 + pick(30);
    }

    void end_refusal() {
        note("the snapshot folder takes writes again");
        refusals_.clear();
        writes_taken_since_.start();
    }

    // ---- Reloads and restarts ----

    // Lets what is under way (settings the host applied, saves, answers) reach the sources until their panels
    // stay the same, and notes what each shows as approved. Writes are taken again first; after a failed save a
    // source starts no save for a second, settings included.
    std::vector<SavedSource> settle_and_save() {
        if (!refusals_.empty()) {
            end_refusal();
        }
        if (writes_taken_since_.isValid() && writes_taken_since_.elapsed() < 1200) {
            pump_quietly(static_cast<int>(1200 - writes_taken_since_.elapsed()));
        }
        std::vector<std::string> before, panels{"unsettled"};
        for (int round = 0; round < 40 && panels != before; ++round) {
            before = std::exchange(panels, {});
            pump_quietly(60);
            for (const auto& source : sources_) {
                panels.push_back(source->info_line("approved_revision") + source->info_line("candidate_revision") +
                                 source->info_line("website_status"));
            }
        }
        std::vector<SavedSource> saved;
        for (const auto& source : sources_) {
            const OBSDataAutoRelease settings = obs_source_get_settings(source->get());
            const auto input = parse_source_settings(obs_data_get_string(settings, "url"), 60, false);
            saved.push_back({shown_approval(source->get()), input.input_kind == BannerInputKind::banner,
                             obs_data_get_json(OBSDataAutoRelease(obs_save_source(source->get())))});
        }
        return saved;
    }

    void load(const std::vector<SavedSource>& saved, const char* how) {
        ++reloads_;
        for (const SavedSource& source : saved) {
            approvals_kept_ += source.comparable && source.approval != 0;
        }
        if (const std::string mismatch = load_collection(saved, sources_); !mismatch.empty()) {
            fail(std::string(how) + ": " + mismatch);
        }
    }

    // As OBS Studio switches scene collections: every source removed and released, then loaded again, in one
    // call or with events in between, now and then while something still holds an old instance.
    void reload() {
        const std::vector<SavedSource> saved = settle_and_save();
        const bool held = chance(40) && !sources_.empty(), across_calls = chance(40);
        note(std::string("reload the collection") + (held ? ", an old instance held" : "") +
             (across_calls ? ", across calls" : ""));
        if (held) {
            held_.push_back(obs_source_get_ref(sources_.front()->get()));
        }
        for (const auto& source : sources_) {
            obs_source_remove(source->get());
        }
        sources_.clear();
        if (across_calls) {
            pump_quietly(pick(100));
        }
        load(saved, "reload");
    }

    // Every source released and destroyed (held old instances too), then loaded again, in this process or first
    // in a fresh one, which shows each approval before the service answers.
    void restart(bool fresh_process) {
        const std::vector<SavedSource> saved = settle_and_save();
        note(fresh_process ? "restart, with a fresh host process" : "restart");
        const std::size_t going = held_.size() + sources_.size(), destroyed = log_count("' destroyed");
        for (obs_source_t* held : std::exchange(held_, {})) {
            obs_source_release(held);
        }
        sources_.clear();
        ++quiet_;
        if (!HeadlessHost::pump_until([&] { return log_count("' destroyed") >= destroyed + going; }, 10000)) {
            fail("a released source was not destroyed");
        }
        --quiet_;
        pump_quietly(100); // the last steps of each teardown run on this thread
        check_no_temporaries();
        if (fresh_process) {
            ++fresh_processes_;
            const auto file = config_root() / "soak-collection.txt", log = config_root() / "soak-child.log";
            std::ofstream out(file);
            for (const SavedSource& source : saved) {
                out << source.approval << ' ' << source.comparable << '\n' << source.json << '\n';
            }
            out.close();
            const std::string command = "KELVARA_TEST_CONFIG_ROOT=" + config_root().string() + " " + program_path +
                                        " --restore " + file.string() + " > " + log.string() + " 2>&1";
            if (std::system(command.c_str()) != 0) {
                fail("the fresh host process did not show every approval: see " + log.string());
            }
        }
        load(saved, "restart");
    }

    // ---- Checks ----

    void check_ids() {
        std::set<std::string> ids;
        for (const auto& source : sources_) {
            // Empty after a reset of the settings until the source's next frame writes it back.
            if (!source->kept_id().empty() && !ids.insert(source->kept_id()).second) {
                fail("two live sources use the snapshot ID " + source->kept_id());
            }
        }
    }

    void check_no_temporaries() {
        std::error_code error;
        for (const auto& entry :
             std::filesystem::directory_iterator(config_root() / "kelvara-banner" / "sources", error)) {
            if (entry.path().extension() == ".tmp" && entry.is_regular_file()) {
                fail("a temporary snapshot was left behind: " + entry.path().string());
            }
        }
    }

    // One source on air: within a few frames it shows the revision its panel calls approved, or nothing.
    void check_output() {
        if (sources_.empty()) {
            return;
        }
        ++outputs_checked_;
        obs_source_t* source = sources_[static_cast<std::size_t>(pick(static_cast<int>(sources_.size())))]->get();
        shared_host().show(source);
        std::uint64_t approved = 0;
        std::vector<int> pixel;
        ++quiet_;
        const bool shows = HeadlessHost::pump_until(
            [&] {
                approved = shown_approval(source);
                pixel = output_pixel(1, obs_source_get_height(source) / 2);
                const auto colour = colour_of(approved);
                return approved == 0 ? pixel[3] == 0 : pixel == std::vector<int>{colour[0], colour[1], colour[2], 255};
            },
            5000);
        --quiet_;
        shared_host().show(nullptr);
        if (!shows) {
            fail(std::string(obs_source_get_name(source)) + " approves " + std::to_string(approved) + " but shows " +
                 std::to_string(pixel[0]) + "," + std::to_string(pixel[1]) + "," + std::to_string(pixel[2]) + "," +
                 std::to_string(pixel[3]) + " on " + std::to_string(obs_source_get_width(source)) + " x " +
                 std::to_string(obs_source_get_height(source)));
        }
    }

    const std::uint64_t seed_;
    const int steps_;
    std::mt19937_64 random_;
    std::vector<int> published_;
    std::vector<std::unique_ptr<TestSource>> sources_;
    std::deque<obs_source_t*> held_;
    std::unique_ptr<QMainWindow> window_;
    std::vector<std::unique_ptr<RefusedSaves>> refusals_;
    int refusal_ends_ = 0;
    QElapsedTimer writes_taken_since_;
    std::mutex log_mutex_; // the watchdog reports too
    std::deque<std::string> log_;
    std::atomic<int> steps_run_ = 0;
    int depth_ = 0, quiet_ = 0, names_ = 0;
    int reloads_ = 0, fresh_processes_ = 0, approvals_kept_ = 0, outputs_checked_ = 0;
    const bool trace_ = std::getenv("KELVARA_SOAK_TRACE") != nullptr;
};

// The fresh host process of a restart: loads the collection while the service never answers.
int restore_in_fresh_process(const std::filesystem::path& file) {
    shared_service().add_fault({"/", -1, {}, standin::Delivery::silence});
    shared_host();
    std::vector<SavedSource> saved;
    std::ifstream in(file);
    for (SavedSource source; in >> source.approval >> source.comparable && std::getline(in >> std::ws, source.json);) {
        saved.push_back(source);
    }
    std::vector<std::unique_ptr<TestSource>> sources;
    const std::string mismatch = load_collection(saved, sources);
    std::fprintf(stderr, "%s\n", mismatch.c_str());
    sources.clear();
    shut_down_shared_host();
    return mismatch.empty() ? 0 : 1;
}

} // namespace
} // namespace kelvara::test

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    kelvara::test::program_path = std::filesystem::canonical("/proc/self/exe").string();
    std::uint64_t seed = std::random_device{}();
    int steps = 2000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--restore") {
            return kelvara::test::restore_in_fresh_process(argv[i + 1]);
        }
        if (option == "--seed") {
            seed = std::stoull(argv[i + 1]);
        } else if (option == "--steps") {
            steps = std::stoi(argv[i + 1]);
        }
    }
    return kelvara::test::Soak(seed, steps).run();
}
