#pragma once
// A few threads that write the copies of a local endpoint beside the thread that
// walks the rows. Each thread runs the jobs handed to it one after the other, in
// the order they came; jobs given to different threads run side by side. The
// endpoint gives all copies into one folder to one thread, so that a folder's
// files are written in the walk's order.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tandemora {

class TCopyWorkers {
public:
    explicit TCopyWorkers(size_t Count);
    // Runs every job handed over before it returns: a job that must not start
    // any more looks at its own stop condition.
    ~TCopyWorkers();
    TCopyWorkers(const TCopyWorkers&) = delete;
    TCopyWorkers& operator=(const TCopyWorkers&) = delete;

    size_t Count() const { return threads_.size(); }
    // Runs Job on the thread Worker (below Count()) after the jobs given to it before.
    void Run(size_t Worker, std::function<void()> Job);

private:
    void Work(size_t Worker);

    std::mutex mutex_;
    std::vector<std::unique_ptr<std::condition_variable>> wakes_; // one per thread
    std::vector<std::deque<std::function<void()>>> jobs_;
    bool ending_ = false;
    std::vector<std::thread> threads_;
};

} // namespace tandemora
