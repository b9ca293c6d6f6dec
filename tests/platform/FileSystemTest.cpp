#include "platform/FileSystem.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <map>
#include <new>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tandemora;
using testsupport::Dos;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::map<std::string, fs::DirEntry> ListByName(const std::string& folder, int& result) {
    std::vector<fs::DirEntry> entries;
    result = fs::ListFolder(folder, entries);
    std::map<std::string, fs::DirEntry> byName;
    for (const auto& e : entries) {
        byName[e.Name] = e;
    }
    return byName;
}

void SetMTime(const std::string& path, time_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW));
}

// A Unix socket bound at path (left in place when the descriptor is closed).
void MakeSocket(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof(address.sun_path));
    std::copy(path.begin(), path.end(), address.sun_path);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    close(fd);
}

// Berlin's rules; the zone file when installed, otherwise the same rule spelled out.
std::string BerlinZone() {
    return access("/usr/share/zoneinfo/Europe/Berlin", R_OK) == 0 ? "Europe/Berlin"
                                                                  : "CET-1CEST,M3.5.0,M10.5.0/3";
}

} // namespace

TEST(FileSystem, ListingGivesKindsSizesTimesAndAttributeBits) {
    TempDir dir;
    WriteFile(dir / "plain.txt", "12345");
    WriteFile(dir / "ro.txt", "abc");
    chmod((dir / "ro.txt").c_str(), 0444);
    WriteFile(dir / ".hidden", "");
    mkdir((dir / "sub").c_str(), 0755);
    WriteFile(dir / "sub/inner", "not listed at this level");
    mkdir((dir / ".hdir").c_str(), 0755);
    mkdir((dir / "rodir").c_str(), 0555);
    const time_t stamp = 1600000000; // 2020-09-13 12:26:40 UTC
    SetMTime(dir / "plain.txt", stamp);

    struct Case {
        std::string name;
        bool isFolder;
        int64_t size;
        uint32_t attr;
    };
    const std::vector<Case> cases = {
        {"plain.txt", false, 5, 32}, {"ro.txt", false, 3, 33}, {".hidden", false, 0, 34},
        {"sub", true, 0, 16},        {".hdir", true, 0, 18},   {"rodir", true, 0, 17},
    };
    int result = -1;
    const auto listed = ListByName(dir.path(), result);
    EXPECT_EQ(0, result);
    EXPECT_EQ(cases.size(), listed.size());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(1u, listed.count(c.name));
        const fs::DirEntry& e = listed.at(c.name);
        EXPECT_EQ(c.isFolder, e.IsFolder);
        EXPECT_EQ(c.size, e.Size);
        EXPECT_EQ(c.attr, e.Attr);
    }
    EXPECT_EQ(stamp, listed.at("plain.txt").ModifyTime.tv_sec);
    EXPECT_EQ(fs::UnixToDosTime({stamp, 0}), listed.at("plain.txt").Time);
}

