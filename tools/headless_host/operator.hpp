#pragma once

#include <QtCore/QString>
#include <QtCore/QTimer>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

class QDialog;

namespace kelvara::host {

// What a person saw of a dialog before answering it.
struct SeenDialog {
    std::string title;                // "" when no dialog opened
    std::string text;                 // a message box's text
    std::string heading;              // the line above a candidate preview
    std::vector<std::string> buttons; // button texts as shown, in layout order
    std::string focused;              // the button that has the keyboard focus
    std::string default_button;       // the button that Return presses
    int preview_width = 0;            // the candidate preview's pixmap size
    int preview_height = 0;
    std::chrono::steady_clock::time_point answered_at;
    bool closed_by_itself = false; // gone before the operator answered, who then answered nothing
};

// A key press instead of a click: what a stray Return does to a dialog.
inline const QString kPressReturn = "<Return>";

// A person at the host, for the tests, the demo and the benchmarks: answers each dialog that opens (only the
// first one when `once`) with the button that `answer` names as shown, or with Return; a dialog without such
// a button is closed. Notes what each dialog showed.
class Operator {
public:
    explicit Operator(QString answer = "Accept", bool once = false);

    QString answer;
    // Runs inside the dialog's event loop, before the answer.
    std::function<void(QDialog&)> before_answer;

    const std::vector<SeenDialog>& seen() const { return seen_; }

private:
    void look(QDialog& dialog);

    bool once_;
    std::vector<SeenDialog> seen_;
    QTimer watcher_;
};

} // namespace kelvara::host
