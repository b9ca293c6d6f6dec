#pragma once
// The task-list file "tasklist.td" (and the template files of the same form):
// a typed binding over the XML document, one class per element kind.
//
// Children are found by name, the first child of that name. Reading or writing
// a child that is not there creates it as the last child of its parent, so an
// existing Tast keeps its children where they stand (files written by other
// versions, with other orders or missing elements, load and save) and a child
// it lacks is added at its end.

#include "platform/Exceptions.h"

#include <cstdint>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <vector>

namespace tandemora {

class TSyncTask;

// The document is missing its TaskList root, or is not well-formed XML.
class EXMLDocError : public TException {
public:
    using TException::TException;
    const char* ClassName() const override { return "EXMLDocError"; }
};

// A handle on one element with access to its child elements by name.
class TXMLNodeType {
public:
    explicit TXMLNodeType(pugi::xml_node node) : Node(node) {}

    pugi::xml_node Node;

    // The first child element of that name, appended as last child when missing.
    pugi::xml_node ChildNode(const char* name);
    // A child's text; a missing child reads as empty text (and is created).
    std::string GetText(const char* name);
    void SetText(const char* name, const std::string& value);
    // A child's text as a whole number; EConvertError when missing, empty or not a number.
    int32_t GetInteger(const char* name);
    void SetInteger(const char* name, int32_t value);

