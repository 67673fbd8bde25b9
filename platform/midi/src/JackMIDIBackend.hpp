#pragma once
// The JACK side of the MIDI server: one JACK client per process whose input
// ports (one per connected source) are connected to other clients' MIDI
// output ports. Its process callback reads those ports and hands the bytes to
// the routing table; registration callbacks only queue a rescan on the MIDI
// notification thread.
//
// Every call that waits on the server (open, activation, port registration
// and removal, connections, deactivation, close) waits at most
// kServerTimeLimit. A server that does not answer in time is treated like one
// that went away: the client is abandoned, never called or closed again, and
// what libjack's threads may still reach is kept for the rest of the process.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "midi/MIDIServices.hpp"

namespace midi::detail {

class MIDIServer;

class JackMIDIBackend {
public:
    // How long a call waits for the server before the client is abandoned.
    static constexpr std::chrono::seconds kServerTimeLimit{5};

    // Connects to the JACK server named by the environment (JACK_DEFAULT_SERVER)
    // without starting one. Null when no server answers (in time), with
    // `whyNot` saying so in words for a line of output.
    static std::unique_ptr<JackMIDIBackend> open(const std::string& clientName, MIDIServer& server,
                                                 std::uint64_t generation, std::string& whyNot);
    ~JackMIDIBackend();
    JackMIDIBackend(const JackMIDIBackend&) = delete;
    JackMIDIBackend& operator=(const JackMIDIBackend&) = delete;

    [[nodiscard]] std::uint64_t generation() const noexcept;

    // Full names of the MIDI output ports of every other JACK client.
    [[nodiscard]] std::vector<std::string> midiOutputPorts() const;
    // Registers an input port for the source and connects the source's port to it.
    OSStatus connect(const std::string& sourcePortName, MIDIEndpointRef source, void** outInput);
    // Unregisters an input port made by connect(). The routing table must no
    // longer refer to it.
    void release(void* input);

    struct Link;
    struct Callbacks;

private:
    explicit JackMIDIBackend(std::unique_ptr<Link> link);
    // Runs a call that waits on the server, within the time limit. Nothing
    // when the client is abandoned already or the server did not answer in
    // time, which abandons it and tells the MIDI server, as a server that went
    // away does.
    template <class Call>
    auto askServer(Call call) -> std::optional<decltype(call())>;

    // The client and what its callbacks see; kept for good once abandoned.
    std::unique_ptr<Link> link_;
};

}  // namespace midi::detail
