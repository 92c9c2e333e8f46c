#include "review/preview_flow.hpp"

#include "core/log.hpp"
#include "output/frame_composer.hpp"

#include <QtCore/QCoreApplication>
#include <QtCore/QElapsedTimer>
#include <QtCore/QThread>
#include <QtGui/QImage>
#include <QtGui/QPixmap>
#include <QtWidgets/QApplication>
#include <QtWidgets/QDialog>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QVBoxLayout>

#include <obs-module.h>

namespace kelvara {
namespace {

constexpr int kWaitForCandidateMs = 12000;
constexpr int kWaitStepMs = 25;

// Decodes with the output's decoder: Qt's own reader refuses images above its process-wide allocation
// limit, which belongs to the host and stays as the host set it.
QImage decode_preview(const RenderRevision& candidate) {
    auto frame = compose_banner_frame(candidate.image_bytes.span(), false, {});
    if (!frame) {
        return {};
    }
    auto* pixels = frame->pixels.release();
    return QImage(
        pixels, static_cast<int>(frame->width), static_cast<int>(frame->height),
        static_cast<qsizetype>(frame->stride()), QImage::Format_RGBA8888,
        [](void* data) { PixelBufferFree{}(static_cast<std::uint8_t*>(data)); }, pixels);
}

void show_message(QMessageBox::Icon icon, const char* text) {
    const QString title = obs_module_text("Message.Title");
    if (icon == QMessageBox::Information) {
        QMessageBox::information(nullptr, title, text, QMessageBox::Ok, QMessageBox::NoButton);
    } else {
        QMessageBox::warning(nullptr, title, text, QMessageBox::Ok, QMessageBox::NoButton);
    }
}

// A wait cursor while the button waits for discovery, so that it does not look broken.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

bool load_and_preview(ReviewGate& gate) {
    if (preview_registry().route_to_open(&gate)) {
        return false; // this source's preview is open already: it was brought to the front
    }
    // From here until the dialog has closed, an announcement of the candidate raises this preview instead
    // of opening a second one.
    PreviewRegistry::Hold hold(preview_registry(), &gate);
    QCoreApplication::processEvents(QEventLoop::AllEvents, kWaitStepMs);
    if (gate.detached()) {
        return false;
    }
    if (!gate.has_valid_input()) {
        show_message(QMessageBox::Warning, obs_module_text("Message.InvalidInput"));
        return false;
    }
    auto candidate = gate.ready_candidate();
    if (!candidate) {
        gate.retry_discovery();
        candidate = wait_for_preview_candidate(gate);
        if (gate.detached()) {
            return false;
        }
    }
    if (!candidate) {
        if (gate.missing_preview_reason() == MissingPreview::up_to_date) {
            show_message(QMessageBox::Information, obs_module_text("Message.UpToDate"));
        } else {
            show_message(QMessageBox::Warning, obs_module_text("Message.NotLoaded"));
        }
        return false;
    }

    const std::uint64_t revision = candidate->render_revision;
    const PreviewDecision decision = show_candidate_preview(*candidate, false, gate.preview_heading(*candidate), &hold);
    const auto revision_number = static_cast<unsigned long long>(revision);
    // A source that went away meanwhile decides nothing: the gate refuses.
    if (decision == PreviewDecision::reject && gate.reject_if_current(revision)) {
        log_line(LogLevel::info, "[kelvara] Candidate rejected sequence=%llu", revision_number);
        return true;
    }
    if (decision == PreviewDecision::accept && gate.accept_if_current(revision)) {
        log_line(LogLevel::info, "[kelvara] Candidate previewed and accepted sequence=%llu", revision_number);
        return true;
    }
    return false;
}

} // namespace

PreviewDecision show_candidate_preview(const RenderRevision& candidate, bool offer_later, const std::string& heading,
                                       PreviewRegistry::Hold* hold) {
    const QImage image = decode_preview(candidate);
    if (image.isNull()) {
        return PreviewDecision::later;
    }
    QDialog dialog;
    dialog.setWindowTitle(QString(obs_module_text("Preview.Title")).arg(candidate.render_revision));
    dialog.setModal(true);
    auto* layout = new QVBoxLayout(&dialog);
    if (!heading.empty()) {
        auto* source_line = new QLabel(QString::fromStdString(heading), &dialog);
        source_line->setAccessibleName(obs_module_text("Preview.HeadingName"));
        source_line->setTextFormat(Qt::PlainText);
        layout->addWidget(source_line);
    }
    auto* preview = new QLabel(&dialog);
    preview->setAlignment(Qt::AlignCenter);
    preview->setAccessibleName(obs_module_text("Preview.ImageName"));
    preview->setPixmap(QPixmap::fromImage(image.scaled(960, 640, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    layout->addWidget(preview);
    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Yes | QDialogButtonBox::No | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Yes)->setText(obs_module_text("Preview.Accept"));
    buttons->button(QDialogButtonBox::No)->setText(obs_module_text("Preview.Reject"));
    QPushButton* stay = buttons->button(QDialogButtonBox::Cancel);
    if (offer_later) {
        stay->setText(obs_module_text("Preview.Later"));
    }
    // The dialog may open by itself while the operator types elsewhere: Return and Space must not decide.
    stay->setDefault(true);
    stay->setFocus();
    layout->addWidget(buttons);

    PreviewDecision decision = PreviewDecision::later;
    QObject::connect(buttons, &QDialogButtonBox::clicked, &dialog, [&](QAbstractButton* clicked) {
        const auto role = buttons->standardButton(clicked);
        if (role == QDialogButtonBox::Yes) {
            decision = PreviewDecision::accept;
        } else if (role == QDialogButtonBox::No) {
            decision = PreviewDecision::reject;
        }
        dialog.accept();
    });
    if (hold != nullptr) {
        // A second request to preview this source brings this dialog to the front; a source that goes away
        // closes it, deciding nothing.
        hold->showing(
            candidate.render_revision,
            [&dialog] {
                dialog.raise();
                dialog.activateWindow();
            },
            [&dialog, &decision] {
                decision = PreviewDecision::later;
                dialog.reject();
            });
    }
    dialog.exec();
    return decision;
}

std::optional<RenderRevision> wait_for_preview_candidate(ReviewGate& gate) {
    const BusyCursor busy;
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < kWaitForCandidateMs && !gate.detached()) {
        if (auto candidate = gate.ready_candidate()) {
            return candidate;
        }
        if (gate.discovery_caught_up()) {
            return std::nullopt; // answered, and no candidate waits: no reason to keep the operator waiting
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, kWaitStepMs);
        QThread::msleep(kWaitStepMs);
    }
    return std::nullopt;
}

bool load_and_preview(const std::shared_ptr<ReviewGate>& gate) noexcept {
    try {
        return load_and_preview(*gate);
    } catch (const std::exception& error) {
        log_line(LogLevel::error, "[kelvara] Cannot preview candidate: %s", error.what());
        return false;
    }
}

} // namespace kelvara
