// Synchronisations whose endpoint misbehaves: an operation that raises, a
// transfer that comes up short, a previous version that cannot be kept, a rescan
// that cannot see everything, and the routes through remote endpoints with their
// staging files. The endpoint is the local one on real folders, with one fault
// switched on where a real network or disk would fail.

#include "SyncTestSupport.h"
#include "platform/Exceptions.h"

#include <filesystem>
#include <functional>
#include <map>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

using namespace synctest;

namespace {

using Lines = std::vector<std::string>;

struct TFaults {
    std::string throwOnPut;        // PutFile of this item name raises
    std::string throwOnMakeFolder; // MakeFolder of this relative path raises
    bool shortTemp = false;        // a transfer to a temporary name loses its last byte
    bool failSaveOld = false;      // the previous version cannot be kept
    bool incompleteRescan = false; // the scan cannot read everything
    bool failGet = false;          // a download fails
    bool recursiveRemove = false;  // a folder goes with everything in it (an HTTP DELETE)
    std::function<void()> midCopy; // runs once, when the first chunk of a copy is written
    int throwOnConnect = 0;        // this Connect call (counted from 1) raises
    int connects = 0;
    std::vector<std::string> gotTo;   // local paths GetFile wrote
    std::vector<std::string> putFrom; // local paths PutFile read
};

// The local endpoint with faults, and with the download a remote kind has.
class TFaultyOper : public TWinFileOper {
public:
    explicit TFaultyOper(TFaults* faults) : TWinFileOper(false), faults_(faults) {}

    int PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr,
                int Reserved) override {
        faults_->putFrom.push_back(LocalPath);
        if (Attr->Name == faults_->throwOnPut) {
            throw EInOutError("disk gone");
        }
        const int result = TWinFileOper::PutFile(LocalPath, Source, Attr, Reserved);
        const std::string& name = Attr->Name;
        if (result == 0 && faults_->shortTemp && fs::IsPartFileName(name)) {
            std::string path;
            BuildFullPath(Source, Attr, path);
            std::filesystem::resize_file(path, std::filesystem::file_size(path) - 1);
        }
        return result;
    }
    int MakeFolder(const std::string& RelPath) override {
        if (!faults_->throwOnMakeFolder.empty() && RelPath == faults_->throwOnMakeFolder) {
            throw EOSError("no folder");
        }
        return TWinFileOper::MakeFolder(RelPath);
    }
    int MakeFolderLike(const std::string& RelPath, const std::string& SourcePath) override {
        if (!faults_->throwOnMakeFolder.empty() && RelPath == faults_->throwOnMakeFolder) {
            throw EOSError("no folder");
        }
        return TWinFileOper::MakeFolderLike(RelPath, SourcePath);
    }
    int Connect() override {
        if (++faults_->connects == faults_->throwOnConnect) {
            throw EOSError("no route to host");
        }
        return TWinFileOper::Connect();
    }
    int RemoveFolder(TFolderSource* Source, TFileAttri* Attr) override {
        if (!faults_->recursiveRemove) {
            return TWinFileOper::RemoveFolder(Source, Attr);
        }
        std::string path;
        BuildFullPath(Source, Attr, path);
        std::error_code error;
        return std::filesystem::remove_all(path, error) > 0 ? 0 : -1;
    }
    int SaveOldFile(TFolderSource* Source, TFileAttri* Attr) override {
        return faults_->failSaveOld ? 1 : TWinFileOper::SaveOldFile(Source, Attr);
    }
    int ScanTree() override {
        const int result = TWinFileOper::ScanTree();
        if (faults_->incompleteRescan) {
            MarkIncomplete();
        }
        return result;
    }
    int GetFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr, int) override {
        faults_->gotTo.push_back(LocalPath);
        if (faults_->failGet) {
            return -1;
        }
        std::string path;
        BuildFullPath(Source, Attr, path);
        const int result = CopyWithProgress(path, LocalPath, Attr->Size);
        if (result == 0) {
            fs::SetFileDosTime(LocalPath, Attr->Time);
        }
        return result;
    }

protected:
    void ChunkWritten(int64_t) override {
        if (faults_->midCopy) {
            std::exchange(faults_->midCopy, nullptr)();
        }
    }

private:
    TFaults* faults_;
};

class TFaultyThread : public TTandemoraThread {
public:
    TFaultyThread(TResultRows* view, TSyncTask* task, TFaults* left, TFaults* right)
        : TTandemoraThread(view, task), left_(left), right_(right) {}

protected:
    std::unique_ptr<TFileOper> CreateOper(const TFolderSource& Source) override {
        return std::make_unique<TFaultyOper>(&Source == &Task->LFolder ? left_ : right_);
    }

private:
    TFaults* left_;
    TFaults* right_;
};

} // namespace

