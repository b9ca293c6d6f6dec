#include "tasks/TaskList.h"

#include "model/UTFileTree.h"
#include "model/UTPassword.h"
#include "model/UTUtils.h"
#include "platform/Profile.h"
#include "platform/ProgramFolder.h"
#include "tasks/UTSyncTask.h"
#include "tasks/UTSysConfig.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tandemora {

namespace {

// Milliseconds since the system started, as an unsigned 32-bit count: the
// digits that make a first-saved task's identity.
uint32_t TickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

bool IsTrimmedEmpty(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) > ' ') {
            return false;
        }
    }
    return true;
}

std::string SystemError(const std::string& what, const std::string& path, int error) {
    return what + " \"" + path + "\": " + std::strerror(error);
}

// The error-log text of every task-list failure.
std::string TaskListErrorText() {
    return SysConfig != nullptr ? SysConfig->GetLangText("error_free_tasklist_xml") : std::string();
}

// The frame of every change to a task-list file: read the whole document from
// source, let change() alter it, and write it to target in one atomic
// replacement. change() returns false when there is nothing to write. Any
// failure is logged and leaves the target as it was. True when written.
bool ChangeTaskListFile(const std::string& source, const std::string& target,
                        const std::function<bool(TXMLTaskListType&)>& change) {
    try {
        TTaskListDocument document;
        document.LoadFromFile(source);
        TXMLTaskListType list = document.GetTaskList();
        if (!change(list)) {
            return false;
        }
        document.SaveToFile(target);
        return true;
    } catch (const std::exception& e) {
        ErrorLogger.LogError(TaskListErrorText(), e);
        return false;
    }
}

// An identity no Tast of the list has yet: the wanted one, or the wanted one
// with "_2", "_3", ... behind it. A clone, an import or a task from a template
// would otherwise share its identity with the task it came from, and every later
// save, delete and snapshot of it would act on that other task.
std::string UniqueSyncID(TXMLTaskListType& list, const std::string& wanted) {
    if (list.IndexOfSyncID(wanted) < 0) {
        return wanted;
    }
    for (int n = 2;; ++n) {
        std::string candidate = wanted + "_" + std::to_string(n);
        if (list.IndexOfSyncID(candidate) < 0) {
            return candidate;
        }
    }
}

// A first identity made from a task's name: the name followed by the tick
// count. A name that would not make a safe identity (see IsSafeSyncID) gives
// one with "_" in place of its separators and control characters and of a
// leading "." or blank, cut short enough for the digits and a "_2" behind them.
std::string NewSyncID(const std::string& name) {
    std::string base = name;
    for (char& c : base) {
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '_';
        }
    }
    if (!base.empty() && (base.front() == '.' || base.front() == ' ')) {
        base.front() = '_';
    }
    const size_t room = kMaxSyncIDBytes - 10 - 8;
    if (base.size() > room) {
        size_t cut = room;
        // Not inside a UTF-8 sequence: the identity is written into the XML too.
        while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        base.resize(cut);
    }
    return base + std::to_string(TickCount());
}

void WriteFolder(TXMLFolderType folder, const TFolderSource& source) {
    folder.SetInteger("DeviceType", source.DeviceType);
    folder.SetText("FolerAllName", source.FolerAllName);
    folder.SetInteger("validate", source.validate);
    folder.SetText("UserName", source.UserName);
    folder.SetText("PWD", TSyncTask::EncodePassword(source.PWD));
    folder.SetInteger("ActiveMode", source.ActiveMode);
    folder.SetInteger("FactTime", source.FactTime);
    folder.SetText("PrivateKey", source.PrivateKey);
}

void ReadFolder(TXMLFolderType folder, TFolderSource& target) {
    target.DeviceType = folder.GetInteger("DeviceType");
    target.FolerAllName = folder.GetText("FolerAllName");
    target.UserName = folder.GetText("UserName");
    target.PWD = TSyncTask::DecodePassword(folder.GetText("PWD"));
    target.PrivateKey = folder.GetText("PrivateKey");
}

