#include "dialogs/UFSelectFolder.h"

#include "dialogs/UInputBox.h"
#include "model/UTPassword.h"
#include "model/UTUtils.h"
#include "platform/FileSystem.h"
#include "ui/UElideLabel.h"
#include "ui/UMessageBox.h"
#include "ui/UQtText.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QStorageInfo>
#include <QStyle>
#include <QTabWidget>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace tandemora {

namespace {

// What a tree node carries: the path it stands for, and (computer tree) whether
// its sub-folders have been listed.
constexpr int kPathRole = Qt::UserRole;
constexpr int kListedRole = Qt::UserRole + 1;
// The node of the FTP tree an item of tvFtp stands for.
constexpr int kFtpNodeRole = Qt::UserRole + 2;

// How the network listing reports a folder it could not open.
const char* const kUnreadFolder = "Can not open folder:";

// Images of the tree nodes.
enum { imServer = 1, imFolder = 2 };

// Page indices; the page index + 1 is the device type.
enum { pgComputer = 0, pgNetwork = 1, pgFtp = 2, pgSftp = 3, pgWebDav = 4, pgWinMobile = 5 };

const char* const kPasswordTooLong =
    "A password can have at most 99 bytes. This one is longer and cannot be kept; please shorten it.";

std::string Trimmed(const QLineEdit* edit) {
    return TrimBlanks(FromQ(edit->text()));
}

// A network address with "\" between its parts. A Linux user writes
// "//server/share": "/" cannot be part of a server or share name, so it counts
// as "\" here.
std::string BackslashPath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string RemoveAll(std::string text, const std::string& part) {
    if (part.empty()) {
        return text;
    }
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at)) {
        text.erase(at, part.size());
    }
    return text;
}

// The parts of text between separators, empty ones included.
std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// folder + separator + name, with one separator between them.
std::string Joined(const std::string& folder, char separator, const std::string& name) {
    if (!folder.empty() && folder.back() == separator) {
        return folder + name;
    }
    return folder + separator + name;
}

// The first child of node captioned exactly text, or null.
QTreeWidgetItem* ChildNamed(const QTreeWidgetItem* node, const std::string& text) {
    const QString caption = ToQ(text);
    for (int i = 0; i < node->childCount(); ++i) {
        if (node->child(i)->text(0) == caption) {
            return node->child(i);
        }
    }
    return nullptr;
}

// The hourglass while the dialog waits for a server.
class TWaitCursor {
public:
    TWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TWaitCursor() { QApplication::restoreOverrideCursor(); }
    TWaitCursor(const TWaitCursor&) = delete;
    TWaitCursor& operator=(const TWaitCursor&) = delete;
};

// A WebDAV address split into the server ("http://host") and the first folder
// below it. An address without any path is the server alone.
struct TDavAddress {
    std::string Root;
    std::string Segment;
};

TDavAddress SplitDavAddress(const std::string& address) {
    const size_t scheme = address.find("://");
    const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const std::string prefix = scheme == std::string::npos ? "http://" : address.substr(0, start);
    const std::string rest = address.substr(start);
    const size_t slash = rest.find('/');
    TDavAddress dav;
    dav.Root = prefix + rest.substr(0, slash);
    if (slash != std::string::npos) {
        const size_t next = rest.find('/', slash + 1);
        dav.Segment =
            rest.substr(slash + 1, next == std::string::npos ? std::string::npos : next - slash - 1);
    }
    return dav;
}

bool IsBlank(const std::string& text) {
    return TrimBlanks(text).empty();
}

std::string JoinLocal(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') {
        return folder + name;
    }
    return folder + "/" + name;
}

bool LiesUnder(const QString& path, const QString& root) {
    return root == "/" || path == root || path.startsWith(root + "/");
}

// Mount points that hold the system's own workings rather than anybody's files.
bool IsSystemMount(const QString& root, const QByteArray& type) {
    if (type == "squashfs") {
        return true;
    }
    for (const char* system : {"/proc", "/sys", "/dev", "/snap"}) {
        if (LiesUnder(root, system) && root != "/") {
            return true;
        }
    }
    // Removable media appear below /run/media on some systems.
    return LiesUnder(root, "/run") && !LiesUnder(root, "/run/media");
}

} // namespace

// ---- Creation --------------------------------------------------------------------------

TFSelectFolder::TFSelectFolder(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Select Folder");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    BuildControls();
    resize(638, 449);
    NetOper = std::make_unique<TNetFileOper>(false);
    NetOper->Source = &NetSource;
    FtpOper = std::make_unique<TFtpFileOper>(false);
    FtpOper->Source = &ftpOperSource_;
    FtpOper->TreeView = &ftpView_;
    WebDavOper = std::make_unique<TWebDavFileOper>(false);
    WebDavOper->Source = &WebDavSource;
}

TFSelectFolder::~TFSelectFolder() {
    // The trees go with the window, after this object's own fields: nothing
    // may act on them any more.
    for (QTreeWidget* tree : {strv1, tvnet, tvFtp, webdavtv}) {
        tree->blockSignals(true);
    }
    ReleaseEndpoints();
    NetOper.reset();
    WebDavOper.reset();
}

