#pragma once
// The reference model of a sync that remembers the last state in which both
// sides agreed, the random steps a user takes between runs, and the replay and
// shrinking of a failing sequence. ModelSyncTest.cpp explains the checks and the
// steps; the remote suites run the same model with the right side on a server.

#include "PairFolder.h"
#include "endpoints/UTFileOper.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <vector>

namespace syncmodel {

using namespace pairtest;

enum { L = 0, R = 1 };
// Late 2043 in UTC, 2 minutes per edit, so sequences cross into 2044, where DOS
// times turn negative as 32-bit numbers; times set "older" count down from here.
constexpr time_t kClock0 = 2335215600;
constexpr time_t kStep = 120;
constexpr int kRunsPerSeed = 8;

using TOp = std::vector<std::string>; // "L put a/b 12 7", "T del 1", "run"
using TOpt = std::optional<TItem>;

inline std::string Text(const std::vector<TOp>& ops) {
    std::string text;
    for (const TOp& op : ops) {
        for (size_t i = 0; i < op.size(); ++i) {
            text += (i == 0 ? (text.empty() ? "" : "; ") : " ") + op[i];
        }
    }
    return text;
}

inline std::vector<TOp> Parse(const std::string& script) {
    std::vector<TOp> ops;
    std::istringstream steps(script);
    for (std::string step; std::getline(steps, step, ';');) {
        std::istringstream words(step);
        ops.emplace_back(std::istream_iterator<std::string>(words), std::istream_iterator<std::string>());
    }
    return ops;
}

inline std::string Content(int tick, size_t length) {
    std::string bytes = "v" + std::to_string(tick) + ".";
    bytes.resize(std::max(length, bytes.size()), static_cast<char>('a' + tick % 26));
    return bytes;
}

inline std::string Parent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

inline TOpt At(const TTree& tree, const std::string& path) {
    const auto it = tree.find(path);
    return it == tree.end() ? TOpt() : TOpt(it->second);
}

// The same item for the engine's purposes: kind, and for files bytes and time.
inline bool Same(const TOpt& a, const TOpt& b) {
    if (!a || !b) {
        return !a && !b;
    }
    return a->Dir == b->Dir && (a->Dir || (a->Bytes == b->Bytes && a->Dos == b->Dos));
}

// Two files of the same bytes, whatever their times.
inline bool Alike(const TOpt& a, const TOpt& b) {
    return Same(a, b) || (a && b && !a->Dir && !b->Dir && a->Bytes == b->Bytes);
}

inline bool HasBelow(const TTree& tree, const std::string& path) {
    const auto it = tree.lower_bound(path + "/");
    return it != tree.end() && it->first.compare(0, path.size() + 1, path + "/") == 0;
}

// Where a kept previous version of a folder holds the file's name, or one of a
// file holds a folder's name on its way, a file's previous version cannot be
// kept, and the run refuses to replace or delete it (and says so).
inline bool SavedInTheWay(const TTree& saved, const std::string& path) {
    const TOpt there = At(saved, path);
    bool blocked = there && there->Dir;
    for (std::string up = Parent(path); !up.empty(); up = Parent(up)) {
        const TOpt above = At(saved, up);
        blocked = blocked || (above && !above->Dir);
    }
    return blocked;
}

struct TVerdict {
    TOpt Final[2];
    bool Pending = false;  // left as it is, and proposed again
    bool Loose = false;    // no exact expectation; only nothing lost
    bool Replaced[2] = {}; // this side's item may be overwritten or removed
    int Holds = -1;        // the side that turned up empty, whose deletion waits
    bool Agreed = false;   // two files of the same bytes: in step, each with its own time
    bool Unseen = false;   // at or below a folder a side cannot read: left as it is
};

// A disk mounted on a folder of a side (a memory file system), which can be
// taken away and brought back with what it held. Mounting needs privileges a
// test run may not have: then it is never mounted, and its steps do nothing.
class TDisk {
public:
    explicit TDisk(std::string folder) : folder_(std::move(folder)) {}
    ~TDisk() {
        if (Plugged) {
            umount2(folder_.c_str(), MNT_DETACH);
        }
    }
    TDisk(const TDisk&) = delete;
    TDisk& operator=(const TDisk&) = delete;

    const std::string& Folder() const { return folder_; }
    bool Plugged = false;

    bool Plug() {
        std::error_code error;
        if (Plugged || !std::filesystem::is_empty(folder_, error) ||
            mount("tandemora-test", folder_.c_str(), "tmpfs", 0, "size=1m") != 0) {
            return false;
        }
        Plugged = true;
        Move(stash_.path(), folder_);
        return true;
    }
    void Unplug() {
        if (Plugged) {
            Move(folder_, stash_.path());
            Plugged = umount2(folder_.c_str(), MNT_DETACH) != 0;
        }
    }

private:
    // Everything in from to to (both of this disk's), with its times and modes.
    static void Move(const std::string& from, const std::string& to) {
        std::error_code error;
        std::vector<std::pair<std::string, struct stat>> folders;
        for (auto it = std::filesystem::recursive_directory_iterator(from, error);
             it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
            struct stat st;
            const std::string target = to + "/" + std::filesystem::relative(it->path(), from).string();
            if (lstat(it->path().c_str(), &st) != 0) {
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                std::filesystem::create_directories(target, error);
                folders.emplace_back(target, st);
                continue;
            }
            testsupport::WriteFile(target, testsupport::ReadFile(it->path().string()));
            chmod(target.c_str(), st.st_mode & 07777);
            SetTime(target, st.st_mtime);
        }
        for (const auto& [folder, st] : folders) {
            chmod(folder.c_str(), st.st_mode & 07777);
        }
        for (const auto& entry : std::filesystem::directory_iterator(from, error)) {
            std::filesystem::remove_all(entry.path(), error);
        }
    }

