#include "platform/Messages.h"

#include "platform/MainThread.h"

namespace tandemora {

NotifyTarget::NotifyTarget() : owner_(std::this_thread::get_id()) {}

bool SendNotifyMessage(NotifyTarget* target, uint32_t msg, intptr_t wParam, intptr_t lParam) {
    if (target == nullptr) {
        return false;
    }
    if (std::this_thread::get_id() == target->owner_) {
        target->HandleNotify(msg, wParam, lParam);
    } else {
        target->QueueNotify(msg, wParam, lParam);
    }
    return true;
}

TCallbackNotifyTarget::TCallbackNotifyTarget(Handler handler, IMainThreadDispatcher* dispatcher)
    : handler_(std::move(handler)), dispatcher_(dispatcher),
      self_(std::make_shared<TCallbackNotifyTarget*>(this)) {}

TCallbackNotifyTarget::~TCallbackNotifyTarget() {
    *self_ = nullptr;
}

void TCallbackNotifyTarget::HandleNotify(uint32_t msg, intptr_t wParam, intptr_t lParam) {
    if (handler_) {
        handler_(msg, wParam, lParam);
    }
}

void TCallbackNotifyTarget::QueueNotify(uint32_t msg, intptr_t wParam, intptr_t lParam) {
    IMainThreadDispatcher* dispatcher = dispatcher_ != nullptr ? dispatcher_ : MainThreadDispatcher();
    if (dispatcher == nullptr) {
        // No loop to queue to: the message has no way to reach the owner thread.
        return;
    }
    // self_ is only read and cleared on the owner thread, where the queued call runs.
    std::shared_ptr<TCallbackNotifyTarget*> self = self_;
    dispatcher->Post([self, msg, wParam, lParam] {
        if (*self != nullptr) {
            (*self)->HandleNotify(msg, wParam, lParam);
        }
    });
}

} // namespace tandemora