void WriteItems(TXMLItemListType items, const std::vector<std::string>& patterns) {
    // Removed from the front, one step each (deleting by index walks the list).
    while (pugi::xml_node item = items.Node.child("Item")) {
        items.Node.remove_child(item);
    }
    for (size_t i = 0; i < patterns.size(); ++i) {
        TXMLItemType item = items.Add();
        item.SetName("N" + std::to_string(i));
        item.SetValue(patterns[i]);
    }
}

void ReadItems(TXMLItemListType items, std::vector<std::string>& patterns) {
    // One step per pattern: a look-up by index would walk from the first Item
    // each time, and a list of many thousands of patterns would load for minutes.
    for (pugi::xml_node item = items.Node.child("Item"); item; item = item.next_sibling("Item")) {
        patterns.push_back(TXMLItemType(item).GetValue());
    }
}

// Everything of a task after its name and identity, in the order a new Tast
// receives its children.
void WriteTaskBody(TXMLTastType tast, const TSyncTask& task) {
    tast.SetText("SyncName", task.SyncName);
    tast.SetInteger("SyncDirection", task.SyncDirection);
    tast.SetInteger("ForcedOrVerified", task.ForcedOrVerified);
    tast.SetInteger("IsDeleteFile", task.IsDeleteFile);
    tast.SetInteger("SaveOldFile", task.SaveOldFile);
    tast.SetInteger("UseTempFile", task.UseTempFile);
    tast.SetInteger("CheckNoChange", task.CheckNoChange);
    tast.SetInteger("EstimateDiskSpace", task.EstimateDiskSpace);
    WriteFolder(tast.LFolder(), task.LFolder);
    WriteFolder(tast.RFolder(), task.RFolder);

    TXMLFilterType filter = tast.Filter();
    filter.SetInteger("ExcludeEmtpyFolder", task.ExcludeEmtpyFolder);
    filter.SetInteger("ExcludeHiddenFile", task.ExcludeHiddenFile);
    filter.SetInteger("ExcludeSystemFile", task.ExcludeSystemFile);
    WriteItems(filter.IncludeFilter(), task.IncludeFilter);
    WriteItems(filter.ExcludeFilter(), task.ExcludeFilter);

    TXMLAutoType autoRun = tast.Auto();
    autoRun.SetInteger("StartAnalyze", task.StartAnalyze);
    autoRun.SetInteger("StartSync", task.StartSync);
    autoRun.SetInteger("ConnectAnalyze", task.ConnectAnalyze);
    autoRun.SetInteger("ConnectSync", task.ConnectSync);
    autoRun.SetInteger("LogoffAnalyze", task.LogoffAnalyze);
    autoRun.SetInteger("LogoffSync", task.LogoffSync);
    autoRun.SetInteger("PeriodAnalyze", task.PeriodAnalyze);
    autoRun.SetInteger("PeriodSync", task.PeriodSync);
    autoRun.SetInteger("Hours", task.Hours);
    autoRun.SetInteger("minutes", task.minutes);
    autoRun.SetText("TaskScheduler", task.TaskScheduler);
    autoRun.SetInteger("TSsync", task.TSsync);
    autoRun.SetInteger("TSanalyze", task.TSanalyze);
    autoRun.SetInteger("Conflicts", task.Conflicts);
    autoRun.SetInteger("EnsureFolderTags", task.EnsureFolderTags);
}

// The most a task list or template file may hold: thousands of tasks take a
// few megabytes.
constexpr long long kMaxTaskListBytes = 64LL << 20;

bool WriteAllBytes(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// The file a link points to, so that replacing it keeps the link; the path
// itself when it is no link or its target cannot be resolved.
std::string LinkTarget(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        return path;
    }
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        return path;
    }
    std::string target = real;
    free(real);
    return target;
}