// A scan never follows a link into a folder (nor round a loop) and never opens a FIFO.
TEST(FileSystem, SocketsFifosAndLinksOtherThanToFilesAreNotListedSoScansNeverFollowLinks) {
    TempDir dir;
    WriteFile(dir / "target.bin", std::string(1000, 'x'));
    SetMTime(dir / "target.bin", 1500000000);
    mkdir((dir / "folder").c_str(), 0755);
    ASSERT_EQ(0, mkfifo((dir / "pipe").c_str(), 0644));
    MakeSocket(dir / "sock");
    struct Link {
        std::string name;
        std::string to;
    };
    const std::vector<Link> links = {
        {"to-file", "target.bin"}, {"to-folder", "folder"}, {"to-nothing", "missing"},
        {"to-pipe", "pipe"},       {"loop-a", "loop-b"},    {"loop-b", "loop-a"},
    };
    for (const Link& link : links) {
        ASSERT_EQ(0, symlink(link.to.c_str(), (dir / link.name).c_str()));
    }
    SetMTime(dir / "to-file", 1400000000); // the link's own time must not be used

    int result = -1;
    const auto listed = ListByName(dir.path(), result); // a FIFO opened by mistake would hang here
    EXPECT_EQ(0, result);
    std::vector<std::string> names;
    for (const auto& [name, entry] : listed) {
        names.push_back(name);
    }
    EXPECT_EQ((std::vector<std::string>{"folder", "target.bin", "to-file"}), names);
    const fs::DirEntry& link = listed.at("to-file");
    EXPECT_FALSE(link.IsFolder);
    EXPECT_EQ(1000, link.Size);
    EXPECT_EQ(1500000000, link.ModifyTime.tv_sec);
    EXPECT_EQ(32u, link.Attr);

    // The single-item look-up follows the same rules.
    fs::DirEntry info;
    EXPECT_TRUE(fs::GetEntryInfo(dir / "to-file", info));
    EXPECT_EQ("to-file", info.Name);
    EXPECT_EQ(1000, info.Size);
    for (const char* skipped : {"to-folder", "to-nothing", "pipe", "sock", "loop-a"}) {
        EXPECT_FALSE(fs::GetEntryInfo(dir / skipped, info)) << skipped;
    }
    // Nothing opens a FIFO for reading or writing, and nothing blocks on one.
    EXPECT_EQ(-1, fs::GetFileSize64(dir / "pipe"));
    fs::TFileHandle file;
    EXPECT_FALSE(file.OpenRead(dir / "pipe"));
    EXPECT_FALSE(file.Create(dir / "pipe"));
    EXPECT_FALSE(file.Create("/dev/null")); // nor truncates or writes a device
}

TEST(FileSystem, AFolderThatCannotBeReadIsAFailureNeverAnEmptyListing) {
    TempDir dir;
    WriteFile(dir / "file", "x");
    mkdir((dir / "empty").c_str(), 0755);
    struct Case {
        std::string path;
        int error;
    };
    const std::vector<Case> cases = {
        {dir / "missing", ENOENT},
        {dir / "file", ENOTDIR},
        {dir / "missing/deeper", ENOENT},
    };
    for (const Case& c : cases) {
        std::vector<fs::DirEntry> entries;
        EXPECT_EQ(c.error, fs::ListFolder(c.path, entries)) << c.path;
        EXPECT_TRUE(entries.empty());
    }
    std::vector<fs::DirEntry> entries;
    EXPECT_EQ(0, fs::ListFolder(dir / "empty", entries)); // really empty: success
}

TEST(FileSystem, AFolderRemovedWhileItIsListedIsReportedAsFailed) {
    TempDir dir;
    WriteFile(dir / "going/a", "1");
    WriteFile(dir / "going/b", "2");
    const std::string folder = dir / "going";
    int calls = 0;
    // At the first item everything disappears, the folder included; the rest of
    // the listing then sees nothing, which must not pass for "no more items".
    const int result = fs::ListFolder(folder, [&](const fs::DirEntry&) {
        if (++calls == 1) {
            unlink((folder + "/a").c_str());
            unlink((folder + "/b").c_str());
            rmdir(folder.c_str());
        }
    });
    EXPECT_EQ(ENOENT, result);
}

// The number of descriptors this process has open.
size_t OpenDescriptors() {
    size_t count = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++count;
    }
    return count;
}

