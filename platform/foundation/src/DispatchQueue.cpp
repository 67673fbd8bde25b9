#include "foundation/DispatchQueue.hpp"

#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>

#include "foundation/Timer.hpp"

namespace foundation {

struct DispatchQueue::Worker {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> jobs;
    std::multimap<Clock::time_point, Job> delayed;
    bool stopping = false;
    std::thread thread;  // started last, after every member above exists

    void loop() {
        std::unique_lock lock(mutex);
        for (;;) {
            const auto now = Clock::now();
            while (!delayed.empty() && delayed.begin()->first <= now) {
                jobs.push_back(std::move(delayed.begin()->second));
                delayed.erase(delayed.begin());
            }
            if (!jobs.empty()) {
                Job job = std::move(jobs.front());
                jobs.pop_front();
                lock.unlock();
                job();
                job = nullptr;  // release what the job captured outside the lock
                lock.lock();
                continue;
            }
            if (stopping) return;
            if (delayed.empty()) {
                changed.wait(lock);
            } else {
                changed.wait_until(lock, delayed.begin()->first);
            }
        }
    }
};

DispatchQueue& DispatchQueue::main() {
    // Never destroyed, like the main run loop it feeds.
    static DispatchQueue* const queue = new DispatchQueue(MainTag{});
    return *queue;
}

DispatchQueue::DispatchQueue(MainTag) : label_("main") {}

DispatchQueue::DispatchQueue(std::string label)
    : label_(std::move(label)), worker_(std::make_unique<Worker>()) {
    worker_->thread = std::thread([worker = worker_.get()] { worker->loop(); });
}

DispatchQueue::~DispatchQueue() {
    if (!worker_) return;
    if (isCurrent()) fatalError("a serial dispatch queue was destroyed from its own thread");
    {
        const std::lock_guard lock(worker_->mutex);
        worker_->stopping = true;
        worker_->delayed.clear();
    }
    worker_->changed.notify_all();
    worker_->thread.join();
}

bool DispatchQueue::isCurrent() const noexcept {
    if (!worker_) return isMainThread();
    return worker_->thread.get_id() == std::this_thread::get_id();
}

void DispatchQueue::async(Job job) {
    if (!worker_) {
        RunLoop::main().perform(std::move(job));
        return;
    }
    {
        const std::lock_guard lock(worker_->mutex);
        worker_->jobs.push_back(std::move(job));
    }
    worker_->changed.notify_all();
}

void DispatchQueue::asyncAfter(Clock::duration delay, Job job) {
    if (!worker_) {
        Timer::scheduledTimer(delay, false, [job = std::move(job)](Timer&) { job(); });
        return;
    }
    {
        const std::lock_guard lock(worker_->mutex);
        worker_->delayed.emplace(Clock::now() + delay, std::move(job));
    }
    worker_->changed.notify_all();
}

void DispatchQueue::sync(const Job& job) {
    if (isCurrent()) {
        if (!worker_) fatalError("dispatch sync on the main queue from the main thread would deadlock");
        const std::string message =
            "dispatch sync on the serial queue \"" + label_ + "\" from its own thread would deadlock";
        fatalError(message.c_str());
    }
    struct Completion {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        std::exception_ptr error;
    } completion;
    async([&job, &completion] {
        std::exception_ptr error;
        try {
            job();
        } catch (...) {
            error = std::current_exception();
        }
        // Notify under the lock: the waiter may destroy `completion` as soon as it
        // sees done, which it can only do after this lock is released.
        const std::lock_guard lock(completion.mutex);
        completion.error = std::move(error);
        completion.done = true;
        completion.finished.notify_all();
    });
    std::unique_lock lock(completion.mutex);
    completion.finished.wait(lock, [&] { return completion.done; });
    if (completion.error) std::rethrow_exception(completion.error);
}

}  // namespace foundation
