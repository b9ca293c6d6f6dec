// Items that fail because a server does not answer: a few in a row stop the
// run, anything else starts the count again. The endpoint below plays the
// server, so each item's outcome is fixed by the test.

#include "SyncTestSupport.h"

#include <algorithm>
#include <string>
#include <vector>

using namespace synctest;

namespace {

// The right side: a copy of a file whose outcome is 'S' fails as a server that
// did not answer would make it fail, 'F' fails as a refusal does, 'O' is made.
class TScriptedOper : public TWinFileOper {
public:
    explicit TScriptedOper(std::string Outcomes) : TWinFileOper(false), outcomes_(std::move(Outcomes)) {}
    int PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr,
                int Reserved) override {
        const char outcome = outcomes_.at(static_cast<size_t>(Attr->Name[0] - 'a'));
        if (outcome == 'S') {
            NotAnswering = true;
            return Fail(-1, "Connection timed out");
        }
        if (outcome == 'F') {
            return Fail(-1, "Permission denied");
        }
        return TWinFileOper::PutFile(LocalPath, Source, Attr, Reserved);
    }

private:
    std::string outcomes_;
};

class TScriptedThread : public TTandemoraThread {
public:
    TScriptedThread(TResultRows* View, TSyncTask* Task, std::string Outcomes)
        : TTandemoraThread(View, Task), outcomes_(std::move(Outcomes)) {}

protected:
    std::unique_ptr<TFileOper> CreateOper(const TFolderSource& Source) override {
        if (&Source == &Task->RFolder) {
            return std::make_unique<TScriptedOper>(outcomes_);
        }
        return TTandemoraThread::CreateOper(Source);
    }

private:
    std::string outcomes_;
};

class UnansweredStopTest : public SyncFixture {};

TEST_F(UnansweredStopTest, ThreeSilentItemsInARowStopTheRunAndTheRestWaitsForTheNextRun) {
    struct Case {
        const char* Outcomes; // of the copies of a.txt .. f.txt, in that order
        bool Stops;
        int Tried; // copies tried
    };
    const Case cases[] = {
        {"SSSOOO", true, 3},  {"OSSSOO", true, 4},  {"SSOSSO", false, 6},
        {"SSFSSO", false, 6}, {"OOOOOO", false, 6}, {"SSOOSS", false, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Outcomes);
        testsupport::TempDir dir;
        UseFolders(dir);
        for (char name = 'a'; name <= 'f'; ++name) {
            Put(L, std::string(1, name) + ".txt", std::string(1, name), kOld);
        }
        Analyze();
        ASSERT_EQ(Changes(), 6);
        Sync(new TScriptedThread(&rows, &task, c.Outcomes));
        const std::string outcomes = c.Outcomes;
        const auto stopped = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.rfind("Sync stopped: the server is not answering (" + std::string(), 0) == 0;
        });
        EXPECT_EQ(stopped != lines.end(), c.Stops);
        EXPECT_EQ(opCount, c.Tried);
        const int left = 6 - c.Tried;
        if (c.Stops && stopped != lines.end()) {
            EXPECT_NE(stopped->find("); " + std::to_string(left) + " items were not done"), std::string::npos)
                << *stopped;
            // The silent side is not rescanned, and the snapshot it keeps is
            // neither read nor replaced.
            EXPECT_NE(std::find(lines.begin(), lines.end(),
                                "The snapshots stay as the last sync left them: the server does not answer."),
                      lines.end());
        }
        // What was not tried keeps its copy; what failed is an error; nothing
        // is on the right that was not made there.
        for (char name = 'a'; name <= 'f'; ++name) {
            const size_t i = static_cast<size_t>(name - 'a');
            const std::string file = std::string(1, name) + ".txt";
            const int32_t expected =
                static_cast<int>(i) >= c.Tried ? saCopyLtoR : (outcomes[i] == 'O' ? saSame : saError);
            EXPECT_EQ(Code("/" + file), expected) << file;
            EXPECT_EQ(Has(R, file), static_cast<int>(i) < c.Tried && outcomes[i] == 'O') << file;
            EXPECT_EQ(Read(L, file), std::string(1, name));
        }
        // The next run, with the server answering, brings the rest.
        Analyze();
        Sync();
        for (char name = 'a'; name <= 'f'; ++name) {
            EXPECT_EQ(Read(R, std::string(1, name) + ".txt"), std::string(1, name));
        }
        Analyze();
        EXPECT_EQ(Changes(), 0);
    }
}

} // namespace