    // Whole-number text: optional leading blanks, an optional sign, decimal
    // digits, within 32 bits. Anything else raises EConvertError.
    static int32_t TextToInteger(const std::string& text);
};

// LFolder and RFolder: DeviceType, FolerAllName, validate, UserName, PWD,
// ActiveMode, FactTime, PrivateKey.
class TXMLFolderType : public TXMLNodeType {
public:
    using TXMLNodeType::TXMLNodeType;
    int32_t GetDeviceType() { return GetInteger("DeviceType"); }
    void SetDeviceType(int32_t value) { SetInteger("DeviceType", value); }
    std::string GetFolerAllName() { return GetText("FolerAllName"); }
    void SetFolerAllName(const std::string& value) { SetText("FolerAllName", value); }
    int32_t Getvalidate() { return GetInteger("validate"); }
    void Setvalidate(int32_t value) { SetInteger("validate", value); }
    std::string GetUserName() { return GetText("UserName"); }
    void SetUserName(const std::string& value) { SetText("UserName", value); }
    std::string GetPWD() { return GetText("PWD"); }
    void SetPWD(const std::string& value) { SetText("PWD", value); }
    int32_t GetActiveMode() { return GetInteger("ActiveMode"); }
    void SetActiveMode(int32_t value) { SetInteger("ActiveMode", value); }
    int32_t GetFactTime() { return GetInteger("FactTime"); }
    void SetFactTime(int32_t value) { SetInteger("FactTime", value); }
    std::string GetPrivateKey() { return GetText("PrivateKey"); }
    void SetPrivateKey(const std::string& value) { SetText("PrivateKey", value); }
};
using TXMLLFolderType = TXMLFolderType;
using TXMLRFolderType = TXMLFolderType;

// One pattern: attributes "name" (N0, N1, ...; written, never read) and "value".
class TXMLItemType : public TXMLNodeType {
public:
    using TXMLNodeType::TXMLNodeType;
    std::string GetName() const;
    void SetName(const std::string& value);
    std::string GetValue() const;
    void SetValue(const std::string& value);
};

// IncludeFilter and ExcludeFilter: collections of Item.
class TXMLItemListType : public TXMLNodeType {
public:
    using TXMLNodeType::TXMLNodeType;
    int32_t Count() const;
    TXMLItemType Item(int32_t index) const; // EListError out of range
    TXMLItemType Add();
    TXMLItemType Insert(int32_t index);
    void Delete(int32_t index);
};
using TXMLIncludeFilterType = TXMLItemListType;
using TXMLExcludeFilterType = TXMLItemListType;

// Filter: ExcludeEmtpyFolder, ExcludeHiddenFile, ExcludeSystemFile, IncludeFilter, ExcludeFilter.
class TXMLFilterType : public TXMLNodeType {
public:
    using TXMLNodeType::TXMLNodeType;
    int32_t GetExcludeEmtpyFolder() { return GetInteger("ExcludeEmtpyFolder"); }
    void SetExcludeEmtpyFolder(int32_t value) { SetInteger("ExcludeEmtpyFolder", value); }
    int32_t GetExcludeHiddenFile() { return GetInteger("ExcludeHiddenFile"); }
    void SetExcludeHiddenFile(int32_t value) { SetInteger("ExcludeHiddenFile", value); }
    int32_t GetExcludeSystemFile() { return GetInteger("ExcludeSystemFile"); }
    void SetExcludeSystemFile(int32_t value) { SetInteger("ExcludeSystemFile", value); }
    TXMLIncludeFilterType IncludeFilter() { return TXMLIncludeFilterType(ChildNode("IncludeFilter")); }
    TXMLExcludeFilterType ExcludeFilter() { return TXMLExcludeFilterType(ChildNode("ExcludeFilter")); }
};

// Auto: the trigger switches, the period and the scheduled-run fields.
class TXMLAutoType : public TXMLNodeType {
public:
    using TXMLNodeType::TXMLNodeType;
    int32_t GetStartAnalyze() { return GetInteger("StartAnalyze"); }
    void SetStartAnalyze(int32_t value) { SetInteger("StartAnalyze", value); }
    int32_t GetStartSync() { return GetInteger("StartSync"); }
    void SetStartSync(int32_t value) { SetInteger("StartSync", value); }
    int32_t GetConnectAnalyze() { return GetInteger("ConnectAnalyze"); }
    void SetConnectAnalyze(int32_t value) { SetInteger("ConnectAnalyze", value); }
    int32_t GetConnectSync() { return GetInteger("ConnectSync"); }
    void SetConnectSync(int32_t value) { SetInteger("ConnectSync", value); }
    int32_t GetLogoffAnalyze() { return GetInteger("LogoffAnalyze"); }
    void SetLogoffAnalyze(int32_t value) { SetInteger("LogoffAnalyze", value); }
    int32_t GetLogoffSync() { return GetInteger("LogoffSync"); }
    void SetLogoffSync(int32_t value) { SetInteger("LogoffSync", value); }
    int32_t GetPeriodAnalyze() { return GetInteger("PeriodAnalyze"); }
    void SetPeriodAnalyze(int32_t value) { SetInteger("PeriodAnalyze", value); }
    int32_t GetPeriodSync() { return GetInteger("PeriodSync"); }
    void SetPeriodSync(int32_t value) { SetInteger("PeriodSync", value); }
    int32_t GetHours() { return GetInteger("Hours"); }
    void SetHours(int32_t value) { SetInteger("Hours", value); }
    int32_t Getminutes() { return GetInteger("minutes"); }
    void Setminutes(int32_t value) { SetInteger("minutes", value); }
    std::string GetTaskScheduler() { return GetText("TaskScheduler"); }
    void SetTaskScheduler(const std::string& value) { SetText("TaskScheduler", value); }
    int32_t GetTSsync() { return GetInteger("TSsync"); }
    void SetTSsync(int32_t value) { SetInteger("TSsync", value); }
    int32_t GetTSanalyze() { return GetInteger("TSanalyze"); }
    void SetTSanalyze(int32_t value) { SetInteger("TSanalyze", value); }
    int32_t GetConflicts() { return GetInteger("Conflicts"); }
    void SetConflicts(int32_t value) { SetInteger("Conflicts", value); }
    int32_t GetEnsureFolderTags() { return GetInteger("EnsureFolderTags"); }
    void SetEnsureFolderTags(int32_t value) { SetInteger("EnsureFolderTags", value); }
};

// One task. Every class offers a getter and a setter per text child, beside
// the generic GetText/SetText and GetInteger/SetInteger by name.
class TXMLTastType : public TXMLNodeType {
public:
    using TXMLNodeType::TXMLNodeType;
    std::string GetSyncName() { return GetText("SyncName"); }
    void SetSyncName(const std::string& value) { SetText("SyncName", value); }
    std::string GetSyncID() { return GetText("SyncID"); }
    void SetSyncID(const std::string& value) { SetText("SyncID", value); }
    int32_t GetSyncDirection() { return GetInteger("SyncDirection"); }
    void SetSyncDirection(int32_t value) { SetInteger("SyncDirection", value); }
    int32_t GetForcedOrVerified() { return GetInteger("ForcedOrVerified"); }
    void SetForcedOrVerified(int32_t value) { SetInteger("ForcedOrVerified", value); }
    int32_t GetIsDeleteFile() { return GetInteger("IsDeleteFile"); }
    void SetIsDeleteFile(int32_t value) { SetInteger("IsDeleteFile", value); }
    int32_t GetSaveOldFile() { return GetInteger("SaveOldFile"); }
    void SetSaveOldFile(int32_t value) { SetInteger("SaveOldFile", value); }
    int32_t GetUseTempFile() { return GetInteger("UseTempFile"); }
    void SetUseTempFile(int32_t value) { SetInteger("UseTempFile", value); }
    int32_t GetCheckNoChange() { return GetInteger("CheckNoChange"); }
    void SetCheckNoChange(int32_t value) { SetInteger("CheckNoChange", value); }
    int32_t GetEstimateDiskSpace() { return GetInteger("EstimateDiskSpace"); }
    void SetEstimateDiskSpace(int32_t value) { SetInteger("EstimateDiskSpace", value); }
    TXMLLFolderType LFolder() { return TXMLLFolderType(ChildNode("LFolder")); }
    TXMLRFolderType RFolder() { return TXMLRFolderType(ChildNode("RFolder")); }
    TXMLFilterType Filter() { return TXMLFilterType(ChildNode("Filter")); }
    TXMLAutoType Auto() { return TXMLAutoType(ChildNode("Auto")); }
};

// The TaskList root: a collection of Tast in the order tasks were added.
class TXMLTaskListType : public TXMLNodeType {
public:
    using TXMLNodeType::TXMLNodeType;
    int32_t Count() const;
    TXMLTastType Tast(int32_t index) const; // EListError out of range
    TXMLTastType Add();
    TXMLTastType Insert(int32_t index);
    void Delete(int32_t index);
    // The first Tast whose SyncID equals syncID exactly, or -1.
    int32_t IndexOfSyncID(const std::string& syncID);
};

// Each binding class serves as its own interface.
using IXMLTaskListType = TXMLTaskListType;
using IXMLTastType = TXMLTastType;
using IXMLLFolderType = TXMLLFolderType;
using IXMLRFolderType = TXMLRFolderType;
using IXMLFilterType = TXMLFilterType;
using IXMLIncludeFilterType = TXMLIncludeFilterType;
using IXMLExcludeFilterType = TXMLExcludeFilterType;
using IXMLItemType = TXMLItemType;
using IXMLAutoType = TXMLAutoType;

// A loaded task-list or template document.
class TTaskListDocument {
public:
    // Parses UTF-8 text; EXMLDocError when it is not well-formed.
    void LoadFromText(const std::string& text);
    // Reads a whole file; EFOpenError when it cannot be read, then as LoadFromText.
    void LoadFromFile(const std::string& path);
    // The TaskList root; EXMLDocError when the document has none.
    TXMLTaskListType GetTaskList();
    // The document as UTF-8 text with an XML declaration naming "utf-8".
    std::string SaveToText();
    // Replaces the file at path with the document: written to a temporary file
    // in the same folder with mode 0600, flushed to disk, then renamed over the
    // old one, so a crash or a full disk never leaves a truncated task list (the
    // file holds the passwords). On failure the old file stays as it was and
    // EFCreateError or EInOutError is raised.
    void SaveToFile(const std::string& path);