    std::string folder_;
    testsupport::TempDir stash_;
};

// Where the right side lives: a local folder (Open empty), or a folder of a
// server. There the model reads and edits the server's folder on disk, as
// another client of the server would, and leaves out what a server cannot
// hold or the test cannot play there: mounted disks, another folder for the
// side, and whatever the switches below leave off.
struct TRightSide {
    // Points the task's right folder at a fresh, empty folder of the server;
    // that folder on this machine.
    std::function<std::string(TSyncTask&)> Open;
    uid_t Uid = 0; // the server's user, whose files they must be
    gid_t Gid = 0;
    // Names starting with "." on both sides, and the switch that leaves them out.
    bool HiddenNames = false;
    // Files made read-only, here and in the server's folder (where the program
    // sees no such bit: the server's user may still replace and delete them).
    bool ReadOnlyBits = false;
    // Folders of the server's closed to its user (chmod 0), which the server
    // then cannot list; a server running as root sees through that.
    bool Locks = false;
    // What can be done to the server itself before a run and undone after it:
    // a restart between runs, or a server down or frozen for a whole run
    // (Silent), which that run must leave as it found it.
    struct TStep {
        std::string Name;
        bool Silent = false;
        std::function<bool()> Before;
        std::function<bool()> After;
    };
    std::vector<TStep> Steps;
    int StepOdds = 0; // percent of runs that get one of the Steps
};

// One task's sequence on a fresh pair of folders, with the model beside it.
class TReplay {
public:
    explicit TReplay(uint64_t seed, const TRightSide& right = {})
        : rng_(seed), home_{f_.Root(L), f_.Root(R)}, remote_(static_cast<bool>(right.Open)), right_(right) {
        if (remote_) {
            f_.UseServer(R, right.Open(f_.Task()), right.Uid, right.Gid);
            home_[R] = f_.Root(R);
        }
    }
    ~TReplay() {
        if (remote_ && !unread_[R].empty()) {
            // The server's scratch folder is emptied by the server's user.
            chmod((f_.Root(R) + "/" + unread_[R]).c_str(), 0755);
        }
    }
    TReplay(const TReplay&) = delete;
    TReplay& operator=(const TReplay&) = delete;

    // Applies one step; a run returns the first failed check, else "".
    std::string Apply(const TOp& op) {
        if (op.empty()) {
            return "";
        }
        if (op[0] == "run") {
            ++runs_;
            return Run();
        }
        if (op[0] == "T") {
            SetOption(op[1], op[2]);
        } else if (op[0] == "S") {
            serverStep_ = op[1];
        } else {
            Edit(op[0] == "L" ? L : R, op);
        }
        return "";
    }

    // Picks the steps up to and including the next run, from the sides as they are.
    std::vector<TOp> Generate() {
        std::vector<TOp> ops;
        static const char* const options[] = {"exclude", "include", "hidden", "emptydir", "estimate",
                                              "tags",    "left",    "right",  "empty",    "unmount"};
        // The task's own settings, each value as likely as it is frequent here.
        static const std::pair<const char*, std::string> odds[] = {
            {"dir", "00012"},  {"verified", "01"},   {"del", "110"},  {"policy", "01"},
            {"saveold", "01"}, {"estimate", "0001"}, {"tags", "0001"}};
        if (runs_ == 0) {
            for (const auto& [name, values] : odds) {
                ops.push_back({"T", name, values.substr(Below(values.size()), 1)});
            }
        } else if (const std::string what = options[Below(10)];
                   Chance(30) &&
                   !(remote_ && ((what == "hidden" && !right_.HiddenNames) || what == "right"))) {
            const bool edit = what == "empty" || what == "unmount";
            ops.push_back(edit ? TOp{Chance(50) ? "L" : "R", what}
                               : TOp{"T", what, std::to_string(1 - option_[what])});
        }
        // Now and then a folder the program cannot read, for a run or more, and
        // a run killed after a few operations.
        const int side = static_cast<int>(Below(2));
        if (remote_ && !right_.Locks) {
            // No folder a server's side cannot list here (see TRightSide).
        } else if (!unread_[side].empty() && Chance(40)) {
            ops.push_back({side == L ? "L" : "R", "readable"});
        } else if (runs_ > 0 && unread_[side].empty() && Chance(6)) {
            std::vector<std::string> folders;
            for (const auto& [path, item] : f_.Read(side)) {
                if (item.Dir) {
                    folders.push_back(path);
                }
            }
            if (!folders.empty()) {
                ops.push_back({side == L ? "L" : "R", "unread", folders[Below(folders.size())]});
            }
        }
        if (runs_ > 0 && Chance(6)) {
            ops.push_back({"T", "kill", std::to_string(1 + Below(4))});
        }
        if (runs_ > 0 && !right_.Steps.empty() && Chance(right_.StepOdds)) {
            ops.push_back({"S", right_.Steps[Below(right_.Steps.size())].Name});
        }
        // A disk mounted on a folder of a side, taken away now and then and
        // brought back later.
        const std::string who = side == L ? "L" : "R";
        if (remote_) {
            // No disks mounted with a server's side.
        } else if (TDisk* disk = DiskAt(side, "m"); disk != nullptr) {
            if (disk->Plugged ? Chance(15) : Chance(40)) {
                ops.push_back({who, disk->Plugged ? "unplug" : "plug", "m"});
            }
        } else if (runs_ > 0 && Chance(5)) {
            ops.push_back({who, "mount", "m"});
        }
        for (const TOp& op : ops) {
            Apply(op);
        }
        for (int n = 1 + Below(runs_ == 0 ? 6 : 4); n > 0; --n) {
            for (const TOp& op : UserEdit(Below(2))) {
                Apply(op);
                ops.push_back(op);
            }
        }
        ops.push_back({"run"});
        return ops;
    }

    int Runs() const { return runs_; }

private:
    // ---- The user's edits ----

