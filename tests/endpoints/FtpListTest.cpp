// FTP listings and addresses without a server: what the MLSD and LIST readers
// make of real-world lines (and what they refuse to guess), the URL rules of the
// FTP endpoint, and how an endpoint without a server behaves.

#include "EndpointTestSupport.h"

#include "endpoints/UTFtpFileOper.h"
#include "platform/FtpSession.h"

#include <cctype>
#include <limits>
#include <netinet/in.h>
#include <sys/socket.h>

namespace endpointtest {
namespace {

time_t Utc(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    return timegm(&t);
}

struct EntryCase {
    std::string Line;
    bool Parses;
    bool Listed;
    std::string Name;
    bool IsFolder;
    int64_t Size;
    int32_t Time;
};

void CheckEntry(const EntryCase& c, bool parsed, bool listed, const TFtpEntry& entry) {
    SCOPED_TRACE(c.Line);
    ASSERT_EQ(parsed, c.Parses);
    if (!c.Parses) {
        return;
    }
    ASSERT_EQ(listed, c.Listed);
    if (!c.Listed) {
        return;
    }
    EXPECT_EQ(entry.Name, c.Name);
    EXPECT_EQ(entry.IsFolder, c.IsFolder);
    EXPECT_EQ(entry.Size, c.Size);
    EXPECT_EQ(entry.Time, c.Time);
}

class FtpListTest : public EndpointTest {};

TEST_F(FtpListTest, MlsdLinesGiveExactSizesAndUtcTimesAsLocalDosTimes) {
    const int32_t t = Dos(2020, 3, 4, 5, 6, 6); // 05:06:07 UTC; DOS keeps even seconds
    const EntryCase cases[] = {
        {"type=file;size=6;modify=20200304050607;UNIX.mode=0644; a b.txt", true, true, "a b.txt", false, 6,
         t},
        {"Type=DIR;Modify=20200304050607; sub dir", true, true, "sub dir", true, 0, t},
        {"type=file;size=5000000000;modify=20200304050607.123; big", true, true, "big", false, 5000000000, t},
        {"type=file;size=1;modify=20200304050607;  lead", true, true, " lead", false, 1, t},
        {"type=file;size=2;modify=20200304050607; x; y=z.txt", true, true, "x; y=z.txt", false, 2, t},
        {"type=file;size=4; undated", true, true, "undated", false, 4, FtpNoTime},
        {"type=OS.unix=slink:/etc/x;size=9;modify=20200304050607; link", true, false, "", false, 0, 0},
        {"type=pdir;modify=20200304050607; ..", true, false, "", false, 0, 0},
        {"type=OS.unix=chr-13/29;modify=20200304050607; tty", true, false, "", false, 0, 0},
        // What cannot be read is an entry not seen.
        {"type=file;size=6;modify=20200304050607;a.txt", false, false, "", false, 0, 0},
        {"type=file;size=-6; negative", false, false, "", false, 0, 0},
        {"type=file;size=6;modify=2020030405; short-time", false, false, "", false, 0, 0},
        {"type=file;size=6;modify=20201304050607; month-13", false, false, "", false, 0, 0},
        {"type=file;size=6; a/b", false, false, "", false, 0, 0},
        {"type=file;size=6; ", false, false, "", false, 0, 0},
    };
    for (const EntryCase& c : cases) {
        TFtpEntry entry;
        bool listed = false;
        const bool parsed = ParseMlsdLine(c.Line, entry, listed);
        CheckEntry(c, parsed, listed, entry);
    }
}

TEST_F(FtpListTest, MlsdTimesUseTheUtcOffsetOfTheirOwnInstant) {
    testsupport::ScopedEnv tz("TZ", std::string("CET-1CEST,M3.5.0,M10.5.0/3"));
    std::vector<TFtpEntry> entries;
    ASSERT_TRUE(ParseMlsdListing("type=file;size=1;modify=20200115120000; winter\r\n"
                                 "type=file;size=1;modify=20200715120000; summer\r\n",
                                 entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].Time, Dos(2020, 1, 15, 13, 0, 0));
    EXPECT_EQ(entries[1].Time, Dos(2020, 7, 15, 14, 0, 0));
}

TEST_F(FtpListTest, AListingWithOneUnreadableLineIsNoListingAtAll) {
    struct Case {
        std::string Text;
        bool Mlsd;
        bool Parses;
        size_t Count;
    };
    const Case cases[] = {
        {"type=cdir; .\r\ntype=file;size=1; a\r\ntype=dir; b\r\n", true, true, 2},
        {"type=file;size=1; a\r\ntype=file;size=2; last-without-line-end", true, true, 2},
        {"", true, true, 0},
        {"type=file;size=1; a\r\ngarbage\r\ntype=file;size=2; b\r\n", true, false, 0},
        {"total 8\r\n-rw-r--r-- 1 u g 5 Mar  4  2020 a\r\ndrwxr-xr-x 2 u g 4096 Mar  4  2020 .\r\n", false,
         true, 1},
        {"-rw-r--r-- 1 u g 5 Mar  4  2020 a\r\nthis is not a listing line\r\n", false, false, 0},
        {"", false, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        std::vector<TFtpEntry> entries;
        entries.resize(5); // whatever was there before goes
        const bool parsed = c.Mlsd ? ParseMlsdListing(c.Text, entries) : ParseListListing(c.Text, 0, entries);
        EXPECT_EQ(parsed, c.Parses);
        EXPECT_EQ(entries.size(), c.Count);
    }
}

TEST_F(FtpListTest, UnixListLinesAreReadAsTheServerShowsThem) {
    const time_t now = Utc(2021, 6, 15, 12, 0); // TZ is UTC in every endpoint test
    const EntryCase cases[] = {
        {"-rw-r--r--    1 65534   nogroup        6 Mar  4  2020 a b.txt", true, true, "a b.txt", false, 6,
         Dos(2020, 3, 4, 0, 0, 0)},
        {"drwxr-xr-x    2 65534   nogroup     4096 Dec  6 18:05 -dash", true, true, "-dash", true, 0,
         Dos(2020, 12, 6, 18, 5, 0)},
        // Recent dates have no year: the latest year that is not after tomorrow.
        {"-rw-r--r-- 1 u g 1 Jun 16 10:00 tomorrow", true, true, "tomorrow", false, 1,
         Dos(2021, 6, 16, 10, 0, 0)},
        {"-rw-r--r-- 1 u g 1 Jun 17 10:00 later", true, true, "later", false, 1, Dos(2020, 6, 17, 10, 0, 0)},
        {"-rw-r--r-- 1 owner 7 Mar  4  2020 no group", true, true, "no group", false, 7,
         Dos(2020, 3, 4, 0, 0, 0)},
        {"-rw-r--r-- 1 u g 7 Mar  4  2020  two blanks", true, true, " two blanks", false, 7,
         Dos(2020, 3, 4, 0, 0, 0)},
        {"-rw-r--r-- 1 u g 9 Mar  4  2020 Mar  4  2020", true, true, "Mar  4  2020", false, 9,
         Dos(2020, 3, 4, 0, 0, 0)},
        // Links are left out, as on a local folder.
        {"lrwxrwxrwx 1 u g 11 Mar  4  2020 link -> target.txt", true, false, "", false, 0, 0},
        {"-rw-r--r-- 1 u g 12345678901 Mar  4  1975 old", true, true, "old", false, 12345678901, FtpNoTime},
        {"prw-r--r-- 1 u g 0 Mar  4  2020 fifo", true, false, "", false, 0, 0},
        {"drwxr-xr-x 2 u g 4096 Mar  4  2020 ..", true, false, "", false, 0, 0},
        {"", true, false, "", false, 0, 0},
        {"-rw-r--r-- 1 u g 6 Mar  4  2020", false, false, "", false, 0, 0},
        {"-rw-r--r-- 1 u g 6 Feb 30  2020 bad-day", false, false, "", false, 0, 0},
    };
    for (const EntryCase& c : cases) {
        TFtpEntry entry;
        bool listed = false;
        const bool parsed = ParseListLine(c.Line, now, entry, listed);
        CheckEntry(c, parsed, listed, entry);
    }
}

TEST_F(FtpListTest, DosListLinesOfWindowsServers) {
    const EntryCase cases[] = {
        {"03-04-20  05:06AM       <DIR>          My Folder", true, true, "My Folder", true, 0,
         Dos(2020, 3, 4, 5, 6, 0)},
        {"03-04-20  05:06PM                 1234 report.txt", true, true, "report.txt", false, 1234,
         Dos(2020, 3, 4, 17, 6, 0)},
        {"12-31-1999  12:00AM                 1 midnight", true, true, "midnight", false, 1,
         Dos(1999, 12, 31, 0, 0, 0)},
        {"01-01-69  12:30PM                 1 noon", true, true, "noon", false, 1,
         Dos(2069, 1, 1, 12, 30, 0)},
        {"03-04-20  13:06PM                 1 bad-clock", false, false, "", false, 0, 0},
        {"03-04-20  05:06AM                 x bad-size", false, false, "", false, 0, 0},
    };
    for (const EntryCase& c : cases) {
        TFtpEntry entry;
        bool listed = false;
        const bool parsed = ParseListLine(c.Line, 0, entry, listed);
        CheckEntry(c, parsed, listed, entry);
    }
}

TEST_F(FtpListTest, DosTimesAreClampedToTheirRange) {
    EXPECT_EQ(DosTimeOfFields(2020, 2, 29, 23, 59, 59), Dos(2020, 2, 29, 23, 59, 58));
    EXPECT_EQ(DosTimeOfFields(2021, 2, 29, 0, 0, 0), 0);
    EXPECT_EQ(DosTimeOfFields(1979, 12, 31, 23, 59, 59), FtpNoTime);
    EXPECT_EQ(FtpNoTime, Dos(1980, 1, 1, 0, 0, 0));
    EXPECT_EQ(DosTimeOfFields(2200, 1, 1, 0, 0, 0), Dos(2107, 12, 31, 23, 59, 58));
    EXPECT_EQ(DosTimeOfFields(2020, 1, 1, 24, 0, 0), 0);
}

TEST_F(FtpListTest, HostsPortsAndArguments) {
    struct Case {
        std::string Text;
        bool Ok;
        std::string Host;
        int Port;
    };
    const Case cases[] = {
        {"ftp.example.org", true, "ftp.example.org", 21},
        {"127.0.0.1:2121", true, "127.0.0.1", 2121},
        {"[::1]:2121", true, "::1", 2121},
        {"::1", true, "::1", 21},
        {"host:", false, "", 0},
        {"host:65536", false, "", 0},
        {"host:21x", false, "", 0},
        {"", false, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        std::string host = "unchanged";
        int port = -1;
        ASSERT_EQ(SplitHostPort(c.Text, host, port), c.Ok);
        if (c.Ok) {
            EXPECT_EQ(host, c.Host);
            EXPECT_EQ(port, c.Port);
        }
    }
    EXPECT_EQ(FtpUrlEncode("a b;type=a%/\xc3\xbc-_.~"), "a%20b%3Btype%3Da%25%2F%C3%BC-_.~");
    EXPECT_TRUE(IsSafeFtpArgument("-rf name with blanks"));
    EXPECT_FALSE(IsSafeFtpArgument("x\r\nDELE y"));
    EXPECT_FALSE(IsSafeFtpArgument(std::string("x\0y", 3)));
}

TEST_F(FtpListTest, UrlsAreNormalisedAndTakenApart) {
    struct Case {
        std::string Url;
        std::string Normal;
        std::string Host;
        std::string Root;
    };
    const Case cases[] = {
        {"ftp://127.0.0.1:2121/pub/data/", "ftp://127.0.0.1:2121/pub/data", "127.0.0.1:2121", "/pub/data"},
        {"  example.org/pub ", "ftp://example.org/pub", "example.org", "/pub"},
        {"ftp://host/", "ftp://host", "host", ""},
        {"ftp://host/data/data", "ftp://host/data/data", "host", "/data/data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Url);
        EXPECT_EQ(TFtpFileOper::NormalizeUrl(c.Url), c.Normal);
        EXPECT_EQ(TFtpFileOper::HostOf(c.Normal), c.Host);
        EXPECT_EQ(TFtpFileOper::UrlPrefix(c.Url), "ftp://" + c.Host);
        TFtpFileOper oper(false);
        TFolderSource source;
        source.FolerAllName = c.Url;
        oper.Source = &source;
        oper.ParseSourceUrl();
        EXPECT_EQ(source.FolerAllName, c.Normal); // written back into the task's endpoint
        EXPECT_EQ(oper.GetRootPath(), c.Root);
    }
}

// A port on this machine that nobody listens on.
int ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

TEST_F(FtpListTest, AnUnreachableServerGivesAMarkedEmptyTreeAndRefusesEveryOperation) {
    TFolderSource source;
    source.DeviceType = dtFtp;
    source.FolerAllName = "ftp://127.0.0.1:" + std::to_string(ClosedPort()) + "/data";
    TFtpFileOper oper(false);
    oper.Source = &source;
    oper.NotifyWnd = Log.Target();
    EXPECT_EQ(oper.IsRootMissing(), 1);
    EXPECT_NE(oper.Connect(), 0);
    EXPECT_EQ(oper.ServerInfo, "ftp://" + TFtpFileOper::HostOf(source.FolerAllName));
    oper.ScanTree();
    EXPECT_TRUE(oper.RootMissing);
    EXPECT_EQ(oper.Tree->ListFailed, 1);
    EXPECT_TRUE(oper.Tree->Children.empty());
    EXPECT_FALSE(oper.ScanComplete());
    EXPECT_EQ(Log.Count(WM_UPDATEPROCESS), 1);

    TFileAttri attr = Item("/", "f.txt");
    const std::string local = Dir / "f.txt";
    testsupport::WriteFile(local, "data");
    std::string saved = "x";
    EXPECT_EQ(oper.GetSavedFolder(saved), 1);
    EXPECT_EQ(saved, "");
    EXPECT_EQ(oper.GetFile(local, &source, &attr, 0), -1);
    EXPECT_EQ(testsupport::ReadFile(local), "data");
    EXPECT_NE(oper.PutFile(local, &source, &attr, 0), 0);
    EXPECT_EQ(oper.DeleteFile(&source, &attr), -1);
    EXPECT_EQ(oper.MakeFolder("a"), -1);
    // Without a connection nothing can be said of the file: not taken for absent.
    EXPECT_EQ(oper.GetFileSize(source.FolerAllName + "/f.txt"), std::numeric_limits<int64_t>::max());
}

// The name an upload that is not plain takes on its way: every character in
// place around the mark, and where that would pass 255 bytes, only characters
// a server stores as given give way (letters, digits, "-", "_", and whole
// characters beyond ASCII), so blanks, dots and the rest stay in place.
TEST(FtpStandIn, KeepsWhatAServerCouldChangeAndFitsANameLimit) {
    const std::string mark = StandInMarkOf("Docs123", 4242, 7);
    std::string wide;
    for (int i = 0; i < 120; ++i) {
        wide += "\xc3\xbc";
    }
    // What may not give way, in order.
    auto fixed = [](const std::string& name) {
        std::string kept;
        for (const char c : name) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x80 && std::isalnum(u) == 0 && c != '-' && c != '_') {
                kept += c;
            }
        }
        return kept;
    };
    const std::string names[] = {
        " report.txt",
        " " + std::string(240, 'a') + ":x. ",
        "odd: " + std::string(241, 'b') + ".txt",
        "a?" + wide + ".",
        "* " + std::string(100, '.') + std::string(140, 'c') + "|",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name.substr(0, 20));
        const std::string standIn = StandInName(name, mark);
        EXPECT_LE(standIn.size(), 255u);
        EXPECT_TRUE(IsStandInOf(standIn, "Docs123"));
        const size_t at = standIn.find(mark);
        ASSERT_NE(at, std::string::npos);
        const std::string rest = standIn.substr(0, at) + standIn.substr(at + mark.size());
        EXPECT_EQ(fixed(rest), fixed(name));
        EXPECT_EQ(rest.front(), name.front());
        EXPECT_EQ(rest.back(), name.back());
        if (name.size() + mark.size() <= 255) {
            EXPECT_EQ(rest, name);
        } else {
            EXPECT_EQ(standIn.size(), 255u) << "no more than needed gives way";
        }
    }
}

} // namespace
} // namespace endpointtest