// An enumerated field with a value outside its known ones would take a road
// no choice in the dialogs leads to (an unknown direction once deleted without
// the deletion switch), so such a task is refused like any damaged field.
int32_t GetChoice(TXMLNodeType node, const char* name, int32_t lowest, int32_t highest,
                  const std::string& syncName) {
    const int32_t value = node.GetInteger(name);
    if (value < lowest || value > highest) {
        throw EConvertError("The task \"" + EscapeForLog(syncName) + "\" is not loaded: its " + name + " " +
                            std::to_string(value) + " is none of the values " + std::to_string(lowest) +
                            " to " + std::to_string(highest));
    }
    return value;
}

int32_t GetSwitch(TXMLNodeType node, const char* name, const std::string& syncName) {
    return GetChoice(node, name, 0, 1, syncName);
}

} // namespace

// ---- Element access --------------------------------------------------------------

pugi::xml_node TXMLNodeType::ChildNode(const char* name) {
    pugi::xml_node child = Node.child(name);
    if (!child) {
        child = Node.append_child(name);
    }
    return child;
}

std::string TXMLNodeType::GetText(const char* name) {
    return ChildNode(name).text().get();
}

void TXMLNodeType::SetText(const char* name, const std::string& value) {
    pugi::xml_node child = ChildNode(name);
    // Setting an element's text replaces whatever it held, as a DOM text setter does.
    while (child.first_child()) {
        child.remove_child(child.first_child());
    }
    if (!value.empty()) {
        child.append_child(pugi::node_pcdata).set_value(value.c_str());
    }
}

int32_t TXMLNodeType::GetInteger(const char* name) {
    try {
        return TextToInteger(GetText(name));
    } catch (const EConvertError& e) {
        // Which element it was tells the user where to look in the file.
        throw EConvertError(std::string(e.what()) + " in " + name);
    }
}

void TXMLNodeType::SetInteger(const char* name, int32_t value) {
    SetText(name, std::to_string(value));
}

int32_t TXMLNodeType::TextToInteger(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    const size_t firstDigit = i;
    int64_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) {
            break;
        }
        ++i;
    }
    if (negative) {
        value = -value;
    }
    if (i == firstDigit || i != text.size() || value > std::numeric_limits<int32_t>::max() ||
        value < std::numeric_limits<int32_t>::min()) {
        throw EConvertError("'" + text + "' is not a valid integer value");
    }
    return static_cast<int32_t>(value);
}

std::string TXMLItemType::GetName() const {
    return Node.attribute("name").value();
}

void TXMLItemType::SetName(const std::string& value) {
    pugi::xml_attribute attribute = Node.attribute("name");
    if (!attribute) {
        attribute = Node.append_attribute("name");
    }
    attribute.set_value(value.c_str());
}

std::string TXMLItemType::GetValue() const {
    return Node.attribute("value").value();
}

void TXMLItemType::SetValue(const std::string& value) {
    pugi::xml_attribute attribute = Node.attribute("value");
    if (!attribute) {
        attribute = Node.append_attribute("value");
    }
    attribute.set_value(value.c_str());
}

namespace {

// The index-th child element of a name, or an empty handle.
pugi::xml_node NthChild(pugi::xml_node parent, const char* name, int32_t index) {
    if (index < 0) {
        return {};
    }
    for (pugi::xml_node child = parent.child(name); child; child = child.next_sibling(name)) {
        if (index-- == 0) {
            return child;
        }
    }
    return {};
}

int32_t CountChildren(pugi::xml_node parent, const char* name) {
    int32_t count = 0;
    for (pugi::xml_node child = parent.child(name); child; child = child.next_sibling(name)) {
        ++count;
    }
    return count;
}

pugi::xml_node InsertChild(pugi::xml_node parent, const char* name, int32_t index) {
    pugi::xml_node before = NthChild(parent, name, index);
    if (!before) {
        if (index != CountChildren(parent, name)) {
            throw EListError("List index out of bounds (" + std::to_string(index) + ")");
        }
        return parent.append_child(name);
    }
    return parent.insert_child_before(name, before);
}

pugi::xml_node ExistingChild(pugi::xml_node parent, const char* name, int32_t index) {
    pugi::xml_node node = NthChild(parent, name, index);
    if (!node) {
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    }
    return node;
}

} // namespace

