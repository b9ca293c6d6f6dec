// The file layer on UNC paths, against the private Samba server: what a listing,
// a copy or a rename does on the share is checked on the server's own disk.

#include "SmbTestSupport.h"

#include <algorithm>
#include <cerrno>
#include <sys/statvfs.h>
#include <vector>

namespace smbtest {
namespace {

using namespace tandemora;

std::vector<fs::DirEntry> SortedListing(const std::string& path, int& error) {
    std::vector<fs::DirEntry> entries;
    error = fs::ListFolder(path, entries);
    std::sort(entries.begin(), entries.end(),
              [](const fs::DirEntry& a, const fs::DirEntry& b) { return a.Name < b.Name; });
    return entries;
}

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    }
    return bytes;
}

TEST(SmbUrl, NetworkPathsBecomeEncodedUrls) {
    struct Case {
        std::string path;
        std::string url;
    };
    const Case cases[] = {
        {"\\\\srv\\share\\dir\\f.txt", "smb://srv/share/dir/f.txt"},
        {"//srv/share/dir/", "smb://srv/share/dir"},
        {"\\\\srv/share\\\\dir//f.txt", "smb://srv/share/dir/f.txt"},
        {"\\\\srv", "smb://srv"},
        {"\\\\host:4455\\s\\a b\\100%.txt", "smb://host:4455/s/a%20b/100%25.txt"},
        {"\\\\srv\\s\\q?x#y;z@w", "smb://srv/s/q%3Fx%23y%3Bz%40w"},
        {"\\\\srv\\s\\\xC3\xBC", "smb://srv/s/%C3%BC"},
        // A server part that libsmbclient would read as an account or options.
        {"\\\\user:secret@srv\\share", ""},
        {"\\\\srv?x\\share", ""},
        {"\\\\\\share", ""},
        // A level up, also one hidden in a name that holds "\\" (legal on other sides).
        {"//srv/share/a/b/..\\..\\x", ""},
        {"\\\\srv\\share\\..", ""},
        {"/tmp/local", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(smb::UrlOf(c.path), c.url) << c.path;
    }
}

class SmbFileSystemTest : public SmbTest {};

TEST_F(SmbFileSystemTest, ListingShowsWhatTheServersDiskHolds) {
    Seed("b.txt", "bee", 1700000000);
    Seed("A.TXT", "", 1700003600);
    Seed(".hidden", "h", 1700007200);
    Seed("ro.txt", "read only", 1600000000);
    chmod(Disk("ro.txt").c_str(), 0444);
    Seed("name with blanks & 100%.txt", "odd", 1700000000);
    Seed("sub/inner.txt", "inner", 1700000000);
    SetMTime(Disk("sub"), 1650000000);

    int localError = -1;
    const std::vector<fs::DirEntry> expected = SortedListing(Disk(""), localError);
    ASSERT_EQ(localError, 0);
    ASSERT_EQ(expected.size(), 6u);
    for (const std::string& path : {Unc(), SlashUnc(), Unc() + "\\"}) {
        int error = -1;
        const std::vector<fs::DirEntry> listed = SortedListing(path, error);
        ASSERT_EQ(error, 0) << path;
        ASSERT_EQ(listed.size(), expected.size()) << path;
        for (size_t i = 0; i < listed.size(); ++i) {
            EXPECT_EQ(listed[i].Name, expected[i].Name) << path;
            EXPECT_EQ(listed[i].IsFolder, expected[i].IsFolder) << expected[i].Name;
            EXPECT_EQ(listed[i].Size, expected[i].Size) << expected[i].Name;
            EXPECT_EQ(listed[i].Time, expected[i].Time) << expected[i].Name;
            EXPECT_EQ(listed[i].Attr, expected[i].Attr) << expected[i].Name;
        }
    }
    // The bits the engine relies on, spelled out.
    int error = -1;
    for (const fs::DirEntry& entry : SortedListing(Unc(), error)) {
        if (entry.Name == "ro.txt") {
            EXPECT_EQ(entry.Attr, fs::faArchive | fs::faReadOnly);
        } else if (entry.Name == ".hidden") {
            EXPECT_EQ(entry.Attr, fs::faArchive | fs::faHidden);
        } else if (entry.Name == "sub") {
            EXPECT_EQ(entry.Attr, fs::faDirectory);
            EXPECT_EQ(entry.Size, 0);
        }
    }
}

TEST_F(SmbFileSystemTest, AFolderThatCannotBeListedIsAFailureNeverEmpty) {
    Seed("locked/secret.txt", "s");
    // Owned by root with no access for others: the share's user cannot open it.
    chown(Disk("locked").c_str(), 0, 0);
    chmod(Disk("locked").c_str(), 0700);
    Seed("file.txt", "f");
    struct Case {
        std::string rel;
        int error;
    };
    const Case cases[] = {{"locked", EACCES}, {"missing", ENOENT}, {"file.txt", ENOTDIR}};
    for (const Case& c : cases) {
        int calls = 0;
        const int error = fs::ListFolder(Unc(c.rel), [&calls](const fs::DirEntry&) { ++calls; });
        EXPECT_EQ(error, c.error) << c.rel;
        EXPECT_EQ(calls, 0) << c.rel;
    }
    // The folder itself is seen; only its content is not.
    EXPECT_TRUE(fs::DirectoryExists(Unc("locked")));
}

TEST_F(SmbFileSystemTest, FilesAreWrittenAndReadInChunks) {
    const std::string bytes = Pattern(3 * 1024 * 1024 + 17);
    {
        fs::TFileHandle out;
        ASSERT_TRUE(out.Create(Unc("big.bin")));
        for (size_t done = 0; done < bytes.size(); done += 1024 * 1024) {
            const size_t n = std::min<size_t>(1024 * 1024, bytes.size() - done);
            ASSERT_TRUE(out.WriteAll(bytes.data() + done, n));
        }
        EXPECT_TRUE(out.Sync());
        EXPECT_TRUE(out.Close());
    }
    EXPECT_EQ(testsupport::ReadFile(Disk("big.bin")), bytes);
    EXPECT_EQ(fs::GetFileSize64(Unc("big.bin")), static_cast<int64_t>(bytes.size()));

    fs::TFileHandle in;
    ASSERT_TRUE(in.OpenRead(SlashUnc("big.bin")));
    EXPECT_EQ(in.Size(), static_cast<int64_t>(bytes.size()));
    timespec access{};
    timespec modify{};
    ASSERT_TRUE(in.GetTimes(access, modify));
    EXPECT_EQ(modify.tv_sec, MTime(Disk("big.bin")));
    std::string read;
    std::vector<char> buffer(1000000);
    for (int64_t n; (n = in.Read(buffer.data(), buffer.size())) > 0;) {
        read.append(buffer.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(read, bytes);
    EXPECT_TRUE(in.Close());

    // Create truncates an existing file; CreateNew refuses one.
    {
        fs::TFileHandle again;
        ASSERT_TRUE(again.Create(Unc("big.bin")));
        ASSERT_TRUE(again.WriteAll("short", 5));
    }
    EXPECT_EQ(testsupport::ReadFile(Disk("big.bin")), "short");
    fs::TFileHandle exclusive;
    EXPECT_FALSE(exclusive.CreateNew(Unc("big.bin")));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(exclusive.IsOpen());

    struct Case {
        std::string rel;
        int error;
    };
    MakeFolder("folder");
    const Case refused[] = {{"folder", EISDIR}, {"missing.bin", ENOENT}};
    for (const Case& c : refused) {
        fs::TFileHandle file;
        EXPECT_FALSE(file.OpenRead(Unc(c.rel))) << c.rel;
        EXPECT_EQ(errno, c.error) << c.rel;
        EXPECT_EQ(fs::GetFileSize64(Unc(c.rel)), -1) << c.rel;
    }
}

TEST_F(SmbFileSystemTest, TimesOfAWrittenFileHoldAfterItsLastWrite) {
    const timespec when{1600000000, 0};
    {
        fs::TFileHandle out;
        ASSERT_TRUE(out.Create(Unc("dated.txt")));
        ASSERT_TRUE(out.WriteAll("first", 5));
        ASSERT_TRUE(out.SetTimes(when, when));
        // A write after setting the times must not move them on.
        ASSERT_TRUE(out.WriteAll(" second", 7));
        ASSERT_TRUE(out.Close());
    }
    EXPECT_EQ(MTime(Disk("dated.txt")), when.tv_sec);

    const int32_t dos = fs::UnixToDosTime(timespec{1500000000, 0});
    ASSERT_TRUE(fs::SetFileDosTime(Unc("dated.txt"), dos));
    time_t expected = 0;
    ASSERT_TRUE(fs::DosTimeToUnix(dos, expected));
    EXPECT_EQ(MTime(Disk("dated.txt")), expected);
    EXPECT_FALSE(fs::SetFileDosTime(Unc("missing.txt"), dos));
}

TEST_F(SmbFileSystemTest, ItemsAreTestedAndChangedAsOnALocalDisk) {
    Seed("file.txt", "content");
    Seed("ro.txt", "keep");
    chmod(Disk("ro.txt").c_str(), 0444);
    MakeFolder("folder");

    struct Exists {
        std::string path;
        bool file;
        bool folder;
    };
    const Exists exists[] = {
        {Unc("file.txt"), true, false},
        {Unc("folder"), false, true},
        {Unc("missing"), false, false},
        {Unc(), false, true},
        {Server.Server() + "\\" + Server.Share, false, true},
        {Server.Server() + "\\noshare", false, false},
        {Server.Server(), false, false},
    };
    for (const Exists& e : exists) {
        EXPECT_EQ(fs::FileExists(e.path), e.file) << e.path;
        EXPECT_EQ(fs::DirectoryExists(e.path), e.folder) << e.path;
    }

    // Deleting: the read-only attribute and folders are respected.
    struct Delete {
        std::string rel;
        bool deleted;
        int error;
    };
    const Delete deletes[] = {
        {"ro.txt", false, EACCES}, {"folder", false, EISDIR}, {"missing", false, ENOENT}};
    for (const Delete& d : deletes) {
        EXPECT_EQ(fs::DeleteFile(Unc(d.rel)), d.deleted) << d.rel;
        EXPECT_EQ(errno, d.error) << d.rel;
    }
    EXPECT_TRUE(testsupport::Exists(Disk("ro.txt")));
    EXPECT_TRUE(fs::IsReadOnly(Unc("ro.txt")));
    EXPECT_FALSE(fs::IsReadOnly(Unc("file.txt")));
    // A failed attempt to date a file must not spoil the connection for what follows.
    EXPECT_FALSE(fs::SetFileDosTime(Unc("missing.txt"), fs::UnixToDosTime(timespec{1500000000, 0})));
    ASSERT_TRUE(fs::ClearReadOnly(Unc("ro.txt")));
    EXPECT_FALSE(fs::IsReadOnly(Unc("ro.txt")));
    struct stat st {};
    ASSERT_EQ(stat(Disk("ro.txt").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    EXPECT_TRUE(fs::DeleteFile(Unc("ro.txt")));
    EXPECT_FALSE(testsupport::Exists(Disk("ro.txt")));

    // Renaming replaces an existing target; nothing moves between a share and the disk.
    Seed("new.txt", "newer");
    ASSERT_TRUE(fs::RenameFile(Unc("new.txt"), SlashUnc("file.txt")));
    EXPECT_EQ(testsupport::ReadFile(Disk("file.txt")), "newer");
    EXPECT_FALSE(testsupport::Exists(Disk("new.txt")));
    EXPECT_FALSE(fs::RenameFile(Unc("file.txt"), Home / "local.txt"));
    EXPECT_EQ(errno, EXDEV);
    EXPECT_FALSE(fs::RenameFile(Home / "local.txt", Unc("file.txt")));
    EXPECT_EQ(errno, EXDEV);
    EXPECT_FALSE(fs::RenameFile(Unc("missing"), Unc("other")));

    // Folders: one level, every level, and only empty ones removed.
    EXPECT_TRUE(fs::CreateFolder(Unc("one")));
    EXPECT_FALSE(fs::CreateFolder(Unc("one")));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(fs::CreateFolder(Unc("no/such/parent")));
    EXPECT_TRUE(fs::ForceDirectories(Unc("x/y/z")));
    EXPECT_TRUE(std::filesystem::is_directory(Disk("x/y/z")));
    EXPECT_TRUE(fs::ForceDirectories(SlashUnc("x/y/z") + "/"));
    EXPECT_FALSE(fs::ForceDirectories(Unc("file.txt/below")));
    EXPECT_FALSE(fs::RemoveFolder(Unc("x")));
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_TRUE(fs::RemoveFolder(Unc("x/y/z")));
    EXPECT_FALSE(std::filesystem::exists(Disk("x/y/z")));
}

TEST_F(SmbFileSystemTest, FreeSpaceIsTheSharesVolume) {
    fs::DiskSpace space;
    ASSERT_TRUE(fs::FreeSpace(Unc("not/yet/there"), space));
    struct statvfs local {};
    ASSERT_EQ(statvfs(Server.Root.c_str(), &local), 0);
    const int64_t unit = static_cast<int64_t>(local.f_frsize);
    EXPECT_EQ(space.Total, static_cast<int64_t>(local.f_blocks) * unit);
    EXPECT_GT(space.Available, 0);
    EXPECT_LE(space.Available, space.Total);
    EXPECT_FALSE(fs::FreeSpace(Server.Server() + "\\noshare", space));
}

TEST_F(SmbFileSystemTest, AWrongPasswordFailsInsteadOfFallingBackToGuest) {
    Seed("file.txt", "x");
    smb::LogOn(Server.Server(), Server.User, Server.Password + "-wrong");
    std::vector<fs::DirEntry> entries;
    const int error = fs::ListFolder(Unc(), entries);
    EXPECT_TRUE(error == EACCES || error == EPERM) << error;
    EXPECT_TRUE(entries.empty());
    EXPECT_FALSE(fs::FileExists(Unc("file.txt")));
    // A new log-on takes effect at once.
    smb::LogOn(Server.Server(), Server.User, Server.Password);
    EXPECT_EQ(fs::ListFolder(Unc(), entries), 0);
    EXPECT_EQ(entries.size(), 1u);
}

TEST_F(SmbFileSystemTest, ShareListHoldsDiskSharesOnly) {
    std::vector<std::string> shares;
    ASSERT_EQ(smb::ListShares(Server.Server(), shares), 0);
    std::sort(shares.begin(), shares.end());
    EXPECT_EQ(shares, (std::vector<std::string>{Server.Share, Server.Public}));
    // Any path on the server names the server.
    ASSERT_EQ(smb::ListShares(SlashUnc(), shares), 0);
    EXPECT_EQ(shares.size(), 2u);
}

TEST(SmbLostServer, WritesAndListingsFailOnceTheServerIsGone) {
    testsupport::TempDir home;
    testsupport::ScopedEnv homeEnv("HOME", home.path());
    TPrivateServer server;
    ASSERT_TRUE(server.Start());
    const std::string share = server.Info.Server() + "\\" + server.Info.Share;
    smb::LogOn(server.Info.Server(), server.Info.User, server.Info.Password);
    fs::TFileHandle out;
    ASSERT_TRUE(out.Create(share + "\\partial.bin"));
    const std::string chunk = Pattern(1024 * 1024);
    ASSERT_TRUE(out.WriteAll(chunk.data(), chunk.size()));
    server.Stop();
    EXPECT_FALSE(out.WriteAll(chunk.data(), chunk.size()));
    EXPECT_NE(errno, 0);
    EXPECT_FALSE(out.Close());
    std::vector<fs::DirEntry> entries;
    EXPECT_NE(fs::ListFolder(share, entries), 0);
    EXPECT_TRUE(entries.empty());
    EXPECT_FALSE(fs::DirectoryExists(share));
}

} // namespace
} // namespace smbtest
