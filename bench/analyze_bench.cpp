// How fast a whole analysis runs on two large local trees, measured against
// find(1) walking both trees and against an rsync dry run between them.
//
// Generates a left tree, copies it to the right (times kept), scans both and
// saves their snapshots into the work folders as a synchronisation would, then
// changes a few percent of the files on each side (changed, new, deleted, and
// some changed on both sides). It then times, each in a fresh child process:
//   find <left> <right> -printf '%s %T@\n'          (size and time of every item)
//   rsync -a -n --delete <left>/ <right>/           (dry run, no transfer)
//   direct mode:   both scans (concurrently, as a task window runs them) + analysis
//   snapshot mode: both scans with their snapshots loaded + analysis
// and reports the median of each, the ratios, and the peak memory of each
// analysis per item (growth of the child's maximum resident set / items).
//
//   analyze_bench [--files N] [--folders M] [--rounds R] [--keep]

#include "endpoints/UTWinFileOper.h"
#include "engine/UTAnalyzeThread.h"
#include "engine/UTRunStamp.h"
#include "model/UTFileTree.h"
#include "tasks/UTSyncTask.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>
#include <vector>

namespace {

using namespace tandemora;
using Clock = std::chrono::steady_clock;

const char* const kSyncID = "bench1";

struct Options {
    int Files = 200000;
    int Folders = 10000;
    int Rounds = 3;
    bool Keep = false;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--files" && hasValue) {
            options.Files = std::atoi(argv[++i]);
        } else if (arg == "--folders" && hasValue) {
            options.Folders = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--rounds" && hasValue) {
            options.Rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--keep") {
            options.Keep = true;
        } else {
            std::cerr << "usage: analyze_bench [--files N] [--folders M] [--rounds R] [--keep]\n";
            std::exit(2);
        }
    }
    return options;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::cerr << "failed: " << command << "\n";
        std::exit(1);
    }
}

std::string MakeTempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tandemora-abench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern;
}

// ---- The trees ------------------------------------------------------------------------------

const time_t kBaseTime = 1700000000;

std::vector<std::string> FolderPaths(int folderCount) {
    const int top = std::max(1, static_cast<int>(std::sqrt(static_cast<double>(folderCount))));
    std::vector<std::string> folders;
    for (int i = 0; i < folderCount; ++i) {
        std::string path = "Top" + std::to_string(i % top);
        if (i >= top) {
            path += "/sub_" + std::to_string(i);
        }
        folders.push_back(path);
    }
    return folders;
}

std::string FilePath(const std::vector<std::string>& folders, int i) {
    return folders[static_cast<size_t>(i) % folders.size()] + "/" + (i % 3 == 0 ? "File_" : "file-") +
           std::to_string(i) + ".dat";
}

void WriteFile(const std::string& path, size_t size, time_t when) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        const std::string filler(size, 'x');
        out.write(filler.data(), static_cast<std::streamsize>(filler.size()));
    }
    struct utimbuf times {
        when, when
    };
    utime(path.c_str(), &times);
}

void GenerateTree(const std::string& root, const std::vector<std::string>& folders, int fileCount) {
    for (const std::string& folder : folders) {
        std::filesystem::create_directories(root + "/" + folder);
    }
    for (int i = 0; i < fileCount; ++i) {
        WriteFile(root + "/" + FilePath(folders, i), static_cast<size_t>(i % 200), kBaseTime);
    }
}

// The state a synchronisation leaves: each side's tree saved as its snapshot in
// its work folder, named after the task and rooted at the side's folder text.
std::string SaveSnapshot(TFolderSource& source) {
    TWinFileOper oper(false);
    oper.Source = &source;
    oper.ScanTree();
    const std::string folder = source.FolerAllName + "/" + WorkFolderName;
    std::filesystem::create_directories(folder);
    std::ostringstream text;
    oper.Tree->SaveToStream(text, source.FolerAllName);
    std::ofstream out(folder + "/" + kSyncID, std::ios::binary | std::ios::trunc);
    out << text.str();
    return text.str();
}

// A few percent of the files change on each side after the last synchronisation.
void ChangeSide(const std::string& root, const std::vector<std::string>& folders, int fileCount, int side) {
    const time_t later = kBaseTime + 3600 + side * 60;
    int changed = 0, added = 0, deleted = 0;
    for (int i = 0; i < fileCount; ++i) {
        const std::string path = root + "/" + FilePath(folders, i);
        if (i % 50 == 1 + 2 * side || i % 500 == 0) { // the second rule hits both sides: conflicts
            WriteFile(path, static_cast<size_t>(i % 200 + 1), later);
            ++changed;
        } else if (i % 100 == 7 + 4 * side) {
            std::filesystem::remove(path);
            ++deleted;
        }
        if (i % 100 == 13 + side) {
            WriteFile(root + "/" + folders[static_cast<size_t>(i) % folders.size()] + "/new" +
                          std::to_string(side) + "_" + std::to_string(i) + ".txt",
                      10, later);
            ++added;
        }
    }
    std::printf("  %s: %d changed, %d new, %d deleted\n", side == 0 ? "left " : "right", changed, added,
                deleted);
}

