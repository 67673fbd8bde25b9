// The unit node over the generic interface: formats and allocation from its connections, pull-input rendering.

#include <gtest/gtest.h>

#include <cmath>

#include "AllocationCounter.hpp"
#include "EngineTestSupport.hpp"

using namespace enginetest;

namespace {

TEST(UnitNode, AnEffectBetweenPlayerAndMixerGetsItsFormatsAndDoublesTheFile) {
    TempDir dir;
    auto e = makeOfflineEngine(48000, 512);
    const Channels samples = ramp(2, 6000);
    auto file = writeAndOpen(dir, "in.wav", 48000, samples);
    FakeUnitNode unit;
    auto player = std::make_shared<engine::AVAudioPlayerNode>();
    chain(*e, {player, unit.node, e->mainMixerNode()}, file->processingFormat());
    EXPECT_EQ(unit.fake->allocations, 0) << "nothing is allocated before prepare";

    foundation::NSError error;
    ASSERT_TRUE(e->prepare(&error)) << error.localizedDescription();
    EXPECT_EQ(unit.fake->allocations, 1);
    EXPECT_TRUE(unit.node->renderResourcesAllocated());
    EXPECT_EQ(*unit.fake->inputFormat(), *file->processingFormat());
    EXPECT_EQ(*unit.fake->outputFormat(), *file->processingFormat());
    EXPECT_EQ(unit.fake->maximumFrames, e->maximumFramesToRender());

    ASSERT_TRUE(e->start(&error));
    EXPECT_EQ(unit.fake->allocations, 1) << "start after prepare allocates nothing new";
    ASSERT_TRUE(player->scheduleFile(file, nullptr));
    player->play();
    const Channels out = renderOffline(*e, 7000);
    for (int c = 0; c < 2; ++c)
        for (std::size_t i = 0; i < 7000; ++i) ASSERT_EQ(out[c][i], i < 6000 ? 2.0f * samples[c][i] : 0.0f) << c << ":" << i;
    EXPECT_EQ(unit.fake->renderCallsWithoutPull.load(), 0);
    EXPECT_EQ(unit.node->unitAs<FakeUnit>(), unit.fake);

    // Leaving the engine releases the unit's render resources.
    e->stop();
    e->detach(unit.node);
    EXPECT_EQ(unit.fake->deallocations, 1);
    EXPECT_FALSE(unit.node->renderResourcesAllocated());
}

TEST(UnitNode, AnInstrumentRendersWithoutPullingReallocatesOnANewFormatAndReportsAFailedRender) {
    auto e = makeOfflineEngine(48000, 256);
    FakeUnitNode unit;
    const auto format = audiounit::AVAudioFormat::makeStandard(48000, 2);
    chain(*e, {unit.node, e->mainMixerNode()}, format);
    ASSERT_TRUE(e->start());
    EXPECT_EQ(unit.fake->inputFormat()->sampleRate(), 44100.0) << "no input connection, no input format set";
    EXPECT_EQ(*unit.fake->outputFormat(), *format);
    Channels out = renderOffline(*e, 1024, 256);
    EXPECT_EQ(out, Channels(2, std::vector<float>(1024, 0.25f)));
    EXPECT_EQ(unit.fake->renderCallsWithoutPull.load(), 4);

    // Reconnected in mono while running: allocated again, and mono feeds both sides.
    ASSERT_TRUE(e->connect(unit.node, e->mainMixerNode(), audiounit::AVAudioFormat::makeStandard(48000, 1)));
    EXPECT_EQ(unit.fake->deallocations, 1);
    EXPECT_EQ(unit.fake->allocations, 2);
    EXPECT_EQ(unit.fake->outputFormat()->channelCount(), 1u);
    EXPECT_EQ(renderOffline(*e, 256, 256), Channels(2, std::vector<float>(256, 0.25f)));

    unit.fake->renderStatus = audiounit::kAudioUnitErr_NoConnection;
    EXPECT_EQ(renderOffline(*e, 256, 256), Channels(2, std::vector<float>(256, 0.0f)));
    EXPECT_EQ(unit.node->lastRenderStatus(), audiounit::kAudioUnitErr_NoConnection);
}

// A converting player through a unit node plus a direct player, rendered in cycles of changing sizes.
TEST(UnitNode, TheOfflineRenderLoopAllocatesNothing) {
    TempDir dir;
    auto e = makeOfflineEngine(48000, 512);
    auto converting = writeAndOpen(dir, "a.wav", 44100, sine(1, 200000, 440, 44100));
    auto direct = writeAndOpen(dir, "b.wav", 48000, ramp(2, 200000));
    auto convertingPlayer = std::make_shared<engine::AVAudioPlayerNode>();
    auto directPlayer = std::make_shared<engine::AVAudioPlayerNode>();
    FakeUnitNode unit;
    chain(*e, {convertingPlayer, unit.node, e->mainMixerNode()}, converting->processingFormat());
    chain(*e, {directPlayer, e->mainMixerNode()}, direct->processingFormat());
    ASSERT_TRUE(e->start());
    ASSERT_TRUE(convertingPlayer->scheduleFile(converting, nullptr));
    ASSERT_TRUE(directPlayer->scheduleFile(direct, nullptr));
    convertingPlayer->play();
    directPlayer->play();

    auto buffer = audiounit::AVAudioPCMBuffer::make(e->manualRenderingFormat(), 512);
    const audiounit::AUAudioFrameCount sizes[] = {512, 1, 333, 64, 511};
    float energy = 0;
    rtcheck::ScopedAllocationCounter counter;
    for (int cycle = 0; cycle < 300; ++cycle) {
        const auto frames = sizes[cycle % 5];
        buffer->setFrameLength(frames);
        ASSERT_EQ(e->renderOffline(frames, *buffer->mutableAudioBufferList()), audiounit::noErr);
        for (audiounit::AUAudioFrameCount i = 0; i < frames; ++i) energy += std::fabs(buffer->floatChannelData()[0][i]);
    }
    EXPECT_EQ(counter.stop().total(), 0u);
    EXPECT_GT(energy, 1.0f) << "the cycles rendered sound";
    EXPECT_GT(directPlayer->renderedFrames(), 40000u);
}

}  // namespace
