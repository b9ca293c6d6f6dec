#pragma once
// The folder picker: chooses one endpoint of a task (a local folder, a folder on
// a network server, an FTP folder or a WebDAV folder), one page per endpoint kind.
// The page index + 1 is the device type. OK writes the chosen endpoint into the
// caller's TFolderSource; Cancel leaves it as it was.
//
// The Network, FTP and WebDAV pages each keep one endpoint object for the life of
// the dialog and call its operations directly, on the main thread: Connect logs
// on and lists the server's top level, clicking a folder lists the folders below
// it, and a new folder is made through the endpoint.

#include "endpoints/UFtpBrowse.h"
#include "endpoints/UTFtpFileOper.h"
#include "endpoints/UTNetFileOper.h"
#include "endpoints/UTWebDavFileOper.h"
#include "model/UTFolderSource.h"

#include <QDialog>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QFileSystemWatcher;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace tandemora {

class TFSelectFolder : public QDialog {
    Q_OBJECT
public:
    explicit TFSelectFolder(QWidget* parent = nullptr);
    ~TFSelectFolder() override;

    // The caller's endpoint: read when the dialog opens, written by OK. Not owned.
    TFolderSource* Source = nullptr;
    // 1 for the left endpoint, 0 for the right one (the window title).
    uint8_t Side = 0;

    // The endpoints of the remote pages, made with the dialog and never started
    // (their operations are called directly). They go when the dialog closes;
    // the FTP connection stays open between Connects to the same server.
    std::unique_ptr<TNetFileOper> NetOper;
    std::unique_ptr<TFtpFileOper> FtpOper;
    std::unique_ptr<TWebDavFileOper> WebDavOper;
    // The description built by the last Connect of the Network page; the network
    // endpoint works on it.
    TFolderSource NetSource;
    // The description built by the last Connect of the FTP page. The endpoint
    // takes it over only when it names another server, user or password.
    TFolderSource FtpSource;
    // The WebDAV endpoint's own description, rewritten by every request of the page.
    TFolderSource WebDavSource;

    // ---- Controls --------------------------------------------------------------
    QLabel* Label_remark = nullptr;
    QTabWidget* pc1 = nullptr;

    QWidget* TabSheet_computer = nullptr;
    QLineEdit* Edit_Address = nullptr;
    QPushButton* BitBtn_pc = nullptr;
    QTreeWidget* strv1 = nullptr; // the folders of this computer

    QWidget* TabSheet_NetWork = nullptr;
    QLineEdit* edit_networkaddr = nullptr;
    QLineEdit* Edit_ntUser = nullptr;
    QLineEdit* Edit_NtPwd = nullptr;
    QPushButton* BitBtn_network_Connect = nullptr;
    QTreeWidget* tvnet = nullptr;
    QTreeWidgetItem* NetRootNode = nullptr;

    QWidget* ts_ftp = nullptr;
    QLineEdit* Edit_ftpip = nullptr;
    QLineEdit* Edit_ftpuser = nullptr;
    QLineEdit* Edit_ftppwd = nullptr;
    QPushButton* bt_fptconnect = nullptr;
    QTreeWidget* tvFtp = nullptr;

    QWidget* ts_sftp = nullptr;
    QLineEdit* edit_sftpaddr = nullptr;
    QLabel* lb_key = nullptr;
    QLineEdit* Edit_sftpPK = nullptr;
    QLineEdit* Edit_sftpUser = nullptr;
    QLineEdit* Edit_sftpPwd = nullptr;
    QPushButton* Bt_sftpconnect = nullptr;
    QTreeWidget* TreeView3 = nullptr;

    QWidget* ts_webdav = nullptr;
    QLineEdit* edit_webdavaddr = nullptr;
    QLineEdit* Edit_webdavUser = nullptr;
    QLineEdit* Edit_webdavPWD = nullptr;
    QPushButton* bt_webdavconnect = nullptr;
    QTreeWidget* webdavtv = nullptr;

    QWidget* ts_wmmobile = nullptr;
    QLineEdit* edit_wmaddr = nullptr;
    QPushButton* bt_wnconnect = nullptr;
    QTreeWidget* TreeView5 = nullptr;

    QPushButton* bt_NewFolder = nullptr;
    QPushButton* BitBtn_ok = nullptr;
    QPushButton* BitBtn_Cancel = nullptr;

    // ---- Operations ------------------------------------------------------------
    void LoadLanguageTexts();
    void BitBtn_pcClick();
    void BitBtn_network_ConnectClick();
    void bt_fptconnectClick();
    void bt_webdavconnectClick();
    void bt_NewFolderClick();
    void BitBtn_okClick();
    // What clicking a node of a server tree does: lists its folders when it has
    // none yet and puts its path into the page's address.
    void ExpandNetworkNode(QTreeWidgetItem* node);
    void tvFtpClick();
    void ExpandWebDavNode(QTreeWidgetItem* node);
    // Opens the computer tree down to path and selects it; false when path names
    // no existing folder (nothing changes then).
    bool ShowLocalFolder(const std::string& path);
    // True when the address of a page names no endpoint at all (OK then keeps
    // the caller's folder).
    static bool NamesNothing(int page, const std::string& address);
    // The path a tree node stands for: a local path, a UNC path, an FTP server
    // path (ending in "/") or a URL; empty for the network root and a server node
    // of the FTP tree.
    static std::string NodePath(const QTreeWidgetItem* node);

protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

private:
    void BuildControls();
    void OpenSource();
    void EnsureNetworkRoot();
    void AddFolderNodes(QTreeWidgetItem* parent, const TStringList& list);
    void OpenNetworkPath(QTreeWidgetItem* node, const std::string& path);
    void OpenWebDavPath(QTreeWidgetItem* node, const std::string& path);
    void AddWebDavFolders(QTreeWidgetItem* parent, const std::string& url);
    QTreeWidgetItem* AddFtpItem(QTreeWidgetItem* parent, TFtpTreeNode* node);
    static TFtpTreeNode* FtpNode(const QTreeWidgetItem* item);
    void FillComputerRoots();
    QTreeWidgetItem* AddFolderNode(QTreeWidget* tree, QTreeWidgetItem* parent, const QString& text,
                                   const std::string& path, int image);
    void ListLocalChildren(QTreeWidgetItem* node, bool again);
    void LocalFolderChanged(const QString& path);
    void MarkOpenable(QTreeWidgetItem* node);
    bool MakeServerFolder(int page, const std::string& base, const std::string& name, QTreeWidgetItem* at);
    void AddNewFolderNode(QTreeWidget* tree, QTreeWidgetItem* at, const std::string& name,
                          const std::string& path);
    static QTreeWidgetItem* SelectedNode(const QTreeWidget* tree);
    void ReleaseEndpoints();
    QLineEdit* AddressEdit(int page) const;
    bool RefusesUserPart(int page);
    void ShowTip(const QString& text);
    QWidget* NewPage(const QString& caption, QLineEdit*& address, QLineEdit** user, QLineEdit** password,
                     QPushButton*& connectButton, QTreeWidget*& tree);

    std::vector<QLabel*> addressLabels_;
    std::vector<QLabel*> userLabels_;
    std::vector<QLabel*> passwordLabels_;
    std::vector<QPushButton*> connectButtons_;
    // The FTP endpoint's source, and the folder tree its browsing fills; every
    // item of tvFtp stands for one node of it.
    TFolderSource ftpOperSource_;
    TFtpTreeView ftpView_;
    QFileSystemWatcher* localWatch_ = nullptr; // the listed folders of strv1
};

} // namespace tandemora
