#pragma once
// The main run loop: one per process, driven by whichever thread pumps it with
// run(), runUntil() or runOnce(); that thread is the main thread. It waits in
// poll() for its wake-up descriptor, registered file-descriptor sources and the
// next timer, then runs ready sources, due timers and queued main-queue jobs.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace foundation {

using Job = std::function<void()>;
using Clock = std::chrono::steady_clock;

// True on the main thread: the thread that last pumped the main run loop, or,
// before anyone has, the thread that started the process.
[[nodiscard]] bool isMainThread() noexcept;
// Makes the calling thread the main thread, as pumping the main run loop does.
void markMainThread() noexcept;

// Prints "Fatal error: <message>" on standard error and aborts. For programming
// errors that must not be survived.
[[noreturn]] void fatalError(const char* message) noexcept;

class RunLoop {
public:
    using SourceId = std::uint64_t;

    // The process's main run loop. Never destroyed, so that other threads may
    // still post to it while the process exits.
    static RunLoop& main();

    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // Runs until stop() is called. A stop() that arrives before run() makes the
    // next run() return at once.
    void run();
    // Runs until the deadline passes or stop() is called.
    void runUntil(Clock::time_point deadline);
    // Runs until done() is true or the deadline passes; returns done()'s last
    // answer. done() is checked after every pass and at least every 5 ms, so it
    // may watch state that other threads change.
    bool runUntil(const std::function<bool()>& done, Clock::time_point deadline);
    bool runUntil(const std::function<bool()>& done, Clock::duration timeout);
    // One pass: waits at most `timeout` for something to do, then runs every
    // ready source, every due timer and the jobs queued so far. Returns whether
    // anything ran.
    bool runOnce(Clock::duration timeout = Clock::duration::zero());

    // Makes run() and runUntil(deadline) return after the current pass. Any thread.
    void stop();

    // Calls onReadable on the main thread whenever fd is readable (or has hung
    // up or failed: the callback then reads end-of-file or the error). The
    // descriptor stays owned by the caller. Any thread.
    SourceId addReadSource(int fd, std::function<void()> onReadable);
    // After this returns on the main thread, the callback is not called again.
    void removeSource(SourceId id);

    // Queues a job for the main thread (the main dispatch queue's async). Any thread.
    void perform(Job job);

    struct State;

private:
    RunLoop();
    ~RunLoop();
    std::unique_ptr<State> state_;
    friend class Timer;
};

}  // namespace foundation
