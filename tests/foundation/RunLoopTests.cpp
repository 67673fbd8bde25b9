// The main run loop and main queue: job order, sync from other threads, the
// main-thread sync abort, timers, delayed jobs and file-descriptor sources;
// the thread-contract checks built on the main thread and render scopes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "foundation/DispatchQueue.hpp"
#include "foundation/RunLoop.hpp"
#include "foundation/ThreadContract.hpp"
#include "foundation/Timer.hpp"

using namespace foundation;
using namespace std::chrono_literals;

namespace {

RunLoop& loop() { return RunLoop::main(); }

// Runs the loop until `done` or a generous deadline; tests assert on the result.
bool pumpUntil(const std::function<bool()>& done, Clock::duration timeout = 5s) {
    return loop().runUntil(done, timeout);
}

// Empties the queue of anything an earlier test left behind.
void drain() {
    while (loop().runOnce(0ms)) {
    }
}

class MainQueueTest : public ::testing::Test {
protected:
    void SetUp() override { drain(); }
    void TearDown() override { drain(); }
};

}  // namespace

TEST_F(MainQueueTest, JobsRunInOrderOnThePumpingThreadAndJobsQueuedByAJobOnTheNextPass) {
    std::vector<int> order;
    std::atomic<bool> offMain{false};
    for (int i = 0; i < 50; ++i) DispatchQueue::main().async([&, i] {
        if (!isMainThread()) offMain = true;
        order.push_back(i);
    });
    std::thread poster([&] {
        for (int i = 50; i < 100; ++i) DispatchQueue::main().async([&, i] { order.push_back(i); });
    });
    poster.join();
    ASSERT_TRUE(pumpUntil([&] { return order.size() == 100; }));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(offMain);
    EXPECT_TRUE(isMainThread());
    bool other = true;
    std::thread([&] { other = isMainThread(); }).join();
    EXPECT_FALSE(other);

    std::vector<std::string> log;
    DispatchQueue::main().async([&] {
        log.push_back("outer");
        DispatchQueue::main().async([&] { log.push_back("inner"); });
    });
    DispatchQueue::main().async([&] { log.push_back("second"); });
    EXPECT_TRUE(loop().runOnce(0ms));
    EXPECT_EQ(log, (std::vector<std::string>{"outer", "second"}));
    EXPECT_TRUE(loop().runOnce(0ms));
    EXPECT_EQ(log, (std::vector<std::string>{"outer", "second", "inner"}));
    EXPECT_FALSE(loop().runOnce(0ms));
}

TEST_F(MainQueueTest, SyncFromAnotherThreadRunsOnTheMainThreadWaitsAndRethrows) {
    loop().runOnce(0ms);  // this thread is the main thread from here on
    std::atomic<bool> finished{false};
    bool ranOnMain = false;
    bool callerWasMain = true;
    int value = 0;
    std::string rethrown;
    std::thread caller([&] {
        callerWasMain = isMainThread();
        value = DispatchQueue::main().sync([&] {
            ranOnMain = isMainThread();
            return 7;
        });
        try {
            DispatchQueue::main().sync([] { throw std::runtime_error("job failed"); });
        } catch (const std::runtime_error& e) {
            rethrown = e.what();
        }
        finished = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return finished.load(); }));
    caller.join();
    EXPECT_FALSE(callerWasMain);
    EXPECT_TRUE(ranOnMain);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(rethrown, "job failed");
}

TEST(MainQueueDeathTest, SyncFromTheMainThreadAbortsWithAMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            RunLoop::main().runOnce(0ms);
            DispatchQueue::main().sync([] {});
        },
        "Fatal error: dispatch sync on the main queue from the main thread would deadlock");
}

TEST_F(MainQueueTest, AsyncAfterWaitsForItsDelayAndStopFromAnotherThreadEndsRun) {
    const auto start = Clock::now();
    Clock::time_point ranAt{};
    DispatchQueue::main().asyncAfter(50ms, [&] { ranAt = Clock::now(); });
    loop().runOnce(0ms);
    EXPECT_EQ(ranAt, Clock::time_point{});
    ASSERT_TRUE(pumpUntil([&] { return ranAt != Clock::time_point{}; }));
    EXPECT_GE(ranAt - start, 50ms);

    std::thread stopper([] {
        std::this_thread::sleep_for(20ms);
        RunLoop::main().stop();
    });
    loop().run();  // a stop that never came would hang here
    stopper.join();
}

namespace contracts {
void mainOnly() { DUNMARROW_ASSERT_MAIN_THREAD(); }
void renderOnly() { DUNMARROW_ASSERT_RENDER_THREAD(); }
void neverOnRender() { DUNMARROW_ASSERT_NOT_RENDER_THREAD(); }
}  // namespace contracts

using ThreadContractDeathTest = MainQueueTest;

