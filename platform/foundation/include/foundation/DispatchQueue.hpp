#pragma once
// Dispatch queues: the main queue, whose jobs run on the main run loop, and
// serial queues, each with its own thread running its jobs one at a time in
// the order they were submitted.

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "foundation/RunLoop.hpp"

namespace foundation {

class DispatchQueue {
public:
    // The main queue. Its jobs run when the main thread pumps the run loop.
    static DispatchQueue& main();

    // A serial queue with its own thread.
    explicit DispatchQueue(std::string label);
    // Runs the jobs already submitted (delayed ones are dropped), then ends the
    // queue's thread. Destroying a queue from its own thread is a programming error.
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    [[nodiscard]] const std::string& label() const noexcept { return label_; }
    [[nodiscard]] bool isMain() const noexcept { return worker_ == nullptr; }
    // True when the calling thread is the one this queue's jobs run on.
    [[nodiscard]] bool isCurrent() const noexcept;

    // Queues a job and returns at once. Any thread.
    void async(Job job);
    // Queues a job to run once `delay` has passed. Any thread.
    void asyncAfter(Clock::duration delay, Job job);
    // Runs a job on the queue and waits for it; an exception it throws is
    // rethrown here. Calling it from the queue's own thread (for the main
    // queue: from the main thread) would deadlock and aborts instead.
    void sync(const Job& job);

    // sync() for a job with a result.
    template <class F>
        requires(!std::is_void_v<std::invoke_result_t<F&>>)
    auto sync(F&& job) -> std::invoke_result_t<F&> {
        std::optional<std::invoke_result_t<F&>> result;
        sync(Job([&] { result.emplace(job()); }));
        return std::move(*result);
    }

    struct Worker;

private:
    struct MainTag {};
    explicit DispatchQueue(MainTag);
    std::string label_;
    std::unique_ptr<Worker> worker_;  // null for the main queue
};

}  // namespace foundation
