// A task window run as a person runs it: two real folders, Analyze and Sync
// clicked, the lines of the log panel read, the files on disk checked.

#include "UiFixture.h"

#include "platform/MainThread.h"
#include "ui/UNotifyEvent.h"
#include "ui/UResultModel.h"

#include <QImage>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <cerrno>
#include <cstring>
#include <regex>
#include <sys/mount.h>

namespace uitest {
namespace {

using tandemora::TFSyncMain;

class TaskWindowTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        left = folders / "left";
        right = folders / "right";
        WriteFile(left + "/a.txt", "alpha");
        WriteFile(left + "/sub/b.txt", "bravo!");
        WriteFile(right + "/c.txt", "charlie");
    }

    // Starts the program with one task "Docs" over the two folders.
    TFSyncMain* StartWithDocs(const std::function<void(tandemora::TSyncTask&)>& adjust = {}) {
        syncId = SaveTask("Docs", left, right, adjust);
        EXPECT_TRUE(Start());
        return Window(0);
    }

    static QColor LineColour(TFSyncMain* window, int index) {
        const QTextBlock block = window->memo1->document()->findBlockByNumber(index);
        return block.begin().fragment().charFormat().foreground().color();
    }

    // Names of the rows below the root row, depth first.
    static std::vector<std::string> RowNames(TFSyncMain* window) {
        std::vector<std::string> names;
        window->Rows().ForEachRow([&](tandemora::TResultRow* row) {
            if (row != window->Rows().RootRow()) {
                names.push_back(row->Name);
            }
        });
        return names;
    }

    std::string left;
    std::string right;
    std::string syncId;
};

TEST_F(TaskWindowTest, AnalyzeAndSyncTwoFoldersByClicking) {
    WriteOptions({{"SaveLog", "1"}});
    TFSyncMain* window = StartWithDocs();
    ASSERT_NE(window, nullptr);
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));

    // The first analysis has no snapshots and says so in red; then the
    // record: header, counts, disk and times lines, word for word.
    const auto& log = window->LogLines();
    ASSERT_EQ(log.size(), 6u);
    const std::string direct = "No snapshots of an earlier sync to compare with (the first sync, or they are "
                               "gone): the folders are compared directly, by time.";
    EXPECT_EQ(log[0], direct);
    EXPECT_TRUE(std::regex_match(log[1], std::regex("----- .+ ,Job:\"Docs\" ,ANALYSIS,.*,.* -----")))
        << log[1];
    EXPECT_EQ(log[2], left + " <-> " + right);
    EXPECT_EQ(log[3], "All:3,Changed:3,Conflicts:0,Errors:0,Included:3,Excluded:0");
    const std::string mount = tandemora::fs::MountPointOf(left);
    const std::string disk = "Folder:" + mount + ",Total Size:[0-9]+MB, Free size:[0-9]+MB";
    EXPECT_TRUE(std::regex_match(log[4], std::regex("Left " + disk + ";Right " + disk))) << log[4];
    EXPECT_TRUE(std::regex_match(
        log[5], std::regex("----- Analysis TotalTime:[0-9]+ ms Scan File Time:[0-9]+ ms -----")))
        << log[5];

    EXPECT_EQ(RowNames(window), (std::vector<std::string>{"sub", "b.txt", "a.txt", "c.txt"}));

    Click(window->BitBtn_Sync);
    ASSERT_TRUE(WaitIdle(window));

    EXPECT_EQ(ReadFile(right + "/a.txt"), "alpha");
    EXPECT_EQ(ReadFile(right + "/sub/b.txt"), "bravo!");
    EXPECT_EQ(ReadFile(left + "/c.txt"), "charlie");
    EXPECT_FALSE(window->BitBtn_Sync->isEnabled()); // a new analysis is needed

    // The sync lines: its header after the analysis record, the end line last.
    ASSERT_GT(window->LogLines().size(), 8u);
    EXPECT_TRUE(std::regex_match(window->LogLines()[6], std::regex("----- .+ ,Job:\"Docs\" ,SYNC,.* -----")));
    EXPECT_TRUE(
        std::regex_match(window->LogLines().back(), std::regex("----- Sync End. Time:[0-9]+ms -----")));
    // The panel shows every line once, in order, the sync's included.
    std::string shown;
    for (const std::string& line : window->LogLines()) {
        shown += (shown.empty() ? "" : "\n") + line;
    }
    EXPECT_EQ(window->memo1->toPlainText().toStdString(), shown);
    EXPECT_EQ(window->SyncLogStart, 6);

    // The task log holds the analysis record and the sync record, which ends
    // with an empty line.
    const std::string taskLog = ReadFile(program / (syncId + ".log"));
    EXPECT_NE(taskLog.find(",ANALYSIS,"), std::string::npos);
    EXPECT_NE(taskLog.find(" <-> " + right + "\r\n" + direct + "\r\nAll:3,"), std::string::npos) << taskLog;
    EXPECT_NE(taskLog.find("All:3,Changed:3,Conflicts:0,Errors:0,Included:3,Excluded:0\r\n"),
              std::string::npos);
    EXPECT_NE(taskLog.find(window->LogLines().back() + "\r\n\r\n"), std::string::npos);

    // Analysed again, the folders are in step.
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));
    EXPECT_EQ(LinesStarting(window, "All:").back(),
              "All:3,Changed:0,Conflicts:0,Errors:0,Included:3,Excluded:0");
    EXPECT_EQ(LinesStarting(window, "No snapshots").size(), 1u); // the second compared with snapshots
    EXPECT_FALSE(window->BitBtn_Sync->isEnabled());
}

