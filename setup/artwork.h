// The setup program's pictures, drawn as SVG and built into the program: the
// program icon, the About picture and the small icons of the pages.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>

class QWidget;

namespace quorvexia::setup {

enum class Artwork {
    Program,  // the program's icon (the sheet, the About page, message boxes)
    Picture,  // the About page's picture
    Modem,    // beside the list of phonebook entries
    Network,  // beside the Connection page's text
    Folder,   // the Directories page
    Shield,   // the Security page
};

QPixmap ArtworkPixmap(Artwork art, QSize size);
QIcon ArtworkIcon(Artwork art);
QSize ArtworkSize(Artwork art);  // the size it was drawn at

// An icon with a line of text beside it; named "<template>.icon" and
// "<template>.intro".
QWidget* IconBeside(Artwork art, int templateId, const char* text);

}  // namespace quorvexia::setup
