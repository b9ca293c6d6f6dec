#include "platform/MountWatch.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace tandemora;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// A desktop's table as the kernel writes it: optional fields or none, the
// kernel's own file systems, a network share and the root disk.
const std::string kBaseTable =
    "22 27 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:13 - proc proc rw\n"
    "23 27 0:22 / /sys rw,nosuid,nodev,noexec,relatime shared:2 - sysfs sysfs rw\n"
    "27 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw,errors=remount-ro\n"
    "30 27 0:26 / /run rw,nosuid,nodev,noexec,relatime shared:5 - tmpfs tmpfs rw,size=1628820k,mode=755\n"
    "41 27 259:1 / /boot/efi rw,relatime shared:30 - vfat /dev/nvme0n1p1 rw,fmask=0077,dmask=0077\n"
    "88 27 0:52 / /mnt/share rw,relatime shared:44 - cifs //nas/share rw,vers=3.1.1,addr=10.0.0.2\n";

std::string Line(const std::string& text) {
    return text + "\n";
}

std::vector<std::string> Arrivals(const std::string& before, const std::string& after) {
    return NewVolumeMountPoints(ParseMountInfo(before), ParseMountInfo(after));
}

} // namespace

TEST(MountWatch, ReadsEveryFieldOfATableFile) {
    TempDir dir;
    WriteFile(dir / "mountinfo",
              kBaseTable +
                  Line("512 30 8:17 / /media/anna/My\\040Stick rw,nosuid,nodev,relatime shared:301 - vfat "
                       "/dev/sdb1 rw,uid=1000,gid=1000") +
                  Line("513 27 8:18 /photos /srv/back\\134slash rw,relatime master:1 propagate_from:1 - "
                       "fuseblk /dev/sdb2 rw,user_id=0") +
                  Line("514 27 8:19 / /mnt/tab\\011and\\012line rw - ext4 /dev/sdb3 rw"));
    TMountTable table;
    ASSERT_TRUE(ReadMountTable(dir / "mountinfo", table));
    ASSERT_EQ(table.size(), 9u);

    EXPECT_EQ(table[6].MountID, 512);
    EXPECT_EQ(table[6].Device, "8:17");
    EXPECT_EQ(table[6].MountPoint, "/media/anna/My Stick");
    EXPECT_EQ(table[6].Source, "/dev/sdb1");
    // Two optional fields before the separator.
    EXPECT_EQ(table[7].Root, "/photos");
    EXPECT_EQ(table[7].MountPoint, "/srv/back\\slash");
    EXPECT_EQ(table[7].FsType, "fuseblk");
    EXPECT_EQ(table[7].Source, "/dev/sdb2");
    // No optional field at all.
    EXPECT_EQ(table[8].MountPoint, "/mnt/tab\tand\nline");
    EXPECT_EQ(table[8].FsType, "ext4");
}

