// The windows as a person sees them on a 1280 x 800 screen: the main window at
// its own size whatever a task window shows, buttons that stay under the
// pointer from one analysis to the next, and columns wide enough for their texts.

#include "UiFixture.h"

#include "platform/Messages.h"
#include "ui/UResultModel.h"
#include "ui/UResultView.h"

#include <QScreen>

// Failures show places and sizes as numbers.
inline void PrintTo(const QPoint& point, std::ostream* out) {
    *out << "(" << point.x() << "," << point.y() << ")";
}
inline void PrintTo(const QSize& size, std::ostream* out) {
    *out << size.width() << "x" << size.height();
}

namespace uitest {
namespace {

using tandemora::TFSyncMain;

// Notes the widest the main window ever was while it is watched.
class WidthWatch : public QObject {
public:
    explicit WidthWatch(QWidget* window) : window_(window) { window->installEventFilter(this); }
    int Widest() const { return widest_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == window_ && event->type() == QEvent::Resize) {
            widest_ = std::max(widest_, window_->width());
        }
        return false;
    }

private:
    QWidget* window_;
    int widest_ = 0;
};

class LayoutTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        left = folders / "left";
        right = folders / "right";
        WriteFile(left + "/a.txt", "alpha");
        WriteFile(right + "/b.txt", "bravo");
    }

    // Where the run buttons are, in the main window's coordinates.
    std::vector<QPoint> ButtonPlaces(TFSyncMain* window) const {
        std::vector<QPoint> places;
        for (QPushButton* button : {window->BitBtn_Analyze, window->BitBtn_Sync, window->BitBtn_cancel}) {
            places.push_back(button->mapTo(main, QPoint(0, 0)));
        }
        return places;
    }

    bool Analyze(TFSyncMain* window) {
        Click(window->BitBtn_Analyze);
        return WaitIdle(window) && window->ResultTree != nullptr;
    }

    std::string left;
    std::string right;
};

TEST_F(LayoutTest, TheMainWindowKeepsItsSizeWhateverATaskWindowShows) {
    // A file whose path is over 300 characters long.
    std::string deep = left;
    for (int i = 0; i < 6; ++i) {
        deep += "/" + std::string(50, static_cast<char>('k' + i));
    }
    WriteFile(deep + "/file.txt", "deep");
    SaveTask("Docs", left, right);
    ASSERT_TRUE(Start());
    TFSyncMain* window = Window(0);
    ASSERT_NE(window, nullptr);
    WidthWatch watch(main);

    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(main->size(), QSize(900, 700));
    const QPoint offCentre = main->frameGeometry().center() - screen.center();
    EXPECT_LE(offCentre.manhattanLength(), 4) << offCentre.x() << "," << offCentre.y();

    ASSERT_TRUE(Analyze(window));
    Click(window->BitBtn_Sync);
    ASSERT_TRUE(WaitIdle(window));
    ASSERT_EQ(ReadFile(right + deep.substr(left.size()) + "/file.txt"), "deep");

    // The copy's status line names the whole path.
    const std::string copying = "Copy:" + deep + "/file.txt : 50%";
    ASSERT_GT(copying.size(), 300u);
    tandemora::SetSyncStatusText(copying);
    tandemora::SendNotifyMessage(window, tandemora::WM_COPYPROCESS, 0, 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(window->Label_ActionStatus->toolTip().toStdString(), copying);
    EXPECT_TRUE(window->Label_ActionStatus->Elided());

    // Nor does a notice of the main window widen it; it is read whole by
    // pointing at it or clicking it.
    main->LoadTaskList(deep + "/no such list.td");
    const QString notice = main->NoticeText();
    EXPECT_TRUE(notice.contains(QString::fromStdString(deep)));
    EXPECT_EQ(main->NoticePanel->toolTip(), notice);
    EXPECT_TRUE(main->NoticePanel->Elided());
    Click(main->NoticePanel);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text, notice);
    QCoreApplication::processEvents();

    EXPECT_EQ(main->size(), QSize(900, 700));
    EXPECT_LE(main->minimumSizeHint().width(), 900);
    EXPECT_LE(watch.Widest(), 900);
    EXPECT_TRUE(screen.contains(main->frameGeometry()));
}

TEST_F(LayoutTest, TheRunButtonsStayPutAcrossAnalyses) {
    SaveTask("Docs", left, right);
    ASSERT_TRUE(Start());
    TFSyncMain* window = Window(0);
    ASSERT_NE(window, nullptr);
    const std::vector<QPoint> before = ButtonPlaces(window);

    // Each analysis finds a different number of changes, so the captions of the
    // results filter change length.
    for (int files : {1, 12, 0, 150}) {
        SCOPED_TRACE(files);
        for (int i = 0; i < files; ++i) {
            WriteFile(left + "/new-" + std::to_string(files) + "-" + std::to_string(i) + ".txt", "x");
        }
        ASSERT_TRUE(Analyze(window));
        EXPECT_EQ(ButtonPlaces(window), before);
    }
}

TEST_F(LayoutTest, ColumnsFitTheirCaptionsAndATerabyte) {
    // Captions from the shipped language file, and from one that lacks the
    // column keys: the view's own captions say the same.
    const std::string shipped = ReadFile(ResourceFolder() + "en-english.lng");
    std::string withoutColumns;
    size_t start = 0;
    while (start < shipped.size()) {
        const size_t end = std::min(shipped.find('\n', start), shipped.size());
        const std::string line = shipped.substr(start, end - start + 1);
        if (line.rfind("tree_", 0) != 0) {
            withoutColumns += line;
        }
        start = end + 1;
    }
    ASSERT_NE(withoutColumns.size(), shipped.size());

    std::vector<QString> shippedCaptions;
    for (const std::string& language : {shipped, withoutColumns}) {
        SCOPED_TRACE(language.size());
        TearDown();
        SetUp();
        WriteFile(program / "en-english.lng", language);
        SaveTask("Docs", left, right);
        ASSERT_TRUE(Start());
        TFSyncMain* window = Window(0);
        ASSERT_NE(window, nullptr);
        tandemora::TResultView* view = window->VST1;
        QHeaderView* header = view->header();

        // A caption may take two lines; each line fits its column, the header
        // is high enough for them all, and no word is lost.
        std::vector<QString> captions;
        for (int i = 0; i < tandemora::TResultRowsModel::kColumnCount; ++i) {
            const QString caption = window->Model()->Caption(i);
            const QString shown = window->Model()->headerData(i, Qt::Horizontal).toString();
            captions.push_back(caption);
            const QStringList lines = shown.split('\n');
            EXPECT_LE(lines.size(), 2) << shown.toStdString();
            EXPECT_EQ(lines.join(' '), caption);
            const int textRoom = header->sectionSize(i) -
                                 2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
            for (const QString& line : lines) {
                EXPECT_GE(textRoom, header->fontMetrics().horizontalAdvance(line)) << line.toStdString();
            }
            EXPECT_GE(header->height(), static_cast<int>(lines.size()) * header->fontMetrics().height())
                << shown.toStdString();
        }
        if (shippedCaptions.empty()) {
            shippedCaptions = captions;
        } else {
            EXPECT_EQ(captions, shippedCaptions);
        }

        const QString terabyte = window->Model()->SizeText(int64_t(1) << 40);
        EXPECT_EQ(terabyte.count(QRegularExpression("[0-9]")), 13) << terabyte.toStdString();
        for (int column : {2, 8}) {
            EXPECT_GE(header->sectionSize(column), view->fontMetrics().horizontalAdvance(terabyte) + 4)
                << column;
        }
    }
}

} // namespace
} // namespace uitest
