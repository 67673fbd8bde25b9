// Serial dispatch queues: one thread, submission order, sync, delayed jobs,
// the own-thread sync abort and draining on destruction.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "foundation/DispatchQueue.hpp"

using namespace foundation;
using namespace std::chrono_literals;

TEST(SerialQueueTest, RunsJobsOneAtATimeInOrderOnItsOwnThread) {
    DispatchQueue queue("org.dunmarrow.tests.serial");
    EXPECT_EQ(queue.label(), "org.dunmarrow.tests.serial");
    EXPECT_FALSE(queue.isMain());
    EXPECT_FALSE(queue.isCurrent());

    std::vector<int> order;  // touched only by the queue's jobs
    std::set<std::thread::id> threads;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    bool current = true;
    for (int i = 0; i < 200; ++i) {
        queue.async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            order.push_back(i);
            threads.insert(std::this_thread::get_id());
            current = current && queue.isCurrent();
            running.fetch_sub(1);
        });
    }
    queue.sync([] {});  // everything submitted before has run
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    EXPECT_FALSE(overlapped);
    EXPECT_TRUE(current);
}

TEST(SerialQueueTest, SyncFromSeveralThreadsNeverOverlaps) {
    DispatchQueue queue("org.dunmarrow.tests.state");
    int counter = 0;  // only the queue touches it
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            for (int i = 0; i < 250; ++i) queue.sync([&] { ++counter; });
        });
    for (auto& c : callers) c.join();
    EXPECT_EQ(queue.sync([&] { return counter; }), 1000);
}

TEST(SerialQueueTest, SyncRethrowsAndTheQueueCarriesOn) {
    DispatchQueue queue("org.dunmarrow.tests.throwing");
    EXPECT_THROW(queue.sync([] { throw std::logic_error("bad"); }), std::logic_error);
    EXPECT_EQ(queue.sync([] { return 5; }), 5);
}

TEST(SerialQueueTest, AsyncAfterRunsLaterThanPlainJobs) {
    DispatchQueue queue("org.dunmarrow.tests.delayed");
    std::mutex mutex;
    std::vector<std::string> log;
    const auto start = Clock::now();
    Clock::time_point ranAt{};
    queue.asyncAfter(40ms, [&] {
        const std::lock_guard lock(mutex);
        ranAt = Clock::now();
        log.push_back("delayed");
    });
    queue.async([&] {
        const std::lock_guard lock(mutex);
        log.push_back("plain");
    });
    for (int i = 0; i < 500; ++i) {
        {
            const std::lock_guard lock(mutex);
            if (log.size() == 2) break;
        }
        std::this_thread::sleep_for(10ms);
    }
    const std::lock_guard lock(mutex);
    EXPECT_EQ(log, (std::vector<std::string>{"plain", "delayed"}));
    EXPECT_GE(ranAt - start, 40ms);
}

TEST(SerialQueueTest, DestructionRunsJobsAlreadySubmitted) {
    std::atomic<int> ran{0};
    {
        DispatchQueue queue("org.dunmarrow.tests.drain");
        queue.async([] { std::this_thread::sleep_for(20ms); });
        for (int i = 0; i < 10; ++i) queue.async([&] { ran.fetch_add(1); });
    }
    EXPECT_EQ(ran.load(), 10);
}

TEST(SerialQueueDeathTest, SyncFromItsOwnThreadAbortsNamingTheQueue) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            DispatchQueue queue("org.dunmarrow.tests.self");
            queue.sync([&] { queue.sync([] {}); });
        },
        "dispatch sync on the serial queue \"org.dunmarrow.tests.self\" from its own thread "
        "would deadlock");
}
