#include "endpoints/UFtpBrowse.h"

#include "model/UTUtils.h"

#include "platform/FtpSession.h"

namespace tandemora {

namespace {

std::string RemoveAll(std::string text, const std::string& part) {
    if (part.empty()) {
        return text;
    }
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos)) {
        text.erase(pos, part.size());
    }
    return text;
}

// The server path a picker argument names: a URL of the endpoint's server loses
// its prefix; a server path stays as it is. No trailing "/"; "/" for the root.
std::string ServerPathOf(TFtpFileOper* Oper, const std::string& UrlOrPath) {
    std::string text = TrimBlanks(UrlOrPath);
    std::string path;
    if (!text.empty() && text[0] == '/') {
        path = text;
    } else {
        path = RemoveAll(TFtpFileOper::NormalizeUrl(text), Oper->Prefix);
    }
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path.empty() ? "/" : path;
}

} // namespace

TFtpTreeNode* TFtpTreeNode::AddChild(const std::string& Text, int Image, std::unique_ptr<TFileAttri> Data) {
    auto node = std::make_unique<TFtpTreeNode>();
    node->Text = Text;
    node->ImageIndex = Image;
    node->SelectedIndex = Image;
    node->Data = std::move(Data);
    node->Parent = this;
    Children.push_back(std::move(node));
    return Children.back().get();
}

void TFtpTreeNode::DeleteChildren() {
    Children.clear();
}

TFtpTreeNode* TFtpTreeView::AddItem(const std::string& Text, int Image) {
    auto node = std::make_unique<TFtpTreeNode>();
    node->Text = Text;
    node->ImageIndex = Image;
    node->SelectedIndex = Image;
    Items.push_back(std::move(node));
    return Items.back().get();
}

void TFtpTreeView::Clear() {
    Items.clear();
}

TFtpFolderList ListSubFolders(TFtpFileOper* Oper, const std::string& Path) {
    TFtpFolderList folders;
    std::string path = TrimBlanks(RemoveAll(Path, Oper->Prefix));
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    std::shared_ptr<TFtpSession> session = Oper->Session();
    std::vector<TFtpEntry> entries;
    if (!session || session->ChangeDir(path) != ftpOk || session->List(entries, false) != ftpOk) {
        return folders;
    }
    for (const TFtpEntry& entry : entries) {
        if (!entry.IsFolder || !IsSafeEntryName(entry.Name)) {
            continue;
        }
        auto attr = std::make_unique<TFileAttri>();
        attr->Name = entry.Name;
        attr->RelPath = path + entry.Name + "/";
        folders.push_back({entry.Name, std::move(attr)});
    }
    return folders;
}

std::vector<std::string> ShowPathInTree(TFtpFileOper* Oper, const std::string& UrlOrPath) {
    const std::string p = ServerPathOf(Oper, UrlOrPath);
    std::vector<std::string> result{p};
    // The leading "/" gives the empty first segment, the server's root.
    std::vector<std::string> segments{""};
    size_t start = 1;
    while (start < p.size()) {
        size_t end = p.find('/', start);
        if (end == std::string::npos) {
            end = p.size();
        }
        if (end > start) {
            segments.push_back(p.substr(start, end - start));
        }
        start = end + 1;
    }
    if (Oper->TreeView == nullptr) {
        return result;
    }
    TFtpTreeView& view = *Oper->TreeView;
    view.Clear();
    TFtpTreeNode* current =
        view.AddItem(Oper->Prefix.size() > 6 ? Oper->Prefix.substr(6) : "", FtpServerImage);
    std::string cur;
    for (size_t i = 0; i < segments.size(); ++i) {
        cur += segments[i] + "/";
        TFtpTreeNode* parent = current;
        const std::string next = i + 1 < segments.size() ? cur + segments[i + 1] + "/" : std::string();
        for (TFtpFolder& child : ListSubFolders(Oper, cur)) {
            result.push_back(child.Name);
            const bool onTheWay = !next.empty() && child.Attr->RelPath == next;
            TFtpTreeNode* node = parent->AddChild(child.Name, FtpFolderImage, std::move(child.Attr));
            if (onTheWay) {
                node->Expanded = true;
                current = node;
            }
        }
        if (current == parent && !next.empty()) {
            // The way ends here: the folders below it do not exist.
            break;
        }
    }
    view.Items.front()->Expanded = true;
    return result;
}

void ExpandTreeNode(TFtpFileOper* Oper, const std::string& Path, TFtpTreeNode* Node) {
    Node->DeleteChildren();
    for (TFtpFolder& child : ListSubFolders(Oper, Path)) {
        Node->AddChild(child.Name, FtpFolderImage, std::move(child.Attr));
    }
}

bool ServerChanged(TFtpFileOper* Oper, const TFolderSource& Other) {
    const TFolderSource& own = *Oper->Source;
    const bool changed = own.UserName != Other.UserName || own.PWD != Other.PWD ||
                         TFtpFileOper::HostOf(TFtpFileOper::NormalizeUrl(own.FolerAllName)) !=
                             TFtpFileOper::HostOf(TFtpFileOper::NormalizeUrl(Other.FolerAllName));
    if (changed) {
        Oper->Disconnect();
    }
    return changed;
}

} // namespace tandemora
