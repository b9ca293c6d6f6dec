#pragma once
// The main-thread dispatcher of the Qt program: worker threads reach the GUI
// thread through queued calls on the application object.

#include "platform/MainThread.h"

namespace tandemora {

class TQtMainThreadDispatcher : public IMainThreadDispatcher {
public:
    // Create it on the GUI thread, after the application object.
    TQtMainThreadDispatcher() = default;
    void Post(std::function<void()> fn) override;
    bool IsMainThread() const override;
};

} // namespace tandemora
