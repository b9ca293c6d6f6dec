// The file layer on UNC paths, against the Samba server: what a listing, a copy
// or a rename does on the share is checked on the server's own disk.

#include "SmbTestSupport.h"

#include "platform/FileSystem.h"

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

// Escapes, and refusal of a server part libsmbclient would read as an account or options.
TEST(SmbUrl, NetworkPathsBecomeEncodedUrls) {
    const std::pair<std::string, std::string> cases[] = {
        {"\\\\srv\\share\\dir\\f.txt", "smb://srv/share/dir/f.txt"},
        {"//srv/share/dir/", "smb://srv/share/dir"},
        {"\\\\srv/share\\\\dir//f.txt", "smb://srv/share/dir/f.txt"},
        {"\\\\host:4455\\s\\a b\\100%.txt", "smb://host:4455/s/a%20b/100%25.txt"},
        {"\\\\srv\\s\\q?x#y;z@w", "smb://srv/s/q%3Fx%23y%3Bz%40w"},
        {"\\\\srv\\s\\\xC3\xBC", "smb://srv/s/%C3%BC"},
        {"\\\\user:secret@srv\\share", ""},
        {"\\\\srv?x\\share", ""},
        {"\\\\\\share", ""},
        // A level up, also one hidden in a name that holds "\\" (legal on other sides).
        {"//srv/share/a/b/..\\..\\x", ""},
        {"\\\\srv\\share\\..", ""},
        {"/tmp/local", ""},
    };
    for (const auto& [path, url] : cases) {
        EXPECT_EQ(smb::UrlOf(path), url) << path;
    }
}

class SmbFileSystemTest : public SmbTest {};

TEST_F(SmbFileSystemTest, ListingShowsWhatTheServersDiskHolds) {
    Share.Put("b.txt", "bee");
    Share.Put(".hidden", "h", 1700007200);
    Share.Put("ro.txt", "read only", 1600000000);
    chmod(Share.Disk("ro.txt").c_str(), 0444);
    Share.Put("name with blanks & 100%.txt", "odd");
    Share.Put("sub/inner.txt", "inner");
    SetMTime(Share.Disk("sub"), 1650000000);

    int error = -1;
    const std::vector<fs::DirEntry> expected = SortedListing(Share.Disk(), error);
    ASSERT_EQ(expected.size(), 5u);
    for (const std::string& path : {Share.Unc(), Share.Unc("", '/'), Share.Unc() + "\\"}) {
        const std::vector<fs::DirEntry> listed = SortedListing(path, error);
        ASSERT_EQ(error, 0) << path;
        ASSERT_EQ(listed.size(), expected.size()) << path;
        for (size_t i = 0; i < listed.size(); ++i) {
            SCOPED_TRACE(path + " " + expected[i].Name);
            EXPECT_EQ(listed[i].Name, expected[i].Name);
            EXPECT_EQ(listed[i].IsFolder, expected[i].IsFolder);
            EXPECT_EQ(listed[i].Size, expected[i].Size);
            EXPECT_EQ(listed[i].Time, expected[i].Time);
            EXPECT_EQ(listed[i].Attr, expected[i].Attr);
        }
    }
    // The bits the engine relies on.
    const std::map<std::string, uint32_t> attrs = {{".hidden", fs::faArchive | fs::faHidden},
                                                   {"ro.txt", fs::faArchive | fs::faReadOnly},
                                                   {"sub", fs::faDirectory}};
    for (const fs::DirEntry& entry : SortedListing(Share.Unc(), error)) {
        if (attrs.count(entry.Name) != 0) {
            EXPECT_EQ(entry.Attr, attrs.at(entry.Name)) << entry.Name;
        }
    }
}

TEST_F(SmbFileSystemTest, AFolderThatCannotBeListedIsAFailureNeverEmpty) {
    Share.Put("locked/secret.txt", "s");
    Share.Lock("locked");
    Share.Put("file.txt", "f");
    const std::pair<std::string, int> cases[] = {
        {"locked", EACCES}, {"missing", ENOENT}, {"file.txt", ENOTDIR}};
    for (const auto& [rel, expected] : cases) {
        int calls = 0;
        EXPECT_EQ(fs::ListFolder(Share.Unc(rel), [&calls](const fs::DirEntry&) { ++calls; }), expected)
            << rel;
        EXPECT_EQ(calls, 0) << rel;
    }
    EXPECT_TRUE(fs::DirectoryExists(Share.Unc("locked"))); // the folder is seen, only its content is not
}