TEST(MountWatch, DamagedLinesAreLeftOut) {
    const struct {
        const char* Name;
        std::string Line;
    } cases[] = {
        {"no separator", "600 27 8:33 / /media/x rw shared:9 vfat /dev/sdc1 rw"},
        {"nothing after the separator", "600 27 8:33 / /media/x rw - vfat"},
        {"ID not a number", "6x0 27 8:33 / /media/x rw - vfat /dev/sdc1 rw"},
        {"cut short", "600 27 8:33 / /media"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const TMountTable table =
            ParseMountInfo(kBaseTable + Line(c.Line) + Line("2 1 0:5 / /x rw - ext4 /dev/y rw"));
        ASSERT_EQ(table.size(), 7u);
        EXPECT_EQ(table[6].MountPoint, "/x"); // the line after the damage is still read
    }
}

TEST(MountWatch, OctalEscapesAreDecodedOnlyWhenComplete) {
    const struct {
        std::string Field;
        std::string Decoded;
    } cases[] = {
        {"/media/My\\040Stick", "/media/My Stick"},
        {"\\011\\012\\134", "\t\n\\"},
        {"/a\\04", "/a\\04"},   // cut short at the end
        {"/a\\400", "/a\\400"}, // beyond one byte
        {"/a\\\\040", "/a\\ "}, // a plain backslash, then an escape
        {"/caf\\303\\251", "/caf\xc3\xa9"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecodeMountField(c.Field), c.Decoded) << c.Field;
    }
}

TEST(MountWatch, OnlyNewlyConnectedVolumesArrive) {
    const std::string stick =
        Line("512 30 8:17 / /media/anna/STICK rw,nosuid shared:301 - vfat /dev/sdb1 rw");
    const std::string stickAgain =
        Line("530 30 8:17 / /media/anna/STICK rw,nosuid shared:301 - vfat /dev/sdb1 rw");
    const struct {
        const char* Name;
        std::string Before;
        std::string After;
        std::vector<std::string> Arrived;
    } cases[] = {
        {"nothing changed", kBaseTable, kBaseTable, {}},
        {"memory stick", kBaseTable, kBaseTable + stick, {"/media/anna/STICK"}},
        {"stick taken away", kBaseTable + stick, kBaseTable, {}},
        {"taken away and connected again between readings",
         kBaseTable + stick,
         kBaseTable + stickAgain,
         {"/media/anna/STICK"}},
        {"kernel gave the old ID to another device",
         kBaseTable + stick,
         kBaseTable + Line("512 30 8:33 / /media/anna/DISK rw - ext4 /dev/sdc1 rw"),
         {"/media/anna/DISK"}},
        {"encrypted volume",
         kBaseTable,
         kBaseTable + Line("600 30 254:3 / /media/a/safe rw - ext4 /dev/mapper/luks-1234 rw"),
         {"/media/a/safe"}},
        {"network share",
         kBaseTable,
         kBaseTable + Line("600 27 0:60 / /mnt/nas rw - cifs //nas/photos rw,vers=3.0"),
         {}},
        {"kernel file system",
         kBaseTable,
         kBaseTable + Line("600 30 0:63 / /run/user/1000 rw - tmpfs tmpfs rw"),
         {}},
        {"disc inserted",
         kBaseTable,
         kBaseTable + Line("600 30 11:0 / /media/a/CDROM ro - iso9660 /dev/sr0 ro"),
         {}},
        {"folder of the root disk bound elsewhere",
         kBaseTable,
         kBaseTable + Line("600 27 259:2 /home/a/data /srv/data rw - ext4 /dev/nvme0n1p2 rw"),
         {}},
        {"same stick shown twice",
         kBaseTable,
         kBaseTable + stick + Line("513 30 8:17 / /media/anna/STICK rw - vfat /dev/sdb1 rw"),
         {"/media/anna/STICK"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Arrivals(c.Before, c.After), c.Arrived) << c.Name;
    }
}

TEST(MountWatch, ARefreshComparesWithTheLastGoodReading) {
    TempDir dir;
    const std::string path = dir / "mountinfo";
    const std::string stick = Line("512 30 8:17 / /media/a/STICK rw - vfat /dev/sdb1 rw");
    const std::string disk = Line("513 30 8:33 / /media/a/DISK rw - ext4 /dev/sdc1 rw");
    WriteFile(path, kBaseTable);

    TMountWatch watch;
    EXPECT_FALSE(watch.Open(dir / "none"));
    EXPECT_EQ(watch.Fd(), -1);
    ASSERT_TRUE(watch.Open(path));
    EXPECT_GE(watch.Fd(), 0);
    EXPECT_EQ(watch.Table().size(), 6u);
    EXPECT_TRUE(watch.Refresh().empty());

    WriteFile(path, kBaseTable + stick);
    EXPECT_EQ(watch.Refresh(), std::vector<std::string>{"/media/a/STICK"});
    EXPECT_TRUE(watch.Refresh().empty()); // told once

    // A reading that fails finds nothing and forgets nothing.
    std::remove(path.c_str());
    EXPECT_TRUE(watch.Refresh().empty());
    EXPECT_EQ(watch.Table().size(), 7u);
    WriteFile(path, kBaseTable + stick + disk);
    EXPECT_EQ(watch.Refresh(), std::vector<std::string>{"/media/a/DISK"});

    watch.Close();
    EXPECT_EQ(watch.Fd(), -1);
    WriteFile(path, kBaseTable);
    EXPECT_TRUE(watch.Refresh().empty());
}
