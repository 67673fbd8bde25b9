#pragma once
// The engine's JACK output: its own JACK client with two output ports
// ("out_1", "out_2"), whose process callback renders one engine cycle into the
// ports' buffers.

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "audiounit/AVAudioFormat.hpp"
#include "audiounit/RenderContract.hpp"
#include "foundation/NSError.hpp"

namespace engine {

class AVAudioEngine;

class JackAudioOutput {
public:
    static constexpr std::uint32_t kPortCount = 2;

    // Opens a client without starting a server. Null, with the error filled,
    // when no server runs or the ports cannot be registered. Main thread.
    static std::unique_ptr<JackAudioOutput> open(AVAudioEngine& engine, const std::string& clientName,
                                                 foundation::NSError* outError = nullptr);
    ~JackAudioOutput();
    JackAudioOutput(const JackAudioOutput&) = delete;
    JackAudioOutput& operator=(const JackAudioOutput&) = delete;

    // Standard format, two channels, at the server's sample rate.
    [[nodiscard]] const audiounit::AVAudioFormatPtr& hardwareFormat() const noexcept { return format_; }
    // The client's name as the server gave it, and the ports' full names.
    [[nodiscard]] std::string clientName() const;
    [[nodiscard]] std::vector<std::string> portNames() const;

    // Activates the client and, when asked, connects out_1 and out_2 to the
    // first two physical playback ports (a single one takes both). Main thread.
    bool start(bool connectToPhysicalPorts, foundation::NSError* outError = nullptr);
    // Deactivates the client; returns once no process callback runs. Main thread.
    void stop();
    // True once the server has shut the client down.
    [[nodiscard]] bool serverHasShutDown() const noexcept { return shutDown_.load(std::memory_order_acquire); }

    // The process callback's body, given the ports' buffers: renders `frames`
    // frames in engine cycles of at most the engine's maximum. JACK's process
    // thread: no lock, no allocation, no blocking.
    void processCycle(std::span<float* const> portBuffers, std::uint32_t frames) noexcept;

private:
    JackAudioOutput(AVAudioEngine& engine) : engine_(engine) {}
    static int processCallback(std::uint32_t frames, void* arg) noexcept;
    // Not noexcept: libjack may cancel the thread running it (asynchronously)
    // when the client is closed after the server died, and the unwinding must
    // pass through.
    static void shutdownCallback(void* arg);

    AVAudioEngine& engine_;
    void* client_ = nullptr;                // jack_client_t*
    void* ports_[kPortCount] = {nullptr, nullptr};  // jack_port_t*
    audiounit::AVAudioFormatPtr format_;
    audiounit::AudioBufferListStorage list_{kPortCount};
    bool active_ = false;
    std::atomic<bool> shutDown_{false};
};

}  // namespace engine
