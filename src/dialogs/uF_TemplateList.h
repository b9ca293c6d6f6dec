#pragma once
// Choosing a template for a new task: a small dialog lists the names of the
// options' template list, and the chosen template file becomes a new task.

#include <QDialog>
#include <QString>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QListWidget;
class QPushButton;

namespace tandemora {

class TSyncTask;

class TF_TemplateList : public QDialog {
    Q_OBJECT
public:
    explicit TF_TemplateList(QWidget* parent = nullptr);

    QLabel* Label1 = nullptr;
    QListWidget* lb_template = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QPushButton* BitBtn2 = nullptr;
};

// The names of a template list ("Weekly,Daily"): each trimmed, blank entries and
// repeats left out, in the order of the list.
std::vector<std::string> TemplateNames(const std::string& TemplateList);

// Shows the template names and returns the chosen one; empty when the list holds
// no template (no dialog is shown then) or nothing was chosen.
QString ChooseTemplate(QWidget* parent);

// The first task of the template file of Name, with no identity of its own yet:
// saving it as a new task gives it a fresh one, so tasks made from one template
// never share their snapshot and log files. Raises when the file is missing, is
// not a task list or holds no task.
std::unique_ptr<TSyncTask> LoadTemplateTask(const std::string& Name);

} // namespace tandemora
