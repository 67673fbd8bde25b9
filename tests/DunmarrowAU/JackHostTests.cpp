// The host on a private JACK server: the file through the effect, notes to the instrument, a server gone silent.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "AudioFileIO.hpp"
#include "HostProgram.hpp"
#include "HostTestSupport.hpp"
#include "JackRecorder.hpp"
#include "JackTestServer.hpp"
#include "engine/JackAudioOutput.hpp"
#include "midi/MIDIServices.hpp"

using namespace hosttest;

namespace {

class HostOverJack : public ::testing::Test {
protected:
    void SetUp() override {
        if (testsupport::JackTestServer::jackdPath().empty()) GTEST_SKIP() << "jackd is not installed";
        server = std::make_unique<testsupport::JackTestServer>();
        ASSERT_TRUE(server->ready()) << "the private JACK server did not come up";
        midi::MIDIRestart();  // forget a server an earlier test of this process used
    }
    void TearDown() override {
        if (!server) return;
        server->resume();  // the clients below wait on it
        // Engines held by queued jobs go while their server runs: libjack may crash closing a client
        // of a dead server once a later server of the same name has clients.
        EXPECT_TRUE(pumpUntil([&] {
            return std::all_of(engines.begin(), engines.end(), [](const auto& engine) { return engine.expired(); });
        }));
        for (const auto& manager : managers)
            if (manager->client != 0) midi::MIDIClientDispose(manager->client);
        midi::MIDIRestart();  // with no client left this only closes the connection
        server.reset();
        ::unsetenv("JACK_DEFAULT_SERVER");
    }
    std::shared_ptr<SimplePlayEngine> makeEngine() {
        auto configuration = engineConfiguration();
        configuration.engineOptions.useJack = true;
        managers.push_back(configuration.midiManager);
        auto engine = SimplePlayEngine::make(std::move(configuration));
        engines.push_back(engine);
        return engine;
    }
    std::unique_ptr<testsupport::JackTestServer> server;
    std::vector<std::shared_ptr<MIDIManager>> managers;
    std::vector<std::weak_ptr<SimplePlayEngine>> engines;
};

TEST_F(HostOverJack, TheFileReachesAJackClientNotesReachTheInstrumentAndALostServerIsSaidSo) {
    {
        auto engine = makeEngine();
        ASSERT_EQ(engine->engine->outputKind(), engine::AVAudioEngineOutputKind::Jack);
        instantiate(*engine, "aufx", "dmds", "QVRN");
        const auto ports = engine->engine->jackOutput()->portNames();
        ASSERT_EQ(ports.size(), 2u);
        testsupport::JackRecorder recorder(48000 * 2);
        ASSERT_TRUE(recorder.ok());
        engine->startPlaying();  // the engine's client is active once started
        ASSERT_TRUE(recorder.listenTo(ports[0]));
        ASSERT_TRUE(pumpUntil([&] { return recorder.recorded() == recorder.samples().size(); }, std::chrono::seconds(10)));
        engine->stopPlaying();

        // The left channel times the gain, at 48 kHz by linear interpolation, at the lag where it fits
        // best: the recording starts somewhere near the file's start.
        const auto source = testsupport::readAudio(HOST_TEST_SYNTH);
        ASSERT_EQ(source.info.channels, 2);
        const auto left = [&](std::size_t i) { return double(source.samples[2 * i]); };
        const std::size_t window = 4096, start = 24000;  // half a second into the file
        std::vector<double> wanted(window);
        double referenceEnergy = 0;
        for (std::size_t k = 0; k < window; ++k) {
            const double position = double(start + k) * 44100.0 / 48000.0;
            const auto i = static_cast<std::size_t>(position);
            const double fraction = position - double(i);
            wanted[k] = double(kEffectGain) * (left(i) * (1 - fraction) + left(i + 1) * fraction);
            referenceEnergy += wanted[k] * wanted[k];
        }
        ASSERT_GT(referenceEnergy, 1e-3) << "the reference window is silent";
        const auto& got = recorder.samples();
        double bestError = 1e30;
        for (std::size_t lag = 0; lag + window <= got.size(); ++lag) {
            double error = 0;
            for (std::size_t k = 0; k < window && error < bestError; ++k) error += std::pow(double(got[lag + k]) - wanted[k], 2);
            bestError = std::min(bestError, error);
        }
        // Resampling is not quite linear; a wrong gain or no effect leaves an error as large as the signal.
        EXPECT_LT(std::sqrt(bestError / referenceEnergy), 0.1);
    }

    {
        testsupport::JackTestKeyboard keyboard("keys");
        ASSERT_TRUE(keyboard.ok());
        auto engine = makeEngine();
        instantiate(*engine, "aumu", "hins", "DmTs");
        const auto principal = principalOf(*engine);
        ASSERT_TRUE(principal);
        engine->startPlaying();
        EXPECT_TRUE(pumpUntil([&] { return keyboard.connectionCount() == 1; }, std::chrono::seconds(5)));
        // A MIDI 2.0 channel voice note on: type 4, group 0, status 0x90, note 60; velocity in the second word.
        const auto noteReached = [&] {
            keyboard.send({0x90, 60, 100});
            return (principal->counters->lastMIDIWord.load() & 0xFFFFFF00u) == 0x40903C00u;
        };
        EXPECT_TRUE(pumpUntil(noteReached, std::chrono::seconds(10))) << std::hex << principal->counters->lastMIDIWord.load();
        engine->stopPlaying();
    }

    // Stop gives up on a silent server after the output's time limit and Play starts nothing;
    // the headless program ends with one line saying why and status 1.
    const std::string serverDidNotAnswer = "the JACK server did not answer within 5 seconds";
    {
        auto engine = makeEngine();
        instantiate(*engine, "aufx", "dmds", "QVRN");
        engine->startPlaying();
        ASSERT_TRUE(engine->isPlaying());
        ASSERT_TRUE(pumpUntil([&] { return engine->effectLoopPasses() == 1; }));
        server->pause();
        engine->stopPlaying();
        EXPECT_FALSE(engine->isPlaying());
        EXPECT_EQ(engine->outputLossReason(), serverDidNotAnswer);
        engine->startPlaying();
        EXPECT_FALSE(engine->isPlaying());
        server->resume();
    }

    // The program: paused half a second into playing (which follows the verdict).
    TempDir scratch;
    const auto started = startHost({"--headless", "--seconds", "2"}, {{"DISPLAY", testsupport::kUnset}}, scratch.path());
    const bool judged = pumpUntil(
        [&] { return testsupport::fileContents(scratch.path() / "stdout").find("\nValidation ") != std::string::npos; },
        std::chrono::seconds(60));
    if (judged) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        server->pause();
    }
    const auto run = testsupport::waitForProgram(started);
    server->resume();
    ASSERT_TRUE(judged) << run.out;
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("\nDunmarrowAU: the audio output was lost: " + serverDidNotAnswer + "\n"),
              std::string::npos)
        << run.out;
}

}  // namespace
