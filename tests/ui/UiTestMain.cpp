// The window tests run in one application object per process, drawn off screen
// on a screen of 1280 x 800, the size of a small laptop's.

#include "ui/UTandemoraApp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    const std::string screen = (std::filesystem::temp_directory_path() /
                                ("tandemora-ui-screen-" + std::to_string(getpid()) + ".json"))
                                   .string();
    std::ofstream(screen) << R"({"screens": [{"name": "laptop", "width": 1280, "height": 800}]})";
    setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + screen).c_str(), 1);
    tandemora::TApplication app(argc, argv);
    // Read while the application started; the programs a test starts get the
    // plain off-screen platform.
    std::remove(screen.c_str());
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    app.setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
