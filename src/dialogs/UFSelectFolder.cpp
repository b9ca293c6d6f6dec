#include "dialogs/UFSelectFolder.h"

#include "dialogs/UInputBox.h"
#include "model/UTPassword.h"
#include "model/UTUtils.h"
#include "platform/FileSystem.h"
#include "tasks/UTSyncTask.h"
#include "ui/UMessageBox.h"
#include "ui/UQtText.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
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

namespace tandemora {

namespace {

// What a tree node carries: the path it stands for, and (computer tree) whether
// its sub-folders have been listed.
constexpr int kPathRole = Qt::UserRole;
constexpr int kListedRole = Qt::UserRole + 1;

// Images of the tree nodes.
enum { imServer = 1, imFolder = 2 };

// Page indices; the page index + 1 is the device type.
enum { pgComputer = 0, pgNetwork = 1, pgFtp = 2, pgSftp = 3, pgWebDav = 4, pgWinMobile = 5 };

const char* const kPasswordTooLong =
    "A password can have at most 99 bytes. This one is longer and cannot be kept; please shorten it.";

// Blanks and control characters off both ends.
std::string TrimBlanks(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= ' ') {
        ++first;
    }
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') {
        --last;
    }
    return text.substr(first, last - first);
}

std::string Trimmed(const QLineEdit* edit) {
    return TrimBlanks(FromQ(edit->text()));
}

// A network address in the "\\server\share\dir" form. A Linux user writes
// "//server/share": "/" cannot be part of a server or share name, so it counts
// as "\" here.
std::string NormalizeUncPath(const std::string& path) {
    std::string text = TrimBlanks(path);
    std::replace(text.begin(), text.end(), '/', '\\');
    if (!text.empty() && text.back() == '\\') {
        text.pop_back();
    }
    if (text.compare(0, 2, "\\\\") != 0) {
        return "\\\\" + text;
    }
    return text;
}

// "\\srv" of "\\srv\share\dir"; the path itself when it holds no share.
std::string ExtractServerName(const std::string& path) {
    if (path.size() < 2) {
        return path;
    }
    const std::string rest = path.substr(2);
    const size_t p = rest.find('\\');
    return p == std::string::npos ? path : "\\\\" + rest.substr(0, p);
}

// An FTP address with "ftp://" in front and without one trailing "/".
std::string NormalizeFtpUrl(const std::string& url) {
    std::string text = TrimBlanks(url);
    if (!text.empty() && text.back() == '/') {
        text.pop_back();
    }
    if (text.compare(0, 6, "ftp://") != 0) {
        return "ftp://" + text;
    }
    return text;
}

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
}

TFSelectFolder::~TFSelectFolder() {
    ReleaseEndpoints();
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
    // Choosing a node puts its path into the page's address field.
    const std::pair<QTreeWidget*, QLineEdit*> trees[] = {
        {strv1, Edit_Address}, {tvnet, edit_networkaddr}, {tvFtp, Edit_ftpip}, {webdavtv, edit_webdavaddr}};
    for (const auto& [tree, edit] : trees) {
        connect(tree, &QTreeWidget::currentItemChanged, this, [edit](QTreeWidgetItem* node) {
            const std::string path = NodePath(node);
            if (!path.empty()) {
                edit->setText(ToQ(path));
            }
        });
    }
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
        node->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
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
    const QStringList names =
        QDir(ToQ(path)).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QString& name : names) {
        QTreeWidgetItem* child = AddFolderNode(strv1, node, name, JoinLocal(path, FromQ(name)), imFolder);
        child->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    }
    node->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
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
            next->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
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

// A connect test: a new endpoint for source from the task's endpoint factory,
// connected once. The endpoint's own answer (0 connected), or -1 when this build
// has no endpoint of that kind or the endpoint failed in an unexpected way.
int TFSelectFolder::ConnectEndpoint(TFolderSource& source, std::unique_ptr<TFileOper>& oper) {
    oper.reset();
    try {
        oper = TSyncTask::CreateOper(source, false);
        if (!oper) {
            return erFailed;
        }
        oper->Source = &source;
        return oper->Connect();
    } catch (const std::exception& e) {
        ErrorLogger.LogError("Connect", e);
        return erFailed;
    }
}

void TFSelectFolder::BitBtn_network_ConnectClick() {
    NetOper.reset();
    NetSource = TFolderSource();
    NetSource.DeviceType = dtNetShare;
    edit_networkaddr->setText(ToQ(NormalizeUncPath(FromQ(edit_networkaddr->text()))));
    const std::string address = Trimmed(edit_networkaddr);
    NetSource.FolerAllName = address;
    NetSource.UserName = Trimmed(Edit_ntUser);
    NetSource.PWD = Trimmed(Edit_NtPwd);
    const std::string serverPath = ExtractServerName(address);
    const std::string server = serverPath.size() > 2 ? serverPath.substr(2) : std::string();

    QApplication::setOverrideCursor(Qt::WaitCursor);
    BitBtn_network_Connect->setEnabled(false);
    const int r = ConnectEndpoint(NetSource, NetOper);
    QApplication::restoreOverrideCursor();
    BitBtn_network_Connect->setEnabled(true);

    if (r == 0) {
        // Every successful connect adds its server, also one that is listed already.
        EnsureNetworkRoot();
        AddFolderNode(tvnet, NetRootNode, ToQ(server), "\\\\" + server, imServer);
        tvnet->expandAll();
    } else if (r == 5) { // access denied
        ShowTip(Lang("connectfalseNeedUser"));
    } else {
        // Also for failures without a code of their own: a test that failed says so.
        ShowTip(Lang("Iperror") + ":" + ToQ(server));
    }
}

