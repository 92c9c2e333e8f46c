#include "plugin/source_context.hpp"

#include "core/log.hpp"
#include "output/obs_drawing.hpp"
#include "output/render_layout.hpp"
#include "plugin/source_identity.hpp"
#include "plugin/source_settings_io.hpp"
#include "review/candidate_notification.hpp"

#include <obs-module.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>
#include <QtCore/QThread>

#include <chrono>
#include <stdexcept>

namespace kelvara {
namespace {

std::filesystem::path module_config_root() {
    char* path = obs_module_get_config_path(obs_current_module(), "");
    if (path == nullptr) {
        throw std::runtime_error("OBS module config path is unavailable");
    }
    std::filesystem::path root(path);
    bfree(path);
    return root;
}

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

void SourceContext::ApprovedOutput::show_approved(const std::optional<RenderRevision>& approved) {
    if (approved) {
        context_.set_size(approved->width, approved->height);
    } else {
        context_.reset_size();
    }
    worker_.submit(approved, context_.settings_.qr_enabled, banner_page_url(context_.settings_));
}

SourceContext::SourceContext(SourceIdentity identity, std::filesystem::path snapshot, const RawSourceSettings& raw)
    : identity_(std::move(identity)), settings_(parse_source_settings(raw)), qr_enabled_(settings_.qr_enabled),
      store_(std::move(snapshot)), worker_(obs_texture_backend()), output_(*this, worker_),
      engine_(initial_state(store_.load(), settings_), metadata_, store_, output_, clock_,
              static_cast<std::uint64_t>(settings_.poll_seconds)),
      dispatch_object_(std::make_unique<QObject>()) {}

EngineState SourceContext::initial_state(const std::optional<EngineState>& loaded, const SourceSettings& settings) {
    if (loaded && matches_snapshot(*loaded, settings)) {
        return *loaded;
    }
    // A snapshot of other settings stays on disk until the first save replaces it.
    EngineState fresh;
    fresh.banner_id = settings.input_kind == BannerInputKind::invalid ? std::string() : settings.banner_id;
    if (settings.input_kind == BannerInputKind::banner_revision) {
        fresh.pinned = true;
        fresh.pinned_revision = settings.revision;
    }
    return fresh;
}

SourceContext* SourceContext::create(obs_data_t* settings, obs_source_t* source) noexcept {
    SourceContext* context = nullptr;
    try {
        SourceIdentity identity(source, settings);
        auto snapshot = snapshot_path(module_config_root(), identity.value());
        context = new SourceContext(std::move(identity), std::move(snapshot), read_source_settings(settings));
        context->update_output_size();
        context->engine_.retry_discovery();
        obs_add_tick_callback(&SourceContext::on_tick, context);
        context->tick_registered_ = true;
        return context;
    } catch (const std::exception& error) {
        delete context;
        log_line(LogLevel::error, "[kelvara] Cannot create source: %s", error.what());
        return nullptr;
    }
}

void SourceContext::destroy(SourceContext* context) noexcept {
    if (context == nullptr) {
        return;
    }
    context->alive_->store(false);
    if (context->tick_registered_) {
        obs_remove_tick_callback(&SourceContext::on_tick, context);
        context->tick_registered_ = false;
    }
    const bool on_ui_thread = QThread::currentThread() == context->dispatch_object_->thread();
    if (on_ui_thread) {
        context->metadata_.shutdown();
    }
    {
        std::lock_guard lock(context->source_mutex_);
        context->engine_.stop();
        context->closing_ = true;
        context->worker_.stop();
    }
    const auto finish = [context] {
        context->metadata_.shutdown();
        // Destroying the dispatch object discards notifications still queued for this source.
        context->dispatch_object_.reset();
        delete context;
    };
    if (on_ui_thread) {
        finish();
    } else {
        QMetaObject::invokeMethod(QCoreApplication::instance(), finish, Qt::QueuedConnection);
    }
}

void SourceContext::on_tick(void* param, float) noexcept {
    auto* context = static_cast<SourceContext*>(param);
    try {
        std::optional<std::uint64_t> claimed;
        {
            std::lock_guard lock(context->source_mutex_);
            if (auto completed = context->metadata_.take_completed()) {
                auto& outcome = completed->outcome;
                log_line(LogLevel::info, "[kelvara] Network outcome request=%llu result=%s",
                         static_cast<unsigned long long>(completed->request_id), outcome_kind_name(outcome.kind));
                context->engine_.handle_outcome(completed->request_id, outcome.kind, std::move(outcome.revision),
                                                std::move(outcome.etag));
                context->update_output_size();
            }
            context->engine_.poll_if_due();
            ApprovalEngine& engine = context->engine_;
            if (engine.is_review_ready() && engine.state().website_status == WebsiteStatus::available &&
                engine.claim_notification()) {
                claimed = engine.state().candidate->render_revision;
            }
        }
        if (claimed) {
            const std::uint64_t revision = *claimed;
            QMetaObject::invokeMethod(
                context->dispatch_object_.get(),
                [context, revision, alive = context->liveness()] {
                    if (alive->load()) {
                        present_candidate_update(*context, revision);
                    }
                },
                Qt::QueuedConnection);
        }
    } catch (const std::exception& error) {
        log_line(LogLevel::error, "[kelvara] Discovery tick failed: %s", error.what());
    }
}

std::uint32_t SourceContext::output_width() const noexcept {
    return layout_side(size_.load(std::memory_order_acquire), qr_enabled_.load(std::memory_order_acquire), true);
}

std::uint32_t SourceContext::output_height() const noexcept {
    return layout_side(size_.load(std::memory_order_acquire), qr_enabled_.load(std::memory_order_acquire), false);
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
    if (closing_) {
        return;
    }
    settings_ = std::move(settings);
    qr_enabled_.store(settings_.qr_enabled, std::memory_order_release);
}

void SourceContext::apply_source_settings(const RawSourceSettings& raw) {
    SourceSettings parsed = parse_source_settings(raw);
    // The tick reads the settings when an automatic approval shows the new banner, so they are only ever
    // replaced under the source lock, also when the input is refused.
    std::lock_guard lock(source_mutex_);
    if (parsed.input_kind == BannerInputKind::invalid) {
        store_settings(std::move(parsed)); // the engine keeps following its previous banner
        return;
    }
    const bool pinned = parsed.input_kind == BannerInputKind::banner_revision;
    const auto pinned_revision = pinned ? std::optional<std::uint64_t>(parsed.revision) : std::nullopt;
    if (!engine_.apply_settings(parsed.banner_id, pinned, pinned_revision)) {
        return;
    }
    engine_.set_poll_interval(static_cast<std::uint64_t>(parsed.poll_seconds));
    store_settings(std::move(parsed));
    output_.show_approved(engine_.state().approved);
}

SourceSettings SourceContext::settings() {
    std::lock_guard lock(source_mutex_);
    return settings_;
}

void SourceContext::render(gs_effect_t* effect) {
    draw_approved_banner(worker_, effect);
}

} // namespace kelvara