QWidget* TFSelectFolder::NewPage(const QString& caption, QLineEdit*& address, QLineEdit** user,
                                 QLineEdit** password, QPushButton*& connectButton, QTreeWidget*& tree) {
    auto* page = new QWidget(pc1);
    auto* grid = new QGridLayout(page);
    auto* addressLabel = new QLabel("Address:", page);
    addressLabels_.push_back(addressLabel);
    address = new QLineEdit(page);
    connectButton = new QPushButton("Connect", page);
    connectButtons_.push_back(connectButton);
    grid->addWidget(addressLabel, 0, 0);
    grid->addWidget(address, 0, 1);
    grid->addWidget(connectButton, 0, 2);
    int row = 1;
    if (user != nullptr) {
        auto* userLabel = new QLabel("User:", page);
        userLabels_.push_back(userLabel);
        *user = new QLineEdit(page);
        grid->addWidget(userLabel, row, 0);
        grid->addWidget(*user, row, 1);
        ++row;
        auto* passwordLabel = new QLabel("Password:", page);
        passwordLabels_.push_back(passwordLabel);
        *password = new QLineEdit(page);
        (*password)->setEchoMode(QLineEdit::Password);
        grid->addWidget(passwordLabel, row, 0);
        grid->addWidget(*password, row, 1);
        ++row;
    }
    tree = new QTreeWidget(page);
    tree->setHeaderHidden(true);
    tree->setColumnCount(1);
    grid->addWidget(tree, row + 1, 0, 1, 3);
    grid->setRowStretch(row + 1, 1);
    pc1->addTab(page, caption);
    return page;
}

void TFSelectFolder::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    Label_remark = new QLabel("Please select Folder", this);
    QFont bold = Label_remark->font();
    bold.setBold(true);
    Label_remark->setFont(bold);
    layout->addWidget(Label_remark);

    pc1 = new QTabWidget(this);
    layout->addWidget(pc1, 1);

    // Computer: an address, its Connect button, and the folder tree.
    TabSheet_computer = NewPage("Computer", Edit_Address, nullptr, nullptr, BitBtn_pc, strv1);
    TabSheet_NetWork =
        NewPage("Network", edit_networkaddr, &Edit_ntUser, &Edit_NtPwd, BitBtn_network_Connect, tvnet);
    edit_networkaddr->setText("\\\\");
    ts_ftp = NewPage("FTP", Edit_ftpip, &Edit_ftpuser, &Edit_ftppwd, bt_fptconnect, tvFtp);
    Edit_ftpip->setText("ftp://");
    ts_sftp = NewPage("SFTP", edit_sftpaddr, &Edit_sftpUser, &Edit_sftpPwd, Bt_sftpconnect, TreeView3);
    edit_sftpaddr->setText("sftp://");
    auto* keyRow = new QHBoxLayout();
    lb_key = new QLabel("Pravite key", ts_sftp);
    Edit_sftpPK = new QLineEdit(ts_sftp);
    keyRow->addWidget(lb_key);
    keyRow->addWidget(Edit_sftpPK, 1);
    static_cast<QGridLayout*>(ts_sftp->layout())->addLayout(keyRow, 3, 0, 1, 3);
    ts_webdav =
        NewPage("WebDAV", edit_webdavaddr, &Edit_webdavUser, &Edit_webdavPWD, bt_webdavconnect, webdavtv);
    edit_webdavaddr->setText("http://");
    ts_wmmobile = NewPage("WinMobile", edit_wmaddr, nullptr, nullptr, bt_wnconnect, TreeView5);

    auto* buttons = new QHBoxLayout();
    bt_NewFolder = new QPushButton("Make New Folder", this);
    BitBtn_ok = new QPushButton("Ok", this);
    BitBtn_Cancel = new QPushButton("Cancel", this);
    BitBtn_ok->setDefault(true);
    buttons->addWidget(bt_NewFolder);
    buttons->addStretch(1);
    buttons->addWidget(BitBtn_ok);
    buttons->addWidget(BitBtn_Cancel);
    layout->addLayout(buttons);

    FillComputerRoots();

    connect(pc1, &QTabWidget::currentChanged, this, [this](int index) {
        if (QLineEdit* edit = AddressEdit(index)) {
            edit->setFocus();
        }
    });
    connect(BitBtn_pc, &QPushButton::clicked, this, &TFSelectFolder::BitBtn_pcClick);
    connect(BitBtn_network_Connect, &QPushButton::clicked, this,
            &TFSelectFolder::BitBtn_network_ConnectClick);
    connect(bt_fptconnect, &QPushButton::clicked, this, &TFSelectFolder::bt_fptconnectClick);
    connect(bt_webdavconnect, &QPushButton::clicked, this, &TFSelectFolder::bt_webdavconnectClick);
    connect(bt_NewFolder, &QPushButton::clicked, this, &TFSelectFolder::bt_NewFolderClick);
    connect(BitBtn_ok, &QPushButton::clicked, this, &TFSelectFolder::BitBtn_okClick);
    connect(BitBtn_Cancel, &QPushButton::clicked, this, &TFSelectFolder::reject);

    connect(strv1, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* node) { ListLocalChildren(node, false); });
    localWatch_ = new QFileSystemWatcher(this);
    connect(localWatch_, &QFileSystemWatcher::directoryChanged, this, &TFSelectFolder::LocalFolderChanged);
    // Choosing a folder puts its path into the page's address field.
    connect(strv1, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* node) {
        const std::string path = NodePath(node);
        if (!path.empty()) {
            Edit_Address->setText(ToQ(path));
        }
    });
    // On a server the chosen node is the selected one: a tree that gets the
    // focus makes its first node current without choosing it.
    connect(tvnet, &QTreeWidget::itemSelectionChanged, this,
            [this] { ExpandNetworkNode(SelectedNode(tvnet)); });
    connect(tvFtp, &QTreeWidget::itemSelectionChanged, this, &TFSelectFolder::tvFtpClick);
    connect(webdavtv, &QTreeWidget::itemSelectionChanged, this,
            [this] { ExpandWebDavNode(SelectedNode(webdavtv)); });
}

