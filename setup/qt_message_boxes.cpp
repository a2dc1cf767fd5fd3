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
    return box.exec() != QMessageBox::No;
}

}  // namespace quorvexia::setup
