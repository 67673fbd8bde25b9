// The render path against a recording kernel: status codes, pulls, in place, splits at events.

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <tuple>
#include <vector>

#include "AUProcessHelper.hpp"

using namespace audiounit;

namespace {

// Records every call; writes 2 × input + 1 so processed output differs from copied input.
struct RecordingKernel {
    struct ProcessCall {
        std::int64_t startTime;
        std::uint32_t frameCount;
        std::size_t parameterCallsBefore;
        std::vector<const float*> inputs;
        std::vector<float*> outputs;
    };
    using ParameterCall = std::pair<std::uint64_t, float>;
    std::uint32_t maximumFrames = 1024;
    std::vector<ProcessCall> processCalls;
    std::vector<ParameterCall> parameterCalls;

    std::uint32_t getMaximumFramesToRender() const { return maximumFrames; }
    void setParameter(std::uint64_t address, float value) { parameterCalls.push_back({address, value}); }
    void process(std::span<const float*> in, std::span<float*> out, std::int64_t start, std::uint32_t frames) noexcept {
        processCalls.push_back({start, frames, parameterCalls.size(), {in.begin(), in.end()}, {out.begin(), out.end()}});
        for (std::size_t c = 0; c < in.size(); ++c)
            for (std::uint32_t i = 0; i < frames; ++i) out[c][i] = 2.0f * in[c][i] + 1.0f;
    }
};

using Helper = AUProcessHelperFor<RecordingKernel>;

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

AURenderEvent event(AUEventSampleTime time, AUParameterAddress address, AUValue value,
                    AURenderEventType type = AURenderEventParameter) {
    AURenderEvent e{};
    e.head.eventSampleTime = time;
    e.head.eventType = type;
    e.parameter.parameterAddress = address;
    e.parameter.value = value;
    return e;
}

const AURenderEvent* link(std::vector<AURenderEvent>& events) {
    for (std::size_t i = 0; i + 1 < events.size(); ++i) events[i].head.next = &events[i + 1];
    return events.empty() ? nullptr : &events[0];
}

AURenderPullInputBlock pullSetting(std::function<OSStatus(AudioBufferList*)> body) {
    return [body](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount, NSInteger,
                  AudioBufferList* data) { return body(data); };
}

class RenderPath : public ::testing::Test {
public:
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
        pulls.emplace_back(*flags, bus, frames);
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
    std::vector<std::tuple<AudioUnitRenderActionFlags, NSInteger, AUAudioFrameCount>> pulls;
};

TEST_F(RenderPath, CyclesItCannotRenderAreRefusedWithTheirStatus) {
    const auto failing = pullSetting([](AudioBufferList*) { return OSStatus{-42}; });
    const auto emptying = pullSetting([](AudioBufferList* data) { data->mNumberBuffers = 0; return noErr; });
    const auto lying = pullSetting([](AudioBufferList* data) { data->mNumberBuffers = 5; return noErr; });
    const AURenderPullInputBlock none;
    struct Case {
        const char* name;
        OSStatus status;
        int pulls;  // -1: either way
        std::uint32_t channels = 2, frames = 64;
        const AURenderPullInputBlock* pull = nullptr;
        std::function<void(RenderPath&, OutputBuffers&)> setup = {};
        bool nullData = false;
    };
    const Case cases[] = {
        {"above the kernel maximum", kAudioUnitErr_TooManyFramesToProcess, 0, 2, 1025},
        {"above the pull buffer (kernel limit raised after allocation)", kAudioUnitErr_TooManyFramesToProcess, 0, 2,
         2048, nullptr, [](RenderPath& t, OutputBuffers&) { t.kernel.maximumFrames = 4096; }},
        {"empty pull block", kAudioUnitErr_NoConnection, 0, 2, 64, &none},
        {"pull failure returned unchanged", -42, 0, 2, 64, &failing},
        {"in place with more outputs than inputs", kAudioUnitErr_InvalidParameter, -1, 3, 64, nullptr, {}, true},
        {"mono input, stereo output", kAudioUnitErr_InvalidParameter, 1, 2, 64, nullptr,
         [](RenderPath& t, OutputBuffers&) { t.allocate(1, 1024); t.helper.setChannelCount(2, 2); }},
        {"output buffer too small", kAudioUnitErr_InvalidParameter, -1, 2, 64, nullptr,
         [](RenderPath&, OutputBuffers& out) { out.list->buffers()[1].mDataByteSize = 63 * 4; }},
        {"null data past the first buffer", kAudioUnitErr_InvalidParameter, -1, 2, 64, nullptr,
         [](RenderPath&, OutputBuffers& out) { out.list->buffers()[1].mData = nullptr; }},
        {"zero buffers on both sides", kAudioUnitErr_InvalidParameter, -1, 0, 64, &emptying},
        {"more channels than the helper was sized for", kAudioUnitErr_InvalidParameter, -1, 2, 64, nullptr,
         [](RenderPath& t, OutputBuffers&) { t.helper.setChannelCount(1, 1); }},
        {"pull claims more buffers than the pull buffer has", kAudioUnitErr_InvalidParameter, -1, 5, 64, &lying,
         [](RenderPath& t, OutputBuffers&) { t.helper.setChannelCount(8, 8); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        allocate(2, 1024);
        pulls.clear();
        OutputBuffers out(c.channels, c.frames, c.nullData);
        if (c.setup) c.setup(*this, out);
        EXPECT_EQ(render(c.frames, out.list.get(), nullptr, 0, c.pull), c.status);
        if (c.pulls >= 0) { EXPECT_EQ(pulls.size(), std::size_t(c.pulls)); }
    }
    allocate(2, 1024);
    OutputBuffers out(2, 64);
    AudioUnitRenderActionFlags flags = 0;
    EXPECT_EQ(render(64, nullptr), kAudioUnitErr_InvalidParameter);
    EXPECT_EQ(helper.renderBlock(&flags, nullptr, 64, 0, out.list.get(), nullptr, &pull), kAudioUnitErr_InvalidParameter);
    // An interleaved format (8 bytes a frame) stops rendering until the allocated size is back.
    ASSERT_TRUE(inputBus.platformBus->setFormat(AVAudioFormat::make(AVAudioCommonFormat::PCMFormatFloat32, 44100, 2, true)));
    EXPECT_EQ(render(64, out.list.get()), kAudioUnitErr_TooManyFramesToProcess);
    EXPECT_TRUE(kernel.processCalls.empty());
    ASSERT_TRUE(inputBus.platformBus->setFormat(AVAudioFormat::makeStandard(48000, 2)));
    EXPECT_EQ(render(64, out.list.get()), noErr);
}

TEST_F(RenderPath, RendersIntoTheOutputOrInPlaceAndRestoresRepointedInput) {
    OutputBuffers out(2, 256);
    ASSERT_EQ(render(256, out.list.get(), nullptr, 4096), noErr);
    EXPECT_EQ(pulls, (decltype(pulls){{0u, 0, 256u}}));
    EXPECT_EQ(out.channels[1][10], 2.0f * 1010.0f + 1.0f);

    OutputBuffers inPlace(2, 128, /*nullData=*/true);
    ASSERT_EQ(render(128, inPlace.list.get()), noErr);
    for (std::uint32_t c = 0; c < 2; ++c) {
        EXPECT_EQ(inPlace.list->buffers()[c].mData, inputBus.pulledBufferList->buffers()[c].mData);
        EXPECT_EQ(inPlace.list->buffers()[c].mDataByteSize, 128u * 4u);
        EXPECT_EQ(static_cast<const float*>(inPlace.list->buffers()[c].mData)[5], 2.0f * float(c * 1000 + 5) + 1.0f);
    }

    std::vector<float> external(64, 0.5f);
    const auto repointing = pullSetting([&](AudioBufferList* data) {
        data->buffers()[0].mData = external.data();
        return noErr;
    });
    ASSERT_EQ(render(64, out.list.get(), nullptr, 0, &repointing), noErr);
    EXPECT_EQ(kernel.processCalls[2].inputs[0], external.data());
    EXPECT_EQ(out.channels[0][3], 2.0f);
    ASSERT_EQ(render(64, out.list.get()), noErr);
    EXPECT_EQ(kernel.processCalls[3].inputs[0], inputBus.pulledBufferList->buffers()[0].mData);
}

TEST_F(RenderPath, CyclesAreSplitAtEventsAndParametersApplyBetweenCalls) {
    using Stretch = std::tuple<std::int64_t, std::uint32_t, std::size_t>;  // start, frames, parameter calls before
    using Parameter = RecordingKernel::ParameterCall;
    using Case = std::tuple<const char*, std::vector<AURenderEvent>, double, std::uint32_t, std::vector<Stretch>,
                            std::vector<Parameter>>;  // name, events, start, frames, what the kernel sees
    const Case cases[] = {
        {"two parameters at one time, then MIDI",
         {event(1100, 3, 0.25f), event(1100, 7, 0.75f), event(1300, 0, 0, AURenderEventMIDI)}, 1000, 512,
         {{1000, 100, 0}, {1100, 200, 2}, {1300, 212, 2}}, {{3, 0.25f}, {7, 0.75f}}},
        {"dated before the cycle: applied before the first frame", {event(900, 1, 10.0f)}, 1000, 256,
         {{1000, 256, 1}}, {{1, 10.0f}}},
        {"zero frames: nothing rendered, nothing applied", {event(0, 1, 10.0f)}, 0, 0, {}, {}},
        {"ramp and MIDI kinds split but change nothing",
         {event(10, 2, 5.0f, AURenderEventParameterRamp), event(20, 0, 0, AURenderEventMIDISysEx),
          event(30, 0, 0, AURenderEventMIDIEventList)},
         0, 64, {{0, 10, 0}, {10, 10, 0}, {20, 10, 0}, {30, 34, 0}}, {}},
        {"beyond the cycle", {event(100, 1, 1.0f), event(64, 2, 2.0f), event(65, 3, 3.0f)}, 0,
         64, {{0, 64, 0}}, {{1, 1.0f}, {2, 2.0f}}},
        {"a sample time that is not finite counts as zero", {event(10, 1, 1.0f)},
         std::numeric_limits<double>::quiet_NaN(), 64, {{0, 10, 0}, {10, 54, 1}}, {{1, 1.0f}}},
        {"times at the ends of the range", {event(std::numeric_limits<std::int64_t>::max(), 1, 1.0f)}, -1e300, 64,
         {{std::numeric_limits<std::int64_t>::min(), 64, 0}}, {{1, 1.0f}}},
    };
    for (const auto& [name, caseEvents, start, frames, expectedStretches, expectedParameters] : cases) {
        SCOPED_TRACE(name);
        kernel.processCalls.clear();
        kernel.parameterCalls.clear();
        std::vector<AURenderEvent> events = caseEvents;
        OutputBuffers out(2, 512);
        ASSERT_EQ(render(frames, out.list.get(), link(events), start), noErr);
        std::vector<Stretch> stretches;
        for (const auto& call : kernel.processCalls) {
            stretches.emplace_back(call.startTime, call.frameCount, call.parameterCallsBefore);
            EXPECT_EQ(call.outputs[1], out.channels[1].data() + (call.startTime - kernel.processCalls[0].startTime));
        }
        EXPECT_EQ(stretches, expectedStretches);
        EXPECT_EQ(kernel.parameterCalls, expectedParameters);
    }
}

}  // namespace
