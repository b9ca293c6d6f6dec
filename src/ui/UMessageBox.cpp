#include "ui/UMessageBox.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <vector>

namespace tandemora {

namespace {

TMessageBoxFunction messageBoxFunction;
TFileDialogFunction fileDialogFunction;

struct TButton {
    QMessageBox::StandardButton Button;
    int Answer;
};

std::vector<TButton> ButtonsOf(unsigned style) {
    switch (style & 0xF) {
    case MB_OKCANCEL:
        return {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_ABORTRETRYIGNORE:
        return {
            {QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}};
    case MB_YESNOCANCEL:
        return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_YESNO:
        return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
    case MB_RETRYCANCEL:
        return {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}};
    default:
        return {{QMessageBox::Ok, IDOK}};
    }
}

QMessageBox::Icon IconOf(unsigned style) {
    switch (style & 0xF0) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONWARNING:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

int ShowQtMessageBox(QWidget* parent, const QString& text, const QString& caption, unsigned style) {
    // The message texts break their lines the Windows way, with CR (alone or
    // before LF); Qt breaks plain text only at LF.
    QString shown = text;
    shown.replace("\r\n", "\n").replace('\r', '\n');
    QMessageBox box(IconOf(style), caption, shown, QMessageBox::NoButton, parent);
    const std::vector<TButton> buttons = ButtonsOf(style);
    QMessageBox::StandardButtons all;
    for (const TButton& b : buttons) {
        all |= b.Button;
    }
    box.setStandardButtons(all);
    size_t defaultIndex = (style & 0xF00) / MB_DEFBUTTON2;
    if (defaultIndex >= buttons.size()) {
        defaultIndex = 0;
    }
    box.setDefaultButton(buttons[defaultIndex].Button);
    const int pressed = box.exec();
    for (const TButton& b : buttons) {
        if (pressed == b.Button) {
            return b.Answer;
        }
    }
    for (const TButton& b : buttons) {
        if (b.Answer == IDCANCEL) {
            return IDCANCEL;
        }
    }
    return buttons.front().Answer;
}

// "td|*.td" is the Windows filter form (description|patterns); Qt wants "td (*.td)".
QString QtFilter(const QString& filter) {
    const QStringList parts = filter.split('|');
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        out << parts[i] + " (" + QString(parts[i + 1]).replace(';', ' ') + ")";
    }
    return out.join(";;");
}

} // namespace

int MessageBox(QWidget* parent, const QString& text, const QString& caption, unsigned style) {
    if (messageBoxFunction) {
        return messageBoxFunction(parent, text, caption, style);
    }
    return ShowQtMessageBox(parent, text, caption, style);
}

void SetMessageBoxFunction(TMessageBoxFunction fn) {
    messageBoxFunction = std::move(fn);
}

QString AskFileName(QWidget* parent, TFileDialogKind kind, const QString& filter) {
    if (fileDialogFunction) {
        return fileDialogFunction(parent, kind, filter);
    }
    if (kind == TFileDialogKind::Save) {
        return QFileDialog::getSaveFileName(parent, QString(), QString(), QtFilter(filter));
    }
    return QFileDialog::getOpenFileName(parent, QString(), QString(), QtFilter(filter));
}

void SetFileDialogFunction(TFileDialogFunction fn) {
    fileDialogFunction = std::move(fn);
}

} // namespace tandemora
