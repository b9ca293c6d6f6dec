#pragma once
// The start of the program: one interactive instance at a time, the options,
// the registry settings and the language file in a fixed order, then the main
// window and the message loop. Each failure on the way ends the program.

#include <memory>
#include <string>
#include <vector>

class QLocalServer;

namespace tandemora {

class TFMain;
class THintWin;
class TQtMainThreadDispatcher;
class TSysConfig;

// The name of the local server an interactive instance holds while it runs.
inline constexpr const char* kInstanceServerName = "Tandemora";

// Where that server listens: a place of the user's own, so that each user has
// an instance of their own. A socket in the shared temporary folder would let
// another user's program (or a socket planted there) answer for this user's
// instance and end every interactive start. The user's runtime folder when there
// is one, else the temporary folder with the user's id added to the name.
std::string InstanceServerName();

// What a started program holds until it ends. Destroying it closes the main
// window and removes the program-wide objects again.
class TProgramInstance {
public:
    TProgramInstance();
    ~TProgramInstance();
    TProgramInstance(const TProgramInstance&) = delete;
    TProgramInstance& operator=(const TProgramInstance&) = delete;

    std::unique_ptr<TQtMainThreadDispatcher> Dispatcher;
    std::unique_ptr<QLocalServer> InstanceServer; // interactive starts only
    std::unique_ptr<TSysConfig> Config;
    std::unique_ptr<TFMain> MainWindow;
    std::unique_ptr<THintWin> HintWindow; // shows every hint as a balloon
    // Set before the start when there is no display: a failure is then written
    // to the standard error stream and the error log instead of a message box.
    bool WithoutDisplay = false;
    // The exit status when the start ends early (ecOk .. ecCancelled).
    int ExitCode = 0;
};

// Every step up to the message loop, on an existing application object. True
// when the message loop is to run (the main window is then shown); false when
// the program ends here (another interactive instance was shown, or the options
// or the language file could not be read, which a message box has said, or
// without a display the standard error stream and the error log).
bool StartProgram(const std::vector<std::string>& Args, TProgramInstance& Instance);

// Asks a running interactive instance to show its window. True when one answered.
bool ShowRunningInstance();

// The program's main block.
int ProgramMain(int argc, char** argv);

} // namespace tandemora
