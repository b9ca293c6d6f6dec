#pragma once
// The folder picker: chooses one endpoint of a task (a local folder, a folder on
// a network server, an FTP folder or a WebDAV folder), one page per endpoint kind.
// The page index + 1 is the device type. OK writes the chosen endpoint into the
// caller's TFolderSource; Cancel leaves it as it was.
//
// The remote pages test their address, user and password with an endpoint from
// the task's endpoint factory, on the main thread, the way a scan would connect.

#include "endpoints/UTFileOper.h"
#include "model/UTFolderSource.h"

#include <QDialog>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

    // The descriptions and endpoints of the last connect test of each remote page.
    // Each endpoint lives until the next test of its page or until the dialog
    // closes, so its connection stays open meanwhile.
    TFolderSource NetSource;
    TFolderSource FtpSource;
    TFolderSource WebDavSource;
    std::unique_ptr<TFileOper> NetOper;
    std::unique_ptr<TFileOper> FtpOper;
    std::unique_ptr<TFileOper> WebDavOper;

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
    // Opens the computer tree down to path and selects it; false when path names
    // no existing folder (nothing changes then).
    bool ShowLocalFolder(const std::string& path);
    // The path a tree node stands for (empty for the network root).
    static std::string NodePath(const QTreeWidgetItem* node);

protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

private:
    void BuildControls();
    void OpenSource();
    void EnsureNetworkRoot();
    void FillComputerRoots();
    QTreeWidgetItem* AddFolderNode(QTreeWidget* tree, QTreeWidgetItem* parent, const QString& text,
                                   const std::string& path, int image);
    void ListLocalChildren(QTreeWidgetItem* node, bool again);
    int ConnectEndpoint(TFolderSource& source, std::unique_ptr<TFileOper>& oper);
    bool MakeRemoteFolder(TFolderSource source, const std::string& name);
    void ReleaseEndpoints();
    QLineEdit* AddressEdit(int page) const;
    void ShowTip(const QString& text);
    QWidget* NewPage(const QString& caption, QLineEdit*& address, QLineEdit** user, QLineEdit** password,
                     QPushButton*& connectButton, QTreeWidget*& tree);

    std::vector<QLabel*> addressLabels_;
    std::vector<QLabel*> userLabels_;
    std::vector<QLabel*> passwordLabels_;
    std::vector<QPushButton*> connectButtons_;
};

} // namespace tandemora
