#include "endpoints/UTCopyWorkers.h"

#include <utility>

namespace tandemora {

TCopyWorkers::TCopyWorkers(size_t Count) : jobs_(Count) {
    for (size_t i = 0; i < Count; ++i) {
        wakes_.push_back(std::make_unique<std::condition_variable>());
    }
    threads_.reserve(Count);
    for (size_t i = 0; i < Count; ++i) {
        threads_.emplace_back([this, i] { Work(i); });
    }
}

TCopyWorkers::~TCopyWorkers() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    for (const auto& wake : wakes_) {
        wake->notify_all();
    }
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

void TCopyWorkers::Run(size_t Worker, std::function<void()> Job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_[Worker].push_back(std::move(Job));
    }
    wakes_[Worker]->notify_one();
}

void TCopyWorkers::Work(size_t Worker) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wakes_[Worker]->wait(lock, [&] { return ending_ || !jobs_[Worker].empty(); });
        if (jobs_[Worker].empty()) {
            return; // ending, and nothing left to run
        }
        std::function<void()> job = std::move(jobs_[Worker].front());
        jobs_[Worker].pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}

} // namespace tandemora
