// The render path against a recording kernel: status codes, pulls, in-place
// rendering and the split of a cycle at event times.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "AUProcessHelper.hpp"

using namespace audiounit;

namespace {

// Records every call the render path makes; process writes 2 × input + 1 so
// that tests can tell processed output from copied input.
struct RecordingKernel {
    struct ProcessCall {
        std::int64_t startTime;
        std::uint32_t frameCount;
        std::size_t channels;
        std::size_t parameterCallsBefore;
        std::vector<const float*> inputs;
        std::vector<float*> outputs;
    };
    struct ParameterCall {
        std::uint64_t address;
        float value;
    };
    std::uint32_t maximumFrames = 1024;
    std::vector<ProcessCall> processCalls;
    std::vector<ParameterCall> parameterCalls;

    std::uint32_t getMaximumFramesToRender() const { return maximumFrames; }
    void setParameter(std::uint64_t address, float value) { parameterCalls.push_back({address, value}); }
    void process(std::span<const float*> in, std::span<float*> out, std::int64_t start, std::uint32_t frames) noexcept {
        processCalls.push_back({start, frames, in.size(), parameterCalls.size(), {in.begin(), in.end()},
                                {out.begin(), out.end()}});
        for (std::size_t c = 0; c < in.size(); ++c)
            for (std::uint32_t i = 0; i < frames; ++i) out[c][i] = 2.0f * in[c][i] + 1.0f;
    }
};

using Helper = AUProcessHelperFor<RecordingKernel>;

// Owns output memory and a buffer list over it.
struct OutputBuffers {
    std::vector<std::vector<float>> channels;
    AudioBufferListStorage list;
    OutputBuffers(std::uint32_t channelCount, std::uint32_t frames, bool nullData = false)
        : channels(channelCount, std::vector<float>(frames, -99.0f)), list(channelCount) {
        for (std::uint32_t c = 0; c < channelCount; ++c)
            list->buffers()[c] = AudioBuffer{1, static_cast<std::uint32_t>(frames * sizeof(float)),
                                             nullData ? nullptr : channels[c].data()};
    }
};

AURenderEvent parameterEvent(AUEventSampleTime time, AUParameterAddress address, AUValue value) {
    AURenderEvent e{};
    e.parameter.eventSampleTime = time;
    e.parameter.eventType = AURenderEventParameter;
    e.parameter.parameterAddress = address;
    e.parameter.value = value;
    return e;
}

AURenderEvent otherEvent(AUEventSampleTime time, AURenderEventType type) {
    AURenderEvent e{};
    e.head.eventSampleTime = time;
    e.head.eventType = type;
    return e;
}

// Links events in the order given and returns the head.
const AURenderEvent* link(std::vector<AURenderEvent>& events) {
    for (std::size_t i = 0; i + 1 < events.size(); ++i) events[i].head.next = &events[i + 1];
    return events.empty() ? nullptr : &events[0];
}

class RenderPath : public ::testing::Test {
protected:
    void SetUp() override { allocate(2, 1024); }

    void allocate(std::uint32_t channels, std::uint32_t frames) {
        inputBus.setupBus(AVAudioFormat::makeStandard(44100, channels), 8);
        kernel.maximumFrames = frames;
        inputBus.allocateBuffer(frames);
        helper.setChannelCount(channels, channels);
    }

    // Fills channel c, frame i with c * 1000 + i.
    AURenderPullInputBlock pull = [this](AudioUnitRenderActionFlags* flags, const AudioTimeStamp*,
                                         AUAudioFrameCount frames, NSInteger bus, AudioBufferList* data) {
        ++pullCount;
        lastPullFlags = *flags;
        lastPullBus = bus;
        lastPullFrames = frames;
        for (std::uint32_t c = 0; c < data->mNumberBuffers; ++c) {
            auto* samples = static_cast<float*>(data->buffers()[c].mData);
            for (std::uint32_t i = 0; i < frames; ++i) samples[i] = static_cast<float>(c * 1000 + i);
        }
        return noErr;
    };

    OSStatus render(std::uint32_t frames, AudioBufferList* output, const AURenderEvent* events = nullptr,
                    double sampleTime = 0, const AURenderPullInputBlock* pullBlock = nullptr) {
        AudioTimeStamp ts;
        ts.mSampleTime = sampleTime;
        AudioUnitRenderActionFlags flags = 0;
        return helper.renderBlock(&flags, &ts, frames, 0, output, events, pullBlock ? pullBlock : &pull);
    }

