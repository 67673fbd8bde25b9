// The unit node: formats and allocation driven by its connections, rendering
// through the unit's render block with a pull-input callback to its input node.

#include <gtest/gtest.h>

#include "EngineTestSupport.hpp"
#include "audiounit/AUAudioUnitBus.hpp"
#include "engine/AVAudioFile.hpp"
#include "engine/AVAudioPlayerNode.hpp"

using namespace enginetest;

namespace {

TEST(UnitNode, AnEffectBetweenPlayerAndMixerGetsItsFormatsAndDoublesTheFile) {
    TempDir dir;
    auto e = makeOfflineEngine(48000, 512);
    const Channels samples = ramp(2, 6000);
    writeFloatWav(dir.path("in.wav"), 48000, samples);
    auto file = engine::AVAudioFile::openForReading(dir.path("in.wav"));
    ASSERT_TRUE(file);

    auto fake = std::make_shared<FakeUnit>();
    auto unit = std::make_shared<engine::AVAudioUnit>(makeInterface(fake));
    auto player = std::make_shared<engine::AVAudioPlayerNode>();
    e->attach(player);
    e->attach(unit);
    ASSERT_TRUE(e->connect(player, unit, file->processingFormat()));
    ASSERT_TRUE(e->connect(unit, e->mainMixerNode(), file->processingFormat()));
    EXPECT_EQ(fake->allocations, 0) << "nothing is allocated before prepare";

    foundation::NSError error;
    ASSERT_TRUE(e->prepare(&error)) << error.localizedDescription();
    EXPECT_EQ(fake->allocations, 1);
    EXPECT_TRUE(unit->renderResourcesAllocated());
    ASSERT_TRUE(fake->inputFormat && fake->outputFormat);
    EXPECT_EQ(*fake->inputFormat, *file->processingFormat());
    EXPECT_EQ(*fake->outputFormat, *file->processingFormat());
    EXPECT_EQ(fake->maximumFrames, e->maximumFramesToRender());

    ASSERT_TRUE(e->start(&error));
    EXPECT_EQ(fake->allocations, 1) << "start after prepare allocates nothing new";
    ASSERT_TRUE(player->scheduleFile(file, nullptr));
    player->play();
    const Channels out = renderOffline(*e, 7000);
    for (int c = 0; c < 2; ++c) {
        for (std::size_t i = 0; i < 6000; ++i) ASSERT_EQ(out[c][i], 2.0f * samples[c][i]) << c << ":" << i;
        for (std::size_t i = 6000; i < 7000; ++i) ASSERT_EQ(out[c][i], 0.0f);
    }
    EXPECT_EQ(fake->renderCallsWithoutPull.load(), 0);

    // Leaving the engine releases the unit's render resources.
    e->stop();
    e->detach(unit);
    EXPECT_EQ(fake->deallocations, 1);
    EXPECT_FALSE(unit->renderResourcesAllocated());
}

TEST(UnitNode, AnInstrumentRendersWithoutPullingReallocatesOnANewFormatAndReportsAFailedRender) {
    auto e = makeOfflineEngine(48000, 256);
    auto fake = std::make_shared<FakeUnit>();
    auto unit = std::make_shared<engine::AVAudioUnit>(makeInterface(fake));
    e->attach(unit);
    const auto format = audiounit::AVAudioFormat::makeStandard(48000, 2);
    ASSERT_TRUE(e->connect(unit, e->mainMixerNode(), format));
    ASSERT_TRUE(e->start());
    EXPECT_FALSE(fake->inputFormat) << "no input connection, no input format set";
    EXPECT_EQ(*fake->outputFormat, *format);
    Channels out = renderOffline(*e, 1024, 256);
    for (int c = 0; c < 2; ++c)
        for (float s : out[c]) ASSERT_EQ(s, 0.25f);
    EXPECT_EQ(fake->renderCallsWithoutPull.load(), 4);

    // Reconnected in mono while running: allocated again, and mono feeds both sides.
    ASSERT_TRUE(e->connect(unit, e->mainMixerNode(), audiounit::AVAudioFormat::makeStandard(48000, 1)));
    EXPECT_EQ(fake->deallocations, 1);
    EXPECT_EQ(fake->allocations, 2);
    EXPECT_EQ(fake->outputFormat->channelCount(), 1u);
    out = renderOffline(*e, 256, 256);
    for (float s : out[1]) ASSERT_EQ(s, 0.25f);

    // A failing render block gives silence, and the node keeps its status.
    fake->renderStatus = audiounit::kAudioUnitErr_NoConnection;
    out = renderOffline(*e, 256, 256);
    for (float s : out[0]) ASSERT_EQ(s, 0.0f);
    EXPECT_EQ(unit->lastRenderStatus(), audiounit::kAudioUnitErr_NoConnection);
}

// A unit with the platform's member names, over real busses, for the generic interface.
struct BusArray {
    std::vector<audiounit::AUAudioUnitBusPtr> busses;
    [[nodiscard]] audiounit::NSInteger count() const { return static_cast<audiounit::NSInteger>(busses.size()); }
    audiounit::AUAudioUnitBusPtr operator[](audiounit::NSInteger i) const { return busses[static_cast<std::size_t>(i)]; }
};

struct PlatformShapedUnit {
    std::shared_ptr<BusArray> inputs = std::make_shared<BusArray>();
    std::shared_ptr<BusArray> outputs = std::make_shared<BusArray>();
    audiounit::AUAudioFrameCount maximumFrames = 0;
    bool allocated = false;
    audiounit::AURenderBlock block;

