// SimplePlayEngine: start and stop on the serial queue, MIDI forwarding and the fatal messages.

#include <gtest/gtest.h>

#include <fstream>

#include "HostTestSupport.hpp"
#include "SimplePlayEngine.hpp"
#include "midi/MIDIVirtualSources.hpp"

using namespace hosttest;

namespace {

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

TEST(PlayEngineDeathTest, AMissingResourceOrComponentAFailedMIDISetUpOrAnEngineThatCannotStartEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
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

    TempDir bundle;
    ::setenv("DUNMARROW_MAIN_BUNDLE", bundle.path().c_str(), 1);
    EXPECT_DEATH(SimplePlayEngine::make(engineConfiguration()), "Fatal error.*\"Synth\\.aif\" file not found\\.");
    std::filesystem::create_directories(bundle.path() / "Resources");
    std::ofstream(bundle.path() / "Resources" / "Synth.aif") << "not audio";
    EXPECT_DEATH(SimplePlayEngine::make(engineConfiguration()),
                 "Fatal error.*Could not create AVAudioFile instance\\. error: Error Domain=.*\\.");
    ::setenv("DUNMARROW_MAIN_BUNDLE", testMainBundle().c_str(), 1);
}

}  // namespace
