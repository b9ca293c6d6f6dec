// How fast a synchronisation runs, side by side with the two-way tools people
// use for the same job, on the same generated trees in the same run.
//
//   small   a tree of small files (default 20,000 files of 0-4 KB in 1,000
//           folders) in three stages: first sync into an empty folder, again
//           with nothing changed, again after 1% edits, 0.5% new and 0.5%
//           deleted files on each side; Tandemora against unison (-batch),
//           rclone bisync and rsync -a (one way: it gets the left side's
//           changes only). Both sides must end equal for every tool.
//   large   one large file (default 1 GB) into an empty folder, against
//           cp + sync of the copy.
//   remote  one 150 MB file up to and down from the suite's own FTP
//           (Pure-FTPd) and WebDAV (Apache) servers on loopback, against curl.
//   memory  a first sync of many small items (--memory N), the peak memory of
//           the sync beyond what the analysis left.
//   flat    a first sync of many files in one folder (--flat N) against the
//           same files spread over folders.
//   million an analysis of a million files (--million N) by the program from
//           its command line, against find and rsync -an, with peak memory.
//   level   an analysis of many new folders and files in one folder (--level N)
//           against the same spread over 1,000 folders.
//
// Tandemora runs as the program does: each measured run is a child process of
// its own (this program started again with --child), which either opens the
// program with its task window off screen and clicks Analyze, then Sync
// ("window", the default), or drives the engine the way that window does with a
// plain main-thread queue in place of the window ("engine": both scanners,
// the analysis, the result rows, the sync thread). Tandemora's time is its own
// clock: the analysis time and the sync time the window shows in its log (the
// wall clock of the same spans in engine mode); the other tools are timed from
// their start to their end. Every measured run is preceded by sync(1) so that
// nobody pays for the previous run's writes.
//
//   sync_bench [--cases small,large,remote,memory,flat,million,level] [--engine]
//              [--files N] [--folders M] [--max-size BYTES] [--large-mb MB]
//              [--remote-mb MB] [--memory N] [--flat N] [--base DIR] [--keep]

#include "endpoints/UTFileOper.h"
#include "engine/UTAnalyzeThread.h"
#include "engine/UTTandemoraThread.h"
#include "model/UTFileTree.h"
#include "model/UTResultRows.h"
#include "platform/FileSystem.h"
#include "platform/MainThread.h"
#include "platform/Messages.h"
#include "platform/ProgramFolder.h"
#include "tasks/UTSyncTask.h"
#include "ui/UFMain.h"
#include "ui/UFSyncMain.h"
#include "ui/UProgramMain.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace tandemora;
using Clock = std::chrono::steady_clock;
namespace stdfs = std::filesystem;

const time_t kBaseTime = 1700000000;   // even seconds: DOS times keep them
const time_t kChangeTime = 1700007200; // the changes stage

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

[[noreturn]] void Fail(const std::string& text) {
    throw std::runtime_error(text);
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

bool Shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

void MustShell(const std::string& command) {
    if (!Shell(command)) {
        Fail("failed: " + command);
    }
}

bool HaveTool(const std::string& name) {
    return Shell("command -v " + name + " > /dev/null 2>&1");
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        Fail("cannot write " + path);
    }
}

// key=value lines.
std::map<std::string, std::string> ReadPairs(const std::string& path) {
    std::map<std::string, std::string> pairs;
    std::istringstream in(ReadText(path));
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            pairs[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return pairs;
}

// ---- Files -------------------------------------------------------------------------------------

// Bytes that no file system or tool can shrink: a xorshift stream from a seed.
void FillBytes(std::vector<char>& buffer, size_t size, uint64_t seed) {
    buffer.resize(size);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(buffer.data() + i, &x, std::min<size_t>(8, size - i));
    }
}

void WriteFile(const std::string& path, size_t size, uint64_t seed, time_t when) {
    std::vector<char> bytes;
    FillBytes(bytes, size, seed);
    fs::TFileHandle out;
    if (!out.Create(path) || !out.WriteAll(bytes.data(), bytes.size())) {
        Fail("cannot write " + path);
    }
    const timespec t{when, 0};
    out.SetTimes(t, t);
    out.Close();
}

void WriteLargeFile(const std::string& path, int64_t bytes) {
    fs::TFileHandle out;
    if (!out.Create(path)) {
        Fail("cannot write " + path);
    }
    std::vector<char> chunk;
    const size_t chunkSize = 8 << 20;
    for (int64_t done = 0; done < bytes; done += static_cast<int64_t>(chunkSize)) {
        FillBytes(chunk, static_cast<size_t>(std::min<int64_t>(chunkSize, bytes - done)),
                  static_cast<uint64_t>(done) + 7);
        if (!out.WriteAll(chunk.data(), chunk.size())) {
            Fail("cannot write " + path);
        }
    }
    const timespec t{kBaseTime, 0};
    out.SetTimes(t, t);
    out.Close();
}

// The folders of a tree: about sqrt(M) top folders, the rest one level below.
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

size_t SizeOf(int i, int maxSize) {
    return static_cast<size_t>((static_cast<uint64_t>(i) * 2654435761u) % static_cast<uint64_t>(maxSize + 1));
}

// Generates the tree; returns the files' paths relative to root.
std::vector<std::string> GenerateTree(const std::string& root, int fileCount, int folderCount, int maxSize) {
    const std::vector<std::string> folders = FolderPaths(folderCount);
    for (const std::string& folder : folders) {
        stdfs::create_directories(root + "/" + folder);
    }
    std::vector<std::string> files;
    for (int i = 0; i < fileCount; ++i) {
        const std::string rel = folders[static_cast<size_t>(i) % folders.size()] + "/" +
                                (i % 3 == 0 ? "File_" : "file-") + std::to_string(i) + ".dat";
        WriteFile(root + "/" + rel, SizeOf(i, maxSize), static_cast<uint64_t>(i), kBaseTime);
        files.push_back(rel);
    }
    return files;
}

struct Changes {
    int Edited = 0;
    int Added = 0;
    int Deleted = 0;
};

// 1% of the files edited, 0.5% deleted and 0.5% new beside them, on one side;
// the two sides touch different files, so nothing conflicts.
Changes ChangeSide(const std::string& root, const std::vector<std::string>& files, int side, int maxSize) {
    Changes c;
    for (size_t n = 0; n < files.size(); ++n) {
        const int i = static_cast<int>(n);
        const std::string path = root + "/" + files[n];
        if (i % 100 == 17 + 30 * side) {
            WriteFile(path, SizeOf(i + 1, maxSize) + 1, static_cast<uint64_t>(i) + 1000003, kChangeTime);
            ++c.Edited;
        } else if (i % 200 == 41 + 60 * side) {
            stdfs::remove(path);
            ++c.Deleted;
        } else if (i % 200 == 43 + 60 * side) {
            const std::string folder = path.substr(0, path.rfind('/') + 1);
            WriteFile(folder + "new" + std::to_string(side) + "_" + std::to_string(i) + ".dat",
                      SizeOf(i + 2, maxSize), static_cast<uint64_t>(i) + 2000003, kChangeTime);
            ++c.Added;
        }
    }
    return c;
}

