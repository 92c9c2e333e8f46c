#include "review/candidate_notification.hpp"

#include "core/log.hpp"
#include "review/preview_flow.hpp"
#include "review/preview_registry.hpp"

#include <QtCore/QMetaObject>
#include <QtCore/QTimer>
#include <QtGui/QGuiApplication>
#include <QtWidgets/QApplication>
#include <QtWidgets/QSystemTrayIcon>
#include <QtWidgets/QWidget>

#include <obs-module.h>

#include <mutex>

namespace kelvara {
namespace {

// How long an announcement waits before it looks again at a claimed candidate that is not ready for review.
constexpr int kRecheckMs = 100;

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

void announce_candidate(std::shared_ptr<ReviewGate> gate, std::uint64_t revision) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [gate = std::move(gate), revision] { present_candidate_update(gate, revision); },
        Qt::QueuedConnection);
}

void present_candidate_update(const std::shared_ptr<ReviewGate>& gate, std::uint64_t revision) {
    const auto revision_number = static_cast<unsigned long long>(revision);
    try {
        // The operator is looking at this source's preview already (opened with "Load & Preview"): that
        // dialog comes to the front instead of a second one; a newer revision is presented once it closed.
        if (preview_registry().route_to_open(gate.get(), revision,
                                             [gate, revision] { announce_candidate(gate, revision); })) {
            return;
        }
        const auto candidate = gate->ready_candidate();
        if (!candidate || candidate->render_revision != revision) {
            // Claimed while a save or a request was under way: presented once it is ready, unless replaced,
            // decided or gone by then.
            if (gate->holds_candidate(revision)) {
                QTimer::singleShot(kRecheckMs, QCoreApplication::instance(),
                                   [gate, revision] { present_candidate_update(gate, revision); });
            }
            return;
        }
        if (!host_window_in_front()) {
            request_background_attention(revision);
            return;
        }
        log_line(LogLevel::info, "[kelvara] Presenting candidate update sequence=%llu", revision_number);
        PreviewRegistry::Hold hold(preview_registry(), gate.get());
        const PreviewDecision decision =
            show_candidate_preview(*candidate, true, gate->preview_heading(*candidate), &hold);
        if (gate->detached()) {
            return; // the source went away while the dialog was open, which closed it
        }
        switch (decision) {
        case PreviewDecision::accept:
            if (gate->accept_if_current(revision)) {
                log_line(LogLevel::info, "[kelvara] Candidate update accepted sequence=%llu", revision_number);
            }
            break;
        case PreviewDecision::reject:
            if (gate->reject_if_current(revision)) {
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