int32_t TXMLItemListType::Count() const {
    return CountChildren(Node, "Item");
}

TXMLItemType TXMLItemListType::Item(int32_t index) const {
    return TXMLItemType(ExistingChild(Node, "Item", index));
}

TXMLItemType TXMLItemListType::Add() {
    return TXMLItemType(Node.append_child("Item"));
}

TXMLItemType TXMLItemListType::Insert(int32_t index) {
    return TXMLItemType(InsertChild(Node, "Item", index));
}

void TXMLItemListType::Delete(int32_t index) {
    Node.remove_child(ExistingChild(Node, "Item", index));
}

int32_t TXMLTaskListType::Count() const {
    return CountChildren(Node, "Tast");
}

TXMLTastType TXMLTaskListType::Tast(int32_t index) const {
    return TXMLTastType(ExistingChild(Node, "Tast", index));
}

TXMLTastType TXMLTaskListType::Add() {
    return TXMLTastType(Node.append_child("Tast"));
}

TXMLTastType TXMLTaskListType::Insert(int32_t index) {
    return TXMLTastType(InsertChild(Node, "Tast", index));
}

void TXMLTaskListType::Delete(int32_t index) {
    Node.remove_child(ExistingChild(Node, "Tast", index));
}

int32_t TXMLTaskListType::IndexOfSyncID(const std::string& syncID) {
    int32_t index = 0;
    for (pugi::xml_node child = Node.child("Tast"); child; child = child.next_sibling("Tast")) {
        if (TXMLTastType(child).GetText("SyncID") == syncID) {
            return index;
        }
        ++index;
    }
    return -1;
}

// ---- The document ------------------------------------------------------------------

void TTaskListDocument::LoadFromText(const std::string& text) {
    // Keep an element whose only text is blanks (a folder path of one blank is
    // still that path); blanks between elements are layout and go.
    const unsigned options = pugi::parse_default | pugi::parse_declaration | pugi::parse_ws_pcdata_single;
    pugi::xml_parse_result result = Doc.load_buffer(text.data(), text.size(), options, pugi::encoding_utf8);
    if (!result) {
        throw EXMLDocError(std::string("XML is not well-formed: ") + result.description() + " at offset " +
                           std::to_string(result.offset));
    }
}

void TTaskListDocument::LoadFromFile(const std::string& path) {
    LoadFromText(ReadProgramFile(path, kMaxTaskListBytes));
}

TXMLTaskListType TTaskListDocument::GetTaskList() {
    pugi::xml_node root = Doc.document_element();
    if (!root || std::strcmp(root.name(), "TaskList") != 0) {
        throw EXMLDocError("The document has no TaskList root");
    }
    return TXMLTaskListType(root);
}

std::string TTaskListDocument::SaveToText() {
    pugi::xml_node declaration = Doc.first_child();
    if (declaration.type() != pugi::node_declaration) {
        declaration = Doc.prepend_child(pugi::node_declaration);
        declaration.append_attribute("version").set_value("1.0");
    }
    pugi::xml_attribute encoding = declaration.attribute("encoding");
    if (!encoding) {
        encoding = declaration.append_attribute("encoding");
    }
    encoding.set_value("utf-8");
    std::ostringstream out;
    Doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

void TTaskListDocument::SaveToFile(const std::string& path) {
    ReplaceFileAtomically(path, SaveToText(), 0600);
}

void ReplaceFileAtomically(const std::string& linkOrPath, const std::string& bytes, unsigned mode) {
    // A task list kept elsewhere and linked into the program folder is updated
    // where it lives; renaming over the link would leave the real list behind
    // with every later change going to a copy nobody else sees.
    const std::string path = LinkTarget(linkOrPath);
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        throw EFCreateError(SystemError("Cannot create file", temp, errno));
    }
    bool ok = fchmod(fd, static_cast<mode_t>(mode)) == 0 && WriteAllBytes(fd, bytes) && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        throw EInOutError(SystemError("Cannot write file", path, error));
    }
    // Make the rename itself durable; the new content is complete either way.
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    const int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
}