// The items below root (relative paths, folders with a trailing "/"), sorted,
// without the root's work folder.
std::vector<std::string> ListTree(const std::string& root) {
    std::vector<std::string> items;
    std::error_code ec;
    for (auto it = stdfs::recursive_directory_iterator(root, ec); it != stdfs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string rel = it->path().string().substr(root.size() + 1);
        if (rel == WorkFolderName) {
            it.disable_recursion_pending();
            continue;
        }
        items.push_back(rel + (it->is_directory() ? "/" : ""));
    }
    std::sort(items.begin(), items.end());
    return items;
}

bool SameBytes(const std::string& a, const std::string& b) {
    fs::TFileHandle x;
    fs::TFileHandle y;
    if (!x.OpenRead(a) || !y.OpenRead(b) || x.Size() != y.Size()) {
        return false;
    }
    // Small files get small buffers: the tree of the small-file case is read whole after every stage.
    const size_t chunk = static_cast<size_t>(std::min<int64_t>(x.Size(), 1 << 20)) + 1;
    std::vector<char> p(chunk);
    std::vector<char> q(chunk);
    for (;;) {
        const int64_t n = x.Read(p.data(), p.size());
        int64_t m = 0;
        while (m < n) {
            const int64_t k = y.Read(q.data() + m, static_cast<size_t>(n - m));
            if (k <= 0) {
                return false;
            }
            m += k;
        }
        if (n <= 0) {
            return n == 0 && y.Read(q.data(), 1) == 0;
        }
        if (std::memcmp(p.data(), q.data(), static_cast<size_t>(n)) != 0) {
            return false;
        }
    }
}

// Empty when both trees hold the same items with the same bytes and there are
// expectedFiles files (unless negative); else what differs.
std::string CompareTrees(const std::string& a, const std::string& b, long expectedFiles) {
    const std::vector<std::string> left = ListTree(a);
    const std::vector<std::string> right = ListTree(b);
    if (left != right) {
        std::vector<std::string> onlyLeft;
        std::vector<std::string> onlyRight;
        std::set_difference(left.begin(), left.end(), right.begin(), right.end(),
                            std::back_inserter(onlyLeft));
        std::set_difference(right.begin(), right.end(), left.begin(), left.end(),
                            std::back_inserter(onlyRight));
        return std::to_string(onlyLeft.size()) + " items only left (" +
               (onlyLeft.empty() ? std::string() : onlyLeft.front()) + "), " +
               std::to_string(onlyRight.size()) + " only right (" +
               (onlyRight.empty() ? std::string() : onlyRight.front()) + ")";
    }
    long files = 0;
    for (const std::string& rel : left) {
        if (rel.back() == '/') {
            continue;
        }
        ++files;
        if (!SameBytes(a + "/" + rel, b + "/" + rel)) {
            return "bytes differ: " + rel;
        }
    }
    if (expectedFiles >= 0 && files != expectedFiles) {
        return std::to_string(files) + " files, expected " + std::to_string(expectedFiles);
    }
    return "";
}

// ---- Memory of this process --------------------------------------------------------------------

long StatusKb(const char* key) {
    std::istringstream in(ReadText("/proc/self/status"));
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return std::atol(line.c_str() + prefix.size());
        }
    }
    return 0;
}

// Starts a new peak: VmHWM is set back to the resident set of now.
void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// ---- One Tandemora run (the child process) ------------------------------------------------------

// One side of a task as key=value pairs "<side>.kind" (1 local, 3 FTP, 5 WebDAV),
// "<side>.path", "<side>.user", "<side>.password".
void ReadSide(std::map<std::string, std::string>& job, const std::string& side, TFolderSource& source) {
    source.DeviceType = std::atoi(job[side + ".kind"].c_str());
    source.FolerAllName = job[side + ".path"];
    source.UserName = job[side + ".user"];
    source.PWD = job[side + ".password"];
}

void FillTask(std::map<std::string, std::string>& job, TSyncTask& task) {
    task.SyncName = job["name"];
    task.SyncID = job["name"] + "1";
    task.IsDeleteFile = 1;
    ReadSide(job, "left", task.LFolder);
    ReadSide(job, "right", task.RFolder);
}

struct TChildResult {
    double AnalysisS = 0;
    double SyncS = 0;
    long Ops = -1;
    long Errors = 0;
    long Lines = 0;
    long SyncStartRssKb = 0; // resident set when the sync starts (the analysis' result shown)
    long SyncPeakKb = 0;     // peak resident set during the sync
    double PutS = 0;         // transfer mode
    double GetS = 0;
    int PutResult = -1;
    int GetResult = -1;
};

void TallyLine(const std::string& line, TChildResult& r) {
    if (line.compare(0, 5, "Error") == 0) {
        ++r.Errors;
        if (r.Errors <= 3) {
            std::cerr << "  " << line << "\n";
        }
    } else if (line.compare(0, 15, "Operator File :") == 0) {
        r.Ops = std::atol(line.c_str() + 15);
    }
}

// The window keeps only its last lines: first is a line number among all lines
// it was given (LogLineCount), counted from the lines it still keeps.
void Tally(const TFSyncMain* window, size_t first, TChildResult& r) {
    const std::deque<std::string>& lines = window->LogLines();
    const size_t dropped = static_cast<size_t>(window->LogLineCount()) - lines.size();
    if (first < dropped) {
        std::cerr << "  (only the last " << lines.size() << " log lines were looked at for errors)\n";
    }
    for (size_t i = first > dropped ? first - dropped : 0; i < lines.size(); ++i) {
        TallyLine(lines[i], r);
    }
    r.Lines = static_cast<long>(window->LogLineCount()) - static_cast<long>(first);
}

void WaitIdle(TFSyncMain* window) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!window->IsBusy()) {
            loop.quit();
        }
    });
    poll.start(20);
    loop.exec();
}