    pugi::xml_document Doc;
};

// Writes bytes to path through a temporary file in the same folder and an
// atomic rename; the new file has the given mode. A link is followed and its
// target replaced. Raises on failure, leaving whatever was at path untouched and
// no temporary file behind.
void ReplaceFileAtomically(const std::string& path, const std::string& bytes, unsigned mode);

// A task of a task list that could not be read.
struct TDamagedTask {
    int32_t Position = 0;   // its place in the list, counting from 1
    std::string Name;       // its SyncName (empty when even that is missing)
    std::string Reason;     // what was wrong with it
    std::string ErrorClass; // the class of the error that said so
};

// Every task of the task-list file at path, in the order of the file. A task
// with a bad value does not hide the ones after it: each task that reads
// cleanly goes into Tasks, each damaged one into Damaged. A file that cannot
// be read, is not well-formed or has no TaskList root raises (EFOpenError,
// EInOutError, EXMLDocError) and gives no task at all.
void LoadTasks(const std::string& path, std::vector<std::unique_ptr<TSyncTask>>& Tasks,
               std::vector<TDamagedTask>& Damaged);

// "tasklist.td" in the program folder.
std::string TaskListPath();
// "TaskTemp.td" in the program folder: the empty document a template starts from.
std::string TaskTemplateBasePath();

} // namespace tandemora