TEST_F(TaskWindowTest, FolderChecksEndTheAttemptWithOneLine) {
    struct Case {
        const char* Name;
        std::string Left;
        std::string Right;
        std::string Line;
        bool Red;
    };
    TFSyncMain* window = StartWithDocs();
    ASSERT_NE(window, nullptr);
    const std::string nowhere = folders / "nowhere";
    const Case cases[] = {
        {"same folder", left, left, "Left and right folders are the same", true},
        {"nested", left, left + "/sub", "Cannot Analyze nested folders.", true},
        // The endpoints trim the blanks, so these name the same folder twice.
        {"same folder with a blank", left, left + " ", "Left and right folders are the same", true},
        {"nested with a blank", " " + left, left + "/sub", "Cannot Analyze nested folders.", true},
        {"empty", "", right, "Folders is empty.", true},
        // A local folder that is not there cannot be connected at all; the line says why.
        {"left missing", nowhere, right,
         "Cannot connect Left folder: " + nowhere + " (No such file or directory)", false},
        {"right missing", left, nowhere,
         "Cannot connect Right folder: " + nowhere + " (No such file or directory)", false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].Name);
        window->Task->LFolder.FolerAllName = cases[i].Left;
        window->Task->RFolder.FolerAllName = cases[i].Right;
        const size_t before = window->LogLines().size();
        Click(window->BitBtn_Analyze);
        EXPECT_FALSE(window->IsBusy());
        ASSERT_EQ(window->LogLines().size(), before + 1);
        EXPECT_EQ(window->LogLines().back(), cases[i].Line);
        const QColor colour = LineColour(window, static_cast<int>(before));
        EXPECT_EQ(colour == QColor(255, 0, 0), cases[i].Red) << colour.name().toStdString();
    }
    EXPECT_EQ(window->SyncAfterAnalyze, 0);
}

// A typed path is saved when the edit is left, and drops the result shown for
// the old folder; leaving it unchanged keeps the result.
TEST_F(TaskWindowTest, ATypedPathIsSavedAndDropsTheResultShownForTheOldFolder) {
    TFSyncMain* window = StartWithDocs();
    ASSERT_NE(window, nullptr);
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));
    QTest::keyClick(window->Edit_RFolder, Qt::Key_Return);
    EXPECT_TRUE(window->BitBtn_Sync->isEnabled());

    const std::string other = folders / "other";
    window->Edit_RFolder->clear();
    QTest::keyClicks(window->Edit_RFolder, QString::fromStdString(other + "/"));
    QTest::keyClick(window->Edit_RFolder, Qt::Key_Return);
    EXPECT_EQ(window->Task->RFolder.FolerAllName, other);
    EXPECT_NE(ReadFile(program / "tasklist.td").find("<FolerAllName>" + other + "</FolerAllName>"),
              std::string::npos);
    EXPECT_FALSE(window->BitBtn_Sync->isEnabled()); // a new analysis is needed
    EXPECT_EQ(window->ResultTree, nullptr);
}

