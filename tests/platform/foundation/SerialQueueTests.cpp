// Serial dispatch queues: one thread, order, sync, delayed jobs, own-thread sync abort, drain on destruction.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "foundation/DispatchQueue.hpp"

using namespace foundation;
using namespace std::chrono_literals;

TEST(SerialQueueTest, RunsJobsOneAtATimeInOrderOnItsOwnThreadAndSyncRethrows) {
    DispatchQueue queue("org.dunmarrow.tests.serial");
    EXPECT_EQ(queue.label(), "org.dunmarrow.tests.serial");
    EXPECT_FALSE(queue.isCurrent());
    std::vector<int> order;  // touched only by the queue's jobs
    std::set<std::thread::id> threads;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    const auto job = [&](int i) {
        if (running.fetch_add(1) != 0 || !queue.isCurrent()) overlapped = true;
        order.push_back(i);
        threads.insert(std::this_thread::get_id());
        running.fetch_sub(1);
    };
    for (int i = 0; i < 200; ++i) queue.async([&, i] { job(i); });
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            for (int i = 0; i < 50; ++i) queue.sync([&] { job(-1); });
        });
    for (auto& c : callers) c.join();
    ASSERT_EQ(queue.sync([&] { return order.size(); }), 400u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    EXPECT_FALSE(overlapped);
    EXPECT_THROW(queue.sync([] { throw std::logic_error("bad"); }), std::logic_error);
    EXPECT_EQ(queue.sync([] { return 5; }), 5);  // and the queue carries on
}

TEST(SerialQueueTest, AsyncAfterRunsLaterThanPlainJobsAndDestructionRunsWhatWasSubmitted) {
    std::vector<std::string> log;  // touched only by the queue's jobs
    std::atomic<int> ran{0};
    {
        DispatchQueue queue("org.dunmarrow.tests.delayed");
        const auto start = Clock::now();
        std::promise<Clock::duration> delayed;
        queue.asyncAfter(40ms, [&] {
            log.push_back("delayed");
            delayed.set_value(Clock::now() - start);
        });
        queue.async([&] { log.push_back("plain"); });
        auto waited = delayed.get_future();
        ASSERT_EQ(waited.wait_for(5s), std::future_status::ready);
        EXPECT_GE(waited.get(), 40ms);
        EXPECT_EQ(queue.sync([&] { return log; }), (std::vector<std::string>{"plain", "delayed"}));

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
