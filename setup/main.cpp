// korvcfg: edits korv.cfg in the current directory. The command line is not
// used; the program always ends with 0.
#include <QApplication>

#include "artwork.h"
#include "platform/paths.h"
#include "platform/ras_library.h"
#include "qt_message_boxes.h"
#include "setup_sheet.h"
#include "startup.h"

int main(int argc, char** argv) {
    using namespace quorvexia;
    // Only the program's name reaches Qt: no argument changes what korvcfg does.
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);
    QApplication::setWindowIcon(setup::ArtworkIcon(setup::Artwork::Program));

    // Without a provider the Connection page offers the network only; no message.
    static platform::RasLibrary ras;
    ras.load(platform::ProgramDirFromArgv0(argc > 0 ? argv[0] : ""));

    setup::QtMessageBoxes boxes;
    setup::SetupData data;
    return setup::RunSetup(setup::SetupFiles{}, data, boxes, [&](setup::SetupData& d) {
        return setup::RunSetupSheet(d.settings, ras, boxes);
    });
}
