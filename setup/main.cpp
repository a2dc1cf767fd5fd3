// korvcfg: edits korv.cfg in the current directory. The command line is not
// used; the program ends with 0, or with 1 when no display can be opened.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "artwork.h"
#include "platform/paths.h"
#include "platform/ras_library.h"
#include "qt_message_boxes.h"
#include "setup_sheet.h"
#include "startup.h"

namespace {

constexpr const char* kTextNoDisplay =
    "korvcfg needs a graphical session and could not open a display; korvconf does the same from a "
    "terminal.\n";

// While the toolkit starts, its complaints about a missing display (several
// lines, then an abort) become one line and exit status 1.
void StartupMessages(QtMsgType type, const QMessageLogContext&, const QString&) {
    if (type != QtFatalMsg) return;
    std::fputs(kTextNoDisplay, stderr);
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quorvexia;
    // Only the program's name reaches Qt: no argument changes what korvcfg does.
    int qtArgc = argc > 0 ? 1 : 0;
    QtMessageHandler previous = qInstallMessageHandler(StartupMessages);
    QApplication app(qtArgc, argv);
    qInstallMessageHandler(previous);
    QApplication::setWindowIcon(setup::ArtworkIcon(setup::Artwork::Program));

    // Without a provider the Connection page offers the network only; no message.
    static platform::RasLibrary ras;
    ras.load(platform::ProgramDirFromArgv0(argc > 0 ? argv[0] : ""));

    setup::QtMessageBoxes boxes;
    setup::SetupData data;
    return setup::RunSetup(setup::FindSetupFiles(""), data, boxes, [&](setup::SetupData& d) {
        return setup::RunSetupSheet(d.settings, ras, boxes);
    });
}
