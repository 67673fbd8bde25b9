// Connections, start failures, the offline mode's rules, rendering into a
// file, the silent clock, and rewiring while the clock renders.

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "EngineTestSupport.hpp"
#include "engine/AVAudioFile.hpp"
#include "engine/AVAudioPlayerNode.hpp"

using namespace enginetest;

namespace {

// An offline engine at 48 kHz with a player of a short file on the main mixer
// and a fake unit not yet attached.
struct GraphRig {
    TempDir dir;
    std::unique_ptr<engine::AVAudioEngine> engine = makeOfflineEngine(48000, 512);
    std::shared_ptr<engine::AVAudioPlayerNode> player = std::make_shared<engine::AVAudioPlayerNode>();
    std::shared_ptr<FakeUnit> fake = std::make_shared<FakeUnit>();
    std::shared_ptr<engine::AVAudioUnit> unit = std::make_shared<engine::AVAudioUnit>(makeInterface(fake));
    engine::AVAudioFilePtr file;

    explicit GraphRig(const Channels& samples = sine(2, 4410, 440, 44100), int rate = 44100) {
        writeFloatWav(dir.path("in.wav"), rate, samples);
        file = engine::AVAudioFile::openForReading(dir.path("in.wav"));
        engine->attach(player);
        EXPECT_TRUE(engine->connect(player, engine->mainMixerNode(), file->processingFormat()));
    }
};

TEST(EngineGraph, ConnectionsReplaceOldOnesAndBadOnesAreRefusedWithAnError) {
    GraphRig rig;
    auto& e = *rig.engine;
    foundation::NSError error;
    EXPECT_FALSE(e.connect(rig.unit, e.mainMixerNode(), rig.file->processingFormat(), &error)) << "not attached";
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_InvalidElement);
    e.attach(rig.unit);
    auto interleaved = audiounit::AVAudioFormat::make(audiounit::AVAudioCommonFormat::PCMFormatInt16, 48000, 2, true);
    EXPECT_FALSE(e.connect(rig.unit, e.mainMixerNode(), interleaved, &error));
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_FormatNotSupported);
    EXPECT_FALSE(e.connect(e.mainMixerNode(), rig.player, nullptr, &error)) << "a player has no input";

    ASSERT_TRUE(e.connect(rig.player, rig.unit, rig.file->processingFormat()));
    EXPECT_FALSE(e.inputConnectionPoint(*e.mainMixerNode(), 0));
    EXPECT_EQ(e.outputConnectionPoint(*rig.player, 0)->node, rig.unit);
    auto out = e.outputConnectionPoint(*e.mainMixerNode(), 0);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->node, e.outputNode());
    EXPECT_EQ(*out->format, *e.outputNode()->outputFormatForBus(0));
    // Detaching removes every connection of the node.
    e.detach(rig.unit);
    EXPECT_FALSE(e.outputConnectionPoint(*rig.player, 0));
    EXPECT_EQ(rig.unit->engine(), nullptr);
}

TEST(EngineGraph, StartFailsWithTheUnitsErrorAndSucceedsOnceTheCauseIsGone) {
    GraphRig rig;
    auto& e = *rig.engine;
    rig.fake->failAllocation = true;
    e.attach(rig.unit);
    ASSERT_TRUE(e.connect(rig.player, rig.unit, rig.file->processingFormat()));
    ASSERT_TRUE(e.connect(rig.unit, e.mainMixerNode(), rig.file->processingFormat()));
    foundation::NSError error;
    EXPECT_FALSE(e.start(&error));
    EXPECT_FALSE(e.isRunning());
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_FailedInitialization);
    EXPECT_EQ(error.description, "fake unit refuses to allocate");
    auto buffer = audiounit::AVAudioPCMBuffer::make(audiounit::AVAudioFormat::makeStandard(48000, 2), 1024);
    EXPECT_EQ(e.renderOffline(256, *buffer->mutableAudioBufferList()), audiounit::kAudioUnitErr_CannotDoInCurrentContext);

    rig.fake->failAllocation = false;
    EXPECT_TRUE(e.start(&error));
    EXPECT_TRUE(e.isRunning());
    EXPECT_TRUE(e.start()) << "starting a running engine does nothing";
    EXPECT_EQ(*rig.fake->inputFormat, *rig.file->processingFormat());

    // Manual rendering: no change while running, no cycle above the maximum, no missing buffer.
    EXPECT_FALSE(e.enableManualRenderingMode(audiounit::AVAudioFormat::makeStandard(44100, 2), 512, &error));
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_CannotDoInCurrentContext);
    EXPECT_EQ(e.renderOffline(1024, *buffer->mutableAudioBufferList()), audiounit::kAudioUnitErr_TooManyFramesToProcess);
    buffer->mutableAudioBufferList()->mBuffers[0].mData = nullptr;
    EXPECT_EQ(e.renderOffline(256, *buffer->mutableAudioBufferList()), audiounit::kAudioUnitErr_InvalidParameter);
    e.stop();
    e.stop();
    EXPECT_FALSE(e.isRunning());
    EXPECT_FALSE(e.enableManualRenderingMode(audiounit::AVAudioFormat::makeStandard(48000, 2), 100000, &error));
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_FormatNotSupported);
}