// Blanks around a typed or pasted path are not part of the folder: the path is
// stored and shown without them, and the same folder with blanks around it
// keeps the result.
TEST_F(TaskWindowTest, ATypedPathIsTrimmedOnBothEnds) {
    TFSyncMain* window = StartWithDocs();
    ASSERT_NE(window, nullptr);
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));
    const std::string other = folders / "other";
    const struct {
        std::string Typed;
        std::string Stored;
        bool SyncOffered; // the result of the first analysis is still shown
    } cases[] = {
        {"  " + left + "\t", left, true},
        {"   " + other + "  ", other, false},
        {"\t" + other + "/ ", other, false}, // the result went with the case above
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Typed);
        window->edit_LFolder->setFocus();
        window->edit_LFolder->setText(QString::fromStdString(c.Typed));
        QTest::keyClick(window->edit_LFolder, Qt::Key_Return);
        EXPECT_EQ(window->Task->LFolder.FolerAllName, c.Stored);
        EXPECT_EQ(window->edit_LFolder->text().toStdString(), c.Stored);
        EXPECT_EQ(window->BitBtn_Sync->isEnabled(), c.SyncOffered);
        EXPECT_NE(ReadFile(program / "tasklist.td").find("<FolerAllName>" + c.Stored + "</FolerAllName>"),
                  std::string::npos);
    }
}

// The options button shows the direction as an image, one per direction; the
// Sync glyph's white is transparent.
TEST_F(TaskWindowTest, TheButtonsShowTheirImages) {
    TFSyncMain* window = StartWithDocs();
    ASSERT_NE(window, nullptr);
    std::set<qint64> shown;
    for (const int32_t direction :
         {tandemora::sdBothWays, tandemora::sdLeftToRight, tandemora::sdRightToLeft}) {
        window->Task->SyncDirection = direction;
        window->InitView();
        const QIcon icon = window->bt_taskconfig->icon();
        ASSERT_FALSE(icon.isNull());
        EXPECT_EQ(icon.cacheKey(), window->ButtonImages.iml_button[1 + direction].cacheKey());
        shown.insert(icon.cacheKey());
    }
    EXPECT_EQ(shown.size(), 3u);
    for (QPushButton* button : {window->BitBtn_Analyze, window->BitBtn_Sync, window->BitBtn_cancel}) {
        EXPECT_FALSE(button->icon().isNull());
    }
    const QImage sync = window->BitBtn_Sync->icon().pixmap(16, 16).toImage();
    EXPECT_EQ(qAlpha(sync.pixel(0, 0)), 0);   // the white around it
    EXPECT_EQ(qAlpha(sync.pixel(3, 8)), 255); // the arrow
}

TEST_F(TaskWindowTest, CancelDuringTheScanStartsNoComparison) {
    TFSyncMain* window = StartWithDocs();
    ASSERT_NE(window, nullptr);
    Click(window->BitBtn_Analyze);
    // The scanners' ends wait for the event loop, so the window is still scanning.
    ASSERT_EQ(window->ScanCount, 2);
    Click(window->BitBtn_cancel);
    ASSERT_TRUE(WaitIdle(window));
    EXPECT_EQ(window->ResultTree, nullptr);
    EXPECT_EQ(LinesStarting(window, "----- Analysis TotalTime:").size(), 1u);
    EXPECT_TRUE(LinesStarting(window, "All:").empty());
    EXPECT_FALSE(window->BitBtn_Sync->isEnabled());
    EXPECT_EQ(window->Cancelled, 0);

    // The next analysis runs normally.
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));
    EXPECT_EQ(LinesStarting(window, "All:").size(), 1u);
    EXPECT_TRUE(window->BitBtn_Sync->isEnabled());
}

TEST_F(TaskWindowTest, DiskSpaceCheckNamesTheSideThatLacksRoom) {
    TFSyncMain* window = StartWithDocs();
    ASSERT_NE(window, nullptr);
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));
    ASSERT_GT(window->Rows().LeftNeeded, 0);
    ASSERT_GT(window->Rows().RightNeeded, 0);
    struct Case {
        int64_t LeftFree;
        int64_t RightFree;
        const char* Text; // nullptr: no refusal
    };
    // Free bytes as a measurement might have found them; the right side's
    // message wins when both lack room, and an unmeasured side (-1) never refuses.
    const Case cases[] = {
        {0, 1LL << 40, "Left Folder disk space is not enough."},
        {1LL << 40, 0, "Right Folder disk space is not enough."},
        {0, 0, "Right Folder disk space is not enough."},
    };
    const size_t before = window->LogLines().size();
    for (const Case& c : cases) {
        boxes.clear();
        window->LeftFree = c.LeftFree;
        window->RightFree = c.RightFree;
        Click(window->BitBtn_Sync);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].Text.toStdString(), c.Text);
        EXPECT_FALSE(window->IsBusy());
        EXPECT_EQ(window->LogLines().size(), before); // no sync header
    }
    EXPECT_FALSE(testsupport::Exists(right + "/a.txt"));
    boxes.clear();
    window->LeftFree = -1;
    window->RightFree = -1;
    Click(window->BitBtn_Sync);
    EXPECT_TRUE(boxes.empty());
    ASSERT_TRUE(WaitIdle(window));
    EXPECT_EQ(ReadFile(right + "/a.txt"), "alpha");
}

