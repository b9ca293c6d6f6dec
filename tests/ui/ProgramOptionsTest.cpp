// The program options dialog driven as a person drives it: boxes clicked, a
// language chosen, patterns added, typed and deleted, OK, Apply and Cancel; then
// the options file on disk and the autostart entry checked.

#include "UiFixture.h"

#include "dialogs/UFTandemoraOptions.h"

namespace uitest {
namespace {

using tandemora::TFTandemoraOptions;

class ProgramOptionsTest : public DialogTest {
protected:
    // The options as they are written now (the way the next start reads them).
    std::unique_ptr<tandemora::TSysConfig> OnDisk() {
        auto read = std::make_unique<tandemora::TSysConfig>();
        EXPECT_EQ(read->Load(tandemora::kOptionsFileName), 0);
        return read;
    }

    // Writes the options and opens the dialog on them, as the menu command does.
    std::unique_ptr<TFTandemoraOptions> Open(const std::map<std::string, std::string>& values = {}) {
        WriteOptions(values);
        options = std::make_unique<tandemora::TSysConfig>();
        options->Load(tandemora::kOptionsFileName);
        options->OpenLanguage("en-english.lng");
        tandemora::SysConfig = options.get();
        auto dialog = std::make_unique<TFTandemoraOptions>();
        dialog->show();
        QCoreApplication::processEvents();
        return dialog;
    }

    std::string Autostart() const { return config.path() + "/autostart/Tandemora.desktop"; }

    // A new pattern typed into a fresh row of the list.
    static void AddPattern(QToolButton* add, QTableWidget* list, const QString& text) {
        Click(add);
        TypeRow(list, list->currentRow(), text);
    }

