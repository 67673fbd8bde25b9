#pragma once
// The JACK side of the MIDI server: one JACK client per process whose input
// ports (one per connected source) are connected to other clients' MIDI
// output ports. Its process callback reads those ports and hands the bytes to
// the routing table; registration callbacks only queue a rescan on the MIDI
// notification thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "midi/MIDIServices.hpp"

namespace midi::detail {

class MIDIServer;

class JackMIDIBackend {
public:
    // Connects to the JACK server named by the environment (JACK_DEFAULT_SERVER)
    // without starting one. Null when no server answers.
    static std::unique_ptr<JackMIDIBackend> open(const std::string& clientName, MIDIServer& server,
                                                 std::uint64_t generation);
    ~JackMIDIBackend();
    JackMIDIBackend(const JackMIDIBackend&) = delete;
    JackMIDIBackend& operator=(const JackMIDIBackend&) = delete;

    [[nodiscard]] std::uint64_t generation() const noexcept { return generation_; }

    // Full names of the MIDI output ports of every other JACK client.
    [[nodiscard]] std::vector<std::string> midiOutputPorts() const;
    // Registers an input port for the source and connects the source's port to it.
    OSStatus connect(const std::string& sourcePortName, MIDIEndpointRef source, void** outInput);
    // Unregisters an input port made by connect(). The routing table must no
    // longer refer to it.
    void release(void* input);

    struct Callbacks;

private:
    JackMIDIBackend(MIDIServer& server, std::uint64_t generation);
    MIDIServer& server_;
    std::uint64_t generation_;
    void* client_ = nullptr;  // jack_client_t
    std::atomic<bool> serverGone_{false};
    // The notification callbacks in progress, and whether the client is being
    // closed: closing waits for them, because libjack cancels its threads
    // asynchronously when it closes a client whose server has gone, and a
    // callback cut off inside the MIDI server's queue would leave it locked.
    std::atomic<int> callbacksInProgress_{0};
    std::atomic<bool> closing_{false};
};

}  // namespace midi::detail
