#pragma once
// The edge between the engine's texts and Qt's. The engine keeps every text as the
// file system's own bytes (UTF-8 here); Qt strings exist only in the widgets.

#include "tasks/UTSysConfig.h"

#include <QString>
#include <string>

namespace tandemora {

inline QString ToQ(const std::string& text) {
    return QString::fromStdString(text);
}

inline std::string FromQ(const QString& text) {
    return text.toStdString();
}

// The text of a key of the language file; empty when there is no options object
// or the key is missing (a missing key blanks the caption it was meant for).
inline QString Lang(const char* key) {
    return SysConfig != nullptr ? ToQ(SysConfig->GetLangText(key)) : QString();
}

} // namespace tandemora
