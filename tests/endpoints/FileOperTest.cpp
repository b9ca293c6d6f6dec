// The endpoint interface as every kind shares it: the scan as a thread with its end
// handler, the terminate request and Stop, the progress protocol, the snapshot
// switch, and what an incomplete scan tells its creator. Exercised through the
// local endpoint, the one kind that needs no server.

#include "EndpointTestSupport.h"

#include <atomic>
#include <sstream>

namespace endpointtest {
namespace {

using testsupport::Exists;
using testsupport::WriteFile;

class FileOperTest : public EndpointTest {
protected:
    // root: a/ (x.txt, b/ (y.txt)), c/, top.txt  -> 4 folders listed with the root
    void MakeSmallTree() {
        WriteFile(Dir / "a/x.txt", "x");
        WriteFile(Dir / "a/b/y.txt", "yy");
        MakeDir(Dir / "c");
        WriteFile(Dir / "top.txt", "top");
    }
};

// A handle that counts how often it was closed.
class TCountingHandle : public TInternetHandle {
public:
    explicit TCountingHandle(std::atomic<int>& closes) : closes_(closes) {}
    void Close() override { ++closes_; }

private:
    std::atomic<int>& closes_;
};

TEST_F(FileOperTest, StopClosesEachNetworkHandleOnceAndRequestsTermination) {
    auto oper = MakeOper();
    std::atomic<int> closes{0};
    oper->hConnect = std::make_shared<TCountingHandle>(closes);
    oper->hSession = std::make_shared<TCountingHandle>(closes);

    oper->Stop();
    EXPECT_TRUE(oper->Terminated());
    EXPECT_EQ(closes.load(), 2);
    EXPECT_EQ(oper->hConnect, nullptr);
    EXPECT_EQ(oper->hSession, nullptr);

    oper->Stop(); // nothing left to close
    EXPECT_EQ(closes.load(), 2);
}

TEST_F(FileOperTest, FreeOnTerminateEndpointHandsItsTreesToTheEndHandler) {
    MakeSmallTree();
    auto* oper = new TWinFileOper(true);
    oper->Source = &Source;
    oper->NotifyWnd = Log.Target();
    TFileTree* tree = nullptr;
    TArenaPtr arena;
    bool ended = false;
    oper->OnTerminate = [&](TThread* thread) {
        auto* done = static_cast<TFileOper*>(thread);
        tree = done->Tree;
        arena = done->TreeArena; // keeps the nodes alive once the endpoint is gone
        ended = true;
    };
    oper->Start();
    ASSERT_TRUE(Log.Dispatcher.WaitAndProcess([&] { return ended; }));
    // The endpoint deletes itself after the handler; the tree must outlive it.
    ASSERT_NE(tree, nullptr);
    const TFileTree* a = FindChild(tree, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(ChildNames(a), (std::vector<std::string>{"b", "x.txt"}));
}

TEST_F(FileOperTest, EndpointWithoutWindowSendsNothing) {
    MakeSmallTree();
    auto oper = MakeOper(false);
    oper->ScanTree();
    TFileAttri attr = Item("/", "top.txt", 3);
    EXPECT_EQ(oper->PutFile(Dir / "a/x.txt", &Source, &attr, 0), 1); // size differs: not copied
    attr.Size = 1;
    EXPECT_EQ(oper->PutFile(Dir / "a/x.txt", &Source, &attr, 0), 0);
    EXPECT_EQ(oper->DeleteFile(&Source, &attr), 0);
    EXPECT_TRUE(Log.Messages.empty());
    EXPECT_EQ(Log.Dispatcher.PendingCount(), 0u);
    EXPECT_EQ(GetSyncStatusText(), "Delete:" + (Dir / "top.txt"));
}

TEST_F(FileOperTest, TerminateBeforeStartLeavesAnIncompleteEmptyTree) {
    MakeSmallTree();
    auto oper = MakeOper();
    oper->Terminate();
    oper->ScanTree();
    EXPECT_EQ(oper->Tree->ChildCount, 0);
    EXPECT_EQ(oper->Tree->ListFailed, 1);
    EXPECT_TRUE(oper->ScanIncomplete);
    EXPECT_FALSE(oper->ScanComplete());
    EXPECT_EQ(Log.Count(WM_UPDATEPROCESS), 1);
}

TEST_F(FileOperTest, StopDuringScanMarksWhatWasNotListed) {
    MakeSmallTree();
    auto oper = MakeOper();
    // The scan sends its step before each folder: stop it as the first sub-folder
    // is about to be listed. Neither "a" nor "c" nor anything below is seen.
    Log.OnMessage = [&](uint32_t msg) {
        if (msg == WM_UPDATEPROCESS && Log.Count(WM_UPDATEPROCESS) == 2) {
            oper->Stop();
        }
    };
    oper->ScanTree();

    EXPECT_TRUE(oper->ScanIncomplete);
    EXPECT_FALSE(oper->ScanComplete());
    EXPECT_EQ(oper->Tree->ListFailed, 1);
    EXPECT_EQ(ChildNames(oper->Tree), (std::vector<std::string>{"a", "c", "top.txt"}));
    for (const char* name : {"a", "c"}) {
        const TFileTree* folder = FindChild(oper->Tree, name);
        ASSERT_NE(folder, nullptr);
        EXPECT_EQ(folder->ListFailed, 1) << name;
        EXPECT_EQ(folder->ChildCount, 0) << name;
    }
    // Not read failures: the folders were skipped, not refused.
    EXPECT_TRUE(oper->UnreadFolders.empty());
}

TEST_F(FileOperTest, SecondScanStartsFromAFreshTree) {
    MakeSmallTree();
    auto oper = MakeOper();
    oper->ScanTree();
    TArenaPtr firstArena = oper->TreeArena;
    TFileTree* first = oper->Tree;
    WriteFile(Dir / "new.txt", "n");
    oper->ScanTree();
    EXPECT_EQ(ChildNames(first), (std::vector<std::string>{"a", "c", "top.txt"}));
    EXPECT_EQ(ChildNames(oper->Tree), (std::vector<std::string>{"a", "c", "new.txt", "top.txt"}));
}

// ---- Snapshot of the work folder ---------------------------------------------------

const char* const GoodSnapshot = "/data/root::2\r\n"
                                 "Sub:1:/:1018262475:-1:16\r\n"
                                 "a.txt:0:/Sub/:1042432000:12:32\r\n"
                                 "b.doc:0:/:1000324989:3000:33\r\n";

struct SnapshotCase {
    const char* Label;
    bool Flag;
    bool WriteSnapshot;
    std::string Text;
    int ExpectedChildren;
    bool ExpectFailed;
};

TEST_F(FileOperTest, ScanLoadsTheWorkFolderSnapshotOnlyWhenAsked) {
    const SnapshotCase cases[] = {
        {"flag off, file present", false, true, GoodSnapshot, 0, false},
        {"flag on, no file", true, false, "", 0, false},
        {"flag on, good file", true, true, GoodSnapshot, 2, false},
        {"flag on, count past the end", true, true, "/data/root::3\r\nx:0:/:1:2:32\r\n", 0, true},
        {"flag on, number field not a number", true, true, "/data/root::1\r\nx:0:/:when:2:32\r\n", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Label);
        const std::string file = Dir / "__Tandemora__/Task123";
        std::filesystem::remove(file);
        if (c.WriteSnapshot) {
            WriteFile(file, c.Text);
        }
        auto oper = MakeOper();
        oper->SnapshotName = "Task123";
        oper->LoadSnapshotFlag = c.Flag;
        oper->ScanTree();

        EXPECT_FALSE(oper->LoadSnapshotFlag);
        EXPECT_EQ(oper->Snapshot->ChildCount, c.ExpectedChildren);
        EXPECT_EQ(oper->Snapshot->Children.size(), static_cast<size_t>(c.ExpectedChildren));
        EXPECT_EQ(oper->SnapshotFailed, c.ExpectFailed);
        // The work folder never shows up in the scanned tree.
        EXPECT_EQ(FindChild(oper->Tree, "__Tandemora__"), nullptr);
        EXPECT_TRUE(Exists(file) == c.WriteSnapshot); // a bad snapshot is left on disk as it was
    }
    // Each snapshot that could not be used left one line in the error log.
    const std::string log = ErrorLogText();
    size_t lines = 0;
    for (size_t at = log.find("Read Snapshot Error"); at != std::string::npos;
         at = log.find("Read Snapshot Error", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 2u);
}

} // namespace
} // namespace endpointtest
