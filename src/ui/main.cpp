// Tandemora keeps pairs of folders in step.
//
//   tandemora                 the program window (one interactive instance at a time)
//   tandemora "Task name"     runs every task of that name as its scheduled-run
//                             switches say; after a synchronisation it ends by itself,
//                             and without a display whenever its runs have ended;
//                             the exit status tells how they went (see the README)

#include "ui/UProgramMain.h"
#include "ui/UTandemoraApp.h"

#include <cstdlib>

int main(int argc, char** argv) {
    // A named run started without a display (a scheduled run, a server) keeps
    // its windows in memory instead of failing to start, and what it writes to
    // the error stream is only its own reasons. The minimal platform does so
    // without reading the system's fonts, a good part of a short run's start;
    // what nobody sees needs no letters.
    if (argc > 1 && std::getenv("QT_QPA_PLATFORM") == nullptr && !tandemora::SessionHasDisplay()) {
        setenv("QT_QPA_PLATFORM", "minimal", 1);
        tandemora::QuietenQtMessages();
    }
    return tandemora::ProgramMain(argc, argv);
}
