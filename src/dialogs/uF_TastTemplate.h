#pragma once
// Saving a task as a template: a small dialog asks for the template's name, and
// the task is written to "<name>.td" beside the program and the name added to
// the options' template list.

#include <QDialog>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace tandemora {

class TSyncTask;

class TF_TastTemplate : public QDialog {
    Q_OBJECT
public:
    explicit TF_TastTemplate(QWidget* parent = nullptr);

    // The OK button: closes the dialog with OK only for a name that can be used.
    void BitBtn1Click();

    QLabel* Label1 = nullptr;
    QLineEdit* Edit_name = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QPushButton* BitBtn2 = nullptr;

private:
    bool NameUsable(const std::string& name);
};

// The template file of a name: the program folder + Name + ".td".
std::string TemplateFilePath(const std::string& Name);

// The whole "save as template" command for task. True when the template was saved.
bool SaveTaskAsTemplate(QWidget* parent, TSyncTask& task);

} // namespace tandemora
