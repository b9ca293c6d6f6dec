// WebDAV replies read without a server: the element binding, the multistatus
// parse (what a listing becomes, and which replies are no listing at all), the
// HTTP date, and the URL forms the requests put on the wire.

#include "endpoints/webdavxml.h"
#include "EndpointTestSupport.h"
#include "endpoints/UTWebDavFileOper.h"
#include "platform/Exceptions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

using namespace tandemora;
using endpointtest::Dos;

namespace {

const std::string kUrl = "http://127.0.0.1:8080/dav/sub dir";

// One response of a reply, as Apache's mod_dav writes it (a folder carries no
// length, and no server property "displayname").
std::string Response(const std::string& href, bool folder, const std::string& length = "6",
                     const std::string& modified = "Sun, 06 Nov 1994 08:49:37 GMT") {
    std::string prop =
        folder ? "<lp1:resourcetype><D:collection/></lp1:resourcetype>" : "<lp1:resourcetype/>";
    if (!length.empty()) {
        prop += "<lp1:getcontentlength>" + length + "</lp1:getcontentlength>";
    }
    if (!modified.empty()) {
        prop += "<lp1:getlastmodified>" + modified + "</lp1:getlastmodified>";
    }
    return "<D:response xmlns:lp1=\"DAV:\"><D:href>" + href + "</D:href><D:propstat><D:prop>" + prop +
           "</D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>";
}

std::string Reply(const std::string& responses) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:multistatus xmlns:D=\"DAV:\">" + responses +
           "</D:multistatus>";
}

const std::string kSelf = Response("/dav/sub%20dir/", true, "");

class WebDavXmlTest : public ::testing::Test {
protected:
    testsupport::ScopedEnv tz{"TZ", std::string("UTC")};
    TWebDavFileOper oper{false};

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const TFileAttri* a : oper.FileList) {
            names.push_back(a->Name);
        }
        return names;
    }
};

} // namespace

// ---- Binding ------------------------------------------------------------------------------

TEST_F(WebDavXmlTest, ElementsAreFoundByNamespaceWhateverTheirPrefix) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<m:multistatus xmlns:m='DAV:' xmlns:x='urn:other'>"
                                "<x:response><m:href>/wrong</m:href></x:response>"
                                "<response xmlns='DAV:'><href>/first</href><m:href>/second</m:href>"
                                "<m:propstat><m:prop><a:displayname xmlns:a='DAV:'>Shown</a:displayname>"
                                "<x:getcontentlength>9</x:getcontentlength></m:prop></m:propstat></response>"
                                "</m:multistatus>"));
    const IXMLMultistatusType ms = Getmultistatus(doc);
    ASSERT_TRUE(ms.Exists());
    ASSERT_EQ(ms.Count(), 1); // the response in another namespace does not count
    const IXMLResponseType r = ms.Response(0);
    EXPECT_EQ(r.Href(), "/first"); // the first of two matching children
    const IXMLPropType prop = r.Propstat().Prop();
    EXPECT_EQ(prop.Displayname(), "Shown");
    EXPECT_FALSE(prop.Getcontentlength().Exists()); // "urn:other" is not "DAV:"
    EXPECT_EQ(prop.Getcontentlength().Text(), "");
    EXPECT_EQ(prop.Getetag(), "");
    // Reading what is missing adds nothing to the document.
    std::ostringstream before;
    doc.save(before);
    (void)prop.Getlastmodified().Dt();
    (void)prop.Resourcetype().Collection();
    std::ostringstream after;
    doc.save(after);
    EXPECT_EQ(before.str(), after.str());
}

// ---- What a listing becomes ------------------------------------------------------------------

TEST_F(WebDavXmlTest, AnApacheListingGivesTheFolderFirstThenItsMembers) {
    const std::string text =
        Reply(Response("/dav/sub%20dir/a%23b%3fc%25d%20%c3%bc.txt", false, "6") + kSelf +
              Response("http://127.0.0.1:8080/dav/sub%20dir/Inner/", true, "") +
              Response("/dav/sub%20dir/big.iso", false, "4294967295", "Sat, 01 Jul 2023 12:00:00 GMT"));
    ASSERT_TRUE(oper.ParseMultistatus(text, kUrl));
    ASSERT_EQ(Names(), (std::vector<std::string>{"sub dir", "a#b?c%d \xC3\xBC.txt", "Inner", "big.iso"}));
    const TFileAttri* self = oper.FileList[0];
    EXPECT_EQ(self->RelPath, kUrl); // the requested folder, moved to the front
    EXPECT_EQ(self->IsFolder, 1);
    const TFileAttri* file = oper.FileList[1];
    EXPECT_EQ(file->IsFolder, 0);
    EXPECT_EQ(file->Size, 6);
    EXPECT_EQ(file->Time, Dos(1994, 11, 6, 8, 49, 36)); // DOS times keep even seconds
    EXPECT_EQ(file->RelPath, kUrl + "/a#b?c%d \xC3\xBC.txt");
    EXPECT_EQ(file->Attr, 0);
    EXPECT_EQ(oper.FileList[2]->IsFolder, 1);
    EXPECT_EQ(oper.FileList[2]->Size, 0);
    EXPECT_EQ(oper.FileList[3]->Size, 4294967295LL); // lengths beyond 32 bits stay whole
    EXPECT_EQ(oper.FileList[3]->Time, Dos(2023, 7, 1, 12, 0, 0));

    // A second reply is appended to the first.
    ASSERT_TRUE(oper.ParseMultistatus(Reply(kSelf), kUrl));
    EXPECT_EQ(oper.FileList.size(), 5u);
}