// Analyze-and-Sync asked for by the person at the window (F9) tells of too
// little room in a box, as the Sync button does; a run a trigger started, with
// nobody to answer, writes the reason to the log instead.
TEST_F(TaskWindowTest, AnalyzeAndSyncByHandShowsTheDiskSpaceBox) {
    TFSyncMain* window = StartWithDocs();
    ASSERT_NE(window, nullptr);
    const struct {
        const char* Name;
        bool ByHand;
    } cases[] = {{"F9", true}, {"trigger", false}};
    const std::string refusal = "Right Folder disk space is not enough.";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        boxes.clear();
        const size_t analyses = LinesStarting(window, "All:").size();
        // The room is taken away by the analysis' own end, before its sync
        // (which follows at once when nobody watches).
        const QMetaObject::Connection noRoom =
            QObject::connect(window, &TFSyncMain::RunStateChanged, window, [&] {
                if (LinesStarting(window, "All:").size() > analyses) {
                    window->RightFree = 0;
                }
            });
        if (c.ByHand) {
            main->Action_AS->trigger();
        } else {
            window->Task->Unattended = true;
            window->AnalyzeAndSync();
        }
        ASSERT_TRUE(WaitUntil([&] { return LinesStarting(window, "All:").size() > analyses; }));
        ASSERT_TRUE(WaitIdle(window));
        QObject::disconnect(noRoom);
        if (c.ByHand) {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].Text.toStdString(), refusal);
            EXPECT_TRUE(LinesStarting(window, refusal).empty());
        } else {
            EXPECT_TRUE(boxes.empty());
            EXPECT_EQ(LinesStarting(window, refusal).size(), 1u);
        }
        EXPECT_TRUE(LinesStarting(window, "----- Sync End.").empty());
        EXPECT_FALSE(testsupport::Exists(right + "/a.txt"));
    }
}

TEST_F(TaskWindowTest, AFilterPatternThatDoesNotCompileIsNamedInRed) {
    TFSyncMain* window = StartWithDocs([](tandemora::TSyncTask& t) { t.ExcludeFilter = {"bak$", "(("}; });
    ASSERT_NE(window, nullptr);
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));
    // Once in red, and once in the analysis record, where its counts would stand.
    const std::vector<std::string> lines = LinesStarting(window, "Invalid filter pattern");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("Invalid filter pattern \"((\": ", 0), 0u) << lines[0];
    int index = 0;
    while (window->LogLines()[index] != lines[0]) {
        ++index;
    }
    EXPECT_EQ(LineColour(window, index), QColor(255, 0, 0));
    // Nothing is offered for a sync the filters could not shape.
    EXPECT_FALSE(window->BitBtn_Sync->isEnabled());
    EXPECT_EQ(window->Rows().ResultTree(), nullptr);
    EXPECT_TRUE(RowNames(window).empty());
    Click(window->BitBtn_Sync);
    ASSERT_TRUE(WaitIdle(window));
    EXPECT_FALSE(testsupport::Exists(right + "/a.txt"));
}

// A folder chain whose full path is longer than the system allows, so the scan
// cannot open its deepest folders (whoever runs the test); the chain is removed
// through relative steps, which the ordinary removal cannot take.
void LongChain(int dir, bool make, int level = 0) {
    const std::string part(200, 'd');
    if (dir >= 0 && level < 25) {
        if (make) {
            mkdirat(dir, part.c_str(), 0755);
        }
        LongChain(openat(dir, part.c_str(), O_DIRECTORY), make, level + 1);
        if (!make) {
            unlinkat(dir, part.c_str(), AT_REMOVEDIR);
        }
    }
    if (dir >= 0) {
        close(dir);
    }
}

TEST_F(TaskWindowTest, FoldersTheScanCouldNotReadAreNamed) {
    LongChain(open(left.c_str(), O_DIRECTORY), true);
    std::shared_ptr<void> removal(nullptr, [&](void*) { LongChain(open(left.c_str(), O_DIRECTORY), false); });
    TFSyncMain* window = StartWithDocs();
    ASSERT_NE(window, nullptr);
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));
    const std::vector<std::string> lines =
        LinesStarting(window, "Not read, left as they are: " + left + "/ddd");
    ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(window->LogLines());
    // The rest of the result is still offered.
    EXPECT_EQ(LinesStarting(window, "All:").size(), 1u);
}

