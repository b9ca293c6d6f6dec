#include "model/UTUtils.h"
#include "platform/Exceptions.h"
#include "platform/ProgramFolder.h"

#include "TestSupport.h"

#include <clocale>
#include <cstdio>
#include <ctime>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using namespace tandemora;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;

// Splits the log into its lines; each must end with CR LF.
std::vector<std::string> LogLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "line without CR LF: " << text.substr(start);
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

class ErrorLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        oldLocale_ = std::setlocale(LC_ALL, nullptr);
        std::setlocale(LC_ALL, "C");
        SetProgramFolder(dir_.path());
    }
    void TearDown() override {
        SetProgramFolder("");
        std::setlocale(LC_ALL, oldLocale_.c_str());
    }
    std::string LogPath() const { return dir_ / "ErrorInfo.txt"; }
    std::vector<std::string> Lines() const { return LogLines(ReadFile(LogPath())); }

    TempDir dir_;
    ScopedEnv lcAll_{"LC_ALL", "C"};
    std::string oldLocale_;
};

TEST_F(ErrorLogTest, LineLayoutUsesLocalShortDateAndLongTime) {
    struct Case {
        const char* tz;
        long utcOffset; // seconds east of UTC
        std::function<void()> log;
        const char* tail;
    };
    const Case cases[] = {
        {"UTC", 0,
         [] { ErrorLogger.LogError("Read char Error!", EConvertError("'x' is not a valid integer value")); },
         " msg:Read char Error! EConvertError:'x' is not a valid integer value"},
        {"TST-5", 5 * 3600, [] { ErrorLogger.LogError("", EFOpenError("Cannot open file")); },
         " msg: EFOpenError:Cannot open file"},
        {"TST+7", -7 * 3600, [] { ErrorLogger.HandleException(std::runtime_error("boom")); },
         " msg:unknown std::runtime_error:boom"},
    };
    const std::regex layout(R"(^\[Error\]:(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)( msg:.*)$)");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tail);
        ScopedEnv tz("TZ", std::string(c.tz));
        std::remove(LogPath().c_str());

        std::time_t before = std::time(nullptr);
        c.log();
        std::time_t after = std::time(nullptr);

        auto lines = Lines();
        ASSERT_EQ(lines.size(), 1u);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[0], m, layout)) << lines[0];
        EXPECT_EQ(m[2].str(), c.tail);

        // The stamp is the local time of the moment of the call.
        std::tm stamp{};
        ASSERT_NE(strptime(m[1].str().c_str(), "%x %X", &stamp), nullptr);
        std::time_t written = timegm(&stamp) - c.utcOffset;
        EXPECT_GE(written, before);
        EXPECT_LE(written, after);
    }
}

TEST_F(ErrorLogTest, UnwritableLogDropsTheLineAndTheCallerGoesOn) {
    // Tests run as root, so a read-only folder would not stop the write: a folder
    // standing where the file should be does.
    ASSERT_EQ(mkdir(LogPath().c_str(), 0700), 0);
    EXPECT_NO_THROW(ErrorLogger.LogError("lost", EOSError("nowhere to go")));
    EXPECT_NO_THROW(ErrorLogger.HandleException(std::runtime_error("also lost")));
    struct stat st {};
    ASSERT_EQ(stat(LogPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    // A program folder that does not exist is no different.
    SetProgramFolder(dir_ / "missing");
    EXPECT_NO_THROW(ErrorLogger.LogError("lost", EOSError("nowhere to go")));
    EXPECT_FALSE(testsupport::Exists(dir_ / "missing"));
}

TEST_F(ErrorLogTest, ConcurrentWritersNeverInterleaveLines) {
    constexpr int kThreads = 8;
    constexpr int kLinesEach = 20;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            std::string text(3000, static_cast<char>('a' + t));
            for (int i = 0; i < kLinesEach; ++i) {
                ErrorLogger.LogError(text, EOSError(std::to_string(i)));
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    auto lines = Lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesEach));
    std::vector<int> perThread(kThreads, 0);
    for (const auto& line : lines) {
        // "[Error]:" date " " time " msg:" + 3000 times one letter + " EOSError:" + number
        const size_t msg = line.find(" msg:");
        ASSERT_TRUE(line.rfind("[Error]:", 0) == 0 && msg != std::string::npos) << line.substr(0, 80);
        const char letter = line[msg + 5];
        EXPECT_EQ(line.compare(msg + 5, 3010, std::string(3000, letter) + " EOSError:"), 0)
            << line.substr(0, 80);
        ++perThread.at(letter - 'a');
    }
    for (int count : perThread) {
        EXPECT_EQ(count, kLinesEach);
    }
}

} // namespace