    // One edit a user might make now on one side, as one or more steps.
    std::vector<TOp> UserEdit(int side) {
        const std::string who = side == L ? "L" : "R";
        const TTree tree = f_.Read(side);
        std::vector<std::string> files;
        std::vector<std::string> folders;
        for (const auto& [path, item] : tree) {
            (item.Dir ? folders : files).push_back(path);
        }
        const auto fresh = [&](const std::string& parent) {
            static const char* const names[] = {"a", "b", "c", "d", ".h"};
            const std::string path =
                (parent.empty() ? "" : parent + "/") + names[Below(remote_ && !right_.HiddenNames ? 4 : 5)];
            return tree.count(path) == 0 && std::count(path.begin(), path.end(), '/') < 3 ? path : "";
        };
        const std::string file = files.empty() ? "" : files[Below(files.size())];
        const std::string folder = folders.empty() ? "" : folders[Below(folders.size())];
        const std::string made = fresh(folders.empty() || Chance(40) ? "" : folders[Below(folders.size())]);
        const std::string item = Chance(70) && !file.empty() ? file : folder;
        const std::string moved = item.empty() ? "" : fresh(Parent(item));
        // Each version gets a new time and, unless its size is kept, a new length.
        const auto put = [&](const std::string& path, size_t length) {
            return TOp{who, "put", path, std::to_string(length != 0 ? length : 6 + tick_),
                       std::to_string(tick_ + 1)};
        };
        std::vector<std::vector<TOp>> offers;
        const auto offer = [&](bool possible, int weight, const std::vector<TOp>& ops) {
            for (int i = 0; possible && i < weight; ++i) {
                offers.push_back(ops);
            }
        };
        offer(!made.empty(), 4, {put(made, 0)});
        offer(!file.empty(), 3, {put(file, 0)});
        offer(!file.empty(), 1, {put(file, file.empty() ? 0 : tree.at(file).Bytes.size())});
        offer(!item.empty(), 2, {{who, "rm", item}});
        offer(!made.empty(), 1, {{who, "mkdir", made}});
        offer(!file.empty(), 1, {{who, "rm", file}, {who, "mkdir", file}, put(file + "/a", 0)});
        offer(!folder.empty(), 1, {{who, "rm", folder}, put(folder, 0)});
        offer(!moved.empty(), 1, {{who, "mv", item, moved}});
        offer(!file.empty(), 1, {{who, "old", file, std::to_string(older_ + 1)}});
        offer(!file.empty() && (!remote_ || right_.ReadOnlyBits), 1, {{who, "ro", file}});
        return offers.empty() ? std::vector<TOp>{put("a", 0)} : offers[Below(offers.size())];
    }

    void Edit(int side, const TOp& op) {
        const std::string root = f_.Root(side);
        const TTree tree = f_.Read(side);
        const std::string& verb = op[1];
        const std::string path = op.size() > 2 ? op[2] : "";
        const TOpt parent = At(tree, Parent(path));
        const bool placeable = Parent(path).empty() || (parent && parent->Dir);
        TDisk* disk = DiskAt(side, path);
        if (verb == "mount" && !At(tree, path) && placeable) {
            f_.Mkdir(side, path);
            disks_.push_back(std::make_unique<TDisk>(root + "/" + path));
            disks_.back()->Plug();
        } else if (verb == "unplug" && disk != nullptr) {
            disk->Unplug();
        } else if (verb == "plug" && disk != nullptr) {
            disk->Plug();
        } else if (OnUnpluggedDisk(side, path)) {
            // Nothing goes onto the folder a disk is mounted on while it is away.
        } else if (verb == "put" && placeable && !(At(tree, path) && At(tree, path)->Dir)) {
            const int tick = std::stoi(op[4]);
            tick_ = std::max(tick_, tick);
            f_.Put(side, path, Content(tick, std::stoul(op[3])), kClock0 + kStep * tick);
        } else if (verb == "mkdir" && placeable && !At(tree, path)) {
            f_.Mkdir(side, path);
        } else if (verb == "rm") {
            f_.Remove(side, path);
        } else if (verb == "mv" && At(tree, path) && !At(tree, op[3]) && Parent(path) == Parent(op[3])) {
            f_.Rename(side, path, op[3]);
        } else if (verb == "old" && At(tree, path) && !At(tree, path)->Dir) {
            older_ = std::max(older_, std::stoi(op[3]));
            f_.SetTime(side, path, kClock0 - kStep * std::stoi(op[3]));
        } else if (verb == "ro" && At(tree, path) && !At(tree, path)->Dir) {
            f_.ReadOnly(side, path);
        } else if (verb == "unread" && remote_ && side == R) {
            // Closed to the server's user on the server itself (a server that
            // runs as root reads it all the same: then nothing is played).
            unread_[side] = right_.Locks ? path : "";
            LockUnread();
        } else if (verb == "unread") {
            unread_[side] = path;
            f_.Unread[side] = path;
        } else if (verb == "readable" && remote_ && side == R) {
            chmod((root + "/" + unread_[side]).c_str(), 0755);
            unread_[side].clear();
        } else if (verb == "readable") {
            unread_[side].clear();
            f_.Unread[side].clear();
        } else if (verb == "empty" || verb == "unmount") {
            std::error_code error; // a disk's folder stays, emptied
            for (const auto& entry : std::filesystem::directory_iterator(root)) {
                if (verb == "unmount" || entry.path().filename() != WorkFolderName) {
                    std::filesystem::remove_all(entry.path(), error);
                }
            }
            const int32_t place = f_.Task().SnapshotPlace();
            if (verb == "unmount" && place != spBothLocal &&
                place != (side == L ? spLeftLocal : spRightLocal)) {
                Forget(); // the side's snapshot went with it
            }
        }
    }

    // The folder of the server's side that its user may not read, closed again
    // (a folder made anew in its place is closed too, as the program's own
    // stand-in for an unread folder keeps any folder of that path unread),
    // and every other folder open: a closed folder renamed takes its mode
    // along, where the model follows the path.
    void LockUnread() const {
        if (!remote_) {
            return;
        }
        for (const auto& [path, item] : f_.Read(R)) {
            if (item.Dir) {
                chmod((f_.Root(R) + "/" + path).c_str(), path == unread_[R] ? 0 : 0755);
            }
        }
    }

    // A side as the program can see it: a server shows no read-only bits.
    TTree Seen(int side) const {
        TTree tree = f_.Read(side);
        for (auto& entry : tree) {
            entry.second.ReadOnly = entry.second.ReadOnly && !(remote_ && side == R);
        }
        return tree;
    }

