#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "AllocationCounter.hpp"
#include "TestUnit.hpp"
#include "UnitHost.hpp"

using namespace audiounit;
using testunits::makeUnit;
using testunits::RecordingUnit;

using Host = testsupport::UnitHost;

// The tree is set once; rendering needs allocated resources, which need a frame count; busses are indexed.
TEST(AudioUnitRender, CreationTreeRenderResourcesAndBusses) {
    foundation::NSError error;
    EXPECT_FALSE(AUAudioUnit::create<RecordingUnit>(AudioComponentDescription{}, kAudioComponentInstantiation_None, &error));
    EXPECT_EQ(error.code, kAudioUnitErr_InvalidPropertyValue);

    auto unit = makeUnit();
    ASSERT_TRUE(unit);
    auto tree = unit->parameterTree();
    ASSERT_TRUE(tree);
    EXPECT_FALSE(unit->setParameterTree(AUParameterTree::createTree({})));
    EXPECT_EQ(unit->parameterTree(), tree);

    Host host;
    EXPECT_EQ(host.render(*unit, 0, 64), kAudioUnitErr_Uninitialized);
    ASSERT_TRUE(unit->allocateRenderResources(nullptr));
    host.input->floatChannelData()[1][5] = 0.5f;
    EXPECT_EQ(host.render(*unit, 0, 64), noErr);
    EXPECT_EQ(host.output->floatChannelData()[1][5], 0.5f);
    unit->deallocateRenderResources();
    EXPECT_EQ(host.render(*unit, 64, 64), kAudioUnitErr_Uninitialized);
    EXPECT_EQ(unit->cycles, 1u);

    unit->setMaximumFramesToRender(0);
    unit->setMaximumFramesToRender(kMaximumFramesToRenderLimit + 1);  // refused: the count stays
    EXPECT_EQ(unit->maximumFramesToRender(), 0u);
    EXPECT_FALSE(unit->allocateRenderResources(&error));
    EXPECT_EQ(error.code, kAudioUnitErr_FailedInitialization);
    EXPECT_FALSE(unit->renderResourcesAllocated());

    const auto format = AVAudioFormat::makeStandard(48000, 1);
    const auto a = AUAudioUnitBus::make(format), b = AUAudioUnitBus::make(format);
    const auto array = AUAudioUnitBusArray::make(unit, AUAudioUnitBusTypeOutput, {a, nullptr, b});
    EXPECT_EQ(array->count(), 2);
    EXPECT_EQ(array->objectAtIndexedSubscript(1), b);
    EXPECT_EQ((*array)[2], nullptr);
    EXPECT_EQ((*array)[-1], nullptr);
    EXPECT_EQ(b->index(), 1);
    array->replaceBusses({b});
    EXPECT_EQ(array->count(), 1);
    EXPECT_EQ(b->index(), 0);
    // A bus outliving its unit still takes formats.
    const auto bus = (*unit->inputBusses())[0];
    unit.reset();
    EXPECT_TRUE(bus->setFormat(AVAudioFormat::makeStandard(96000, 2)));
}

// Sorted by time in their cycle, equal times in scheduling order, immediate ones at the next cycle's start.
TEST(AudioUnitRender, ScheduledEventsArriveSortedInTheirCycle) {
    auto unit = makeUnit();
    ASSERT_TRUE(unit->allocateRenderResources(nullptr));
    Host host;
    const auto& schedule = unit->scheduleParameterBlock();
    schedule(1300, 0, 0, 30.f);
    schedule(1100, 0, 4, 0.5f);
    schedule(1100, 0, 10, 0.25f);
    schedule(900, 0, 0, 10.f);
    schedule(1600, 0, 0, 60.f);
    schedule(1200, 32, 4, 0.7f);  // a ramp
    schedule(AUEventSampleTimeImmediate + 10, 0, 0, 2.f);
    schedule(AUEventSampleTimeImmediate + 700, 0, 0, 3.f);  // beyond the first cycle
    const std::uint8_t noteOn[3] = {0x90, 60, 100};
    unit->scheduleMIDIEventBlock()(1250, 0, 3, noteOn);
    midi::MIDIEventList list{};
    list.protocol = midi::kMIDIProtocol_2_0;
    list.numPackets = 1;
    list.packet[0].wordCount = 2;
    list.packet[0].words[0] = 0x40903C00u;
    EXPECT_EQ(unit->scheduleMIDIEventListBlock()(AUEventSampleTimeImmediate, 0, &list), noErr);
    EXPECT_EQ(unit->scheduleMIDIEventListBlock()(0, 0, nullptr), kAudioUnitErr_InvalidParameter);
    list.packet[0].wordCount = 65;
    EXPECT_EQ(unit->scheduleMIDIEventListBlock()(0, 0, &list), kAudioUnitErr_InvalidParameter);

    ASSERT_EQ(host.render(*unit, 1000, 0), noErr);
    for (double start : {1000.0, 1512.0, 2024.0}) ASSERT_EQ(host.render(*unit, start, 512), noErr);
    const std::vector<RecordingUnit::SeenEvent> expected{
        {1, 900, AURenderEventParameter, 0, 10.f, 0},      {1, 1000, AURenderEventMIDIEventList, 0, 0, 0x40903C00u},
        {1, 1010, AURenderEventParameter, 0, 2.f, 0},      {1, 1100, AURenderEventParameter, 4, 0.5f, 0},
        {1, 1100, AURenderEventParameter, 10, 0.25f, 0},   {1, 1200, AURenderEventParameterRamp, 4, 0.7f, 0},
        {1, 1250, AURenderEventMIDI, 0, 0, 0x90u},         {1, 1300, AURenderEventParameter, 0, 30.f, 0},
        {2, 1600, AURenderEventParameter, 0, 60.f, 0},     {2, 1700, AURenderEventParameter, 0, 3.f, 0},
    };
    EXPECT_EQ(unit->events, expected);
}