TEST_F(SmbFileSystemTest, FilesAreWrittenAndReadInChunks) {
    const std::string bytes = Pattern(3 * 1024 * 1024 + 17);
    {
        fs::TFileHandle out;
        ASSERT_TRUE(out.Create(Share.Unc("big.bin")));
        for (size_t done = 0; done < bytes.size(); done += 1024 * 1024) {
            ASSERT_TRUE(
                out.WriteAll(bytes.data() + done, std::min<size_t>(1024 * 1024, bytes.size() - done)));
        }
        EXPECT_TRUE(out.Sync());
        EXPECT_TRUE(out.Close());
    }
    EXPECT_EQ(testsupport::ReadFile(Share.Disk("big.bin")), bytes);
    EXPECT_EQ(fs::GetFileSize64(Share.Unc("big.bin")), static_cast<int64_t>(bytes.size()));

    fs::TFileHandle in;
    ASSERT_TRUE(in.OpenRead(Share.Unc("big.bin", '/')));
    timespec access{};
    timespec modify{};
    ASSERT_TRUE(in.GetTimes(access, modify));
    EXPECT_EQ(modify.tv_sec, MTime(Share.Disk("big.bin")));
    std::string read;
    std::vector<char> buffer(1000000);
    for (int64_t n; (n = in.Read(buffer.data(), buffer.size())) > 0;) {
        read.append(buffer.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(read, bytes);

    // Create truncates an existing file; CreateNew refuses one.
    {
        fs::TFileHandle again;
        ASSERT_TRUE(again.Create(Share.Unc("big.bin")));
        ASSERT_TRUE(again.WriteAll("short", 5));
    }
    EXPECT_EQ(testsupport::ReadFile(Share.Disk("big.bin")), "short");
    fs::TFileHandle exclusive;
    EXPECT_FALSE(exclusive.CreateNew(Share.Unc("big.bin")));
    EXPECT_EQ(errno, EEXIST);

    Share.MakeFolder("folder");
    for (const auto& [rel, error] :
         {std::pair<std::string, int>{"folder", EISDIR}, {"missing.bin", ENOENT}}) {
        fs::TFileHandle file;
        EXPECT_FALSE(file.OpenRead(Share.Unc(rel))) << rel;
        EXPECT_EQ(errno, error) << rel;
        EXPECT_EQ(fs::GetFileSize64(Share.Unc(rel)), -1) << rel;
    }
}

TEST_F(SmbFileSystemTest, TimesOfAWrittenFileHoldAfterItsLastWrite) {
    const timespec when{1600000000, 0};
    {
        fs::TFileHandle out;
        ASSERT_TRUE(out.Create(Share.Unc("dated.txt")));
        ASSERT_TRUE(out.WriteAll("first", 5));
        ASSERT_TRUE(out.SetTimes(when, when));
        ASSERT_TRUE(out.WriteAll(" second", 7)); // must not move the times on
        ASSERT_TRUE(out.Close());
    }
    EXPECT_EQ(MTime(Share.Disk("dated.txt")), when.tv_sec);

    const int32_t dos = fs::UnixToDosTime(timespec{1500000000, 0});
    ASSERT_TRUE(fs::SetFileDosTime(Share.Unc("dated.txt"), dos));
    time_t expected = 0;
    ASSERT_TRUE(fs::DosTimeToUnix(dos, expected));
    EXPECT_EQ(MTime(Share.Disk("dated.txt")), expected);
    EXPECT_FALSE(fs::SetFileDosTime(Share.Unc("missing.txt"), dos));
}

TEST_F(SmbFileSystemTest, ItemsAreTestedAndChangedAsOnALocalDisk) {
    Share.Put("file.txt", "content");
    Share.Put("ro.txt", "keep");
    chmod(Share.Disk("ro.txt").c_str(), 0444);
    Share.MakeFolder("folder");
    const std::string server = Share.Server.Server();
    const std::tuple<std::string, bool, bool> exists[] = {
        {Share.Unc("file.txt"), true, false}, {Share.Unc("folder"), false, true},
        {Share.Unc("missing"), false, false}, {server + "\\" + Share.Server.Share, false, true},
        {server + "\\noshare", false, false}, {server, false, false},
    };
    for (const auto& [path, file, folder] : exists) {
        EXPECT_EQ(fs::FileExists(path), file) << path;
        EXPECT_EQ(fs::DirectoryExists(path), folder) << path;
    }

    // Deleting respects the read-only attribute and folders.
    for (const auto& [rel, error] :
         {std::pair<std::string, int>{"ro.txt", EACCES}, {"folder", EISDIR}, {"missing", ENOENT}}) {
        EXPECT_FALSE(fs::DeleteFile(Share.Unc(rel))) << rel;
        EXPECT_EQ(errno, error) << rel;
    }
    EXPECT_TRUE(fs::IsReadOnly(Share.Unc("ro.txt")));
    EXPECT_FALSE(fs::IsReadOnly(Share.Unc("file.txt")));
    // A failed attempt to date a file must not spoil the connection for what follows.
    EXPECT_FALSE(fs::SetFileDosTime(Share.Unc("missing.txt"), fs::UnixToDosTime(timespec{1500000000, 0})));
    ASSERT_TRUE(fs::ClearReadOnly(Share.Unc("ro.txt")));
    EXPECT_FALSE(fs::IsReadOnly(Share.Unc("ro.txt")));
    EXPECT_TRUE(fs::DeleteFile(Share.Unc("ro.txt")));
    EXPECT_FALSE(testsupport::Exists(Share.Disk("ro.txt")));

    // Renaming replaces an existing target; nothing moves between a share and the disk.
    Share.Put("new.txt", "newer");
    ASSERT_TRUE(fs::RenameFile(Share.Unc("new.txt"), Share.Unc("file.txt", '/')));
    EXPECT_EQ(testsupport::ReadFile(Share.Disk("file.txt")), "newer");
    EXPECT_FALSE(fs::RenameFile(Share.Unc("file.txt"), Home / "local.txt"));
    EXPECT_EQ(errno, EXDEV);
    EXPECT_FALSE(fs::RenameFile(Home / "local.txt", Share.Unc("file.txt")));
    EXPECT_EQ(errno, EXDEV);
    EXPECT_FALSE(fs::RenameFile(Share.Unc("missing"), Share.Unc("other")));

    // Folders: one level, every level, and only empty ones removed.
    EXPECT_TRUE(fs::CreateFolder(Share.Unc("one")));
    EXPECT_FALSE(fs::CreateFolder(Share.Unc("one")));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(fs::CreateFolder(Share.Unc("no/such/parent")));
    EXPECT_TRUE(fs::ForceDirectories(Share.Unc("x/y/z")));
    EXPECT_TRUE(std::filesystem::is_directory(Share.Disk("x/y/z")));
    EXPECT_TRUE(fs::ForceDirectories(Share.Unc("x/y/z", '/') + "/"));
    EXPECT_FALSE(fs::ForceDirectories(Share.Unc("file.txt/below")));
    EXPECT_FALSE(fs::RemoveFolder(Share.Unc("x")));
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_TRUE(fs::RemoveFolder(Share.Unc("x/y/z")));
    EXPECT_FALSE(std::filesystem::exists(Share.Disk("x/y/z")));

    fs::DiskSpace space; // the share's volume, even below a folder not yet there
    ASSERT_TRUE(fs::FreeSpace(Share.Unc("not/yet/there"), space));
    struct statvfs local {};
    ASSERT_EQ(statvfs(Share.Server.Root.c_str(), &local), 0);
    EXPECT_EQ(space.Total, static_cast<int64_t>(local.f_blocks) * static_cast<int64_t>(local.f_frsize));
    EXPECT_GT(space.Available, 0);
    EXPECT_FALSE(fs::FreeSpace(server + "\\noshare", space));
}

TEST_F(SmbFileSystemTest, AWrongPasswordFailsInsteadOfFallingBackToGuest) {
    Share.Put("file.txt", "x");
    smb::LogOn(Share.Server.Server(), Share.Server.User, Share.Server.Password + "-wrong");
    std::vector<fs::DirEntry> entries;
    const int error = fs::ListFolder(Share.Unc(), entries);
    EXPECT_TRUE(error == EACCES || error == EPERM) << error;
    EXPECT_TRUE(entries.empty());
    EXPECT_FALSE(fs::FileExists(Share.Unc("file.txt")));
    smb::LogOn(Share.Server.Server(), Share.Server.User, Share.Server.Password); // takes effect at once
    EXPECT_EQ(fs::ListFolder(Share.Unc(), entries), 0);
    EXPECT_EQ(entries.size(), 1u);
}

} // namespace
} // namespace smbtest
