// The local endpoint on real folders: what a scan lists and in which order, what
// it refuses to pretend about, and the single file operations the sync thread
// uses (safe write, copies with progress, previous versions, deletes).

#include "EndpointTestSupport.h"

#include "platform/Exceptions.h"

#include <algorithm>
#include <array>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <tuple>
#include <utility>

namespace endpointtest {
namespace {

using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::WriteFile;

class WinFileOperTest : public EndpointTest {};

// The names in a folder, to see that no part file of a copy is left behind.
std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// ---- Scan -------------------------------------------------------------------------

TEST_F(WinFileOperTest, ScanOrdersEveryLevelFoldersFirstThenFilesWithoutLetterCase) {
    struct Level {
        std::string Folder; // relative, "" for the root
        std::vector<std::string> Folders;
        std::vector<std::string> Files;
        std::vector<std::string> Expected;
    };
    const Level levels[] = {
        {"",
         {"Zeta", "beta", "__Tandemora__"},
         {"alpha", "C.txt", "b.txt", "B.txt"},
         {"beta", "Zeta", "alpha", "B.txt", "b.txt", "C.txt"}},
        // A work folder is left out at any depth (another task's side below this one).
        {"Zeta", {"Mid", "__Tandemora__"}, {"z", "A"}, {"Mid", "A", "z"}},
    };
    for (const auto& level : levels) {
        const std::string base = level.Folder.empty() ? Root : Dir / level.Folder;
        for (const auto& f : level.Folders) {
            MakeDir(base + "/" + f);
        }
        for (const auto& f : level.Files) {
            WriteFile(base + "/" + f, f);
        }
    }
    auto oper = MakeOper();
    oper->ScanTree();

    const TFileTree* node = oper->Tree;
    std::string rel = "/";
    for (const auto& level : levels) {
        SCOPED_TRACE(level.Folder);
        if (!level.Folder.empty()) {
            const std::string name = level.Folder.substr(level.Folder.rfind('/') + 1);
            node = FindChild(node, name);
            ASSERT_NE(node, nullptr);
            rel += name + "/";
        }
        EXPECT_EQ(ChildNames(node), level.Expected);
        EXPECT_EQ(node->ChildCount, static_cast<int32_t>(level.Expected.size()));
        for (const TFileTree* child : node->Children) {
            EXPECT_EQ(child->Data->RelPath, rel);
            EXPECT_EQ(child->Data->Name, child->Name);
            EXPECT_EQ(child->Parent, node);
        }
    }
    EXPECT_TRUE(oper->ScanComplete());
}

// The single walk a share is listed with, on a local folder.
class TSingleWalkOper : public TWinFileOper {
public:
    TSingleWalkOper() : TWinFileOper(false) {}
    void Walk() {
        ListFolder(Tree, Source->FolerAllName + "/");
        SortTree(Tree);
        Tree->RemoveChild(WorkFolderName);
    }
};

// Two trees alike: every node's name, entry and marks, and the order of every level.
void ExpectSameTree(const TFileTree* a, const TFileTree* b, const std::string& path, int& differences) {
    const auto differ = [&](const std::string& what) {
        if (++differences <= 5) {
            ADD_FAILURE() << path << ": " << what;
        }
    };
    if (a->Name != b->Name || a->ListFailed != b->ListFailed || a->ChildCount != b->ChildCount ||
        a->Children.size() != b->Children.size()) {
        differ("name, marks or number of children");
        return;
    }
    if ((a->Data == nullptr) != (b->Data == nullptr)) {
        differ("entry");
        return;
    }
    if (a->Data != nullptr) {
        const TFileAttri& x = *a->Data;
        const TFileAttri& y = *b->Data;
        if (x.Name != y.Name || x.Size != y.Size || x.Time != y.Time || x.TimeFraction != y.TimeFraction ||
            x.Attr != y.Attr || x.IsFolder != y.IsFolder || x.RelPath.str() != y.RelPath.str()) {
            differ("entry values");
        }
    }
    for (size_t i = 0; i < a->Children.size(); ++i) {
        ExpectSameTree(a->Children[i], b->Children[i], path + "/" + a->Children[i]->Name, differences);
    }
}

int FolderCount(const TFileTree* node) {
    int count = 0;
    for (const TFileTree* child : node->Children) {
        if (child->Data != nullptr && child->Data->IsFolder == 1) {
            count += 1 + FolderCount(child);
        }
    }
    return count;
}

// A local side is listed by several threads at once: the tree they build is the
// one a single walk of the same folders builds, item for item and in order,
// however the threads' work falls out.
TEST_F(WinFileOperTest, ScanOnSeveralThreadsGivesTheTreeOfASingleWalk) {
    // Uneven folders, wide and deep; names apart by letter case only; hidden
    // files; times with odd seconds and fractions over four decades; links to a
    // file and to a folder; work folders below the root.
    std::mt19937 random(2311);
    std::vector<std::string> folders = {Root};
    for (int i = 0; i < 300; ++i) {
        const std::string& parent = folders[random() % folders.size()];
        folders.push_back(parent + "/" + (random() % 4 == 0 ? "D" : "d") + std::to_string(i % 40));
        MakeDir(folders.back());
    }
    for (int i = 0; i < 3000; ++i) {
        const std::string& folder = folders[random() % folders.size()];
        const std::string name =
            std::string(i % 7 == 0 ? "." : "") + (i % 5 == 0 ? "F" : "f") + std::to_string(i % 900);
        const std::string path = folder + "/" + name;
        WriteFile(path, std::string(random() % 64, 'x'));
        const timespec times[2] = {{0, UTIME_OMIT},
                                   {static_cast<time_t>(315532800 + random() % 1300000000),
                                    static_cast<long>(random() % 1000000000)}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    }
    ASSERT_EQ(symlink((folders[5] + "/..").c_str(), (folders[7] + "/to-folder").c_str()), 0);
    WriteFile(folders[9] + "/target.txt", "target");
    ASSERT_EQ(symlink((folders[9] + "/target.txt").c_str(), (folders[11] + "/to-file").c_str()), 0);
    MakeDir(folders[13] + "/__Tandemora__");
    WriteFile(folders[13] + "/__Tandemora__/snapshot", "not an item");

    TSingleWalkOper single;
    single.Source = &Source;
    single.Walk();
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        auto oper = MakeOper();
        oper->ScanTree();
        EXPECT_TRUE(oper->ScanComplete());
        // One progress step per folder listed, the root's included.
        EXPECT_EQ(Log.Count(WM_UPDATEPROCESS), (round + 1) * (FolderCount(single.Tree) + 1));
        int differences = 0;
        ExpectSameTree(oper->Tree, single.Tree, "", differences);
        EXPECT_EQ(differences, 0);
    }
}

TEST_F(WinFileOperTest, FolderThatVanishesBeforeItIsListedIsReportedNotEmpty) {
    WriteFile(Dir / "keep/k.txt", "k");
    WriteFile(Dir / "moving/m.txt", "m");
    auto oper = MakeOper();
    // The step for a folder comes just before it is listed: move "moving" away
    // at that moment, as another program might during a long scan.
    Log.OnMessage = [&](uint32_t msg) {
        if (msg == WM_UPDATEPROCESS && Log.Count(WM_UPDATEPROCESS) >= 2 && Exists(Dir / "moving")) {
            std::filesystem::rename(Dir / "moving", Home / "moved");
        }
    };
    oper->ScanTree();

    // Whichever sub-folder came first was moved away; nothing moved "keep" itself.
    const TFileTree* moving = FindChild(oper->Tree, "moving");
    ASSERT_NE(moving, nullptr);
    EXPECT_EQ(moving->ListFailed, 1);
    EXPECT_EQ(moving->ChildCount, 0);
    EXPECT_EQ(oper->UnreadFolders, (std::vector<std::string>{Dir / "moving/"}));
    EXPECT_FALSE(oper->ScanComplete());
    EXPECT_FALSE(oper->ScanIncomplete); // the scan itself ran to its end
    const TFileTree* keep = FindChild(oper->Tree, "keep");
    ASSERT_NE(keep, nullptr);
    EXPECT_EQ(keep->ListFailed, 0);
    EXPECT_EQ(ChildNames(keep), (std::vector<std::string>{"k.txt"}));
}

TEST_F(WinFileOperTest, MissingOrUnusableRootGivesAnEmptyMarkedTree) {
    WriteFile(Dir / "file", "not a folder");
    // "." is there, but names another folder wherever the program is started.
    const std::string roots[] = {Dir / "missing", Dir / "file", "   ", "//server/share", "."};
    for (const auto& root : roots) {
        SCOPED_TRACE("root '" + root + "'");
        Source.FolerAllName = root;
        Log.Messages.clear();
        auto oper = MakeOper();
        EXPECT_EQ(oper->Connect(), 1);
        EXPECT_EQ(oper->IsRootMissing(), 1);
        oper->ScanTree();
        EXPECT_EQ(oper->Tree->ChildCount, 0);
        EXPECT_TRUE(oper->RootMissing);
        EXPECT_EQ(oper->Tree->ListFailed, 1);
        EXPECT_FALSE(oper->ScanComplete());
        EXPECT_EQ(Log.Count(WM_UPDATEPROCESS), 1);
    }
}

TEST_F(WinFileOperTest, RelativePathsComeFromTheRootAtTheStartOnly) {
    // A folder deeper down whose path repeats the root's own text.
    const std::string echo = "sub" + Root;
    WriteFile(Root + "/" + echo + "/deep.txt", "d");
    const std::string variants[] = {Root, Root + "/", "  " + Root + "//  "};
    for (const auto& root : variants) {
        SCOPED_TRACE(root);
        Source.FolerAllName = root;
        auto oper = MakeOper();
        EXPECT_EQ(oper->Connect(), 0);
        oper->ScanTree();
        const TFileTree* node = oper->Tree;
        while (!node->Children.empty() && node->Children[0]->Data->IsFolder == 1) {
            node = node->Children[0];
        }
        ASSERT_EQ(ChildNames(node), (std::vector<std::string>{"deep.txt"}));
        EXPECT_EQ(node->Children[0]->Data->RelPath, "/" + echo + "/");
        std::string full;
        oper->BuildFullPath(&Source, node->Children[0]->Data, full);
        EXPECT_EQ(full, Root + "/" + echo + "/deep.txt");
    }
}

TEST_F(WinFileOperTest, NamesThatAreNotUtf8AreListedCopiedAndDeleted) {
    const std::string name = "caf\xe9-\xff.txt"; // Latin-1 bytes
    WriteFile(Dir / name, "bytes");
    auto oper = MakeOper();
    oper->ScanTree();
    const TFileTree* node = FindChild(oper->Tree, name);
    ASSERT_NE(node, nullptr);

    TFileAttri copy = *node->Data;
    copy.RelPath = "/out\x80/";
    ASSERT_EQ(oper->PutFile(Dir / name, &Source, &copy, 0), 0);
    EXPECT_EQ(ReadFile(Dir / ("out\x80/" + name)), "bytes");
    EXPECT_EQ(oper->DeleteFile(&Source, node->Data), 0);
    EXPECT_FALSE(Exists(Dir / name));
}

// ---- Paths ----------------------------------------------------------------------------

TEST_F(WinFileOperTest, FullPathsJoinRootRelativePathAndNameWithOneSeparator) {
    const std::array<std::string, 4> cases[] = {
        // root, relative path, name, full path
        {"/data/", "/sub/", "a.txt", "/data/sub/a.txt"},
        {"/data", "", "a.txt", "/data/a.txt"},
        {"/", "/sub/", "a.txt", "/sub/a.txt"}, // never "//sub", a network share
        {" /data\t", "/", "a\\b.txt", "/data/a\\b.txt"},
    };
    auto oper = MakeOper();
    for (const auto& [root, rel, name, expected] : cases) {
        TFolderSource source;
        source.FolerAllName = root;
        TFileAttri attr = Item(rel, name);
        std::string path;
        oper->BuildFullPath(&source, &attr, path);
        EXPECT_EQ(path, expected) << root << " | " << rel;
    }
}

// ---- Reading and the safe write ------------------------------------------------------

// Snapshot writes and copies replace a target only by a complete file under a
// fresh name: snapshots private (they name everything in the tree), copies with
// the source's bits; a link in the target's place is replaced, never written
// through; a read-only target of a snapshot is kept unless it may be cleared.
TEST_F(WinFileOperTest, WritesAndCopiesReplaceTargetsOnlyByCompleteFilesOfTheirOwnMode) {
    struct Case {
        const char* Label;
        bool Snapshot;     // WriteFromStream, else CopyWithProgress
        mode_t SourceMode; // of a copy's source
        int TargetMode;    // -1: no target before
        bool TargetIsLink; // the target is a link to a file elsewhere
        bool ClearReadOnly;
        int Result;
        mode_t Mode; // of the target afterwards
    };
    const Case cases[] = {
        {"snapshot, new file in new folders", true, 0, -1, false, false, 0, 0600},
        {"snapshot over a target readable by everyone", true, 0, 0644, false, false, 0, 0600},
        {"snapshot over a read-only target, cleared", true, 0, 0444, false, true, 0, 0600},
        {"snapshot over a read-only target, kept", true, 0, 0444, false, false, -1, 0444},
        {"copy of an executable, new target", false, 0755, -1, false, false, 0, 0755},
        {"copy of a read-only source over a writable target", false, 0444, 0644, false, false, 0, 0444},
        {"copy of a private source over a wider target", false, 0600, 0664, false, false, 0, 0600},
        {"copy over a read-only target", false, 0644, 0444, false, false, 0, 0644},
        {"copy over a link to a file", false, 0640, 0600, true, false, 0, 0640},
    };
    const mode_t oldMask = umask(022);
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Label);
        const std::string rel = "/c" + std::to_string(n++) + "/deeper/";
        const std::string target = Root + rel + "dst";
        const std::string linked = Home / ("linked" + std::to_string(n));
        if (c.TargetMode >= 0) {
            const std::string real = c.TargetIsLink ? linked : target;
            WriteFile(real, "old");
            chmod(real.c_str(), static_cast<mode_t>(c.TargetMode));
            if (c.TargetIsLink) {
                MakeDir(Root + rel);
                ASSERT_EQ(symlink(linked.c_str(), target.c_str()), 0);
            }
        }
        auto oper = MakeOper();
        if (c.Snapshot) {
            TFileAttri attr = Item(rel, "dst", 0, Dos(2019, 12, 31, 23, 59, 58));
            std::stringstream stream("new");
            EXPECT_EQ(oper->WriteFromStream(stream, &Source, &attr, c.ClearReadOnly), c.Result);
        } else {
            MakeDir(Root + rel);
            const std::string source = Home / "source";
            WriteFile(source, "new");
            chmod(source.c_str(), c.SourceMode);
            EXPECT_EQ(oper->CopyWithProgress(source, target, 3), c.Result);
            chmod(source.c_str(), 0644);
            std::filesystem::remove(source);
        }
        EXPECT_EQ(ReadFile(target), c.Result == 0 ? "new" : "old");
        EXPECT_EQ(FolderNames(Root + rel), std::vector<std::string>{"dst"}); // no part file left
        EXPECT_EQ(ModeOf(target), c.Mode);
        struct stat st {};
        ASSERT_EQ(lstat(target.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        if (c.Snapshot && c.Result == 0) {
            EXPECT_EQ(ModifyTime(target), 1577836798); // 2019-12-31 23:59:58 UTC
        }
        if (c.TargetIsLink) {
            EXPECT_EQ(ReadFile(linked), "old");
            EXPECT_EQ(ModeOf(linked), static_cast<mode_t>(c.TargetMode));
        }
    }
    umask(oldMask);
}

// ---- Copies ---------------------------------------------------------------------------

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 31 + i / 4096) & 0xFF);
    }
    return bytes;
}

