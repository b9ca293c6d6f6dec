#include "ui/UQtMainThread.h"

#include <QCoreApplication>
#include <QThread>

namespace tandemora {

void TQtMainThreadDispatcher::Post(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        // The program is ending; nobody is left to run the call.
        return;
    }
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

bool TQtMainThreadDispatcher::IsMainThread() const {
    QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

} // namespace tandemora