TEST(EngineGraph, RendersOfflineIntoAFile) {
    const Channels samples = ramp(2, 3000);
    GraphRig rig(samples, 48000);
    ASSERT_TRUE(rig.engine->start());
    ASSERT_TRUE(rig.player->scheduleFile(rig.file, nullptr));
    rig.player->play();
    foundation::NSError error;
    ASSERT_TRUE(rig.engine->renderOfflineToFile(rig.dir.path("out.wav"), 4000, &error)) << error.localizedDescription();
    auto out = engine::AVAudioFile::openForReading(rig.dir.path("out.wav"));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->length(), 4000);
    auto buffer = audiounit::AVAudioPCMBuffer::make(out->processingFormat(), 4000);
    ASSERT_TRUE(out->readIntoBuffer(*buffer, 4000));
    for (std::size_t i = 0; i < 3000; ++i) ASSERT_EQ(buffer->floatChannelData()[1][i], samples[1][i]);
    EXPECT_EQ(buffer->floatChannelData()[0][3500], 0.0f);
    EXPECT_FALSE(rig.engine->renderOfflineToFile(rig.dir.path("bad.xyz"), 10, &error));
    EXPECT_FALSE(std::filesystem::exists(rig.dir.path("bad.xyz")));
}

// An engine without JACK, whose output is the silent clock, with the clock's
// line on standard output swallowed.
std::unique_ptr<engine::AVAudioEngine> clockEngine(audiounit::AUAudioFrameCount period = 0) {
    engine::AVAudioEngineOptions options;
    options.useJack = false;
    if (period != 0) options.clockPeriodFrames = period;
    auto e = std::make_unique<engine::AVAudioEngine>(options);
    testing::internal::CaptureStdout();
    const auto hardware = e->outputNode()->outputFormatForBus(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(engine::kSilentClockMessage) + "\n");
    EXPECT_EQ(e->outputKind(), engine::AVAudioEngineOutputKind::SilentClock);
    EXPECT_EQ(hardware->channelCount(), 2u);
    return e;
}

TEST(EngineGraph, WithoutJackTheOutputIsASilentClockThatStillPlays) {
    TempDir dir;
    auto e = clockEngine();
    // 0.1 s of audio plays out in real time and completes.
    writeFloatWav(dir.path("short.wav"), 48000, ramp(2, 4800));
    auto file = engine::AVAudioFile::openForReading(dir.path("short.wav"));
    auto player = std::make_shared<engine::AVAudioPlayerNode>();
    auto fake = std::make_shared<FakeUnit>();
    auto unit = std::make_shared<engine::AVAudioUnit>(makeInterface(fake));
    e->attach(player);
    e->attach(unit);
    ASSERT_TRUE(e->connect(player, unit, file->processingFormat()));
    ASSERT_TRUE(e->connect(unit, e->mainMixerNode(), file->processingFormat()));
    std::atomic<int> completions{0};
    ASSERT_TRUE(player->scheduleFile(file, [&] { completions.fetch_add(1); }));
    foundation::NSError error;
    ASSERT_TRUE(e->start(&error)) << error.localizedDescription();
    player->play();
    EXPECT_TRUE(waitFor([&] { return completions.load() == 1; }, std::chrono::seconds(3)));
    EXPECT_GE(player->renderedFrames(), 4800u);
    EXPECT_GT(fake->renderCalls.load(), 10);
    e->stop();
    EXPECT_FALSE(e->isRunning());
    const int calls = fake->renderCalls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(fake->renderCalls.load(), calls) << "a stopped clock renders nothing";
}

TEST(EngineGraph, RewiringWhileTheClockRendersNeverStallsOrBreaksRendering) {
    TempDir dir;
    auto e = clockEngine(64);
    auto mixer = e->mainMixerNode();
    writeFloatWav(dir.path("loop.wav"), 44100, sine(2, 44100, 220, 44100));
    auto file = engine::AVAudioFile::openForReading(dir.path("loop.wav"));
    auto player = std::make_shared<engine::AVAudioPlayerNode>();
    e->attach(player);
    ASSERT_TRUE(e->connect(player, mixer, file->processingFormat()));
    ASSERT_TRUE(e->start());
    ASSERT_TRUE(player->scheduleFile(file, nullptr));
    player->play();

    // The play engine's unit wiring (effect, then instrument), repeated while
    // the clock thread renders; it ends with an effect, so the player is wired.
    auto fake = std::make_shared<FakeUnit>();
    auto unit = std::make_shared<engine::AVAudioUnit>(makeInterface(fake));
    const auto hardware = e->outputNode()->outputFormatForBus(0);
    for (int round = 0; round <= 40; ++round) {
        const bool effect = round % 2 == 0;
        e->disconnectNodeInput(mixer);
        if (effect) e->connect(player, mixer, file->processingFormat());
        e->detach(unit);
        e->connect(mixer, e->outputNode(), hardware);
        player->pause();
        e->attach(unit);
        if (effect) {
            e->disconnectNodeInput(mixer);
            ASSERT_TRUE(e->connect(player, unit, file->processingFormat()));
            ASSERT_TRUE(e->connect(unit, mixer, file->processingFormat()));
        } else {
            ASSERT_TRUE(e->connect(unit, mixer, audiounit::AVAudioFormat::makeStandard(hardware->sampleRate(), 2)));
        }
        player->play();
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    const std::uint64_t before = player->renderedFrames();
    EXPECT_TRUE(waitFor([&] { return player->renderedFrames() > before + 2000; }, std::chrono::seconds(3)))
        << "the player still streams after the rewiring";
    EXPECT_EQ(fake->allocations, fake->deallocations + 1) << "every allocation but the current one was undone";
    e->stop();
}

}  // namespace
