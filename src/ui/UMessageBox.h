#pragma once
// Message boxes in the Windows manner (a style number chooses the buttons, the
// icon and the default button; the answer is the number of the button pressed),
// and the two file-name prompts of the main window. Each goes through a function
// that tests replace, so a test can read the text a person would read and answer
// it without a modal window.

#include <QString>
#include <functional>

class QWidget;

namespace tandemora {

// Buttons (style & 0xF).
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr unsigned MB_ABORTRETRYIGNORE = 0x2;
constexpr unsigned MB_YESNOCANCEL = 0x3;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_RETRYCANCEL = 0x5;
// Icons (style & 0xF0).
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
// Default button (style & 0xF00).
constexpr unsigned MB_DEFBUTTON2 = 0x100;
constexpr unsigned MB_DEFBUTTON3 = 0x200;

// Answers.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

using TMessageBoxFunction =
    std::function<int(QWidget* parent, const QString& text, const QString& caption, unsigned style)>;

// Shows a modal message box and returns the answer (IDOK ... IDNO). Closing the
// box without a button gives IDCANCEL when it has a Cancel button, else the
// answer of its only or first button.
int MessageBox(QWidget* parent, const QString& text, const QString& caption, unsigned style);

// Replaces the message box for the whole program; an empty function restores it.
void SetMessageBoxFunction(TMessageBoxFunction fn);

// Asks for a file name with a filter such as "td|*.td"; empty when cancelled.
enum class TFileDialogKind { Save, Open };
using TFileDialogFunction =
    std::function<QString(QWidget* parent, TFileDialogKind kind, const QString& filter)>;
QString AskFileName(QWidget* parent, TFileDialogKind kind, const QString& filter);
void SetFileDialogFunction(TFileDialogFunction fn);

} // namespace tandemora