    TDisk* DiskAt(int side, const std::string& path) const {
        for (const auto& disk : disks_) {
            if (disk->Folder() == f_.Root(side) + "/" + path) {
                return disk.get();
            }
        }
        return nullptr;
    }

    bool OnUnpluggedDisk(int side, const std::string& path) const {
        for (const auto& disk : disks_) {
            if (!disk->Plugged && (f_.Root(side) + "/" + path + "/").rfind(disk->Folder() + "/", 0) == 0) {
                return true;
            }
        }
        return false;
    }

    void SetOption(const std::string& name, const std::string& value) {
        const int v = std::stoi(value);
        if (name == "kill") {
            f_.StopAfter = v;
            return;
        }
        option_[name] = v;
        TSyncTask& t = f_.Task();
        const std::map<std::string, int32_t*> fields = {
            {"dir", &t.SyncDirection},          {"verified", &t.ForcedOrVerified},
            {"del", &t.IsDeleteFile},           {"policy", &t.Conflicts},
            {"saveold", &t.SaveOldFile},        {"estimate", &t.EstimateDiskSpace},
            {"tags", &t.EnsureFolderTags},      {"hidden", &t.ExcludeHiddenFile},
            {"emptydir", &t.ExcludeEmtpyFolder}};
        if (fields.count(name) != 0) {
            *fields.at(name) = v;
        } else if (name == "exclude" || name == "include") {
            (name == "exclude" ? t.ExcludeFilter : t.IncludeFilter) =
                v == 0 ? std::vector<std::string>{}
                       : std::vector<std::string>{name == "exclude" ? "^c" : "^[^d]"};
        } else {
            const int side = name == "left" ? L : R;
            f_.UseFolder(side, v == 1 ? f_.Other(side) : home_[side]);
        }
    }

    void Forget() {
        history_ = false;
        base_.clear();
        ownTimes_.clear();
    }

    // ---- The model ----

    // Left out by its own name or one of its folders' names.
    bool NameFiltered(const std::string& path) const {
        for (size_t start = 0; start <= path.size();) {
            const size_t end = std::min(path.find('/', start), path.size());
            const char first = path[start];
            if ((option_.at("exclude") && first == 'c') || (option_.at("include") && first == 'd') ||
                (option_.at("hidden") && first == '.')) {
                return true;
            }
            start = end + 1;
        }
        return false;
    }

    bool Filtered(const std::string& path, const TTree* sides) const {
        if (NameFiltered(path)) {
            return true;
        }
        // A folder shows through its items: with all of them left out, so is it.
        // Items gone from both sides are no items any more.
        std::set<std::string> items;
        for (const TTree* tree : {&sides[L], &sides[R]}) {
            for (auto it = tree->lower_bound(path + "/");
                 it != tree->end() && it->first.rfind(path + "/", 0) == 0; ++it) {
                items.insert(it->first);
            }
        }
        if (!items.empty()) {
            return std::all_of(items.begin(), items.end(), [&](const std::string& item) {
                return HasBelow(sides[L], item) || HasBelow(sides[R], item) || Filtered(item, sides);
            });
        }
        const TOpt l = At(sides[L], path);
        const TOpt r = At(sides[R], path);
        // An empty folder where the other side has a file of its name is no
        // empty folder to leave out, but an item of the other kind.
        return option_.at("emptydir") && ((l && l->Dir) || (r && r->Dir)) && !(l && !l->Dir) &&
               !(r && !r->Dir);
    }

    // The last agreed state of an item as a side holds it: files agreed by
    // their bytes keep each side's own time.
    TOpt BaseOf(const std::string& path, int side) const {
        TOpt b = history_ ? At(base_, path) : TOpt();
        const auto own = ownTimes_.find(path);
        if (b && own != ownTimes_.end()) {
            b->Dos = own->second[side];
        }
        return b;
    }