// Progress goes out after each chunk but the last; the status text ends at 100%.
TEST_F(WinFileOperTest, PutFileCopiesInChunksAndReportsEachOneButTheLast) {
    const std::string source = Home / "src";
    const std::string content = Pattern(5 * 1048576);
    WriteFile(source, content);
    SetSyncStatusText("");
    TFileAttri attr = Item("/new/folder/", "copy", 5 * 1048576);
    ASSERT_EQ(MakeOper()->PutFile(source, &Source, &attr, 0), 0);
    EXPECT_TRUE(ReadFile(Dir / "new/folder/copy") == content);
    EXPECT_EQ(Log.Statuses(WM_COPYPROCESS),
              (std::vector<std::string>{"Copy:" + source, "Copy:" + source + " : 40%",
                                        "Copy:" + source + " : 80%"}));
    EXPECT_EQ(GetSyncStatusText(), "Copy:" + source + " : 100%");
}

// The local endpoint with one thing done at the end of the first chunk of every
// copy: the moment a copy is under way, made exact.
class TMidCopyOper : public TWinFileOper {
public:
    explicit TMidCopyOper(std::function<void()> action) : TWinFileOper(false), action_(std::move(action)) {}

protected:
    void ChunkWritten(int64_t) override {
        if (action_) {
            std::exchange(action_, nullptr)();
        }
    }

private:
    std::function<void()> action_;
};

