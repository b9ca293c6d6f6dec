#pragma once
// Notification messages as Qt events. A window that is a NotifyTarget queues a
// message from another thread by posting a TNotifyEvent whose event type is the
// message number (every WM_USER message lies in Qt's user range), and handles it
// when its event() sees one.

#include "platform/Messages.h"

#include <QEvent>
#include <QObject>
#include <cstdint>

namespace tandemora {

class TNotifyEvent : public QEvent {
public:
    TNotifyEvent(uint32_t msg, intptr_t wParam, intptr_t lParam)
        : QEvent(static_cast<QEvent::Type>(msg)), Msg(msg), WParam(wParam), LParam(lParam) {}

    uint32_t Msg;
    intptr_t WParam;
    intptr_t LParam;
};

// Posts the message to receiver's thread. A message still queued when receiver
// is deleted is dropped; posting to a receiver that is already gone is not
// allowed, so a worker that posts to a window must have ended before it goes.
void PostNotifyEvent(QObject* receiver, uint32_t msg, intptr_t wParam, intptr_t lParam);

// Hands a TNotifyEvent to target's HandleNotify; false for any other event.
bool DeliverNotifyEvent(QEvent* event, NotifyTarget* target);

} // namespace tandemora