    static void Choose(QComboBox* box, const QString& item) {
        box->setFocus();
        const int index = box->findText(item);
        ASSERT_GE(index, 0);
        while (box->currentIndex() != index) {
            QTest::keyClick(box, box->currentIndex() < index ? Qt::Key_Down : Qt::Key_Up);
        }
    }
};

// The options file's values as the dialog reads them: padded names trimmed,
// only 1 is on, empty patterns kept in their places.
TEST_F(ProgramOptionsTest, OpeningShowsTheOptionsAsStored) {
    WriteFile(program / "de-german.lng", "[title]\r\n");
    auto dialog = Open({{"languages", "en-english.lng,de-german.lng,"},
                        {"curlang", " de-german.lng "},
                        {"HideTaskToTray", "2"},
                        {"CompareFile", "  /usr/bin/meld "},
                        {"ExcludeFilter", "\\.tmp$,, lead,"}});
    EXPECT_EQ(dialog->cb_languagelist->currentText(), "de-german.lng");
    EXPECT_FALSE(dialog->cb_hidetray->isChecked());
    EXPECT_TRUE(dialog->cb_comparefile->isChecked());
    EXPECT_EQ(dialog->edit_comparefilename->text(), "/usr/bin/meld");
    EXPECT_EQ(Column(dialog->vedit_exclude), (std::vector<QString>{"\\.tmp$", "", " lead"}));
    EXPECT_FALSE(testsupport::Exists(Autostart()));
}

TEST_F(ProgramOptionsTest, OkSavesWhatThePersonSetAndCloses) {
    auto dialog = Open({{"ExcludeFilter", "old,"}});
    Click(dialog->cb_savelog);
    Click(dialog->cb_showicon);
    Click(dialog->cb_checkversion);
    ClickTab(dialog->pc1, 1);
    AddPattern(dialog->bt_addinclude, dialog->vedit_include, "\\.doc$");
    AddPattern(dialog->bt_addinclude, dialog->vedit_include, "   ");  // blanks only: no pattern
    AddPattern(dialog->bt_addexclude, dialog->vedit_exclude, " ~$ "); // blanks belong to it
    Click(dialog->BitBtn_ok);
    EXPECT_FALSE(dialog->isVisible());

    auto saved = OnDisk();
    EXPECT_EQ(saved->SaveLog, 1);
    EXPECT_EQ(saved->ShowTrayIcon, 1);
    EXPECT_EQ(saved->CheckVersionVeryDay, 1);
    EXPECT_EQ(saved->IncludeFilter, (std::vector<std::string>{"\\.doc$"}));
    EXPECT_EQ(saved->ExcludeFilter, (std::vector<std::string>{" ~$ ", "old"}));
    // What the analysis reads acts at once.
    EXPECT_EQ(options->SaveLog, 1);
    EXPECT_EQ(options->ExcludeFilter, saved->ExcludeFilter);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(ProgramOptionsTest, ApplySavesAndStaysOpenCancelSavesNothing) {
    auto dialog = Open();
    Click(dialog->cb_autoclose);
    Click(dialog->BitBtn_Apply);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(OnDisk()->AutoClose, 1);

    const std::string before = ReadFile(program / "Tandemora.ini");
    Click(dialog->cb_autoclose);
    Click(dialog->cb_hidetray);
    Click(dialog->BitBtn_Cancel);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(ReadFile(program / "Tandemora.ini"), before);
    EXPECT_EQ(options->AutoClose, 1);
    EXPECT_EQ(options->HideTaskToTray, 0);
}

// Rows are read by position: a row added after a deletion in the middle may
// carry a key another row has, and both patterns are still kept.
TEST_F(ProgramOptionsTest, DeletingAndAddingRowsKeepsEveryPattern) {
    auto dialog = Open({{"ExcludeFilter", "a,b,c,"}});
    ClickTab(dialog->pc1, 1);
    dialog->vedit_exclude->setCurrentCell(1, 1);
    Click(dialog->bt_delexclude);
    EXPECT_EQ(Column(dialog->vedit_exclude), (std::vector<QString>{"a", "c"}));
    AddPattern(dialog->bt_addexclude, dialog->vedit_exclude, "d");
    EXPECT_EQ(Column(dialog->vedit_exclude, 0), (std::vector<QString>{"1", "3", "3"}));
    Click(dialog->BitBtn_ok);
    EXPECT_EQ(OnDisk()->ExcludeFilter, (std::vector<std::string>{"a", "d", "c"}));
}

TEST_F(ProgramOptionsTest, StartAtLogInFollowsTheSavedOption) {
    auto dialog = Open();
    Click(dialog->cb_SF);
    Click(dialog->BitBtn_Cancel);
    EXPECT_FALSE(testsupport::Exists(Autostart())); // a cancelled dialog changes nothing

    dialog = Open();
    Click(dialog->cb_SF);
    Click(dialog->BitBtn_Apply);
    EXPECT_EQ(OnDisk()->WindowsStart, 1);
    EXPECT_NE(ReadFile(Autostart()).find("Exec="), std::string::npos);
    Click(dialog->BitBtn_Cancel);

    // Opening with the option on writes the entry again.
    std::filesystem::remove(Autostart());
    dialog = Open({{"WindowsStart", "1"}});
    EXPECT_TRUE(dialog->cb_SF->isChecked());
    EXPECT_TRUE(testsupport::Exists(Autostart()));
    Click(dialog->cb_SF);
    Click(dialog->BitBtn_ok);
    EXPECT_FALSE(testsupport::Exists(Autostart()));
    EXPECT_EQ(OnDisk()->WindowsStart, 0);
}

TEST_F(ProgramOptionsTest, ALanguageOutsideTheListKeepsTheOneInUse) {
    auto dialog = Open({{"curlang", "en-english.lng"}, {"languages", "fr-french.lng"}});
    EXPECT_EQ(dialog->cb_languagelist->currentIndex(), -1);
    Click(dialog->cb_savelog);
    Click(dialog->BitBtn_ok);
    auto saved = OnDisk();
    EXPECT_EQ(saved->curlang, "en-english.lng");
    EXPECT_EQ(saved->SaveLog, 1);
}

// The start-up refuses to run without its language file.
TEST_F(ProgramOptionsTest, ALanguageWhoseFileIsMissingIsRefused) {
    auto dialog = Open({{"languages", "en-english.lng, fr-french.lng"}});
    Choose(dialog->cb_languagelist, " fr-french.lng");
    Click(dialog->cb_savelog);
    const std::string before = ReadFile(program / "Tandemora.ini");
    Click(dialog->BitBtn_ok);
    EXPECT_TRUE(dialog->isVisible());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].Text.startsWith("The language file \"fr-french.lng\" is not in the program folder"));
    EXPECT_EQ(ReadFile(program / "Tandemora.ini"), before);
    EXPECT_EQ(options->SaveLog, 0);

