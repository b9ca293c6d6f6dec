#pragma once
// A one-line text prompt with OK and Cancel (the new-folder name of the folder
// picker). Like the message boxes it goes through a function that tests replace,
// so a test reads the prompt a person would read and types the answer.

#include <QString>
#include <functional>

class QWidget;

namespace tandemora {

// Returns true when the user confirmed; Value holds the text then. Value comes in
// as the text the field starts with.
using TInputBoxFunction =
    std::function<bool(QWidget* parent, const QString& caption, const QString& prompt, QString& value)>;

bool InputQuery(QWidget* parent, const QString& caption, const QString& prompt, QString& value);

// Replaces the prompt for the whole program; an empty function restores it.
void SetInputBoxFunction(TInputBoxFunction fn);

} // namespace tandemora
