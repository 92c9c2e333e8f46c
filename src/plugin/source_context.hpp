#pragma once

#include "core/approval_engine.hpp"
#include "metadata/qt_metadata_port.hpp"
#include "output/decode_worker.hpp"
#include "plugin/banner_input.hpp"
#include "plugin/source_identity.hpp"
#include "store/atomic_snapshot_store.hpp"
#include "store/engine_saves.hpp"
#include "store/snapshot_writer.hpp"

#include <obs.h>

#include <QtCore/QObject>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kelvara {

// Whether a context still exists. UI-thread code that keeps a context pointer across an event loop (a
// dialog, a wait) holds a copy of the token and checks it afterwards: the host may destroy the source while
// its events are pumped.
using ContextLiveness = std::shared_ptr<const std::atomic<bool>>;

// One kelvara_banner source: its settings, its approval engine with the four adapters behind the engine's
// ports, the per-frame tick that drives discovery, and the output size the host reads.
//
// No thread waits for the disk while it holds the source lock: the engine saves through a snapshot writer
// thread. The tick (graphics thread) and the host's settings hand their changes over and finish them on a
// later frame; operator events (UI thread) wait for their own save without the lock (run_saving_event).
class SourceContext {
public:
    class SystemClock final : public ClockPort {
    public:
        std::uint64_t now_ms() override;
    };

    // Submits the approved revision to the decode worker, and only when what the output shows would
    // change: the same image with the same QR code is not decoded again.
    class ApprovedOutput final : public RenderPort {
    public:
        ApprovedOutput(SourceContext& context, DecodeWorker& worker) : context_(context), worker_(worker) {}
        void show_approved(const std::optional<RenderRevision>& approved) override;

    private:
        SourceContext& context_;
        DecodeWorker& worker_;
        bool submitted_ = false;
        ImageBytes::Watch shown_image_;
        bool shown_qr_ = false;
        std::string shown_qr_text_;
    };

    // The host's create callback: null on failure, which is logged.
    static SourceContext* create(obs_data_t* settings, obs_source_t* source) noexcept;
    // The host's destroy callback. Starts no save, and lets a running one finish: the snapshot holds the last
    // committed state. libobs runs it on its own destruction thread; what belongs to the UI thread (the
    // network adapter, the dispatch object) is torn down there, and the context freed there, after
    // everything else has stopped.
    static void destroy(SourceContext* context) noexcept;
    // Registered with obs_add_tick_callback: one finished exchange and one discovery step per video frame.
    static void on_tick(void* context, float seconds) noexcept;

    SourceContext(const SourceContext&) = delete;
    SourceContext& operator=(const SourceContext&) = delete;

    // Size reported to the host, from the banner size and the QR flag; never waits for the source lock.
    std::uint32_t output_width() const noexcept;
    std::uint32_t output_height() const noexcept;

    // The host applied settings (its update callback). The engine takes them as soon as no save is pending;
    // a failure is logged then.
    void apply_source_settings(obs_data_t* settings);
    void render(gs_effect_t* effect);

    // Sizes the output from the approved revision, else the candidate, else 1 x 1. Source lock held.
    void update_output_size();

    // Raises an engine event for a caller that may block (the host's UI thread): waits without the source
    // lock until no other save is pending, raises the event under the lock, lets the writer save without
    // it, and commits under the lock again. Returns the event's result; a failed save throws its exception.
    bool run_saving_event(const std::function<bool(ApprovalEngine&)>& event);

    // Queues the announcement of candidate `revision` to the UI thread (present_candidate_update). It runs
    // once the poster has long released the source lock, and never after the source is gone.
    void announce(std::uint64_t revision);
    // The name the operator gave the source in the host. UI thread.
    std::string name() const;

    // Engine reads and events that never save run under this lock.
    std::mutex& source_mutex() noexcept { return source_mutex_; }
    ApprovalEngine& engine() noexcept { return engine_; }
    // A copy of the current settings. libobs applies settings of video sources on its graphics thread, while
    // the panel and the review flows read them on the UI thread, so both sides go through the source lock.
    SourceSettings settings();
    ContextLiveness liveness() const noexcept { return alive_; }

private:
    SourceContext(obs_source_t* source, obs_data_t* settings, const std::filesystem::path& config_root);
    ~SourceContext() = default;

    void tick();
    // Source lock held: the next step of discovery, unless a save is pending or a failed one pauses it.
    void advance();
    void raise_settings(SourceSettings settings);
    void adopt_settings(SourceSettings settings);
    // Source lock held: what a finished save means for the source; logs failures, announces claims.
    void on_save_finished(const FinishedSave& finished);
    void restart_discovery();

    void set_size(std::uint32_t width, std::uint32_t height) noexcept;
    void reset_size() noexcept;
    void store_settings(SourceSettings settings);

    obs_source_t* source_; // the host's source, which outlives the context
    SourceIdentity identity_;
    SourceSettings settings_;
    // Width and height in one word so that the size callbacks never see half of a change.
    std::atomic<std::uint64_t> size_{(std::uint64_t{1} << 32) | 1};
    std::atomic<bool> qr_enabled_{false};
    bool closing_ = false;
    AtomicSnapshotStore store_;
    StartingStates starting_; // moved into the engine at construction, empty afterwards
    SnapshotWriter writer_;
    DecodeWorker worker_;
    QtMetadataPort metadata_;
    SystemClock clock_;
    ApprovedOutput output_;
    ApprovalEngine engine_;
    std::mutex source_mutex_;
    EngineSaves saves_;
    // Settings the host applied that wait for the engine, and those whose change is being saved.
    std::optional<SourceSettings> requested_settings_;
    std::optional<SourceSettings> saving_settings_;
    // After a failed save the tick starts no new one for a while, instead of once per frame.
    std::uint64_t quiet_until_ms_ = 0;
    std::unique_ptr<QObject> dispatch_object_;
    bool tick_registered_ = false;
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

} // namespace kelvara
