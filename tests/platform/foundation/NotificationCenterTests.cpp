// The notification centre: matching, delivery on the posting thread, typed objects, removal vs calls in flight.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "foundation/NotificationCenter.hpp"

using namespace foundation;
using namespace std::chrono_literals;

namespace {
struct Unit {
    int number = 0;
};
struct Other {};
}  // namespace

TEST(NotificationCenterTest, DeliversMatchingNamesSendersAndTypedObjectsOnThePostingThreads) {
    NotificationCenter& center = NotificationCenter::defaultCenter();
    auto sender = std::make_shared<Unit>(Unit{12});
    std::vector<std::string> seen;
    std::thread::id deliveredOn;
    std::shared_ptr<Unit> received;
    const auto any = center.addObserver("changed", nullptr, [&](const Notification& n) {
        seen.push_back(std::string(n.object ? "any:" : "empty:") + n.name);
        deliveredOn = std::this_thread::get_id();
        if (auto unit = n.object.as<Unit>()) received = unit;
    });
    const auto fromSender = center.addObserver("changed", sender.get(), [&](const Notification& n) {
        seen.push_back("sender:" + n.name);
    });
    const auto everything = center.addObserver("", nullptr, [&](const Notification& n) {
        seen.push_back("all:" + n.name);
    });

    std::thread poster([&] { center.post("changed", sender); });
    const auto posterId = poster.get_id();
    poster.join();
    EXPECT_EQ(deliveredOn, posterId);
    EXPECT_EQ(received, sender);
    EXPECT_EQ(seen, (std::vector<std::string>{"any:changed", "sender:changed", "all:changed"}));

    // Another sender, no object, another name; an object answers only to its own type.
    seen.clear();
    received = nullptr;
    center.post("changed", std::make_shared<Other>());
    center.post("changed");
    center.post("unrelated");
    EXPECT_EQ(seen, (std::vector<std::string>{"any:changed", "all:changed", "empty:changed", "all:changed",
                                              "all:unrelated"}));
    EXPECT_EQ(received, nullptr);

    center.removeObserver(any);
    center.removeObserver(fromSender);
    center.removeObserver(everything);
    center.removeObserver(everything);  // a second removal is ignored
    seen.clear();
    center.post("changed", sender);
    EXPECT_TRUE(seen.empty());
}

TEST(NotificationCenterTest, RemovalWaitsForACallbackInFlightElsewhereAndACallbackMayRemoveItselfAndOthers) {
    NotificationCenter center;
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    const auto token = center.addObserver("slow", nullptr, [&](const Notification&) {
        calls.fetch_add(1);
        entered = true;
        std::this_thread::sleep_for(100ms);
        finished = true;
    });
    std::thread poster([&] { center.post("slow"); });
    while (!entered) std::this_thread::sleep_for(1ms);
    center.removeObserver(token);
    EXPECT_TRUE(finished);  // no callback runs once removal has returned...
    poster.join();
    center.post("slow");
    EXPECT_EQ(calls.load(), 1);  // ...and none starts afterwards

    int first = 0;
    int second = 0;
    ObserverToken firstToken, secondToken;
    firstToken = center.addObserver("once", nullptr, [&](const Notification&) {
        ++first;
        center.removeObserver(firstToken);   // itself: must not wait for itself
        center.removeObserver(secondToken);  // a later observer of the same post
    });
    secondToken = center.addObserver("once", nullptr, [&](const Notification&) { ++second; });
    center.post("once");
    center.post("once");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
}