// ---- One measured run, in a child process of its own -------------------------------------------

struct Measure {
    double Seconds = 0;
    double ScanSeconds = 0;
    double AnalyseSeconds = 0;
    long Items = 0;         // files and folders of both scanned sides
    long SnapshotItems = 0; // files and folders of both snapshots
    long RssGrowthKb = 0;
    long ScanRssGrowthKb = 0;     // the part reached by the scans (and snapshot loads) alone
    long AnalyseResidentKb = 0;   // resident memory the comparison itself added
    long Codes[4] = {0, 0, 0, 0}; // copies, overwrites, deletions, conflicts
    int SnapshotMode = 0;
};

long MaxRssKb() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The resident set now (not its peak), from /proc/self/statm.
long ResidentKb() {
    long pages = 0;
    long resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long CountItems(const TFileTree* node) {
    long count = 0;
    for (const TFileTree* child : node->Children) {
        count += 1 + CountItems(child);
    }
    return count;
}

void CountCodes(const TFileTree* node, Measure& m) {
    for (const TFileTree* child : node->Children) {
        switch (child->Action) {
        case saCopyLtoR:
        case saCopyRtoL:
            ++m.Codes[0];
            break;
        case saOverwriteLtoR:
        case saOverwriteRtoL:
            ++m.Codes[1];
            break;
        case saDeleteLeft:
        case saDeleteRight:
            ++m.Codes[2];
            break;
        case saConflict:
            ++m.Codes[3];
            break;
        default:
            break;
        }
        CountCodes(child, m);
    }
}

Measure AnalyseOnce(TSyncTask& task, bool snapshots) {
    Measure m;
    const long rssBefore = MaxRssKb();
    const auto start = Clock::now();
    TWinFileOper left(false);
    TWinFileOper right(false);
    for (TWinFileOper* oper : {&left, &right}) {
        oper->Source = oper == &left ? &task.LFolder : &task.RFolder;
        oper->SnapshotName = kSyncID;
        oper->LoadSnapshotFlag = snapshots;
    }
    right.Start();
    left.Start();
    right.WaitFor();
    left.WaitFor();
    const auto scanned = Clock::now();
    m.ScanRssGrowthKb = MaxRssKb() - rssBefore;
    TArenaPtr resultArena;
    TFileTree* result = NewTree(resultArena);
    TAnalyzeThread analysis(&task, left.Tree, right.Tree, result, left.Snapshot, right.Snapshot);
    const long residentBefore = ResidentKb();
    analysis.Execute();
    const auto end = Clock::now();
    m.AnalyseResidentKb = ResidentKb() - residentBefore;
    m.RssGrowthKb = MaxRssKb() - rssBefore;
    m.Seconds = Seconds(end - start);
    m.ScanSeconds = Seconds(scanned - start);
    m.AnalyseSeconds = Seconds(end - scanned);
    m.Items = CountItems(left.Tree) + CountItems(right.Tree);
    if (snapshots) {
        m.SnapshotItems = CountItems(left.Snapshot) + CountItems(right.Snapshot);
    }
    m.SnapshotMode = analysis.UsedSnapshots ? 1 : 0;
    CountCodes(result, m);
    if (!left.ScanComplete() || !right.ScanComplete() || !analysis.UnseenFolders.empty()) {
        std::cerr << "warning: a scan did not see its whole tree\n";
    }
    return m;
}

// Runs fn in a fresh child process, so that each run's peak memory is its own.
Measure InChild(const std::function<Measure()>& fn) {
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const Measure m = fn();
        const ssize_t written = write(fds[1], &m, sizeof(m));
        _exit(written == static_cast<ssize_t>(sizeof(m)) ? 0 : 1);
    }
    close(fds[1]);
    Measure m;
    const ssize_t got = read(fds[0], &m, sizeof(m));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (got != static_cast<ssize_t>(sizeof(m)) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::cerr << "a measured run failed\n";
        std::exit(1);
    }
    return m;
}

Measure TimeCommand(const std::string& command) {
    return InChild([&] {
        Measure m;
        const auto start = Clock::now();
        Run(command);
        m.Seconds = Seconds(Clock::now() - start);
        return m;
    });
}