    PlatformShapedUnit() {
        const auto format = audiounit::AVAudioFormat::makeStandard(44100, 2);
        inputs->busses.push_back(audiounit::AUAudioUnitBus::make(format));
        outputs->busses.push_back(audiounit::AUAudioUnitBus::make(format));
        // Passes its input through, times 3.
        block = [this](audiounit::AudioUnitRenderActionFlags* flags, const audiounit::AudioTimeStamp* ts,
                       audiounit::AUAudioFrameCount frames, audiounit::NSInteger, audiounit::AudioBufferList* out,
                       const audiounit::AURenderPullInputBlock* pull) -> audiounit::OSStatus {
            if (!allocated) return audiounit::kAudioUnitErr_Uninitialized;
            if (pull == nullptr) return audiounit::kAudioUnitErr_NoConnection;
            const audiounit::OSStatus status = (*pull)(flags, ts, frames, 0, out);
            for (audiounit::AudioBuffer& b : out->buffers()) {
                for (audiounit::AUAudioFrameCount i = 0; i < frames; ++i) static_cast<float*>(b.mData)[i] *= 3.0f;
            }
            return status;
        };
    }
    [[nodiscard]] std::shared_ptr<BusArray> inputBusses() const { return inputs; }
    [[nodiscard]] std::shared_ptr<BusArray> outputBusses() const { return outputs; }
    void setMaximumFramesToRender(audiounit::AUAudioFrameCount frames) { maximumFrames = frames; }
    bool allocateRenderResources(foundation::NSError*) { return allocated = true; }
    void deallocateRenderResources() { allocated = false; }
    [[nodiscard]] const audiounit::AURenderBlock& renderBlock() const { return block; }
};

TEST(UnitNode, TheGenericInterfaceDrivesAPlatformShapedUnit) {
    TempDir dir;
    auto e = makeOfflineEngine(48000, 512);
    const Channels samples = ramp(1, 2000);
    writeFloatWav(dir.path("mono.wav"), 48000, samples);
    auto file = engine::AVAudioFile::openForReading(dir.path("mono.wav"));
    auto au = std::make_shared<PlatformShapedUnit>();
    auto unit = std::make_shared<engine::AVAudioUnit>(engine::makeAVAudioUnitInterface(au));
    EXPECT_EQ(unit->unitAs<PlatformShapedUnit>(), au);
    auto player = std::make_shared<engine::AVAudioPlayerNode>();
    e->attach(player);
    e->attach(unit);
    ASSERT_TRUE(e->connect(player, unit, file->processingFormat()));
    ASSERT_TRUE(e->connect(unit, e->mainMixerNode(), file->processingFormat()));
    ASSERT_TRUE(e->start());
    EXPECT_TRUE(au->allocated);
    EXPECT_EQ(au->maximumFrames, e->maximumFramesToRender());
    EXPECT_EQ(*au->inputs->busses[0]->format(), *file->processingFormat());
    EXPECT_EQ(*au->outputs->busses[0]->format(), *file->processingFormat());
    ASSERT_TRUE(player->scheduleFile(file, nullptr));
    player->play();
    const Channels out = renderOffline(*e, 2000);
    for (std::size_t i = 0; i < 2000; ++i) ASSERT_EQ(out[1][i], 3.0f * samples[0][i]);
    e->stop();
    e->detach(unit);
    EXPECT_FALSE(au->allocated);
}

}  // namespace
