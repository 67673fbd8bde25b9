#include "foundation/RunLoop.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/Timer.hpp"

namespace foundation {

namespace {

// Initialised during static initialisation, which runs on the thread that
// starts the process; replaced by whichever thread pumps the main run loop.
std::atomic<std::thread::id> mainThreadId{std::this_thread::get_id()};

constexpr Clock::duration kPredicatePollInterval = std::chrono::milliseconds(5);

int pollTimeoutMilliseconds(Clock::duration wait) {
    if (wait <= Clock::duration::zero()) return 0;
    // Round up, so that a timer due in 0.3 ms is not polled for with 0 and spun on.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
    return static_cast<int>(std::min<std::int64_t>(ms, 60'000));
}

}  // namespace

bool isMainThread() noexcept {
    return mainThreadId.load(std::memory_order_acquire) == std::this_thread::get_id();
}

void markMainThread() noexcept { mainThreadId.store(std::this_thread::get_id(), std::memory_order_release); }

void fatalError(const char* message) noexcept {
    std::fprintf(stderr, "Fatal error: %s\n", message);
    std::fflush(stderr);
    std::abort();
}

struct RunLoop::State {
    struct Source {
        int fd;
        std::shared_ptr<std::function<void()>> onReadable;
    };

    std::mutex mutex;
    std::deque<Job> jobs;
    std::vector<std::shared_ptr<Timer>> timers;
    std::map<SourceId, Source> sources;
    SourceId nextSourceId = 1;
    bool stopRequested = false;
    int wakeFd = -1;

    void wake() const {
        const std::uint64_t one = 1;
        // A full counter already means "awake"; nothing else can fail here.
        [[maybe_unused]] const auto written = ::write(wakeFd, &one, sizeof one);
    }

    void drainWake() const {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto readBytes = ::read(wakeFd, &count, sizeof count);
    }

    void addTimer(std::shared_ptr<Timer> timer) {
        {
            const std::lock_guard lock(mutex);
            timer->fireDate_ = Clock::now() + timer->interval_;
            timers.push_back(std::move(timer));
        }
        wake();
    }

    void removeTimer(const Timer* timer) {
        const std::lock_guard lock(mutex);
        std::erase_if(timers, [timer](const auto& t) { return t.get() == timer; });
    }
};

RunLoop::RunLoop() : state_(std::make_unique<State>()) {
    state_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state_->wakeFd < 0) fatalError("the main run loop could not create its wake-up descriptor");
}

RunLoop::~RunLoop() {
    if (state_->wakeFd >= 0) ::close(state_->wakeFd);
}

RunLoop& RunLoop::main() {
    // Intentionally never destroyed: other threads may post to it while the
    // process exits and static objects are being torn down.
    static RunLoop* const loop = new RunLoop();
    return *loop;
}

void RunLoop::perform(Job job) {
    {
        const std::lock_guard lock(state_->mutex);
        state_->jobs.push_back(std::move(job));
    }
    state_->wake();
}

void RunLoop::stop() {
    {
        const std::lock_guard lock(state_->mutex);
        state_->stopRequested = true;
    }
    state_->wake();
}

RunLoop::SourceId RunLoop::addReadSource(int fd, std::function<void()> onReadable) {
    SourceId id = 0;
    {
        const std::lock_guard lock(state_->mutex);
        id = state_->nextSourceId++;
        state_->sources.emplace(
            id, State::Source{fd, std::make_shared<std::function<void()>>(std::move(onReadable))});
    }
    state_->wake();
    return id;
}

void RunLoop::removeSource(SourceId id) {
    {
        const std::lock_guard lock(state_->mutex);
        state_->sources.erase(id);
    }
    state_->wake();
}

bool RunLoop::runOnce(Clock::duration timeout) {
    markMainThread();
    State& s = *state_;

    std::vector<pollfd> fds;
    std::vector<SourceId> ids;
    Clock::duration wait = timeout;
    {
        const std::lock_guard lock(s.mutex);
        if (!s.jobs.empty() || s.stopRequested) wait = Clock::duration::zero();
        const auto now = Clock::now();
        for (const auto& timer : s.timers) wait = std::min(wait, timer->fireDate_ - now);
        fds.reserve(s.sources.size() + 1);
        ids.reserve(s.sources.size());
        fds.push_back(pollfd{s.wakeFd, POLLIN, 0});
        for (const auto& [id, source] : s.sources) {
            fds.push_back(pollfd{source.fd, POLLIN, 0});
            ids.push_back(id);
        }
    }

    int ready = ::poll(fds.data(), fds.size(), pollTimeoutMilliseconds(wait));
    if (ready < 0 && errno != EINTR) fatalError("poll failed in the main run loop");
    bool didWork = false;
    if (ready > 0) {
        if (fds[0].revents & POLLIN) s.drainWake();
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) continue;
            std::shared_ptr<std::function<void()>> callback;
            {
                const std::lock_guard lock(s.mutex);
                // The source may have been removed by an earlier callback of this pass.
                const auto it = s.sources.find(ids[i - 1]);
                if (it != s.sources.end()) callback = it->second.onReadable;
            }
            if (callback) {
                (*callback)();
                didWork = true;
            }
        }
    }