TEST_F(TaskWindowTest, AFolderThatTurnsUpEmptyIsNamedInRedAndDeletesNothing) {
    // Snapshots kept on this computer: the emptied folder does not take its own with it.
    TFSyncMain* window = StartWithDocs([](tandemora::TSyncTask& task) {
        task.IsDeleteFile = 1;
        task.EstimateDiskSpace = 1;
    });
    ASSERT_NE(window, nullptr);
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));
    Click(window->BitBtn_Sync);
    ASSERT_TRUE(WaitIdle(window));
    // One file deleted on the left: its deletion on the right is a change.
    std::filesystem::remove(left + "/a.txt");
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));
    EXPECT_EQ(window->rb_changed->text(), "Changes(1)");
    // The drive behind the left folder is gone: only its empty mount point is left.
    std::filesystem::remove_all(left);
    std::filesystem::create_directories(left);
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));
    const std::string line =
        "The Left folder is empty but held items at the last sync (is its drive missing?): "
        "nothing is deleted on the Right side on its account.";
    const auto& log = window->LogLines();
    const auto at = std::find(log.begin(), log.end(), line);
    ASSERT_NE(at, log.end()) << ::testing::PrintToString(log);
    EXPECT_EQ(LineColour(window, static_cast<int>(at - log.begin())), QColor(255, 0, 0));
    EXPECT_FALSE(window->BitBtn_Sync->isEnabled()); // nothing to delete
}

// A disk mounted on a folder of the left side, synchronised, then not mounted:
// one red line names the folder, and nothing is deleted on the right.
TEST_F(TaskWindowTest, AFolderWhoseDiskIsNotMountedIsNamedInRedAndDeletesNothing) {
    const std::string photos = left + "/photos";
    std::filesystem::create_directories(photos);
    if (mount("tandemora-test", photos.c_str(), "tmpfs", 0, "size=1m") != 0) {
        GTEST_SKIP() << "cannot mount on " << photos << ": " << std::strerror(errno);
    }
    struct TUnmount {
        std::string path;
        ~TUnmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{photos};
    WriteFile(photos + "/p.jpg", "picture");
    TFSyncMain* window = StartWithDocs([](tandemora::TSyncTask& task) { task.IsDeleteFile = 1; });
    ASSERT_NE(window, nullptr);
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));
    Click(window->BitBtn_Sync);
    ASSERT_TRUE(WaitIdle(window));
    ASSERT_TRUE(std::filesystem::exists(right + "/photos/p.jpg"));

    ASSERT_EQ(umount2(photos.c_str(), MNT_DETACH), 0);
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));
    const std::string line = "The folder " + photos +
                             " is empty but held items at the last sync (is its drive not mounted?): "
                             "nothing is deleted on the Right side on its account.";
    const auto& log = window->LogLines();
    const auto at = std::find(log.begin(), log.end(), line);
    ASSERT_NE(at, log.end()) << ::testing::PrintToString(log);
    EXPECT_EQ(LineColour(window, static_cast<int>(at - log.begin())), QColor(255, 0, 0));
    EXPECT_FALSE(window->BitBtn_Sync->isEnabled()); // nothing to delete
    EXPECT_TRUE(std::filesystem::exists(right + "/photos/p.jpg"));
}

// "Do not copy" on a folder row keeps the files below it where they are.
TEST_F(TaskWindowTest, DoNotCopyOnAFolderKeepsItsFiles) {
    TFSyncMain* window = StartWithDocs();
    ASSERT_NE(window, nullptr);
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));

    QTreeView* view = window->VST1;
    const QModelIndex root = window->Model()->index(0, 0);
    const QModelIndex sub = window->Model()->index(0, 0, root);
    ASSERT_EQ(sub.data().toString(), "sub");
    view->setCurrentIndex(sub);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(sub).center());
    ASSERT_TRUE(window->act_pop_Donotcopy->isEnabled());
    SendNotifyMessage(window, tandemora::WM_NOT_COPY, 0, 10);
    EXPECT_EQ(window->Model()->index(0, 0, sub).data(tandemora::TResultRowsModel::ActionRole).toInt(),
              tandemora::saDoNotCopy);
    EXPECT_FALSE(window->BitBtn_Sync->isEnabled());
    Click(window->rb_changed);
    EXPECT_EQ(window->rb_changed->text(), "Changes(2)");
    Click(window->BitBtn_Sync);
    ASSERT_TRUE(WaitIdle(window));
    EXPECT_TRUE(testsupport::Exists(right + "/a.txt"));
    EXPECT_FALSE(testsupport::Exists(right + "/sub/b.txt"));
}

