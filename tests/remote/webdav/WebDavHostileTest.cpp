// A hostile WebDAV server names members that would lead out of the synchronised
// folder. Nothing outside the task's folders may change, and the folder whose
// listing held such a name counts as unread.

#include "WebDavTestSupport.h"
#include "engine/SyncTestSupport.h"

#include <filesystem>

namespace {

using namespace tandemora;
using webdavtest::Listing;
using webdavtest::TCannedServer;

class WebDavHostileSync : public synctest::SyncFixture {};

TEST_F(WebDavHostileSync, ListedNamesThatLeaveTheFolderChangeNothingOutsideIt) {
    const std::string deep = base / "a/b";
    R = deep + "/R";
    std::filesystem::create_directories(R);
    task.RFolder.FolerAllName = R;
    for (const std::string& at : {base.path(), base / "a", deep}) {
        testsupport::PlantCanary(at);
    }
    Put(R, "bad/old.txt", "only here", synctest::kOld);

    TCannedServer server;
    server.On("PROPFIND", "/dav", TCannedServer::Reply(207, Listing("/dav", {"f.txt", "bad/"})));
    server.On("GET", "/dav/f.txt", TCannedServer::Reply(200, "hello!"));
    task.LFolder.DeviceType = dtWebDav;
    task.LFolder.FolerAllName = server.Url() + "/dav";
    task.SyncDirection = sdLeftToRight;
    const auto before = testsupport::TreeOutside(base.path(), {R});

    // Members as the server writes them in its hrefs (percent-encoded).
    for (const char* member :
         {"..%2F..%2Fevil", "%2E%2E", "..%2Fx", "a%2Fb", "nul%00x", "sub/..%2F..%2Fx/"}) {
        SCOPED_TRACE(member);
        server.On("PROPFIND", "/dav/bad",
                  TCannedServer::Reply(207, Listing("/dav/bad", {"fine.txt", member})));
        const size_t logged = ErrorLog().size();
        AnalyzeAndSync();
        EXPECT_EQ(testsupport::TreeOutside(base.path(), {R}), before);
        // The folder left alone is named in the error log, whichever way the reply was wrong.
        EXPECT_NE(ErrorLog().find(task.LFolder.FolerAllName + "/bad", logged), std::string::npos);
        EXPECT_EQ(leftScan->UnreadFolders, std::vector<std::string>{task.LFolder.FolerAllName + "/bad"});
        EXPECT_EQ(Read(R, "bad/old.txt"), "only here");
        EXPECT_FALSE(Has(R, "bad/fine.txt"));
        EXPECT_EQ(Read(R, "f.txt"), "hello!");
    }
}

} // namespace
