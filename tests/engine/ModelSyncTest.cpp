// Random edits on both sides between runs of one task, every run through the
// real engine, checked against what a user expects of a sync that remembers
// the last state in which both sides agreed:
//   changed on one side since then: that version wins;
//   changed on both: a conflict, both kept, unless both hold the same bytes
//   (then, as for two files never in step, they agree, each with its own time);
//   an item the filters leave out that both sides hold alike agrees too;
//   deleted on one side and unchanged on the other: gone with deletions on,
//   else kept; deleted on one side and changed or new on the other: a conflict.
// The reference model sees kinds, bytes and the times the user's own edits set
// (setting a file's time is an edit: the program cannot look at contents), never
// snapshots or action codes. After every run:
//   (a) a run whose rows end without conflict, error or skip leaves both sides equal;
//   (b) no content is gone unless the other side's version or deletion replaced
//       it, and then the previous version is kept where the task asks for that;
//   (c) a deletion is never undone unless the other side changed the file since;
//   (d) what the run did not settle is proposed again the same way;
//   (e) an analysis right after the run proposes nothing new;
//   (f) each item ends as the contract says; (m) the last agreed state is used
//       exactly when there is one; nothing is left over.
//
// (TANDEMORA_MBT_TRACE=1 prints each run's sides, proposals and log.)
// Replay one sequence:   TANDEMORA_MBT_SEED=17 tests/engine_tests --gtest_filter='ModelSync.*'
// Long mode (before closing work on the engine), e.g. 5000 runs:
//                        TANDEMORA_MBT_RUNS=5000 tests/engine_tests --gtest_filter='ModelSync.*'
// (both together: that many runs from that seed on, to share them out).
// A failing sequence is shrunk and printed as a row for kRegressions below, in
// steps such as "L put a/b 12 7" (12 bytes written at tick 7), "R rm a",
// "L mkdir a", "L mv a b", "R old a 3" (a time 3 ticks before the start),
// "L ro a", "L empty", "R unmount" (the work folder goes too), "T del 0",
// "L mount m" (a new folder m holds a disk, taken away by "L unplug m" and
// brought back by "L plug m"; without the right to mount, a plain folder),
// "L unread a" (no scan can list folder a until "L readable"), "T kill 2" (the
// next run stops after 2 operations and what it wrote for the next run is put
// back, as after a kill), "run".

#include "PairFolder.h"
#include "endpoints/UTFileOper.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <vector>

using namespace pairtest;

