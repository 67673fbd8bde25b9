// The real render path (helper and kernel) allocates and frees nothing across
// thousands of cycles with parameter events and every stage switched on.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "AUProcessHelper.hpp"
#include "AllocationCounter.hpp"

using namespace audiounit;

TEST(RenderPathAllocation, ThousandsOfCyclesWithEventsAllocateNothing) {
    constexpr std::uint32_t kMaxFrames = 512;
    DunmarrowAUExtensionDSPKernel kernel;
    BufferedInputBus inputBus;
    AUProcessHelper helper{kernel, inputBus};

    inputBus.setupBus(AVAudioFormat::makeStandard(48000, 2), 8);
    kernel.setMaximumFramesToRender(kMaxFrames);
    inputBus.allocateBuffer(kMaxFrames);
    kernel.initialize(2, 2, 48000);
    helper.setChannelCount(2, 2);
    // Every stage on: touch, tight, grind, crush, body, density, cab, decimation,
    // double track, stereo spread, live safe.
    const float settings[14] = {80, 60, 90, 70, 0.9f, 60, 70, 80, 60, 70, 0.5f, 0.6f, 0.7f, 1};
    for (std::uint64_t address = 0; address < 14; ++address) kernel.setParameter(address, settings[address]);

    std::uint64_t phase = 0;
    const AURenderPullInputBlock pull = [&phase](AudioUnitRenderActionFlags*, const AudioTimeStamp*,
                                                 AUAudioFrameCount frames, NSInteger, AudioBufferList* data) {
        for (std::uint32_t c = 0; c < data->mNumberBuffers; ++c) {
            auto* samples = static_cast<float*>(data->buffers()[c].mData);
            for (std::uint32_t i = 0; i < frames; ++i)
                samples[i] = 0.6f * std::sin(0.031f * static_cast<float>(phase + i) + static_cast<float>(c));
        }
        phase += frames;
        return noErr;
    };

    std::vector<float> left(kMaxFrames), right(kMaxFrames);
    AudioBufferListStorage output(2);
    std::vector<AURenderEvent> events(4);

    rtcheck::ScopedAllocationCounter counter;
    double sampleTime = 0;
    for (int cycle = 0; cycle < 4000; ++cycle) {
        const auto frames = static_cast<AUAudioFrameCount>(1 + (cycle * 37) % kMaxFrames);
        for (std::size_t e = 0; e < events.size(); ++e) {
            events[e] = AURenderEvent{};
            events[e].parameter.eventType = e == 3 ? AURenderEventMIDI : AURenderEventParameter;
            events[e].parameter.eventSampleTime = static_cast<AUEventSampleTime>(sampleTime) +
                                                  static_cast<AUEventSampleTime>(e * frames / 4);
            events[e].parameter.parameterAddress = (cycle + e) % 13;
            events[e].parameter.value = settings[(cycle + e) % 13] * 0.9f;
            events[e].head.next = e + 1 < events.size() ? &events[e + 1] : nullptr;
        }
        // Alternate between our own output memory and in-place rendering.
        const bool inPlace = cycle % 2 == 1;
        output->buffers()[0] = AudioBuffer{1, kMaxFrames * 4, inPlace ? nullptr : left.data()};
        output->buffers()[1] = AudioBuffer{1, kMaxFrames * 4, inPlace ? nullptr : right.data()};
        AudioTimeStamp ts;
        ts.mSampleTime = sampleTime;
        AudioUnitRenderActionFlags flags = 0;
        ASSERT_EQ(helper.renderBlock(&flags, &ts, frames, 0, output.get(), &events[0], &pull), noErr);
        sampleTime += frames;
    }
    const rtcheck::AllocationCounts counts = counter.stop();
    EXPECT_EQ(counts.allocations, 0u);
    EXPECT_EQ(counts.frees, 0u);
    if (!rtcheck::countsMalloc()) GTEST_LOG_(INFO) << "malloc is owned by the sanitizer here; operator new counted";
}

// The counter itself must see what it is meant to catch, or the test above proves nothing.
TEST(RenderPathAllocation, CounterSeesAllocationsAndFrees) {
    rtcheck::ScopedAllocationCounter counter;
    auto* boxed = new int(7);
    asm volatile("" : : "g"(boxed) : "memory");  // keeps the compiler from eliding the pair
    delete boxed;
    std::vector<float> grown;
    grown.resize(100);
    const rtcheck::AllocationCounts counts = counter.stop();
    EXPECT_GE(counts.allocations, 2u);
    EXPECT_GE(counts.frees, 1u);
}