TEST_F(WebDavXmlTest, PropertiesComeFromTheGoodPropstatWhateverItsPlace) {
    const std::string member =
        "<D:response><D:href>/dav/sub%20dir/late.txt</D:href>"
        "<D:propstat><D:prop><D:getcontentlength/><D:getlastmodified/></D:prop>"
        "<D:status>HTTP/1.1 404 Not Found</D:status></D:propstat>"
        "<D:propstat><D:prop><D:resourcetype/><D:getcontentlength>42</D:getcontentlength>"
        "<D:getlastmodified>Sun, 06 Nov 1994 08:49:38 GMT</D:getlastmodified></D:prop>"
        "<D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>";
    ASSERT_TRUE(oper.ParseMultistatus(Reply(kSelf + member), kUrl));
    ASSERT_EQ(oper.FileList.size(), 2u);
    EXPECT_EQ(oper.FileList[1]->Size, 42);
    EXPECT_EQ(oper.FileList[1]->Time, Dos(1994, 11, 6, 8, 49, 38));
}

TEST_F(WebDavXmlTest, HrefsInAnotherLetterCaseStillNameTheFolderAndItsMembers) {
    const std::string text =
        Reply(Response("/DAV/Sub%20Dir/", true, "") + Response("/DAV/Sub%20Dir/Readme.TXT", false, "3"));
    ASSERT_TRUE(oper.ParseMultistatus(text, kUrl));
    ASSERT_EQ(Names(), (std::vector<std::string>{"sub dir", "Readme.TXT"}));
    EXPECT_EQ(oper.FileList[0]->RelPath, kUrl);
    EXPECT_EQ(oper.FileList[1]->RelPath, kUrl + "/Readme.TXT");
}

// Anything that is not a whole, readable listing fails and adds nothing: the scan
// must not take an unreadable folder for an empty (or partly empty) one.
TEST_F(WebDavXmlTest, RepliesThatAreNoWholeListingFailAndAddNothing) {
    const std::string good = Response("/dav/sub%20dir/a.txt", false);
    const std::string full = Reply(kSelf + good);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"html error page", "<html><head><title>500</title></head><body>Internal Error</body></html>"},
        {"truncated xml", full.substr(0, full.size() - 40)},
        {"no entry for the folder itself", Reply(good)},
        {"file without length", Reply(kSelf + Response("/dav/sub%20dir/b", false, ""))},
        {"length not a number", Reply(kSelf + Response("/dav/sub%20dir/b", false, "12k"))},
        {"one-digit day",
         Reply(kSelf + Response("/dav/sub%20dir/b", false, "1", "Sun, 6 Nov 1994 08:49:37 GMT"))},
        {"member not below the folder", Reply(kSelf + Response("/dav/elsewhere/b", false))},
        {"member the server could not read",
         Reply(kSelf + "<D:response><D:href>/dav/sub%20dir/locked</D:href>"
                       "<D:status>HTTP/1.1 403 Forbidden</D:status></D:response>")},
        {"only failed properties",
         Reply(kSelf + "<D:response><D:href>/dav/sub%20dir/c</D:href><D:propstat><D:prop><D:getetag/>"
                       "</D:prop><D:status>HTTP/1.1 404 Not Found</D:status></D:propstat></D:response>")},
    };
    ASSERT_TRUE(oper.ParseMultistatus(full, kUrl));
    for (const auto& [what, text] : cases) {
        EXPECT_FALSE(oper.ParseMultistatus(text, kUrl)) << what;
        EXPECT_EQ(oper.FileList.size(), 2u) << what; // the earlier listing stays as it was
    }
}

// ---- Dates ----------------------------------------------------------------------------------