// A copy that cannot be complete fails, and half a file never takes the item's
// name: the target stays as it was (or absent), with no part file beside it.
TEST_F(WinFileOperTest, CopyThatCannotBeCompleteFailsAndLeavesTheTargetAsItWas) {
    const int64_t size = 3 * 1048576;
    const std::string source = Home / "src";
    auto diskFull = [&](const std::string& folder) {
        testsupport::FileSizeLimit limit(1048576);
        TFileAttri attr = Item(folder.substr(Root.size()) + "/", "dst", size);
        return MakeOper()->PutFile(source, &Source, &attr, 0);
    };
    auto midCopy = [&](const std::string& folder, std::function<void()> change) {
        TMidCopyOper oper(std::move(change));
        oper.Source = &Source;
        return oper.CopyWithProgress(source, folder + "/dst", size);
    };
    struct Case {
        const char* Label;
        bool TargetBefore;
        std::function<int(const std::string& folder)> Copy;
        int Result;
    };
    const Case cases[] = {
        {"source changed since the analysis", true,
         [&](const std::string& folder) {
             return MakeOper()->CopyWithProgress(source, folder + "/dst", size - 1);
         },
         1},
        {"missing source", false,
         [&](const std::string& folder) {
             return MakeOper()->CopyWithProgress(Home / "missing", folder + "/dst", 5);
         },
         -1},
        {"disk full, new target", false, diskFull, -1},
        {"disk full, existing target", true, diskFull, -1},
        {"source grows during the copy", true,
         [&](const std::string& folder) {
             return midCopy(folder, [source] { std::ofstream(source, std::ios::app) << "more"; });
         },
         1},
        {"source shrinks during the copy", true,
         [&](const std::string& folder) {
             return midCopy(folder, [source] { std::filesystem::resize_file(source, 1048576); });
         },
         1},
        {"source rewritten in place during the copy", true,
         [&](const std::string& folder) {
             return midCopy(folder, [source] {
                 std::fstream(source, std::ios::in | std::ios::out | std::ios::binary) << "rewritten";
             });
         },
         1},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Label);
        const std::string folder = Dir / ("c" + std::to_string(n++));
        WriteFile(source, Pattern(size));
        MakeDir(folder);
        if (c.TargetBefore) {
            WriteFile(folder + "/dst", "the previous version");
            SetModifyTime(folder + "/dst", 1000000000);
        }
        EXPECT_EQ(c.Copy(folder), c.Result);
        if (!c.TargetBefore) {
            EXPECT_EQ(FolderNames(folder), std::vector<std::string>{});
            continue;
        }
        EXPECT_EQ(FolderNames(folder), std::vector<std::string>{"dst"});
        EXPECT_EQ(ReadFile(folder + "/dst"), "the previous version");
        EXPECT_EQ(ModifyTime(folder + "/dst"), 1000000000);
    }
    // A file copied onto itself would be emptied before it is read.
    WriteFile(Home / "src", "whole");
    EXPECT_EQ(MakeOper()->CopyWithProgress(Home / "src", Home / "src", 5), -1);
    EXPECT_EQ(ReadFile(Home / "src"), "whole");
}