    TVerdict Judge(const std::string& path, const TTree* sides) const {
        const TOpt b = BaseOf(path, L);
        const TOpt side[2] = {At(sides[L], path), At(sides[R], path)};
        TVerdict v{{side[L], side[R]}};
        // The same bytes on both sides, both changed since they last agreed (or
        // never in step), are in step, filtered or not; so are both unchanged.
        if (!Same(side[L], side[R]) && Alike(side[L], side[R]) &&
            (!history_ || Same(side[L], b) == Same(side[R], BaseOf(path, R)))) {
            v.Agreed = true;
            return v;
        }
        const bool kinds = side[L] && side[R] && side[L]->Dir != side[R]->Dir;
        if (Filtered(path, sides)) {
            v.Pending = true;
            // A folder whose items are all left out, where the other side has a
            // file of its name: the file is an item of its own, and its deletion
            // may go through while the folder does not show.
            v.Loose = kinds && !NameFiltered(path);
            // A folder left out only for its items still counts as a deletion a
            // side that turned up empty holds back; one left out as an empty
            // folder is left out by its own kind, like a name the filters match.
            const bool leftOutAsEmpty = !HasBelow(sides[L], path) && !HasBelow(sides[R], path);
            for (int s : {L, R}) {
                if (!NameFiltered(path) && !leftOutAsEmpty && history_ && b && !side[s] && side[1 - s] &&
                    Emptied(s, sides) && option_.at("dir") == sdBothWays && option_.at("del")) {
                    v.Holds = s;
                }
            }
            if (!v.Loose) {
                return v;
            }
        }
        if (Same(side[L], side[R])) {
            return v;
        }
        int winner = -1;
        const auto newer = [&] {
            return static_cast<uint32_t>(side[L]->Dos) > static_cast<uint32_t>(side[R]->Dos);
        };
        if (!history_) {
            if (!side[L] || !side[R]) {
                winner = side[L] ? L : R;
            } else if (!kinds && side[L]->Dos != side[R]->Dos && !DirectConflict()) {
                winner = newer() ? L : R;
            }
        } else {
            const bool changed[2] = {!Same(side[L], b), !Same(side[R], BaseOf(path, R))};
            const int target = option_.at("dir") == sdRightToLeft ? L : R;
            // An item of the other kind where the last one went is new, not a change of it.
            const auto replacedKind = [&](int s) {
                return b && side[s] && !side[1 - s] && side[s]->Dir != b->Dir;
            };
            if (changed[L] != changed[R]) {
                winner = changed[L] ? L : R;
            } else if (replacedKind(L) || replacedKind(R)) {
                winner = replacedKind(L) ? L : R;
            } else if (option_.at("dir") != sdBothWays && b && !side[target] && side[1 - target]) {
                winner = 1 - target; // a one-way target follows its source, changed or not
            } else if (option_.at("policy") && side[L] && side[R] && b && !side[L]->Dir && !side[R]->Dir &&
                       !b->Dir) {
                winner = newer() ? L : R;
            }
        }
        const int direction = option_.at("dir");
        if (direction != sdBothWays &&
            (kinds || (b && winner >= 0 && side[winner] && side[winner]->Dir != b->Dir))) {
            v.Loose = true;
        }
        if (winner < 0) {
            v.Pending = true;
            return v;
        }
        const int loser = 1 - winner;
        const TOpt& wins = side[winner];
        const int source = direction == sdRightToLeft ? R : L;
        if (direction == sdBothWays || winner == source) {
            // A deletion (or a change of kind, which deletes too) that is not carried over.
            const bool deletes = !wins || (side[loser] && side[loser]->Dir != wins->Dir);
            if (deletes && (direction != sdBothWays || !option_.at("del") || Emptied(winner, sides))) {
                v.Holds = direction == sdBothWays && option_.at("del") ? winner : -1;
                v.Pending = true;
                return v;
            }
            v.Final[loser] = wins;
            v.Replaced[loser] = side[loser].has_value();
        } else if (side[source] && (!wins || option_.at("verified") == fvForcedCopy)) {
            // The target follows its source: a file it lost comes back, its own edit goes.
            v.Final[winner] = side[source];
            v.Replaced[winner] = wins.has_value();
        } else {
            v.Pending = true;
            return v;
        }
        // The program does not delete a read-only file, unless the one deleted on
        // the other side was read-only there too when last synced (the copy took
        // the bit over); the model does not follow each side's last bit, so then
        // either outcome is fine.
        for (int s : {L, R}) {
            if (v.Replaced[s] && side[s]->ReadOnly && (!v.Final[s] || v.Final[s]->Dir)) {
                if (b && !b->Dir && b->ReadOnly) {
                    v.Loose = true;
                    continue;
                }
                return TVerdict{{side[L], side[R]}, true, v.Loose, {}};
            }
        }
        return v;
    }

    // A folder both sides hold that one side could not read inside, where the
    // other side lists items: it stands in the snapshots as the folder on their
    // way. With nothing listed below it, it is an item left unsettled, and has
    // no entry unless it had one.
    bool UnreadFolderOnTheWay(const std::string& path, const TTree* before, const TTree* after) const {
        const TOpt l = At(after[L], path);
        const TOpt r = At(after[R], path);
        if (!l || !r || !l->Dir || !r->Dir) {
            return false;
        }
        for (int side : {L, R}) {
            const bool readsIt = unread_[side].empty() || (path + "/").rfind(unread_[side] + "/", 0) != 0;
            if (path == unread_[1 - side] && readsIt && HasBelow(before[side], path)) {
                return true;
            }
        }
        return false;
    }

    // Whether a path is at or below a folder a side could not read after the run.
    bool UnreadAfter(const std::string& path, const TTree* after) const {
        for (int side : {L, R}) {
            const TOpt folder = unread_[side].empty() ? TOpt() : At(after[side], unread_[side]);
            if (folder && folder->Dir && (path + "/").rfind(unread_[side] + "/", 0) == 0) {
                return true;
            }
        }
        return false;
    }

    // Runs are unattended: without a last agreed state, a two-way task leaves
    // two different files as they are unless its policy lets the newer win.
    bool DirectConflict() const { return option_.at("dir") == sdBothWays && !option_.at("policy"); }

    bool Emptied(int side, const TTree* sides) const {
        return history_ && !base_.empty() && sides[side].empty();
    }

