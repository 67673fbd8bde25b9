#pragma once
// Calls into another process that may stop answering (a server stopped or
// wedged): the call runs on a thread of its own and the caller waits for it
// at most a time limit. When the limit passes first, that thread is left to
// finish or to block on its own (detached) and the caller goes on. The call
// may still use whatever it was given at any later time, so a caller that
// gives up must never free what the call touches: it abandons it instead.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace foundation {

// The call's result, or nothing when it did not return within `limit`.
template <class F>
    requires(!std::is_void_v<std::invoke_result_t<F&>>)
std::optional<std::invoke_result_t<F&>> callWithTimeLimit(std::chrono::milliseconds limit, F call) {
    using Result = std::invoke_result_t<F&>;
    // Shared with the thread, which may outlive the caller's wait.
    struct Outcome {
        std::mutex mutex;
        std::condition_variable returned;
        std::optional<Result> result;
    };
    const auto outcome = std::make_shared<Outcome>();
    std::thread caller([outcome, call = std::move(call)]() mutable {
        Result result = call();
        const std::lock_guard lock(outcome->mutex);
        outcome->result.emplace(std::move(result));
        outcome->returned.notify_all();
    });
    std::unique_lock lock(outcome->mutex);
    if (!outcome->returned.wait_for(lock, limit, [&] { return outcome->result.has_value(); })) {
        lock.unlock();
        caller.detach();
        return std::nullopt;
    }
    std::optional<Result> result = std::move(outcome->result);
    lock.unlock();
    caller.join();
    return result;
}

}  // namespace foundation