void LoadTasks(const std::string& path, std::vector<std::unique_ptr<TSyncTask>>& Tasks,
               std::vector<TDamagedTask>& Damaged) {
    TTaskListDocument document;
    document.LoadFromFile(path);
    TXMLTaskListType list = document.GetTaskList();
    // The Tast elements in order, one step each (not a walk from the first per task).
    int32_t number = 0;
    for (pugi::xml_node tast = list.Node.child("Tast"); tast; tast = tast.next_sibling("Tast")) {
        ++number;
        // A task is read completely before it is handed on: a damaged entry
        // never shows as a half-filled task.
        auto task = std::make_unique<TSyncTask>();
        try {
            task->LoadFromXML(TXMLTastType(tast));
        } catch (const std::exception& e) {
            Damaged.push_back({number, task->SyncName, e.what(), ExceptionClassName(e)});
            continue;
        }
        Tasks.push_back(std::move(task));
    }
}

std::string TaskListPath() {
    return GetProgramFolder() + "tasklist.td";
}

std::string TaskTemplateBasePath() {
    return GetProgramFolder() + "TaskTemp.td";
}

// ---- The task's operations on the file -------------------------------------------

void TSyncTask::LoadFromXML(TXMLTastType Tast) {
    SyncName = Tast.GetText("SyncName");
    SyncID = Tast.GetText("SyncID");
    // The identity names the task's files; one that could reach outside their
    // folders refuses the whole task before anything else of it is taken.
    const std::string problem = SyncIDProblem(SyncID);
    if (!problem.empty()) {
        throw EConvertError("The task \"" + EscapeForLog(SyncName) + "\" is not loaded: its SyncID \"" +
                            EscapeForLog(SyncID) + "\" cannot name its files (" + problem + ")");
    }
    ReadFolder(Tast.LFolder(), LFolder);
    ReadFolder(Tast.RFolder(), RFolder);
    SyncDirection = GetChoice(Tast, "SyncDirection", sdBothWays, sdRightToLeft, SyncName);
    ForcedOrVerified = GetChoice(Tast, "ForcedOrVerified", fvNone, fvVerified, SyncName);
    IsDeleteFile = GetSwitch(Tast, "IsDeleteFile", SyncName);
    SaveOldFile = GetSwitch(Tast, "SaveOldFile", SyncName);
    UseTempFile = GetSwitch(Tast, "UseTempFile", SyncName);
    CheckNoChange = GetSwitch(Tast, "CheckNoChange", SyncName);
    EstimateDiskSpace = GetSwitch(Tast, "EstimateDiskSpace", SyncName);

    TXMLFilterType filter = Tast.Filter();
    ReadItems(filter.IncludeFilter(), IncludeFilter);
    ReadItems(filter.ExcludeFilter(), ExcludeFilter);
    ExcludeEmtpyFolder = GetSwitch(filter, "ExcludeEmtpyFolder", SyncName);
    ExcludeHiddenFile = GetSwitch(filter, "ExcludeHiddenFile", SyncName);
    ExcludeSystemFile = GetSwitch(filter, "ExcludeSystemFile", SyncName);

    TXMLAutoType autoRun = Tast.Auto();
    StartAnalyze = GetSwitch(autoRun, "StartAnalyze", SyncName);
    StartSync = GetSwitch(autoRun, "StartSync", SyncName);
    ConnectAnalyze = GetSwitch(autoRun, "ConnectAnalyze", SyncName);
    ConnectSync = GetSwitch(autoRun, "ConnectSync", SyncName);
    LogoffAnalyze = GetSwitch(autoRun, "LogoffAnalyze", SyncName);
    LogoffSync = GetSwitch(autoRun, "LogoffSync", SyncName);
    PeriodAnalyze = GetSwitch(autoRun, "PeriodAnalyze", SyncName);
    PeriodSync = GetSwitch(autoRun, "PeriodSync", SyncName);
    Hours = autoRun.GetInteger("Hours");
    minutes = autoRun.GetInteger("minutes");
    TSsync = GetSwitch(autoRun, "TSsync", SyncName);
    TSanalyze = GetSwitch(autoRun, "TSanalyze", SyncName);
    TaskScheduler = autoRun.GetText("TaskScheduler");
    Conflicts = GetChoice(autoRun, "Conflicts", cfDoNotCopy, cfNewerFileWins, SyncName);
    EnsureFolderTags = GetSwitch(autoRun, "EnsureFolderTags", SyncName);
}

