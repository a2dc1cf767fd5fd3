#include "artwork.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QSvgRenderer>

#include "artwork_svg.h"  // generated: the SVG texts of setup/artwork
#include "object_names.h"

namespace quorvexia::setup {

namespace {

const char* SvgText(Artwork art) {
    switch (art) {
        case Artwork::Program: return kSvg_korvcfg;
        case Artwork::Picture: return kSvg_about;
        case Artwork::Modem: return kSvg_modem;
        case Artwork::Network: return kSvg_network;
        case Artwork::Folder: return kSvg_folder;
        case Artwork::Shield: return kSvg_shield;
    }
    return kSvg_korvcfg;
}

}  // namespace

QSize ArtworkSize(Artwork art) {
    QSvgRenderer renderer(QByteArray(SvgText(art)));
    return renderer.defaultSize();
}

QPixmap ArtworkPixmap(Artwork art, QSize size) {
    QSvgRenderer renderer(QByteArray(SvgText(art)));
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
}

QIcon ArtworkIcon(Artwork art) {
    QIcon icon;
    for (int side : {16, 24, 32, 48, 64, 128}) icon.addPixmap(ArtworkPixmap(art, QSize(side, side)));
    return icon;
}

QWidget* IconBeside(Artwork art, int templateId, const char* text) {
    auto* box = new QWidget;
    auto* icon = new QLabel(box);
    icon->setObjectName(RoleName(templateId, "icon"));
    icon->setPixmap(ArtworkPixmap(art, QSize(32, 32)));
    icon->setAlignment(Qt::AlignTop);
    auto* label = new QLabel(QString::fromLatin1(text), box);
    label->setObjectName(RoleName(templateId, "intro"));
    label->setWordWrap(true);
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(icon);
    layout->addWidget(label, 1);
    return box;
}

}  // namespace quorvexia::setup