TEST_F(ThreadContractDeathTest, BrokenContractsAbortNamingTheFunction) {
    if (!DUNMARROW_THREAD_CHECKS) GTEST_SKIP() << "thread checks are compiled out of this build";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    loop().runOnce(0ms);
    // Kept: nothing happens.
    contracts::mainOnly();
    contracts::neverOnRender();
    {
        const RenderThreadScope outer;
        const RenderThreadScope nested;
        contracts::renderOnly();
    }
    EXPECT_FALSE(isRenderThread());
    // Broken: the process stops with the function's name and the contract.
    EXPECT_DEATH(std::thread(contracts::mainOnly).join(), "Fatal error: mainOnly must run on the main thread");
    EXPECT_DEATH(contracts::renderOnly(), "Fatal error: renderOnly must run on the render thread");
    EXPECT_DEATH(
        {
            const RenderThreadScope scope;
            contracts::neverOnRender();
        },
        "Fatal error: neverOnRender must run off the render thread");
}

// ---- Timers ----

TEST_F(MainQueueTest, RepeatingTimerKeepsItsCadence) {
    std::vector<Clock::time_point> fires;
    const auto start = Clock::now();
    auto timer = Timer::scheduledTimer(20ms, true, [&](Timer&) { fires.push_back(Clock::now()); });
    loop().runUntil(start + 400ms);
    timer->invalidate();
    // 20 beats in 400 ms; loaded machines may skip some, never add any.
    EXPECT_GE(fires.size(), 7u);
    EXPECT_LE(fires.size(), 20u);
    ASSERT_FALSE(fires.empty());
    EXPECT_GE(fires.front() - start, 20ms);
    // Beats stay on the grid: the n-th fire is never before n intervals.
    for (std::size_t i = 0; i < fires.size(); ++i)
        EXPECT_GE(fires[i] - start, 20ms * static_cast<int>(i + 1)) << "fire " << i;
    EXPECT_EQ(timer->tolerance(), 0.0);
}

TEST_F(MainQueueTest, TimersStopWhenInvalidatedAndOneShotsFireOnce) {
    int repeating = 0, oneShot = 0, invalidated = 0;
    auto selfStopping = Timer::scheduledTimer(5ms, true, [&](Timer& t) {
        if (++repeating == 3) t.invalidate();
    });
    std::weak_ptr<Timer> weak = Timer::scheduledTimer(0.01, false, [&](Timer&) { ++oneShot; });
    Timer::scheduledTimer(10ms, true, [&](Timer&) { ++invalidated; })->invalidate();
    ASSERT_TRUE(pumpUntil([&] { return repeating == 3 && oneShot == 1; }));  // the loop keeps the one-shot
    loop().runUntil(Clock::now() + 50ms);
    EXPECT_EQ(repeating, 3);
    EXPECT_FALSE(selfStopping->isValid());
    EXPECT_EQ(oneShot, 1);
    const auto timer = weak.lock();
    EXPECT_TRUE(timer == nullptr || !timer->isValid());
    EXPECT_EQ(invalidated, 0);
}

// ---- File-descriptor sources ----

TEST_F(MainQueueTest, ReadSourcesCallBackOnTheMainThreadUntilRemovedEvenFromTheirCallback) {
    int fds[2], other[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::pipe(other), 0);
    std::string received;
    bool onMain = true;
    const auto id = loop().addReadSource(fds[0], [&] {
        onMain = onMain && isMainThread();
        char buffer[64];
        const auto n = ::read(fds[0], buffer, sizeof buffer);
        if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
    });
    int calls = 0;
    RunLoop::SourceId selfRemoving = 0;
    selfRemoving = loop().addReadSource(other[0], [&] {
        ++calls;
        loop().removeSource(selfRemoving);  // unread data would otherwise fire it again
    });
    std::thread writer([&] {
        std::this_thread::sleep_for(10ms);
        ASSERT_EQ(::write(fds[1], "ping", 4), 4);
        ASSERT_EQ(::write(other[1], "x", 1), 1);
    });
    ASSERT_TRUE(pumpUntil([&] { return received == "ping" && calls == 1; }));
    writer.join();
    EXPECT_TRUE(onMain);

    loop().removeSource(id);
    ASSERT_EQ(::write(fds[1], "more", 4), 4);
    loop().runUntil(Clock::now() + 30ms);
    EXPECT_EQ(received, "ping");
    EXPECT_EQ(calls, 1);
    for (int fd : {fds[0], fds[1], other[0], other[1]}) ::close(fd);
}

TEST_F(MainQueueTest, TimersAndJobsFromOtherThreadsRunOnTheMainThread) {
    loop().runOnce(0ms);
    std::atomic<int> timerFires{0};
    std::atomic<bool> timerOnMain{true};
    std::atomic<bool> jobOnMain{false};
    std::shared_ptr<Timer> timer;
    std::thread other([&] {
        EXPECT_FALSE(DispatchQueue::main().isCurrent());
        timer = Timer::scheduledTimer(5ms, true, [&](Timer& t) {
            timerOnMain = timerOnMain && isMainThread();
            if (timerFires.fetch_add(1) == 1) t.invalidate();
        });
        DispatchQueue::main().asyncAfter(10ms, [&] { jobOnMain = DispatchQueue::main().isCurrent(); });
    });
    other.join();
    ASSERT_TRUE(pumpUntil([&] { return timerFires == 2 && jobOnMain; }));
    EXPECT_TRUE(timerOnMain);
    EXPECT_FALSE(timer->isValid());
}
