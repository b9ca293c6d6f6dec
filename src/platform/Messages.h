#pragma once
// Notification messages between worker threads and windows, and between the
// windows themselves. A window (or anything else that wants them) is a
// NotifyTarget; SendNotifyMessage delivers (message, wParam, lParam) to it:
// at once when the sender runs on the target's own thread, otherwise queued to
// that thread without the sender waiting. The Qt windows queue by posting an
// event whose type is the message number (WM_USER lies in Qt's user range).

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace tandemora {

class IMainThreadDispatcher;

constexpr uint32_t WM_USER = 1024;

// Progress from scanners and the sync thread.
constexpr uint32_t WM_UPDATEPROCESS = WM_USER + 100; // one folder listed or one item done
constexpr uint32_t WM_SYNC = WM_USER + 101;          // progress step (nothing sends it)
constexpr uint32_t WM_COPYPROCESS = WM_USER + 300;   // SyncStatusText has changed

// Result views of a task window.
constexpr uint32_t WM_LTOR = WM_USER + 200;
constexpr uint32_t WM_INCLUDED = WM_USER + 201;
constexpr uint32_t WM_EXCLUDED = WM_USER + 202;
constexpr uint32_t WM_DELETE = WM_USER + 203;
constexpr uint32_t WM_CONFLICT = WM_USER + 204;
constexpr uint32_t WM_NEW = WM_USER + 205;
constexpr uint32_t WM_RTOL = WM_USER + 206;
constexpr uint32_t WM_OVERWRITE = WM_USER + 207;
constexpr uint32_t WM_ERROR = WM_USER + 208;
constexpr uint32_t WM_ALL = WM_USER + 209;
constexpr uint32_t WM_MODIFY = WM_USER + 210;

// Commands for a task window, and what it tells the main window.
constexpr uint32_t WM_SHOWLOG = WM_USER + 230;      // toggle the log panel
constexpr uint32_t WM_TASKFINISHED = WM_USER + 232; // a synchronisation has ended
constexpr uint32_t WM_ANAL_SYNC = WM_USER + 233;    // analyse, then synchronise
constexpr uint32_t WM_JOB_OPTION = WM_USER + 234;   // task options dialog
constexpr uint32_t WM_ANAL_JOB = WM_USER + 235;     // analyse
constexpr uint32_t WM_NOT_COPY = WM_USER + 236;     // selected row: do not copy
constexpr uint32_t WM_MOVE_LTOR = WM_USER + 237;    // selected row: left over right
constexpr uint32_t WM_MOVE_RTOL = WM_USER + 238;    // selected row: right over left
constexpr uint32_t WM_TASKRENAMED = WM_USER + 240;  // the task options were saved

// The notification-area icon's callback, and the two clicks it tells apart (lParam).
constexpr uint32_t WM_TRAYNOTIFY = WM_USER + 500;
// Brings the main window back from the notification area (a second start asks
// the running instance for it).
constexpr uint32_t WM_RETURNFROMTRAY = WM_USER + 501;
constexpr uint32_t WM_LBUTTONDOWN = 0x201;
constexpr uint32_t WM_RBUTTONDOWN = 0x204;

// Anything that receives notification messages. It belongs to the thread that
// constructed it (for windows: the main thread).
class NotifyTarget {
public:
    NotifyTarget();
    virtual ~NotifyTarget() = default;
    NotifyTarget(const NotifyTarget&) = delete;
    NotifyTarget& operator=(const NotifyTarget&) = delete;

    // Handles one message; always called on the owner thread.
    virtual void HandleNotify(uint32_t msg, intptr_t wParam, intptr_t lParam) = 0;

    std::thread::id OwnerThread() const { return owner_; }

protected:
    // Queues the message to the owner thread, which later calls HandleNotify.
    // Called from other threads; must not wait for the owner thread.
    virtual void QueueNotify(uint32_t msg, intptr_t wParam, intptr_t lParam) = 0;

private:
    friend bool SendNotifyMessage(NotifyTarget* target, uint32_t msg, intptr_t wParam, intptr_t lParam);
    std::thread::id owner_;
};

// Delivers a message: nothing for a null target (returns false); on the target's
// own thread HandleNotify runs before this returns; from any other thread the
// message is queued and the sender goes on at once. Messages from one sender
// arrive in the order they were sent.
bool SendNotifyMessage(NotifyTarget* target, uint32_t msg, intptr_t wParam, intptr_t lParam);

// A target that hands each message to a function, queued through a main-thread
// dispatcher (the one given, else the program's at the time of the send). Create
// it on the dispatcher's main thread. Messages still queued when it is destroyed
// are dropped. Used by tests and by code that has no window.
class TCallbackNotifyTarget : public NotifyTarget {
public:
    using Handler = std::function<void(uint32_t msg, intptr_t wParam, intptr_t lParam)>;
    explicit TCallbackNotifyTarget(Handler handler, IMainThreadDispatcher* dispatcher = nullptr);
    ~TCallbackNotifyTarget() override;

    void HandleNotify(uint32_t msg, intptr_t wParam, intptr_t lParam) override;

protected:
    void QueueNotify(uint32_t msg, intptr_t wParam, intptr_t lParam) override;

private:
    Handler handler_;
    IMainThreadDispatcher* dispatcher_;
    // Shared with the queued calls; cleared on destruction (on the owner thread,
    // which is also where the queued calls run) so that late calls do nothing.
    std::shared_ptr<TCallbackNotifyTarget*> self_;
};

} // namespace tandemora
