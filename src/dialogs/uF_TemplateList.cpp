#include "dialogs/uF_TemplateList.h"

#include "dialogs/uF_TastTemplate.h"
#include "tasks/TaskList.h"
#include "tasks/UTSyncTask.h"
#include "tasks/UTSysConfig.h"
#include "ui/UQtText.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace tandemora {

namespace {

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

TF_TemplateList::TF_TemplateList(QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    auto* layout = new QVBoxLayout(this);
    Label1 = new QLabel(this);
    lb_template = new QListWidget(this);
    layout->addWidget(Label1);
    layout->addWidget(lb_template, 1);
    auto* buttons = new QHBoxLayout();
    BitBtn1 = new QPushButton("OK", this);
    BitBtn2 = new QPushButton("Cancel", this);
    BitBtn1->setDefault(true);
    buttons->addStretch(1);
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    layout->addLayout(buttons);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
}

std::vector<std::string> TemplateNames(const std::string& TemplateList) {
    std::vector<std::string> names;
    for (const std::string& entry : SplitCommaList(TemplateList)) {
        const std::string name = Trimmed(entry);
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    }
    return names;
}

QString ChooseTemplate(QWidget* parent) {
    const std::vector<std::string> names = TemplateNames(SysConfig != nullptr ? SysConfig->TemplateList : "");
    if (names.empty()) {
        return QString();
    }
    TF_TemplateList dialog(parent);
    dialog.setWindowTitle("Tandemora");
    dialog.Label1->setText(Lang("templist"));
    for (const std::string& name : names) {
        dialog.lb_template->addItem(ToQ(name));
    }
    // The first template is chosen, so OK alone makes a task from it.
    dialog.lb_template->setCurrentRow(0);
    if (dialog.exec() != QDialog::Accepted || dialog.lb_template->count() == 0) {
        return QString();
    }
    const QListWidgetItem* chosen = dialog.lb_template->currentItem();
    if (chosen == nullptr || !chosen->isSelected()) {
        return QString();
    }
    return chosen->text();
}

std::unique_ptr<TSyncTask> LoadTemplateTask(const std::string& Name) {
    TTaskListDocument document;
    document.LoadFromFile(TemplateFilePath(Name));
    TXMLTaskListType list = document.GetTaskList();
    auto task = std::make_unique<TSyncTask>();
    task->LoadFromXML(list.Tast(0));
    task->SyncID.clear();
    return task;
}

} // namespace tandemora
