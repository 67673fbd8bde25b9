// Connections, start failures, offline-mode rules, rendering to a file, and the silent clock under rewiring.

#include <gtest/gtest.h>

#include <thread>

#include "EngineTestSupport.hpp"

using namespace enginetest;

namespace {

// An offline 48 kHz engine playing a short file into the main mixer, with a fake unit not yet attached.
struct GraphRig {
    TempDir dir;
    std::unique_ptr<engine::AVAudioEngine> engine = makeOfflineEngine(48000, 512);
    std::shared_ptr<engine::AVAudioPlayerNode> player = std::make_shared<engine::AVAudioPlayerNode>();
    FakeUnitNode unit;
    engine::AVAudioFilePtr file;

    explicit GraphRig(const Channels& samples = sine(2, 4410, 440, 44100), int rate = 44100)
        : file(writeAndOpen(dir, "in.wav", rate, samples)) {
        chain(*engine, {player, engine->mainMixerNode()}, file->processingFormat());
    }
};

TEST(EngineGraph, ConnectionsReplaceOldOnesAndBadOnesAreRefusedWithAnError) {
    GraphRig rig;
    auto& e = *rig.engine;
    foundation::NSError error;
    EXPECT_FALSE(e.connect(rig.unit.node, e.mainMixerNode(), rig.file->processingFormat(), &error)) << "not attached";
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_InvalidElement);
    e.attach(rig.unit.node);
    auto interleaved = audiounit::AVAudioFormat::make(audiounit::AVAudioCommonFormat::PCMFormatInt16, 48000, 2, true);
    EXPECT_FALSE(e.connect(rig.unit.node, e.mainMixerNode(), interleaved, &error));
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_FormatNotSupported);
    EXPECT_FALSE(e.connect(e.mainMixerNode(), rig.player, nullptr, &error)) << "a player has no input";

    ASSERT_TRUE(e.connect(rig.player, rig.unit.node, rig.file->processingFormat()));
    EXPECT_FALSE(e.inputConnectionPoint(*e.mainMixerNode(), 0));
    EXPECT_EQ(e.outputConnectionPoint(*rig.player, 0)->node, rig.unit.node);
    // Detaching removes every connection of the node.
    e.detach(rig.unit.node);
    EXPECT_FALSE(e.outputConnectionPoint(*rig.player, 0));
    EXPECT_EQ(rig.unit.node->engine(), nullptr);
}

TEST(EngineGraph, StartFailsWithTheUnitsErrorThenSucceedsAndTheOfflineModeKeepsItsRulesAndRendersIntoAFile) {
    const Channels samples = ramp(2, 3000);
    GraphRig rig(samples, 48000);
    auto& e = *rig.engine;
    rig.unit.fake->gain = 1;
    rig.unit.fake->failAllocation = true;
    chain(e, {rig.player, rig.unit.node, e.mainMixerNode()}, rig.file->processingFormat());
    foundation::NSError error;
    EXPECT_FALSE(e.start(&error));
    EXPECT_FALSE(e.isRunning());
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_FailedInitialization);
    EXPECT_EQ(error.description, "fake unit refuses to allocate");
    auto buffer = audiounit::AVAudioPCMBuffer::make(audiounit::AVAudioFormat::makeStandard(48000, 2), 1024);
    EXPECT_EQ(e.renderOffline(256, *buffer->mutableAudioBufferList()), audiounit::kAudioUnitErr_CannotDoInCurrentContext);

    rig.unit.fake->failAllocation = false;
    EXPECT_TRUE(e.start(&error));
    EXPECT_TRUE(e.start()) << "starting a running engine does nothing";
    // No change of mode while running, no cycle above the maximum, no missing buffer.
    EXPECT_FALSE(e.enableManualRenderingMode(audiounit::AVAudioFormat::makeStandard(44100, 2), 512, &error));
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_CannotDoInCurrentContext);
    EXPECT_EQ(e.renderOffline(1024, *buffer->mutableAudioBufferList()), audiounit::kAudioUnitErr_TooManyFramesToProcess);
    auto broken = audiounit::AVAudioPCMBuffer::make(audiounit::AVAudioFormat::makeStandard(48000, 2), 1024);
    broken->mutableAudioBufferList()->mBuffers[0].mData = nullptr;
    EXPECT_EQ(e.renderOffline(256, *broken->mutableAudioBufferList()), audiounit::kAudioUnitErr_InvalidParameter);

    ASSERT_TRUE(rig.player->scheduleFile(rig.file, nullptr));
    rig.player->play();
    ASSERT_TRUE(e.renderOfflineToFile(rig.dir.path("out.wav"), 4000, &error)) << error.localizedDescription();
    auto out = engine::AVAudioFile::openForReading(rig.dir.path("out.wav"));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->length(), 4000);
    auto written = audiounit::AVAudioPCMBuffer::make(out->processingFormat(), 4000);
    ASSERT_TRUE(out->readIntoBuffer(*written, 4000));
    for (std::size_t i = 0; i < 4000; ++i) ASSERT_EQ(written->floatChannelData()[1][i], i < 3000 ? samples[1][i] : 0.0f);

    e.stop();
    e.stop();
    EXPECT_FALSE(e.isRunning());
    EXPECT_FALSE(e.enableManualRenderingMode(audiounit::AVAudioFormat::makeStandard(48000, 2), 100000, &error));
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_FormatNotSupported);
}

