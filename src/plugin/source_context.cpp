#include "plugin/source_context.hpp"

#include "core/banner_rules.hpp"
#include "core/log.hpp"
#include "output/obs_drawing.hpp"
#include "output/render_layout.hpp"
#include "plugin/source_settings_io.hpp"
#include "review/candidate_notification.hpp"

#include <chrono>

namespace kelvara {
namespace {

// How long the tick starts no new save after one failed (a full disk would otherwise be tried, and
// logged, on every frame).
constexpr std::uint64_t kQuietAfterFailedSaveMs = 1000;

std::uint32_t layout_side(std::uint64_t size, bool qr, bool width) noexcept {
    const auto w = static_cast<std::uint32_t>(size >> 32);
    const auto h = static_cast<std::uint32_t>(size);
    try {
        const RenderLayout layout = compute_render_layout(w, h, qr);
        return width ? layout.canvas_width : layout.canvas_height;
    } catch (const std::exception&) {
        return 1; // cannot happen for sizes of at most 8192; the host gets the neutral size
    }
}

} // namespace

std::uint64_t SourceContext::SystemClock::now_ms() {
    const auto since_origin = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since_origin).count());
}

SourceContext::ApprovedOutput::ApprovedOutput(SourceContext& context, DecodeWorker& worker,
                                              const SourceSettings& settings)
    : context_(context), worker_(worker) {
    follow(settings);
}

// The size and the frame follow one rule: a QR code is shown when it is asked for and links to a banner page.
void SourceContext::ApprovedOutput::follow(const SourceSettings& settings) {
    if (context_.closing_) {
        return;
    }
    qr_text_ = settings.qr_enabled ? banner_page_url(settings) : std::string();
    context_.qr_shown_.store(!qr_text_.empty(), std::memory_order_release);
}

void SourceContext::ApprovedOutput::show_approved(const std::optional<RenderRevision>& approved) {
    if (approved) {
        context_.set_size(approved->width, approved->height);
    }
    const ImageBytes image = approved ? approved->image_bytes : ImageBytes();
    if (submitted_ && image.is(shown_image_) && qr_text_ == shown_qr_text_) {
        return; // the output already shows exactly this
    }
    worker_.submit(approved, !qr_text_.empty(), qr_text_);
    if (approved) {
        // Debug level: OBS writes it only to verbose logs. It shows how often a banner is decoded.
        log_line(LogLevel::debug, "[kelvara] Decode job submitted revision=%llu",
                 static_cast<unsigned long long>(approved->render_revision));
    }
    submitted_ = true;
    shown_image_ = image.watch();
    shown_qr_text_ = qr_text_;
}

SourceContext::SourceContext(obs_source_t* source, obs_data_t* settings, const std::filesystem::path& config_root)
    : source_(source), identity_(source, settings), settings_(parse_source_settings(read_source_settings(settings))),
      store_(snapshot_path(config_root, identity_.value())),
      starting_(starting_states(settings_, store_.load(), store_.load_previous())),
      writer_(store_, [this] { idle_.poke(); }), worker_(obs_texture_backend()), metadata_([this] { idle_.poke(); }),
      output_(*this, worker_, settings_),
      engine_(std::move(starting_.initial), metadata_, writer_, output_, clock_,
              static_cast<std::uint64_t>(settings_.poll_seconds), SaveMode::deferred),
      saves_(engine_, writer_), review_gate_(std::make_shared<ReviewGate>(static_cast<ReviewTarget&>(*this))) {
    engine_.set_kept_state(std::exchange(starting_.kept, std::nullopt));
}

void SourceContext::on_tick(void* param, float) noexcept {
    try {
        static_cast<SourceContext*>(param)->tick();
    } catch (const std::exception& error) {
        log_line(LogLevel::error, "[kelvara] Discovery tick failed: %s", error.what());
    }
}

