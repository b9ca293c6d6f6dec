// Replies a sound server does not give, from a canned-reply server on 127.0.0.1:
// none of them may pass for success or for an empty folder, and members named
// to lead out of the synchronised folder change nothing outside it.

#include "WebDavTestSupport.h"
#include "engine/SyncTestSupport.h"

#include <limits>

using namespace webdavtest;
using endpointtest::ChildNames;
using endpointtest::FindChild;

namespace {

const std::string kMultistatus = "Content-Type: text/xml; charset=\"utf-8\"\r\n";

class WebDavFaultTest : public endpointtest::EndpointTest {
protected:
    WebDavFaultTest() {
        Source.DeviceType = dtWebDav;
        Source.FolerAllName = server.Url() + "/dav";
        Source.UserName = "user";
        Source.PWD = "secret";
        oper.Source = &Source;
    }

    TCannedServer server;
    TWebDavFileOper oper{false};
};

} // namespace

TEST_F(WebDavFaultTest, AFolderWhoseListingIsNoListingStaysUnread) {
    const std::string listing = Listing("/dav/sub", {"a.txt"});
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"html page as 207", TCannedServer::Reply(207, "<html><body>Service Unavailable</body></html>")},
        {"truncated xml", TCannedServer::Reply(207, listing.substr(0, listing.size() / 2), kMultistatus)},
        {"body cut short", "HTTP/1.1 207 Multi-Status\r\nContent-Length: " +
                               std::to_string(listing.size() + 500) + "\r\n\r\n" + listing},
        {"another namespace",
         TCannedServer::Reply(207, "<D:multistatus xmlns:D='urn:x'><D:response/></D:multistatus>")},
        {"server error", TCannedServer::Reply(500, "<html>Internal Server Error</html>")},
        {"redirect", TCannedServer::Reply(301, "", "Location: http://127.0.0.1:1/elsewhere\r\n")},
        // A reply that never ends would take all the memory there is.
        {"past the limit", TCannedServer::Reply(207, listing + std::string(5000, ' '), kMultistatus)},
    };
    server.On("PROPFIND", "/dav",
              TCannedServer::Reply(207, Listing("/dav", {"sub/", "f.txt"}), kMultistatus));
    for (const auto& [what, reply] : cases) {
        server.On("PROPFIND", "/dav/sub", reply);
        TWebDavFileOper scanner(false);
        scanner.Source = &Source;
        scanner.MaxListingBytes = 4096;
        scanner.ScanTree();
        const TFileTree* sub = FindChild(scanner.Tree, "sub");
        ASSERT_NE(sub, nullptr) << what;
        EXPECT_TRUE(sub->Children.empty()) << what;
        EXPECT_EQ(sub->ListFailed, 1) << what;
        EXPECT_EQ(scanner.UnreadFolders, (std::vector<std::string>{Source.FolerAllName + "/sub"})) << what;
        EXPECT_EQ(ChildNames(scanner.Tree), (std::vector<std::string>{"sub", "f.txt"})) << what;
        EXPECT_FALSE(scanner.ScanComplete()) << what;
    }
    EXPECT_NE(ErrorLogText().find("larger than 4096 bytes"), std::string::npos);
}

// A password typed into the address would be logged and sent in place of the
// user's fields: such an address is refused before anything is sent.
TEST_F(WebDavFaultTest, AnAddressWithAUserPartIsRefusedAndNeverLogged) {
    Source.FolerAllName = "http://me:secret@" + server.Url().substr(7) + "/dav";
    EXPECT_EQ(oper.Connect(), 2);
    EXPECT_TRUE(server.Requests().empty());
    const std::string log = ErrorLogText();
    EXPECT_EQ(log.find("secret"), std::string::npos);
    EXPECT_NE(log.find(server.Url() + "/dav: " + UserPartMessage), std::string::npos);
}

