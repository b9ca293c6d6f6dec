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
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

using namespace synctest;

namespace {

using Lines = std::vector<std::string>;

struct TFaults {
    std::string throwOnPut;             // PutFile of a name holding this raises
    std::string throwOnMakeFolder;      // MakeFolder of this relative path raises
    bool shortTemp = false;             // a transfer to a temporary name loses its last byte
    bool failSaveOld = false;           // the previous version cannot be kept
    bool incompleteRescan = false;      // the scan cannot read everything
    bool failSnapshotWrite = false;     // the snapshot cannot be written to the work folder
    bool throwOnSnapshotWrite = false;  // ... and the write raises
    bool rootGone = false;              // the scan finds the folder itself gone
    std::string unreadFolder;           // the scan cannot list this folder below the root
    bool failGet = false;               // a download fails
    bool recursiveRemove = false;       // a folder goes with everything in it (an HTTP DELETE)
    std::function<void()> midCopy;      // runs once, when the first chunk of a copy is written
    int64_t midCopyAfter = 0;           // ... that has at least this many bytes
    std::function<void()> beforeRename; // runs once, just before the copy to beforeRenameOf takes its name
    std::string beforeRenameOf;         // a target's full path
    int throwOnConnect = 0;             // this Connect call (counted from 1) raises
    int connects = 0;
    std::vector<std::string> gotTo;   // local paths GetFile wrote
    std::vector<std::string> putFrom; // local paths PutFile read
};

// The local endpoint with faults, and with the download a remote kind has.
class TFaultyOper : public TWinFileOper {
public:
    explicit TFaultyOper(TFaults* faults) : TWinFileOper(false), faults_(faults) {
        CopyObserver = [faults](TCopyStage stage, const std::string& target) {
            if (stage == csBeforeRename && faults->beforeRename && target == faults->beforeRenameOf) {
                std::exchange(faults->beforeRename, nullptr)();
            }
        };
    }