// Without JACK a silent clock (announced in one line) plays, survives the unit being rewired, and stops.
TEST(EngineGraph, WithoutJackASilentClockPlaysThroughRewiringAndStops) {
    TempDir dir;
    engine::AVAudioEngineOptions options;
    options.useJack = false;
    options.clockPeriodFrames = 64;
    engine::AVAudioEngine e(options);
    testing::internal::CaptureStdout();
    const auto hardware = e.outputNode()->outputFormatForBus(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(engine::kSilentClockMessage) + "\n");
    EXPECT_EQ(e.outputKind(), engine::AVAudioEngineOutputKind::SilentClock);
    const auto mixer = e.mainMixerNode();

    auto file = writeAndOpen(dir, "short.wav", 44100, ramp(2, 4410));
    auto player = std::make_shared<engine::AVAudioPlayerNode>();
    FakeUnitNode unit;
    chain(e, {player, unit.node, mixer}, file->processingFormat());
    std::atomic<int> completions{0};
    ASSERT_TRUE(player->scheduleFile(file, [&] { completions.fetch_add(1); }));
    ASSERT_TRUE(e.start());
    player->play();
    EXPECT_TRUE(waitFor([&] { return completions.load() == 1; }, std::chrono::seconds(3))) << "played through the unit";

    auto loop = writeAndOpen(dir, "loop.wav", 44100, sine(2, 44100, 220, 44100));
    ASSERT_TRUE(player->scheduleFile(loop, nullptr));
    for (int round = 0; round <= 40; ++round) {  // it ends with an effect, so the player is wired
        const bool effect = round % 2 == 0;
        e.disconnectNodeInput(mixer);
        if (effect) e.connect(player, mixer, file->processingFormat());
        e.detach(unit.node);
        e.connect(mixer, e.outputNode(), hardware);
        player->pause();
        e.attach(unit.node);
        if (effect) {
            e.disconnectNodeInput(mixer);
            chain(e, {player, unit.node, mixer}, file->processingFormat());
        } else {
            ASSERT_TRUE(e.connect(unit.node, mixer, audiounit::AVAudioFormat::makeStandard(hardware->sampleRate(), 2)));
        }
        player->play();
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    const std::uint64_t before = player->renderedFrames();
    EXPECT_TRUE(waitFor([&] { return player->renderedFrames() > before + 2000; }, std::chrono::seconds(3)))
        << "the player still streams after the rewiring";
    EXPECT_EQ(unit.fake->allocations, unit.fake->deallocations + 1) << "every allocation but the current one was undone";
    e.stop();
    EXPECT_FALSE(e.isRunning());
    const int calls = unit.fake->renderCalls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(unit.fake->renderCalls.load(), calls) << "a stopped clock renders nothing";
}

}  // namespace
