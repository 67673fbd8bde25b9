// The JACK output against a private server with the dummy driver: its client
// and ports, the connection to the playback ports, the signal a test client
// receives, and the process callback's body allocating nothing.

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "AllocationCounter.hpp"
#include "EngineTestSupport.hpp"
#include "engine/AVAudioFile.hpp"
#include "engine/AVAudioPlayerNode.hpp"
#include "engine/JackAudioOutput.hpp"

using namespace enginetest;

namespace {

std::string findJackd() {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        const std::string path = std::string(dir) + "/jackd";
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return {};
}

// A JACK server of its own, with the dummy driver at 48 kHz, for one test.
class PrivateJackServer {
public:
    explicit PrivateJackServer(const std::string& jackd)
        : name_("dunmarrow-engine-" + std::to_string(getpid())) {
        setenv("JACK_NO_START_SERVER", "1", 1);
        setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        pid_ = fork();
        if (pid_ == 0) {
            const std::string log = (std::filesystem::temp_directory_path() / (name_ + ".log")).string();
            FILE* out = std::freopen(log.c_str(), "w", stdout);
            (void)out;
            dup2(fileno(stdout), fileno(stderr));
            execl(jackd.c_str(), "jackd", "-n", name_.c_str(), "--no-realtime", "-d", "dummy", "-r", "48000", "-p",
                  "256", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~PrivateJackServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        unsetenv("JACK_DEFAULT_SERVER");
    }
    // Waits until a client can connect.
    bool waitUntilReady() const {
        // Probing before the server is up makes libjack complain on every try.
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
        return waitFor(
            [] {
                jack_status_t status{};
                jack_client_t* probe = jack_client_open("probe", JackNoStartServer, &status);
                if (probe == nullptr) return false;
                jack_client_close(probe);
                return true;
            },
            std::chrono::seconds(10));
    }

private:
    std::string name_;
    pid_t pid_ = -1;
};

// A client with one input port that records what it receives, lock-free.
class Recorder {
public:
    explicit Recorder(std::size_t capacity) : samples_(capacity, 0.0f) {
        jack_status_t status{};
        client_ = jack_client_open("recorder", JackNoStartServer, &status);
        if (client_ == nullptr) return;
        port_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &Recorder::process, this);
        jack_activate(client_);
    }
    ~Recorder() {
        if (client_ != nullptr) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
    }
    [[nodiscard]] bool ok() const { return client_ != nullptr && port_ != nullptr; }
    [[nodiscard]] std::string portName() const { return jack_port_name(port_); }
    [[nodiscard]] jack_client_t* client() const { return client_; }
    [[nodiscard]] std::size_t recorded() const { return count_.load(std::memory_order_acquire); }
    [[nodiscard]] const std::vector<float>& samples() const { return samples_; }

private:
    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<Recorder*>(arg);
        const auto* in = static_cast<const float*>(jack_port_get_buffer(self->port_, frames));
        std::size_t at = self->count_.load(std::memory_order_relaxed);
        const std::size_t n = std::min<std::size_t>(frames, self->samples_.size() - at);
        std::copy_n(in, n, self->samples_.begin() + static_cast<std::ptrdiff_t>(at));
        self->count_.store(at + n, std::memory_order_release);
        return 0;
    }