TEST(FileSystem, AListingThatIsBrokenOffByItsCallerClosesTheFolder) {
    TempDir dir;
    WriteFile(dir / "a", "1");
    const size_t before = OpenDescriptors();
    // A tree being built can run out of memory at any item; each folder of a large
    // scan would otherwise keep a descriptor until the process runs out of them.
    for (int i = 0; i < 50; ++i) {
        EXPECT_THROW(fs::ListFolder(dir.path(), [](const fs::DirEntry&) { throw std::bad_alloc(); }),
                     std::bad_alloc);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

// Permission denial needs an ordinary user: root reads any folder. When the tests
// run as root, a child process gives up root before listing.
TEST(FileSystem, AFolderWithoutPermissionIsReportedAsFailed) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    WriteFile(dir / "closed/secret", "x");
    chmod((dir / "closed").c_str(), 0000);
    WriteFile(dir / "nosearch/item", "x");
    chmod((dir / "nosearch").c_str(), 0444); // names readable, items not examinable
    const std::string closed = dir / "closed";
    const std::string nosearch = dir / "nosearch";

    auto check = [&]() -> int {
        std::vector<fs::DirEntry> entries;
        if (fs::ListFolder(closed, entries) != EACCES || !entries.empty()) {
            return 1;
        }
        if (fs::ListFolder(nosearch, entries) != EACCES) {
            return 2;
        }
        return 0;
    };
    if (geteuid() != 0) {
        EXPECT_EQ(0, check());
        return;
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0) {
            _exit(10);
        }
        _exit(check());
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status))
        << "1: closed folder, 2: folder without search right, 10: no user switch";
}

TEST(FileSystem, DosTimesUseTheOffsetOfTheirOwnInstant) {
    ScopedEnv tz("TZ", BerlinZone());
    struct Case {
        const char* what;
        time_t instant;
        int32_t dos;
        time_t back; // the instant DosTimeToUnix gives for dos
    };
    const std::vector<Case> cases = {
        // 2021-01-15 12:34:56 UTC is 13:34:56 in Berlin (winter, +1).
        {"winter", 1610714096, Dos(2021, 1, 15, 13, 34, 56), 1610714096},
        // 2021-07-15 12:34:56 UTC is 14:34:56 in Berlin (summer, +2).
        {"summer", 1626352496, Dos(2021, 7, 15, 14, 34, 56), 1626352496},
        // Odd seconds fall to the even second below.
        {"odd second", 1610714097, Dos(2021, 1, 15, 13, 34, 56), 1610714096},
        // Last second before the change to summer time, and the first after it.
        {"before spring change", 1616893199, Dos(2021, 3, 28, 1, 59, 58), 1616893198},
        {"after spring change", 1616893200, Dos(2021, 3, 28, 3, 0, 0), 1616893200},
        // Before 1980 every instant becomes the first DOS instant.
        {"1979", 312000000, Dos(1980, 1, 1, 0, 0, 0), 315529200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.dos, fs::UnixToDosTime({c.instant, 999999999}));
        time_t back = 0;
        ASSERT_TRUE(fs::DosTimeToUnix(c.dos, back));
        EXPECT_EQ(c.back, back);
    }
}

TEST(FileSystem, DosClockGivesTheLibrarysTimeInEveryZone) {
    // One clock across every zone: a change of TZ must make it learn again.
    fs::TDosClock clock;
    std::vector<std::string> zones = {"UTC", BerlinZone(), "CET-1CEST,M3.5.0,M10.5.0/3", "<+0545>-5:45",
                                      "EST5EDT,M3.2.0,M11.1.0"};
    for (const char* name : {"Australia/Lord_Howe", "Asia/Kathmandu", "America/St_Johns",
                             "right/Europe/Berlin", "Pacific/Apia"}) {
        if (access(("/usr/share/zoneinfo/" + std::string(name)).c_str(), R_OK) == 0) {
            zones.emplace_back(name);
        }
    }
    for (const std::string& zone : zones) {
        SCOPED_TRACE(zone);
        ScopedEnv tz("TZ", zone);
        std::vector<time_t> instants;
        // December 2021 first: the days the zone before ended with.
        for (time_t t = 1638316800; t < 1640995200; t += 3607) {
            instants.push_back(t);
        }
        // Instants scattered from before 1970 to past the last DOS year,
        uint64_t seed = 12345;
        for (int i = 0; i < 20000; ++i) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            instants.push_back(static_cast<time_t>(seed >> 31) % 5500000000LL - 1000000000LL);
        }
        // then every quarter hour and a second of 2021, changes of summer time included.
        for (time_t t = 1609459200; t < 1640995200; t += 901) {
            instants.push_back(t);
        }
        int wrong = 0;
        for (const time_t t : instants) {
            const int32_t expected = fs::UnixToDosTime({t, 0});
            const int32_t got = clock.DosTime({t, 0});
            if (got != expected && ++wrong <= 3) {
                ADD_FAILURE() << "instant " << t << ": " << std::hex << got << " instead of " << expected;
            }
        }
        EXPECT_EQ(0, wrong);
    }
}

