#pragma once
// The engine's JACK output: its own JACK client with two output ports
// ("out_1", "out_2"), whose process callback renders one engine cycle into the
// ports' buffers.
//
// Every call that waits on the server (open, port registration, activation,
// connections, deactivation, close) waits at most kServerTimeLimit. A server
// that does not answer in time (stopped or wedged) loses the output: the
// client is abandoned, never called or closed again, and what libjack's
// threads may still reach is kept for the rest of the process, with the
// process callback no longer touching the engine. A server that shuts down
// loses the output too.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audiounit/AVAudioFormat.hpp"
#include "audiounit/RenderContract.hpp"
#include "foundation/NSError.hpp"

namespace engine {

class AVAudioEngine;
struct JackClientLink;

class JackAudioOutput {
public:
    static constexpr std::uint32_t kPortCount = 2;
    // How long a call waits for the server before the client is abandoned.
    static constexpr std::chrono::seconds kServerTimeLimit{5};

    // Opens a client without starting a server. Null, with the error's
    // description saying why (lower case, for a line of output), when no
    // server runs, the server does not answer in time or the ports cannot be
    // registered. Main thread.
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
    // first two physical playback ports (a single one takes both). False, with
    // the error filled, when activation fails or the output is lost. Main thread.
    bool start(bool connectToPhysicalPorts, foundation::NSError* outError = nullptr);
    // Deactivates the client; returns once no process callback reaches the
    // engine. Main thread.
    void stop();
    // Why the output was lost ("the JACK server has shut down", "the JACK
    // server did not answer within 5 seconds"), or nothing while it works.
    // Any thread.
    [[nodiscard]] std::optional<std::string> lossReason() const;

    // The process callback's body, given the ports' buffers: renders `frames`
    // frames in engine cycles of at most the engine's maximum. JACK's process
    // thread: no lock, no allocation, no blocking.
    void processCycle(std::span<float* const> portBuffers, std::uint32_t frames) noexcept;

private:
    explicit JackAudioOutput(AVAudioEngine& engine);
    // Runs a call that waits on the server, within the time limit. Nothing
    // when the client is abandoned already or the server did not answer in
    // time, which abandons it.
    template <class Call>
    auto askServer(Call call) -> std::optional<decltype(call())>;

    AVAudioEngine& engine_;
    // The client, its ports and what its callbacks see; kept for good once abandoned.
    std::unique_ptr<JackClientLink> link_;
    audiounit::AVAudioFormatPtr format_;
    audiounit::AudioBufferListStorage list_{kPortCount};
    bool active_ = false;
};

}  // namespace engine