// The program with its task window, off screen: Analyze, then Sync.
TChildResult RunWindow(std::map<std::string, std::string>& job) {
    TSyncTask task;
    FillTask(job, task);
    task.SaveToTaskList(true);
    int argc = 1;
    char name[] = "sync_bench";
    char* argv[] = {name, nullptr};
    // The off-screen platform warns about window hints it cannot pass on.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtCriticalMsg || type == QtFatalMsg) {
            std::cerr << text.toStdString() << "\n";
        }
    });
    QApplication app(argc, argv);
    TProgramInstance instance;
    if (!StartProgram({}, instance)) {
        Fail("the program did not start");
    }
    std::vector<TFSyncMain*> windows = instance.MainWindow->TaskWindows();
    if (windows.empty()) {
        Fail("the program shows no task window");
    }
    TFSyncMain* window = windows.front();
    WaitIdle(window);
    TChildResult r;
    window->StartAnalyze();
    WaitIdle(window);
    r.AnalysisS = window->TotalTime / 1000.0;
    const size_t first = static_cast<size_t>(window->LogLineCount());
    r.SyncStartRssKb = StatusKb("VmRSS");
    ResetPeak();
    window->BitBtn_SyncClick();
    WaitIdle(window);
    r.SyncPeakKb = StatusKb("VmHWM");
    r.SyncS = window->SyncTime / 1000.0;
    Tally(window, first, r);
    return r;
}

// The engine as the task window drives it, with a plain queue as the main thread.
TChildResult RunEngine(std::map<std::string, std::string>& job) {
    TSyncTask task;
    FillTask(job, task);
    TQueueDispatcher dispatcher;
    ScopedMainThreadDispatcher scope(&dispatcher);
    long progress = 0;
    TCallbackNotifyTarget window([&progress](uint32_t, intptr_t, intptr_t) { ++progress; }, &dispatcher);
    TChildResult r;

    const auto start = Clock::now();
    std::unique_ptr<TFileOper> left = TSyncTask::CreateOper(task.LFolder, false);
    std::unique_ptr<TFileOper> right = TSyncTask::CreateOper(task.RFolder, false);
    for (TFileOper* oper : {left.get(), right.get()}) {
        oper->NotifyWnd = &window;
        oper->Source = oper == left.get() ? &task.LFolder : &task.RFolder;
        oper->SnapshotName = task.SyncID;
        oper->LoadSnapshotFlag = true;
        if (oper->Connect() != 0 || oper->IsRootMissing() != 0) {
            Fail("cannot reach " + oper->Source->FolerAllName);
        }
    }
    right->Start();
    left->Start();
    dispatcher.WaitAndProcess([&] { return left->Finished() && right->Finished(); }, std::chrono::hours(10));
    TArenaPtr arena;
    TFileTree* result = NewTree(arena);
    TAnalyzeThread analysis(&task, left->Tree, right->Tree, result, left->Snapshot, right->Snapshot);
    analysis.NotifyWnd = &window;
    analysis.Execute();
    left->Stop();
    right->Stop();
    TResultRows rows;
    rows.InitView(task.SyncName);
    rows.SetResultTree(result);
    rows.ShowView(vkChanged);
    dispatcher.ProcessPending();
    r.AnalysisS = Seconds(Clock::now() - start);

    // Each line is looked at as it comes, and the main thread's queue is served
    // while the sync runs, as the window does: the bench itself keeps no copy of
    // every line and no backlog of calls.
    r.Lines = 0;
    r.SyncStartRssKb = StatusKb("VmRSS");
    ResetPeak();
    const auto syncStart = Clock::now();
    auto* thread = new TTandemoraThread(&rows, &task);
    thread->SetFreeOnTerminate(false);
    thread->Scanned[0] = left.get();
    thread->Scanned[1] = right.get();
    thread->NotifyWnd = &window;
    thread->LogMemo = [&r](const std::string& line) {
        TallyLine(line, r);
        ++r.Lines;
    };
    long repaints = 0;
    thread->RowChanged = [&repaints](TResultRow*) { ++repaints; };
    thread->Start();
    dispatcher.WaitAndProcess([thread] { return thread->Finished(); }, std::chrono::hours(10));
    thread->WaitFor();
    dispatcher.ProcessPending();
    r.SyncS = Seconds(Clock::now() - syncStart);
    r.SyncPeakKb = StatusKb("VmHWM");
    delete thread;
    rows.InitView("");
    return r;
}

// One file up to the right side's endpoint or back down ("direction"), by the
// endpoint's own transfer operations (what the sync thread calls for a remote
// item).
TChildResult RunTransfer(std::map<std::string, std::string>& job) {
    TSyncTask task;
    FillTask(job, task);
    TQueueDispatcher dispatcher;
    ScopedMainThreadDispatcher scope(&dispatcher);
    TCallbackNotifyTarget window([](uint32_t, intptr_t, intptr_t) {}, &dispatcher);
    std::unique_ptr<TFileOper> oper = TSyncTask::CreateOper(task.RFolder, false);
    oper->Source = &task.RFolder;
    oper->NotifyWnd = &window;
    if (oper->Connect() != 0) {
        Fail("cannot reach " + task.RFolder.FolerAllName);
    }
    const std::string local = job["file"];
    TFileAttri attr;
    attr.Name = stdfs::path(local).filename().string();
    attr.RelPath = "/";
    attr.Size = fs::GetFileSize64(local);
    fs::DirEntry entry;
    fs::GetEntryInfo(local, entry);
    attr.Time = entry.Time;
    TChildResult r;
    const auto start = Clock::now();
    if (job["direction"] == "put") {
        r.PutResult = oper->PutFile(local, &task.RFolder, &attr, 0);
        r.PutS = Seconds(Clock::now() - start);
    } else {
        r.GetResult = oper->GetFile(job["download"], &task.RFolder, &attr, 0);
        r.GetS = Seconds(Clock::now() - start);
    }
    dispatcher.ProcessPending();
    oper->Stop();
    return r;
}

// Points the home, XDG and temporary folders of this process (and of what it
// starts) at folders below home.
void UseHome(const std::string& home) {
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (home + "/runtime").c_str(), 1);
    setenv("TMPDIR", (home + "/tmp").c_str(), 1);
}

// The child's environment: a program folder, XDG folders and a home of its own.
void PrepareChild(std::map<std::string, std::string>& job) {
    const std::string home = job["home"];
    const std::string program = home + "/program/";
    for (const char* sub : {"program", "data", "config", "cache", "runtime", "tmp"}) {
        stdfs::create_directories(home + "/" + sub);
    }
    chmod((home + "/runtime").c_str(), 0700);
    UseHome(home);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string resources = std::string(TANDEMORA_SOURCE_DIR) + "/resources/";
    std::string options = ReadText(resources + "Tandemora.ini");
    // The task log is written, as in the runs the figures come from; no first-run tips.
    for (const auto& [key, value] : std::map<std::string, std::string>{{"SaveLog", "1"}, {"IsFirst", "0"}}) {
        const size_t at = options.find(key + "=");
        if (at != std::string::npos) {
            options.replace(at, options.find('\n', at) - at, key + "=" + value + "\r");
        }
    }
    WriteText(program + "Tandemora.ini", options);
    WriteText(program + "en-english.lng", ReadText(resources + "en-english.lng"));
    WriteText(program + "tasklist.td", "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<TaskList/>\r\n");
    SetProgramFolder(program);
}

