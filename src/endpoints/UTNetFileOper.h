#pragma once
// The network-share endpoint (DeviceType dtNetShare): a folder on an SMB server,
// given as a UNC path ("\\server\share\folder"), with a user name and password.
// Connect logs on to the server with them and lists its disk shares; after that
// the endpoint works on the UNC path exactly as the local endpoint does (the file
// layer reaches UNC paths through the SMB client, see platform/SmbClient.h).
//
// Paths: the endpoint path, an item's relative path and its name are joined as
// they stand. Relative paths use "/" ("/" for the root's items, "/sub/" below),
// as on the local endpoint, so items move between the two kinds unchanged.
// BuildFullPath then turns every "/" into "\"; the file layer accepts both.
//
// Also holds the small path and listing routines of the folder picker's network
// page (GetShareList, ExtractServerName, NormalizeUncPath, ListSubFolders).

#include "endpoints/UTWinFileOper.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tandemora {

namespace smb {
class TBreakOnCancel;
}

using TStringList = std::vector<std::string>;

// Results of Connect and the code in ListSubFolders' failure line.
enum : int {
    ERROR_ACCESS_DENIED = 5,        // the server refused the user or password
    ERROR_NO_NET_OR_BAD_PATH = 1203 // no answer from the server, or no such server or path
};

class TNetFileOper : public TWinFileOper {
public:
    explicit TNetFileOper(bool FreeOnTerminate);
    ~TNetFileOper() override;

    // Logs on to the server of FolerAllName with UserName and PWD and lists its
    // disk shares into Shares. 0 when the server answered; otherwise
    // ERROR_ACCESS_DENIED or ERROR_NO_NET_OR_BAD_PATH. Up to six attempts 100 ms
    // apart while the server does not answer; a refused log-on is not repeated.
    int Connect() override;
    // The local scan, plus: a folder that could not be listed while the server
    // stopped answering marks the whole scan incomplete.
    int ScanTree() override;
    // 10: the scan's progress bar does not count a server's folders in advance.
    int GetTopFolderCount() override;
    int LoadSnapshot() override;
    // The folder part of a path up to its last "\" or "/".
    int ExtractFolderPath(const std::string& Path, std::string& Folder) override;
    // FolerAllName + RelPath + Name, every "/" turned into "\".
    int BuildFullPath(TFolderSource* Source, TFileAttri* Attr, std::string& Path) override;
    int PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr, int Reserved) override;

    // The disk shares found by the last Connect, one "\\server\share" per line.
    // Owned by the endpoint.
    const TStringList& GetShareList() const;
    // The server part of a UNC path, leading "\\" kept: "\\srv\share\dir" gives
    // "\\srv", "\\srv" stays "\\srv".
    static std::string ExtractServerName(const std::string& Path);
    // The form the folder picker stores: trimmed, no trailing separator, and
    // starting with "\\" ("srv\share\" gives "\\srv\share").
    static std::string NormalizeUncPath(const std::string& Path);
    // Every sub-folder of Path as Path + "\" + name, in the server's order. A
    // folder that cannot be listed gives the single line "Can not open folder:" +
    // Path + ",Return Code：" + the code (ERROR_ACCESS_DENIED or
    // ERROR_NO_NET_OR_BAD_PATH). The caller owns the list.
    static std::unique_ptr<TStringList> ListSubFolders(const std::string& Path);
    // Runs a command line (blank-separated words, double quotes group) hidden,
    // waits for it and returns its exit code; -1 when it could not be started.
    // ShowWindow is ignored: nothing here opens a window.
    static int RunHiddenCommand(const std::string& CommandLine, int ShowWindow);

    // The Windows code of a failed network call's errno.
    static int NetErrorCode(int Errno);

private:
    TStringList Shares;
    // Breaks off a call into the SMB client that waits on the server once
    // this endpoint is stopped or its run cancelled: libsmbclient itself would
    // wait for the whole stall limit, and more than once in one operation.
    std::unique_ptr<smb::TBreakOnCancel> breaker_;
};

} // namespace tandemora
