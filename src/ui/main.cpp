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
    // A named run started without a display (a scheduled run, a server) draws
    // its windows off screen instead of failing to start, and what it writes to
    // the error stream is only its own reasons.
    if (argc > 1 && std::getenv("QT_QPA_PLATFORM") == nullptr && !tandemora::SessionHasDisplay()) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        tandemora::QuietenQtMessages();
    }
    return tandemora::ProgramMain(argc, argv);
}
