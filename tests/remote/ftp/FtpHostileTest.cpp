// A hostile FTP server (LIST only, as vsftpd and many others are) names items
// that would lead out of the synchronised folder. Nothing outside the task's
// folders may change, and the folders that listed such names count as unread.

#include "FakeFtpServer.h"

#include "endpoints/UTFtpFileOper.h"

#include "engine/SyncTestSupport.h"

#include <filesystem>

namespace ftptest {
namespace {

using namespace tandemora;

std::string ListLine(const std::string& kind, const std::string& name, int size = 5) {
    return kind + " 1 u g " + std::to_string(size) + " Mar  4  2020 " + name + "\r\n";
}

class FtpHostileSync : public synctest::SyncFixture {};

TEST_F(FtpHostileSync, ListedNamesThatLeaveTheFolderChangeNothingOutsideIt) {
    // The target lies deep enough for "../x" and "sub/../../../x" to land on canaries.
    const std::string deep = base / "a/b";
    R = deep + "/R";
    std::filesystem::create_directories(R);
    task.RFolder.FolerAllName = R;
    for (const std::string& at : {base.path(), base / "a", deep}) {
        testsupport::PlantCanary(at);
    }
    Put(R, "bad/old.txt", "only here", synctest::kOld);

    TFakeScript script;
    script.OfferMlst = false;
    script.FileData = "data";
    script.FileSize = 4;
    script.Listings["/data"] = ListLine("-rw-r--r--", "file.bin", 4) +
                               ListLine("lrwxrwxrwx", "link -> ../../evil", 10) +
                               ListLine("drwxr-xr-x", "bad");
    script.Listings["/data/bad"] = ListLine("-rw-r--r--", "../../evil") + ListLine("-rw-r--r--", "../x") +
                                   ListLine("drwxr-xr-x", "sub/../../../x") + ListLine("-rw-r--r--", "a/b") +
                                   ListLine("-rw-r--r--", std::string("nul\0x", 5)) +
                                   ListLine("-rw-r--r--", "fine.txt");
    TFakeFtpServer server(script);
    task.LFolder.DeviceType = dtFtp;
    task.LFolder.FolerAllName = server.Url() + "/data";
    task.LFolder.UserName = "user";
    task.LFolder.PWD = "secret";
    task.SyncDirection = sdLeftToRight;
    const auto before = testsupport::TreeOutside(base.path(), {R});

    Analyze();
    // The fake server serves one connection at a time: the scan gives up its own.
    static_cast<TFtpFileOper*>(leftScan.get())->Disconnect();
    Sync();

    EXPECT_EQ(testsupport::TreeOutside(base.path(), {R}), before);
    // The damaged folder counts as unread: nothing is done in it on its account.
    EXPECT_EQ(leftScan->UnreadFolders, std::vector<std::string>{"/data/bad/"});
    EXPECT_EQ(Read(R, "bad/old.txt"), "only here");
    EXPECT_FALSE(Has(R, "bad/fine.txt"));
    EXPECT_NE(ErrorLog().find("Damaged Listing /data/bad/"), std::string::npos);
    // Links are left out without a word; the rest of the root goes on as usual.
    EXPECT_EQ(Read(R, "file.bin"), "data");
    EXPECT_FALSE(Has(R, "link"));
    EXPECT_EQ(ErrorLog().find("link"), std::string::npos);
}

} // namespace
} // namespace ftptest
