#include "dialogs/UInputBox.h"

#include <QInputDialog>
#include <QLineEdit>

namespace tandemora {

namespace {

TInputBoxFunction inputBoxFunction;

} // namespace

bool InputQuery(QWidget* parent, const QString& caption, const QString& prompt, QString& value) {
    if (inputBoxFunction) {
        return inputBoxFunction(parent, caption, prompt, value);
    }
    bool ok = false;
    const QString text = QInputDialog::getText(parent, caption, prompt, QLineEdit::Normal, value, &ok);
    if (ok) {
        value = text;
    }
    return ok;
}

void SetInputBoxFunction(TInputBoxFunction fn) {
    inputBoxFunction = std::move(fn);
}

} // namespace tandemora