// A copy killed half-way (the process ends at once, as on a kill or a power
// cut) leaves its part file, named after its task. No scan of that task takes it
// for a file of the user's, and the task's next write into that folder removes
// it and says so; the process number it had plays no part.
TEST_F(WinFileOperTest, PartFileOfAKilledCopyIsNeverListedAndGoesWithTheNextWrite) {
    WriteFile(Home / "big", Pattern(3 * 1048576));
    WriteFile(Home / "small", "small");
    MakeDir(Dir / "sub");
    TFileAttri attr = Item("/sub/", "big", 3 * 1048576);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TMidCopyOper oper([] { raise(SIGKILL); });
        oper.PartOwner = "Task7";
        oper.PutFile(Home / "big", &Source, &attr, 0);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    const std::vector<std::string> left = FolderNames(Dir / "sub");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(fs::IsPartFileOf(left[0], "Task7")) << left[0];
    // Another task's part file in the same folder is no concern of this one.
    WriteFile(Dir / ("sub/" + fs::PartFileName("other", "Task8")), "another task's");

    auto oper = MakeOper();
    oper->PartOwner = "Task7";
    oper->ScanTree();
    ASSERT_EQ(ChildNames(oper->Tree), std::vector<std::string>{"sub"});
    ASSERT_EQ(oper->Tree->Children[0]->Children.size(), 1u);
    EXPECT_TRUE(fs::IsPartFileOf(oper->Tree->Children[0]->Children[0]->Name, "Task8"));

    attr.Name = "small";
    attr.Size = 5;
    EXPECT_EQ(oper->PutFile(Home / "small", &Source, &attr, 0), 0);
    EXPECT_EQ(FolderNames(Dir / "sub").size(), 2u);
    EXPECT_FALSE(testsupport::Exists(Dir / ("sub/" + left[0])));
    EXPECT_EQ(ReadFile(Dir / "sub/small"), "small");
    EXPECT_EQ(oper->RemovedPartFiles, std::vector<std::string>{Dir / ("sub/" + left[0])});
}

