#include "dialogs/UShellOpen.h"

#include <QDesktopServices>

namespace tandemora {

namespace {

TOpenUrlFunction openUrlFunction;

} // namespace

bool ShellOpenUrl(const QUrl& url) {
    if (openUrlFunction) {
        return openUrlFunction(url);
    }
    return QDesktopServices::openUrl(url);
}

void SetOpenUrlFunction(TOpenUrlFunction fn) {
    openUrlFunction = std::move(fn);
}

} // namespace tandemora