// The same reply to the root's PROPFIND when connecting and scanning, and to a
// file's when the sync thread asks for a target's size right before it writes
// or deletes: only "not found" or no server makes the root missing and the file
// absent; an answer that says nothing is never an empty folder or "no file
// there", or a copy would go over a file unseen.
TEST_F(WebDavFaultTest, PropfindResultsFollowTheStatusAndOnlyNotFoundIsAbsent) {
    const int64_t unknown = std::numeric_limits<int64_t>::max(); // no file has this size
    const std::tuple<std::string, int, int64_t> cases[] = {
        {TCannedServer::Reply(207, Listing("/dav", {})), 0, unknown}, // not the file's own listing
        {TCannedServer::Reply(207, "<html>not xml</html>"), -1, unknown},
        {TCannedServer::Reply(207, Listing("/dav", {"f.txt"}).substr(0, 200)), -1, unknown},
        {TCannedServer::Reply(401, "<html>Unauthorized</html>"), 401, unknown},
        {TCannedServer::Reply(403, ""), 403, unknown},
        {TCannedServer::Reply(404, ""), 1, -1},
        {TCannedServer::Reply(500, "<html>Internal Server Error</html>"), -1, unknown},
        {TCannedServer::Reply(200, "<html>a web page</html>"), -1, unknown},
    };
    const auto scan = [&](int connect) {
        oper.ScanTree();
        EXPECT_TRUE(oper.Tree->Children.empty());
        EXPECT_EQ(oper.Tree->ListFailed, connect == 0 ? 0 : 1);
        EXPECT_EQ(oper.RootMissing, connect == 1 || connect == 2);
        EXPECT_EQ(oper.ScanComplete(), connect == 0);
    };
    for (const auto& [reply, connect, size] : cases) {
        SCOPED_TRACE(reply);
        server.On("PROPFIND", "/dav", reply);
        server.On("PROPFIND", "/dav/f.txt", reply);
        EXPECT_EQ(oper.Connect(), connect);
        scan(connect);
        EXPECT_EQ(oper.GetFileSize(Source.FolerAllName + "/f.txt"), size);
    }
    server.On("PROPFIND", "/dav", TCannedServer::Reply(207, Listing("/dav", {}), "Server: Canned/1.0\r\n"));
    ASSERT_EQ(oper.Connect(), 0);
    EXPECT_EQ(oper.ServerInfo, "WebDAV:Canned/1.0");
    oper.Stop(); // a stopped scan is no empty tree either
    oper.ScanTree();
    EXPECT_TRUE(oper.ScanIncomplete);
    EXPECT_EQ(oper.Tree->ListFailed, 1);
    TWebDavFileOper gone(false);
    gone.Source = &Source;
    Source.FolerAllName = "http://127.0.0.1:" + std::to_string(remotetest::ClosedPort()) + "/dav";
    EXPECT_EQ(gone.Connect(), 2);
    EXPECT_EQ(gone.GetFileSize(Source.FolerAllName + "/f.txt"), unknown);
    gone.ScanTree();
    EXPECT_TRUE(gone.RootMissing && gone.Tree->Children.empty() && !gone.ScanComplete());
}

TEST_F(WebDavFaultTest, DeleteMoveAndCopyAreDoneOnlyWhenTheServerSaysSo) {
    const std::tuple<std::string, int, int> cases[] = {
        {"DELETE", 204, 0},  {"DELETE", 200, 0}, {"DELETE", 404, 1}, {"DELETE", 403, -1}, {"DELETE", 500, -1},
        {"DELETE", 207, -1}, {"MOVE", 201, 0},   {"MOVE", 204, 0},   {"MOVE", 412, -1},   {"MOVE", 404, 1},
        {"MOVE", 502, -1},   {"COPY", 201, 0},   {"COPY", 204, 0},   {"COPY", 507, -1},
    };
    TFileAttri attr = Item("/", "a b.txt");
    const std::string url = Source.FolerAllName + "/a b.txt";
    for (const auto& [method, status, expected] : cases) {
        server.On(method, "/dav/a%20b.txt", TCannedServer::Reply(status, ""));
        const int result = method == "DELETE" ? oper.DeleteFile(&Source, &attr)
                           : method == "MOVE" ? oper.RenameFile(url, Source.FolerAllName + "/b.txt")
                                              : oper.CopyResource(url, Source.FolerAllName + "/c.txt");
        EXPECT_EQ(result, expected) << method << " " << status;
    }
}