Measure MedianOf(std::vector<Measure> runs) {
    std::sort(runs.begin(), runs.end(),
              [](const Measure& a, const Measure& b) { return a.Seconds < b.Seconds; });
    return runs[runs.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const std::string base = MakeTempFolder();
    const std::string leftRoot = base + "/left";
    const std::string rightRoot = base + "/right";
    const std::vector<std::string> folders = FolderPaths(options.Folders);

    std::cout << "generating " << options.Files << " files in " << options.Folders
              << " folders per side under " << base << " ..." << std::endl;
    GenerateTree(leftRoot, folders, options.Files);
    Run("cp -a " + ShellQuote(leftRoot) + " " + ShellQuote(rightRoot));

    TSyncTask task;
    task.SyncName = "bench";
    task.SyncID = kSyncID;
    task.LFolder.DeviceType = dtLocal;
    task.LFolder.FolerAllName = leftRoot;
    task.RFolder.DeviceType = dtLocal;
    task.RFolder.FolerAllName = rightRoot;
    task.IsDeleteFile = 1;
    // The run stamp that says both snapshots were written together goes into
    // application data of the benchmark's own.
    setenv("XDG_DATA_HOME", (base + "/appdata").c_str(), 1);
    const std::string leftText = SaveSnapshot(task.LFolder);
    const std::string rightText = SaveSnapshot(task.RFolder);
    TRunStamp::Write(task, TRunStamp::Of(leftText, rightText));
    std::cout << "changes since the last sync:" << std::endl;
    ChangeSide(leftRoot, folders, options.Files, 0);
    ChangeSide(rightRoot, folders, options.Files, 1);

    const std::string find =
        "find " + ShellQuote(leftRoot) + " " + ShellQuote(rightRoot) + " -printf '%s %T@\\n' > /dev/null";
    const std::string rsync = "rsync -a -n --delete " + ShellQuote(leftRoot + "/") + " " +
                              ShellQuote(rightRoot + "/") + " > /dev/null";
    const bool haveRsync = std::system("rsync --version > /dev/null 2>&1") == 0;

    // Warm the cache with one pass of each.
    TimeCommand(find);
    if (haveRsync) {
        TimeCommand(rsync);
    }
    InChild([&] { return AnalyseOnce(task, true); });

    std::vector<Measure> finds, rsyncs, directs, snaps;
    for (int round = 0; round < options.Rounds; ++round) {
        finds.push_back(TimeCommand(find));
        if (haveRsync) {
            rsyncs.push_back(TimeCommand(rsync));
        }
        directs.push_back(InChild([&] { return AnalyseOnce(task, false); }));
        snaps.push_back(InChild([&] { return AnalyseOnce(task, true); }));
    }
    const Measure f = MedianOf(finds);
    const Measure d = MedianOf(directs);
    const Measure s = MedianOf(snaps);

    std::printf("items: %ld scanned on both sides, %ld in both snapshots\n", d.Items, s.SnapshotItems);
    std::printf("find over both trees:     %.3f s  (median of %d)\n", f.Seconds, options.Rounds);
    if (haveRsync) {
        std::printf("rsync -a -n --delete:     %.3f s\n", MedianOf(rsyncs).Seconds);
    } else {
        std::printf("rsync -a -n --delete:     not installed\n");
    }
    for (const Measure* m : {&d, &s}) {
        const bool snap = m == &s;
        std::printf("%s mode: %.3f s (scans %.3f s, comparison and filters %.3f s)%s\n",
                    snap ? "snapshot" : "direct  ", m->Seconds, m->ScanSeconds, m->AnalyseSeconds,
                    m->SnapshotMode == (snap ? 1 : 0) ? "" : "  [WRONG MODE]");
        std::printf("  proposals: %ld copies, %ld overwrites, %ld deletions, %ld conflicts\n", m->Codes[0],
                    m->Codes[1], m->Codes[2], m->Codes[3]);
        std::printf("  ratio to find: %.2f (target <= 1.50)", m->Seconds / f.Seconds);
        if (haveRsync) {
            std::printf("  ratio to rsync: %.2f (target < 1.00)", m->Seconds / MedianOf(rsyncs).Seconds);
        }
        std::printf("\n");
        const double bytes = static_cast<double>(m->RssGrowthKb) * 1024.0;
        std::printf("  peak memory: %.1f MB, %.0f bytes per scanned item", bytes / 1048576.0,
                    bytes / static_cast<double>(m->Items));
        if (snap) {
            std::printf(", %.0f bytes per item of all four trees",
                        bytes / static_cast<double>(m->Items + m->SnapshotItems));
        }
        std::printf(" (target <= 300)\n");
        const double scanBytes = static_cast<double>(m->ScanRssGrowthKb) * 1024.0;
        std::printf(
            "  of which the scans%s alone: %.1f MB; the comparison adds %.0f bytes per scanned item\n",
            snap ? " and snapshot loads" : "", scanBytes / 1048576.0,
            (bytes - scanBytes) / static_cast<double>(m->Items));
    }

    if (!options.Keep) {
        std::filesystem::remove_all(base);
    }
    return 0;
}