// Never waits for the disk: a change raised here is written by the writer thread and finished on the first
// later frame on which the write is done. Meanwhile the tick takes no answer, sends no request and claims
// nothing. A frame on which nothing arrived and nothing is due costs a few loads, and no lock.
void SourceContext::tick() {
    // The frame's time (the monotonic clock the engine's clock reads too) is one load that every source's tick
    // shares; reading the clock itself would cost each source more than everything else here.
    if (!idle_.poked.load(std::memory_order_acquire) &&
        obs_get_video_frame_time() / 1000000 < idle_.wake_at_ms.load(std::memory_order_relaxed)) {
        return;
    }
    idle_.poked.store(false, std::memory_order_relaxed); // before looking: what arrives from now on pokes again
    std::lock_guard lock(source_mutex_);
    if (auto finished = saves_.finish_written()) {
        on_save_finished(*finished);
    }
    advance();
    note_next_wake();
}

// Source lock held. Besides what pokes the tick (an answer, a finished save, settings), only a poll coming due
// or the end of the pause after a failed save gives it work; what it left for the next frame gives work at once.
void SourceContext::note_next_wake() {
    std::uint64_t wake = UINT64_MAX;
    const EngineState& state = engine_.state();
    if (requested_settings_ || metadata_.has_completed() || writer_.has_result()) {
        wake = 0;
    } else if (engine_.stopped() || engine_.save_pending() || engine_.in_flight()) {
        wake = UINT64_MAX; // what ends these pokes
    } else if (clock_.now_ms() < quiet_until_ms_) {
        wake = quiet_until_ms_;
    } else if (!state.pinned && is_valid_banner_id(state.banner_id)) {
        wake = state.next_poll_due_ms;
    }
    idle_.wake_at_ms.store(wake, std::memory_order_relaxed);
}

void SourceContext::advance() {
    if (engine_.save_pending() || engine_.stopped() || clock_.now_ms() < quiet_until_ms_) {
        return;
    }
    if (requested_settings_) {
        raise_settings(*std::exchange(requested_settings_, std::nullopt));
        if (engine_.save_pending()) {
            return;
        }
    }
    if (auto completed = metadata_.take_completed()) {
        auto& outcome = completed->outcome;
        log_line(LogLevel::info, "[kelvara] Network outcome request=%llu result=%s",
                 static_cast<unsigned long long>(completed->request_id), outcome_kind_name(outcome.kind));
        // An image the engine does not keep (a revision known or refused already) is dropped by the writer.
        std::vector<ImageBytes> offered;
        if (outcome.revision) {
            offered.push_back(outcome.revision->image_bytes);
        }
        engine_.handle_outcome(completed->request_id, outcome.kind, std::move(outcome.revision),
                               std::move(outcome.etag));
        writer_.release(std::move(offered));
        saves_.note_raiser(SaveRaiser::discovery_answer);
        if (engine_.save_pending()) {
            return;
        }
    }
    engine_.poll_if_due();
    if (engine_.is_review_ready() && engine_.state().website_status == WebsiteStatus::available &&
        engine_.claim_notification()) {
        saves_.note_raiser(SaveRaiser::notification_claim);
    }
}

void SourceContext::on_save_finished(const FinishedSave& finished) {
    update_output_size();
    if (finished.error) {
        quiet_until_ms_ = clock_.now_ms() + kQuietAfterFailedSaveMs;
    }
    switch (finished.raiser) {
    case SaveRaiser::settings:
        if (!finished.error) {
            adopt_settings(*saving_settings_);
        } else {
            log_line(LogLevel::error, "[kelvara] Cannot update source: %s", describe_failure(finished.error));
        }
        saving_settings_.reset();
        return;
    case SaveRaiser::notification_claim:
        if (!finished.error) {
            announce(engine_.state().candidate->render_revision);
            return;
        }
        break;
    case SaveRaiser::discovery_answer:
        break;
    case SaveRaiser::caller:
        return; // its caller reports it
    }
    if (finished.error) {
        log_line(LogLevel::error, "[kelvara] Discovery tick failed: %s", describe_failure(finished.error));
    }
}

