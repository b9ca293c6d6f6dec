#pragma once
// The FTP endpoint (DeviceType dtFtp): a folder on an FTP server, named by a URL
// "ftp://host[:port]/server/path" with a user name and password. One FTP
// connection (TFtpSession, passive mode) serves listings and transfers alike;
// it keeps the server's current folder, and every operation enters the folder
// it works in before it names files by their bare names.
//
// Names are the server's bytes (UTF-8), passed through unchanged. Server paths
// use "/" only; "\" is an ordinary name character.
//
// The scan lists breadth-first, one folder level per step. A folder that cannot
// be entered or listed (or whose listing breaks off) gets ListFailed and goes
// into UnreadFolders; a lost connection or a cancel marks the scan incomplete.

#include "endpoints/UTFileOper.h"
#include "platform/FtpSession.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tandemora {

class TFtpTreeView;

// The session behind hConnect. Stop closes it from the main thread, which makes
// a blocked command return at once and every later one fail.
class TFtpHandle : public TInternetHandle {
public:
    explicit TFtpHandle(std::shared_ptr<TFtpSession> Session) : Session(std::move(Session)) {}
    void Close() override { Session->Abort(); }

    std::shared_ptr<TFtpSession> Session;
};

// Folders still to be listed: a server path ending in "/" with its tree node.
using TFtpLevelList = std::vector<std::pair<std::string, TFileTree*>>;

class TFtpFileOper : public TFileOper {
public:
    explicit TFtpFileOper(bool FreeOnTerminate);
    ~TFtpFileOper() override;

    int Connect() override;
    int ScanTree() override;
    int ReadToStream(TFolderSource* Source, TFileAttri* Attr, std::stringstream& Stream) override;
    int WriteFromStream(std::istream& Stream, TFolderSource* Source, TFileAttri* Attr,
                        bool ClearReadOnly) override;
    int MakeFolder(const std::string& RelPath) override;
    int GetTopFolderCount() override;
    int LoadSnapshot() override;
    int DeleteFile(TFolderSource* Source, TFileAttri* Attr) override;
    int RemoveFolder(TFolderSource* Source, TFileAttri* Attr) override;
    int GetSavedFolder(std::string& Path) override;
    int64_t GetFileSize(const std::string& Path) override;
    int SaveOldFile(TFolderSource* Source, TFileAttri* Attr) override;
    int ExtractFolderPath(const std::string& Path, std::string& Folder) override;
    int BuildFullPath(TFolderSource* Source, TFileAttri* Attr, std::string& Path) override;
    int BuildFolderPath(TFolderSource* Source, TFileAttri* Attr, std::string& Path) override;
    int PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr, int Reserved) override;
    int RenameFile(const std::string& OldPath, const std::string& NewPath) override;
    int GetFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr, int Reserved) override;
    int IsRootMissing() override;

    // ---- URL handling -------------------------------------------------------------
    // The URL trimmed, without one trailing "/", with "ftp://" in front.
    static std::string NormalizeUrl(const std::string& Url);
    // The host part after "ftp://", up to the first "/"; a port stays part of it.
    static std::string HostOf(const std::string& Url);
    // "ftp://" + HostOf of the normalised URL.
    static std::string UrlPrefix(const std::string& Url);
    // The source's server path: its URL without the prefix ("" for the server root).
    std::string GetRootPath();
    // Normalises the source's URL in place and sets Prefix and RootPath from it.
    void ParseSourceUrl();

    // ---- Server operations -----------------------------------------------------------
    // Enters a server folder: 0 entered, -2 refused, -1 no connection.
    int ChangeDir(const std::string& Path);
    // "FTP:" + the server's greeting, or "ftp://" + Host when there is none.
    std::string ReadServerBanner();
    // Lists one level of folders and queues the next level in NextLevel.
    void ScanLevel(const TFtpLevelList& List);
    // Download and upload in the current folder; true when complete. An upload
    // is given the local DOS time Time where the server lets it (0: none).
    bool DownloadFile(const std::string& Name, const std::string& LocalPath, int64_t ExpectedSize = -1);
    bool UploadFile(const std::string& Name, const std::string& LocalPath, int64_t ExpectedSize = -1,
                    int32_t Time = 0);
    // Attr's RelPath holds a full server folder: 0 when Name is there, 1 when
    // not (or the folder cannot be entered), -1 without a connection.
    int RemoteExists(const TFileAttri& Attr);
    // 0 removed, -3 refused, -1 no connection.
    int RemoveDirectory(const std::string& Path);
    // The open session, or null when there is none (Stop may clear it any time).
    std::shared_ptr<TFtpSession> Session();
    // Closes and forgets the connection, so that the next Connect makes a new one.
    void Disconnect();

    // ---- Fields ----------------------------------------------------------------------
    std::string ProxyList;
    std::string BypassList;
    std::string Host; // host part of the URL, with a port when one is written
    std::string User;
    std::string Password;
    std::string RootPath; // server path of the root, no trailing "/" ("" for the server root)
    TFtpLevelList NextLevel;
    TFtpTreeView* TreeView = nullptr; // the folder picker's tree, filled by the browsing routines
    std::string Prefix;               // "ftp://" + Host

private:
    // The server folder of an item: RootPath + RelPath, ending in "/".
    std::string FolderOf(const std::string& RelPath) const;
    // The server folder and name an URL of this endpoint names; false when it is
    // not below the source's URL.
    bool SplitUrl(const std::string& Url, std::string& Folder, std::string& Name) const;
    // Enters the folder of an item; the session on success.
    std::shared_ptr<TFtpSession> EnterFolder(const std::string& Folder, int& Result);
    // Makes the item's folder, enters it and uploads; a non-empty Status is shown
    // first. 0 uploaded, 1 folder not entered, -1 upload failed.
    int Upload(const std::string& LocalPath, TFileAttri* Attr, int64_t ExpectedSize,
               const std::string& Status);
    void RecordFailure(const std::string& What, const std::shared_ptr<TFtpSession>& Session);
    // Before the first upload into the session's current folder (Folder): removes
    // the part files an earlier run of this task left there.
    void RemoveStaleParts(TFtpSession& Session, const TFileAttri& Attr);
    // Notes why the session's last command failed as LastErrorText (the
    // server's reply when it refused) and answers Result.
    int FailFrom(int Result, const std::shared_ptr<TFtpSession>& Session);
};

} // namespace tandemora
