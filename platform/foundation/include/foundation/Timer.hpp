#pragma once
// Timers on the main run loop. A scheduled timer is kept by the run loop until
// it is invalidated (a non-repeating one invalidates itself after firing), so
// the caller may drop its reference. Repeating timers keep their cadence: each
// fire date is the previous one plus the interval, and beats missed while the
// main thread was busy are skipped rather than fired in a burst. Tolerance is 0.

#include <atomic>
#include <functional>
#include <memory>

#include "foundation/RunLoop.hpp"

namespace foundation {

class Timer : public std::enable_shared_from_this<Timer> {
public:
    // Called on the main thread. May invalidate the timer it is given.
    using Callback = std::function<void(Timer&)>;

    // Schedules on the main run loop; the first fire is one interval from now.
    // Any thread. An interval below 0 counts as 0; a repeating timer fires at
    // most once per pass of the run loop.
    static std::shared_ptr<Timer> scheduledTimer(Clock::duration interval, bool repeats,
                                                 Callback callback);
    static std::shared_ptr<Timer> scheduledTimer(double intervalSeconds, bool repeats,
                                                 Callback callback);

    // Stops the timer. Called on the main thread, no callback follows; from
    // another thread, a callback already running may still finish.
    void invalidate();
    [[nodiscard]] bool isValid() const noexcept { return valid_.load(std::memory_order_acquire); }
    [[nodiscard]] Clock::duration timeInterval() const noexcept { return interval_; }
    [[nodiscard]] bool repeats() const noexcept { return repeats_; }
    [[nodiscard]] double tolerance() const noexcept { return 0.0; }

    Timer(Clock::duration interval, bool repeats, Callback callback);

private:
    friend class RunLoop;
    friend struct RunLoop::State;
    const Clock::duration interval_;
    const bool repeats_;
    const Callback callback_;
    std::atomic<bool> valid_{true};
    Clock::time_point fireDate_;  // guarded by the run loop's mutex
};

}  // namespace foundation
