#include "setup_sheet.h"

#include <QDialogButtonBox>
#include <QPushButton>
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
    pages_ = {new AboutPage(settings), MakeMailServersPage(settings), MakeDirectoriesPage(settings),
              new ConnectionPage(settings, ras, boxes), new SecurityPage(settings)};
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
    if (index < 0 || static_cast<std::size_t>(index) >= pages_.size()) return;
    pages_[static_cast<std::size_t>(current_)]->killActive();
    current_ = index;
    pages_[static_cast<std::size_t>(index)]->setActive();
}

void SetupSheet::accept() {
    pages_[static_cast<std::size_t>(current_)]->killActive();
    QDialog::accept();
}

bool RunSetupSheet(SetupSettings& settings, const platform::RasLibrary& ras, MessageBoxes& boxes) {
    SetupSheet sheet(settings, ras, boxes);
    return sheet.exec() == QDialog::Accepted;
}

}  // namespace quorvexia::setup