    // Per-item verdicts made consistent as trees: an item that stays or arrives
    // on a side needs its folders there.
    std::map<std::string, TVerdict> Expect(const TTree* sides) const {
        std::set<std::string> paths;
        for (const TTree* tree : {&sides[L], &sides[R], &base_}) {
            for (const auto& entry : *tree) {
                paths.insert(entry.first);
            }
        }
        std::map<std::string, TVerdict> verdicts;
        for (const std::string& path : paths) {
            verdicts[path] = Judge(path, sides);
        }
        // Nothing happens at or below a folder a side cannot read, on either side.
        for (int side : {L, R}) {
            const TOpt unread = unread_[side].empty() ? TOpt() : At(sides[side], unread_[side]);
            for (auto& [path, v] : verdicts) {
                const TOpt other = At(sides[1 - side], path);
                if (unread && unread->Dir && path == unread_[side] && other && !other->Dir) {
                    v.Loose = true; // a file of its name on the other side is an item of its own
                } else if (unread && unread->Dir && (path + "/").rfind(unread_[side] + "/", 0) == 0) {
                    v = TVerdict{{At(sides[L], path), At(sides[R], path)}, true};
                    v.Unseen = true;
                } else if (unread && unread->Dir && unread_[side].rfind(path + "/", 0) == 0 &&
                           !At(sides[1 - side], path)) {
                    v.Loose = true; // a folder on the way, made on the other side or not
                }
            }
        }
        // A side that turned up empty and holds deletions back gets nothing either.
        for (int side : {L, R}) {
            const bool holds = std::any_of(verdicts.begin(), verdicts.end(),
                                           [side](const auto& v) { return v.second.Holds == side; });
            for (auto& [path, v] : verdicts) {
                if (holds && v.Final[side] && !Same(v.Final[side], At(sides[side], path))) {
                    v = TVerdict{{At(sides[L], path), At(sides[R], path)}, true};
                }
            }
        }
        // A disk's folder that holds nothing visible while the last agreed state
        // has items below it: its disk may be away, and the program may hold
        // back what would follow from that. Only nothing lost is asked there.
        for (int side : {L, R}) {
            for (const auto& disk : disks_) {
                const std::string prefix = f_.Root(side) + "/";
                if (disk->Folder().rfind(prefix, 0) != 0) {
                    continue;
                }
                const std::string folder = disk->Folder().substr(prefix.size());
                const TOpt there = At(sides[side], folder);
                bool visible = false;
                for (auto it = sides[side].lower_bound(folder + "/");
                     it != sides[side].end() && it->first.rfind(folder + "/", 0) == 0; ++it) {
                    visible = visible || (Parent(it->first) == folder && it->first[folder.size() + 1] != '.');
                }
                if (there && there->Dir && disk->Plugged && verdicts.count(folder) != 0 &&
                    !(verdicts[folder].Final[side] && verdicts[folder].Final[side]->Dir)) {
                    verdicts[folder].Loose = true; // a mount point cannot be removed
                }
                if (there && there->Dir && !visible && HasBelow(base_, folder)) {
                    for (auto& [path, v] : verdicts) {
                        v.Loose = v.Loose || (path + "/").rfind(folder + "/", 0) == 0;
                    }
                }
            }
        }
        for (auto it = verdicts.rbegin(); it != verdicts.rend(); ++it) {
            const std::string parent = Parent(it->first);
            for (int side : {L, R}) {
                // An item without an exact expectation may stay where it is, and
                // its folder with it.
                if (!parent.empty() && it->second.Loose && !it->second.Final[side] &&
                    At(sides[side], it->first) &&
                    (!verdicts[parent].Final[side] || !verdicts[parent].Final[side]->Dir)) {
                    verdicts[parent].Loose = true;
                }
                if (parent.empty() || !it->second.Final[side]) {
                    continue;
                }
                TVerdict& up = verdicts[parent];
                if (!up.Final[side]) {
                    up.Final[side] = TItem{true, "", 0, 0, false};
                } else if (!up.Final[side]->Dir) {
                    up.Loose = true; // a file where something must stay below it
                }
            }
        }
        for (int side : {L, R}) {
            const TTree saved = option_.at("saveold")
                                    ? ReadTree(f_.Root(side) + "/" + WorkFolderName + "/" + SavedFolderName)
                                    : TTree();
            for (const auto& [path, v] : verdicts) {
                const TOpt now = At(sides[side], path);
                for (std::string up = path; now && !now->Dir && SavedInTheWay(saved, path) && !up.empty();
                     up = Parent(up)) {
                    verdicts[up].Loose = true; // and its folders stay with it
                }
            }
        }
        std::string loose = "\n";
        for (auto& [path, v] : verdicts) {
            // Below an item without an exact expectation there is none either.
            if (path.rfind(loose + "/", 0) == 0) {
                v.Loose = true;
            } else if (v.Loose) {
                loose = path;
            }
            v.Pending =
                v.Unseen || (!Same(v.Final[L], v.Final[R]) && !(v.Agreed && Alike(v.Final[L], v.Final[R])));
            v.Loose = v.Loose || (v.Pending && (!Same(v.Final[L], At(sides[L], path)) ||
                                                !Same(v.Final[R], At(sides[R], path))));
        }
        return verdicts;
    }

    // ---- A run and its checks ----