QTreeWidgetItem* TFSelectFolder::AddFolderNode(QTreeWidget* tree, QTreeWidgetItem* parent,
                                               const QString& text, const std::string& path, int image) {
    auto* node = parent != nullptr ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree);
    node->setText(0, text);
    node->setData(0, kPathRole, ToQ(path));
    // 0 the whole network, 1 a server, 2 a folder.
    static const QStyle::StandardPixmap images[] = {QStyle::SP_DriveNetIcon, QStyle::SP_ComputerIcon,
                                                    QStyle::SP_DirIcon};
    node->setIcon(0, style()->standardIcon(images[image]));
    return node;
}

std::string TFSelectFolder::NodePath(const QTreeWidgetItem* node) {
    return node != nullptr ? FromQ(node->data(0, kPathRole).toString()) : std::string();
}

// ---- Opening --------------------------------------------------------------------------------

void TFSelectFolder::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // A window coming back from being minimised keeps what the user did.
    if (event->spontaneous()) {
        return;
    }
    LoadLanguageTexts();
    OpenSource();
    // What the person types goes into the address (the dialog selects it, so
    // a typed path replaces it): the tree only shows where the address is, and
    // keeps its keys for moving about once it is clicked.
    if (QLineEdit* address = AddressEdit(pc1->currentIndex())) {
        address->setFocus();
    }
    KeepOnScreen(this);
}

void TFSelectFolder::LoadLanguageTexts() {
    try {
        BitBtn_ok->setText(Lang("bt_ok"));
        BitBtn_Cancel->setText(Lang("bt_Cancel"));
        bt_NewFolder->setText(Lang("bt_NewFolder"));
        for (QLabel* label : addressLabels_) {
            label->setText(Lang("folder_Address"));
        }
        Label_remark->setText(Lang("folder_remark"));
        const char* const pages[] = {"computer", "NetWork", "ftp", "sftp", "webdav", "wmmobile"};
        for (int i = 0; i < pc1->count(); ++i) {
            pc1->setTabText(i, Lang(pages[i]));
        }
        for (QPushButton* button : connectButtons_) {
            button->setText(Lang("Connect"));
        }
        for (QLabel* label : userLabels_) {
            label->setText(Lang("user"));
        }
        for (QLabel* label : passwordLabels_) {
            label->setText(Lang("password"));
        }
        lb_key->setText(Lang("privatekey"));
        setWindowTitle(Lang(Side == 1 ? "lfolder" : "rfolder"));
    } catch (const std::exception& e) {
        ErrorLogger.LogError(FromQ(Lang("readlangerror")), e);
    }
}

void TFSelectFolder::OpenSource() {
    const TFolderSource none;
    const TFolderSource& source = Source != nullptr ? *Source : none;
    const QString path = ToQ(source.FolerAllName);
    const QString user = ToQ(source.UserName);
    const QString password = ToQ(source.PWD);
    switch (source.DeviceType) {
    case dtNone:
        pc1->setCurrentIndex(pgComputer);
        break;
    case dtLocal:
        pc1->setCurrentIndex(pgComputer);
        Edit_Address->setText(path);
        ShowLocalFolder(source.FolerAllName);
        break;
    case dtNetShare:
        pc1->setCurrentIndex(pgNetwork);
        edit_networkaddr->setText(path);
        Edit_ntUser->setText(user);
        Edit_NtPwd->setText(password);
        break;
    case dtFtp:
        pc1->setCurrentIndex(pgFtp);
        Edit_ftpip->setText(path);
        Edit_ftpuser->setText(user);
        Edit_ftppwd->setText(password);
        break;
    case dtSftp:
        pc1->setCurrentIndex(pgSftp);
        edit_sftpaddr->setText(path);
        Edit_sftpUser->setText(user);
        Edit_sftpPwd->setText(password);
        Edit_sftpPK->setText(ToQ(source.PrivateKey));
        break;
    case dtWebDav:
        pc1->setCurrentIndex(pgWebDav);
        edit_webdavaddr->setText(path.isEmpty() ? QString("http://") : path);
        Edit_webdavUser->setText(user);
        Edit_webdavPWD->setText(password);
        break;
    case dtWinMobile:
        pc1->setCurrentIndex(pgWinMobile);
        edit_wmaddr->setText(path);
        break;
    default:
        break;
    }
    EnsureNetworkRoot();
    // No endpoint serves SFTP or Windows Mobile: their pages cannot be chosen. A
    // source of either kind opens on the Computer page (its fields stay filled,
    // unseen, and are kept unless the user chooses another folder).
    pc1->setTabVisible(pgSftp, false);
    pc1->setTabVisible(pgWinMobile, false);
    if (source.DeviceType == dtSftp || source.DeviceType == dtWinMobile) {
        pc1->setCurrentIndex(pgComputer);
    }
}