TEST_F(WebDavFaultTest, ADownloadIsTheWholeFileOrNothing) {
    struct Case {
        std::string what;
        std::string reply;
        int64_t expected; // the size the analysis saw
        bool ok;
        std::string says = ""; // in the reason the endpoint gives
    };
    const std::vector<Case> cases = {
        {"error page of known length", TCannedServer::Reply(404, "<html>Not Found</html>"), 22, false},
        {"body cut short", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789", 10, false},
        {"another size than analysed", TCannedServer::Reply(200, "12345678"), 5, false, "8 bytes, not the 5"},
        {"chunked reply",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", 11,
         true},
        {"plain reply", TCannedServer::Reply(200, "hello world"), 11, true},
    };
    for (const Case& c : cases) {
        const std::string target = Dir / "target.txt";
        testsupport::WriteFile(target, "what was here");
        server.On("GET", "/dav/sub/f%231.txt", c.reply);
        TFileAttri attr = Item("/sub", "f#1.txt", c.expected);
        oper.LastErrorText.clear();
        const int result = oper.GetFile(target, &Source, &attr, 0);
        EXPECT_EQ(result == 0, c.ok) << c.what;
        // A failure says why.
        EXPECT_EQ(oper.LastErrorText.empty(), c.ok) << c.what << ": " << oper.LastErrorText;
        EXPECT_NE(oper.LastErrorText.find(c.says), std::string::npos) << c.what << ": " << oper.LastErrorText;
        EXPECT_EQ(testsupport::ReadFile(target), c.ok ? "hello world" : "what was here") << c.what;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir.path()), {}), 1) << c.what;
    }
}

// A download asks for the stored bytes, uncompressed, on a connection kept
// open; an upload carries its credentials on the PUT itself, with no request
// before it.
TEST_F(WebDavFaultTest, TransfersSendTheirHeaderLines) {
    server.On("GET", "/dav/f.txt", TCannedServer::Reply(200, "hello"));
    server.On("PUT", "/dav/.f.txt.*", TCannedServer::Reply(201, ""));
    server.On("MOVE", "/dav/.f.txt.*", TCannedServer::Reply(201, ""));
    server.On("MKCOL", "*", TCannedServer::Reply(405, ""));
    const std::string target = Dir / "f.txt";
    TFileAttri attr = Item("/", "f.txt", 5);
    ASSERT_EQ(oper.GetFile(target, &Source, &attr, 0), 0);
    ASSERT_EQ(oper.PutFile(target, &Source, &attr, 0), 0);
    const std::vector<std::string> requests = server.Requests();
    const std::vector<std::string> heads = server.Heads();
    const auto get = std::find(requests.begin(), requests.end(), "GET /dav/f.txt");
    ASSERT_NE(get, requests.end());
    const std::string& getHead = heads[get - requests.begin()];
    const std::string credentials = "Authorization: Basic dXNlcjpzZWNyZXQ=\r\n"; // user:secret
    for (const std::string& line :
         {std::string("Content-Type: application/x-www-form-urlencoded\r\n"),
          std::string("Connection: Keep-Alive\r\n"), std::string("Translate: F\r\n"), credentials}) {
        EXPECT_NE(getHead.find(line), std::string::npos) << line << getHead;
    }
    EXPECT_EQ(getHead.find("Accept-Encoding"), std::string::npos) << getHead;
    const auto put = std::find_if(requests.begin(), requests.end(),
                                  [](const std::string& r) { return r.rfind("PUT /dav/.f.txt.", 0) == 0; });
    ASSERT_NE(put, requests.end());
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                            [](const std::string& r) { return r.rfind("GET ", 0) == 0; }),
              1); // the download's; no priming GET before the PUT
    EXPECT_NE(heads[put - requests.begin()].find(credentials), std::string::npos);
}

