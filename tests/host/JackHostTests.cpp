// The host on a private JACK server (dummy driver, 48 kHz): the looped file
// played through the test effect (a gain of 0.5) reaches another JACK client
// as the source times the gain, the MIDI output of JACK clients, present at
// start or registered later, reaches the instrument as MIDI 2.0 packets, and a
// server that stops answering loses the output without hanging the host.

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "ContentView.hpp"
#include "HostTestSupport.hpp"
#include "JackTestServer.hpp"
#include "WindowTestSupport.hpp"
#include "engine/JackAudioOutput.hpp"
#include "midi/MIDIServices.hpp"
#include "ui/ViewHost.hpp"

using namespace hosttest;

namespace {

// A client with one input port that records what it receives, without locks.
class JackRecorder {
public:
    explicit JackRecorder(std::size_t capacity) : samples_(capacity, 0.0f) {
        jack_status_t status{};
        client_ = jack_client_open("recorder", JackNoStartServer, &status);
        if (client_ == nullptr) return;
        port_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &JackRecorder::process, this);
        jack_activate(client_);
    }
    ~JackRecorder() {
        if (client_ == nullptr) return;
        jack_deactivate(client_);
        jack_client_close(client_);
    }
    JackRecorder(const JackRecorder&) = delete;
    JackRecorder& operator=(const JackRecorder&) = delete;

    [[nodiscard]] bool ok() const { return client_ != nullptr && port_ != nullptr; }
    bool listenTo(const std::string& port) { return jack_connect(client_, port.c_str(), jack_port_name(port_)) == 0; }
    [[nodiscard]] std::size_t recorded() const { return count_.load(std::memory_order_acquire); }
    [[nodiscard]] const std::vector<float>& samples() const { return samples_; }

private:
    // JACK's process thread.
    static int process(jack_nframes_t frames, void* arg) {
        auto& self = *static_cast<JackRecorder*>(arg);
        const auto* in = static_cast<const float*>(jack_port_get_buffer(self.port_, frames));
        const std::size_t at = self.count_.load(std::memory_order_relaxed);
        const std::size_t n = std::min<std::size_t>(frames, self.samples_.size() - at);
        std::copy_n(in, n, self.samples_.begin() + static_cast<std::ptrdiff_t>(at));
        self.count_.store(at + n, std::memory_order_release);
        return 0;
    }

    std::vector<float> samples_;
    std::atomic<std::size_t> count_{0};
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
};

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
        // Queued effect-loop jobs hold engines: let them go while their server
        // runs (libjack may crash closing a client of a dead server once a
        // later server of the same name has clients).
        EXPECT_TRUE(pumpUntil([&] {
            return std::all_of(engines.begin(), engines.end(), [](const auto& engine) { return engine.expired(); });
        }));
        if (manager && manager->client != 0) midi::MIDIClientDispose(manager->client);
        midi::MIDIRestart();  // with no client left this only closes the connection
        server.reset();
        ::unsetenv("JACK_DEFAULT_SERVER");
    }
    // The host's engine on JACK, with a MIDI manager of its own.
    SimplePlayEngine::Configuration jackConfiguration() {
        auto configuration = engineConfiguration();
        configuration.engineOptions.useJack = true;
        manager = configuration.midiManager;
        return configuration;
    }
    // A host engine on JACK, released before the server stops.
    std::shared_ptr<SimplePlayEngine> makeEngine() {
        auto engine = SimplePlayEngine::make(jackConfiguration());
        engines.push_back(engine);
        return engine;
    }
    std::unique_ptr<testsupport::JackTestServer> server;
    std::shared_ptr<MIDIManager> manager;
    std::vector<std::weak_ptr<SimplePlayEngine>> engines;
};

TEST_F(HostOverJack, NotesFromJackClientsPresentAtStartAndRegisteredLaterReachTheInstrumentAsMIDI2) {
    testsupport::JackTestKeyboard early("early-keys");
    ASSERT_TRUE(early.ok());
    auto engine = makeEngine();
    instantiate(*engine, "aumu", "hins", "DmTs");
    const auto principal = principalOf(*engine);
    ASSERT_TRUE(principal);
    engine->startPlaying();
    EXPECT_TRUE(pumpUntil([&] { return early.connectionCount() == 1; }, std::chrono::seconds(5))) << "connected at set-up";

    const auto noteReaches = [&](testsupport::JackTestKeyboard& keyboard, std::uint8_t note) {
        return pumpUntil(
            [&] {
                keyboard.send({0x90, note, 100});
                return (principal->counters->lastMIDIWord.load() & 0xFFFFFF00u) == (0x40900000u | (note << 8));
            },
            std::chrono::seconds(10));
    };
    // MIDI 2.0 channel voice note on: type 4, group 0, status 0x90, the note; velocity in the second word.
    EXPECT_TRUE(noteReaches(early, 60)) << std::hex << principal->counters->lastMIDIWord.load();

    testsupport::JackTestKeyboard late("late-keys");
    ASSERT_TRUE(late.ok());
    ASSERT_TRUE(pumpUntil([&] { return late.connectionCount() == 1; }, std::chrono::seconds(10)))
        << "connected on its registration";
    EXPECT_TRUE(noteReaches(late, 67)) << std::hex << principal->counters->lastMIDIWord.load() << std::dec << " forwarded "
                                       << engine->forwardedMIDIEventLists() << " dropped "
                                       << engine->droppedMIDIEventLists() << " rendered "
                                       << principal->counters->midiEventLists.load();
    EXPECT_GE(principal->counters->midiEventLists.load(), 2);
    engine->stopPlaying();
}