    RecordingKernel kernel;
    BufferedInputBus inputBus;
    Helper helper{kernel, inputBus};
    int pullCount = 0;
    AudioUnitRenderActionFlags lastPullFlags = 99;
    NSInteger lastPullBus = -1;
    AUAudioFrameCount lastPullFrames = 0;
};

TEST_F(RenderPath, RendersOneStretchAndWritesTheKernelOutput) {
    OutputBuffers out(2, 256);
    ASSERT_EQ(render(256, out.list.get(), nullptr, 4096), noErr);
    EXPECT_EQ(pullCount, 1);
    EXPECT_EQ(lastPullFlags, 0u);
    EXPECT_EQ(lastPullBus, 0);
    EXPECT_EQ(lastPullFrames, 256u);
    ASSERT_EQ(kernel.processCalls.size(), 1u);
    EXPECT_EQ(kernel.processCalls[0].startTime, 4096);
    EXPECT_EQ(kernel.processCalls[0].frameCount, 256u);
    EXPECT_EQ(kernel.processCalls[0].channels, 2u);
    EXPECT_EQ(out.channels[1][10], 2.0f * 1010.0f + 1.0f);
}

TEST_F(RenderPath, FrameCountAboveTheKernelMaximumFailsBeforePulling) {
    OutputBuffers out(2, 1025);
    EXPECT_EQ(render(1025, out.list.get()), kAudioUnitErr_TooManyFramesToProcess);
    EXPECT_EQ(pullCount, 0);
    EXPECT_TRUE(kernel.processCalls.empty());
}

TEST_F(RenderPath, FrameCountAboveTheBufferCapacityFails) {
    // The kernel's limit was raised after allocation; the pull buffer keeps its size.
    kernel.maximumFrames = 4096;
    OutputBuffers out(2, 2048);
    EXPECT_EQ(render(2048, out.list.get()), kAudioUnitErr_TooManyFramesToProcess);
    EXPECT_EQ(pullCount, 0);
}

TEST_F(RenderPath, MissingPullInputCallbackIsNoConnection) {
    OutputBuffers out(2, 64);
    AudioTimeStamp ts;
    EXPECT_EQ(helper.renderBlock(nullptr, &ts, 64, 0, out.list.get(), nullptr, nullptr), kAudioUnitErr_NoConnection);
    const AURenderPullInputBlock empty;
    EXPECT_EQ(render(64, out.list.get(), nullptr, 0, &empty), kAudioUnitErr_NoConnection);
}

TEST_F(RenderPath, UnallocatedInputBusFails) {
    BufferedInputBus freshBus;
    freshBus.setupBus(AVAudioFormat::makeStandard(44100, 2), 8);
    Helper freshHelper{kernel, freshBus};
    freshHelper.setChannelCount(2, 2);
    OutputBuffers out(2, 64);
    AudioTimeStamp ts;
    EXPECT_EQ(freshHelper.renderBlock(nullptr, &ts, 64, 0, out.list.get(), nullptr, &pull),
              kAudioUnitErr_TooManyFramesToProcess);
    EXPECT_EQ(pullCount, 0);
}

TEST_F(RenderPath, FrameSizeChangeOfTheBusFormatStopsRenderingUntilReallocation) {
    // Interleaved stereo floats have 8 bytes per frame instead of 4.
    ASSERT_TRUE(inputBus.platformBus->setFormat(AVAudioFormat::make(AVAudioCommonFormat::PCMFormatFloat32, 44100, 2, true)));
    OutputBuffers out(2, 64);
    EXPECT_EQ(render(64, out.list.get()), kAudioUnitErr_TooManyFramesToProcess);
    ASSERT_TRUE(inputBus.platformBus->setFormat(AVAudioFormat::makeStandard(48000, 2)));
    EXPECT_EQ(render(64, out.list.get()), noErr);
}

TEST_F(RenderPath, PullFailureIsReturnedUnchanged) {
    const AURenderPullInputBlock failing = [](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount,
                                              NSInteger, AudioBufferList*) { return OSStatus{-42}; };
    OutputBuffers out(2, 64);
    EXPECT_EQ(render(64, out.list.get(), nullptr, 0, &failing), -42);
    EXPECT_TRUE(kernel.processCalls.empty());
}

TEST_F(RenderPath, MissingOutputListOrTimestampIsInvalidParameter) {
    EXPECT_EQ(render(64, nullptr), kAudioUnitErr_InvalidParameter);
    OutputBuffers out(2, 64);
    AudioUnitRenderActionFlags flags = 0;
    EXPECT_EQ(helper.renderBlock(&flags, nullptr, 64, 0, out.list.get(), nullptr, &pull),
              kAudioUnitErr_InvalidParameter);
    EXPECT_TRUE(kernel.processCalls.empty());
}

TEST_F(RenderPath, NullOutputDataRendersInPlaceOverThePulledInput) {
    OutputBuffers out(2, 128, /*nullData=*/true);
    ASSERT_EQ(render(128, out.list.get()), noErr);
    for (std::uint32_t c = 0; c < 2; ++c) {
        EXPECT_EQ(out.list->buffers()[c].mData, inputBus.pulledBufferList->buffers()[c].mData);
        EXPECT_EQ(out.list->buffers()[c].mDataByteSize, 128u * 4u);
        const auto* samples = static_cast<const float*>(out.list->buffers()[c].mData);
        EXPECT_EQ(samples[5], 2.0f * static_cast<float>(c * 1000 + 5) + 1.0f);
    }
    ASSERT_EQ(kernel.processCalls.size(), 1u);
    EXPECT_EQ(kernel.processCalls[0].inputs[0], kernel.processCalls[0].outputs[0]);
}

TEST_F(RenderPath, InPlaceRequestWithMoreOutputThanInputBuffersIsInvalid) {
    OutputBuffers out(3, 64, /*nullData=*/true);
    EXPECT_EQ(render(64, out.list.get()), kAudioUnitErr_InvalidParameter);
    EXPECT_TRUE(kernel.processCalls.empty());
}

TEST_F(RenderPath, MonoInputWithStereoOutputIsInvalidWithoutCallingTheKernel) {
    allocate(1, 1024);
    helper.setChannelCount(2, 2);
    OutputBuffers out(2, 64);
    EXPECT_EQ(render(64, out.list.get()), kAudioUnitErr_InvalidParameter);
    EXPECT_EQ(pullCount, 1);
    EXPECT_TRUE(kernel.processCalls.empty());
}

TEST_F(RenderPath, BufferListsTheHelperCannotCarryAreInvalid) {
    {  // an output buffer too small for the frames
        OutputBuffers out(2, 64);
        out.list->buffers()[1].mDataByteSize = 63 * 4;
        EXPECT_EQ(render(64, out.list.get()), kAudioUnitErr_InvalidParameter);
    }
    {  // a null data pointer past the first buffer
        OutputBuffers out(2, 64);
        out.list->buffers()[1].mData = nullptr;
        EXPECT_EQ(render(64, out.list.get()), kAudioUnitErr_InvalidParameter);
    }
    {  // zero buffers on both sides
        OutputBuffers out(0, 64);
        const AURenderPullInputBlock emptying = [](AudioUnitRenderActionFlags*, const AudioTimeStamp*,
                                                   AUAudioFrameCount, NSInteger, AudioBufferList* data) {
            data->mNumberBuffers = 0;
            return noErr;
        };
        EXPECT_EQ(render(64, out.list.get(), nullptr, 0, &emptying), kAudioUnitErr_InvalidParameter);
    }
    {  // more channels than the helper was sized for
        helper.setChannelCount(1, 1);
        OutputBuffers out(2, 64);
        EXPECT_EQ(render(64, out.list.get()), kAudioUnitErr_InvalidParameter);
    }
    EXPECT_TRUE(kernel.processCalls.empty());
}

TEST_F(RenderPath, PullCallbackClaimingMoreBuffersThanThePullBufferHasIsInvalid) {
    const AURenderPullInputBlock lying = [](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount,
                                            NSInteger, AudioBufferList* data) {
        data->mNumberBuffers = 5;
        return noErr;
    };
    helper.setChannelCount(8, 8);
    OutputBuffers out(5, 64);
    EXPECT_EQ(render(64, out.list.get(), nullptr, 0, &lying), kAudioUnitErr_InvalidParameter);
    EXPECT_TRUE(kernel.processCalls.empty());
}

TEST_F(RenderPath, RepointedPullBuffersAreRestoredOnTheNextCycle) {
    std::vector<float> external(64, 0.5f);
    const AURenderPullInputBlock repointing = [&](AudioUnitRenderActionFlags*, const AudioTimeStamp*,
                                                  AUAudioFrameCount, NSInteger, AudioBufferList* data) {
        data->buffers()[0].mData = external.data();
        return noErr;
    };
    OutputBuffers out(2, 64);
    ASSERT_EQ(render(64, out.list.get(), nullptr, 0, &repointing), noErr);
    EXPECT_EQ(kernel.processCalls[0].inputs[0], external.data());
    EXPECT_EQ(out.channels[0][3], 2.0f);

    ASSERT_EQ(render(64, out.list.get()), noErr);
    EXPECT_EQ(kernel.processCalls[1].inputs[0], inputBus.pulledBufferList->buffers()[0].mData);
}

TEST_F(RenderPath, CycleIsSplitAtEveryEventAndParametersApplyBetweenCalls) {
    std::vector<AURenderEvent> events{parameterEvent(1100, 3, 0.25f), parameterEvent(1100, 7, 0.75f),
                                      otherEvent(1300, AURenderEventMIDI)};
    OutputBuffers out(2, 512);
    ASSERT_EQ(render(512, out.list.get(), link(events), 1000), noErr);

    ASSERT_EQ(kernel.processCalls.size(), 3u);
    const std::vector<std::pair<std::int64_t, std::uint32_t>> expected{{1000, 100}, {1100, 200}, {1300, 212}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(kernel.processCalls[i].startTime, expected[i].first) << i;
        EXPECT_EQ(kernel.processCalls[i].frameCount, expected[i].second) << i;
    }
    // Each stretch sees the buffers advanced by its offset.
    EXPECT_EQ(kernel.processCalls[2].outputs[1], out.channels[1].data() + 300);
    EXPECT_EQ(kernel.processCalls[1].parameterCallsBefore, 2u);
    ASSERT_EQ(kernel.parameterCalls.size(), 2u);
    EXPECT_EQ(kernel.parameterCalls[0].address, 3u);
    EXPECT_EQ(kernel.parameterCalls[1].value, 0.75f);
    EXPECT_EQ(out.channels[0][511], 2.0f * 511.0f + 1.0f);
}

TEST_F(RenderPath, EventsDatedBeforeTheCycleApplyBeforeTheFirstFrame) {
    std::vector<AURenderEvent> events{parameterEvent(900, 1, 10.0f)};
    OutputBuffers out(2, 256);
    ASSERT_EQ(render(256, out.list.get(), link(events), 1000), noErr);
    ASSERT_EQ(kernel.processCalls.size(), 1u);
    EXPECT_EQ(kernel.processCalls[0].frameCount, 256u);
    EXPECT_EQ(kernel.processCalls[0].parameterCallsBefore, 1u);
}

TEST_F(RenderPath, ZeroFramesReturnsWithoutCallingTheKernelOrApplyingEvents) {
    std::vector<AURenderEvent> events{parameterEvent(0, 1, 10.0f)};
    OutputBuffers out(2, 16);
    EXPECT_EQ(render(0, out.list.get(), link(events)), noErr);
    EXPECT_TRUE(kernel.processCalls.empty());
    EXPECT_TRUE(kernel.parameterCalls.empty());
}

TEST_F(RenderPath, RampAndMIDIEventsSplitTheCycleButChangeNothing) {
    std::vector<AURenderEvent> events{otherEvent(10, AURenderEventParameterRamp), otherEvent(20, AURenderEventMIDISysEx),
                                      otherEvent(30, AURenderEventMIDIEventList)};
    events[0].parameter.parameterAddress = 2;
    events[0].parameter.value = 5.0f;
    OutputBuffers out(2, 64);
    ASSERT_EQ(render(64, out.list.get(), link(events)), noErr);
    EXPECT_EQ(kernel.processCalls.size(), 4u);
    EXPECT_TRUE(kernel.parameterCalls.empty());
}

TEST_F(RenderPath, EventsBeyondTheCycleApplyTheFirstAndThoseDueAtItsEnd) {
    // Cycle [0, 64): the event at 100 is applied once the frames run out, the
    // event at 64 after it too (due at the cycle's end), the one at 65 is dropped.
    std::vector<AURenderEvent> events{parameterEvent(100, 1, 1.0f), parameterEvent(64, 2, 2.0f),
                                      parameterEvent(65, 3, 3.0f)};
    OutputBuffers out(2, 64);
    ASSERT_EQ(render(64, out.list.get(), link(events)), noErr);
    ASSERT_EQ(kernel.processCalls.size(), 1u);
    ASSERT_EQ(kernel.parameterCalls.size(), 2u);
    EXPECT_EQ(kernel.parameterCalls[0].address, 1u);
    EXPECT_EQ(kernel.parameterCalls[1].address, 2u);
}

TEST_F(RenderPath, ASampleTimeThatIsNotFiniteCountsAsZero) {
    std::vector<AURenderEvent> events{parameterEvent(10, 1, 1.0f)};
    OutputBuffers out(2, 64);
    ASSERT_EQ(render(64, out.list.get(), link(events), std::numeric_limits<double>::quiet_NaN()), noErr);
    ASSERT_EQ(kernel.processCalls.size(), 2u);
    EXPECT_EQ(kernel.processCalls[0].startTime, 0);
    EXPECT_EQ(kernel.processCalls[0].frameCount, 10u);

    // Extreme times neither overflow nor wrap.
    std::vector<AURenderEvent> late{parameterEvent(std::numeric_limits<std::int64_t>::max(), 1, 1.0f)};
    ASSERT_EQ(render(64, out.list.get(), link(late), -1e300), noErr);
    EXPECT_EQ(kernel.processCalls.back().frameCount, 64u);
}

}  // namespace
