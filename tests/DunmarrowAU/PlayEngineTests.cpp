// SimplePlayEngine: graph shapes by unit kind, start and stop on the serial queue, MIDI
// forwarding and the fatal messages.

#include <gtest/gtest.h>

#include <fstream>

#include "HostTestSupport.hpp"
#include "SimplePlayEngine.hpp"
#include "midi/MIDIVirtualSources.hpp"

using namespace hosttest;

namespace {

TEST(PlayEngineGraph, AnInstrumentFeedsTheMixerInStereoAtTheOutputRateAndThePlayerIsLeftOut) {
    auto engine = SimplePlayEngine::make(engineConfiguration());
    instantiate(*engine, "aumu", "hins", "DmTs");
    ASSERT_TRUE(engine->avAudioUnit.get());
    auto& graph = *engine->engine;
    const auto into = graph.inputConnectionPoint(*graph.mainMixerNode(), 0);
    ASSERT_TRUE(into);
    EXPECT_EQ(into->node, engine->unitNode());
    EXPECT_EQ(into->format->sampleRate(), graph.outputNode()->outputFormatForBus(0)->sampleRate());
    EXPECT_EQ(into->format->channelCount(), 2u);
    EXPECT_FALSE(graph.outputConnectionPoint(*engine->player, 0));
    EXPECT_FALSE(graph.inputConnectionPoint(*engine->unitNode(), 0));

    // Its declared MIDI output reaches the engine's midiOutBlock.
    const auto& block = engine->avAudioUnit.get()->auAudioUnit()->MIDIOutputEventBlock();
    ASSERT_TRUE(block);
    std::vector<std::int64_t> calls;
    engine->midiOutBlock = [&](std::int64_t time, std::uint8_t cable, std::int64_t length, const std::uint8_t*) {
        calls.insert(calls.end(), {time, cable, length});
        return audiounit::OSStatus{0};
    };
    const std::uint8_t bytes[3] = {0x90, 60, 1};
    EXPECT_EQ(block(12, 1, 3, bytes), 0);
    EXPECT_EQ(calls, (std::vector<std::int64_t>{12, 1, 3}));

    engine->startPlaying();
    EXPECT_TRUE(engine->isPlaying.get());
    EXPECT_FALSE(engine->player->isPlaying());
    engine->stopPlaying();
}

TEST(PlayEngineState, StartAndStopRunOnceEachOnTheStateChangeQueueAndMIDIIsForwardedOnceAUnitIsLoaded) {
    auto engine = SimplePlayEngine::make(engineConfiguration());
    engine->startPlaying();
    EXPECT_FALSE(engine->isPlaying.get());
    EXPECT_FALSE(engine->engine->isRunning());
    EXPECT_FALSE(engine->togglePlaying());
    midi::MIDIEventList list{};
    list.protocol = midi::kMIDIProtocol_2_0;
    list.numPackets = 1;
    list.packet[0].wordCount = 2;
    list.packet[0].words[0] = 0x40903C00u;
    engine->midiReceiveHandler(&list, nullptr);
    EXPECT_EQ(engine->droppedMIDIEventLists(), 1u);

    instantiate(*engine, "aufx", "dmds", "QVRN");
    engine->midiReceiveHandler(&list, nullptr);
    EXPECT_EQ(engine->forwardedMIDIEventLists(), 1u);
    EXPECT_EQ(engine->droppedMIDIEventLists(), 1u);
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

class PlayEngineDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    void TearDown() override { ::setenv("DUNMARROW_MAIN_BUNDLE", testMainBundle().c_str(), 1); }
    TempDir bundle_;
};

TEST_F(PlayEngineDeathTest, AMissingResourceOrComponentAFailedMIDISetUpOrAnEngineThatCannotStartEndsTheProcess) {
    for (const char* type : {"aufx", "aüfx"}) {
        const std::string subType = type == std::string("aufx") ? "none" : "dmds";
        EXPECT_DEATH(SimplePlayEngine::make(engineConfiguration())->instantiateUnit(type, subType, "QVRN", [](NSViewControllerPtr) {}),
                     "Fatal error.*Failed to find component with type: " + std::string(type) + ", subtype: " + subType +
                         ", manufacturer: QVRN\\)");
    }
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
    EXPECT_DEATH(
        {
            auto engine = SimplePlayEngine::make(engineConfiguration());
            instantiate(*engine, "aufx", "fail", "DmTs");
            if (engine->avAudioUnit.get()) engine->startPlaying();
        },
        "Fatal error.*Could not start engine\\. error: Error Domain=NSOSStatusErrorDomain Code=-10875.*\\.");

    ::setenv("DUNMARROW_MAIN_BUNDLE", bundle_.path().c_str(), 1);
    EXPECT_DEATH(SimplePlayEngine::make(engineConfiguration()), "Fatal error.*\"Synth\\.aif\" file not found\\.");
    std::filesystem::create_directories(bundle_.path() / "Resources");
    std::ofstream(bundle_.path() / "Resources" / "Synth.aif") << "not audio";
    EXPECT_DEATH(SimplePlayEngine::make(engineConfiguration()),
                 "Fatal error.*Could not create AVAudioFile instance\\. error: Error Domain=.*\\.");
}

}  // namespace