// The task saved into the program folder of the run's home, for the program
// itself to run from its command line (the "process" runs).
void SaveTaskOnly(std::map<std::string, std::string>& job) {
    TSyncTask task;
    FillTask(job, task);
    const bool analysisOnly = job["analysisonly"] == "1";
    task.TSsync = analysisOnly ? 0 : 1;
    task.TSanalyze = analysisOnly ? 1 : 0;
    task.SaveToTaskList(true);
}

int ChildMain(const std::string& specFile) {
    std::map<std::string, std::string> job = ReadPairs(specFile);
    PrepareChild(job);
    const std::string mode = job["mode"];
    if (mode == "save") {
        SaveTaskOnly(job);
        SetProgramFolder("");
        return 0;
    }
    TChildResult r = mode == "window" ? RunWindow(job) : mode == "engine" ? RunEngine(job) : RunTransfer(job);
    std::ostringstream out;
    out << "analysis=" << r.AnalysisS << "\nsync=" << r.SyncS << "\nops=" << r.Ops << "\nerrors=" << r.Errors
        << "\nlines=" << r.Lines << "\nrss=" << r.SyncStartRssKb << "\npeak=" << r.SyncPeakKb
        << "\nput=" << r.PutS << "\nget=" << r.GetS << "\nputresult=" << r.PutResult
        << "\ngetresult=" << r.GetResult << "\n";
    WriteText(job["result"], out.str());
    SetProgramFolder("");
    return 0;
}

// ---- The parent: runs, tools, tables ----------------------------------------------------------------

struct Options {
    std::set<std::string> Cases = {"small", "large", "remote"};
    int Files = 20000;
    int Folders = 1000;
    int MaxSize = 4096;
    int64_t LargeMb = 1024;
    int64_t RemoteMb = 150;
    int Memory = 200000;
    int Flat = 50000;
    int Million = 1000000;
    int Level = 64000;
    int Rounds = 3;
    std::set<std::string> Tools = {"tandemora", "unison", "rclone", "rsync", "cp"};
    std::string Mode = "window";
    std::string Base;
    bool Keep = false;
};

// The items of a comma-separated list.
std::set<std::string> CommaList(const std::string& text) {
    std::set<std::string> items;
    std::istringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        items.insert(item);
    }
    return items;
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    bool casesGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        // A size that names its own case: given alone, it runs that case only.
        auto sizeOfCase = [&](int& size, int least, const char* name) {
            size = std::max(least, std::atoi(argv[++i]));
            if (!casesGiven) {
                o.Cases = {name};
            }
        };
        if (arg == "--cases" && hasValue) {
            o.Cases = CommaList(argv[++i]);
            casesGiven = true;
        } else if (arg == "--tools" && hasValue) {
            o.Tools = CommaList(argv[++i]);
        } else if (arg == "--files" && hasValue) {
            o.Files = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--folders" && hasValue) {
            o.Folders = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--max-size" && hasValue) {
            o.MaxSize = std::max(0, std::atoi(argv[++i]));
        } else if (arg == "--large-mb" && hasValue) {
            o.LargeMb = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--remote-mb" && hasValue) {
            o.RemoteMb = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--memory" && hasValue) {
            sizeOfCase(o.Memory, 1, "memory");
        } else if (arg == "--flat" && hasValue) {
            sizeOfCase(o.Flat, 1, "flat");
        } else if (arg == "--million" && hasValue) {
            sizeOfCase(o.Million, 1000, "million");
        } else if (arg == "--level" && hasValue) {
            sizeOfCase(o.Level, 2000, "level");
        } else if (arg == "--rounds" && hasValue) {
            o.Rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--engine") {
            o.Mode = "engine";
        } else if (arg == "--base" && hasValue) {
            o.Base = argv[++i];
        } else if (arg == "--keep") {
            o.Keep = true;
        } else {
            std::cerr
                << "usage: sync_bench [--cases small,large,remote,memory,flat,million,level] [--engine]\n"
                   "                  [--tools tandemora,unison,rclone,rsync,cp]\n"
                   "                  [--files N] [--folders M] [--max-size BYTES] [--large-mb MB]\n"
                   "                  [--remote-mb MB] [--rounds R] [--memory N] [--flat N] [--million N]\n"
                   "                  [--level N] [--base DIR]\n"
                   "                  [--keep]\n";
            std::exit(2);
        }
    }
    return o;
}

struct TSide {
    int Kind = dtLocal;
    std::string Path;
    std::string User;
    std::string Password;
};

struct TRun {
    bool Ok = false;
    TChildResult R;
    double Total() const { return R.AnalysisS + R.SyncS; }
};

struct TTimed {
    bool Ok = false;
    double S = 0;
    long PeakKb = 0; // the command's largest process, where it was measured
};

// A server of the test suite, started privately on loopback and stopped again.
struct TServer {
    std::string Script;
    std::string State;
    std::map<std::string, std::string> Env;
};

class TBench {
public:
    explicit TBench(const Options& options) : o_(options) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = (o_.Base.empty() ? std::string(tmp && *tmp ? tmp : "/tmp") : o_.Base) +
                              "/tandemora-sbench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            Fail("cannot make a folder under " + pattern);
        }
        base_ = pattern;
        // The WebDAV server works as another user when this runs as root; it must
        // reach its own folder below this one.
        chmod(base_.c_str(), 0755);
    }
    ~TBench() {
        for (const TServer& server : servers_) {
            Shell("bash " + ShellQuote(server.Script) + " stop " + ShellQuote(server.State) +
                  " > /dev/null 2>&1");
        }
        if (!o_.Keep) {
            std::error_code ec;
            stdfs::remove_all(base_, ec);
        } else {
            std::cout << "kept " << base_ << "\n";
        }
    }
    TBench(const TBench&) = delete;
    TBench& operator=(const TBench&) = delete;

    void Run() {
        std::cout << "Tandemora driven as: "
                  << (o_.Mode == "window" ? "the task window (off screen)" : "the engine") << "; work folder "
                  << base_ << std::endl;
        if (o_.Cases.count("small") != 0) {
            SmallCase();
        }
        if (o_.Cases.count("large") != 0) {
            LargeCase();
        }
        if (o_.Cases.count("remote") != 0) {
            RemoteCase();
        }
        if (o_.Cases.count("memory") != 0) {
            MemoryCase();
        }
        if (o_.Cases.count("flat") != 0) {
            FlatCase();
        }
        if (o_.Cases.count("million") != 0) {
            MillionCase();
        }
        if (o_.Cases.count("level") != 0) {
            LevelCase();
        }
    }

