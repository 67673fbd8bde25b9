// The main run loop and queues: job order, sync, timers, delayed jobs, read sources, the deadlock aborts.

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

TEST(MainQueueTest, JobsRunInOrderAndJobsQueuedByAJobOnTheNextPass) {
    std::vector<int> order;
    for (int i = 0; i < 50; ++i) DispatchQueue::main().async([&, i] { order.push_back(i); });
    std::thread([&] {
        for (int i = 50; i < 100; ++i) DispatchQueue::main().async([&, i] { order.push_back(i); });
    }).join();
    ASSERT_TRUE(RunLoop::main().runUntil([&] { return order.size() == 100; }, 5s));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);

    std::vector<std::string> log;
    DispatchQueue::main().async([&] {
        log.push_back("outer");
        DispatchQueue::main().async([&] { log.push_back("inner"); });
    });
    DispatchQueue::main().async([&] { log.push_back("second"); });
    EXPECT_TRUE(RunLoop::main().runOnce(0ms));
    EXPECT_EQ(log, (std::vector<std::string>{"outer", "second"}));
    EXPECT_TRUE(RunLoop::main().runOnce(0ms));
    EXPECT_EQ(log, (std::vector<std::string>{"outer", "second", "inner"}));
    EXPECT_FALSE(RunLoop::main().runOnce(0ms));
}

TEST(MainQueueTest, SyncTimersAndDelayedJobsFromAnotherThreadRunOnTheMainThreadAndAStopEndsItsRun) {
    RunLoop::main().runOnce(0ms);  // this thread is the main thread from here on
    std::atomic<bool> jobOnMain{false}, timerOnMain{true};
    std::atomic<Clock::duration> jobDelay{};
    std::atomic<int> timerFires{0};
    bool ranOnMain = false;
    int value = 0;
    std::string rethrown;
    std::shared_ptr<Timer> timer;
    std::thread caller([&] {
        timer = Timer::scheduledTimer(5ms, true, [&](Timer& t) {
            timerOnMain = timerOnMain && isMainThread();
            if (timerFires.fetch_add(1) == 1) t.invalidate();
        });
        const auto queued = Clock::now();
        DispatchQueue::main().asyncAfter(50ms, [&, queued] {
            jobDelay = Clock::now() - queued;
            jobOnMain = DispatchQueue::main().isCurrent();
        });
        value = DispatchQueue::main().sync([&] {
            ranOnMain = isMainThread();
            return 7;
        });
        try {
            DispatchQueue::main().sync([] { throw std::runtime_error("job failed"); });
        } catch (const std::runtime_error& e) {
            rethrown = e.what();
        }
        // Done (or out of time): a stop from this thread ends the main thread's run.
        for (int i = 0; i < 500 && !(timerFires == 2 && jobOnMain); ++i) std::this_thread::sleep_for(10ms);
        RunLoop::main().stop();
    });
    RunLoop::main().run();
    caller.join();
    EXPECT_TRUE(ranOnMain);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(rethrown, "job failed");
    EXPECT_EQ(timerFires.load(), 2);
    EXPECT_TRUE(jobOnMain);
    EXPECT_TRUE(timerOnMain);
    EXPECT_FALSE(timer->isValid());
    EXPECT_GE(jobDelay.load(), 50ms);
}

TEST(DispatchDeathTest, SyncFromTheQueuesOwnThreadAbortsNamingTheQueue) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            RunLoop::main().runOnce(0ms);
            DispatchQueue::main().sync([] {});
        },
        "Fatal error: dispatch sync on the main queue from the main thread would deadlock");
    EXPECT_DEATH(
        {
            DispatchQueue queue("org.dunmarrow.tests.self");
            queue.sync([&] { queue.sync([] {}); });
        },
        "dispatch sync on the serial queue \"org.dunmarrow.tests.self\" from its own thread would deadlock");
}

namespace contracts {
void mainOnly() { DUNMARROW_ASSERT_MAIN_THREAD(); }
void renderOnly() { DUNMARROW_ASSERT_RENDER_THREAD(); }
void neverOnRender() { DUNMARROW_ASSERT_NOT_RENDER_THREAD(); }
}  // namespace contracts

TEST(ThreadContractDeathTest, BrokenContractsAbortNamingTheFunction) {
    if (!DUNMARROW_THREAD_CHECKS) GTEST_SKIP() << "thread checks are compiled out of this build";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    RunLoop::main().runOnce(0ms);
    // Kept: nothing happens.
    contracts::mainOnly();
    contracts::neverOnRender();
    {
        const RenderThreadScope outer;
        const RenderThreadScope nested;
        contracts::renderOnly();
    }
    EXPECT_FALSE(isRenderThread());
    EXPECT_DEATH(std::thread(contracts::mainOnly).join(), "Fatal error: mainOnly must run on the main thread");
    EXPECT_DEATH(contracts::renderOnly(), "Fatal error: renderOnly must run on the render thread");
    EXPECT_DEATH(
        {
            const RenderThreadScope scope;
            contracts::neverOnRender();
        },
        "Fatal error: neverOnRender must run off the render thread");
}

TEST(MainQueueTest, RepeatingTimersKeepTheirCadenceUntilInvalidatedAndOneShotsFireOnce) {
    std::vector<Clock::time_point> fires;
    const auto start = Clock::now();
    auto timer = Timer::scheduledTimer(20ms, true, [&](Timer&) { fires.push_back(Clock::now()); });
    int oneShot = 0, invalidated = 0;
    std::weak_ptr<Timer> weak = Timer::scheduledTimer(0.01, false, [&](Timer&) { ++oneShot; });
    Timer::scheduledTimer(10ms, true, [&](Timer&) { ++invalidated; })->invalidate();
    RunLoop::main().runUntil(start + 400ms);
    timer->invalidate();
    // 20 beats in 400 ms; loaded machines may skip some, never add any, nor fire the n-th before n intervals.
    EXPECT_GE(fires.size(), 7u);
    EXPECT_LE(fires.size(), 20u);
    for (std::size_t i = 0; i < fires.size(); ++i)
        EXPECT_GE(fires[i] - start, 20ms * static_cast<int>(i + 1)) << "fire " << i;
    EXPECT_EQ(oneShot, 1);  // the loop keeps the one-shot until it fired
    const auto shot = weak.lock();
    EXPECT_TRUE(shot == nullptr || !shot->isValid());
    EXPECT_EQ(invalidated, 0);
}

TEST(MainQueueTest, ReadSourcesCallBackOnTheMainThreadUntilTheyRemoveThemselves) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string received;
    RunLoop::SourceId id = 0;
    id = RunLoop::main().addReadSource(fds[0], [&] {
        char buffer[64];
        const auto n = ::read(fds[0], buffer, sizeof buffer);
        if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
        if (received == "ping") RunLoop::main().removeSource(id);
    });
    ASSERT_EQ(::write(fds[1], "ping", 4), 4);
    ASSERT_TRUE(RunLoop::main().runUntil([&] { return received == "ping"; }, 5s));
    ASSERT_EQ(::write(fds[1], "more", 4), 4);
    RunLoop::main().runUntil(Clock::now() + 30ms);
    EXPECT_EQ(received, "ping");
    ::close(fds[0]);
    ::close(fds[1]);
}
