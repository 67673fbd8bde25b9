// SimplePlayEngine: graph shapes by unit kind, start and stop on the serial
// queue, the effect loop, MIDI forwarding, metering and the fatal messages.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "AllocationCounter.hpp"
#include "HostTestSupport.hpp"
#include "SimplePlayEngine.hpp"
#include "audiounit/AVAudioPCMBuffer.hpp"
#include "midi/MIDIEventListFunctions.hpp"
#include "midi/MIDIVirtualSources.hpp"

using namespace hosttest;

namespace {

bool sameFormat(const audiounit::AVAudioFormatPtr& a, const audiounit::AVAudioFormatPtr& b) {
    return a && b && a->sampleRate() == b->sampleRate() && a->channelCount() == b->channelCount();
}

TEST(PlayEngineGraph, AfterConstructionThePlayerFeedsTheMainMixerAtTheFileFormat) {
    auto engine = SimplePlayEngine::make(engineConfiguration());
    ASSERT_TRUE(engine->file.get());
    const auto fileFormat = engine->file.get()->processingFormat();
    EXPECT_EQ(fileFormat->sampleRate(), 44100.0);
    EXPECT_EQ(fileFormat->channelCount(), 2u);
    const auto into = engine->engine->inputConnectionPoint(*engine->engine->mainMixerNode(), 0);
    ASSERT_TRUE(into);
    EXPECT_EQ(into->node, engine->player);
    EXPECT_TRUE(sameFormat(into->format, fileFormat));
    EXPECT_FALSE(engine->avAudioUnit.get());
    EXPECT_FALSE(engine->isPlaying.get());
    EXPECT_FALSE(engine->scheduleMIDIEventListBlock.get());
    EXPECT_EQ(engine->stateChangeQueue.label(), "org.dunmarrow.DunmarrowAU.StateChangeQueue");
    EXPECT_EQ(engine->midiOutBlock(0, 0, 3, nullptr), 0);
}

TEST(PlayEngineGraph, AnEffectSitsBetweenPlayerAndMixerAtTheFileFormat) {
    auto engine = SimplePlayEngine::make(engineConfiguration());
    const auto controller = instantiate(*engine, "aufx", "dmds", "QVRN");
    ASSERT_TRUE(engine->avAudioUnit.get());
    EXPECT_TRUE(engine->isEffectUnit());
    // The application loads out of process; these tests ask for in process.
    EXPECT_EQ(SimplePlayEngine::Configuration().instantiationOptions,
              audiounit::kAudioComponentInstantiation_LoadOutOfProcess);
    EXPECT_EQ(engine->avAudioUnit.get()->instantiationOptions(), audiounit::kAudioComponentInstantiation_LoadInProcess);
    // The editor is the module's principal object.
    EXPECT_EQ(controller, std::dynamic_pointer_cast<ui::NSViewController>(engine->avAudioUnit.get()->principalObject()));

    auto& graph = *engine->engine;
    const auto fileFormat = engine->file.get()->processingFormat();
    const auto intoMixer = graph.inputConnectionPoint(*graph.mainMixerNode(), 0);
    ASSERT_TRUE(intoMixer);
    EXPECT_EQ(intoMixer->node, engine->unitNode());
    EXPECT_TRUE(sameFormat(intoMixer->format, fileFormat));
    EXPECT_FALSE(graph.inputConnectionPoint(*graph.mainMixerNode(), 1));
    const auto intoUnit = graph.inputConnectionPoint(*engine->unitNode(), 0);
    ASSERT_TRUE(intoUnit);
    EXPECT_EQ(intoUnit->node, engine->player);
    EXPECT_TRUE(sameFormat(intoUnit->format, fileFormat));
    const auto intoOutput = graph.inputConnectionPoint(*graph.outputNode(), 0);
    ASSERT_TRUE(intoOutput);
    EXPECT_EQ(intoOutput->node, graph.mainMixerNode());
    EXPECT_TRUE(sameFormat(intoOutput->format, graph.outputNode()->outputFormatForBus(0)));

    // No MIDI output names: no MIDI output block.
    EXPECT_FALSE(engine->avAudioUnit.get()->auAudioUnit()->MIDIOutputEventBlock());
    EXPECT_TRUE(engine->scheduleMIDIEventListBlock.get());
}

TEST(PlayEngineGraph, AnInstrumentFeedsTheMixerInStereoAtTheOutputRateAndThePlayerIsLeftOut) {
    auto engine = SimplePlayEngine::make(engineConfiguration());
    const auto editor = instantiate(*engine, "aumu", "hins", "DmTs");
    // The instrument has no editor of its own: the host gets the generic one over its unit.
    const auto generic = std::dynamic_pointer_cast<audiounit::AUGenericViewController>(editor);
    ASSERT_TRUE(generic);
    EXPECT_EQ(generic->auAudioUnit(), engine->avAudioUnit.get()->auAudioUnit());
    ASSERT_TRUE(engine->avAudioUnit.get());
    EXPECT_FALSE(engine->isEffectUnit());
    auto& graph = *engine->engine;
    const auto intoMixer = graph.inputConnectionPoint(*graph.mainMixerNode(), 0);
    ASSERT_TRUE(intoMixer);
    EXPECT_EQ(intoMixer->node, engine->unitNode());
    const auto hardware = graph.outputNode()->outputFormatForBus(0);
    EXPECT_EQ(intoMixer->format->sampleRate(), hardware->sampleRate());
    EXPECT_EQ(intoMixer->format->channelCount(), 2u);
    EXPECT_FALSE(graph.outputConnectionPoint(*engine->player, 0));
    EXPECT_FALSE(graph.inputConnectionPoint(*engine->unitNode(), 0));

    // It declares a MIDI output: its block reaches the engine's midiOutBlock.
    const auto& block = engine->avAudioUnit.get()->auAudioUnit()->MIDIOutputEventBlock();
    ASSERT_TRUE(block);
    int calls = 0;
    engine->midiOutBlock = [&](std::int64_t time, std::uint8_t cable, std::int64_t length, const std::uint8_t*) {
        ++calls;
        EXPECT_EQ(time, 12);
        EXPECT_EQ(cable, 1);
        EXPECT_EQ(length, 3);
        return audiounit::OSStatus{0};
    };
    const std::uint8_t bytes[3] = {0x90, 60, 1};
    EXPECT_EQ(block(12, 1, 3, bytes), 0);
    EXPECT_EQ(calls, 1);

    // Playing never starts the player.
    engine->startPlaying();
    EXPECT_TRUE(engine->isPlaying.get());
    EXPECT_FALSE(engine->player->isPlaying());
    engine->stopPlaying();
}

TEST(PlayEngineGraph, AFailedInstantiationChangesNothing) {
    auto engine = SimplePlayEngine::make(engineConfiguration());
    // The registry knows the component, but its module is not loadable: point
    // the search path at a copy of the bundle whose module is no library.
    TempDir folder;
    std::filesystem::copy(std::string(HOST_TEST_BUNDLES) + "/HostTestEffect.auext",
                          folder.path() / "HostTestEffect.auext", std::filesystem::copy_options::recursive);
    std::filesystem::remove(folder.path() / "HostTestEffect.auext" / "HostTestEffect.so");
    std::ofstream(folder.path() / "HostTestEffect.auext" / "HostTestEffect.so") << "not a library";
    ::setenv("DUNMARROW_AUDIO_UNIT_PATH", folder.path().c_str(), 1);
    audiounit::AudioComponentRegistry::shared().rescan();
    bool called = false;
    NSViewControllerPtr controller = std::make_shared<ui::NSViewController>();
    engine->instantiateUnit("aufx", "dmds", "QVRN", [&](NSViewControllerPtr c) {
        controller = std::move(c);
        called = true;
    });
    EXPECT_TRUE(pumpUntil([&] { return called; }));
    ::setenv("DUNMARROW_AUDIO_UNIT_PATH", HOST_TEST_BUNDLES, 1);
    audiounit::AudioComponentRegistry::shared().rescan();
    EXPECT_FALSE(controller);
    EXPECT_FALSE(engine->avAudioUnit.get());
    const auto into = engine->engine->inputConnectionPoint(*engine->engine->mainMixerNode(), 0);
    ASSERT_TRUE(into);
    EXPECT_EQ(into->node, engine->player);
    engine->startPlaying();
    EXPECT_FALSE(engine->isPlaying.get());
}

TEST(PlayEngineState, StartAndStopRunOnceEachOnTheStateChangeQueue) {
    auto engine = SimplePlayEngine::make(engineConfiguration());
    // Without a unit nothing starts.
    engine->startPlaying();
    EXPECT_FALSE(engine->isPlaying.get());
    EXPECT_FALSE(engine->engine->isRunning());
    EXPECT_FALSE(engine->togglePlaying());

    instantiate(*engine, "aufx", "dmds", "QVRN");
    std::vector<bool> published;
    std::vector<bool> onQueue;
    engine->isPlaying.subscribe([&](const bool& playing) {
        published.push_back(playing);
        onQueue.push_back(engine->stateChangeQueue.isCurrent());
    });
    engine->startPlaying();
    engine->startPlaying();
    EXPECT_TRUE(engine->isPlaying.get());
    EXPECT_TRUE(engine->engine->isRunning());
    EXPECT_TRUE(engine->player->isPlaying());
    engine->stopPlaying();
    engine->stopPlaying();
    EXPECT_FALSE(engine->isPlaying.get());
    EXPECT_FALSE(engine->engine->isRunning());
    EXPECT_EQ(published, (std::vector<bool>{true, false}));
    EXPECT_EQ(onQueue, (std::vector<bool>{true, true}));

    EXPECT_TRUE(engine->togglePlaying());
    EXPECT_FALSE(engine->togglePlaying());
    EXPECT_EQ(published.size(), 4u);
    pumpFor(std::chrono::milliseconds(50));  // let the loop's jobs finish
}

TEST(PlayEngineLoop, TheEffectLoopSchedulesTheFileAgainAfterEachPassUntilStopped) {
    auto engine = SimplePlayEngine::make(engineConfiguration(true));
    instantiate(*engine, "aufx", "dmds", "QVRN");
    const auto passFrames = static_cast<std::size_t>(engine->file.get()->length());
    engine->startPlaying();
    ASSERT_TRUE(pumpUntil([&] { return engine->effectLoopPasses() == 1; }));
    // Nothing is scheduled again before the pass has played out.
    renderOffline(*engine, passFrames - 512);
    pumpFor(std::chrono::milliseconds(100));
    EXPECT_EQ(engine->effectLoopPasses(), 1u);
    renderOffline(*engine, 512);
    EXPECT_TRUE(pumpUntil([&] { return engine->effectLoopPasses() == 2; }));

    // The second pass is the file again, through the effect.
    const auto second = renderOffline(*engine, 4096);
    const auto source = readSoundFile(HOST_TEST_SYNTH);
    for (std::size_t c = 0; c < 2; ++c) {
        for (std::size_t i = 0; i < 4096; ++i) {
            ASSERT_NEAR(second[c][i], source[c][i] * kEffectGain, 1e-6f) << "channel " << c << " frame " << i;
        }
    }

    engine->stopPlaying();
    pumpFor(std::chrono::milliseconds(200));
    EXPECT_EQ(engine->effectLoopPasses(), 2u);
    EXPECT_FALSE(engine->isPlaying.get());
}

TEST(PlayEngineMIDI, EventListsReachTheUnitOnlyOnceOneIsLoaded) {
    auto engine = SimplePlayEngine::make(engineConfiguration(true));
    midi::MIDIEventList list{};
    list.protocol = midi::kMIDIProtocol_2_0;
    list.numPackets = 1;
    list.packet[0].wordCount = 2;
    list.packet[0].words[0] = 0x40903C00u;
    list.packet[0].words[1] = 0xFFFF0000u;
    engine->midiReceiveHandler(&list, nullptr);
    EXPECT_EQ(engine->droppedMIDIEventLists(), 1u);
    EXPECT_EQ(engine->forwardedMIDIEventLists(), 0u);

    instantiate(*engine, "aumu", "hins", "DmTs");
    const auto principal = principalOf(*engine);
    ASSERT_TRUE(principal);
    engine->startPlaying();
    {
        // The receive path neither allocates nor frees.
        rtcheck::ScopedAllocationCounter counter;
        engine->midiReceiveHandler(&list, nullptr);
        EXPECT_EQ(counter.stop().total(), 0u);
    }
    EXPECT_EQ(engine->forwardedMIDIEventLists(), 1u);
    const auto rendered = renderOffline(*engine, 512);
    EXPECT_EQ(principal->counters->midiEventLists.load(), 1);
    EXPECT_EQ(principal->counters->lastMIDIWord.load(), 0x40903C00u);
    EXPECT_FLOAT_EQ(rendered[0][100], kInstrumentLevel);
    engine->stopPlaying();
}

TEST(PlayEngineMeter, TheMeteredRenderBlockMeasuresPulledInputAndOutputWithoutAllocating) {
    auto meter = std::make_shared<UnitLevelMeter>();
    constexpr audiounit::AUAudioFrameCount kFrames = 64;
    auto input = audiounit::AVAudioPCMBuffer::make(audiounit::AVAudioFormat::makeStandard(48000, 2), kFrames);
    auto output = audiounit::AVAudioPCMBuffer::make(audiounit::AVAudioFormat::makeStandard(48000, 2), kFrames);
    input->setFrameLength(kFrames);
    output->setFrameLength(kFrames);
    for (std::size_t i = 0; i < kFrames; ++i) {
        input->floatChannelData()[0][i] = 0.1f * std::sin(static_cast<float>(i));
        input->floatChannelData()[1][i] = (i == 17) ? -0.75f : 0.2f;
    }
    audiounit::AURenderBlock inner = [](audiounit::AudioUnitRenderActionFlags* flags,
                                        const audiounit::AudioTimeStamp* ts, audiounit::AUAudioFrameCount frames,
                                        audiounit::NSInteger, audiounit::AudioBufferList* out,
                                        const audiounit::AURenderPullInputBlock* pull) -> audiounit::OSStatus {
        const auto status = (*pull)(flags, ts, frames, 0, out);
        for (std::uint32_t c = 0; c < out->mNumberBuffers; ++c) {
            auto* samples = static_cast<float*>(out->mBuffers[c].mData);
            for (std::size_t i = 0; i < frames; ++i) samples[i] *= 2.0f;
        }
        return status;
    };
    audiounit::AURenderPullInputBlock pull = [&](audiounit::AudioUnitRenderActionFlags*,
                                                 const audiounit::AudioTimeStamp*, audiounit::AUAudioFrameCount frames,
                                                 audiounit::NSInteger, audiounit::AudioBufferList* data) {
        for (std::uint32_t c = 0; c < data->mNumberBuffers; ++c) {
            std::copy_n(input->floatChannelData()[c], frames, static_cast<float*>(data->mBuffers[c].mData));
        }
        return audiounit::noErr;
    };
    const auto block = meteredRenderBlock(inner, meter);
    audiounit::AudioTimeStamp timestamp;
    audiounit::AudioUnitRenderActionFlags flags = 0;
    rtcheck::ScopedAllocationCounter counter;
    const auto status = block(&flags, &timestamp, kFrames, 0, output->mutableAudioBufferList(), &pull);
    const auto counts = counter.stop();
    EXPECT_EQ(status, audiounit::noErr);
    EXPECT_EQ(counts.total(), 0u);
    EXPECT_FLOAT_EQ(meter->inputPeak(), 0.75f);
    EXPECT_FLOAT_EQ(meter->outputPeak(), 1.5f);
    meter->reset();
    EXPECT_EQ(meter->inputPeak(), 0.0f);
}

TEST(PlayEngineMIDI, NotesFromASourceAddedLaterReachTheUnitAsMIDI2Packets) {
    auto configuration = engineConfiguration(true);
    const auto manager = configuration.midiManager;
    auto engine = SimplePlayEngine::make(configuration);
    instantiate(*engine, "aumu", "hins", "DmTs");
    const auto principal = principalOf(*engine);
    ASSERT_TRUE(principal);
    engine->startPlaying();

    midi::MIDIClientRef owner = 0;
    midi::MIDIEndpointRef source = 0;
    ASSERT_EQ(midi::MIDIClientCreateWithBlock("Keyboard", &owner, nullptr), midi::noErr);
    ASSERT_EQ(midi::MIDISourceCreate(owner, "keys", &source), midi::noErr);
    // Connected once the manager has handled the source's notification.
    const std::uint8_t noteOn[3] = {0x90, 64, 127};
    ASSERT_TRUE(pumpUntil([&] {
        midi::MIDISourceSend(source, noteOn);
        return engine->forwardedMIDIEventLists() > 0;
    }));
    renderOffline(*engine, 512);
    EXPECT_GE(principal->counters->midiEventLists.load(), 1);
    // MIDI 2.0 note on, channel 0, note 64 (velocity in the second word).
    EXPECT_EQ(principal->counters->lastMIDIWord.load(), 0x40904000u);
    engine->stopPlaying();
    midi::MIDIClientDispose(owner);
    midi::MIDIClientDispose(manager->client);
}

// MARK: Fatal errors

class PlayEngineDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    void TearDown() override { ::setenv("DUNMARROW_MAIN_BUNDLE", testMainBundle().c_str(), 1); }
    TempDir bundle_;
};

