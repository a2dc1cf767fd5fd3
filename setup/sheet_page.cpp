#include "sheet_page.h"

#include <QLineEdit>

#include "object_names.h"

namespace quorvexia::setup {

SheetPage::SheetPage(SetupSettings& settings, int templateId, QWidget* parent)
    : QWidget(parent), settings_(settings), templateId_(templateId) {
    setObjectName(ControlName(templateId));
}

std::string EditText(const QLineEdit* edit, std::size_t maxLength) {
    QByteArray bytes = edit->text().toLocal8Bit();
    return CutText(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), maxLength);
}

void SetEditText(QLineEdit* edit, const std::string& text) {
    edit->setText(QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace quorvexia::setup
