#include "about_page.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "artwork.h"
#include "object_names.h"

namespace quorvexia::setup {

AboutPage::AboutPage(SetupSettings& settings, QWidget* parent) : SheetPage(settings, kAboutTemplate, parent) {
    auto* picture = new QLabel(this);
    picture->setObjectName(RoleName(kAboutTemplate, "picture"));
    picture->setPixmap(ArtworkPixmap(Artwork::Picture, ArtworkSize(Artwork::Picture)));

    auto* line = new QFrame(this);
    line->setObjectName(RoleName(kAboutTemplate, "line"));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);

    auto* icon = new QLabel(this);
    icon->setObjectName(RoleName(kAboutTemplate, "icon"));
    icon->setPixmap(ArtworkPixmap(Artwork::Program, QSize(48, 48)));
    icon->setAlignment(Qt::AlignTop);

    auto* text = new QLabel(QString::fromLatin1(kAboutText), this);
    text->setObjectName(RoleName(kAboutTemplate, "text"));
    QFont font = text->font();
    font.setPointSize(12);
    text->setFont(font);
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addWidget(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(picture, 0, Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(line);
    layout->addLayout(row);
    layout->addStretch();
}

}  // namespace quorvexia::setup
