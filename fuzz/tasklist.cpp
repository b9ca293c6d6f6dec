// The task list, as an imported ".td" file or a template can bring it. Every
// task that loads from the text names its files (log, local snapshots) inside
// their folders, and is saved into a new list, which is loaded again: it must
// load whole and give the same tasks (the scrambled passwords differ from save
// to save, the passwords themselves do not).

#include "FuzzSupport.h"

#include "model/UTUtils.h"
#include "platform/Exceptions.h"
#include "platform/ProgramFolder.h"
#include "tasks/TaskList.h"
#include "tasks/UTSyncTask.h"

#include <memory>
#include <vector>

using namespace tandemora;

namespace {

using TTasks = std::vector<std::unique_ptr<TSyncTask>>;

// Every task of the text that loads whole; false when the text is no task list.
bool LoadTasks(const std::string& text, TTasks& tasks, size_t& skipped) {
    TTaskListDocument document;
    try {
        document.LoadFromText(text);
        TXMLTaskListType list = document.GetTaskList();
        skipped = 0;
        for (int32_t i = 0; i < list.Count(); ++i) {
            auto task = std::make_unique<TSyncTask>();
            try {
                task->LoadFromXML(list.Tast(i));
                tasks.push_back(std::move(task));
            } catch (const TException&) {
                ++skipped;
            }
        }
    } catch (const TException&) {
        return false;
    }
    return true;
}

std::string SaveTasks(const TTasks& tasks) {
    TTaskListDocument document;
    document.LoadFromText("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<TaskList/>\r\n");
    TXMLTaskListType list = document.GetTaskList();
    for (const auto& task : tasks) {
        try {
            task->SaveToXML(list.Add());
        } catch (const TException& e) {
            fuzzsupport::Expect(false, std::string("a loaded task cannot be saved: ") + e.what(),
                                task->SyncName);
        }
    }
    return document.SaveToText();
}

void AddField(std::string& out, const char* name, const std::string& value) {
    out += name;
    out += '=';
    out += value;
    out += '\n';
}

void AddField(std::string& out, const char* name, int32_t value) {
    AddField(out, name, std::to_string(value));
}

// A password of nothing but blanks and control characters is stored as none.
std::string StoredPassword(const std::string& password) {
    for (const char c : password) {
        if (static_cast<unsigned char>(c) > ' ') {
            return password;
        }
    }
    return std::string();
}

void AddFolder(std::string& out, const char* side, const TFolderSource& folder) {
    out += side;
    out += ":\n";
    AddField(out, " DeviceType", folder.DeviceType);
    AddField(out, " FolerAllName", folder.FolerAllName);
    AddField(out, " UserName", folder.UserName);
    AddField(out, " PWD", StoredPassword(folder.PWD));
    AddField(out, " PrivateKey", folder.PrivateKey);
}

void AddList(std::string& out, const char* name, const std::vector<std::string>& items) {
    for (const std::string& item : items) {
        AddField(out, name, item);
    }
}

// Every field the task list stores, as text.
std::string Describe(const TSyncTask& t) {
    std::string out;
    AddField(out, "SyncName", t.SyncName);
    AddField(out, "SyncID", t.SyncID);
    AddFolder(out, "LFolder", t.LFolder);
    AddFolder(out, "RFolder", t.RFolder);
    for (const auto& [name, value] : std::vector<std::pair<const char*, int32_t>>{
             {"SyncDirection", t.SyncDirection},
             {"ForcedOrVerified", t.ForcedOrVerified},
             {"IsDeleteFile", t.IsDeleteFile},
             {"SaveOldFile", t.SaveOldFile},
             {"UseTempFile", t.UseTempFile},
             {"CheckNoChange", t.CheckNoChange},
             {"EstimateDiskSpace", t.EstimateDiskSpace},
             {"ExcludeEmtpyFolder", t.ExcludeEmtpyFolder},
             {"ExcludeHiddenFile", t.ExcludeHiddenFile},
             {"ExcludeSystemFile", t.ExcludeSystemFile},
             {"StartAnalyze", t.StartAnalyze},
             {"StartSync", t.StartSync},
             {"ConnectAnalyze", t.ConnectAnalyze},
             {"ConnectSync", t.ConnectSync},
             {"LogoffAnalyze", t.LogoffAnalyze},
             {"LogoffSync", t.LogoffSync},
             {"PeriodAnalyze", t.PeriodAnalyze},
             {"PeriodSync", t.PeriodSync},
             {"Hours", t.Hours},
             {"minutes", t.minutes},
             {"TSsync", t.TSsync},
             {"TSanalyze", t.TSanalyze},
             {"Conflicts", t.Conflicts},
             {"EnsureFolderTags", t.EnsureFolderTags},
         }) {
        AddField(out, name, value);
    }
    AddList(out, "IncludeFilter", t.IncludeFilter);
    AddList(out, "ExcludeFilter", t.ExcludeFilter);
    AddField(out, "TaskScheduler", t.TaskScheduler);
    return out;
}

// The file is one item of the folder, named by the task's identity.
void ExpectInFolder(const std::string& file, const std::string& folder, const TSyncTask& task) {
    const bool inFolder = file.size() > folder.size() && file.compare(0, folder.size(), folder) == 0 &&
                          fuzzsupport::IsSafeName(file.substr(folder.size()));
    fuzzsupport::Expect(inFolder, "a task's file lies outside its folder", file + "\nSyncID=" + task.SyncID);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TTasks loaded;
    size_t skipped = 0;
    if (!LoadTasks(fuzzsupport::Text(data, size), loaded, skipped)) {
        return 0;
    }
    for (const auto& task : loaded) {
        ExpectInFolder(task->LogPath(), GetProgramFolder(), *task);
        ExpectInFolder(task->LocalSnapshotPath(0), GetLocalSnapshotFolder(), *task);
        ExpectInFolder(task->LocalSnapshotPath(1), GetLocalSnapshotFolder(), *task);
    }
    const std::string saved = SaveTasks(loaded);
    TTasks again;
    fuzzsupport::Expect(LoadTasks(saved, again, skipped), "a saved task list does not load", saved);
    fuzzsupport::Expect(skipped == 0 && again.size() == loaded.size(), "a saved task does not load", saved);
    for (size_t i = 0; i < loaded.size(); ++i) {
        const std::string before = Describe(*loaded[i]);
        const std::string after = Describe(*again[i]);
        fuzzsupport::Expect(before == after, "a task changes when it is saved and loaded again",
                            before + "---- became ----\n" + after + "---- saved as ----\n" + saved);
    }
    return 0;
}
