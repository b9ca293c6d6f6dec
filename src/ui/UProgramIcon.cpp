#include "ui/UProgramIcon.h"

namespace tandemora {

QIcon TandemoraIcon() {
    QIcon icon;
    for (const char* size : {"16", "32", "48", "256"}) {
        icon.addFile(QString(":/icons/tandemora-%1.png").arg(size));
    }
    return icon;
}

} // namespace tandemora
