// Graph shapes, start failures, the silent clock and the offline mode's rules.

#include <gtest/gtest.h>

#include <cmath>

#include <filesystem>
#include <thread>

#include "EngineTestSupport.hpp"
#include "engine/AVAudioFile.hpp"
#include "engine/AVAudioPlayerNode.hpp"

using namespace enginetest;

namespace {

struct GraphRig {
    TempDir dir;
    std::unique_ptr<engine::AVAudioEngine> engine = makeOfflineEngine(48000, 512);
    std::shared_ptr<engine::AVAudioPlayerNode> player = std::make_shared<engine::AVAudioPlayerNode>();
    std::shared_ptr<FakeUnit> fake = std::make_shared<FakeUnit>();
    std::shared_ptr<engine::AVAudioUnit> unit = std::make_shared<engine::AVAudioUnit>(makeInterface(fake));
    engine::AVAudioFilePtr file;

    // The state after the play engine's construction: player -> main mixer at the file's format.
    GraphRig() {
        writeFloatWav(dir.path("Synth.wav"), 44100, sine(2, 4410, 440, 44100));
        file = engine::AVAudioFile::openForReading(dir.path("Synth.wav"));
        engine->attach(player);
        EXPECT_TRUE(engine->connect(player, engine->mainMixerNode(), file->processingFormat()));
        EXPECT_TRUE(engine->prepare());
    }

    // The play engine's wiring of a unit, step by step.
    void connectUnit(bool isEffect) {
        auto mixer = engine->mainMixerNode();
        engine->disconnectNodeInput(mixer);
        if (isEffect) engine->connect(player, mixer, file->processingFormat());
        engine->detach(unit);
        const auto hardware = engine->outputNode()->outputFormatForBus(0);
        engine->connect(mixer, engine->outputNode(), hardware);
        engine->attach(unit);
        if (isEffect) {
            engine->disconnectNodeInput(mixer);
            engine->connect(player, unit, file->processingFormat());
            engine->connect(unit, mixer, file->processingFormat());
        } else {
            engine->connect(unit, mixer, audiounit::AVAudioFormat::makeStandard(hardware->sampleRate(), 2));
        }
    }
};

TEST(EngineGraph, ConstructionShapeIsPlayerIntoTheMainMixerAtTheFileFormat) {
    GraphRig rig;
    auto mixer = rig.engine->mainMixerNode();
    auto in = rig.engine->inputConnectionPoint(*mixer, 0);
    ASSERT_TRUE(in);
    EXPECT_EQ(in->node, rig.player);
    EXPECT_EQ(*in->format, *rig.file->processingFormat());
    auto out = rig.engine->outputConnectionPoint(*mixer, 0);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->node, rig.engine->outputNode());
    EXPECT_EQ(*out->format, *rig.engine->outputNode()->outputFormatForBus(0));
    EXPECT_EQ(rig.engine->outputNode()->outputFormatForBus(0)->sampleRate(), 48000.0);
}

TEST(EngineGraph, AnEffectSitsBetweenPlayerAndMixer) {
    GraphRig rig;
    rig.connectUnit(true);
    auto mixer = rig.engine->mainMixerNode();
    const auto fileFormat = rig.file->processingFormat();

    auto intoMixer = rig.engine->inputConnectionPoint(*mixer, 0);
    ASSERT_TRUE(intoMixer);
    EXPECT_EQ(intoMixer->node, rig.unit);
    EXPECT_EQ(*intoMixer->format, *fileFormat);
    EXPECT_FALSE(rig.engine->inputConnectionPoint(*mixer, 1)) << "the mixer has one input";
    auto intoUnit = rig.engine->inputConnectionPoint(*rig.unit, 0);
    ASSERT_TRUE(intoUnit);
    EXPECT_EQ(intoUnit->node, rig.player);
    EXPECT_EQ(*intoUnit->format, *fileFormat);
    EXPECT_EQ(rig.engine->outputConnectionPoint(*rig.player, 0)->node, rig.unit);
    EXPECT_EQ(*rig.engine->outputConnectionPoint(*mixer, 0)->format, *rig.engine->outputNode()->outputFormatForBus(0));

    ASSERT_TRUE(rig.engine->start());
    EXPECT_EQ(*rig.fake->inputFormat, *fileFormat);
    EXPECT_EQ(*rig.fake->outputFormat, *fileFormat);
    ASSERT_TRUE(rig.player->scheduleFile(rig.file, nullptr));
    rig.player->play();
    const Channels out = renderOffline(*rig.engine, 5000);
    float peak = 0;
    for (float s : out[0]) peak = std::max(peak, std::fabs(s));
    EXPECT_NEAR(peak, 1.0f, 0.02f) << "the 0.5 sine, doubled by the unit, converted to 48 kHz";
}

