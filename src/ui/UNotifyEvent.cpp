#include "ui/UNotifyEvent.h"

#include <QCoreApplication>

namespace tandemora {

void PostNotifyEvent(QObject* receiver, uint32_t msg, intptr_t wParam, intptr_t lParam) {
    QCoreApplication::postEvent(receiver, new TNotifyEvent(msg, wParam, lParam));
}

bool DeliverNotifyEvent(QEvent* event, NotifyTarget* target) {
    auto* notify = dynamic_cast<TNotifyEvent*>(event);
    if (notify == nullptr) {
        return false;
    }
    target->HandleNotify(notify->Msg, notify->WParam, notify->LParam);
    return true;
}

} // namespace tandemora