TEST_F(HostOverJack, TheFilePlayedThroughTheEffectReachesAJackClient) {
    auto engine = makeEngine();
    ASSERT_EQ(engine->engine->outputKind(), engine::AVAudioEngineOutputKind::Jack);
    instantiate(*engine, "aufx", "dmds", "QVRN");
    const auto ports = engine->engine->jackOutput()->portNames();
    ASSERT_EQ(ports.size(), 2u);

    JackRecorder recorder(48000 * 2);
    ASSERT_TRUE(recorder.ok());
    // The engine's client is active once started.
    engine->startPlaying();
    ASSERT_TRUE(recorder.listenTo(ports[0]));
    ASSERT_TRUE(pumpUntil([&] { return recorder.recorded() == recorder.samples().size(); }, std::chrono::seconds(10)));
    engine->stopPlaying();

    // The reference: the source file times the test effect's gain, at 48 kHz
    // by linear interpolation, channel 0.
    const Channels source = readSoundFile(HOST_TEST_SYNTH);
    ASSERT_FALSE(source.empty());
    const auto& left = source[0];
    const auto at48k = [&](double n) {
        const double position = n * 44100.0 / 48000.0;
        const auto i = static_cast<std::size_t>(position);
        if (i + 1 >= left.size()) return 0.0;
        const double fraction = position - double(i);
        return double(kEffectGain) * (double(left[i]) * (1 - fraction) + double(left[i + 1]) * fraction);
    };
    // The recording starts somewhere around the file's start: find the lag that fits
    // a window of the reference best, then compare there.
    const std::size_t window = 4096, start = 24000;  // half a second into the file
    const auto& got = recorder.samples();
    double referenceEnergy = 0;
    for (std::size_t k = 0; k < window; ++k) referenceEnergy += at48k(double(start + k)) * at48k(double(start + k));
    // (lag: where in the recording the reference window starts)
    ASSERT_GT(referenceEnergy, 1e-3) << "the reference window is silent";
    double bestError = 1e30;
    std::size_t bestLag = 0;
    std::vector<double> wanted(window);
    for (std::size_t k = 0; k < window; ++k) wanted[k] = at48k(double(start + k));
    for (std::size_t lag = 0; lag + window <= got.size(); ++lag) {
        double error = 0;
        for (std::size_t k = 0; k < window && error < bestError; ++k) {
            const double d = double(got[lag + k]) - wanted[k];
            error += d * d;
        }
        if (error < bestError) {
            bestError = error;
            bestLag = lag;
        }
    }
    // Resampling differs from linear interpolation a little; a wrong gain or a
    // missing effect would leave an error as large as the signal.
    EXPECT_LT(std::sqrt(bestError / referenceEnergy), 0.1) << "best lag " << bestLag;
}

constexpr const char* kServerDidNotAnswer = "the JACK server did not answer within 5 seconds";

// The server stops answering while the file plays: Stop gives up on it after
// the output's time limit, the window says the output is lost, and Play no
// longer starts anything.
TEST_F(HostOverJack, AServerThatStopsAnsweringLosesTheOutputAndTheWindowSaysSo) {
    AudioUnitHostModel::Configuration configuration;
    configuration.engine = jackConfiguration();
    // A validation that never answers: no badge.
    configuration.validate = [](const audiounit::AVAudioUnitComponentPtr&, const nlohmann::json&,
                                AudioComponentValidationCallback) {};
    const auto model = AudioUnitHostModel::make("aufx", "dmds", "QVRN", std::move(configuration));
    engines.push_back(model->playEngine);
    ui::ViewHost window{ui::View(std::make_shared<ContentView>(model))};
    ASSERT_TRUE(pumpUntil([&] { return model->loadFinished(); }));
    auto& engine = *model->playEngine;
    engine.startPlaying();
    ASSERT_TRUE(engine.isPlaying());
    ASSERT_TRUE(pumpUntil([&] { return engine.effectLoopPasses() == 1; }));

    server->pause();
    engine.stopPlaying();
    EXPECT_FALSE(engine.isPlaying());
    EXPECT_EQ(engine.outputLossReason(), kServerDidNotAnswer);
    engine.startPlaying();
    EXPECT_FALSE(engine.isPlaying());
    server->resume();

    ASSERT_TRUE(pumpUntil([&] { return window.frameOf(ContentView::kOutputLostIdentifier).has_value(); }));
    EXPECT_EQ(collectTexts(window.inspect()),
              (std::vector<std::string>{"aufx dmds QVRN", "Audio Playback", "Play",
                                        std::string("Audio output lost: ") + kServerDidNotAnswer}));
}

// The program, headless, playing through the server when it stops answering:
// it ends with one line saying why and status 1 instead of waiting for ever.
TEST_F(HostOverJack, TheHeadlessHostEndsWithTheReasonWhenTheServerStopsAnswering) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    std::vector<std::string> arguments = {HOST_TEST_PROGRAM, "--headless", "--seconds", "2"};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, HOST_TEST_PROGRAM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ASSERT_EQ(spawned, 0);

    // Pause the server half a second into playing (which follows the verdict);
    // give the program 30 s from there before calling it hung.
    std::string output;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    bool paused = false;
    for (;;) {
        pollfd readable{out[0], POLLIN, 0};
        if (::poll(&readable, 1, 100) > 0) {
            char chunk[4096];
            const ssize_t got = ::read(out[0], chunk, sizeof chunk);
            if (got <= 0) break;
            output.append(chunk, static_cast<std::size_t>(got));
        }
        if (!paused && output.find("\nValidation ") != std::string::npos) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            server->pause();
            paused = true;
            deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            break;
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(out[0]);
    server->resume();
    ASSERT_TRUE(paused) << output;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status << "\n" << output;
    EXPECT_NE(output.find(std::string("\nDunmarrowAU: the audio output was lost: ") + kServerDidNotAnswer + "\n"),
              std::string::npos)
        << output;
}

}  // namespace