class SyncFaultTest : public SyncFixture {
protected:
    void SyncWithFaults() { Sync(new TFaultyThread(&rows, &task, &leftFaults, &rightFaults)); }

    TFaults leftFaults;
    TFaults rightFaults;
};

TEST_F(SyncFaultTest, ExceptionInACopyIsLoggedAndStopsTheRun) {
    Put(L, "a.txt", "a", kOld);
    Put(L, "b.txt", "b", kOld);
    Put(L, "c.txt", "c", kOld);
    Analyze();
    rightFaults.throwOnPut = "b.txt";
    SyncWithFaults();

    EXPECT_EQ(lines, (Lines{CopyLine(L, R, "a.txt"), "Error: " + CopyLine(L, R, "b.txt") + " (disk gone)",
                            "Operator File :2"}));
    EXPECT_EQ(Code("/a.txt"), saSame);
    EXPECT_EQ(Code("/b.txt"), saError);
    EXPECT_EQ(Code("/c.txt"), saCopyLtoR);
    EXPECT_FALSE(Has(R, "c.txt"));
    EXPECT_NE(ErrorLog().find(" msg:Write Error EInOutError:disk gone\r\n"), std::string::npos) << ErrorLog();
    // Something was attempted, so the snapshots are written all the same.
    EXPECT_EQ(SnapshotItems(WorkSnapshot(R)), (Lines{R, "a.txt"}));
    EXPECT_TRUE(fatal.empty());
}

TEST_F(SyncFaultTest, ExceptionInAFolderCopyIsLoggedAndStopsTheRun) {
    ASSERT_TRUE(fs::ForceDirectories(L + "/e"));
    Put(L, "z.txt", "z", kOld);
    Analyze();
    rightFaults.throwOnMakeFolder = "e";
    SyncWithFaults();

    EXPECT_EQ(lines, (Lines{"Error:Write Folder Copy Folder e (no folder)", "Operator File :1"}));
    EXPECT_EQ(Code("/e"), saError);
    EXPECT_EQ(Code("/z.txt"), saCopyLtoR);
    EXPECT_FALSE(Has(R, "z.txt"));
    EXPECT_NE(ErrorLog().find(" msg:Write Folder Error EOSError:no folder\r\n"), std::string::npos);
}

TEST_F(SyncFaultTest, ExceptionWhileConnectingNamesTheItem) {
    Put(L, "a.txt", "a", kOld);
    Put(L, "b.txt", "b", kOld);
    Analyze();
    rightFaults.throwOnConnect = 2; // the first Connect makes the work folder
    SyncWithFaults();

    EXPECT_EQ(lines,
              (Lines{"Error: " + CopyLine(L, R, "a.txt") + " (no route to host)", "Operator File :1"}));
    EXPECT_EQ(Code("/a.txt"), saError);
    EXPECT_EQ(Code("/b.txt"), saCopyLtoR);
    EXPECT_NE(ErrorLog().find(" msg:Write Error EOSError:no route to host\r\n"), std::string::npos);
}

// An endpoint that removes a folder with its contents must never get a folder that
// still holds something: a file the filters keep out of the sync, or one whose
// deletion was refused because it changed after the analysis.
TEST_F(SyncFaultTest, FolderThatStillHoldsItemsIsNotRemoved) {
    task.ExcludeFilter = {"\\.skip$"};
    Put(L, "f/a.txt", "a", kOld);
    Put(L, "f/g/x.txt", "x", kOld);
    Put(L, "h/b.txt", "b", kOld);
    Put(L, "k/c.txt", "c", kOld);
    Put(L, "keep.txt", "keep", kOld);
    AnalyzeAndSync();
    ASSERT_EQ(opCount, 5);
    Put(L, "f/note.skip", "left note", kOld);
    Put(R, "f/note.skip", "right note", kOld);
    std::filesystem::remove_all(L + "/f");
    std::filesystem::remove_all(L + "/h");
    std::filesystem::remove_all(L + "/k");
    Analyze();
    ASSERT_EQ(Code("/f"), saDeleteRight);
    ASSERT_EQ(Code("/h"), saDeleteRight);
    Put(R, "h/b.txt", "b edited on the right", kNewer);
    rightFaults.recursiveRemove = true;
    SyncWithFaults();

    EXPECT_EQ(lines,
              (Lines{"Delete:" + R + "/f/g/x.txt", "Delete Folder " + R + "/f/g", "Delete:" + R + "/f/a.txt",
                     "Error Delete Folder " + R + "/f (it still holds items)",
                     "Error Delete:" + R + "/h/b.txt (the target changed after the analysis)",
                     "Error Delete Folder " + R + "/h (it still holds items)", "Delete:" + R + "/k/c.txt",
                     "Delete Folder " + R + "/k", "Operator File :4"}));
    EXPECT_EQ(Read(R, "f/note.skip"), "right note");
    EXPECT_EQ(Read(R, "h/b.txt"), "b edited on the right");
    EXPECT_FALSE(Has(R, "f/g"));
    EXPECT_FALSE(Has(R, "k"));
    EXPECT_EQ(Code("/f"), saError);
    EXPECT_EQ(Code("/h"), saError);
    EXPECT_EQ(Code("/f/g"), saSame);
    EXPECT_EQ(Code("/k"), saSame);
}