TEST_F(WebDavFaultTest, AnUploadTheServerDidNotTakeWholeFails) {
    const std::string file = Dir / "up.bin";
    const std::string bytes(3 * 1024 * 1024, 'x');
    testsupport::WriteFile(file, bytes);
    TFileAttri attr = Item("/", "up.bin", static_cast<int64_t>(bytes.size()));
    server.On("MKCOL", "*", TCannedServer::Reply(405, ""));

    // What, the PUT status, whether the body is read first, the MOVE status.
    const std::tuple<std::string, int, bool, int> cases[] = {
        {"put refused", 507, true, 201},
        {"answered before the body came", 201, false, 201},
        {"move refused", 201, true, 500}};
    for (const auto& [what, put, readBody, move] : cases) {
        SCOPED_TRACE(what);
        server.On("PUT", "/dav/.up.bin.*", TCannedServer::Reply(put, ""), readBody);
        server.On("MOVE", "/dav/.up.bin.*", TCannedServer::Reply(move, ""));
        const size_t before = server.Requests().size();
        EXPECT_NE(oper.PutFile(file, &Source, &attr, 0), 0);
        const std::vector<std::string> requests = server.Requests();
        // The final name is never written directly, and the temporary one is cleaned up.
        bool putFinal = false;
        bool deletedTemp = false;
        for (size_t i = before; i < requests.size(); ++i) {
            putFinal = putFinal || requests[i] == "PUT /dav/up.bin";
            deletedTemp = deletedTemp || requests[i].rfind("DELETE /dav/.up.bin.", 0) == 0;
        }
        EXPECT_FALSE(putFinal);
        EXPECT_TRUE(deletedTemp);
    }
    // A snapshot written from a stream meets the same refusal and says so.
    server.On("PUT", "/dav/.Docs1.*", TCannedServer::Reply(507, "full"));
    std::stringstream snapshot("snapshot text");
    TFileAttri snap = Item("/", "Docs1");
    EXPECT_NE(oper.WriteFromStream(snapshot, &Source, &snap, false), 0);
    // All well: PUT to the temporary name, then MOVE over the final one.
    server.On("PUT", "/dav/.up.bin.*", TCannedServer::Reply(201, ""));
    server.On("MOVE", "/dav/.up.bin.*", TCannedServer::Reply(201, ""));
    EXPECT_EQ(oper.PutFile(file, &Source, &attr, 0), 0);
}

TEST_F(WebDavFaultTest, MakeFolderFailsWhenALevelIsRefused) {
    server.On("MKCOL", "/dav/a", TCannedServer::Reply(405, ""));
    server.On("PROPFIND", "/dav/a", TCannedServer::Reply(207, Listing("/dav/a", {})));
    server.On("MKCOL", "/dav/a/b", TCannedServer::Reply(403, ""));
    server.On("MKCOL", "/dav/a/b/c", TCannedServer::Reply(201, ""));
    EXPECT_NE(oper.MakeFolder("/a/b/c"), 0);
    EXPECT_EQ(oper.MakeFolder("/a"), 0); // refused as existing, and it is a folder
}

// A hostile server names members that would lead out of the synchronised folder:
// nothing outside the task's folders changes, and the folder whose listing held
// such a name counts as unread.
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

// An upload names its file's time for the servers that take it (X-OC-Mtime,
// whole seconds since 1970); the PUT goes to the temporary name, the MOVE over
// the entry.
TEST_F(WebDavFaultTest, AnUploadCarriesItsFilesTime) {
    const std::string local = Dir / "up.txt";
    testsupport::WriteFile(local, "upload");
    pairtest::SetTime(local, 1700000000);
    server.On("PUT", "/dav/*", TCannedServer::Reply(201, ""));
    server.On("MOVE", "/dav/*", TCannedServer::Reply(201, ""));
    TFileAttri attr = Item("/", "up.txt");
    attr.Size = 6;
    ASSERT_EQ(oper.PutFile(local, &Source, &attr, 0), 0);
    int puts = 0;
    for (const std::string& head : server.Heads()) {
        if (head.rfind("PUT ", 0) == 0) {
            ++puts;
            EXPECT_NE(head.find("\r\nX-OC-Mtime: 1700000000\r\n"), std::string::npos) << head;
        }
    }
    EXPECT_EQ(puts, 1);
}
