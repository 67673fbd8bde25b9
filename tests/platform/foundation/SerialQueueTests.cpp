// Serial dispatch queues: one thread, order, sync, delayed jobs, drain on destruction.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "foundation/DispatchQueue.hpp"

using namespace foundation;
using namespace std::chrono_literals;

TEST(SerialQueueTest, RunsJobsOneAtATimeInOrderOnItsOwnThreadDelayedOnesLaterAndDrainsWhenDestroyed) {
    DispatchQueue queue("org.dunmarrow.tests.serial");
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

    std::vector<std::string> log;  // touched only by the queue's jobs
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

    std::atomic<int> ran{0};
    {
        DispatchQueue draining("org.dunmarrow.tests.draining");
        draining.async([] { std::this_thread::sleep_for(20ms); });
        for (int i = 0; i < 10; ++i) draining.async([&] { ran.fetch_add(1); });
    }
    EXPECT_EQ(ran.load(), 10);
}
