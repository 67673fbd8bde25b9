// The unit node over the generic interface: formats and allocation from its connections, pull-input rendering;
// every offline render here and in the other engine tests also shows that the render cycles allocate nothing.

#include <gtest/gtest.h>

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

    // Leaving the engine releases the unit's render resources.
    e->stop();
    e->detach(unit.node);
    EXPECT_EQ(unit.fake->deallocations, 1);
}

TEST(UnitNode, AnInstrumentRendersWithoutPullingReallocatesOnANewFormatAndReportsAFailedRender) {
    auto e = makeOfflineEngine(48000, 256);
    FakeUnitNode unit;
    const auto format = audiounit::AVAudioFormat::makeStandard(48000, 2);
    chain(*e, {unit.node, e->mainMixerNode()}, format);
    ASSERT_TRUE(e->start());
    EXPECT_EQ(*unit.fake->outputFormat(), *format);
    Channels out = renderOffline(*e, 1024, 256);
    EXPECT_EQ(out, Channels(2, std::vector<float>(1024, 0.25f)));

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

}  // namespace
