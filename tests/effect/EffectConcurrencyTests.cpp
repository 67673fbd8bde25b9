// One thread renders, one changes parameters through the tree and reads them
// back, one reads the meter levels; built with -DDUNMARROW_TSAN=ON this checks
// that nothing races.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "EffectHost.hpp"

using namespace audiounit;
using namespace effecttest;

TEST(EffectConcurrency, RenderingWhileParametersChangeAndLevelsAreRead) {
    auto unit = makeEffect();
    ASSERT_TRUE(unit->allocateRenderResources());
    auto tree = unit->parameterTree();
    EffectHost host;
    host.fillSine(0.7f);

    std::atomic<bool> stop{false};
    std::atomic<int> renderFailures{0};
    std::atomic<int> cycles{0};

    std::thread renderer([&] {
        double time = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            unit->scheduleParameterBlock()(static_cast<AUEventSampleTime>(time) + 17, 0, kGainAddress, 0.6f);
            if (host.render(*unit, time, 256) != noErr) renderFailures.fetch_add(1);
            time += 256;
            cycles.fetch_add(1, std::memory_order_relaxed);
        }
    });
    std::thread editor([&] {
        const auto& parameters = tree->allParameters();
        for (int i = 0; i < 3000; ++i) {
            const auto& p = parameters[static_cast<std::size_t>(i) % parameters.size()];
            p->setValue(p->minValue() + (p->maxValue() - p->minValue()) * static_cast<float>(i % 10) / 10.f,
                        AUParameterObserverToken{}, 0,
                        i % 3 == 0 ? AUParameterAutomationEventTypeTouch : AUParameterAutomationEventTypeValue);
            (void)p->value();
            if (i % 500 == 0) unit->setShouldBypassEffect(i % 1000 == 0);
            if (i % 700 == 0) unit->setCurrentPreset(unit->factoryPresets()[static_cast<std::size_t>(i / 700) % 3]);
        }
    });
    std::thread meter([&] {
        float sum = 0;
        for (int i = 0; i < 20000; ++i) sum += unit->inputLevel() + unit->outputLevel();
        EXPECT_GE(sum, 0.f);
    });
    editor.join();
    meter.join();
    while (cycles.load() < 50) std::this_thread::yield();
    stop = true;
    renderer.join();
    EXPECT_EQ(renderFailures.load(), 0);
    EXPECT_TRUE(std::isfinite(unit->outputLevel()));
}