// Copies into one folder share the folder PutFile opened for the first of them.
// Once the endpoint itself has removed and made that folder again (as a run that
// deletes a folder and copies one of the same name does), the next copy goes
// into the new folder, not into the removed one, and every waiting copy takes
// its name at the commit.
TEST_F(WinFileOperTest, CopiesFollowAFolderTheEndpointMadeAgain) {
    WriteFile(Home / "a", "aa");
    WriteFile(Home / "b", "bbb");
    MakeDir(Dir / "sub");
    auto oper = MakeOper();
    oper->DeferCommits = true;
    TFileAttri attr = Item("/sub/", "a", 2);
    ASSERT_EQ(oper->PutFile(Home / "a", &Source, &attr, 0), 0);
    std::vector<TFileOper::TCommitResult> results;
    oper->CommitPending(results);
    ASSERT_EQ(results.size(), 1u);
    ASSERT_EQ(oper->DeleteFile(&Source, &attr), 0);
    TFileAttri folder = Item("/", "sub");
    ASSERT_EQ(oper->RemoveFolder(&Source, &folder), 0);
    ASSERT_EQ(oper->MakeFolder("/sub"), 0);
    attr = Item("/sub/", "b", 3);
    EXPECT_EQ(oper->PutFile(Home / "b", &Source, &attr, 0), 0);
    attr = Item("/sub/", "a", 2);
    EXPECT_EQ(oper->PutFile(Home / "a", &Source, &attr, 0), 0);
    oper->CommitPending(results);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].Result, 0) << results[0].ErrorText;
    EXPECT_EQ(results[1].Result, 0) << results[1].ErrorText;
    EXPECT_EQ(FolderNames(Dir / "sub"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(ReadFile(Dir / "sub/b"), "bbb");
}

// A folder of the tree replaced by a link after the scan: no operation reaches
// through it, nor through a planted work folder, and the tree it leads to stays
// as it was.
TEST_F(WinFileOperTest, NoWriteGoesThroughALinkInPlaceOfAFolder) {
    const std::string canary = Home / "canary";
    WriteFile(canary + "/kept.txt", "canary");
    MakeDir(canary + "/inner");
    WriteFile(Root + "/a.txt", "a");
    WriteFile(Home / "src", "canary");
    ASSERT_EQ(symlink(canary.c_str(), (Root + "/sub").c_str()), 0);
    const auto before = testsupport::TreeOutside(canary, {});
    auto oper = MakeOper();
    TFileAttri attr;
    auto at = [&](const char* rel, const char* name, int64_t size = 0) {
        attr = Item(rel, name, size);
        return &attr;
    };
    std::stringstream text("text");
    struct Case {
        const char* Label;
        std::function<int()> Operation;
    };
    const Case cases[] = {
        {"new copy", [&] { return oper->PutFile(Home / "src", &Source, at("/sub/", "new.txt", 6), 0); }},
        {"copy over a file of the same size",
         [&] { return oper->PutFile(Home / "src", &Source, at("/sub/", "kept.txt", 6), 0); }},
        {"snapshot", [&] { return oper->WriteFromStream(text, &Source, at("/sub/", "snap"), true); }},
        {"delete", [&] { return oper->DeleteFile(&Source, at("/sub/", "kept.txt")); }},
        {"remove folder", [&] { return oper->RemoveFolder(&Source, at("/sub/", "inner")); }},
        {"make folder", [&] { return oper->MakeFolder("/sub/made"); }},
        {"rename out of it", [&] { return oper->RenameFile(Root + "/sub/kept.txt", Root + "/moved.txt"); }},
        {"rename into it", [&] { return oper->RenameFile(Root + "/a.txt", Root + "/sub/a.txt"); }},
        {"previous version", [&] { return oper->SaveOldFile(&Source, at("/sub/", "kept.txt")); }},
        {"previous version into a planted work folder",
         [&] {
             std::filesystem::remove_all(Root + "/__Tandemora__"); // made by the case before
             EXPECT_EQ(symlink(canary.c_str(), (Root + "/__Tandemora__").c_str()), 0);
             return oper->SaveOldFile(&Source, at("/", "a.txt"));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Label);
        EXPECT_NE(c.Operation(), 0);
        EXPECT_EQ(testsupport::TreeOutside(canary, {}), before);
    }
    EXPECT_EQ(ReadFile(Root + "/a.txt"), "a");
}

// ---- Previous versions and deletes ----------------------------------------------------

// The saved copy replaces an older one, keeps the time, and is as private as
// the file and its folder.
TEST_F(WinFileOperTest, SaveOldFileKeepsTheCurrentVersionBelowSaved) {
    WriteFile(Dir / "private/report.txt", "version 1, the longer one");
    chmod((Dir / "private").c_str(), 0700);
    const std::string saved = Dir / "__Tandemora__/__saved__/private/report.txt";
    auto oper = MakeOper();
    TFileAttri attr = Item("/private/", "report.txt");
    EXPECT_EQ(oper->SaveOldFile(&Source, &attr), 0);
    WriteFile(Dir / "private/report.txt", "version 2");
    chmod((Dir / "private/report.txt").c_str(), 0600);
    SetModifyTime(Dir / "private/report.txt", 1500000000);
    EXPECT_EQ(oper->SaveOldFile(&Source, &attr), 0);
    EXPECT_EQ(ReadFile(saved), "version 2");
    EXPECT_EQ(ModifyTime(saved), 1500000000);
    EXPECT_EQ(ModeOf(saved), 0600u);
    EXPECT_EQ(ModeOf(Dir / "__Tandemora__/__saved__/private"), 0700u);
    EXPECT_EQ(FolderNames(Dir / "__Tandemora__/__saved__/private"), std::vector<std::string>{"report.txt"});

    attr.Name = "missing.txt";
    EXPECT_EQ(oper->SaveOldFile(&Source, &attr), 1);
    EXPECT_FALSE(Exists(Dir / "__Tandemora__/__saved__/private/missing.txt"));
    EXPECT_TRUE(Log.Messages.empty());
}

// -1 only when nothing stands under the name: the sync goes ahead with a copy on
// -1, so anything else there (a folder, a FIFO, a dangling link) must not read
// as absent.
TEST_F(WinFileOperTest, FileSizeIsMinusOneOnlyWhenNothingIsThere) {
    WriteFile(Dir / "five", "12345");
    WriteFile(Dir / "empty", "");
    MakeDir(Dir / "folder");
    ASSERT_EQ(mkfifo((Dir / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink((Dir / "gone").c_str(), (Dir / "dangling").c_str()), 0);
    ASSERT_EQ(symlink((Dir / "five").c_str(), (Dir / "link").c_str()), 0);
    const std::pair<std::string, int64_t> cases[] = {
        {Dir / "five", 5},
        {Dir / "empty", 0},
        {Dir / "link", 5},
        {Dir / "missing", -1},
        {Dir / "missing/below", -1},
        {Dir / "folder", FileSizeUnknown},
        {Dir / "fifo", FileSizeUnknown},
        {Dir / "dangling", FileSizeUnknown},
    };
    auto oper = MakeOper();
    for (const auto& [path, size] : cases) {
        EXPECT_EQ(oper->GetFileSize(path), size) << path;
    }
}

// Copies handed to copy threads: a batch takes its names only at its commit,
// which runs while the next batch is handed over; a copy whose source or
// target is no longer what the analysis saw fails alone; after a cancel none
// that has not begun is written, and none leaves a part file.
TEST_F(WinFileOperTest, CopyThreadsCommitBatchByBatch) {
    struct Case {
        const char* name;
        bool cancelled;
        std::vector<int> results; // of the first batch: a/x, a/y (grown), b/x (target made), c/x
    };
    const Case cases[] = {
        {"written", false, {0, 1, 1, 0}},
        {"cancelled",
         true,
         {TFileOper::CopyNotBegun, TFileOper::CopyNotBegun, TFileOper::CopyNotBegun,
          TFileOper::CopyNotBegun}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* folder : {"a", "b", "c"}) {
            std::filesystem::remove_all(Dir / folder);
            MakeDir(Dir / folder);
        }
        WriteFile(Home / "x", "xx");
        WriteFile(Dir / "b/x", "made meanwhile");
        auto oper = MakeOper();
        oper->DeferCommits = true;
        oper->CopyWorkers = 2;
        oper->PartOwner = "Task7";
        oper->CopiesCancelled = [&c] { return c.cancelled; };
        // Each copy's target as the analysis saw it: nothing there.
        oper->AnalysedTarget = {true, false, 0, 0};
        const std::tuple<const char*, const char*, int64_t> first[] = {
            {"/a/", "x", 2}, {"/a/", "y", 1}, {"/b/", "x", 2}, {"/c/", "x", 2}};
        for (const auto& [rel, name, size] : first) {
            TFileAttri attr = Item(rel, name, size);
            ASSERT_EQ(oper->PutFile(Home / "x", &Source, &attr, 0), 0);
        }
        oper->StartCommit();
        TFileAttri next = Item("/c/", "y", 2);
        ASSERT_EQ(oper->PutFile(Home / "x", &Source, &next, 0), 0);
        std::vector<TFileOper::TCommitResult> results;
        oper->FinishCommit(results);
        std::vector<int> codes;
        for (const auto& result : results) {
            codes.push_back(result.Result);
        }
        EXPECT_EQ(codes, c.results);
        EXPECT_EQ(testsupport::Exists(Dir / "a/x"), !c.cancelled);
        EXPECT_FALSE(testsupport::Exists(Dir / "c/y")); // its batch is not committed yet
        oper->CommitPending(results);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].Result, c.cancelled ? TFileOper::CopyNotBegun : 0) << results[0].ErrorText;
        EXPECT_EQ(testsupport::Exists(Dir / "c/y"), !c.cancelled);
        EXPECT_EQ(ReadFile(Dir / "b/x"), "made meanwhile");
        oper.reset();
        for (const char* folder : {"a", "b", "c"}) {
            for (const std::string& name : FolderNames(Dir / folder)) {
                EXPECT_FALSE(fs::IsPartFileOf(name, "Task7")) << folder << "/" << name;
            }
        }
    }
}

} // namespace
} // namespace endpointtest
