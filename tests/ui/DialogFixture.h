#pragma once
// The dialogs on a program folder of their own (see UiFixture.h), with the
// shipped language file open, the new-folder prompt answered by the test, and a
// way to act inside a dialog that runs modally (its own event loop) the moment
// it appears, as a person would.

#include "UiFixture.h"

#include "dialogs/UInputBox.h"
#include "tasks/TaskList.h"
#include "ui/UQtText.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>

#include <filesystem>
#include <ostream>

// Failures show texts as a person reads them.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace uitest {

class DialogTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        config = std::make_unique<tandemora::TSysConfig>();
        config->Load(tandemora::kOptionsFileName);
        config->OpenLanguage("en-english.lng");
        tandemora::SysConfig = config.get();
        tandemora::SetInputBoxFunction(
            [this](QWidget*, const QString& caption, const QString& prompt, QString& value) {
                inputPrompts.push_back(caption + "|" + prompt);
                value = inputAnswer;
                return inputOk;
            });
    }

    void TearDown() override {
        tandemora::SetInputBoxFunction({});
        if (tandemora::SysConfig == config.get()) {
            tandemora::SysConfig = nullptr;
        }
        UiTest::TearDown();
    }

    // A new folder below the test's folders.
    std::string Dir(const std::string& name) {
        const std::string path = folders / name;
        std::filesystem::create_directories(path);
        return path;
    }

    // Every task of the task list, in its order.
    std::vector<std::unique_ptr<tandemora::TSyncTask>> ListedTasks() {
        tandemora::TTaskListDocument document;
        document.LoadFromFile(program / "tasklist.td");
        tandemora::TXMLTaskListType list = document.GetTaskList();
        std::vector<std::unique_ptr<tandemora::TSyncTask>> tasks;
        for (int32_t i = 0; i < list.Count(); ++i) {
            tasks.push_back(std::make_unique<tandemora::TSyncTask>());
            tasks.back()->LoadFromXML(list.Tast(i));
        }
        return tasks;
    }

    static QString Text(const char* key) { return tandemora::Lang(key); }

    // Clears a field and types text into it, key by key.
    static void Type(QLineEdit* edit, const QString& text) {
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        for (const QChar c : text) {
            if (c.unicode() < 128) {
                QTest::keyClick(edit, c.toLatin1());
            } else {
                QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
            }
        }
    }

    static void ClickTab(QTabWidget* pages, int index) {
        QTest::mouseClick(pages->tabBar(), Qt::LeftButton, {}, pages->tabBar()->tabRect(index).center());
    }

    // Runs act on the first modal dialog of type T once it is open. A dialog
    // that never appears leaves the test's own expectations to fail; one that
    // appears and is not closed by act is cancelled after a while, so a broken
    // test ends instead of hanging.
    template <class T> static void WhenModal(std::function<void(T*)> act) {
        auto* timer = new QTimer();
        auto ticks = std::make_shared<int>(0);
        QObject::connect(timer, &QTimer::timeout, [timer, act, ticks] {
            auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
            if (dialog == nullptr) {
                if (++*ticks > 3000) {
                    timer->stop();
                    timer->deleteLater();
                }
                return;
            }
            timer->stop();
            timer->deleteLater();
            act(dialog);
            if (dialog->isVisible()) {
                QTimer::singleShot(30000, dialog, [dialog] { dialog->reject(); });
            }
        });
        timer->start(10);
    }

    std::unique_ptr<tandemora::TSysConfig> config;
    std::vector<QString> inputPrompts;
    QString inputAnswer;
    bool inputOk = true;
};

} // namespace uitest
