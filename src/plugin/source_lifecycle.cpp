// A source's life in the host: creation, removal from the host's collection, a new instance taking the
// snapshot over from an old one, and destruction.

#include "plugin/source_context.hpp"

#include "core/log.hpp"
#include "store/utf8_path.hpp"

#include <obs-module.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>
#include <QtCore/QThread>

#include <stdexcept>

namespace kelvara {
namespace {

std::filesystem::path module_config_root() {
    char* path = obs_module_get_config_path(obs_current_module(), "");
    if (path == nullptr) {
        throw std::runtime_error("OBS module config path is unavailable");
    }
    const std::string utf8(path);
    bfree(path);
    return path_from_utf8(utf8); // OBS hands paths over as UTF-8, also where the system's code page is not
}

bool on_ui_thread() {
    const QCoreApplication* application = QCoreApplication::instance();
    return application != nullptr && QThread::currentThread() == application->thread();
}

} // namespace

SourceContext* SourceContext::create(obs_data_t* settings, obs_source_t* source) noexcept {
    SourceContext* context = nullptr;
    try {
        context = new SourceContext(source, settings, module_config_root());
        context->update_output_size();
        context->restart_discovery();
        if (SnapshotLease* lease = context->identity_.lease()) {
            lease->hold(*context);
        }
        signal_handler_connect(obs_source_get_signal_handler(source), "remove", &SourceContext::on_removed, context);
        context->removal_watched_ = true;
        obs_add_tick_callback(&SourceContext::on_tick, context);
        context->tick_registered_ = true;
        return context;
    } catch (const std::exception& error) {
        delete context;
        log_line(LogLevel::error, "[kelvara] Cannot create source: %s", error.what());
        return nullptr;
    }
}

// A restarted source asks the service at once, without its stored entity tag. The disk refusing that state
// must not cost the source its loaded approval: the restart stays in memory, and the next save writes it.
void SourceContext::restart_discovery() {
    if (!engine_.retry_discovery()) {
        return;
    }
    writer_.wait();
    const std::exception_ptr error = writer_.take_result().value_or(nullptr);
    if (!error) {
        engine_.finish_save(true);
        return;
    }
    log_line(LogLevel::error, "[kelvara] Cannot save restarted discovery: %s", describe_failure(error));
    engine_.commit_unsaved();
}

void SourceContext::on_removed(void* param, calldata_t*) noexcept {
    auto* context = static_cast<SourceContext*>(param);
    // Removed sources are never used again (an undo loads a new instance): a reload may take the snapshot
    // over, and the operator is asked nothing more about this one.
    if (SnapshotLease* lease = context->identity_.lease()) {
        lease->give_up();
    }
    context->review_gate_->detach();
}

// The lease calls it on the UI thread, from the creation of the new instance, before that loads the snapshot.
// The old instance goes on showing its approved banner until the host destroys it.
void SourceContext::retire() noexcept {
    review_gate_->detach();
    {
        std::lock_guard lock(source_mutex_);
        engine_.stop(); // no event starts a save any more
    }
    writer_.stop(); // a save that is being written finishes first
}

// libobs calls destroy on its own destruction thread and frees the host's source as soon as it returns.
// Everything that may read the source or the engine is stopped here: the review gate (which waits for a
// running review call), the removal signal, the tick, the engine and its writer. What belongs to the UI
// thread (the network adapter) is torn down there, and the context freed there.
void SourceContext::destroy(SourceContext* context) noexcept {
    if (context == nullptr) {
        return;
    }
    SnapshotLease* lease = context->identity_.lease();
    if (lease != nullptr) {
        lease->give_up(); // a reload that runs meanwhile takes over, after this instance's last save
    }
    context->review_gate_->detach();
    if (context->removal_watched_) {
        signal_handler_disconnect(obs_source_get_signal_handler(context->source_), "remove", &SourceContext::on_removed,
                                  context);
        context->removal_watched_ = false;
    }
    if (context->tick_registered_) {
        obs_remove_tick_callback(&SourceContext::on_tick, context);
        context->tick_registered_ = false;
    }
    const bool ui_thread = on_ui_thread();
    if (ui_thread) {
        context->metadata_.shutdown();
    }
    {
        std::lock_guard lock(context->source_mutex_);
        context->engine_.stop();
        context->closing_ = true;
        context->worker_.stop();
    }
    context->writer_.stop(); // a save that is being written finishes first, also when retire() stops it
    if (lease != nullptr) {
        lease->release();
    }
    const auto finish = [context] {
        context->metadata_.shutdown();
        delete context;
    };
    if (ui_thread) {
        finish();
    } else {
        QMetaObject::invokeMethod(QCoreApplication::instance(), finish, Qt::QueuedConnection);
    }
}

} // namespace kelvara
