#include "engine/JackAudioOutput.hpp"

#include <jack/jack.h>

#include <algorithm>
#include <cstdio>

#include "engine/AVAudioEngine.hpp"

namespace engine {
namespace {

jack_client_t* asClient(void* p) { return static_cast<jack_client_t*>(p); }
jack_port_t* asPort(void* p) { return static_cast<jack_port_t*>(p); }

void dropJackMessage(const char*) {}

void printJackError(const char* message) { std::fprintf(stderr, "JACK: %s\n", message); }

}  // namespace

std::unique_ptr<JackAudioOutput> JackAudioOutput::open(AVAudioEngine& engine, const std::string& clientName,
                                                       foundation::NSError* outError) {
    // Looking for a server that is not there makes libjack print several lines;
    // the engine says it in one line of its own instead.
    jack_set_error_function(&dropJackMessage);
    jack_set_info_function(&dropJackMessage);
    jack_status_t status{};
    jack_client_t* client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    jack_set_error_function(&printJackError);
    if (client == nullptr) {
        if (outError != nullptr) {
            *outError = foundation::makeOSStatusError(audiounit::kAudioUnitErr_FailedInitialization,
                                                      "No JACK server running (status " +
                                                          std::to_string(static_cast<int>(status)) + ").");
        }
        return nullptr;
    }
    std::unique_ptr<JackAudioOutput> output(new JackAudioOutput(engine));
    output->client_ = client;
    for (std::uint32_t i = 0; i < kPortCount; ++i) {
        const std::string name = "out_" + std::to_string(i + 1);
        output->ports_[i] = jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        if (output->ports_[i] == nullptr) {
            if (outError != nullptr) {
                *outError = foundation::makeOSStatusError(audiounit::kAudioUnitErr_FailedInitialization,
                                                          "Cannot register the JACK port " + name + ".");
            }
            return nullptr;
        }
    }
    output->format_ = audiounit::AVAudioFormat::makeStandard(jack_get_sample_rate(client), kPortCount);
    jack_set_process_callback(client, &JackAudioOutput::processCallback, output.get());
    jack_on_shutdown(client, &JackAudioOutput::shutdownCallback, output.get());
    return output;
}

JackAudioOutput::~JackAudioOutput() {
    stop();
    if (client_ != nullptr) jack_client_close(asClient(client_));
}

std::string JackAudioOutput::clientName() const { return jack_get_client_name(asClient(client_)); }

std::vector<std::string> JackAudioOutput::portNames() const {
    std::vector<std::string> names;
    for (void* port : ports_) names.emplace_back(jack_port_name(asPort(port)));
    return names;
}

bool JackAudioOutput::start(bool connectToPhysicalPorts, foundation::NSError* outError) {
    if (active_) return true;
    if (shutDown_.load(std::memory_order_acquire) || jack_activate(asClient(client_)) != 0) {
        if (outError != nullptr) {
            *outError = foundation::makeOSStatusError(audiounit::kAudioUnitErr_FailedInitialization,
                                                      "The JACK client could not be activated.");
        }
        return false;
    }
    active_ = true;
    if (connectToPhysicalPorts) {
        const char** playback = jack_get_ports(asClient(client_), nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                               JackPortIsPhysical | JackPortIsInput);
        if (playback != nullptr) {
            std::size_t count = 0;
            while (playback[count] != nullptr) ++count;
            for (std::uint32_t i = 0; i < kPortCount && count > 0; ++i) {
                // A failed connection leaves the port unconnected; the engine still runs.
                (void)jack_connect(asClient(client_), jack_port_name(asPort(ports_[i])), playback[i % count]);
            }
            jack_free(static_cast<void*>(playback));
        }
    }
    return true;
}

void JackAudioOutput::stop() {
    if (!active_) return;
    active_ = false;
    if (!shutDown_.load(std::memory_order_acquire)) jack_deactivate(asClient(client_));
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

// JACK's process thread: real-time; no lock, no allocation, no blocking.
int JackAudioOutput::processCallback(std::uint32_t frames, void* arg) noexcept {
    auto* self = static_cast<JackAudioOutput*>(arg);
    float* buffers[kPortCount];
    for (std::uint32_t i = 0; i < kPortCount; ++i) {
        buffers[i] = static_cast<float*>(jack_port_get_buffer(asPort(self->ports_[i]), frames));
    }
    self->processCycle(buffers, frames);
    return 0;
}

// A JACK thread, when the server goes away: only records it.
void JackAudioOutput::shutdownCallback(void* arg) {
    static_cast<JackAudioOutput*>(arg)->shutDown_.store(true, std::memory_order_release);
}

}  // namespace engine
