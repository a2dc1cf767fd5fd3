#include "qt_message_boxes.h"

#include <QMessageBox>

namespace quorvexia::setup {

bool QtMessageBoxes::show(MessageKind kind, const std::string& text, void* owner) {
    QMessageBox::Icon icon = kind == MessageKind::Question  ? QMessageBox::Question
                             : kind == MessageKind::Warning ? QMessageBox::Warning
                                                            : QMessageBox::Critical;
    QMessageBox::StandardButtons buttons =
        kind == MessageKind::Question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok;
    QMessageBox box(icon, QString::fromLatin1(kSetupCaption),
                    QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())), buttons,
                    static_cast<QWidget*>(owner));
    bool yes = box.exec() != QMessageBox::No;
    // Without a window manager nobody hands the keyboard back to the window
    // the box came from; give it back, so that the next key reaches the sheet.
    if (auto* window = owner ? static_cast<QWidget*>(owner)->window() : nullptr) window->activateWindow();
    return yes;
}

}  // namespace quorvexia::setup