namespace {

enum { L = 0, R = 1 };
// Late 2043 in UTC, 2 minutes per edit, so sequences cross into 2044, where DOS
// times turn negative as 32-bit numbers; times set "older" count down from here.
constexpr time_t kClock0 = 2335215600;
constexpr time_t kStep = 120;
constexpr int kRunsPerSeed = 8;

using TOp = std::vector<std::string>; // "L put a/b 12 7", "T del 1", "run"
using TOpt = std::optional<TItem>;

std::string Text(const std::vector<TOp>& ops) {
    std::string text;
    for (const TOp& op : ops) {
        for (size_t i = 0; i < op.size(); ++i) {
            text += (i == 0 ? (text.empty() ? "" : "; ") : " ") + op[i];
        }
    }
    return text;
}

std::vector<TOp> Parse(const std::string& script) {
    std::vector<TOp> ops;
    std::istringstream steps(script);
    for (std::string step; std::getline(steps, step, ';');) {
        std::istringstream words(step);
        ops.emplace_back(std::istream_iterator<std::string>(words), std::istream_iterator<std::string>());
    }
    return ops;
}

std::string Content(int tick, size_t length) {
    std::string bytes = "v" + std::to_string(tick) + ".";
    bytes.resize(std::max(length, bytes.size()), static_cast<char>('a' + tick % 26));
    return bytes;
}

std::string Parent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

TOpt At(const TTree& tree, const std::string& path) {
    const auto it = tree.find(path);
    return it == tree.end() ? TOpt() : TOpt(it->second);
}

// The same item for the engine's purposes: kind, and for files bytes and time.
bool Same(const TOpt& a, const TOpt& b) {
    if (!a || !b) {
        return !a && !b;
    }
    return a->Dir == b->Dir && (a->Dir || (a->Bytes == b->Bytes && a->Dos == b->Dos));
}

// Two files of the same bytes, whatever their times.
bool Alike(const TOpt& a, const TOpt& b) {
    return Same(a, b) || (a && b && !a->Dir && !b->Dir && a->Bytes == b->Bytes);
}

bool HasBelow(const TTree& tree, const std::string& path) {
    const auto it = tree.lower_bound(path + "/");
    return it != tree.end() && it->first.compare(0, path.size() + 1, path + "/") == 0;
}

// Where a kept previous version of a folder holds the file's name, or one of a
// file holds a folder's name on its way, a file's previous version cannot be
// kept, and the run refuses to replace or delete it (and says so).
bool SavedInTheWay(const TTree& saved, const std::string& path) {
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

// One task's sequence on a fresh pair of folders, with the model beside it.
class TReplay {
public:
    explicit TReplay(uint64_t seed) : rng_(seed), home_{f_.Root(L), f_.Root(R)} {}

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
        } else if (const std::string what = options[Below(10)]; Chance(30)) {
            const bool edit = what == "empty" || what == "unmount";
            ops.push_back(edit ? TOp{Chance(50) ? "L" : "R", what}
                               : TOp{"T", what, std::to_string(1 - option_[what])});
        }
        // Now and then a folder the program cannot read, for a run or more, and
        // a run killed after a few operations.
        const int side = static_cast<int>(Below(2));
        if (!unread_[side].empty() && Chance(40)) {
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
        // A disk mounted on a folder of a side, taken away now and then and
        // brought back later.
        const std::string who = side == L ? "L" : "R";
        if (TDisk* disk = DiskAt(side, "m"); disk != nullptr) {
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
            const std::string path = (parent.empty() ? "" : parent + "/") + names[Below(5)];
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
        offer(!file.empty(), 1, {{who, "ro", file}});
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
        } else if (verb == "unread") {
            unread_[side] = path;
            f_.Unread[side] = path;
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
        const TTree before[2] = {f_.Read(L), f_.Read(R)};
        const std::map<std::string, TVerdict> expect = Expect(before);
        const TRun run = f_.SyncOnce();
        const TTree after[2] = {f_.Read(L), f_.Read(R)};
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
            const bool alike = Same(now[L], now[R]) || (v.Agreed && Alike(now[L], now[R]));
            const bool settled = (!filtered || alike) && (v.Loose ? alike : !v.Pending);
            // An item is its name and its kind: the last agreed item of a kind
            // neither side holds after the run was settled, gone from both sides.
            // What a side could not read keeps its entries whatever the sides hold.
            // (The folder it could not read is no file of its name, though.)
            const bool unseen = v.Unseen && b && (b->Dir || (path != unread_[L] && path != unread_[R]));
            const bool kept =
                b && (unseen || std::any_of(std::begin(after), std::end(after), [&](const TTree& tree) {
                          const TOpt was = At(tree, path);
                          return was && was->Dir == b->Dir;
                      }));
            TOpt agreed = settled ? now[L] : kept ? b : TOpt();
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
std::string Replay(const std::vector<TOp>& ops) {
    TReplay replay(0);
    for (const TOp& op : ops) {
        if (std::string failure = replay.Apply(op); !failure.empty()) {
            return failure;
        }
    }
    return "";
}

// Delta debugging: the shortest sequence found that fails the same check.
std::vector<TOp> Shrink(std::vector<TOp> ops, const std::string& failure) {
    const auto same = [&](const std::vector<TOp>& candidate) {
        const std::string again = Replay(candidate);
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
std::string RunSeed(uint64_t seed, int runs) {
    TReplay replay(seed);
    std::vector<TOp> ops;
    while (replay.Runs() < runs) {
        const std::vector<TOp> step = replay.Generate();
        ops.insert(ops.end(), step.begin(), step.end());
        if (std::string failure = replay.Apply(ops.back()); !failure.empty()) {
            const std::vector<TOp> shrunk = Shrink(ops, failure);
            return "seed " + std::to_string(seed) + ": " + failure + "\n  shrunk: " + Replay(shrunk) +
                   "\n  {\"seed" + std::to_string(seed) + "\", \"" + Text(shrunk) +
                   "\"},\n  whole: " + Text(ops);
        }
    }
    return "";
}

uint64_t EnvNumber(const char* name, uint64_t otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10) : otherwise;
}

struct TRegression {
    const char* name;
    const char* script;
};

// Sequences the random runs once found, shrunk.
const TRegression kRegressions[] = {
    {"RenamedOnOneSideEditedOnTheOther", "R put b 7 2; run; R mv b .h; L put b 9 4; run"},
    // Deleted on the left, emptied on the right: the folder's row showed in no
    // Changes view, so it was never deleted.
    {"FolderDeletedWhoseFilesBothSidesDeleted",
     "R put k 6 1; R mkdir b; R put b/a 10 5; run; L rm b; R rm b/a; run"},
    // Deleted on both sides in a run with nothing to do stayed in the snapshots: the
    // file made again later on one side was a conflict at every run, never copied.
    {"DeletedOnBothSidesThenMadeAgain", "R put .h 13 8; run; R rm .h; L rm .h; run; R put .h 14 9; run"},
    // Two new files in conflict and nothing else in step: the snapshots were empty,
    // so the next run went by time and the newer file overwrote the other.
    {"ConflictOfNewFilesWithNothingElseInStep", "R put b 15 10; run; R put .h 16 11; L mv b .h; run; run"},
    // A folder replaced by a file on one side while the other side put a file into
    // it: the folder dropped out of a snapshot, and the swap never completed.
    {"FolderSwappedForAFileWhileFilledOnTheOtherSide",
     "L mkdir a; R put .h 10 6; run; R rm a; R put a 13 8; L put a/d 14 9; run; L rm a/d; run"},
    // A new file copied into a side that turned up empty made it look filled:
    // the next run carried out the deletions held back.
    {"NewFileWhileTheOtherSideTurnedUpEmpty", "L put b 6 1; run; R put a 7 2; L rm b; run; run"},
    // A one-way target that lost a folder whose file the source then changed: a
    // conflict, so neither came back; the source's edit is copied again.
    {"TargetLostFolderWhoseFileTheSourceChanged",
     "T dir 1; L mkdir a; L put a/a 8 3; run; L put a/a 8 4; R rm a; run"},
    {"TargetRenamedFolderWhoseFileTheSourceChanged",
     "T dir 1; L mkdir b; L mkdir b/a; L put b/a/a 11 6; run; L put b/a/a 12 7; R mv b .h; run"},
    // An emptied folder given way to a file of its name was left out as empty:
    // the file's copy failed at every run.
    {"EmptyFolderLeftOutWhileAFileReplacesIt",
     "T emptydir 1; L mkdir .h; L put .h/a 15 10; run; R empty; R mkdir .h; L rm .h; L put .h 17 12; run"},
    // A folder made on both sides in a run with nothing to do never reached the
    // snapshots: deleted later on one side, it was made again there.
    {"FolderMadeOnBothSidesThenDeleted", "run; R mkdir .h; L mkdir .h; run; L rm .h; run"},
    // Back at the snapshot place used before, the snapshot left there read exactly
    // as the one written since elsewhere, so the pair passed as written together.
    {"SnapshotPlaceChangedAndBack", "run; T tags 1; run; T tags 0; run"},
    // A side emptied of items the filters leave out held copies back as if it
    // held their deletions back.
    {"SideEmptiedOfAnIncludeFilteredItem", "L put d 7 2; run; T include 1; L put b 8 3; R rm d; run"},
    // A file replaced by an empty folder with empty folders left out: the file
    // was deleted on the other side, and the folder never came.
    {"FileReplacedByAnEmptyFolder",
     "L mkdir b; L put b/a 10 5; run; T emptydir 1; L rm b/a; L mkdir b/a; run"},
    {"FileReplacedByAnEmptyFolderOnTheRight", "T emptydir 1; R put a 11 9; run; R rm a; R mkdir a; run"},
    // A read-only file's deletion failed while the run emptied the side that
    // deleted it: from then on that side looks emptied, and the deletion waits.
    {"DeletionThatFailedEmptiedItsSide", "L mkdir d; L put c 7 4; L ro c; run; R rm c; L rm d; run"},
    {"SideEmptiedOfAHiddenItem", "L put .h 9 4; run; L rm .h; T hidden 1; R put a 21 16; run"},
    // Folders made on both sides while the filters left them out are agreed: a
    // deletion once they show again goes through.
    {"FoldersMadeOnBothSidesWhileHiddenThenDeleted",
     "L mkdir .h; run; T hidden 1; L mkdir d; L mkdir .h/a; R mkdir .h/a; run; T hidden 0; L rm .h; run"},
    // Made read-only on both sides in a run with nothing to do: the deletion of
    // its folder leaves it, and the folder, as they are.
    {"ReadOnlyFileInAFolderDeletedOnOneSide",
     "R mkdir .h; run; L mkdir .h/a; L put .h/a/a 9 4; run; R ro .h/a/a; L ro .h/a/a; run; L rm .h/a; run"},
    // A read-only file the deletion of its folder on the other side cannot take
    // (its bit was set on both sides after the last snapshot, so it is the
    // user's protection): the file stays, and its folder with it.
    {"ReadOnlyFileOfAFolderGoneWithTheOtherSide",
     "T tags 1; R mkdir b; R put b/d 8 3; run; L ro b/d; run; R unmount; R mkdir c; run"},
    // Without a last agreed state, the same bytes under two times were a
    // conflict, and in step at the next run.
    // Made the same on both sides under two times: in step, and each side's
    // own time is what the next runs compare with.
    {"SameBytesUnderTwoTimesStayAgreed", "T policy 1; R mkdir b; run; L put b/a 12 7; run; R old b/a 1; "
                                         "L old b/a 2; run; run; L empty; L put a 17 12; run"},
    {"SameBytesUnderTwoOlderTimesThenEdited",
     "T saveold 1; L put b 7 2; run; L old b 1; R old b 2; run; L put b 10 5; run"},
    // Nothing happens in a folder a side cannot read, nor to it.
    {"UnreadFolderInStepIsLeftAsItIs", "R mkdir .h; run; R unread .h; run"},
    {"FolderCopiedIntoWhatTheRescanCannotRead", "R unread c; L mkdir c; run"},
    // A first run at a new snapshot place with nothing to do and a folder it
    // could not read saved no snapshots: the next run compared by times again.
    {"UnreadFolderInAFirstRunWithNothingToDo",
     "L put d 6 1; R mkdir .h; run; T tags 1; R unread .h; run; run"},
    // A one-way task that may not overwrite a newer target leaves a conflict,
    // also without a last agreed state; the next run proposes it again.
    {"OneWayConflictWithoutHistoryStaysAConflict",
     "T dir 2; T verified 1; T policy 1; R put b 6 1; L put b 9 4; run; L old b 1; run"},
    // A file replaced by a folder whose items the filters all leave out: the
    // file's deletion goes through.
    {"FileReplacedByAFolderOfFilteredItems",
     "T include 1; R put b 19 14; run; R empty; R mkdir b; R put b/d 21 16; run"},
    // Runs killed after a few operations: the next ones settle everything.
    {"KilledRunThenEditedOnTheOtherSide",
     "R mkdir d; run; T kill 4; R put d/a 13 8; run; L put d/a 14 11; run"},
    {"KilledRunWithARenameThenEdited",
     "L put b 9 4; run; T kill 4; R mv b d; L rm b; run; L put d 10 5; run"},
    {"KilledRunWithDeletionsOff", "T del 0; run; T kill 4; R mkdir a; R put a/a 22 17; run; R rm a/a; run"},
    {"KilledRunThenASideEmptied", "T estimate 1; run; T kill 3; L put a 12 7; run; L empty; run"},
    {"FolderOnTheWayToAnUnreadFolder", "R mkdir c; R mkdir c/d; R unread c/d; run"},
    // A folder replaced by a file while its file on the other side was made
    // read-only: the deletion is refused, so the folder and its file stay.
    {"FolderWithAReadOnlyFileReplacedByAFile",
     "R mkdir d; R put d/d 9 4; run; L ro d/d; run; R rm d; R put d 15 10; run"},
    {"FolderWithAReadOnlyHiddenFileRenamedThenReplaced",
     "R mkdir c; R put c/.h 8 3; R mv c d; run; L ro d/.h; run; R rm d; R put d 15 10; run"},
    {"Y1", "T tags 1; run; T tags 0; T kill 2; run; T tags 1; run"},
    {"Y2", "T policy 1; R mkdir .h; run; L put .h/a 10 5; L unread .h; R put .h/a 14 9; T estimate 1; run; L "
           "readable; run"},
    // Deleted on both sides in a run with nothing to do while a folder could
    // not be read: the snapshots were not saved, so the file made again on one
    // side was a conflict at every run.
    {"DeletedOnBothSidesWhileAFolderIsUnread",
     "R put c 8 3; L mkdir b; run; L unread b; L rm c; R rm c; run; L put c 14 9; run"},
    // Deleted below a folder that could not be read: once readable, the
    // deletion is seen against the entry kept for it.
    {"DeletedInAnUnreadFolderThenMadeAgain",
     "R mkdir .h; R put .h/a 9 4; run; R unread .h; R rm .h/a; L empty; "
     "run; R readable; R put .h/a 13 8; L put b 15 10; run"},
    // A disk mounted on a folder, away for two runs, then back with an edit:
    // nothing on the other side is deleted meanwhile, and the edit goes over.
    {"DiskAwayForTwoRunsThenBack",
     "L mount m; L put m/a 6 1; L put m/b 7 2; run; L unplug m; run; run; L plug m; L put m/a 8 3; run"},
    {"FileReplacedByAnUnreadFolder", "L unread c; L put c 10 5; run; L rm c; L mkdir c; run"},
    // A file made read-only on one side since the last sync, whose twin was
    // read-only already, in a folder the other side deleted: the bit is this
    // side's own protection, so the file stays (it was deleted).
    {"ReadOnlySinceTheLastSyncInAFolderReplacedByAFile",
     "T tags 1; R mkdir b; R put b/a 11 6; run; L put b/d 12 7; R ro b/a; run; R unmount; L ro b/a; R put b "
     "14 9; run"},
    {"ReadOnlySinceTheLastSyncInAFolderDeleted",
     "L mkdir b; L put b/a 12 7; run; R ro b/a; R put d 16 11; run; R rm b; L ro b/a; run"},
    // A side emptied but for a folder the program cannot read: nothing is
    // held back on its account (nothing there can be deleted anyway).
    {"SideEmptiedButForAnUnreadFolder", "R mkdir d; run; R unread d; L empty; R put a 12 7; run"},
    {"FolderDeletedOnOneSideUnreadOnTheOther", "L mkdir .h; run; R rm .h; L unread .h; L mkdir c; run"},
    {"MountPointReplacedByAFileOnTheOtherSide", "L mount m; run; R rm m; R put m 12 7; run"},
    // A file replaced by a folder the program cannot read, then by a file
    // again: the first file's deletion was settled.
    {"FileSwappedForAnUnreadFolderAndBack",
     "R unread b; R put b 14 9; run; R rm b; R mkdir b; run; R rm b; R put b 20 15; run"},
    // A side emptied of a folder that holds only filtered items on the other
    // side: its deletion is held back, and so is everything else.
    {"SideEmptiedOfAFolderOfFilteredItems",
     "R mkdir .h; run; T include 1; R mv .h d; L mkdir .h/d; R rm d; L put c 8 3; run"},
    {"SideEmptiedOfAFolderOfExcludedItems",
     "R mkdir b; R put b/c 7 2; run; T exclude 1; R put d 9 4; L rm b; run"},
    // The removal of a mount point failed after its contents went: the
    // folder's deletion was forgotten, and the next run copied it back.
    {"MountPointThatCouldNotBeRemoved",
     "L mount m; L mkdir m/c; run; R empty; R put a 10 5; run; L unplug m; run"},
    // A folder copied into a place the rescan cannot read, with a hidden file
    // left out: after the run, the folder is unread and nothing is proposed.
    {"FolderWithAHiddenFileCopiedWhereItCannotBeRead",
     "L mkdir .h; L put .h/a 10 5; T hidden 1; L put .h/.h 11 6; L mv .h a; R unread a; run"},
    // A folder deleted on the side that turned up empty, with a new file in it
    // on the other side: the deletion is held back, and the copy with it.
    {"FolderDeletedOnAnEmptiedSideWithANewFileInIt", "R mkdir c; run; R rm c; L put c/b 16 11; run"},
    {"SameBytesUnderAnOlderTimeWithoutHistory", "L put d 6 1; run; T estimate 1; L old d 1; run"},
    {"SameBytesWithoutHistoryThenEditedOnOneSide",
     "R put c 8 3; run; T estimate 1; R old c 1; run; R put c 10 5; run"},
    // An empty folder the empty-folder switch leaves out is left out by its own
    // kind: a side emptied of it holds nothing back (the model held the copy).
    {"EmptiedOfAnEmptyFolderLeftOutWhileAFolderArrives",
     "L mkdir a; run; T emptydir 1; R rm a; L mkdir d; L put d/a 8 3; run"},
    // An emptied side's empty folder left out (model: as in the row before).
    {"EmptyFolderLeftOutWhileDeletedOnTheOtherSide",
     "R mkdir .h; run; T emptydir 1; L rm .h; R put b 6 1; run"},
    // A file replaced by a folder that cannot be read, deleted on the other
    // side: the file is gone from both (the model kept it as the agreed state).
    {"UnreadFolderDeletedOnTheOtherSideThenAFileInItsPlace",
     "R put a 8 3; run; L rm a; L mkdir a; L unread a; R rm a; run; L rm a; L put a 12 7; run"},
    {"UnreadFolderReplacingAFileWhileTheOtherSideIsEmptied",
     "L put .h 7 2; run; L rm .h; L mkdir .h; R empty; L unread .h; run; L rm .h; L put .h 16 11; run"},
    // Like the one before, then the side unmounted (model: as above).
    {"UnreadFolderSwappedForAFileThenTheSideUnmounted",
     "T estimate 1; L unread .h; R put .h 10 5; run; L rm .h; L "
     "mkdir .h; R rm .h; run; L unmount; L put .h 18 13; run"},
    // Without a last agreed state, a file on one side and a folder of its name
    // on the other: both copies failed, yet the folder's row ended as done, so
    // one snapshot listed the folder and the next run proposed a conflict.
    {"FileAgainstAFolderOfItsNameWithoutHistory",
     "R mkdir a; R put a/a 10 5; L put a 12 7; run; L rm a; L mkdir a; R rm a; run"},
    // A folder deleted on both sides in a run that left a conflict came back
    // into both snapshots: made again on one side, it was deleted there.
    {"SideEmptiedThenAFileRenamedOverTheOthersNew",
     "R mkdir c; R mkdir c/c; R put c/c/a 9 4; run; L empty; R put b 13 "
     "8; L put a 14 9; L mv a b; run; R mkdir c; run"},
    // A folder made on both sides with a conflict in it, in a run with nothing
    // to do: no snapshots were saved, so once the one side deleted it (and was
    // empty then), the folder read as new on the other and was copied back.
    {"KilledRunThenEditsOnBothSidesAndAFolderDeleted",
     "T estimate 1; L put d 6 1; run; R rm d; T kill 2; R mkdir c; "
     "R put c/a 11 6; run; L put d 12 7; L put c/a 13 8; run; R rm c; "
     "run"},
};

// Sequences the long mode found that still fail, kept here until mended: each
// must still fail; once one passes, it moves to kRegressions.
const std::vector<TRegression> kKnownFaults = {
    // Found by the long mode, not yet analysed: a folder swapped for a file on
    // one side while the other side's folder of that name could not be read.
    {"FolderSwappedForAFileWhileTheOtherSideCouldNotReadIt",
     "R mkdir b; run; L mv b d; run; R put d/a 9 4; run; R unread d; R put d/d 10 5; L rm d; L put d 11 6; "
     "R rm d/a; run; R mv d/d d/a; R readable; L mkdir .h; L rm d; run"},
};

void PrintTo(const TRegression& row, std::ostream* out) {
    *out << row.name;
}

class ModelSync : public ::testing::TestWithParam<TRegression> {};

} // namespace

TEST(ModelSync, RandomEditsBetweenRuns) {
    const uint64_t first = EnvNumber("TANDEMORA_MBT_SEED", 0);
    const uint64_t runs = EnvNumber("TANDEMORA_MBT_RUNS", first != 0 ? kRunsPerSeed : 3 * kRunsPerSeed);
    for (uint64_t seed = std::max<uint64_t>(first, 1);
         seed < std::max<uint64_t>(first, 1) + runs / kRunsPerSeed; ++seed) {
        if (const std::string failure = RunSeed(seed, kRunsPerSeed); !failure.empty()) {
            ADD_FAILURE() << failure;
        }
    }
}

TEST_P(ModelSync, Regression) {
    EXPECT_EQ(Replay(Parse(GetParam().script)), "");
}

TEST(ModelSync, KnownFaultsStillFail) {
    for (const TRegression& row : kKnownFaults) {
        EXPECT_NE(Replay(Parse(row.script)), "") << row.name << " passes now: move it to kRegressions";
    }
}

INSTANTIATE_TEST_SUITE_P(Found, ModelSync, ::testing::ValuesIn(kRegressions),
                         [](const auto& info) { return std::string(info.param.name); });
