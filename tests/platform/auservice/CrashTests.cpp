// A unit whose service is late, dies or hangs: silence, the events kept, one invalidation.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "AllocationCounter.hpp"
#include "OopTestSupport.hpp"
#include "audiounit/AUAudioUnitProxy.hpp"

using namespace audiounit;
using namespace ooptest;

namespace {

AUAudioUnitProxyPtr loadCrashingUnit(std::shared_ptr<AVAudioUnit>& node) {
    node = testsupport::instantiateOnMainQueue(crashingComponent(), kAudioComponentInstantiation_LoadOutOfProcess).unit;
    return node ? std::dynamic_pointer_cast<AUAudioUnitProxy>(node->auAudioUnit()) : nullptr;
}

}  // namespace

TEST(OutOfProcessCrash, ALateCycleKeepsItsEventsAndADeadServiceInvalidatesTheUnitOnce) {
    InvalidationWatch watch;
    std::shared_ptr<AVAudioUnit> node;
    const auto proxy = loadCrashingUnit(node);
    ASSERT_TRUE(proxy);
    proxy->setRenderDeadline(std::chrono::milliseconds(50));  // room for a busy machine; the late cycle is far later
    ASSERT_TRUE(prepare(*proxy, 256));
    const auto input = guitarLikeInput(2, 256 * 24);
    Driver driver(input);
    ASSERT_EQ(driver.cycle(proxy->renderBlock(), 256), noErr);
    EXPECT_FLOAT_EQ(driver.output[0][100], 0.5f * input[0][100]);  // rendered, gain 0.5

    // A 200 ms cycle is silence, and the next, with its gain event, is skipped too.
    proxy->parameterTree()->parameterWithAddress(0)->setValue(3);
    (void)proxy->currentPreset();  // the command has arrived
    ASSERT_EQ(driver.cycle(proxy->renderBlock(), 256), noErr);
    proxy->scheduleParameterBlock()(AUEventSampleTimeImmediate, 0, 1, 0.25f);
    ASSERT_EQ(driver.cycle(proxy->renderBlock(), 256), noErr);
    EXPECT_EQ(peak(driver, 256, 768), 0.0f);
    EXPECT_EQ(proxy->missedCycleCount(), 2u);
    // The next cycle carries the event, which changes the render only, not the tree.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    ASSERT_EQ(driver.cycle(proxy->renderBlock(), 256), noErr);
    EXPECT_EQ(proxy->missedCycleCount(), 2u);
    for (std::uint32_t c = 0; c < 2; ++c)
        for (std::uint32_t i = 768; i < 1024; ++i) ASSERT_FLOAT_EQ(driver.output[c][i], 0.25f * input[c][i]) << c << " " << i;
    EXPECT_EQ(proxy->droppedEventCount(), 0u);
    EXPECT_EQ(proxy->parameterTree()->parameterWithAddress(1)->value(), 0.5f);

    proxy->parameterTree()->parameterWithAddress(0)->setValue(1);
    ASSERT_TRUE(pumpUntil([&] { return watch.count.load() > 0; }, std::chrono::seconds(5)));
    EXPECT_FALSE(proxy->isServiceAlive());
    EXPECT_EQ(watch.unit.load(), static_cast<AUAudioUnit*>(proxy.get()));
    const auto start = std::chrono::steady_clock::now();
    {
        rtcheck::ScopedAllocationCounter counter;
        for (int i = 0; i < 20; ++i) ASSERT_EQ(driver.cycle(proxy->renderBlock(), 256), noErr);
        EXPECT_EQ(counter.stop().total(), 0u);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(peak(driver, 1024, 256 * 24), 0.0f);
    EXPECT_EQ(proxy->missedCycleCount(), 22u);
    pumpUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(watch.count.load(), 1);
    EXPECT_EQ(::kill(proxy->servicePID(), 0), -1);  // reaped, no zombie left
}

TEST(OutOfProcessCrash, AHungServiceIsDetectedWithinTheHangTimeout) {
    InvalidationWatch watch;
    std::shared_ptr<AVAudioUnit> node;
    const auto proxy = loadCrashingUnit(node);
    ASSERT_TRUE(proxy);
    proxy->setHangTimeout(std::chrono::milliseconds(300));
    ASSERT_TRUE(prepare(*proxy, 256));  // deadline: one cycle, 5.3 ms
    const auto input = guitarLikeInput(2, 256 * 400);
    Driver driver(input);
    ASSERT_EQ(driver.cycle(proxy->renderBlock(), 256), noErr);

    proxy->parameterTree()->parameterWithAddress(0)->setValue(2);
    (void)proxy->currentPreset();  // the command has arrived
    const auto hungAt = std::chrono::steady_clock::now();
    while (watch.count.load() == 0 && std::chrono::steady_clock::now() - hungAt < std::chrono::seconds(5)) {
        const auto cycleStart = std::chrono::steady_clock::now();
        ASSERT_EQ(driver.cycle(proxy->renderBlock(), 256), noErr);
        EXPECT_LT(std::chrono::steady_clock::now() - cycleStart, std::chrono::milliseconds(100));
        if (driver.position + 256 > input[0].size()) driver.position = 256;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto detectedAfter = std::chrono::steady_clock::now() - hungAt;
    ASSERT_EQ(watch.count.load(), 1);
    EXPECT_LT(detectedAfter, std::chrono::milliseconds(300 + 25 + 1000));  // timeout, watch period, slack
    EXPECT_GE(detectedAfter, std::chrono::milliseconds(300));
    EXPECT_GT(proxy->missedCycleCount(), 0u);
    EXPECT_FALSE(proxy->isServiceAlive());
    ASSERT_TRUE(pumpUntil([&] { return ::kill(proxy->servicePID(), 0) == -1; }, std::chrono::seconds(3)));
}