void TFSelectFolder::EnsureNetworkRoot() {
    if (NetRootNode == nullptr) {
        NetRootNode = new QTreeWidgetItem();
        NetRootNode->setText(0, Lang("allnetwork"));
        NetRootNode->setIcon(0, style()->standardIcon(QStyle::SP_DriveNetIcon));
        tvnet->insertTopLevelItem(0, NetRootNode);
    }
}

QLineEdit* TFSelectFolder::AddressEdit(int page) const {
    switch (page) {
    case pgComputer:
        return Edit_Address;
    case pgNetwork:
        return edit_networkaddr;
    case pgFtp:
        return Edit_ftpip;
    case pgSftp:
        return edit_sftpaddr;
    case pgWebDav:
        return edit_webdavaddr;
    case pgWinMobile:
        return edit_wmaddr;
    default:
        return nullptr;
    }
}

// ---- Computer page --------------------------------------------------------------------------

// A folder of the computer tree shows an expand arrow only when it holds a
// folder the tree would list (not a hidden one); its folders are read only when
// it is opened.
void TFSelectFolder::MarkOpenable(QTreeWidgetItem* node) {
    QDirIterator folders(ToQ(NodePath(node)), QDir::Dirs | QDir::NoDotAndDotDot);
    node->setChildIndicatorPolicy(folders.hasNext() ? QTreeWidgetItem::ShowIndicator
                                                    : QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

// The tree starts at the file system's root, the user's home folder and every
// mounted volume that holds files, so the usual places are one click away.
void TFSelectFolder::FillComputerRoots() {
    strv1->clear();
    std::vector<QString> roots = {"/"};
    const QString home = QDir::cleanPath(QDir::homePath());
    if (home != "/" && QFileInfo(home).isDir()) {
        roots.push_back(home);
    }
    std::vector<QString> volumes;
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        const QString root = QDir::cleanPath(volume.rootPath());
        if (!volume.isValid() || !volume.isReady() || root == "/" ||
            IsSystemMount(root, volume.fileSystemType()) || !QFileInfo(root).isDir()) {
            continue;
        }
        volumes.push_back(root);
    }
    std::sort(volumes.begin(), volumes.end());
    for (const QString& root : volumes) {
        if (std::find(roots.begin(), roots.end(), root) == roots.end()) {
            roots.push_back(root);
        }
    }
    for (const QString& root : roots) {
        QTreeWidgetItem* node = AddFolderNode(strv1, nullptr, root, FromQ(root), imFolder);
        MarkOpenable(node);
    }
}

// Lists the sub-folders of a node of the computer tree the first time it opens
// (again: once more, after a folder was made in it). Hidden folders are left
// out unless one is asked for by its path.
void TFSelectFolder::ListLocalChildren(QTreeWidgetItem* node, bool again) {
    if (node->data(0, kListedRole).toBool() && !again) {
        return;
    }
    node->setData(0, kListedRole, true);
    qDeleteAll(node->takeChildren());
    const std::string path = NodePath(node);
    // A listed folder is watched, so the tree follows what changes on disk
    // while the picker is open.
    if (!localWatch_->directories().contains(ToQ(path))) {
        localWatch_->addPath(ToQ(path));
    }
    const QStringList names =
        QDir(ToQ(path)).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QString& name : names) {
        QTreeWidgetItem* child = AddFolderNode(strv1, node, name, JoinLocal(path, FromQ(name)), imFolder);
        MarkOpenable(child);
    }
    node->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

// A watched folder changed: every node listing it drops the sub-folders that
// are gone and shows the new ones in their place, keeping the opened ones (and
// a hidden folder asked for by its path) as they are.
void TFSelectFolder::LocalFolderChanged(const QString& path) {
    std::vector<QTreeWidgetItem*> nodes;
    for (QTreeWidgetItemIterator it(strv1); *it != nullptr; ++it) {
        if ((*it)->data(0, kListedRole).toBool() && ToQ(NodePath(*it)) == path) {
            nodes.push_back(*it);
        }
    }
    const QStringList names =
        QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (QTreeWidgetItem* node : nodes) {
        for (int i = node->childCount() - 1; i >= 0; --i) {
            if (!QFileInfo(ToQ(NodePath(node->child(i)))).isDir()) {
                delete node->takeChild(i);
            }
        }
        for (const QString& name : names) {
            if (ChildNamed(node, FromQ(name)) != nullptr) {
                continue;
            }
            QTreeWidgetItem* child =
                AddFolderNode(strv1, node, name, JoinLocal(FromQ(path), FromQ(name)), imFolder);
            MarkOpenable(child);
            node->removeChild(child);
            int at = 0;
            while (at < node->childCount() &&
                   node->child(at)->text(0).compare(name, Qt::CaseInsensitive) < 0) {
                ++at;
            }
            node->insertChild(at, child);
        }
    }
}

bool TFSelectFolder::ShowLocalFolder(const std::string& path) {
    const QString wanted = QDir::cleanPath(ToQ(TrimBlanks(path)));
    if (!wanted.startsWith('/') || !QFileInfo(wanted).isDir()) {
        return false;
    }
    // The deepest starting place that holds the folder.
    QTreeWidgetItem* node = nullptr;
    QString root;
    for (int i = 0; i < strv1->topLevelItemCount(); ++i) {
        const QString candidate = ToQ(NodePath(strv1->topLevelItem(i)));
        if (LiesUnder(wanted, candidate) && candidate.size() > root.size()) {
            node = strv1->topLevelItem(i);
            root = candidate;
        }
    }
    if (node == nullptr) {
        return false;
    }
    const QString rest = root == "/" ? wanted.mid(1) : wanted.mid(root.size());
    for (const QString& part : rest.split('/', Qt::SkipEmptyParts)) {
        ListLocalChildren(node, false);
        node->setExpanded(true);
        QTreeWidgetItem* next = nullptr;
        for (int i = 0; i < node->childCount() && next == nullptr; ++i) {
            if (node->child(i)->text(0) == part) {
                next = node->child(i);
            }
        }
        if (next == nullptr) {
            next = AddFolderNode(strv1, node, part, JoinLocal(NodePath(node), FromQ(part)), imFolder);
            MarkOpenable(next);
        }
        node = next;
    }
    strv1->setCurrentItem(node);
    strv1->scrollToItem(node);
    strv1->setFocus();
    return true;
}

void TFSelectFolder::BitBtn_pcClick() {
    ShowLocalFolder(Trimmed(Edit_Address));
}

// ---- Remote pages ---------------------------------------------------------------------------

void TFSelectFolder::ShowTip(const QString& text) {
    MessageBox(this, text, "Tip", MB_OK);
}

// The selected node of a server tree (the one a click or the arrow keys chose),
// or null.
QTreeWidgetItem* TFSelectFolder::SelectedNode(const QTreeWidget* tree) {
    const QList<QTreeWidgetItem*> selected = tree->selectedItems();
    return selected.isEmpty() ? nullptr : selected.first();
}

void TFSelectFolder::BitBtn_network_ConnectClick() {
    NetSource = TFolderSource();
    NetSource.DeviceType = dtNetShare;
    edit_networkaddr->setText(
        ToQ(TNetFileOper::NormalizeUncPath(BackslashPath(FromQ(edit_networkaddr->text())))));
    const std::string address = Trimmed(edit_networkaddr);
    NetSource.FolerAllName = address;
    NetSource.UserName = Trimmed(Edit_ntUser);
    NetSource.PWD = Trimmed(Edit_NtPwd);
    const std::string serverPath = TNetFileOper::ExtractServerName(address);
    const std::string server = serverPath.size() > 2 ? serverPath.substr(2) : std::string();

    int r = erFailed;
    {
        TWaitCursor wait;
        BitBtn_network_Connect->setEnabled(false);
        try {
            r = NetOper->Connect();
            if (r == 0) {
                // Every successful Connect adds its server, also one that is listed already.
                EnsureNetworkRoot();
                QTreeWidgetItem* serverNode =
                    AddFolderNode(tvnet, NetRootNode, ToQ(server), "\\\\" + server, imServer);
                tvnet->expandAll();
                AddFolderNodes(serverNode, NetOper->GetShareList());
                const std::string rest = address.substr(std::min<size_t>(2, address.size()));
                if (CountDelimitedParts("\\", rest) >= 2) {
                    OpenNetworkPath(serverNode, RemoveAll(rest, server + "\\"));
                }
            }
        } catch (const std::exception& e) {
            ErrorLogger.LogError("Connect", e);
        }
        BitBtn_network_Connect->setEnabled(true);
    }
    if (r == ERROR_ACCESS_DENIED) {
        ShowTip(Lang("connectfalseNeedUser"));
    } else if (r != 0) {
        // Also for failures without a code of their own: a Connect that failed says so.
        ShowTip(Lang("Iperror") + ":" + ToQ(server));
    }
}

// One node per line of a listing: shares ("\\srv\share") or folders
// ("\\srv\share\dir"), captioned with their last part.
void TFSelectFolder::AddFolderNodes(QTreeWidgetItem* parent, const TStringList& list) {
    try {
        for (const std::string& line : list) {
            if (line.compare(0, std::strlen(kUnreadFolder), kUnreadFolder) == 0) {
                // A folder that could not be listed shows why. The message is no
                // folder: it gets no path, so choosing it changes no address.
                AddFolderNode(tvnet, parent, ToQ(line), std::string(), imFolder);
                continue;
            }
            const size_t cut = line.find_last_of("\\:");
            const std::string text = cut == std::string::npos ? line : line.substr(cut + 1);
            AddFolderNode(tvnet, parent, ToQ(text), line, imFolder);
        }
    } catch (const std::exception& e) {
        ErrorLogger.LogError("List Folder", e);
    }
    tvnet->expandAll();
}

void TFSelectFolder::ExpandNetworkNode(QTreeWidgetItem* node) {
    if (node == nullptr) {
        return;
    }
    const std::string path = NodePath(node);
    if (node->childCount() == 0 && path.find('\\') != std::string::npos) {
        TWaitCursor wait;
        try {
            const std::unique_ptr<TStringList> folders = TNetFileOper::ListSubFolders(path);
            AddFolderNodes(node, *folders);
        } catch (const std::exception& e) {
            ErrorLogger.LogError("List Folder", e);
        }
    }
    if (!path.empty()) {
        edit_networkaddr->setText(ToQ(path));
    }
}

// Opens the way down a typed path: each part names a child of the node reached
// so far; a part that names none is passed over.
void TFSelectFolder::OpenNetworkPath(QTreeWidgetItem* node, const std::string& path) {
    QTreeWidgetItem* current = node;
    for (const std::string& part : Split(path, '\\')) {
        QTreeWidgetItem* child = ChildNamed(current, part);
        if (child != nullptr) {
            current = child;
            ExpandNetworkNode(current);
        }
    }
}

// An FTP or WebDAV address with a user part is refused where it is typed.
bool TFSelectFolder::RefusesUserPart(int page) {
    QLineEdit* address = page == pgFtp || page == pgWebDav ? AddressEdit(page) : nullptr;
    if (address == nullptr || !UrlHasUserPart(Trimmed(address))) {
        return false;
    }
    MessageBox(this, UserPartMessage, "Tandemora", MB_ICONWARNING);
    address->setFocus();
    return true;
}

void TFSelectFolder::bt_fptconnectClick() {
    if (!FtpOper || RefusesUserPart(pgFtp)) {
        return;
    }
    FtpSource = TFolderSource();
    FtpSource.DeviceType = dtFtp;
    FtpSource.FolerAllName = Trimmed(Edit_ftpip);
    FtpSource.UserName = Trimmed(Edit_ftpuser);
    FtpSource.PWD = Trimmed(Edit_ftppwd);
    Edit_ftpip->setText(ToQ(TFtpFileOper::NormalizeUrl(FromQ(Edit_ftpip->text()))));

    int r = erFailed;
    {
        TWaitCursor wait;
        try {
            // The connection stays open while server, user and password stay the same.
            if (ServerChanged(FtpOper.get(), FtpSource)) {
                ftpOperSource_ = FtpSource;
            }
            r = FtpOper->Connect();
            if (r == 0) {
                // The items go before the nodes they stand for.
                tvFtp->clear();
                ShowPathInTree(FtpOper.get(), Trimmed(Edit_ftpip));
                for (const std::unique_ptr<TFtpTreeNode>& top : ftpView_.Items) {
                    AddFtpItem(nullptr, top.get());
                }
                tvFtp->expandAll();
            }
        } catch (const std::exception& e) {
            ErrorLogger.LogError("FTP Connect Error", e);
            return;
        }
    }
    if (r != 0) {
        ShowTip(Lang("Iperror") + " " + Edit_ftpip->text());
    }
}

// One item of tvFtp for a node of the FTP tree and, below it, for all of its children.
QTreeWidgetItem* TFSelectFolder::AddFtpItem(QTreeWidgetItem* parent, TFtpTreeNode* node) {
    const std::string path = node->Data ? node->Data->RelPath.str() : std::string();
    QTreeWidgetItem* item = AddFolderNode(tvFtp, parent, ToQ(node->Text), path, node->ImageIndex);
    item->setData(0, kFtpNodeRole, QVariant::fromValue(static_cast<void*>(node)));
    for (const std::unique_ptr<TFtpTreeNode>& child : node->Children) {
        AddFtpItem(item, child.get());
    }
    return item;
}

TFtpTreeNode* TFSelectFolder::FtpNode(const QTreeWidgetItem* item) {
    return item != nullptr ? static_cast<TFtpTreeNode*>(item->data(0, kFtpNodeRole).value<void*>()) : nullptr;
}

void TFSelectFolder::tvFtpClick() {
    QTreeWidgetItem* item = SelectedNode(tvFtp);
    TFtpTreeNode* node = FtpNode(item);
    if (node == nullptr || !node->Data || !FtpOper) {
        return;
    }
    const std::string path = node->Data->RelPath.str();
    try {
        if (node->Children.empty()) {
            TWaitCursor wait;
            qDeleteAll(item->takeChildren());
            ExpandTreeNode(FtpOper.get(), path, node);
            for (const std::unique_ptr<TFtpTreeNode>& child : node->Children) {
                AddFtpItem(item, child.get());
            }
            item->setExpanded(true);
        }
        Edit_ftpip->setText(ToQ(FtpOper->Prefix + path));
    } catch (const std::exception& e) {
        ErrorLogger.LogError("List Folder", e);
    }
}

void TFSelectFolder::bt_webdavconnectClick() {
    if (RefusesUserPart(pgWebDav)) {
        return;
    }
    const std::string address = Trimmed(edit_webdavaddr);
    WebDavOper->CertificateError.clear();
    WebDavSource.DeviceType = dtWebDav;
    WebDavSource.UserName = Trimmed(Edit_webdavUser);
    WebDavSource.PWD = Trimmed(Edit_webdavPWD);
    // The server is asked for the first folder below it; the deeper levels of
    // the address are opened one by one from there.
    const TDavAddress dav = SplitDavAddress(address);
    const std::string top = dav.Root + "/" + dav.Segment;
    WebDavSource.FolerAllName = top;
    webdavtv->clear();

    int r = erFailed;
    {
        TWaitCursor wait;
        try {
            r = WebDavOper->Connect();
            if (r == 0) {
                QTreeWidgetItem* parent = AddFolderNode(webdavtv, nullptr, ToQ(dav.Root), dav.Root, imServer);
                if (!dav.Segment.empty()) {
                    parent = AddFolderNode(webdavtv, parent, ToQ(dav.Segment), top, imFolder);
                }
                AddWebDavFolders(parent, top);
                webdavtv->expandAll();
                std::string rest = dav.Segment.empty() ? std::string() : RemoveAll(address, top);
                if (rest.size() > 1) {
                    if (rest[0] == '/') {
                        rest.erase(0, 1);
                    }
                    OpenWebDavPath(parent, rest);
                }
            }
        } catch (const std::exception& e) {
            ErrorLogger.LogError("Connect", e);
            return;
        }
    }
    if (r == erMissing) {
        ShowTip(Lang("webdavnotfolder") + " " + edit_webdavaddr->text());
    } else if (r == 2 && !WebDavOper->CertificateError.empty()) {
        ShowTip(ToQ(WebDavOper->CertificateError));
    } else if (r != 0) {
        // No answer (2), and also a refused log-on or a reply that is no listing.
        ShowTip(Lang("Iperror") + " " + edit_webdavaddr->text());
    }
}

// The folders of the endpoint's last listing of the folder at url, under parent.
// The listing's first entry is that folder itself.
void TFSelectFolder::AddWebDavFolders(QTreeWidgetItem* parent, const std::string& url) {
    const FileList& entries = WebDavOper->FileList;
    for (size_t i = 1; i < entries.size(); ++i) {
        const TFileAttri* entry = entries[i];
        if (entry->IsFolder == 1 && entry->RelPath.str() != url && IsSafeEntryName(entry->Name)) {
            AddFolderNode(webdavtv, parent, ToQ(entry->Name), entry->RelPath.str(), imFolder);
        }
    }
}

void TFSelectFolder::ExpandWebDavNode(QTreeWidgetItem* node) {
    if (node == nullptr) {
        return;
    }
    const std::string path = NodePath(node);
    const std::string url = TrimBlanks(path);
    if (node->childCount() == 0 && CountDelimitedParts("/", path) >= 3) {
        WebDavSource.FolerAllName = url;
        WebDavSource.UserName = Trimmed(Edit_webdavUser);
        WebDavSource.PWD = Trimmed(Edit_webdavPWD);
        WebDavSource.DeviceType = dtWebDav;
        TWaitCursor wait;
        try {
            if (WebDavOper->Connect() == 0) {
                AddWebDavFolders(node, url);
                webdavtv->expandAll();
            }
        } catch (const std::exception& e) {
            ErrorLogger.LogError("List Folder", e);
        }
    }
    if (!path.empty()) {
        edit_webdavaddr->setText(ToQ(url));
    }
}

void TFSelectFolder::OpenWebDavPath(QTreeWidgetItem* node, const std::string& path) {
    QTreeWidgetItem* current = node;
    for (const std::string& part : Split(path, '/')) {
        QTreeWidgetItem* child = ChildNamed(current, part);
        if (child != nullptr) {
            current = child;
            ExpandWebDavNode(current);
        }
    }
}

// ---- New folder -----------------------------------------------------------------------------

void TFSelectFolder::bt_NewFolderClick() {
    const int page = pc1->currentIndex();
    QTreeWidget* tree = nullptr;
    switch (page) {
    case pgComputer:
        break;
    case pgNetwork:
        tree = tvnet;
        break;
    case pgFtp:
        tree = tvFtp;
        break;
    case pgWebDav:
        tree = webdavtv;
        break;
    default:
        return;
    }
    // On a server the new folder goes where the user is in its tree.
    QTreeWidgetItem* at = tree != nullptr ? SelectedNode(tree) : nullptr;
    if (tree != nullptr && at == nullptr) {
        return;
    }
    std::string base;
    if (page == pgFtp) {
        if (!FtpOper) {
            return;
        }
        // The folder shown in the address, as a path on the server ("" for its root).
        ftpOperSource_.FolerAllName = Trimmed(Edit_ftpip);
        base = FtpOper->GetRootPath();
    } else {
        base = Trimmed(AddressEdit(page));
    }

    QString answer;
    if (!InputQuery(this, "Enter New Folder Name", "Enter a name for new folder to create in \n" + ToQ(base),
                    answer)) {
        return;
    }
    const std::string name = FromQ(answer);
    if (!IsValidFileName(name)) {
        MessageBox(this, Lang("filenameerror"), "Tandemora", MB_ICONINFORMATION);
        return;
    }
    if (IsBlank(name)) {
        return;
    }

    if (page != pgComputer) {
        MakeServerFolder(page, base, name, at);
        return;
    }
    if (base.empty() || !fs::ForceDirectories(JoinLocal(base, name))) {
        return;
    }
    // The tree shows the new folder wherever the base folder is listed.
    const QString listed = QDir::cleanPath(ToQ(base));
    for (QTreeWidgetItemIterator it(strv1); *it != nullptr; ++it) {
        if (ToQ(NodePath(*it)) == listed && (*it)->data(0, kListedRole).toBool()) {
            ListLocalChildren(*it, true);
        }
    }
}

// Makes the folder name in base through the page's endpoint and, when the
// server made it, shows it under the node at. False when it was not made.
bool TFSelectFolder::MakeServerFolder(int page, const std::string& base, const std::string& name,
                                      QTreeWidgetItem* at) {
    TWaitCursor wait;
    try {
        if (page == pgNetwork) {
            NetSource.FolerAllName = base;
            if (NetOper->MakeFolder("/" + name) != 0) {
                return false;
            }
            AddNewFolderNode(tvnet, at, name, Joined(base, '\\', name));
        } else if (page == pgFtp) {
            FtpOper->ChangeDir(base.empty() ? "/" : base);
            FtpOper->ParseSourceUrl();
            if (FtpOper->MakeFolder(name) != 0) {
                return false;
            }
            TFtpTreeNode* node = FtpNode(at);
            if (node != nullptr && ChildNamed(at, name) == nullptr) {
                auto entry = std::make_unique<TFileAttri>();
                entry->Name = name;
                entry->RelPath = Joined(base, '/', name) + "/";
                AddFtpItem(at, node->AddChild(name, FtpFolderImage, std::move(entry)));
                at->setExpanded(true);
            }
        } else if (page == pgWebDav) {
            WebDavSource.FolerAllName = base;
            if (WebDavOper->MakeFolder(name) != 0) {
                return false;
            }
            AddNewFolderNode(webdavtv, at, name, Joined(base, '/', name));
        }
        return true;
    } catch (const std::exception& e) {
        ErrorLogger.LogError("Make Folder", e);
        return false;
    }
}

// A folder the user made shows under the node it was made in, once.
void TFSelectFolder::AddNewFolderNode(QTreeWidget* tree, QTreeWidgetItem* at, const std::string& name,
                                      const std::string& path) {
    if (ChildNamed(at, name) == nullptr) {
        AddFolderNode(tree, at, ToQ(name), path, imFolder);
    }
    at->setExpanded(true);
}

// ---- OK and closing -------------------------------------------------------------------------

void TFSelectFolder::BitBtn_okClick() {
    const int page = pc1->currentIndex();
    QLineEdit* user = nullptr;
    QLineEdit* password = nullptr;
    switch (page) {
    case pgNetwork:
        user = Edit_ntUser;
        password = Edit_NtPwd;
        break;
    case pgFtp:
        user = Edit_ftpuser;
        password = Edit_ftppwd;
        break;
    case pgSftp:
        user = Edit_sftpUser;
        password = Edit_sftpPwd;
        break;
    case pgWebDav:
        user = Edit_webdavUser;
        password = Edit_webdavPWD;
        break;
    default:
        break;
    }
    // The task list keeps at most 99 bytes of a password; a longer one would be
    // cut or lost when the task is saved, so it is refused here, where it is typed.
    if (password != nullptr && !IsStorablePassword(Trimmed(password))) {
        MessageBox(this, kPasswordTooLong, "Tandemora", MB_ICONWARNING);
        password->setFocus();
        return;
    }
    if (RefusesUserPart(page)) {
        return;
    }
    // An address that names nothing (an empty field, a bare "ftp://") would
    // blank the caller's folder: the picker then ends as if cancelled, and the
    // folder chosen before stays.
    if (NamesNothing(page, Trimmed(AddressEdit(page)))) {
        reject();
        return;
    }
    if (Source != nullptr) {
        Source->DeviceType = page + 1;
        const std::string address = Trimmed(AddressEdit(page));
        const std::string folder = ExcludeTrailingSlash(address);
        // The root folder "/" is a folder of its own, not an empty address.
        Source->FolerAllName = folder.empty() ? address : folder;
        if (user != nullptr) {
            Source->UserName = Trimmed(user);
            Source->PWD = Trimmed(password);
        }
        if (page == pgSftp) {
            Source->PrivateKey = Trimmed(Edit_sftpPK);
        }
    }
    accept();
}

bool TFSelectFolder::NamesNothing(int page, const std::string& address) {
    switch (page) {
    case pgNetwork:
        // Only the separators that start a network path.
        return address.find_first_not_of("\\/") == std::string::npos;
    case pgFtp:
    case pgSftp:
    case pgWebDav: {
        // Only the scheme the field starts with.
        const size_t scheme = address.find("://");
        return address.empty() || (scheme != std::string::npos && scheme + 3 == address.size());
    }
    default:
        return address.empty();
    }
}

void TFSelectFolder::ReleaseEndpoints() {
    try {
        // Closes the FTP connection.
        FtpOper.reset();
    } catch (const std::exception& e) {
        ErrorLogger.LogError("Close", e);
    }
}

// OK, Cancel and the close box all end here: the FTP connection is closed with
// the dialog.
void TFSelectFolder::done(int result) {
    ReleaseEndpoints();
    QDialog::done(result);
}

} // namespace tandemora