    std::vector<float> samples_;
    std::atomic<std::size_t> count_{0};
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
};

TEST(JackOutput, PlaysTheFileToAClientOfAPrivateServer) {
    const std::string jackd = findJackd();
    if (jackd.empty()) GTEST_SKIP() << "jackd is not installed; the JACK output test needs it";
    PrivateJackServer server(jackd);
    ASSERT_TRUE(server.waitUntilReady()) << "the private JACK server did not come up";

    TempDir dir;
    const Channels samples = sine(2, 9600, 750.0, 48000.0, 0.5f);
    writeFloatWav(dir.path("tone.wav"), 48000, samples);
    auto file = engine::AVAudioFile::openForReading(dir.path("tone.wav"));
    ASSERT_TRUE(file);

    engine::AVAudioEngineOptions options;
    options.clientName = "DunmarrowAU";
    engine::AVAudioEngine e(options);
    const auto hardware = e.outputNode()->outputFormatForBus(0);
    ASSERT_EQ(e.outputKind(), engine::AVAudioEngineOutputKind::Jack);
    EXPECT_EQ(hardware->sampleRate(), 48000.0);
    EXPECT_EQ(hardware->channelCount(), 2u);
    engine::JackAudioOutput* jack = e.jackOutput();
    ASSERT_NE(jack, nullptr);
    EXPECT_EQ(jack->clientName(), "DunmarrowAU");
    EXPECT_EQ(jack->portNames(), (std::vector<std::string>{"DunmarrowAU:out_1", "DunmarrowAU:out_2"}));

    auto player = std::make_shared<engine::AVAudioPlayerNode>();
    e.attach(player);
    ASSERT_TRUE(e.connect(player, e.mainMixerNode(), file->processingFormat()));
    foundation::NSError error;
    ASSERT_TRUE(e.start(&error)) << error.localizedDescription();

    // Without real-time scheduling a loaded machine can make JACK skip a cycle
    // of ours, which drops a period of audio; a playback that arrives whole
    // proves the path is exact, so a dropped period earns another attempt.
    std::string failure;
    bool exact = false;
    for (int attempt = 0; attempt < 3 && !exact; ++attempt) {
        Recorder recorder(48000 * 4);
        ASSERT_TRUE(recorder.ok());
        // The engine's ports reach the playback ports, and the recorder listens to out_1.
        for (int i = 0; i < 2; ++i) {
            jack_port_t* port =
                jack_port_by_name(recorder.client(), jack->portNames()[static_cast<std::size_t>(i)].c_str());
            ASSERT_NE(port, nullptr);
            const char** links = jack_port_get_connections(port);
            ASSERT_NE(links, nullptr);
            EXPECT_EQ(std::string(links[0]), "system:playback_" + std::to_string(i + 1));
            jack_free(static_cast<void*>(links));
        }
        ASSERT_EQ(jack_connect(recorder.client(), "DunmarrowAU:out_1", recorder.portName().c_str()), 0);

        std::atomic<int> completions{0};
        ASSERT_TRUE(player->scheduleFile(file, [&] { completions.fetch_add(1); }));
        player->play();
        ASSERT_TRUE(waitFor([&] { return completions.load() == 1; }, std::chrono::seconds(5)));
        ASSERT_TRUE(waitFor([&] { return recorder.recorded() > 48000; }, std::chrono::seconds(5)));

        // The received signal is the file: find its first sample, then compare all of it.
        const std::vector<float>& got = recorder.samples();
        std::size_t start = 0;
        while (start < recorder.recorded() && got[start] == 0.0f) ++start;
        // The sine starts at 0, so the first non-zero sample is the file's second.
        ASSERT_GT(start, 0u);
        --start;
        ASSERT_LT(start + samples[0].size(), recorder.recorded());
        exact = true;
        for (std::size_t i = 0; i < samples[0].size() && exact; ++i) {
            if (got[start + i] != samples[0][i]) {
                exact = false;
                failure = "attempt " + std::to_string(attempt + 1) + ": frame " + std::to_string(i) + " is " +
                          std::to_string(got[start + i]) + ", the file has " + std::to_string(samples[0][i]);
            }
        }
    }
    EXPECT_TRUE(exact) << failure;
    e.stop();
    EXPECT_FALSE(e.isRunning());

    // The process callback's body, driven directly now that JACK no longer calls
    // it: many cycles of JACK's size with the player streaming allocate nothing.
    ASSERT_TRUE(player->scheduleFile(file, nullptr));
    ASSERT_TRUE(player->scheduleFile(file, nullptr));
    player->waitUntilBuffered(9600);
    std::vector<float> left(256), right(256);
    float* ports[] = {left.data(), right.data()};
    float energy = 0;
    rtcheck::ScopedAllocationCounter counter;
    for (int cycle = 0; cycle < 60; ++cycle) {
        jack->processCycle(ports, 256);
        for (float s : left) energy += std::fabs(s);
    }
    const rtcheck::AllocationCounts counts = counter.stop();
    EXPECT_EQ(counts.total(), 0u);
    EXPECT_GT(energy, 1.0f);
}

}  // namespace