    int PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr,
                int Reserved) override {
        faults_->putFrom.push_back(LocalPath);
        if (!faults_->throwOnPut.empty() && Attr->Name.find(faults_->throwOnPut) != std::string::npos) {
            throw EInOutError("disk gone");
        }
        const int result = TWinFileOper::PutFile(LocalPath, Source, Attr, Reserved);
        const std::string& name = Attr->Name;
        if (result == 0 && faults_->shortTemp && fs::IsPartFileOf(name, PartOwner)) {
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
    // Connected before every item as a remote kind is, so that a connect
    // that raises meets an item.
    bool ConnectsPerItem() const override { return true; }
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
    int WriteFromStream(std::istream& Stream, TFolderSource* Source, TFileAttri* Attr,
                        bool ClearReadOnly) override {
        if (faults_->failSnapshotWrite) {
            return 1;
        }
        if (faults_->throwOnSnapshotWrite) {
            throw EInOutError("disk gone");
        }
        return TWinFileOper::WriteFromStream(Stream, Source, Attr, ClearReadOnly);
    }
    int ScanTree() override {
        const int result = TWinFileOper::ScanTree();
        if (faults_->incompleteRescan) {
            MarkIncomplete();
        }
        if (faults_->rootGone) {
            RootMissing = true;
            Tree->ListFailed = 1;
        }
        for (TFileTree* child : Tree->Children) {
            if (child->Name == faults_->unreadFolder) {
                child->Children.clear();
                child->ChildCount = 0;
                child->ListFailed = 1;
                UnreadFolders.push_back(child->Name);
            }
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
    // Copies may be written on several threads at once: one of them runs the hook.
    void ChunkWritten(int64_t Copied) override {
        static std::mutex lock;
        std::lock_guard<std::mutex> guard(lock);
        if (faults_->midCopy && Copied >= faults_->midCopyAfter) {
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

// One fault at a time in a second run that overwrites c.txt, deletes d.txt and
// copies a new folder e and a new file n.txt, with previous versions kept and
// copies through a temporary name: the run logs the fault as an error, never
// replaces a file by a broken copy, leaves nothing behind, and keeps the previous
// snapshot when the rescan after the sync could not read everything.
TEST_F(SyncFaultTest, EachFaultIsAnErrorAndChangesNothingItShouldNot) {
    struct Case {
        const char* name;
        std::function<void(TFaults&)> fault; // on the right side
        std::function<Lines()> expected;
        const char* c; // the right c.txt afterwards
        const char* errorLog;
    };
    const auto line = [this](const std::string& rel, const std::string& why) {
        return "Error " + CopyLine(L, R, rel) + " (" + why + ")";
    };
    const std::string notKept = "its previous version could not be kept";
    const Case cases[] = {
        {"exception in a copy", [](TFaults& f) { f.throwOnPut = "c.txt"; },
         [&] {
             return Lines{"Copy Folder e", "Error: " + CopyLine(L, R, "c.txt") + " (disk gone)",
                          "Operator File :2"};
         },
         "one", " msg:Write Error EInOutError:disk gone\r\n"},
        {"exception in a folder copy", [](TFaults& f) { f.throwOnMakeFolder = "e"; },
         [] {
             return Lines{"Error:Write Folder Copy Folder e (no folder)", "Operator File :1"};
         },
         "one", " msg:Write Folder Error EOSError:no folder\r\n"},
        // Counted from the run's first: the folder "e" before the file connects too.
        {"exception while connecting", [](TFaults& f) { f.throwOnConnect = 3; },
         [&] {
             return Lines{"Copy Folder e", "Error: " + CopyLine(L, R, "c.txt") + " (no route to host)",
                          "Operator File :2"};
         },
         "one", " msg:Write Error EOSError:no route to host\r\n"},
        {"short temporary file", [](TFaults& f) { f.shortTemp = true; },
         [&] {
             return Lines{"Copy Folder e", line("c.txt", "the copy is not complete"),
                          "Delete:" + R + "/d.txt", line("n.txt", "the copy is not complete"),
                          "Operator File :4"};
         },
         "one", ""},
        {"previous version not kept", [](TFaults& f) { f.failSaveOld = true; },
         [&] {
             return Lines{"Copy Folder e", line("c.txt", notKept),
                          "Error Delete:" + R + "/d.txt (" + notKept + ")", CopyLine(L, R, "n.txt"),
                          "Operator File :4"};
         },
         "one", ""},
        {"source grows during its copy",
         [this](TFaults& f) { f.midCopy = [this] { std::ofstream(L + "/c.txt", std::ios::app) << "more"; }; },
         [&] {
             return Lines{"Copy Folder e", line("c.txt", "the source changed while it was copied"),
                          "Delete:" + R + "/d.txt", CopyLine(L, R, "n.txt"), "Operator File :4"};
         },
         "one", ""},
        {"incomplete rescan", [](TFaults& f) { f.incompleteRescan = true; },
         [&] {
             return Lines{
                 "Copy Folder e",
                 CopyLine(L, R, "c.txt"),
                 "Delete:" + R + "/d.txt",
                 CopyLine(L, R, "n.txt"),
                 "Operator File :4",
                 "Right folder could not be read completely after the sync; its snapshot keeps what the "
                 "last one said there, with this run's changes."};
         },
         "two, longer", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir folders;
        UseFolders(folders);
        rightFaults = TFaults();
        task.SaveOldFile = 1;
        task.UseTempFile = 1;
        Put(L, "c.txt", "one", kOld);
        Put(L, "d.txt", "dee", kOld);
        AnalyzeAndSync();
        Put(L, "c.txt", "two, longer", kNew);
        Put(L, "n.txt", "new", kNew);
        ASSERT_TRUE(fs::ForceDirectories(L + "/e"));
        std::filesystem::remove(L + "/d.txt");
        Analyze();
        c.fault(rightFaults);
        SyncWithFaults();
        EXPECT_EQ(lines, c.expected());
        EXPECT_EQ(Read(R, "c.txt"), c.c);
        EXPECT_EQ(Code("/c.txt") == saSame, std::string(c.c) != "one");
        EXPECT_NE(ErrorLog().find(c.errorLog), std::string::npos) << ErrorLog();
        EXPECT_TRUE(pairtest::Leftovers(R).empty());
        EXPECT_TRUE(fatal.empty());
    }
}

// A side that could not be scanned again after the sync (a server gone away)
// keeps its last snapshot with what the run did folded in, for both places a
// task keeps its snapshots: the next runs compare against snapshots, carry out
// a later edit instead of calling it a conflict, and find nothing left to do.
// A side whose folder was gone gets no snapshot (writing one would make the
// folder again): the earlier pair stays, and a later edit is a conflict.
TEST_F(SyncFaultTest, SideNotReadAfterTheSyncKeepsSnapshotModeAndWhatTheRunDid) {
    struct Case {
        const char* Name;
        bool RootGone;
        const char* UnreadFolder;  // or, instead of the whole side, this folder is not read
        int32_t EstimateDiskSpace; // 1: snapshots kept here, else in the work folders
        int32_t NextEdit;
    };
    const Case cases[] = {
        {"listing broke off", false, "", 0, saOverwriteLtoR},
        {"listing broke off, snapshots here", false, "", 1, saOverwriteLtoR},
        {"a folder the run wrote to not read", false, "s", 0, saOverwriteLtoR},
        {"folder gone", true, "", 0, saConflict},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        testsupport::TempDir folders;
        UseFolders(folders);
        task.EstimateDiskSpace = c.EstimateDiskSpace;
        rightFaults = TFaults();
        Put(L, "c.txt", "one", kOld);
        Put(L, "d.txt", "dee", kOld);
        Put(L, "s/c.txt", "one", kOld);
        AnalyzeAndSync();
        const std::string rightBefore = testsupport::ReadFile(WorkSnapshot(R));
        Put(L, "c.txt", "two, longer", kNew);
        Put(L, "s/c.txt", "two, longer", kNew);
        std::filesystem::remove(L + "/d.txt");
        Put(L, "n.txt", "new", kNew);
        Analyze();
        rightFaults.incompleteRescan = !c.RootGone && *c.UnreadFolder == '\0';
        rightFaults.rootGone = c.RootGone;
        rightFaults.unreadFolder = c.UnreadFolder;
        SyncWithFaults();
        rightFaults = TFaults();
        ASSERT_EQ(opCount, 4);
        if (c.RootGone) {
            EXPECT_EQ(testsupport::ReadFile(WorkSnapshot(R)), rightBefore);
        }

        Analyze();
        EXPECT_TRUE(analysis->UsedSnapshots);
        EXPECT_EQ(Changes(), 0);
        for (const char* file : {"c.txt", "s/c.txt"}) { // a stale right snapshot makes these conflicts
            Put(L, file, "three, longer still", kNew + 60);
        }
        Analyze(vkAll);
        EXPECT_TRUE(analysis->UsedSnapshots);
        for (const char* file : {"c.txt", "s/c.txt"}) {
            SCOPED_TRACE(file);
            EXPECT_EQ(Code(std::string("/") + file), c.NextEdit);
        }
        Sync();
        for (const char* file : {"c.txt", "s/c.txt"}) {
            EXPECT_EQ(Read(L, file), "three, longer still");
            EXPECT_EQ(Read(R, file), c.NextEdit == saConflict ? "two, longer" : "three, longer still");
        }
        EXPECT_FALSE(Has(R, "d.txt"));
        EXPECT_EQ(Read(R, "n.txt"), "new");
    }
}

// The right snapshot cannot be written to its work folder (a full disk, a
// server gone away), whether the write fails or raises: the left one written
// just before is put back, so the last pair and its stamp still hold, and the
// next analysis compares with them.
TEST_F(SyncFaultTest, SnapshotPairIsReplacedWholeOrNotAtAll) {
    for (const bool raises : {false, true}) {
        SCOPED_TRACE(raises ? "the write raises" : "the write fails");
        testsupport::TempDir folders;
        UseFolders(folders);
        rightFaults = TFaults();
        Put(L, "c.txt", "one", kOld);
        AnalyzeAndSync();
        const std::string leftBefore = testsupport::ReadFile(WorkSnapshot(L));
        Put(L, "c.txt", "two, longer", kNew);
        Analyze();
        (raises ? rightFaults.throwOnSnapshotWrite : rightFaults.failSnapshotWrite) = true;
        const size_t logged = ErrorLog().size();
        SyncWithFaults();
        EXPECT_EQ(lines.back(), "Error: snapshots not saved: Right snapshot could not be written to its work "
                                "folder" +
                                    std::string(raises ? " (disk gone)." : "."));
        EXPECT_EQ(testsupport::ReadFile(WorkSnapshot(L)), leftBefore);
        EXPECT_NE(ErrorLog().find("Right snapshot could not be written", logged), std::string::npos);

        Analyze(); // both sides changed alike since the last pair: nothing to do, and the pair is renewed
        EXPECT_TRUE(analysis->UsedSnapshots);
        EXPECT_EQ(Changes(), 0);
        Sync();
        Put(R, "c.txt", "three, on the right", kNew + 60);
        Analyze();
        EXPECT_EQ(Code("/c.txt"), saOverwriteRtoL);
    }
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
    Put(L, "f/note.skip", "left note", kOld);
    Put(R, "f/note.skip", "right note", kOld);
    for (const char* folder : {"/f", "/h", "/k"}) {
        std::filesystem::remove_all(L + folder);
    }
    Analyze();
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
    EXPECT_EQ(Code("/f"), saError);
    EXPECT_EQ(Code("/k"), saSame);
}

// Every route between the disk and remote kinds (the local endpoint standing in
// for each): a copy between two remote sides goes through a private staging
// file that is gone afterwards, also when the download fails.
TEST_F(SyncFaultTest, EveryRouteBetweenDiskAndRemoteEndpoints) {
    struct Case {
        int32_t left, right;
        bool failGet;
    };
    const Case cases[] = {{dtLocal, dtFtp, false},
                          {dtFtp, dtNetShare, false},
                          {dtFtp, dtWebDav, false},
                          {dtFtp, dtWebDav, true}};
    const std::string staging = cache.path() + "/Tandemora/staging/";
    for (const Case& c : cases) {
        SCOPED_TRACE("kinds " + std::to_string(c.left) + " and " + std::to_string(c.right));
        testsupport::TempDir folders;
        UseFolders(folders);
        leftFaults = TFaults();
        rightFaults = TFaults();
        task.LFolder.DeviceType = dtLocal;
        task.RFolder.DeviceType = dtLocal;
        Put(L, "sub/x.txt", "from the left", kOld);
        Analyze();
        task.LFolder.DeviceType = c.left;
        task.RFolder.DeviceType = c.right;
        leftFaults.failGet = c.failGet;
        SyncWithFaults();

        const std::string copy = CopyLine(L, R, "sub/x.txt");
        EXPECT_EQ(lines, (Lines{c.failGet ? "Error " + copy : copy, "Operator File :1"}));
        EXPECT_EQ(Has(R, "sub/x.txt"), !c.failGet);
        const bool remoteToRemote = c.left != dtLocal && c.right != dtNetShare;
        if (remoteToRemote) {
            ASSERT_EQ(leftFaults.gotTo.size(), 1u);
            EXPECT_EQ(leftFaults.gotTo[0].rfind(staging, 0), 0u) << leftFaults.gotTo[0];
            EXPECT_EQ(rightFaults.putFrom, c.failGet ? Lines{} : Lines{leftFaults.gotTo[0]});
            EXPECT_TRUE(std::filesystem::is_empty(staging));
        } else if (c.left == dtFtp) {
            // A download straight into its folder on the disk side, held open.
            ASSERT_EQ(leftFaults.gotTo.size(), 1u);
            EXPECT_EQ(leftFaults.gotTo[0].rfind("/proc/self/fd/", 0), 0u) << leftFaults.gotTo[0];
        }
        if (!c.failGet) {
            fs::DirEntry entry;
            ASSERT_TRUE(fs::GetEntryInfo(R + "/sub/x.txt", entry));
            EXPECT_EQ(entry.Time, DosOf(kOld));
        }
    }
}

// Small copies wait in their part files for one flush together and take their
// names only after it: a name that cannot be taken by then fails that item
// alone, with its own line and row, and leaves neither the part file nor a
// changed target.
TEST_F(SyncFaultTest, CopyThatCannotTakeItsNameAfterTheSharedFlushFailsAlone) {
    Put(L, "a.txt", "a", kOld);
    Put(L, "b.txt", "b", kOld);
    Analyze();
    // While b.txt is written, a.txt waiting already, a folder takes a.txt's name.
    rightFaults.midCopy = [this] {
        rightFaults.midCopy = [this] { ASSERT_TRUE(fs::ForceDirectories(R + "/a.txt/kept")); };
    };
    SyncWithFaults();
    EXPECT_EQ(lines, (Lines{"Error " + CopyLine(L, R, "a.txt") + " (the target changed after the analysis)",
                            CopyLine(L, R, "b.txt"), "Operator File :2"}));
    EXPECT_EQ(Code("/a.txt"), saError);
    EXPECT_EQ(Code("/b.txt"), saSame);
    EXPECT_EQ(Names(R), (Lines{"__Tandemora__", "a.txt", "b.txt"}));
    EXPECT_EQ(Names(R + "/a.txt"), (Lines{"kept"}));
    EXPECT_EQ(Read(R, "b.txt"), "b");
}

// Another program saves a target while its copy is written or waits in its part
// file for the shared flush: the copy fails with its own line, the other save
// stays, no part file is left, and the next run shows both edits as a conflict
// that the user settles; then nothing is proposed. Small files wait for the
// flush; a large one takes its name at once, after the same check.
TEST_F(SyncFaultTest, TargetSavedMeanwhileIsNeverOverwritten) {
    struct Case {
        const char* name;
        const char* file;
        std::function<void(const std::string&)> save; // the other program's save of a path
        bool large;                                   // a copy too large to wait for the shared flush
        bool timeKept; // the save put the old size and time back, which no later analysis can see
    };
    const std::string big(5 << 20, 'L');
    const auto write = [](const char* bytes, time_t when) {
        return [=](const std::string& path) {
            testsupport::WriteFile(path, bytes);
            SetTime(path, when);
        };
    };
    const Case cases[] = {
        {"longer save", "a.txt", write("saved meanwhile, longer", kNewer), false, false},
        {"same size, time put back", "a.txt",
         [](const std::string& path) {
             std::fstream(path, std::ios::in | std::ios::out | std::ios::binary) << "A";
             SetTime(path, kOld);
         },
         false, true},
        {"saved by a rename", "a.txt",
         [&](const std::string& path) {
             write("renamed in", kOld)(path + ".new");
             std::filesystem::rename(path + ".new", path);
         },
         false, false},
        {"new file made meanwhile", "n.txt", write("made meanwhile", kNewer), false, false},
        {"large file", "big", write("saved meanwhile", kNewer), true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir folders;
        UseFolders(folders);
        rightFaults = TFaults();
        Put(L, "a.txt", "a", kOld);
        Put(L, "big", "b", kOld);
        AnalyzeAndSync();
        Put(L, "a.txt", "a, left", kNew);
        Put(L, "n.txt", "new", kNew);
        Put(L, "big", big, kNew);
        Put(L, "z.txt", "z", kNew);
        Analyze();
        const std::string key = std::string("/") + c.file;
        std::string saved;
        auto save = [&] {
            c.save(R + key);
            saved = Read(R, c.file);
        };
        if (c.large) {
            rightFaults.midCopyAfter = 1 << 20;
            rightFaults.midCopy = save;
        } else {
            rightFaults.beforeRenameOf = R + key;
            rightFaults.beforeRename = save;
        }
        SyncWithFaults();
        const std::string failed =
            "Error " + CopyLine(L, R, c.file) + " (the target changed after the analysis)";
        EXPECT_EQ(std::count(lines.begin(), lines.end(), failed), 1) << testing::PrintToString(lines);
        EXPECT_EQ(lines.back(), "Operator File :4");
        EXPECT_EQ(Code(key), saError);
        EXPECT_EQ(Read(R, c.file), saved);
        EXPECT_EQ(Read(R, "z.txt"), "z");
        EXPECT_TRUE(pairtest::Leftovers(R).empty()) << testing::PrintToString(pairtest::Leftovers(R));
        if (c.timeKept) {
            continue;
        }
        // Both sides changed since the last sync: the user decides.
        Analyze(vkAll);
        EXPECT_EQ(Code(key), saConflict);
        EXPECT_EQ(Changes(), 0);
        Row(key)->Action.store(saOverwriteRtoL);
        Sync();
        EXPECT_EQ(Read(L, c.file), saved);
        Analyze(vkAll);
        EXPECT_EQ(Changes(), 0);
        EXPECT_EQ(Code(key), saSame);
    }
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
        oper.PartOwner = task.SyncID;
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
    const Lines before = Names(R);
    ASSERT_EQ(before.size(), 3u); // the work folder, a.txt and the part file
    const std::string part = before[0] == "__Tandemora__" ? before[2] : before[0];

    AnalyzeAndSync();
    EXPECT_EQ(lines, (Lines{"Removed the part file of an earlier run of this task: " + R + "/" + part,
                            CopyLine(L, R, "big"), "Operator File :1"}));
    EXPECT_EQ(Names(R), (Lines{"__Tandemora__", "a.txt", "big"}));
    EXPECT_EQ(Names(L), (Lines{"__Tandemora__", "a.txt", "big"}));
    Analyze();
    EXPECT_EQ(Changes(), 0);
}
