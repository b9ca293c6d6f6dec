#pragma once
// Browsing an FTP server's folders for the folder picker, level by level, on the
// FTP endpoint's open connection. The tree here is plain data; the picker's
// window shows it (one widget item per node) and reads the chosen folder's
// server path from the selected node's Data->RelPath.

#include "endpoints/UTFtpFileOper.h"
#include "model/UTFileAttri.h"
#include "model/UTFolderSource.h"

#include <memory>
#include <string>
#include <vector>

namespace tandemora {

// Image indexes of the picker's tree.
inline constexpr int FtpServerImage = 1;
inline constexpr int FtpFolderImage = 2;

class TFtpTreeNode {
public:
    std::string Text;
    int ImageIndex = 0;
    int SelectedIndex = 0;
    bool Expanded = false;
    // A folder's Name and full server path (RelPath, ending in "/"); none for
    // the server node. Owned by the node.
    std::unique_ptr<TFileAttri> Data;
    TFtpTreeNode* Parent = nullptr;
    std::vector<std::unique_ptr<TFtpTreeNode>> Children;

    TFtpTreeNode* AddChild(const std::string& Text, int Image, std::unique_ptr<TFileAttri> Data);
    void DeleteChildren();
};

class TFtpTreeView {
public:
    std::vector<std::unique_ptr<TFtpTreeNode>> Items; // the top level
    TFtpTreeNode* AddItem(const std::string& Text, int Image);
    void Clear();
};

// One sub-folder: its name and a TFileAttri with Name and RelPath (the server
// path ending in "/"), everything else zero.
struct TFtpFolder {
    std::string Name;
    std::unique_ptr<TFileAttri> Attr;
};
using TFtpFolderList = std::vector<TFtpFolder>;

// The sub-folders of a server folder (a server path, or a URL starting with the
// endpoint's Prefix), in the server's order. Files are never listed. Empty when
// there is no connection or the folder cannot be entered or listed.
TFtpFolderList ListSubFolders(TFtpFileOper* Oper, const std::string& Path);

// Clears Oper->TreeView and fills it from the server's root down to the folder
// a URL or server path names: every folder on the way shows all its
// sub-folders, the way itself is expanded, and the target's own sub-folders
// are listed under it. Returns the server path, then the names of every listed
// folder, level after level.
std::vector<std::string> ShowPathInTree(TFtpFileOper* Oper, const std::string& UrlOrPath);

// Replaces Node's children by the sub-folders of a server path.
void ExpandTreeNode(TFtpFileOper* Oper, const std::string& Path, TFtpTreeNode* Node);

// True when Other names another server, user or password than Oper's own
// Source; the old connection is then closed, so that the next Connect makes a
// new one. A different folder on the same server is no change.
bool ServerChanged(TFtpFileOper* Oper, const TFolderSource& Other);

} // namespace tandemora