// Dates outside the fixed form fail to convert.
TEST_F(WebDavXmlTest, HttpDatesBecomeLocalTimeWithTheOffsetOfTheirInstant) {
    struct Case {
        const char* zone;
        const char* text;
        TSystemTime local; // year, month, day of week (unused), day, hour, minute, second
    };
    const char* const cet = "CET-1CEST,M3.5.0,M10.5.0/3";
    const Case cases[] = {
        {"UTC-1", "Sun, 06 Nov 1994 08:49:37 GMT", {1994, 11, 0, 6, 9, 49, 37, 0}},
        {"UTC", "Sun, 06 Nov 1994 08:49:37 UTC", {1994, 11, 0, 6, 8, 49, 37, 0}},
        {"UTC+10", "Sun, 06 Nov 1994 08:49:37 GMT", {1994, 11, 0, 5, 22, 49, 37, 0}},
        // Summer time counts where it is in force: +2 in July, +1 in November.
        {cet, "Sat, 01 Jul 2023 10:00:00 GMT", {2023, 7, 0, 1, 12, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        testsupport::ScopedEnv zone("TZ", std::string(c.zone));
        EXPECT_NEAR(TWebDavFileOper::ParseHttpDate(c.text), SystemTimeToDateTimeEx(c.local), 1e-7)
            << c.zone << " " << c.text;
    }
    for (const char* text : {"sun, 06 nov 1994 08:49:37 GMT", "Sun, 31 Apr 1994 08:49:37 GMT",
                             "Sun, 06 Nov 1994 24:00:00 GMT", "Sun, 06 Nov 94 08:49:37 GMT", "GMT"}) {
        EXPECT_THROW(TWebDavFileOper::ParseHttpDate(text), EConvertError) << text;
    }
}

// ---- URLs -----------------------------------------------------------------------------------------

TEST_F(WebDavXmlTest, PathsAreEncodedForTheWireAndDecodedBack) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/dav/My File (1).txt", "/dav/My%20File%20(1).txt"},
        {"/dav/a+b.txt", "/dav/a%2Bb.txt"},
        {"/dav/\xC3\xBC.txt", "/dav/%C3%BC.txt"},
        {"/dav/50%#1?.txt", "/dav/50%25%231%3F.txt"},
        {"/dav/a\\b&c=d;e,f~g", "/dav/a%5Cb%26c%3Dd%3Be%2Cf%7Eg"},
    };
    for (const auto& [plain, wire] : cases) {
        EXPECT_EQ(TWebDavFileOper::EncodePath(plain), wire);
        EXPECT_EQ(TWebDavFileOper::DecodePath(wire), plain);
    }
    EXPECT_EQ(TWebDavFileOper::DecodePath("/a%2fb%c3%bc%zz%4"), "/a/b\xC3\xBC%zz%4");
    EXPECT_EQ(TWebDavFileOper::EncodeUrl("http://127.0.0.1:8080/dav/a b#c"),
              "http://127.0.0.1:8080/dav/a%20b%23c");
    EXPECT_EQ(TWebDavFileOper::EncodeUrl("http://host"), "http://host");
}

TEST_F(WebDavXmlTest, RootUrlsAreCutIntoHostPathAndEntryUrls) {
    struct Case {
        const char* root;
        const char* host;
        const char* serverPath;
        const char* first;
        const char* fileUrl;    // of "a b.txt" in "/sub"
        const char* folderPath; // the same entry's folder on the server
        const char* topUrl;     // of "a b.txt" in "/"
    };
    const Case cases[] = {
        {"http://host/dav/sub", "host", "dav/sub", "dav", "http://host/dav/sub/sub/a b.txt", "/dav/sub/sub/",
         "http://host/dav/sub/a b.txt"},
        {" http://host:8080/dav/ ", "host:8080", "dav", "dav", "http://host:8080/dav/sub/a b.txt",
         "/dav/sub/", "http://host:8080/dav/a b.txt"},
        {"http://host", "host", "", "", "http://host/sub/a b.txt", "/sub/", "http://host/a b.txt"},
    };
    for (const Case& c : cases) {
        TFolderSource source;
        source.FolerAllName = c.root;
        TWebDavFileOper endpoint(false);
        endpoint.Source = &source;
        EXPECT_EQ(TWebDavFileOper::ExtractHost(c.root), c.host) << c.root;
        EXPECT_EQ(endpoint.ServerPath(), c.serverPath) << c.root;
        EXPECT_EQ(endpoint.FirstPathSegment(), c.first) << c.root;
        TFileAttri attr;
        attr.Name = "a b.txt";
        std::string path;
        for (const char* rel : {"/sub", "/sub/", "sub"}) {
            attr.RelPath = rel;
            endpoint.BuildFullPath(&source, &attr, path);
            EXPECT_EQ(path, c.fileUrl) << c.root << " " << rel;
            endpoint.BuildFolderPath(&source, &attr, path);
            EXPECT_EQ(path, c.folderPath) << c.root << " " << rel;
        }
        attr.RelPath = "/";
        endpoint.BuildFullPath(&source, &attr, path);
        EXPECT_EQ(path, c.topUrl) << c.root;
    }
}
