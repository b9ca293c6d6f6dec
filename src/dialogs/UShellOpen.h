#pragma once
// Opening a web page or a mail address in the user's own programs. It goes
// through a function that tests replace, so a test sees the address a click
// would open without starting a browser.

#include <QUrl>
#include <functional>

namespace tandemora {

// True when the desktop accepted the address. Callers do not report a refusal:
// a computer without a browser or mail program simply shows nothing.
using TOpenUrlFunction = std::function<bool(const QUrl& url)>;

bool ShellOpenUrl(const QUrl& url);

// Replaces the opener for the whole program; an empty function restores it.
void SetOpenUrlFunction(TOpenUrlFunction fn);

} // namespace tandemora