void SourceContext::announce(std::uint64_t revision) {
    announce_candidate(review_gate_, revision);
}

bool SourceContext::run_saving_event(const std::function<bool(ApprovalEngine&)>& event) {
    std::unique_lock lock(source_mutex_, std::defer_lock);
    const bool result =
        saves_.run_for_caller(lock, event, [this](const FinishedSave& finished) { on_save_finished(finished); });
    idle_.poke(); // the next frame looks at what the event changed
    return result;
}

std::uint32_t SourceContext::output_width() const noexcept {
    return layout_side(size_.load(std::memory_order_acquire), qr_shown_.load(std::memory_order_acquire), true);
}

std::uint32_t SourceContext::output_height() const noexcept {
    return layout_side(size_.load(std::memory_order_acquire), qr_shown_.load(std::memory_order_acquire), false);
}

void SourceContext::set_size(std::uint32_t width, std::uint32_t height) noexcept {
    if (width != 0 && height != 0 && !closing_) {
        size_.store((std::uint64_t{width} << 32) | height, std::memory_order_release);
    }
}

void SourceContext::reset_size() noexcept {
    if (!closing_) {
        size_.store((std::uint64_t{1} << 32) | 1, std::memory_order_release);
    }
}

void SourceContext::update_output_size() {
    const EngineState& state = engine_.state();
    if (state.approved) {
        set_size(state.approved->width, state.approved->height);
    } else if (state.candidate) {
        set_size(state.candidate->width, state.candidate->height);
    } else {
        reset_size();
    }
}

void SourceContext::store_settings(SourceSettings settings) {
    if (!closing_) {
        settings_ = std::move(settings);
    }
}

void SourceContext::apply_source_settings(obs_data_t* settings) {
    identity_.restore_into(settings);
    SourceSettings parsed = parse_source_settings(read_source_settings(settings));
    std::lock_guard lock(source_mutex_);
    // The latest settings win; they reach the engine once no save is pending, in the order they came.
    requested_settings_ = std::move(parsed);
    idle_.poke();
    advance();
    note_next_wake();
}

// Source lock held, no save pending.
void SourceContext::raise_settings(SourceSettings settings) {
    if (settings.input_kind == BannerInputKind::invalid) {
        // The panel says why; the engine keeps following its previous banner, and the output keeps its QR code.
        store_settings(std::move(settings));
        return;
    }
    const bool pinned = settings.input_kind == BannerInputKind::banner_revision;
    const auto pinned_revision = pinned ? std::optional<std::uint64_t>(settings.revision) : std::nullopt;
    if (!engine_.apply_settings(settings.banner_id, pinned, pinned_revision)) {
        return; // refused: the previous settings stay in force
    }
    if (engine_.save_pending()) {
        saves_.note_raiser(SaveRaiser::settings);
        saving_settings_ = std::move(settings);
        return;
    }
    adopt_settings(std::move(settings));
}

void SourceContext::adopt_settings(SourceSettings settings) {
    engine_.set_poll_interval(static_cast<std::uint64_t>(settings.poll_seconds));
    output_.follow(settings);
    store_settings(std::move(settings));
    output_.show_approved(engine_.state().approved);
    update_output_size();
}

PanelStatus SourceContext::panel_status() {
    std::lock_guard lock(source_mutex_);
    const EngineState& state = engine_.state();
    return {
        settings_, state.website_status, state.approved ? std::optional(state.approved->render_revision) : std::nullopt,
        state.candidate ? std::optional(state.candidate->render_revision) : std::nullopt, engine_.is_review_ready()};
}

void SourceContext::render(gs_effect_t* effect) {
    draw_approved_banner(worker_, effect);
}

} // namespace kelvara