TEST_F(PlayEngineDeathTest, AMissingResourceFileEndsTheProcess) {
    ::setenv("DUNMARROW_MAIN_BUNDLE", bundle_.path().c_str(), 1);
    EXPECT_DEATH(SimplePlayEngine::make(engineConfiguration()), "Fatal error.*\"Synth\\.aif\" file not found\\.");
}

TEST_F(PlayEngineDeathTest, AnUnreadableResourceFileEndsTheProcess) {
    std::filesystem::create_directories(bundle_.path() / "Resources");
    std::ofstream(bundle_.path() / "Resources" / "Synth.aif") << "not audio";
    ::setenv("DUNMARROW_MAIN_BUNDLE", bundle_.path().c_str(), 1);
    EXPECT_DEATH(SimplePlayEngine::make(engineConfiguration()),
                 "Fatal error.*Could not create AVAudioFile instance\\. error: Error Domain=.*\\.");
}

TEST_F(PlayEngineDeathTest, AMissingComponentEndsTheProcess) {
    EXPECT_DEATH(
        {
            auto engine = SimplePlayEngine::make(engineConfiguration());
            engine->instantiateUnit("aufx", "none", "QVRN", [](NSViewControllerPtr) {});
        },
        "Fatal error.*Failed to find component with type: aufx, subtype: none, manufacturer: QVRN\\)");
    EXPECT_DEATH(
        {
            auto engine = SimplePlayEngine::make(engineConfiguration());
            engine->instantiateUnit("aüfx", "dmds", "QVRN", [](NSViewControllerPtr) {});
        },
        "Failed to find component with type: aüfx, subtype: dmds, manufacturer: QVRN\\)");
}

TEST_F(PlayEngineDeathTest, AFailedMIDISetUpEndsTheProcess) {
    EXPECT_DEATH(
        {
            midi::MIDIClientRef owner = 0;
            midi::MIDIEndpointRef source = 0;
            midi::MIDIClientCreateWithBlock("Source owner", &owner, nullptr);
            midi::MIDISourceCreate(owner, "refusing", &source);
            midi::MIDISourceSetConnectFailure(source, midi::kMIDIUnknownError);
            SimplePlayEngine::make(engineConfiguration());
        },
        "Fatal error.*Failed to setup Core MIDI");
}

TEST_F(PlayEngineDeathTest, AnEngineThatCannotStartEndsTheProcess) {
    EXPECT_DEATH(
        {
            auto engine = SimplePlayEngine::make(engineConfiguration());
            instantiate(*engine, "aufx", "fail", "DmTs");
            if (engine->avAudioUnit.get()) engine->startPlaying();
        },
        "Fatal error.*Could not start engine\\. error: Error Domain=NSOSStatusErrorDomain Code=-10875.*\\.");
}

}  // namespace