private:
    // ---- Runs ----------------------------------------------------------------------------

    TRun Tandemora(const std::string& mode, const std::string& name, const TSide& left, const TSide& right,
                   const std::map<std::string, std::string>& extra = {}) {
        const std::string dir = base_ + "/runs/" + std::to_string(++serial_);
        stdfs::create_directories(dir);
        std::ostringstream job;
        // The runs of one task share a home, as one user's runs do: the record
        // of the last sync that the next analysis checks lives there.
        job << "mode=" << mode << "\nname=" << name << "\nhome=" << base_ << "/homes/" << name
            << "\nresult=" << dir << "/result\n";
        for (const auto& [key, side] :
             {std::pair<std::string, const TSide*>{"left", &left}, {"right", &right}}) {
            job << key << ".kind=" << side->Kind << "\n"
                << key << ".path=" << side->Path << "\n"
                << key << ".user=" << side->User << "\n"
                << key << ".password=" << side->Password << "\n";
        }
        for (const auto& [key, value] : extra) {
            job << key << "=" << value << "\n";
        }
        const std::string specFile = dir + "/job";
        WriteText(specFile, job.str());
        chmod(specFile.c_str(), 0600);
        sync();
        std::cout.flush();
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/proc/self/exe", "sync_bench", "--child", specFile.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        TRun run;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::cerr << "  the Tandemora run " << name << " failed (status " << status << ")\n";
            return run;
        }
        std::map<std::string, std::string> r = ReadPairs(dir + "/result");
        run.R.AnalysisS = std::atof(r["analysis"].c_str());
        run.R.SyncS = std::atof(r["sync"].c_str());
        run.R.Ops = std::atol(r["ops"].c_str());
        run.R.Errors = std::atol(r["errors"].c_str());
        run.R.Lines = std::atol(r["lines"].c_str());
        run.R.SyncStartRssKb = std::atol(r["rss"].c_str());
        run.R.SyncPeakKb = std::atol(r["peak"].c_str());
        run.R.PutS = std::atof(r["put"].c_str());
        run.R.GetS = std::atof(r["get"].c_str());
        run.R.PutResult = std::atoi(r["putresult"].c_str());
        run.R.GetResult = std::atoi(r["getresult"].c_str());
        run.Ok = run.R.Errors == 0;
        if (!o_.Keep) {
            stdfs::remove_all(dir);
        }
        return run;
    }

    // The program itself started from its command line as a scheduled run starts
    // it (no display), in the program folder of the task's home: the whole
    // process from its start to its end, with its peak resident memory.
    struct TProcessRun {
        bool Ok = false;
        double S = 0;
        long PeakKb = 0;
    };

    TProcessRun Process(const std::string& name, const TSide& left, const TSide& right, bool analysisOnly) {
        const std::string home = base_ + "/homes/" + name;
        const std::string program = home + "/program/";
        if (!stdfs::exists(program + "tandemora")) {
            // The child prepares the folders and saves the task; the program joins it.
            Tandemora("save", name, left, right, {{"analysisonly", analysisOnly ? "1" : "0"}});
            stdfs::copy_file(TANDEMORA_PROGRAM, program + "tandemora",
                             stdfs::copy_options::overwrite_existing);
        }
        sync();
        std::cout.flush();
        const auto start = Clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            UseHome(home);
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            unsetenv("QT_QPA_PLATFORM");
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0) {
                dup2(null, STDOUT_FILENO);
                dup2(null, STDERR_FILENO);
            }
            execl((program + "tandemora").c_str(), "tandemora", name.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        struct rusage usage {};
        wait4(pid, &status, 0, &usage);
        TProcessRun run;
        run.S = Seconds(Clock::now() - start);
        run.PeakKb = usage.ru_maxrss;
        run.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!run.Ok) {
            std::cerr << "  the program's run of " << name << " ended with status " << status << "\n";
        }
        return run;
    }

    // A command of another tool, timed from its start to its end; its output goes
    // to log (shown when it fails).
    TTimed Command(const std::string& command, const std::string& log) {
        sync();
        const auto start = Clock::now();
        TTimed t;
        const std::string line = "(" + command + ") > " + ShellQuote(log) + " 2>&1";
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        struct rusage usage {};
        wait4(pid, &status, 0, &usage);
        t.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        t.S = Seconds(Clock::now() - start);
        t.PeakKb = usage.ru_maxrss;
        if (!t.Ok) {
            std::cerr << "  failed: " << command << "\n" << ReadText(log).substr(0, 2000) << "\n";
        }
        return t;
    }

    // ---- Small files, three stages, four tools ----------------------------------------------------

    struct TTool {
        std::string Label;
        bool TwoWay = true;
        std::function<TTimed(int stage, const std::string& dir, const std::string& left,
                             const std::string& right)>
            Sync;
    };

    std::vector<TTool> SmallTools() {
        std::vector<TTool> tools;
        auto wanted = [this](const std::string& name) {
            if (o_.Tools.count(name) == 0) {
                return false;
            }
            if (name != "tandemora" && !HaveTool(name)) {
                std::cout << name << " is not installed: left out (bench/sync_bench.sh installs it)\n";
                return false;
            }
            return true;
        };
        if (wanted("tandemora")) {
            // The user's clock: the whole program from its start to its end.
            tools.push_back({"Tandemora process", true,
                             [this](int, const std::string&, const std::string& l, const std::string& r) {
                                 const TProcessRun run = Process("small-process", {dtLocal, l, "", ""},
                                                                 {dtLocal, r, "", ""}, false);
                                 return TTimed{run.Ok, run.S};
                             }});
        }
        if (wanted("tandemora")) {
            tools.push_back(
                {"Tandemora", true,
                 [this](int, const std::string&, const std::string& l, const std::string& r) {
                     TRun run = Tandemora(o_.Mode, "small", {dtLocal, l, "", ""}, {dtLocal, r, "", ""});
                     return TTimed{run.Ok && run.R.Ops >= 0, run.Total()};
                 }});
        }
        if (wanted("unison")) {
            tools.push_back({"unison", true,
                             [this](int, const std::string& dir, const std::string& l, const std::string& r) {
                                 stdfs::create_directories(dir + "/home/unison");
                                 return Command("HOME=" + ShellQuote(dir + "/home") +
                                                    " UNISON=" + ShellQuote(dir + "/home/unison") +
                                                    " unison " + ShellQuote(l) + " " + ShellQuote(r) +
                                                    " -batch -times -silent",
                                                dir + "/unison.log");
                             }});
        }
        if (wanted("rclone")) {
            tools.push_back(
                {"rclone bisync", true,
                 [this](int stage, const std::string& dir, const std::string& l, const std::string& r) {
                     stdfs::create_directories(dir + "/bisync");
                     return Command("rclone bisync " + ShellQuote(l) + " " + ShellQuote(r) +
                                        " --config /dev/null --workdir " + ShellQuote(dir + "/bisync") +
                                        (stage == 0 ? " --resync" : ""),
                                    dir + "/rclone.log");
                 }});
        }
        if (wanted("rsync")) {
            tools.push_back({"rsync -a", false,
                             [this](int, const std::string& dir, const std::string& l, const std::string& r) {
                                 return Command("rsync -a --delete " + ShellQuote(l + "/") + " " +
                                                    ShellQuote(r + "/"),
                                                dir + "/rsync.log");
                             }});
        }
        if (wanted("cp")) {
            // What the disk allows a plain copy that is made durable: the first
            // stage copies into the empty folder, later stages make the mirror
            // anew (cp deletes nothing), each followed by sync.
            tools.push_back(
                {"cp -a + sync", false,
                 [this](int stage, const std::string& dir, const std::string& l, const std::string& r) {
                     const std::string copy =
                         stage == 0
                             ? "cp -a " + ShellQuote(l + "/.") + " " + ShellQuote(r + "/")
                             : "rm -rf " + ShellQuote(r) + " && cp -a " + ShellQuote(l) + " " + ShellQuote(r);
                     return Command(copy + " && sync", dir + "/cp.log");
                 }});
        }
        return tools;
    }

    void SmallCase() {
        const std::string master = base_ + "/small/master";
        std::cout << "\n== small files: " << o_.Files << " files of 0-" << o_.MaxSize << " bytes in "
                  << o_.Folders << " folders ==" << std::endl;
        const std::vector<std::string> files = GenerateTree(master, o_.Files, o_.Folders, o_.MaxSize);
        const std::vector<TTool> tools = SmallTools();
        const char* const stages[] = {"first sync into an empty folder", "re-sync, nothing changed",
                                      "re-sync after changes on each side"};
        std::vector<std::vector<TTimed>> times(tools.size());
        std::vector<std::vector<std::string>> checks(tools.size());
        std::vector<long> expected(tools.size(), static_cast<long>(files.size()));
        auto dirOf = [this](size_t t) { return base_ + "/small/tool" + std::to_string(t); };
        for (size_t t = 0; t < tools.size(); ++t) {
            stdfs::create_directories(dirOf(t) + "/right");
            MustShell("cp -a " + ShellQuote(master) + " " + ShellQuote(dirOf(t) + "/left"));
        }
        // Stage by stage, every tool in turn: what else the machine does at the
        // time weighs on all of them alike.
        for (int stage = 0; stage < 3; ++stage) {
            for (size_t t = 0; t < tools.size(); ++t) {
                const std::string left = dirOf(t) + "/left";
                const std::string right = dirOf(t) + "/right";
                if (stage == 2) {
                    const Changes l = ChangeSide(left, files, 0, o_.MaxSize);
                    expected[t] += l.Added - l.Deleted;
                    if (tools[t].TwoWay) {
                        const Changes r = ChangeSide(right, files, 1, o_.MaxSize);
                        expected[t] += r.Added - r.Deleted;
                    }
                    if (t == 0) {
                        std::cout << "changes per side: " << l.Edited << " edited, " << l.Added << " new, "
                                  << l.Deleted << " deleted" << std::endl;
                    }
                }
                const TTimed timed = tools[t].Sync(stage, dirOf(t), left, right);
                const std::string differs = CompareTrees(left, right, expected[t]);
                times[t].push_back(timed);
                checks[t].push_back(!timed.Ok ? "FAILED" : differs.empty() ? "equal" : "DIFFER: " + differs);
                std::printf("  %-14s %-36s %8.2f s  %s\n", tools[t].Label.c_str(), stages[stage], timed.S,
                            checks[t].back().c_str());
                std::fflush(stdout);
            }
        }
        std::printf("\n| stage |");
        for (const TTool& tool : tools) {
            std::printf(" %s |", tool.TwoWay ? tool.Label.c_str() : (tool.Label + " (one way)").c_str());
        }
        std::printf("\n|---|");
        for (size_t t = 0; t < tools.size(); ++t) {
            std::printf("---|");
        }
        std::printf("\n");
        for (int stage = 0; stage < 3; ++stage) {
            std::printf("| %s |", stages[stage]);
            for (size_t t = 0; t < tools.size(); ++t) {
                std::printf(" %.2f s%s |", times[t][stage].S,
                            checks[t][stage] == "equal" ? "" : (" " + checks[t][stage]).c_str());
            }
            std::printf("\n");
        }
        const bool compared = !tools.empty() && tools[0].Label.compare(0, 9, "Tandemora") == 0;
        for (size_t t = 1; compared && t < tools.size(); ++t) {
            std::printf("%s's time / %s's, per stage:", tools[0].Label.c_str(), tools[t].Label.c_str());
            for (int stage = 0; stage < 3; ++stage) {
                std::printf(" %.2f", times[0][stage].S / std::max(1e-6, times[t][stage].S));
            }
            std::printf("\n");
        }
        if (!o_.Keep) {
            std::cout << "removing the trees..." << std::endl;
            stdfs::remove_all(base_ + "/small");
        }
    }

    // ---- One large file ------------------------------------------------------------------------------

    static double Median(std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values.empty() ? 0 : values[values.size() / 2];
    }

    void LargeCase() {
        const std::string dir = base_ + "/large";
        const std::string src = dir + "/src";
        stdfs::create_directories(src);
        std::cout << "\n== one large file: " << o_.LargeMb << " MB, median of " << o_.Rounds
                  << " rounds ==" << std::endl;
        WriteLargeFile(src + "/big.bin", o_.LargeMb << 20);
        std::vector<double> cps;
        std::vector<double> runs;
        std::vector<double> syncs;
        bool ok = true;
        for (int round = 0; round < o_.Rounds; ++round) {
            const std::string copy = dir + "/cp/big.bin";
            stdfs::create_directories(dir + "/cp");
            const TTimed cp = Command("cp " + ShellQuote(src + "/big.bin") + " " + ShellQuote(copy) +
                                          " && sync " + ShellQuote(copy),
                                      dir + "/cp.log");
            cps.push_back(cp.S);
            ok = ok && cp.Ok;
            stdfs::remove(copy);
            const std::string target = dir + "/tandemora" + std::to_string(round);
            stdfs::create_directories(target);
            const TRun t = Tandemora(o_.Mode, "large" + std::to_string(round), {dtLocal, src, "", ""},
                                     {dtLocal, target, "", ""});
            ok = ok && t.Ok && t.R.Ops == 1 && SameBytes(src + "/big.bin", target + "/big.bin");
            runs.push_back(t.Total());
            syncs.push_back(t.R.SyncS);
            stdfs::remove_all(target);
        }
        std::printf("| cp + sync | Tandemora (analysis + sync) | of which the sync |\n|---|---|---|\n");
        std::printf("| %.2f s | %.2f s%s | %.2f s |\n", Median(cps), Median(runs), ok ? "" : " FAILED",
                    Median(syncs));
        std::printf("Tandemora's speed / cp's: %.2f (bar >= 0.9)\n",
                    Median(cps) / std::max(1e-6, Median(runs)));
        if (!o_.Keep) {
            stdfs::remove_all(dir);
        }
    }

    // ---- FTP and WebDAV on loopback ---------------------------------------------------------------------

    TServer& StartServer(const std::string& kind) {
        TServer server;
        server.Script = std::string(TANDEMORA_SOURCE_DIR) + "/tests/servers/" + kind + ".sh";
        server.State = base_ + "/" + kind + "-server";
        servers_.push_back(server);
        MustShell("bash " + ShellQuote(server.Script) + " start " + ShellQuote(server.State) + " > " +
                  ShellQuote(base_ + "/" + kind + "-start.log") + " 2>&1");
        servers_.back().Env = ReadPairs(server.State + "/env");
        return servers_.back();
    }

    void RemoteCase() {
        const std::string dir = base_ + "/remote";
        const std::string src = dir + "/src";
        stdfs::create_directories(src);
        std::cout << "\n== one " << o_.RemoteMb << " MB file up to and down from loopback servers, median of "
                  << o_.Rounds << " rounds ==" << std::endl;
        WriteLargeFile(src + "/big.bin", o_.RemoteMb << 20);
        std::printf("| server | curl up | curl down | curl down + fsync | Tandemora up | Tandemora down | "
                    "whole run up | whole run down |\n|---|---|---|---|---|---|---|---|\n");
        for (const char* kind : {"ftp", "webdav"}) {
            RemoteServer(kind, dir, src);
        }
        if (!o_.Keep) {
            stdfs::remove_all(dir);
        }
    }

    void RemoteServer(const std::string& kind, const std::string& dir, const std::string& src) {
        const TServer& server = StartServer(kind);
        std::map<std::string, std::string> env = server.Env;
        const bool ftp = kind == "ftp";
        const std::string url = env["URL"];
        const std::string auth = " -u " + ShellQuote(env["USER"] + ":" + env["PASSWORD"]);
        const int deviceType = ftp ? dtFtp : dtWebDav;
        const std::string log = dir + "/" + kind + "-curl.log";
        const std::string file = src + "/big.bin";
        std::vector<double> curlUp, curlDown, curlDownSync, up, down, runUp, runDown;
        bool curlOk = true;
        bool xferOk = true;
        bool runsOk = true;
        for (int round = 0; round < o_.Rounds; ++round) {
            // The folders this round works in.
            const std::string r = std::to_string(round);
            for (const std::string& folder : {"curl" + r, "up" + r, "xfer" + r}) {
                MustShell(ftp ? "curl -sS" + auth + " -Q " + ShellQuote("MKD " + folder) + " " +
                                    ShellQuote(url + "/") + " -o /dev/null"
                              : "curl -sS --fail" + auth + " -X MKCOL " + ShellQuote(url + "/" + folder) +
                                    " -o /dev/null");
            }
            const std::string remote = ShellQuote(url + "/curl" + r + "/big.bin");
            const std::string fetched = dir + "/" + kind + "-curl.bin";
            const TTimed cu =
                Command("curl -sS --fail" + auth + " -T " + ShellQuote(file) + " " + remote, log);
            const TTimed cd =
                Command("curl -sS --fail" + auth + " -o " + ShellQuote(fetched) + " " + remote, log);
            stdfs::remove(fetched);
            const TTimed cds = Command("curl -sS --fail" + auth + " -o " + ShellQuote(fetched) + " " +
                                           remote + " && sync " + ShellQuote(fetched),
                                       log);
            curlOk = curlOk && cu.Ok && cd.Ok && cds.Ok && SameBytes(file, fetched);
            stdfs::remove(fetched);
            curlUp.push_back(cu.S);
            curlDown.push_back(cd.S);
            curlDownSync.push_back(cds.S);

            const std::string got = dir + "/" + kind + "-xfer.bin";
            const TSide xferSide{deviceType, url + "/xfer" + r, env["USER"], env["PASSWORD"]};
            const TRun put = Tandemora("transfer", "xfer", {dtLocal, dir, "", ""}, xferSide,
                                       {{"direction", "put"}, {"file", file}});
            const TRun get = Tandemora("transfer", "xfer", {dtLocal, dir, "", ""}, xferSide,
                                       {{"direction", "get"}, {"file", file}, {"download", got}});
            xferOk = xferOk && put.R.PutResult == 0 && get.R.GetResult == 0 && SameBytes(file, got);
            stdfs::remove(got);
            up.push_back(put.R.PutS);
            down.push_back(get.R.GetS);

            const TSide upSide{deviceType, url + "/up" + r, env["USER"], env["PASSWORD"]};
            const TRun u = Tandemora(o_.Mode, "up" + r, {dtLocal, src, "", ""}, upSide);
            const std::string local = dir + "/" + kind + "-down" + r;
            stdfs::create_directories(local);
            const TRun d = Tandemora(o_.Mode, "down" + r, {dtLocal, local, "", ""}, upSide);
            runsOk =
                runsOk && u.Ok && u.R.Ops == 1 && d.Ok && d.R.Ops == 1 && SameBytes(file, local + "/big.bin");
            runUp.push_back(u.Total());
            runDown.push_back(d.Total());
            stdfs::remove_all(local);
        }
        std::printf("| %s | %.2f s | %.2f s | %.2f s%s | %.2f s | %.2f s%s | %.2f s | %.2f s%s |\n",
                    ftp ? "FTP (Pure-FTPd)" : "WebDAV (Apache)", Median(curlUp), Median(curlDown),
                    Median(curlDownSync), curlOk ? "" : " FAILED", Median(up), Median(down),
                    xferOk ? "" : " FAILED", Median(runUp), Median(runDown), runsOk ? "" : " FAILED");
        std::printf("  Tandemora / curl: up %.2f, down %.2f (down / curl + fsync: %.2f)  (bar <= 1.2)\n",
                    Median(up) / std::max(1e-6, Median(curlUp)),
                    Median(down) / std::max(1e-6, Median(curlDown)),
                    Median(down) / std::max(1e-6, Median(curlDownSync)));
        std::fflush(stdout);
    }

    // ---- Memory of a large sync -------------------------------------------------------------------------

    void MemoryCase() {
        std::cout << "\n== memory of a first sync of " << o_.Memory << " files ==" << std::endl;
        std::printf("| driven as | items | resident at sync start | peak during sync | bytes per item beyond "
                    "the analysis | sync time |\n|---|---|---|---|---|---|\n");
        for (const std::string mode : {"engine", "window"}) {
            const std::string dir = base_ + "/memory-" + mode;
            GenerateTree(dir + "/left", o_.Memory, std::max(1, o_.Memory / 20), 64);
            stdfs::create_directories(dir + "/right");
            const TRun t = Tandemora(mode, "memory-" + mode, {dtLocal, dir + "/left", "", ""},
                                     {dtLocal, dir + "/right", "", ""});
            const double beyond = static_cast<double>(t.R.SyncPeakKb - t.R.SyncStartRssKb) * 1024.0;
            std::printf("| %s | %ld | %.1f MB | %.1f MB | %.0f | %.2f s%s |\n", mode.c_str(), t.R.Ops,
                        t.R.SyncStartRssKb / 1024.0, t.R.SyncPeakKb / 1024.0,
                        beyond / static_cast<double>(std::max<long>(1, t.R.Ops)), t.R.SyncS,
                        t.Ok ? "" : " FAILED");
            std::fflush(stdout);
            if (!o_.Keep) {
                stdfs::remove_all(dir);
            }
        }
    }

    // ---- One folder of many files
    // --------------------------------------------------------------------------

    void FlatCase() {
        std::cout << "\n== " << o_.Flat << " files in one folder against the same files in " << o_.Flat / 50
                  << " folders ==" << std::endl;
        std::printf("| layout | Tandemora | per item |\n|---|---|---|\n");
        for (const int folders : {1, std::max(1, o_.Flat / 50)}) {
            const std::string dir = base_ + "/flat-" + std::to_string(folders);
            GenerateTree(dir + "/left", o_.Flat, folders, o_.MaxSize);
            stdfs::create_directories(dir + "/right");
            const TRun t = Tandemora(o_.Mode, "flat" + std::to_string(folders),
                                     {dtLocal, dir + "/left", "", ""}, {dtLocal, dir + "/right", "", ""});
            std::printf("| %d folder%s | %.2f s%s | %.3f ms |\n", folders, folders == 1 ? "" : "s", t.Total(),
                        t.Ok ? "" : " FAILED", t.Total() * 1000.0 / o_.Flat);
            std::fflush(stdout);
            if (!o_.Keep) {
                stdfs::remove_all(dir);
            }
        }
    }

    // ---- A large analysis, and a level of many new folders and files ----------------------------

    // Empty files are enough: an analysis reads names, sizes and times only.
    static void MakeEmptyFiles(const std::string& folder, int from, int count, const char* prefix) {
        stdfs::create_directories(folder);
        for (int i = from; i < from + count; ++i) {
            const std::string path = folder + "/" + prefix + std::to_string(i);
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0) {
                Fail("cannot make " + path);
            }
            close(fd);
        }
    }

    void MillionCase() {
        const int folders = std::max(1, o_.Million / 1000);
        std::cout << "\n== analysis of " << o_.Million << " files in " << folders
                  << " folders ==" << std::endl;
        const std::string dir = base_ + "/million";
        for (int f = 0; f < folders; ++f) {
            const int from = f * (o_.Million / folders);
            const int count = f + 1 == folders ? o_.Million - from : o_.Million / folders;
            MakeEmptyFiles(dir + "/left/d" + std::to_string(f), from, count, "f");
        }
        stdfs::create_directories(dir + "/right");
        std::printf("| tool | time | peak memory | bytes per item |\n|---|---|---|---|\n");
        auto row = [this](const char* tool, double seconds, long peakKb, bool ok) {
            std::printf("| %s | %.2f s%s | %.1f MB | %.0f |\n", tool, seconds, ok ? "" : " FAILED",
                        peakKb / 1024.0, peakKb * 1024.0 / o_.Million);
            std::fflush(stdout);
        };
        const TTimed find = Command("find " + ShellQuote(dir + "/left") + " -printf '%s %T@\\n' > /dev/null",
                                    dir + "/find.log");
        row("find -printf", find.S, find.PeakKb, find.Ok);
        if (HaveTool("rsync")) {
            const TTimed rsync =
                Command("rsync -an " + ShellQuote(dir + "/left/") + " " + ShellQuote(dir + "/right/"),
                        dir + "/rsync.log");
            row("rsync -an", rsync.S, rsync.PeakKb, rsync.Ok);
        }
        const TProcessRun t =
            Process("million", {dtLocal, dir + "/left", "", ""}, {dtLocal, dir + "/right", "", ""}, true);
        row("Tandemora process (analysis)", t.S, t.PeakKb, t.Ok);
        if (!o_.Keep) {
            stdfs::remove_all(dir);
        }
    }

    void LevelCase() {
        const int half = std::max(1, o_.Level / 2);
        std::cout << "\n== analysis of " << half << " new folders and " << half
                  << " new files in one folder, against the same in 1,000 folders ==" << std::endl;
        std::printf("| layout | Tandemora process (analysis) | per item |\n|---|---|---|\n");
        for (const int folders : {1, 1000}) {
            const std::string dir = base_ + "/level-" + std::to_string(folders);
            for (int f = 0; f < folders; ++f) {
                const std::string folder = dir + "/left" + (folders == 1 ? "" : "/g" + std::to_string(f));
                const int count = half / folders;
                MakeEmptyFiles(folder, f * count, count, "file");
                for (int i = f * count; i < (f + 1) * count; ++i) {
                    stdfs::create_directories(folder + "/dir" + std::to_string(i));
                }
            }
            stdfs::create_directories(dir + "/right");
            const TProcessRun t = Process("level" + std::to_string(folders), {dtLocal, dir + "/left", "", ""},
                                          {dtLocal, dir + "/right", "", ""}, true);
            std::printf("| %d folder%s | %.2f s%s | %.3f ms |\n", folders, folders == 1 ? "" : "s", t.S,
                        t.Ok ? "" : " FAILED", t.S * 1000.0 / (2.0 * half));
            std::fflush(stdout);
            if (!o_.Keep) {
                stdfs::remove_all(dir);
            }
        }
    }

    Options o_;
    std::string base_;
    int serial_ = 0;
    std::vector<TServer> servers_;
};

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 3 && std::string(argv[1]) == "--child") {
            return ChildMain(argv[2]);
        }
        TBench bench(ParseOptions(argc, argv));
        bench.Run();
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "sync_bench: " << e.what() << std::endl;
        return 1;
    }
}
