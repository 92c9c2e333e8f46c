#include "operator.hpp"

#include "headless_host.hpp"

#include <QtCore/QCoreApplication>
#include <QtGui/QKeyEvent>
#include <QtWidgets/QDialog>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

namespace kelvara::host {

Operator::Operator(QString answer_with, bool once) : answer(std::move(answer_with)), once_(once) {
    QObject::connect(&watcher_, &QTimer::timeout, [this] {
        if (QDialog* dialog = open_dialog()) {
            if (once_) {
                watcher_.stop();
            }
            look(*dialog);
        }
    });
    watcher_.start(2);
}

void Operator::look(QDialog& dialog) {
    SeenDialog seen;
    seen.title = dialog.windowTitle().toStdString();
    if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
        seen.text = box->text().toStdString();
    }
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        if (label->accessibleName() == "Candidate banner preview") {
            seen.preview_width = label->pixmap().width();
            seen.preview_height = label->pixmap().height();
        } else if (label->accessibleName() == "Candidate source") {
            seen.heading = label->text().toStdString();
        }
    }
    QPushButton* target = nullptr;
    for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
        const std::string shown = shown_text(*button);
        seen.buttons.push_back(shown);
        seen.default_button += button->isDefault() ? shown : "";
        seen.focused += dialog.focusWidget() == button ? shown : "";
        target = QString::fromStdString(shown) == answer ? button : target;
    }
    if (before_answer) {
        before_answer(dialog);
    }
    seen.answered_at = std::chrono::steady_clock::now();
    seen.closed_by_itself = !dialog.isVisible();
    seen_.push_back(seen);
    if (seen.closed_by_itself) {
        return;
    }
    if (answer == kPressReturn && dialog.focusWidget() != nullptr) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QCoreApplication::sendEvent(dialog.focusWidget(), &press);
    } else if (target != nullptr) {
        target->click();
    } else {
        dialog.reject();
    }
}

} // namespace kelvara::host
