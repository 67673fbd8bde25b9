#pragma once
// How the tool ends when it cannot go on: an error, a time limit, a signal.
// The temporary output file, while there is one, is removed in every case
// that runs any code at all; only SIGKILL or a power cut can leave it behind.

#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace render {

// Records the temporary file that an error, a time limit or a signal must
// remove, or forgets it once it has been renamed or removed. Main thread; call
// rememberTemporary with the deadly signals blocked (see DeadlySignalsBlocked),
// so that no signal can come between creating the file and recording it.
void rememberTemporary(const std::string& path) noexcept;
void forgetTemporary() noexcept;

// From the first call on, every catchable signal whose default action ends
// the process (SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGUSR1, SIGALRM,
// the real-time signals, ...) first removes the recorded temporary file, then
// ends the process as it would have. Signals the parent set to be ignored
// (nohup) stay ignored, and so do signals some other code already handles.
// SIGXFSZ is ignored, so that a write beyond the file-size limit fails with
// "File too large" like any other write error. Main thread.
void handleDeadlySignals();

// Blocks the signals that may arrive at any moment from outside in the calling
// thread while it lives. Threads started meanwhile inherit the block and keep
// it, so the thread that made this object stays the only one such a signal can
// reach: the one whose block around creating the temporary file guarantees
// that the file is always removed.
class DeadlySignalsBlocked {
public:
    DeadlySignalsBlocked() noexcept;
    ~DeadlySignalsBlocked();
    DeadlySignalsBlocked(const DeadlySignalsBlocked&) = delete;
    DeadlySignalsBlocked& operator=(const DeadlySignalsBlocked&) = delete;

private:
    sigset_t previous_{};
};

// Ends the program at once: flushes standard output unless another thread is
// writing to it, removes the temporary file, writes "dunmarrow-render:
// MESSAGE" to standard error and exits with `status` without running
// destructors, so that no thread stuck in the effect's code (a module whose
// loading never returns) can hold the exit up. Any thread; when two threads
// call it, the first one's line is the only one.
[[noreturn]] void exitWithError(std::string_view message, int status) noexcept;

// A bound on one wait for something outside the process. If the object still
// lives `limit` after it was made, a watchdog thread ends the program with
// exitWithError(message, 1), whatever the waiting thread is doing.
class TimeLimit {
public:
    TimeLimit(std::chrono::seconds limit, std::string message);
    // Main thread: the wait is over; stops the watchdog.
    ~TimeLimit();
    TimeLimit(const TimeLimit&) = delete;
    TimeLimit& operator=(const TimeLimit&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable waitIsOver_;
    bool over_ = false;
    std::thread watchdog_;
};

// How long the tool waits for something outside it (the effect to load, a
// program to open a FIFO output for reading): DUNMARROW_RENDER_TIME_LIMIT
// seconds, 30 when it is unset or empty. Throws ToolError (command-line
// status) for anything but a whole number from 1 to 86400.
std::chrono::seconds waitTimeLimit();

// "1 second", "30 seconds".
std::string secondsText(std::chrono::seconds duration);

}  // namespace render
