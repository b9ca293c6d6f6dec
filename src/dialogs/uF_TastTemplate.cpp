#include "dialogs/uF_TastTemplate.h"

#include "dialogs/uF_TemplateList.h"
#include "model/UTUtils.h"
#include "platform/ProgramFolder.h"
#include "tasks/UTSyncTask.h"
#include "tasks/UTSysConfig.h"
#include "ui/UMessageBox.h"
#include "ui/UQtText.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace tandemora {

namespace {

const char* const kCaption = "Tandemora";

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return text;
}

bool Listed(const std::string& name) {
    const std::vector<std::string> names = TemplateNames(SysConfig != nullptr ? SysConfig->TemplateList : "");
    return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

std::string TemplateFilePath(const std::string& Name) {
    return GetProgramFolder() + Name + ".td";
}

TF_TastTemplate::TF_TastTemplate(QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    auto* layout = new QVBoxLayout(this);
    Label1 = new QLabel(this);
    Edit_name = new QLineEdit(this);
    Edit_name->setMaxLength(30);
    layout->addWidget(Label1);
    layout->addWidget(Edit_name);
    auto* buttons = new QHBoxLayout();
    BitBtn1 = new QPushButton("OK", this);
    BitBtn2 = new QPushButton("Cancel", this);
    BitBtn1->setDefault(true);
    buttons->addStretch(1);
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    layout->addLayout(buttons);
    connect(BitBtn1, &QPushButton::clicked, this, &TF_TastTemplate::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
}

void TF_TastTemplate::BitBtn1Click() {
    const std::string name = Trimmed(FromQ(Edit_name->text()));
    // An empty name closes the dialog; nothing is saved then.
    if (name.empty() || NameUsable(name)) {
        accept();
    }
}

bool TF_TastTemplate::NameUsable(const std::string& name) {
    if (!IsValidFileName(name)) {
        MessageBox(this, Lang("tasknameerror"), kCaption, MB_ICONINFORMATION);
        return false;
    }
    // The template list separates its names with ",".
    if (name.find(',') != std::string::npos) {
        MessageBox(this, "A template name cannot contain \",\".", kCaption, MB_ICONINFORMATION);
        return false;
    }
    // These files beside the program hold the tasks and the empty template; a
    // template of that name would replace them.
    const std::string lower = Lower(name);
    if (lower == "tasklist" || lower == "tasktemp") {
        MessageBox(this,
                   "\"" + ToQ(name) + "\" is the name of a file Tandemora needs. Please choose another name.",
                   kCaption, MB_ICONINFORMATION);
        return false;
    }
    if (Listed(name) || QFileInfo::exists(ToQ(TemplateFilePath(name)))) {
        const QString question =
            "A template named \"" + ToQ(name) + "\" exists already. Do you want to replace it?";
        return MessageBox(this, question, kCaption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
    }
    return true;
}

bool SaveTaskAsTemplate(QWidget* parent, TSyncTask& task) {
    TF_TastTemplate dialog(parent);
    dialog.setWindowTitle(kCaption);
    dialog.Label1->setText(Lang("templatename"));
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    const std::string name = Trimmed(FromQ(dialog.Edit_name->text()));
    if (name.empty()) {
        return false;
    }
    const std::string path = TemplateFilePath(name);
    if (task.SaveAsTemplate(name + ".td") != 0) {
        MessageBox(parent,
                   "The template \"" + ToQ(name) + "\" could not be saved as " + ToQ(path) +
                       ".\rThe error log ErrorInfo.txt tells why.",
                   kCaption, MB_ICONERROR);
        return false;
    }
    // A replaced template keeps its one place in the list.
    if (Listed(name) || SysConfig == nullptr) {
        return true;
    }
    int added = 2;
    try {
        added = SysConfig->AddTemplate(name);
    } catch (const std::exception& e) {
        ErrorLogger.LogError(kConfigAccessError, e);
    }
    if (added != 0) {
        MessageBox(parent,
                   "The template was saved as " + ToQ(path) + ", but its name could not be added to the " +
                       "template list in " + ToQ(GetProgramFolder() + kOptionsFileName) + ".",
                   kCaption, MB_ICONERROR);
    }
    return true;
}

} // namespace tandemora