TEST(EngineGraph, AnInstrumentFeedsTheMixerInStereoAtTheHardwareRateAndThePlayerIsUnconnected) {
    GraphRig rig;
    rig.connectUnit(false);
    auto mixer = rig.engine->mainMixerNode();
    auto intoMixer = rig.engine->inputConnectionPoint(*mixer, 0);
    ASSERT_TRUE(intoMixer);
    EXPECT_EQ(intoMixer->node, rig.unit);
    EXPECT_EQ(intoMixer->format->channelCount(), 2u);
    EXPECT_EQ(intoMixer->format->sampleRate(), 48000.0);
    EXPECT_FALSE(rig.engine->outputConnectionPoint(*rig.player, 0));
    EXPECT_FALSE(rig.engine->inputConnectionPoint(*rig.unit, 0));
    ASSERT_TRUE(rig.engine->start());
    const Channels out = renderOffline(*rig.engine, 512);
    EXPECT_EQ(out[0][100], 0.25f);
    EXPECT_GT(rig.fake->renderCallsWithoutPull.load(), 0);
}

TEST(EngineGraph, ConnectingASourceElsewhereReplacesItsOldConnection) {
    GraphRig rig;
    rig.engine->attach(rig.unit);
    ASSERT_TRUE(rig.engine->connect(rig.player, rig.unit, rig.file->processingFormat()));
    EXPECT_FALSE(rig.engine->inputConnectionPoint(*rig.engine->mainMixerNode(), 0));
    EXPECT_EQ(rig.engine->outputConnectionPoint(*rig.player, 0)->node, rig.unit);
    // Detaching removes every connection of the node.
    rig.engine->detach(rig.unit);
    EXPECT_FALSE(rig.engine->outputConnectionPoint(*rig.player, 0));
    EXPECT_EQ(rig.unit->engine(), nullptr);
}

TEST(EngineGraph, BadConnectionsAreRefusedWithAnError) {
    GraphRig rig;
    foundation::NSError error;
    EXPECT_FALSE(rig.engine->connect(rig.unit, rig.engine->mainMixerNode(), rig.file->processingFormat(), &error));
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_InvalidElement);
    rig.engine->attach(rig.unit);
    error = {};
    auto interleaved = audiounit::AVAudioFormat::make(audiounit::AVAudioCommonFormat::PCMFormatInt16, 48000, 2, true);
    EXPECT_FALSE(rig.engine->connect(rig.unit, rig.engine->mainMixerNode(), interleaved, &error));
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_FormatNotSupported);
    EXPECT_FALSE(rig.engine->connect(rig.engine->mainMixerNode(), rig.player, nullptr, &error)) << "a player has no input";
}

