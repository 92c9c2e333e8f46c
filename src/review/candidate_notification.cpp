#include "review/candidate_notification.hpp"

#include "core/log.hpp"
#include "plugin/source_context.hpp"
#include "review/preview_flow.hpp"
#include "review/preview_registry.hpp"

#include <QtGui/QGuiApplication>
#include <QtWidgets/QApplication>
#include <QtWidgets/QSystemTrayIcon>
#include <QtWidgets/QWidget>

#include <obs-module.h>

#include <mutex>

namespace kelvara {
namespace {

bool is_current_candidate(ApprovalEngine& engine, std::uint64_t revision) {
    return engine.is_review_ready() && engine.state().candidate->render_revision == revision;
}

QSystemTrayIcon& candidate_tray_icon() {
    static std::once_flag created;
    static QSystemTrayIcon* icon = nullptr;
    std::call_once(created, [] {
        // Owned by the application object and gone with it; the module never hides or deletes it.
        icon = new QSystemTrayIcon(QGuiApplication::windowIcon(), QCoreApplication::instance());
        icon->setToolTip(obs_module_text("Tray.ToolTip"));
        icon->setVisible(true);
    });
    return *icon;
}

bool host_window_in_front() {
    QWidget* window = QApplication::activeWindow();
    return window != nullptr && !window->isMinimized() && window->isActiveWindow();
}

void request_background_attention(std::uint64_t revision) {
    QApplication::alert(nullptr, 0);
    candidate_tray_icon().showMessage(obs_module_text("Tray.Title"),
                                      QString(obs_module_text("Tray.Message")).arg(revision),
                                      QSystemTrayIcon::Information, 10000);
    log_line(LogLevel::info, "[kelvara] Requested background attention for candidate sequence=%llu",
             static_cast<unsigned long long>(revision));
}

} // namespace

std::optional<RenderRevision> copy_preview_candidate(SourceContext& context) {
    std::lock_guard lock(context.source_mutex());
    ApprovalEngine& engine = context.engine();
    if (!engine.is_review_ready()) {
        return std::nullopt;
    }
    return engine.state().candidate;
}

bool accept_if_current(SourceContext& context, std::uint64_t revision) {
    return context.run_saving_event([revision](ApprovalEngine& engine) {
        return is_current_candidate(engine, revision) && engine.mark_previewed_and_accept();
    });
}

bool reject_if_current(SourceContext& context, std::uint64_t revision) {
    return context.run_saving_event([revision](ApprovalEngine& engine) {
        return is_current_candidate(engine, revision) && engine.reject_candidate();
    });
}

void present_candidate_update(SourceContext& context, std::uint64_t revision) {
    const auto revision_number = static_cast<unsigned long long>(revision);
    try {
        const ContextLiveness alive = context.liveness();
        // The operator is looking at this source's preview already (opened with "Load & Preview"): that
        // dialog comes to the front instead of a second one; a newer revision is presented once it closed.
        if (preview_registry().route_to_open(&context, revision, [&context, revision, alive] {
                if (alive->load()) {
                    context.announce(revision);
                }
            })) {
            return;
        }
        const auto candidate = copy_preview_candidate(context);
        if (!candidate || candidate->render_revision != revision) {
            return; // replaced, decided or restarted since the tick claimed it
        }
        if (!host_window_in_front()) {
            request_background_attention(revision);
            return;
        }
        log_line(LogLevel::info, "[kelvara] Presenting candidate update sequence=%llu", revision_number);
        PreviewRegistry::Hold hold(preview_registry(), &context);
        const PreviewDecision decision =
            show_candidate_preview(*candidate, true, preview_heading(context, *candidate), &hold);
        if (!alive->load()) {
            return; // the source was destroyed while the dialog was open
        }
        switch (decision) {
        case PreviewDecision::accept:
            if (accept_if_current(context, revision)) {
                log_line(LogLevel::info, "[kelvara] Candidate update accepted sequence=%llu", revision_number);
            }
            break;
        case PreviewDecision::reject:
            if (reject_if_current(context, revision)) {
                log_line(LogLevel::info, "[kelvara] Candidate update rejected sequence=%llu", revision_number);
            }
            break;
        case PreviewDecision::later:
            log_line(LogLevel::info, "[kelvara] Candidate update deferred sequence=%llu", revision_number);
            break;
        }
    } catch (const std::exception& error) {
        // A queued call: an exception here would reach the host's event loop.
        log_line(LogLevel::error, "[kelvara] Cannot present candidate update: %s", error.what());
    }
}

} // namespace kelvara