TEST_F(SyncFaultTest, ShortTemporaryFileNeverTakesTheFinalName) {
    task.UseTempFile = 1;
    Put(L, "c.txt", "first", kOld);
    AnalyzeAndSync();
    Put(L, "c.txt", "second version", kNew);
    Analyze();
    rightFaults.shortTemp = true;
    SyncWithFaults();

    EXPECT_EQ(lines, (Lines{"Error " + CopyLine(L, R, "c.txt") + " (the copy is not complete)",
                            "Operator File :1"}));
    EXPECT_EQ(Read(R, "c.txt"), "first");
    EXPECT_EQ(Names(R), (Lines{"__Tandemora__", "c.txt"})); // the broken copy is not left behind
    EXPECT_EQ(Code("/c.txt"), saError);

    // Nothing stands in the way of the next try.
    rightFaults.shortTemp = false;
    Analyze();
    SyncWithFaults();
    EXPECT_EQ(Read(R, "c.txt"), "second version");
    EXPECT_EQ(Code("/c.txt"), saSame);
}

TEST_F(SyncFaultTest, NoOverwriteOrDeletionWhenThePreviousVersionCannotBeKept) {
    task.SaveOldFile = 1;
    Put(L, "c.txt", "one", kOld);
    Put(L, "d.txt", "dee", kOld);
    AnalyzeAndSync();
    Put(L, "c.txt", "two", kNew);
    std::filesystem::remove(L + "/d.txt");
    Analyze();
    rightFaults.failSaveOld = true;
    SyncWithFaults();

    const std::string notKept = " (its previous version could not be kept)";
    EXPECT_EQ(lines, (Lines{"Error " + CopyLine(L, R, "c.txt") + notKept,
                            "Error Delete:" + R + "/d.txt" + notKept, "Operator File :2"}));
    EXPECT_EQ(Read(R, "c.txt"), "one");
    EXPECT_EQ(Read(R, "d.txt"), "dee");
}

TEST_F(SyncFaultTest, IncompleteRescanKeepsThePreviousSnapshot) {
    Put(L, "a.txt", "a", kOld);
    AnalyzeAndSync();
    const std::string rightBefore = testsupport::ReadFile(WorkSnapshot(R));
    ASSERT_FALSE(rightBefore.empty());

    Put(L, "n.txt", "n", kNew);
    Analyze();
    rightFaults.incompleteRescan = true;
    SyncWithFaults();

    EXPECT_EQ(lines, (Lines{CopyLine(L, R, "n.txt"), "Operator File :1",
                            "Right snapshot not saved: the folder could not be read completely after the "
                            "sync; the previous snapshot stays."}));
    EXPECT_EQ(Read(R, "n.txt"), "n");
    EXPECT_EQ(testsupport::ReadFile(WorkSnapshot(R)), rightBefore);
    EXPECT_EQ(SnapshotItems(WorkSnapshot(L)), (Lines{L, "a.txt", "n.txt"}));
}