TEST(FileSystem, DosTimesWithFieldsOutOfRangeAreRefused) {
    ScopedEnv tz("TZ", "UTC");
    const std::vector<int32_t> bad = {
        0,                         // month 0, day 0
        Dos(2021, 2, 29, 0, 0, 0), // no 29 February in 2021
        static_cast<int32_t>((static_cast<uint32_t>(Dos(2021, 1, 1, 0, 0, 0)) & 0xFFFF0000u) | (24u << 11)),
        static_cast<int32_t>((static_cast<uint32_t>(Dos(2021, 1, 1, 0, 0, 0)) & 0xFFFF0000u) | 30u),
    };
    for (int32_t value : bad) {
        time_t t = 0;
        EXPECT_FALSE(fs::DosTimeToUnix(value, t)) << std::hex << value;
    }
    time_t leap = 0;
    EXPECT_TRUE(fs::DosTimeToUnix(Dos(2024, 2, 29, 23, 59, 58), leap));
    EXPECT_EQ(1709251198, leap);
}

TEST(FileSystem, NetworkPathsNeverReachTheLocalDisk) {
    TempDir dir;
    WriteFile(dir / "victim", "still here");
    mkdir((dir / "folder").c_str(), 0755);
    // Network paths go to the SMB client, never to the local disk: a server part
    // on loopback with a closed port fails at once and sends nothing off the
    // machine. The rest of the path names the local folder.
    const std::vector<std::string> prefixes = {"//localhost:9", "\\/localhost:9"};
    for (const std::string& prefix : prefixes) {
        SCOPED_TRACE(prefix);
        const std::string unc = prefix + dir.path();
        ASSERT_TRUE(fs::IsUncPath(unc)); // "\" then "/" is two separators too
        std::vector<fs::DirEntry> entries;
        EXPECT_NE(0, fs::ListFolder(unc, entries)); // refused, never an empty listing
        EXPECT_TRUE(entries.empty());
        EXPECT_FALSE(fs::DirectoryExists(unc));
        EXPECT_FALSE(fs::FileExists(unc + "/victim"));
        EXPECT_EQ(-1, fs::GetFileSize64(unc + "/victim"));
        EXPECT_FALSE(fs::DeleteFile(unc + "/victim"));
        EXPECT_FALSE(fs::ForceDirectories(unc + "/made/here"));
        EXPECT_FALSE(fs::RemoveFolder(unc + "/folder"));
        EXPECT_FALSE(fs::RenameFile(dir / "victim", unc + "/moved"));
        EXPECT_FALSE(fs::SetFileDosTime(unc + "/victim", 0x52E00000));
        EXPECT_FALSE(fs::ClearReadOnly(unc + "/victim"));
        fs::DiskSpace space;
        EXPECT_FALSE(fs::FreeSpace(unc, space));
        EXPECT_EQ("", fs::MountPointOf(unc));
        fs::TFileHandle file;
        EXPECT_FALSE(file.OpenRead(unc + "/victim"));
        EXPECT_FALSE(file.Create(unc + "/victim"));
        fs::DirEntry info;
        EXPECT_FALSE(fs::GetEntryInfo(unc + "/victim", info));
    }
    EXPECT_EQ("still here", ReadFile(dir / "victim"));
    EXPECT_TRUE(fs::DirectoryExists(dir / "folder"));
    EXPECT_FALSE(testsupport::Exists(dir / "made"));
    EXPECT_FALSE(testsupport::Exists(dir / "moved"));
    EXPECT_FALSE(fs::IsUncPath("/tmp"));
    EXPECT_FALSE(fs::IsUncPath("\\"));
    EXPECT_TRUE(fs::IsUncPath("\\\\server\\share"));
}