void TFSelectFolder::bt_fptconnectClick() {
    FtpOper.reset();
    const std::string url = NormalizeFtpUrl(FromQ(Edit_ftpip->text()));
    Edit_ftpip->setText(ToQ(url));
    FtpSource = TFolderSource();
    FtpSource.DeviceType = dtFtp;
    FtpSource.FolerAllName = url;
    FtpSource.UserName = Trimmed(Edit_ftpuser);
    FtpSource.PWD = Trimmed(Edit_ftppwd);

    QApplication::setOverrideCursor(Qt::WaitCursor);
    const int r = ConnectEndpoint(FtpSource, FtpOper);
    QApplication::restoreOverrideCursor();

    if (r == 0) {
        tvFtp->clear();
        AddFolderNode(tvFtp, nullptr, ToQ(url), url, imServer);
        tvFtp->expandAll();
    } else {
        ShowTip(Lang("Iperror") + " " + Edit_ftpip->text());
    }
}

void TFSelectFolder::bt_webdavconnectClick() {
    WebDavOper.reset();
    const std::string address = Trimmed(edit_webdavaddr);
    const TDavAddress dav = SplitDavAddress(address);
    WebDavSource = TFolderSource();
    WebDavSource.DeviceType = dtWebDav;
    WebDavSource.FolerAllName = dav.Root + "/" + dav.Segment;
    WebDavSource.UserName = Trimmed(Edit_webdavUser);
    WebDavSource.PWD = Trimmed(Edit_webdavPWD);
    webdavtv->clear();

    QApplication::setOverrideCursor(Qt::WaitCursor);
    const int r = ConnectEndpoint(WebDavSource, WebDavOper);
    QApplication::restoreOverrideCursor();

    if (r == 0) {
        QTreeWidgetItem* host = AddFolderNode(webdavtv, nullptr, ToQ(dav.Root), dav.Root, imServer);
        if (!dav.Segment.empty()) {
            AddFolderNode(webdavtv, host, ToQ(dav.Segment), address, imFolder);
        }
        webdavtv->expandAll();
    } else if (r == 1) {
        ShowTip(Lang("webdavnotfolder") + " " + edit_webdavaddr->text());
    } else {
        ShowTip(Lang("Iperror") + " " + edit_webdavaddr->text());
    }
}

// ---- New folder -----------------------------------------------------------------------------

bool TFSelectFolder::MakeRemoteFolder(TFolderSource source, const std::string& name) {
    try {
        std::unique_ptr<TFileOper> oper = TSyncTask::CreateOper(source, false);
        if (!oper) {
            return false;
        }
        oper->Source = &source;
        return oper->Connect() == 0 && oper->MakeFolder(name) == 0;
    } catch (const std::exception& e) {
        ErrorLogger.LogError("MakeFolder", e);
        return false;
    }
}

void TFSelectFolder::bt_NewFolderClick() {
    const int page = pc1->currentIndex();
    QTreeWidget* tree = nullptr;
    TFolderSource remote;
    remote.DeviceType = page + 1;
    switch (page) {
    case pgComputer:
        break;
    case pgNetwork:
        tree = tvnet;
        remote.UserName = Trimmed(Edit_ntUser);
        remote.PWD = Trimmed(Edit_NtPwd);
        break;
    case pgFtp:
        tree = tvFtp;
        remote.UserName = Trimmed(Edit_ftpuser);
        remote.PWD = Trimmed(Edit_ftppwd);
        break;
    case pgWebDav:
        tree = webdavtv;
        remote.UserName = Trimmed(Edit_webdavUser);
        remote.PWD = Trimmed(Edit_webdavPWD);
        break;
    default:
        return;
    }
    // On a server the new folder goes where the user is in its tree.
    if (tree != nullptr && tree->currentItem() == nullptr) {
        return;
    }
    const std::string base = Trimmed(AddressEdit(page));

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
    if (IsBlank(name) || base.empty()) {
        return;
    }

    if (page == pgComputer) {
        if (!fs::ForceDirectories(JoinLocal(base, name))) {
            return;
        }
        // The tree shows the new folder wherever the base folder is listed.
        const QString listed = QDir::cleanPath(ToQ(base));
        for (QTreeWidgetItemIterator it(strv1); *it != nullptr; ++it) {
            if (ToQ(NodePath(*it)) == listed && (*it)->data(0, kListedRole).toBool()) {
                ListLocalChildren(*it, true);
            }
        }
        return;
    }
    remote.FolerAllName = base;
    if (!MakeRemoteFolder(remote, name)) {
        return;
    }
    const std::string separator = page == pgNetwork ? "\\" : "/";
    const bool ends = !base.empty() && base.back() == separator[0];
    AddFolderNode(tree, tree->currentItem(), answer, base + (ends ? "" : separator) + name, imFolder);
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

void TFSelectFolder::ReleaseEndpoints() {
    try {
        FtpOper.reset();
        NetOper.reset();
        WebDavOper.reset();
    } catch (const std::exception& e) {
        ErrorLogger.LogError("Close", e);
    }
}

// OK, Cancel and the close box all end here: the connections of the connect
// tests are closed with the dialog.
void TFSelectFolder::done(int result) {
    ReleaseEndpoints();
    QDialog::done(result);
}

} // namespace tandemora