// A path typed while a run holds the folders is not taken: the run keeps the
// folder it was started for. The races: typed (and Return pressed) after a
// cancel but before the comparison's end handler has run (its workers still
// read the folders); typed when a run starts from the menu or in the second
// before the sync that follows an analysis (the run disables the edit and so
// takes its focus).
TEST_F(TaskWindowTest, APathTypedWhileARunHoldsTheFoldersIsNotTaken) {
    enum { kBeforeTheCancelledEnd, kBeforeAMenuRun, kWhileTheSyncWaits };
    const std::pair<const char*, int> cases[] = {
        {"cancelled comparison not yet ended", kBeforeTheCancelledEnd},
        {"analysis from the menu", kBeforeAMenuRun},
        {"sync one second after the analysis", kWhileTheSyncWaits},
    };
    TFSyncMain* window = StartWithDocs();
    ASSERT_NE(window, nullptr);
    main->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(main));
    auto typeIntoRight = [&] {
        window->Edit_RFolder->setFocus();
        ASSERT_TRUE(window->Edit_RFolder->hasFocus());
        QTest::keyClicks(window->Edit_RFolder, "-new");
        ASSERT_EQ(window->Edit_RFolder->text().toStdString(), right + "-new");
    };
    for (const auto& [name, when] : cases) {
        SCOPED_TRACE(name);
        const size_t summaries = LinesStarting(window, "All:").size();
        if (when == kBeforeTheCancelledEnd) {
            // The end handlers wait in a queue of the test's own, so the
            // comparison is surely still under way when cancel is clicked.
            tandemora::TQueueDispatcher ends;
            tandemora::ScopedMainThreadDispatcher scoped(&ends);
            Click(window->BitBtn_Analyze);
            ASSERT_TRUE(ends.WaitAndProcess([&] { return window->AnalyzeThread != nullptr; }));
            Click(window->BitBtn_cancel);
            typeIntoRight();
            QTest::keyClick(window->Edit_RFolder, Qt::Key_Return);
            EXPECT_EQ(window->Edit_RFolder->text().toStdString(), right);
            ASSERT_TRUE(ends.WaitAndProcess([&] { return !window->IsBusy(); }));
            // It still ended through its end handler, with a second summary.
            EXPECT_EQ(LinesStarting(window, "----- Analysis TotalTime:").size(), 2u);
        } else {
            if (when == kBeforeAMenuRun) {
                typeIntoRight();
            }
            SendNotifyMessage(
                window, when == kBeforeAMenuRun ? tandemora::WM_ANAL_JOB : tandemora::WM_ANAL_SYNC, 0, 10);
            if (when == kWhileTheSyncWaits) {
                ASSERT_TRUE(WaitUntil([&] { return LinesStarting(window, "All:").size() > summaries; }));
                ASSERT_TRUE(window->IsBusy()); // the second before the sync
                typeIntoRight();
            }
            ASSERT_TRUE(WaitIdle(window));
            ASSERT_EQ(LinesStarting(window, "All:").size(), summaries + 1);
            EXPECT_EQ(LinesStarting(window, "All:").back(),
                      "All:3,Changed:3,Conflicts:0,Errors:0,Included:3,Excluded:0");
        }
        EXPECT_EQ(window->Task->RFolder.FolerAllName, right);
        EXPECT_EQ(window->Edit_RFolder->text().toStdString(), right);
        EXPECT_EQ(ReadFile(program / "tasklist.td").find(right + "-new"), std::string::npos);
    }
    EXPECT_EQ(LinesStarting(window, "----- Sync End. Time:").size(), 1u);
    EXPECT_EQ(ReadFile(right + "/a.txt"), "alpha");
    EXPECT_FALSE(testsupport::Exists(right + "-new"));
    // Once the runs have ended, a typed path is taken.
    const std::string other = folders / "other";
    window->Edit_RFolder->setText(QString::fromStdString(other));
    QTest::keyClick(window->Edit_RFolder, Qt::Key_Return);
    EXPECT_EQ(window->Task->RFolder.FolerAllName, other);
}

} // namespace
} // namespace uitest