TEST(EngineGraph, StartFailsWithTheUnitsErrorAndSucceedsOnceTheCauseIsGone) {
    GraphRig rig;
    rig.fake->failAllocation = true;
    rig.connectUnit(true);
    foundation::NSError error;
    EXPECT_FALSE(rig.engine->start(&error));
    EXPECT_FALSE(rig.engine->isRunning());
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_FailedInitialization);
    EXPECT_EQ(error.description, "fake unit refuses to allocate");
    EXPECT_EQ(rig.engine->renderOffline(256, *audiounit::AVAudioPCMBuffer::make(
                                                  audiounit::AVAudioFormat::makeStandard(48000, 2), 256)
                                                  ->mutableAudioBufferList()),
              audiounit::kAudioUnitErr_CannotDoInCurrentContext);

    rig.fake->failAllocation = false;
    EXPECT_TRUE(rig.engine->start(&error));
    EXPECT_TRUE(rig.engine->isRunning());
    EXPECT_TRUE(rig.engine->start()) << "starting a running engine does nothing";
    rig.engine->stop();
    rig.engine->stop();
    EXPECT_FALSE(rig.engine->isRunning());
}

TEST(EngineGraph, ManualRenderingRules) {
    GraphRig rig;
    foundation::NSError error;
    EXPECT_FALSE(rig.engine->enableManualRenderingMode(audiounit::AVAudioFormat::makeStandard(48000, 2), 100000, &error));
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_FormatNotSupported);
    ASSERT_TRUE(rig.engine->start());
    EXPECT_FALSE(rig.engine->enableManualRenderingMode(audiounit::AVAudioFormat::makeStandard(44100, 2), 512, &error));
    EXPECT_EQ(error.code, audiounit::kAudioUnitErr_CannotDoInCurrentContext);
    auto buffer = audiounit::AVAudioPCMBuffer::make(audiounit::AVAudioFormat::makeStandard(48000, 2), 1024);
    EXPECT_EQ(rig.engine->renderOffline(1024, *buffer->mutableAudioBufferList()),
              audiounit::kAudioUnitErr_TooManyFramesToProcess);
    buffer->mutableAudioBufferList()->mBuffers[0].mData = nullptr;
    EXPECT_EQ(rig.engine->renderOffline(256, *buffer->mutableAudioBufferList()),
              audiounit::kAudioUnitErr_InvalidParameter);
}

TEST(EngineGraph, RendersOfflineIntoAFile) {
    TempDir dir;
    auto e = makeOfflineEngine(48000, 512);
    auto player = std::make_shared<engine::AVAudioPlayerNode>();
    const Channels samples = ramp(2, 3000);
    writeFloatWav(dir.path("in.wav"), 48000, samples);
    auto file = engine::AVAudioFile::openForReading(dir.path("in.wav"));
    e->attach(player);
    ASSERT_TRUE(e->connect(player, e->mainMixerNode(), file->processingFormat()));
    ASSERT_TRUE(e->start());
    ASSERT_TRUE(player->scheduleFile(file, nullptr));
    player->play();
    foundation::NSError error;
    ASSERT_TRUE(e->renderOfflineToFile(dir.path("out.wav"), 4000, &error)) << error.localizedDescription();
    auto out = engine::AVAudioFile::openForReading(dir.path("out.wav"));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->length(), 4000);
    auto buffer = audiounit::AVAudioPCMBuffer::make(out->processingFormat(), 4000);
    ASSERT_TRUE(out->readIntoBuffer(*buffer, 4000));
    for (std::size_t i = 0; i < 3000; ++i) ASSERT_EQ(buffer->floatChannelData()[1][i], samples[1][i]);
    EXPECT_EQ(buffer->floatChannelData()[0][3500], 0.0f);
    EXPECT_FALSE(e->renderOfflineToFile(dir.path("bad.xyz"), 10, &error));
    EXPECT_FALSE(std::filesystem::exists(dir.path("bad.xyz")));
}