void TSyncTask::SaveToXML(TXMLTastType Tast) const {
    Tast.SetText("SyncName", SyncName);
    Tast.SetText("SyncID", SyncID);
    WriteTaskBody(Tast, *this);
}

bool TSyncTask::SaveToTaskList(bool IsNew) {
    return ChangeTaskListFile(TaskListPath(), TaskListPath(), [&](TXMLTaskListType& list) {
        if (IsNew) {
            std::string id = UniqueSyncID(list, SyncID.empty() ? NewSyncID(SyncName) : SyncID);
            if (!IsSafeSyncID(id)) {
                // A clone's "New_" or an import's "_" can take a long identity past
                // the limit; such a task starts afresh from its name.
                id = UniqueSyncID(list, NewSyncID(SyncName));
            }
            TXMLTastType tast = list.Add();
            tast.SetText("SyncName", SyncName);
            tast.SetText("SyncID", id);
            SyncID = id;
            WriteTaskBody(tast, *this);
            return true;
        }
        const int32_t index = list.IndexOfSyncID(SyncID);
        if (index < 0) {
            return false;
        }
        WriteTaskBody(list.Tast(index), *this);
        return true;
    });
}

bool TSyncTask::DeleteTaskFromList(const std::string& syncID) {
    return ChangeTaskListFile(TaskListPath(), TaskListPath(), [&](TXMLTaskListType& list) {
        const int32_t index = list.IndexOfSyncID(syncID);
        if (index >= 0) {
            list.Delete(index);
        }
        return true;
    });
}

int32_t TSyncTask::SaveFolderPath(int32_t side) {
    const bool saved = ChangeTaskListFile(TaskListPath(), TaskListPath(), [&](TXMLTaskListType& list) {
        const int32_t index = list.IndexOfSyncID(SyncID);
        if (index < 0) {
            return false;
        }
        TXMLTastType tast = list.Tast(index);
        if (side == 0) {
            tast.LFolder().SetText("FolerAllName", LFolder.FolerAllName);
        } else {
            tast.RFolder().SetText("FolerAllName", RFolder.FolerAllName);
        }
        return true;
    });
    return saved ? 0 : -1;
}

int32_t TSyncTask::SaveLeftFolderPath() {
    return SaveFolderPath(0);
}

int32_t TSyncTask::SaveRightFolderPath() {
    return SaveFolderPath(1);
}

int32_t TSyncTask::SaveAsTemplate(const std::string& fileName) {
    const bool saved = ChangeTaskListFile(TaskTemplateBasePath(), GetProgramFolder() + fileName,
                                          [&](TXMLTaskListType& list) {
                                              TXMLTastType tast = list.Add();
                                              tast.SetText("SyncName", SyncName);
                                              tast.SetText("SyncID", NewSyncID(SyncName));
                                              WriteTaskBody(tast, *this);
                                              return true;
                                          });
    return saved ? 0 : 1;
}

std::string TSyncTask::EncodePassword(const std::string& password) {
    if (IsTrimmedEmpty(password)) {
        return "";
    }
    // A password the scrambled form cannot hold raises here, before anything is
    // written, so it is never stored cut short.
    return ScramblePassword(password);
}

std::string TSyncTask::DecodePassword(const std::string& stored) {
    if (stored.empty()) {
        return "";
    }
    return UnscramblePassword(stored);
}

} // namespace tandemora