    std::string Run() {
        const TRightSide::TStep* step = nullptr;
        for (const TRightSide::TStep& each : right_.Steps) {
            step = each.Name == serverStep_ ? &each : step;
        }
        serverStep_.clear();
        LockUnread();
        if (step != nullptr && step->Silent) {
            return SilentRun(*step);
        }
        if (step != nullptr && !step->Before()) {
            return "(s) run " + std::to_string(runs_) + ": the server did not " + step->Name;
        }
        // Snapshots of another pair of folders, or from another place, are no history.
        const std::string pair =
            f_.Root(L) + "|" + f_.Root(R) + "|" + std::to_string(f_.Task().SnapshotPlace());
        // A killed run leaves the program's own state as it was, even where it
        // had moved to another pair or place.
        const std::string lastPair = pair_;
        const bool lastHistory = history_;
        const TTree lastBase = base_;
        const auto lastTimes = ownTimes_;
        if (pair != pair_) {
            Forget();
            pair_ = pair;
        }
        const TTree before[2] = {Seen(L), Seen(R)};
        const std::map<std::string, TVerdict> expect = Expect(before);
        f_.HandOver();
        const TRun run = f_.SyncOnce();
        const TTree after[2] = {Seen(L), Seen(R)};
        const TRun again = f_.Analyze();
        Trace(before, after, run, expect);
        std::string failure;
        const auto fail = [&](const std::string& check, const std::string& path, const std::string& what) {
            if (failure.empty()) {
                failure = "(" + check + ") run " + std::to_string(runs_) + ": " + path + ": " + what;
            }
        };
        // Without any agreed item, comparing by time proposes the same (both new).
        if (run.Refused != fcOk ||
            (run.UsedSnapshots != history_ && !(base_.empty() && !run.UsedSnapshots))) {
            fail("m", "",
                 history_ ? "the last agreed state was not used" : "snapshots of another time were used");
            return failure;
        }
        std::set<std::string> lost; // contents before the run, less those still there after it
        for (int side : {L, R}) {
            for (const auto& entry : before[side]) {
                lost.insert(entry.second.Bytes);
            }
        }
        for (int side : {L, R}) {
            for (const TTree& tree : {after[side], ReadTree(f_.Root(side) + "/" + WorkFolderName)}) {
                for (const auto& entry : tree) {
                    lost.erase(entry.second.Bytes);
                }
            }
        }
        const bool clean = std::all_of(run.Codes.begin(), run.Codes.end(), [](const auto& code) {
            return code.second == saSame || code.second == saUnset;
        });
        const bool keepOld = option_.at("saveold") && !option_.at("estimate");
        // A deletion that did not go through and left the side that asked for it
        // empty waits from then on, as one from a side that turned up empty.
        const auto emptiedBy = [&](int32_t code) {
            return (code == saDeleteLeft && after[R].empty()) || (code == saDeleteRight && after[L].empty());
        };
        TTree next;
        std::map<std::string, std::array<int32_t, 2>> nextTimes;
        for (const auto& [path, v] : expect) {
            const TOpt now[2] = {At(after[L], path), At(after[R], path)};
            const TOpt b = history_ ? At(base_, path) : TOpt();
            const bool filtered = Filtered(path, before);
            if (clean && !filtered && !run.Stopped &&
                !(now[L] && now[R] ? SameForUser(*now[L], *now[R]) : !now[L] && !now[R])) {
                fail("a", path, "the sides differ after a run without conflicts or errors");
            }
            for (int side : {L, R}) {
                const std::string name = side == L ? "left" : "right";
                const TOpt& was = At(before[side], path);
                // Replaced as the contract says is not lost, unless previous versions are kept.
                if (was && !was->Dir && lost.count(was->Bytes) != 0 && (!v.Replaced[side] || keepOld)) {
                    fail("b", path,
                         (v.Replaced[side] ? "previous version not kept: '" : "gone: '") + was->Bytes + "'");
                }
                const bool target = option_.at("dir") == (side == L ? sdRightToLeft : sdLeftToRight);
                if (b && !b->Dir && !was && Same(At(before[1 - side], path), BaseOf(path, 1 - side)) &&
                    !filtered && !target && now[side]) {
                    fail("c", path, "deleted on the " + name + ", back again");
                }
                if (!v.Loose && !run.Stopped &&
                    !(v.Final[side] ? now[side] && SameForUser(*now[side], *v.Final[side]) : !now[side])) {
                    fail("f", path, "the " + name + " side is not as expected");
                }
            }
            for (const std::string& key : {path, path + "/"}) {
                if (v.Loose || run.Stopped || HasBelow(after[L], path) || HasBelow(after[R], path)) {
                    continue;
                }
                const auto first = run.Proposed.find(key);
                const auto then = again.Proposed.find(key);
                const int32_t was = first == run.Proposed.end() ? saUnset : first->second;
                const int32_t is = then == again.Proposed.end() ? saUnset : then->second;
                // Without a last agreed state two differing files go by their times;
                // once there is one, both are new: a conflict.
                if (!v.Pending && is != saSame && is != saUnset && !UnreadAfter(path, after)) {
                    fail("e", key, "proposed " + std::to_string(is) + " after the run");
                } else if (v.Pending && was != saSame && was != saUnset && was != is &&
                           !UnreadAfter(path, after) && (run.UsedSnapshots || is != saConflict) &&
                           !(is == saDoNotCopy && emptiedBy(was))) {
                    fail("d", key, "proposed " + std::to_string(was) + ", then " + std::to_string(is));
                }
            }
            // What the run did not settle keeps its last agreed state. An item the
            // filters leave out is agreed when both sides hold it alike.
            // A server that gives each upload its own time holds a copy of other time.
            const bool alike = Same(now[L], now[R]) || ((v.Agreed || remote_) && Alike(now[L], now[R]));
            // What a side could not read keeps its entries whatever the sides hold,
            // and gets none where it had none: the program did not see it there,
            // so it is neither settled as gone (a file of its name later reads
            // as changed) nor as alike on both sides.
            // (The folder it could not read is no file of its name, though.)
            const bool unseen = v.Unseen && (!b || b->Dir || (path != unread_[L] && path != unread_[R]));
            const bool settled = !unseen && (!filtered || alike) && (v.Loose ? alike : !v.Pending);
            // An item is its name and its kind: the last agreed item of a kind
            // neither side holds after the run was settled, gone from both sides.
            const bool kept =
                b && (unseen || std::any_of(std::begin(after), std::end(after), [&](const TTree& tree) {
                          const TOpt was = At(tree, path);
                          return was && was->Dir == b->Dir;
                      }));
            TOpt agreed = settled || UnreadFolderOnTheWay(path, before, after) ? now[L] : kept ? b : TOpt();
            // Two files never in step: the older one stands for what both last
            // shared, so the newer reads as changed; of one time, or left as a
            // conflict, both do.
            // What a side could not read has no entries without an earlier state.
            if (!settled && !history_ && !v.Unseen && now[L] && now[R] && !now[L]->Dir && !now[R]->Dir) {
                const uint32_t l = static_cast<uint32_t>(now[L]->Dos);
                const uint32_t r = static_cast<uint32_t>(now[R]->Dos);
                // A one-way task that may not overwrite a newer target leaves a conflict too.
                const int target = option_.at("dir") == sdRightToLeft ? L : R;
                const bool targetNewer = option_.at("dir") != sdBothWays &&
                                         option_.at("verified") == fvVerified &&
                                         (target == L ? l > r : r > l);
                agreed = l == r || DirectConflict() || targetNewer ? TItem{false, "(neither)", 0, 0, false}
                                                                   : *now[l < r ? L : R];
            }
            if (agreed) {
                next[path] = *agreed;
            }
            if (settled && alike && now[L] && !now[L]->Dir && now[L]->Dos != now[R]->Dos) {
                nextTimes[path] = {now[L]->Dos, now[R]->Dos};
            } else if (!settled && kept && ownTimes_.count(path) != 0) {
                nextTimes[path] = ownTimes_.at(path);
            }
        }
        for (const std::string& left : f_.Leftovers()) {
            fail("f", left, "left over");
        }
        // A killed run wrote nothing for the next: the last agreed state stays;
        // what it did is found in step, or changed on one side, next time.
        if (run.Stopped) {
            pair_ = lastPair;
            history_ = lastHistory;
            base_ = lastBase;
            ownTimes_ = lastTimes;
            return failure;
        }
        base_ = next;
        ownTimes_ = nextTimes;
        history_ = true;
        return failure;
    }