TEST(EngineGraph, WithoutJackTheOutputIsASilentClockThatStillPlays) {
    TempDir dir;
    engine::AVAudioEngineOptions options;
    options.useJack = false;
    engine::AVAudioEngine e(options);
    testing::internal::CaptureStdout();
    const auto hardware = e.outputNode()->outputFormatForBus(0);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, std::string(engine::kSilentClockMessage) + "\n");
    EXPECT_EQ(e.outputKind(), engine::AVAudioEngineOutputKind::SilentClock);
    ASSERT_TRUE(hardware);
    EXPECT_EQ(hardware->channelCount(), 2u);

    // 0.1 s of audio plays out in real time and completes.
    writeFloatWav(dir.path("short.wav"), 48000, ramp(2, 4800));
    auto file = engine::AVAudioFile::openForReading(dir.path("short.wav"));
    auto player = std::make_shared<engine::AVAudioPlayerNode>();
    auto fake = std::make_shared<FakeUnit>();
    auto unit = std::make_shared<engine::AVAudioUnit>(makeInterface(fake));
    e.attach(player);
    e.attach(unit);
    ASSERT_TRUE(e.connect(player, unit, file->processingFormat()));
    ASSERT_TRUE(e.connect(unit, e.mainMixerNode(), file->processingFormat()));
    std::atomic<int> completions{0};
    ASSERT_TRUE(player->scheduleFile(file, [&] { completions.fetch_add(1); }));
    foundation::NSError error;
    ASSERT_TRUE(e.start(&error)) << error.localizedDescription();
    player->play();
    EXPECT_TRUE(waitFor([&] { return completions.load() == 1; }, std::chrono::seconds(3)));
    EXPECT_GE(player->renderedFrames(), 4800u);
    EXPECT_GT(fake->renderCalls.load(), 10);
    e.stop();
    EXPECT_FALSE(e.isRunning());
    const int calls = fake->renderCalls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(fake->renderCalls.load(), calls) << "a stopped clock renders nothing";
}

}  // namespace

namespace {

TEST(EngineGraph, RewiringWhileTheClockRendersNeverStallsOrBreaksRendering) {
    TempDir dir;
    engine::AVAudioEngineOptions options;
    options.useJack = false;
    options.clockPeriodFrames = 64;
    engine::AVAudioEngine e(options);
    testing::internal::CaptureStdout();
    auto mixer = e.mainMixerNode();
    testing::internal::GetCapturedStdout();
    writeFloatWav(dir.path("loop.wav"), 44100, sine(2, 44100, 220, 44100));
    auto file = engine::AVAudioFile::openForReading(dir.path("loop.wav"));
    auto player = std::make_shared<engine::AVAudioPlayerNode>();
    e.attach(player);
    ASSERT_TRUE(e.connect(player, mixer, file->processingFormat()));
    ASSERT_TRUE(e.start());
    ASSERT_TRUE(player->scheduleFile(file, nullptr));
    player->play();

    // The play engine's unit wiring, repeated while the clock thread renders.
    auto fake = std::make_shared<FakeUnit>();
    auto unit = std::make_shared<engine::AVAudioUnit>(makeInterface(fake));
    const auto hardware = e.outputNode()->outputFormatForBus(0);
    for (int round = 0; round <= 40; ++round) {  // ends with an effect, so the player is wired
        const bool effect = round % 2 == 0;
        e.disconnectNodeInput(mixer);
        if (effect) e.connect(player, mixer, file->processingFormat());
        e.detach(unit);
        e.connect(mixer, e.outputNode(), hardware);
        player->pause();
        e.attach(unit);
        if (effect) {
            e.disconnectNodeInput(mixer);
            ASSERT_TRUE(e.connect(player, unit, file->processingFormat()));
            ASSERT_TRUE(e.connect(unit, mixer, file->processingFormat()));
        } else {
            ASSERT_TRUE(e.connect(unit, mixer, audiounit::AVAudioFormat::makeStandard(hardware->sampleRate(), 2)));
        }
        player->play();
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    const std::uint64_t before = player->renderedFrames();
    EXPECT_TRUE(waitFor([&] { return player->renderedFrames() > before + 2000; }, std::chrono::seconds(3)))
        << "the player still streams after the rewiring";
    EXPECT_EQ(fake->allocations, fake->deallocations + 1) << "every allocation but the current one was undone";
    e.stop();
}

}  // namespace
