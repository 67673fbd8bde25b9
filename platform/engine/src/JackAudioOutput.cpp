#include "engine/JackAudioOutput.hpp"

#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "engine/AVAudioEngine.hpp"
#include "foundation/TimeLimit.hpp"

namespace engine {

// What libjack's threads reach: the client, its ports and the callbacks'
// argument. Owned by the output while the client can still be closed; once
// the client is abandoned, libjack may call in at any later time, so it is
// kept (never freed) for the rest of the process.
struct JackClientLink {
    JackAudioOutput* output = nullptr;
    jack_client_t* client = nullptr;
    jack_port_t* ports[JackAudioOutput::kPortCount] = {nullptr, nullptr};
    std::atomic<bool> abandoned{false};
    std::atomic<bool> inCycle{false};
    std::atomic<bool> shutDown{false};
};

namespace {

void dropJackMessage(const char*) {}

void printJackError(const char* message) { std::fprintf(stderr, "JACK: %s\n", message); }

std::string serverDidNotAnswer() {
    return "the JACK server did not answer within " + std::to_string(JackAudioOutput::kServerTimeLimit.count()) +
           " seconds";
}

void fail(foundation::NSError* outError, std::string reason) {
    if (outError != nullptr) {
        *outError = foundation::makeOSStatusError(audiounit::kAudioUnitErr_FailedInitialization, std::move(reason));
    }
}

// JACK's process thread: real-time; no lock, no allocation, no blocking.
// Once the client is abandoned it leaves the port buffers alone and never
// reaches the output, which may be gone.
int processCallback(std::uint32_t frames, void* arg) noexcept {
    auto& link = *static_cast<JackClientLink*>(arg);
    link.inCycle.store(true, std::memory_order_seq_cst);
    if (!link.abandoned.load(std::memory_order_seq_cst)) {
        float* buffers[JackAudioOutput::kPortCount];
        for (std::uint32_t i = 0; i < JackAudioOutput::kPortCount; ++i) {
            buffers[i] = static_cast<float*>(jack_port_get_buffer(link.ports[i], frames));
        }
        link.output->processCycle(buffers, frames);
    }
    link.inCycle.store(false, std::memory_order_release);
    return 0;
}

// A JACK thread, when the server goes away: only records it. Not noexcept:
// libjack may cancel the thread running it (asynchronously) when the client
// is closed after the server died, and the unwinding must pass through.
void shutdownCallback(void* arg) {
    static_cast<JackClientLink*>(arg)->shutDown.store(true, std::memory_order_release);
}

}  // namespace

JackAudioOutput::JackAudioOutput(AVAudioEngine& engine)
    : engine_(engine), link_(std::make_unique<JackClientLink>()) {
    link_->output = this;
}

template <class Call>
auto JackAudioOutput::askServer(Call call) -> std::optional<decltype(call())> {
    JackClientLink& link = *link_;
    if (link.abandoned.load(std::memory_order_acquire)) return std::nullopt;
    auto result = foundation::callWithTimeLimit(kServerTimeLimit, std::move(call));
    if (!result) {
        link.abandoned.store(true, std::memory_order_seq_cst);
        // A cycle under way still reaches the engine; it ends soon (the
        // process callback never waits on the server), and none follows.
        while (link.inCycle.load(std::memory_order_seq_cst)) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
    return result;
}

std::unique_ptr<JackAudioOutput> JackAudioOutput::open(AVAudioEngine& engine, const std::string& clientName,
                                                       foundation::NSError* outError) {
    // Looking for a server that is not there makes libjack print several lines;
    // the engine says it in one line of its own instead.
    jack_set_error_function(&dropJackMessage);
    jack_set_info_function(&dropJackMessage);
    // A client the server opens after the time limit is never used.
    const auto opened = foundation::callWithTimeLimit(kServerTimeLimit, [clientName] {
        jack_status_t status{};
        return jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    });
    jack_set_error_function(&printJackError);
    if (!opened) {
        fail(outError, serverDidNotAnswer());
        return nullptr;
    }
    if (*opened == nullptr) {
        fail(outError, "no JACK server running");
        return nullptr;
    }
    std::unique_ptr<JackAudioOutput> output(new JackAudioOutput(engine));
    JackClientLink& link = *output->link_;
    jack_client_t* client = *opened;
    link.client = client;
    for (std::uint32_t i = 0; i < kPortCount; ++i) {
        const std::string name = "out_" + std::to_string(i + 1);
        const auto port = output->askServer([client, name] {
            return jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        });
        if (!port || *port == nullptr) {
            fail(outError, port ? "the JACK port " + name + " could not be registered" : serverDidNotAnswer());
            return nullptr;
        }
        link.ports[i] = *port;
    }
    output->format_ = audiounit::AVAudioFormat::makeStandard(jack_get_sample_rate(client), kPortCount);
    jack_set_process_callback(client, &processCallback, &link);
    jack_on_shutdown(client, &shutdownCallback, &link);
    return output;
}

JackAudioOutput::~JackAudioOutput() {
    stop();
    jack_client_t* client = link_->client;
    if (client != nullptr) (void)askServer([client] { return jack_client_close(client); });
    // libjack may still call into an abandoned client: its link stays.
    if (link_->abandoned.load(std::memory_order_acquire)) (void)link_.release();
}

std::optional<std::string> JackAudioOutput::lossReason() const {
    if (link_->abandoned.load(std::memory_order_acquire)) return serverDidNotAnswer();
    if (link_->shutDown.load(std::memory_order_acquire)) return "the JACK server has shut down";
    return std::nullopt;
}

std::string JackAudioOutput::clientName() const { return jack_get_client_name(link_->client); }

std::vector<std::string> JackAudioOutput::portNames() const {
    std::vector<std::string> names;
    for (jack_port_t* port : link_->ports) names.emplace_back(jack_port_name(port));
    return names;
}

bool JackAudioOutput::start(bool connectToPhysicalPorts, foundation::NSError* outError) {
    if (active_) return true;
    jack_client_t* client = link_->client;
    std::optional<int> activated;
    if (!lossReason()) activated = askServer([client] { return jack_activate(client); });
    if (!activated || *activated != 0) {
        const auto lost = lossReason();
        fail(outError, "The JACK client could not be activated" + (lost ? " (" + *lost + ")." : std::string(".")));
        return false;
    }
    active_ = true;
    if (connectToPhysicalPorts) {
        // The port list is in memory the server shares with its clients:
        // reading it does not wait on the server.
        const char** playback =
            jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput);
        if (playback != nullptr) {
            std::size_t count = 0;
            while (playback[count] != nullptr) ++count;
            for (std::uint32_t i = 0; i < kPortCount && count > 0; ++i) {
                // A failed connection leaves the port unconnected; the engine still runs.
                const std::string from = jack_port_name(link_->ports[i]);
                const std::string to = playback[i % count];
                (void)askServer([client, from, to] { return jack_connect(client, from.c_str(), to.c_str()); });
            }
            jack_free(static_cast<void*>(playback));
        }
    }
    if (const auto lost = lossReason()) {
        fail(outError, "The JACK client could not be started (" + *lost + ").");
        return false;
    }
    return true;
}

void JackAudioOutput::stop() {
    if (!active_) return;
    active_ = false;
    // A server that has gone or does not answer has nothing to deactivate.
    if (lossReason()) return;
    jack_client_t* client = link_->client;
    (void)askServer([client] { return jack_deactivate(client); });
}

void JackAudioOutput::processCycle(std::span<float* const> portBuffers, std::uint32_t frames) noexcept {
    const AUAudioFrameCount maximum = engine_.maximumFramesToRender();
    const std::uint32_t channels = static_cast<std::uint32_t>(std::min<std::size_t>(portBuffers.size(), kPortCount));
    list_->mNumberBuffers = channels;
    for (std::uint32_t done = 0; done < frames;) {
        const std::uint32_t n = std::min(maximum, frames - done);
        for (std::uint32_t c = 0; c < channels; ++c) {
            list_->mBuffers[c] = audiounit::AudioBuffer{1, n * 4u, portBuffers[c] + done};
        }
        engine_.renderCycle(n, *list_.get());
        done += n;
    }
}

}  // namespace engine