    // Timers due now. Repeating ones move on by whole intervals past now.
    std::vector<std::shared_ptr<Timer>> due;
    {
        const std::lock_guard lock(s.mutex);
        const auto now = Clock::now();
        std::erase_if(s.timers, [](const auto& t) { return !t->isValid(); });
        for (auto it = s.timers.begin(); it != s.timers.end();) {
            Timer& timer = **it;
            if (timer.fireDate_ > now) {
                ++it;
                continue;
            }
            due.push_back(*it);
            if (timer.repeats_ && timer.interval_ > Clock::duration::zero()) {
                const auto behind = now - timer.fireDate_;
                timer.fireDate_ += timer.interval_ * (behind / timer.interval_ + 1);
                ++it;
            } else if (timer.repeats_) {
                timer.fireDate_ = now;
                ++it;
            } else {
                it = s.timers.erase(it);
            }
        }
    }
    for (const auto& timer : due) {
        if (!timer->isValid()) continue;
        timer->callback_(*timer);
        if (!timer->repeats_) timer->valid_.store(false, std::memory_order_release);
        didWork = true;
    }

    // The jobs queued so far; jobs they queue wait for the next pass.
    std::size_t pending = 0;
    {
        const std::lock_guard lock(s.mutex);
        pending = s.jobs.size();
    }
    for (; pending > 0; --pending) {
        Job job;
        {
            const std::lock_guard lock(s.mutex);
            if (s.jobs.empty()) break;  // a nested pass ran them
            job = std::move(s.jobs.front());
            s.jobs.pop_front();
        }
        job();
        didWork = true;
    }
    return didWork;
}

void RunLoop::run() {
    for (;;) {
        {
            const std::lock_guard lock(state_->mutex);
            if (state_->stopRequested) {
                state_->stopRequested = false;
                return;
            }
        }
        runOnce(std::chrono::seconds(60));
    }
}

void RunLoop::runUntil(Clock::time_point deadline) {
    for (;;) {
        {
            const std::lock_guard lock(state_->mutex);
            if (state_->stopRequested) {
                state_->stopRequested = false;
                return;
            }
        }
        const auto now = Clock::now();
        if (now >= deadline) return;
        runOnce(deadline - now);
    }
}

bool RunLoop::runUntil(const std::function<bool()>& done, Clock::time_point deadline) {
    markMainThread();
    for (;;) {
        if (done()) return true;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        // done() may turn true through another thread without waking the loop,
        // so look again at least every few milliseconds.
        runOnce(std::min<Clock::duration>(deadline - now, kPredicatePollInterval));
    }
}

bool RunLoop::runUntil(const std::function<bool()>& done, Clock::duration timeout) {
    return runUntil(done, Clock::now() + timeout);
}

// ---- Timer ----

Timer::Timer(Clock::duration interval, bool repeats, Callback callback)
    : interval_(std::max(interval, Clock::duration::zero())),
      repeats_(repeats),
      callback_(std::move(callback)) {}

std::shared_ptr<Timer> Timer::scheduledTimer(Clock::duration interval, bool repeats,
                                             Callback callback) {
    auto timer = std::make_shared<Timer>(interval, repeats, std::move(callback));
    RunLoop::main().state_->addTimer(timer);
    return timer;
}

std::shared_ptr<Timer> Timer::scheduledTimer(double intervalSeconds, bool repeats,
                                             Callback callback) {
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(intervalSeconds > 0.0 ? intervalSeconds : 0.0));
    return scheduledTimer(interval, repeats, std::move(callback));
}

void Timer::invalidate() {
    if (!valid_.exchange(false, std::memory_order_acq_rel)) return;
    RunLoop::main().state_->removeTimer(this);
}

}  // namespace foundation