    // A run while the server is down or frozen: it ends within the bounds of
    // its waits and changes nothing on either side, and what it wrote for the
    // next run (if anything) leaves the last agreed state in force: the next
    // run, with the server back, does the work.
    std::string SilentRun(const TRightSide::TStep& step) {
        const std::string name = "run " + std::to_string(runs_) + ": ";
        const TTree before[2] = {Seen(L), Seen(R)};
        f_.HandOver();
        if (!step.Before()) {
            return "(s) " + name + "the server did not " + step.Name;
        }
        // Each wait on the silent server gives up after a second here; other
        // runs keep the program's own bound, which a loaded machine never
        // reaches by accident.
        f_.StallLimitMs = 1000;
        const auto start = std::chrono::steady_clock::now();
        const TRun run = f_.SyncOnce();
        const auto took = std::chrono::steady_clock::now() - start;
        f_.StallLimitMs = ServerStallLimitMs;
        const bool back = step.After();
        f_.StopAfter = 0;
        const TTree after[2] = {Seen(L), Seen(R)};
        Trace(before, after, run, {});
        if (!back) {
            return "(s) " + name + "the server did not come back after " + step.Name;
        }
        // Every wait gives up after StallLimitMs: minutes mean one did not.
        if (took > std::chrono::seconds(90)) {
            return "(s) " + name + "the run outlived its waits on a server that did not answer";
        }
        for (int side : {L, R}) {
            if (!SameForUser(before[side], after[side])) {
                return "(s) " + name + (side == L ? "the left" : "the right") +
                       " side changed while the server did not answer";
            }
        }
        for (const std::string& left : f_.Leftovers()) {
            return "(f) " + name + left + ": left over";
        }
        return "";
    }

    // With TANDEMORA_MBT_TRACE set, what each run saw, proposed, did and left.
    void Trace(const TTree* before, const TTree* after, const TRun& run,
               const std::map<std::string, TVerdict>& expect) const {
        if (std::getenv("TANDEMORA_MBT_TRACE") == nullptr) {
            return;
        }
        const auto item = [](const TOpt& i) { return !i ? std::string("-") : i->Dir ? "/" : i->Bytes; };
        std::cerr << "=== run " << runs_ << (run.UsedSnapshots ? " (snapshots)" : " (direct)")
                  << (run.Stopped ? " killed" : "") << "\nleft\n"
                  << Show(before[L]) << "right\n"
                  << Show(before[R]);
        for (const auto& [key, code] : run.Proposed) {
            std::cerr << "  " << key << ": " << code << " -> " << run.Code(key) << "\n";
        }
        for (const auto& [path, v] : expect) {
            std::cerr << "  expect " << path << ": " << item(v.Final[L]) << " | " << item(v.Final[R])
                      << (v.Pending ? " pending" : "") << (v.Loose ? " loose" : "") << "\n";
        }
        for (const std::string& line : run.Lines) {
            std::cerr << "  log " << line << "\n";
        }
        std::cerr << "left after\n"
                  << Show(after[L]) << "right after\n"
                  << Show(after[R]) << "left snapshot\n"
                  << Show(f_.Snapshot(L)) << "right snapshot\n"
                  << Show(f_.Snapshot(R));
    }

    // ---- Chance ----

    size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    bool Chance(int percent) { return static_cast<int>(Below(100)) < percent; }

    TPairFolder f_;
    std::mt19937_64 rng_;
    std::map<std::string, int> option_{{"dir", 0},     {"verified", 0}, {"del", 1},      {"policy", 0},
                                       {"saveold", 0}, {"estimate", 0}, {"tags", 0},     {"exclude", 0},
                                       {"include", 0}, {"hidden", 0},   {"emptydir", 0}, {"left", 0},
                                       {"right", 0}};
    std::string home_[2];
    bool remote_ = false;
    TRightSide right_;
    std::string serverStep_;                    // done to the server before the next run
    std::string unread_[2];                     // a folder of each side that the program cannot read
    std::vector<std::unique_ptr<TDisk>> disks_; // unmounted before the folders go
    std::string pair_;
    TTree base_;
    std::map<std::string, std::array<int32_t, 2>> ownTimes_; // of files agreed by their bytes
    bool history_ = false;
    int runs_ = 0;
    int tick_ = 0;
    int older_ = 0;
};

// The first failure of a sequence replayed from its steps.
inline std::string Replay(const std::vector<TOp>& ops, const TRightSide& right = {}) {
    TReplay replay(0, right);
    for (const TOp& op : ops) {
        if (std::string failure = replay.Apply(op); !failure.empty()) {
            return failure;
        }
    }
    return "";
}

// Delta debugging: the shortest sequence found that fails the same check.
inline std::vector<TOp> Shrink(std::vector<TOp> ops, const std::string& failure,
                               const TRightSide& right = {}) {
    const auto same = [&](const std::vector<TOp>& candidate) {
        const std::string again = Replay(candidate, right);
        return !again.empty() && again.substr(0, 3) == failure.substr(0, 3);
    };
    for (size_t parts = 2; ops.size() >= 2;) {
        const size_t chunk = (ops.size() + parts - 1) / parts;
        bool reduced = false;
        for (size_t start = 0; start < ops.size() && !reduced; start += chunk) {
            std::vector<TOp> rest(ops.begin(), ops.begin() + start);
            rest.insert(rest.end(), ops.begin() + std::min(start + chunk, ops.size()), ops.end());
            if (same(rest)) {
                ops = rest;
                parts = std::max<size_t>(parts - 1, 2);
                reduced = true;
            }
        }
        if (!reduced) {
            if (parts >= ops.size()) {
                break;
            }
            parts = std::min(parts * 2, ops.size());
        }
    }
    return ops;
}

// Runs one seed; on failure the shrunk sequence, ready to paste.
inline std::string RunSeed(uint64_t seed, int runs, const TRightSide& right = {}) {
    TReplay replay(seed, right);
    std::vector<TOp> ops;
    while (replay.Runs() < runs) {
        const std::vector<TOp> step = replay.Generate();
        ops.insert(ops.end(), step.begin(), step.end());
        if (std::string failure = replay.Apply(ops.back()); !failure.empty()) {
            const std::vector<TOp> shrunk = Shrink(ops, failure, right);
            return "seed " + std::to_string(seed) + ": " + failure + "\n  shrunk: " + Replay(shrunk, right) +
                   "\n  {\"seed" + std::to_string(seed) + "\", \"" + Text(shrunk) +
                   "\"},\n  whole: " + Text(ops);
        }
    }
    return "";
}

inline uint64_t EnvNumber(const char* name, uint64_t otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10) : otherwise;
}

} // namespace syncmodel
