#include "Termination.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ToolError.hpp"

namespace render {
namespace {

constexpr int kUsageError = 2;
constexpr const char* kTimeLimitVariable = "DUNMARROW_RENDER_TIME_LIMIT";
constexpr std::chrono::seconds kDefaultTimeLimit{30};
constexpr long long kLongestTimeLimit = 86400;

// Signals that end the process by default and may come from outside at any
// moment; the real-time signals join them at run time.
constexpr int kAsynchronousSignals[] = {SIGHUP,    SIGINT,  SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM,
                                        SIGTERM,   SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO, SIGPWR};
// Signals that report a fault of the thread they stop. They end the process
// too, but cannot be blocked.
constexpr int kFaultSignals[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS};

sigset_t asynchronousSignals() noexcept {
    sigset_t set;
    sigemptyset(&set);
    for (int signalNumber : kAsynchronousSignals) sigaddset(&set, signalNumber);
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) sigaddset(&set, signalNumber);
    return set;
}

// The temporary file to remove. A fixed buffer, because a signal handler may
// only read plain memory; the flag says whether it holds a name.
char pendingTemporary[4096];
std::atomic<bool> havePendingTemporary{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read in signal handlers");

void removePendingTemporary() noexcept {
    if (havePendingTemporary.load(std::memory_order_acquire)) ::unlink(pendingTemporary);
}

// Runs on whichever thread the signal interrupts: only async-signal-safe calls.
// The signal is blocked while this runs, so the one raised here is delivered,
// with its default action, as soon as the handler returns.
extern "C" void removeTemporaryAndEnd(int signalNumber) {
    const int savedErrno = errno;
    removePendingTemporary();
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    ::sigaction(signalNumber, &byDefault, nullptr);
    ::raise(signalNumber);
    errno = savedErrno;
}

// Takes the signal over only while it still has its default action.
void takeOver(int signalNumber, const sigset_t& blockedMeanwhile) {
    struct sigaction current {};
    if (::sigaction(signalNumber, nullptr, &current) != 0) return;
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) return;
    struct sigaction handler {};
    handler.sa_handler = removeTemporaryAndEnd;
    handler.sa_mask = blockedMeanwhile;
    ::sigaction(signalNumber, &handler, nullptr);
}

void writeAll(int fd, std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace

void rememberTemporary(const std::string& path) noexcept {
    if (path.size() >= sizeof pendingTemporary) return;
    std::memcpy(pendingTemporary, path.c_str(), path.size() + 1);
    havePendingTemporary.store(true, std::memory_order_release);
}

void forgetTemporary() noexcept { havePendingTemporary.store(false, std::memory_order_release); }

void handleDeadlySignals() {
    static bool handled = false;
    if (handled) return;
    handled = true;
    // While one of them is handled, the others wait, so that the file is
    // removed before any of them ends the process.
    const sigset_t blockedMeanwhile = asynchronousSignals();
    for (int signalNumber : kAsynchronousSignals) takeOver(signalNumber, blockedMeanwhile);
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber)
        takeOver(signalNumber, blockedMeanwhile);
    for (int signalNumber : kFaultSignals) takeOver(signalNumber, blockedMeanwhile);

    struct sigaction current {};
    if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
        current.sa_handler == SIG_DFL) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGXFSZ, &ignore, nullptr);
    }
}

DeadlySignalsBlocked::DeadlySignalsBlocked() noexcept {
    const sigset_t deadly = asynchronousSignals();
    ::pthread_sigmask(SIG_BLOCK, &deadly, &previous_);
}

DeadlySignalsBlocked::~DeadlySignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void exitWithError(std::string_view message, int status) noexcept {
    static std::atomic<bool> ending{false};
    if (ending.exchange(true, std::memory_order_acq_rel)) {
        // The first caller ends the process in a moment.
        for (;;) ::pause();
    }
    // A thread stuck while writing to standard output holds its lock; then
    // what it has not written is lost, rather than the exit.
    if (::ftrylockfile(stdout) == 0) {
        std::fflush(stdout);
        ::funlockfile(stdout);
    }
    removePendingTemporary();
    std::string line = "dunmarrow-render: ";
    line.append(message);
    line += '\n';
    writeAll(STDERR_FILENO, line);
    std::_Exit(status);
}

TimeLimit::TimeLimit(std::chrono::seconds limit, std::string message) {
    // The watchdog must never take a signal meant to remove the temporary file.
    const DeadlySignalsBlocked onlyTheMainThreadTakesSignals;
    watchdog_ = std::thread([this, limit, message = std::move(message)] {
        std::unique_lock lock(mutex_);
        if (!waitIsOver_.wait_for(lock, limit, [this] { return over_; })) exitWithError(message, 1);
    });
}

TimeLimit::~TimeLimit() {
    {
        const std::lock_guard lock(mutex_);
        over_ = true;
    }
    waitIsOver_.notify_one();
    watchdog_.join();
}

std::chrono::seconds waitTimeLimit() {
    const char* text = std::getenv(kTimeLimitVariable);
    if (text == nullptr || *text == '\0') return kDefaultTimeLimit;
    const std::string_view value(text);
    long long seconds = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (error != std::errc() || end != value.data() + value.size() || seconds < 1 || seconds > kLongestTimeLimit)
        throw ToolError(std::string(kTimeLimitVariable) + " needs whole seconds from 1 to " +
                            std::to_string(kLongestTimeLimit) + ", not '" + std::string(value) + "'",
                        kUsageError);
    return std::chrono::seconds(seconds);
}

std::string secondsText(std::chrono::seconds duration) {
    return std::to_string(duration.count()) + (duration.count() == 1 ? " second" : " seconds");
}

}  // namespace render
