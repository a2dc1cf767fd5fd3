#include "setup_sheet.h"

#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "about_page.h"
#include "artwork.h"
#include "connection_page.h"
#include "security_page.h"
#include "text_fields_page.h"

namespace quorvexia::setup {

SetupSheet::SetupSheet(SetupSettings& settings, const platform::RasLibrary& ras, MessageBoxes& boxes,
                       QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("sheet"));
    setWindowTitle(QString::fromLatin1(kSetupCaption));
    setWindowIcon(ArtworkIcon(Artwork::Program));
    setModal(true);

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("tabs"));
    // Every tab stays in sight: no scroll arrows, no shortened titles, so the
    // row of tabs sets the sheet's narrowest width.
    tabs_->setUsesScrollButtons(false);
    tabs_->setElideMode(Qt::ElideNone);
    pages_ = {new AboutPage(settings), MakeMailServersPage(settings), MakeDirectoriesPage(settings),
              new ConnectionPage(settings, ras, boxes), new SecurityPage(settings, boxes)};
    const char* titles[] = {"About", "Mail servers", "Directories", "Connection", "Security"};
    for (std::size_t i = 0; i < pages_.size(); ++i) tabs_->addTab(pages_[i], QString::fromLatin1(titles[i]));
    tabs_->setCurrentIndex(0);
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) { tabChanged(index); });

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    QPushButton* cancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancel"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons);

    pages_[0]->setActive();
}

void SetupSheet::tabChanged(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= pages_.size() || index == current_) return;
    // The page being left stays in front while it reads back (and perhaps
    // explains why it cannot be left).
    {
        QSignalBlocker quiet(tabs_);
        tabs_->setCurrentIndex(current_);
    }
    if (!pages_[static_cast<std::size_t>(current_)]->killActive()) return;
    {
        QSignalBlocker quiet(tabs_);
        tabs_->setCurrentIndex(index);
    }
    current_ = index;
    pages_[static_cast<std::size_t>(index)]->setActive();
}

void SetupSheet::accept() {
    if (!pages_[static_cast<std::size_t>(current_)]->killActive()) return;
    QDialog::accept();
}

// Keys that no control took reach the sheet; those that step through the
// tabs do so from OK and Cancel as well as from inside a page.
void SetupSheet::keyPressEvent(QKeyEvent* event) {
    const bool control = event->modifiers() & Qt::ControlModifier;
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    int step = 0;
    if (control && event->key() == Qt::Key_Tab) step = shift ? -1 : 1;
    if (control && event->key() == Qt::Key_Backtab) step = -1;
    if (control && event->key() == Qt::Key_PageDown) step = 1;
    if (control && event->key() == Qt::Key_PageUp) step = -1;
    if (step == 0) return QDialog::keyPressEvent(event);
    const int count = tabs_->count();
    tabs_->setCurrentIndex((current_ + step + count) % count);
}

bool RunSetupSheet(SetupSettings& settings, const platform::RasLibrary& ras, MessageBoxes& boxes) {
    SetupSheet sheet(settings, ras, boxes);
    return sheet.exec() == QDialog::Accepted;
}

}  // namespace quorvexia::setup
