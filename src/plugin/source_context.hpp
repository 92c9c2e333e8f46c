#pragma once

#include "core/approval_engine.hpp"
#include "metadata/banner_input.hpp"
#include "metadata/qt_metadata_port.hpp"
#include "output/decode_worker.hpp"
#include "plugin/source_identity.hpp"
#include "review/review_gate.hpp"
#include "store/atomic_snapshot_store.hpp"
#include "store/engine_saves.hpp"
#include "store/snapshot_writer.hpp"

#include <obs.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kelvara {

// What the properties panel shows, read under one lock so that its lines agree with each other.
struct PanelStatus {
    SourceSettings settings;
    WebsiteStatus website_status = WebsiteStatus::available;
    std::optional<std::uint64_t> approved_revision;
    std::optional<std::uint64_t> candidate_revision;
    bool review_ready = false;
};

// One kelvara_banner source: its settings, its approval engine with the four adapters behind the engine's
// ports, the per-frame tick that drives discovery, and the output size the host reads.
//
// No thread waits for the disk while it holds the source lock: the engine saves through a snapshot writer
// thread. The tick (graphics thread) and the host's settings hand their changes over and finish them on a
// later frame; operator events (UI thread) wait for their own save without the lock (run_saving_event).
//
// Who may touch what, and until when (the lifecycle is in source_lifecycle.cpp):
// - The host's source is read only during the host's callbacks, and by review calls through the gate, which
//   destroy detaches before it returns: libobs frees the source right after destroy.
// - The engine and everything it holds are reached only under the source lock, from the tick (graphics
//   thread), the host's settings and the review calls (UI thread).
// - The review side holds the gate, never the context: the context is freed on the UI thread after destroy,
//   while a dialog or a queued announcement may still hold the gate.
class SourceContext final : private ReviewTarget, private SnapshotHolder {
public:
    class SystemClock final : public ClockPort {
    public:
        std::uint64_t now_ms() override;
    };

    // Submits the approved revision to the decode worker, and only when what the output shows would
    // change: the same image with the same QR code is not decoded again.
    class ApprovedOutput final : public RenderPort {
    public:
        ApprovedOutput(SourceContext& context, DecodeWorker& worker, const SourceSettings& settings);
        void show_approved(const std::optional<RenderRevision>& approved) override;
        // The QR code of the settings in force from now on: the output's size at once, its frame with the next
        // submission. Source lock held.
        void follow(const SourceSettings& settings);

    private:
        SourceContext& context_;
        DecodeWorker& worker_;
        std::string qr_text_; // the banner page the QR code links to; empty: no QR code
        bool submitted_ = false;
        ImageBytes::Watch shown_image_;
        std::string shown_qr_text_;
    };

    // The host's create callback: null on failure, which is logged.
    static SourceContext* create(obs_data_t* settings, obs_source_t* source) noexcept;
    // The host's destroy callback. Starts no save, and lets a running one finish: the snapshot holds the last
    // committed state. libobs runs it on its own destruction thread; what belongs to the UI thread (the
    // network adapter) is torn down there, and the context freed there, after everything else has stopped.
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

    // The review side's way to this source, valid after the source went away.
    std::shared_ptr<ReviewGate> review() const noexcept { return review_gate_; }
    PanelStatus panel_status();

private:
    SourceContext(obs_source_t* source, obs_data_t* settings, const std::filesystem::path& config_root);
    ~SourceContext() { review_gate_->detach(); } // already detached, unless creation failed

    // ReviewTarget, through the gate (source_review.cpp).
    std::optional<RenderRevision> ready_candidate() override;
    bool holds_candidate(std::uint64_t revision) override;
    std::string preview_heading(const RenderRevision& candidate) override;
    bool accept_if_current(std::uint64_t revision) override;
    bool reject_if_current(std::uint64_t revision) override;
    bool retry_discovery() override;
    bool discovery_caught_up() override;
    MissingPreview missing_preview_reason() override;
    bool has_valid_input() override;

    // Lifecycle (source_lifecycle.cpp). Stops every save of this instance for good: a new instance of the
    // same source takes its snapshot over, or it is being destroyed.
    void retire() noexcept override;
    // Connected to the host's "remove" signal: the source left the host's collection for good.
    static void on_removed(void* context, calldata_t* data) noexcept;

    // Raises an engine event for a caller that may block (the host's UI thread): waits without the source
    // lock until no other save is pending, raises the event under the lock, lets the writer save without
    // it, and commits under the lock again. Returns the event's result; a failed save throws its exception.
    bool run_saving_event(const std::function<bool(ApprovalEngine&)>& event);
    // Queues the announcement of candidate `revision` to the UI thread.
    void announce(std::uint64_t revision);

    void tick();
    // Source lock held: the next step of discovery, unless a save is pending or a failed one pauses it.
    void advance();
    void note_next_wake();
    void raise_settings(SourceSettings settings);
    void adopt_settings(SourceSettings settings);
    // Source lock held: what a finished save means for the source; logs failures, announces claims.
    void on_save_finished(const FinishedSave& finished);
    void restart_discovery();

    // Sizes the output from the approved revision, else the candidate, else 1 x 1. Source lock held.
    void update_output_size();
    void set_size(std::uint32_t width, std::uint32_t height) noexcept;
    void reset_size() noexcept;
    void store_settings(SourceSettings settings);

    // All an idle tick reads, in one cache line of its own: whether something arrived (an answer, a finished
    // save, settings) and when there is work even if nothing arrives. Set by whoever brings work.
    struct alignas(64) IdleCheck {
        std::atomic<bool> poked{true};
        std::atomic<std::uint64_t> wake_at_ms{0};
        void poke() noexcept { poked.store(true, std::memory_order_release); }
    };
    IdleCheck idle_;
    obs_source_t* source_; // the host's source: see above for who may read it
    SourceIdentity identity_;
    SourceSettings settings_;
    // Width and height in one word so that the size callbacks never see half of a change.
    std::atomic<std::uint64_t> size_{(std::uint64_t{1} << 32) | 1};
    std::atomic<bool> qr_shown_{false}; // the output's layout has a QR code beside the banner
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
    std::shared_ptr<ReviewGate> review_gate_;
    bool tick_registered_ = false;
    bool removal_watched_ = false;
};

} // namespace kelvara
