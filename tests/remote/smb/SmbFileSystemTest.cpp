// The file layer on UNC paths, against the Samba server: what a listing, a
// failed call or a rename does on the share is checked on the server's own disk.
// Copies of whole files are the endpoint's and the sync suite's.

#include "SmbTestSupport.h"

#include "platform/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <tuple>
#include <vector>

namespace smbtest {
namespace {

using namespace tandemora;

// Each entry's name, kind, size, time and attributes, sorted by name.
using TListed = std::vector<std::tuple<std::string, bool, int64_t, int32_t, uint32_t>>;
TListed SortedListing(const std::string& path, int& error) {
    std::vector<fs::DirEntry> entries;
    error = fs::ListFolder(path, entries);
    TListed listed;
    for (const fs::DirEntry& e : entries) {
        listed.emplace_back(e.Name, e.IsFolder, e.Size, e.Time, e.Attr);
    }
    std::sort(listed.begin(), listed.end());
    return listed;
}

// Escapes, and refusal of a server part libsmbclient would read as an account or options.
TEST(SmbUrl, NetworkPathsBecomeEncodedUrls) {
    const std::pair<std::string, std::string> cases[] = {
        {"\\\\srv\\share\\dir\\f.txt", "smb://srv/share/dir/f.txt"},
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
    endpointtest::SetModifyTime(Share.Disk("sub"), 1650000000);

    int error = -1;
    const TListed expected = SortedListing(Share.Disk(), error);
    ASSERT_EQ(expected.size(), 5u);
    for (const std::string& path : {Share.Unc(), Share.Unc("", '/') + "/"}) {
        EXPECT_EQ(SortedListing(path, error), expected) << path;
        EXPECT_EQ(error, 0) << path;
    }
    // ".hidden" and "ro.txt"; the engine relies on these
    EXPECT_EQ(std::get<4>(expected[0]), fs::faArchive | fs::faHidden);
    EXPECT_EQ(std::get<4>(expected[3]), fs::faArchive | fs::faReadOnly);
}

// What cannot be listed, opened, deleted or made fails with the reason, never as empty or done.
TEST_F(SmbFileSystemTest, EachFailureHasItsReason) {
    Share.Put("locked/secret.txt", "s");
    Share.Put("file.txt", "f");
    Share.Put("ro.txt", "keep");
    chmod(Share.Disk("ro.txt").c_str(), 0444);
    Share.MakeFolder("folder/inner");
    Share.Lock("locked");
    const std::pair<std::string, int> lists[] = {
        {"locked", EACCES}, {"missing", ENOENT}, {"file.txt", ENOTDIR}};
    for (const auto& [rel, expected] : lists) {
        int calls = 0;
        EXPECT_EQ(fs::ListFolder(Share.Unc(rel), [&calls](const fs::DirEntry&) { ++calls; }), expected)
            << rel;
        EXPECT_EQ(calls, 0) << rel;
    }
    EXPECT_TRUE(fs::DirectoryExists(Share.Unc("locked"))); // the folder is seen, only its content is not
    for (const auto& [rel, error] :
         {std::pair<std::string, int>{"folder", EISDIR}, {"missing.bin", ENOENT}}) {
        fs::TFileHandle file;
        EXPECT_FALSE(file.OpenRead(Share.Unc(rel))) << rel;
        EXPECT_EQ(errno, error) << rel;
        EXPECT_EQ(fs::GetFileSize64(Share.Unc(rel)), -1) << rel;
    }
    fs::TFileHandle exclusive;
    EXPECT_FALSE(exclusive.CreateNew(Share.Unc("file.txt")));
    EXPECT_EQ(errno, EEXIST);
    for (const auto& [rel, error] :
         {std::pair<std::string, int>{"ro.txt", EACCES}, {"folder", EISDIR}, {"missing", ENOENT}}) {
        EXPECT_FALSE(fs::DeleteFile(Share.Unc(rel))) << rel;
        EXPECT_EQ(errno, error) << rel;
    }
    EXPECT_FALSE(fs::CreateFolder(Share.Unc("folder")));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(fs::CreateFolder(Share.Unc("no/such/parent")));
    EXPECT_FALSE(fs::ForceDirectories(Share.Unc("file.txt/below")));
    EXPECT_FALSE(fs::RemoveFolder(Share.Unc("folder")));
    EXPECT_EQ(errno, ENOTEMPTY);
    // Nothing moves between a share and the disk.
    EXPECT_FALSE(fs::RenameFile(Share.Unc("file.txt"), Home / "local.txt"));
    EXPECT_EQ(errno, EXDEV);
    EXPECT_FALSE(fs::RenameFile(Share.Unc("missing"), Share.Unc("other")));
    // A failed attempt to date a file must not spoil the connection for what follows.
    EXPECT_FALSE(fs::SetFileDosTime(Share.Unc("missing.txt"), fs::UnixToDosTime(timespec{1500000000, 0})));
    EXPECT_TRUE(fs::IsReadOnly(Share.Unc("ro.txt")));
    ASSERT_TRUE(fs::ClearReadOnly(Share.Unc("ro.txt")));
    EXPECT_TRUE(fs::DeleteFile(Share.Unc("ro.txt")));
    EXPECT_FALSE(testsupport::Exists(Share.Disk("ro.txt")));
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
    EXPECT_EQ(ModifyTime(Share.Disk("dated.txt")), when.tv_sec);
    EXPECT_EQ(testsupport::ReadFile(Share.Disk("dated.txt")), "first second");
}

} // namespace
} // namespace smbtest