TEST_F(SyncFaultTest, EveryRouteBetweenDiskAndRemoteEndpoints) {
    struct Case {
        int32_t left, right;
    };
    const std::vector<Case> cases = {{dtLocal, dtFtp}, {dtFtp, dtNetShare}, {dtFtp, dtWebDav}};
    for (const Case& c : cases) {
        SCOPED_TRACE("kinds " + std::to_string(c.left) + " and " + std::to_string(c.right));
        testsupport::TempDir folders;
        UseFolders(folders);
        leftFaults = TFaults();
        rightFaults = TFaults();
        task.LFolder.DeviceType = dtLocal;
        task.RFolder.DeviceType = dtLocal;
        Put(L, "sub/x.txt", "from the left", kOld);
        Put(R, "y.txt", "from the right", kOld);
        Analyze();
        task.LFolder.DeviceType = c.left;
        task.RFolder.DeviceType = c.right;
        SyncWithFaults();

        EXPECT_EQ(lines, (Lines{CopyLine(L, R, "sub/x.txt"), CopyLine(R, L, "y.txt"), "Operator File :2"}));
        EXPECT_EQ(Read(R, "sub/x.txt"), "from the left");
        EXPECT_EQ(Read(L, "y.txt"), "from the right");
        fs::DirEntry entry;
        ASSERT_TRUE(fs::GetEntryInfo(R + "/sub/x.txt", entry));
        EXPECT_EQ(entry.Time, DosOf(kOld));
        const bool remoteToRemote = c.left != dtLocal && c.right != dtNetShare;
        if (remoteToRemote) {
            // Each copy passed through its own private staging file, gone afterwards.
            const std::string staging = cache.path() + "/Tandemora/staging/";
            ASSERT_EQ(leftFaults.gotTo.size(), 1u);
            ASSERT_EQ(rightFaults.gotTo.size(), 1u);
            EXPECT_NE(leftFaults.gotTo[0], rightFaults.gotTo[0]);
            for (const std::string& path : {leftFaults.gotTo[0], rightFaults.gotTo[0]}) {
                EXPECT_EQ(path.rfind(staging, 0), 0u) << path;
                EXPECT_FALSE(testsupport::Exists(path));
            }
            EXPECT_EQ(rightFaults.putFrom, (Lines{leftFaults.gotTo[0]}));
            EXPECT_TRUE(std::filesystem::is_empty(staging));
        } else if (c.left == dtFtp) {
            // A download straight into its folder on the disk side, held open.
            ASSERT_EQ(leftFaults.gotTo.size(), 1u);
            EXPECT_EQ(leftFaults.gotTo[0].rfind("/proc/self/fd/", 0), 0u) << leftFaults.gotTo[0];
        } else {
            EXPECT_TRUE(leftFaults.gotTo.empty());
        }
    }
}

TEST_F(SyncFaultTest, FailedDownloadBetweenRemotesSendsNothingAndLeavesNoStagingFile) {
    Put(L, "x.txt", "x", kOld);
    Analyze();
    task.LFolder.DeviceType = dtFtp;
    task.RFolder.DeviceType = dtWebDav;
    leftFaults.failGet = true;
    SyncWithFaults();

    EXPECT_EQ(lines, (Lines{"Error " + CopyLine(L, R, "x.txt"), "Operator File :1"}));
    EXPECT_TRUE(rightFaults.putFrom.empty());
    EXPECT_FALSE(Has(R, "x.txt"));
    ASSERT_EQ(leftFaults.gotTo.size(), 1u);
    EXPECT_FALSE(testsupport::Exists(leftFaults.gotTo[0]));
    EXPECT_TRUE(std::filesystem::is_empty(cache.path() + "/Tandemora/staging/"));
}

TEST_F(SyncFaultTest, SourceThatGrowsDuringItsCopyIsAnErrorAndIsCopiedByTheNextRun) {
    Put(L, "big", std::string(3 * 1048576, 'b'), kOld);
    Analyze();
    rightFaults.midCopy = [this] { std::ofstream(L + "/big", std::ios::app) << "appended meanwhile"; };
    SyncWithFaults();
    EXPECT_EQ(lines, (Lines{"Error " + CopyLine(L, R, "big") + " (the source changed while it was copied)",
                            "Operator File :1"}));
    EXPECT_EQ(Code("/big"), saError);
    EXPECT_EQ(Names(R), (Lines{"__Tandemora__"})); // neither the copy nor its part file

    AnalyzeAndSync();
    EXPECT_EQ(lines, (Lines{CopyLine(L, R, "big"), "Operator File :1"}));
    EXPECT_EQ(Read(R, "big"), Read(L, "big"));
    Analyze();
    EXPECT_EQ(Changes(), 0);
}

// A run killed during a copy (a forked process ended at the copy's first chunk,
// as a kill or a power cut would end it) leaves a part file in the target folder.
// The next run never shows it nor copies it back, and removes it.
TEST_F(SyncFaultTest, CopyKilledHalfWayLeavesNothingTheNextRunsTakeForUserData) {
    Put(L, "a.txt", "a", kOld);
    AnalyzeAndSync();
    Put(L, "big", std::string(3 * 1048576, 'b'), kNew);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TFaults faults;
        faults.midCopy = [] { raise(SIGKILL); };
        TFaultyOper oper(&faults);
        oper.Source = &task.RFolder;
        TFileAttri attr;
        attr.RelPath = "/";
        attr.Name = "big";
        attr.Size = 3 * 1048576;
        oper.PutFile(L + "/big", &task.RFolder, &attr, 0);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_EQ(Names(R).size(), 3u); // the work folder, a.txt and the part file

    AnalyzeAndSync();
    EXPECT_EQ(ShownKeys(), (Lines{"/big"}));
    EXPECT_EQ(lines, (Lines{CopyLine(L, R, "big"), "Operator File :1"}));
    EXPECT_EQ(Names(R), (Lines{"__Tandemora__", "a.txt", "big"}));
    EXPECT_EQ(Names(L), (Lines{"__Tandemora__", "a.txt", "big"}));
    Analyze();
    EXPECT_EQ(Changes(), 0);
}