TEST(AudioUnitRender, RenderingAndSchedulingAllocateNothing) {
    auto unit = makeUnit();
    ASSERT_TRUE(unit->allocateRenderResources(nullptr));
    Host host;
    const auto& schedule = unit->scheduleParameterBlock();
    const auto& scheduleList = unit->scheduleMIDIEventListBlock();
    midi::MIDIEventList list{};
    list.numPackets = 1;
    list.packet[0].wordCount = 1;

    std::atomic<bool> stop{false};
    std::thread other([&] {
        // Bounded, so that the recording unit's reserved storage suffices.
        for (int i = 0; i < 1000 && !stop.load(); ++i) schedule(AUEventSampleTimeImmediate + (i % 64), 0, 4, 0.5f);
    });
    rtcheck::ScopedAllocationCounter counter;
    for (int cycle = 0; cycle < 500; ++cycle) {
        schedule(cycle * 128 + 7, 0, 0, static_cast<float>(cycle % 100));
        scheduleList(cycle * 128 + 64, 0, &list);
        ASSERT_EQ(host.render(*unit, cycle * 128, 128), noErr);
    }
    const auto counts = counter.stop();
    stop = true;
    other.join();
    EXPECT_EQ(counts.total(), 0u) << counts.allocations << " allocations, " << counts.frees << " frees";
    EXPECT_GE(unit->events.size(), 1000u);
}

#if defined(__x86_64__)
TEST(AudioUnitRender, FlushToZeroHoldsOnlyDuringTheCycle) {
    struct FTZUnit : RecordingUnit {
        explicit FTZUnit(ConstructionKey k) : RecordingUnit(k) {}
        unsigned seenMode = 0;
        OSStatus render(const testsupport::RenderCycle&) noexcept override {
            seenMode = _mm_getcsr();
            return noErr;
        }
    };
    auto unit = AUAudioUnit::create<FTZUnit>(testunits::kTestDescription, kAudioComponentInstantiation_None);
    ASSERT_TRUE(unit && unit->allocateRenderResources(nullptr));
    const unsigned before = _mm_getcsr();
    Host host;
    ASSERT_EQ(host.render(*unit, 0, 32), noErr);
    EXPECT_EQ(unit->seenMode & 0x8040u, 0x8040u);
    EXPECT_EQ(_mm_getcsr(), before);
}
#endif

// A full queue refuses instead of blocking; concurrent producers lose nothing and keep their order.
TEST(AudioUnitRender, TheSchedulerRefusesWhenFullAndConcurrentSchedulersLoseNothing) {
    RenderEventScheduler scheduler;
    AURenderEvent event{};
    event.parameter.eventType = AURenderEventParameter;
    std::size_t accepted = 0;
    for (std::size_t i = 0; i < RenderEventScheduler::kCapacity + 10; ++i) {
        event.parameter.eventSampleTime = static_cast<AUEventSampleTime>(i);
        accepted += scheduler.enqueue(event) ? 1 : 0;
    }
    EXPECT_EQ(accepted, RenderEventScheduler::kCapacity);
    std::size_t count = 0;
    for (const AURenderEvent* e = scheduler.beginCycle(0, 100000); e; e = e->head.next) ++count;
    scheduler.endCycle();
    EXPECT_EQ(count, RenderEventScheduler::kCapacity);
    EXPECT_EQ(scheduler.pendingCount(), 0u);

    constexpr int kThreads = 3;
    constexpr int kPerThread = 5000;
    std::atomic<int> finished{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            AURenderEvent produced{};
            produced.parameter.eventType = AURenderEventParameter;
            produced.parameter.eventSampleTime = AUEventSampleTimeImmediate;
            produced.parameter.parameterAddress = static_cast<AUParameterAddress>(t);
            for (int i = 0; i < kPerThread; ++i) {
                produced.parameter.value = static_cast<float>(i);
                while (!scheduler.enqueue(produced)) std::this_thread::yield();  // full: wait for the consumer
            }
            finished.fetch_add(1);
        });
    }
    std::vector<int> next(kThreads, 0);
    int received = 0;
    bool ordered = true;
    AUEventSampleTime time = 0;
    int cyclesAfterProducers = 0;  // bounds the loop if events were lost
    while (received < kThreads * kPerThread && cyclesAfterProducers < 100) {
        for (const AURenderEvent* e = scheduler.beginCycle(time, 64); e != nullptr; e = e->head.next) {
            const auto who = static_cast<std::size_t>(e->parameter.parameterAddress);
            ordered = ordered && who < next.size() && static_cast<int>(e->parameter.value) == next[who];
            if (who < next.size()) next[who] = static_cast<int>(e->parameter.value) + 1;
            ++received;
        }
        scheduler.endCycle();
        time += 64;
        if (finished.load() == kThreads) ++cyclesAfterProducers;
    }
    for (auto& p : producers) p.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(received, kThreads * kPerThread);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[static_cast<std::size_t>(t)], kPerThread) << "producer " << t;
}