    // Once the file is there the choice is saved, without its blank.
    WriteFile(program / "fr-french.lng", "[title]\r\n");
    Click(dialog->BitBtn_ok);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(OnDisk()->curlang, "fr-french.lng");
}

// A pattern the options file cannot keep, or the analysis cannot compile, is
// refused with what is wrong; one that does not compile is told as it is typed.
TEST_F(ProgramOptionsTest, PatternsTheAnalysisCannotUseAreRefused) {
    struct Case {
        std::string Stored; // the include patterns already saved
        QString Pattern;
        QString Told;
        bool ToldWhenTyped;
    };
    const Case cases[] = {
        {"keep", "a{1,3}", "\"a{1,3}\" contains \",\"", false},
        {"keep", "*.tmp",
         "The include pattern \"*.tmp\" is not a regular expression: quantifier does not follow a repeatable "
         "item at character 1.",
         true},
        // Each compiles alone; joined into one expression they clash.
        {"(?<n>b)", "(?<n>a)",
         "The include patterns do not work together: two named subpatterns have the same name", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Pattern.toStdString());
        boxes.clear();
        auto dialog = Open({{"IncludeFilter", c.Stored + ","}});
        AddPattern(dialog->bt_addinclude, dialog->vedit_include, c.Pattern);
        EXPECT_EQ(dialog->lb_patternerror->text().contains(c.Told), c.ToldWhenTyped)
            << dialog->lb_patternerror->text().toStdString();
        ClickTab(dialog->pc1, 0);
        const std::string before = ReadFile(program / "Tandemora.ini");
        Click(dialog->BitBtn_Apply);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_TRUE(boxes[0].Text.contains(c.Told)) << boxes[0].Text.toStdString();
        EXPECT_EQ(dialog->pc1->currentIndex(), 1);
        EXPECT_EQ(ReadFile(program / "Tandemora.ini"), before);
        EXPECT_EQ(options->IncludeFilter, (std::vector<std::string>{c.Stored}));
    }
}

TEST_F(ProgramOptionsTest, OptionsThatCannotBeSavedAreToldAndNotTakenOver) {
    struct Case {
        const char* Name;
        std::function<void(TFTandemoraOptions*)> Break;
        const char* Told;
    };
    const Case cases[] = {
        // A file name may hold a line break; the options file cannot.
        {"compare program with a line break",
         [this](TFTandemoraOptions* d) {
             d->cb_comparefile->click();
             fileAnswer = "/opt/diff\ntool";
             d->bt_browse->click();
         },
         "The options could not be saved to "},
        {"options file gone",
         [this](TFTandemoraOptions*) { std::filesystem::remove(program / "Tandemora.ini"); },
         "The options file "},
        {"options file unreadable",
         [this](TFTandemoraOptions*) {
             std::filesystem::remove(program / "Tandemora.ini");
             std::filesystem::create_directory(program / "Tandemora.ini");
         },
         "The options could not be saved to "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::filesystem::remove_all(program / "Tandemora.ini");
        auto dialog = Open();
        boxes.clear();
        Click(dialog->cb_savelog);
        c.Break(dialog.get());
        Click(dialog->BitBtn_ok);
        EXPECT_TRUE(dialog->isVisible());
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_TRUE(boxes[0].Text.startsWith(c.Told)) << boxes[0].Text.toStdString();
        EXPECT_EQ(options->SaveLog, 0);
        EXPECT_EQ(options->CompareFile, "");
    }
}

} // namespace
} // namespace uitest
