#pragma once
// The host's MIDI input: one MIDI client and one MIDI 2.0 input port connected
// to every MIDI source, following sources that appear and disappear. It does
// not look at the MIDI it receives: each event list goes, untouched, to the
// receive handler its caller (the play engine) supplies.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "midi/MIDIServices.hpp"

// A random (version 4) UUID.
struct UUID {
    std::array<std::uint8_t, 16> bytes{};

    static UUID random();
    // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    [[nodiscard]] std::string uuidString() const;
    friend bool operator==(const UUID&, const UUID&) = default;
};

class MIDIManager : public std::enable_shared_from_this<MIDIManager> {
public:
    // The name the input port is created with.
    static constexpr const char* kInputPortName = "MIDI Input Port (2.0)";
    // The client name when the main bundle has no usable "CFBundleName".
    static constexpr const char* kFallbackClientName = "MIDIManager_Client";

    // The process's single manager, created on first use. Main thread.
    static const std::shared_ptr<MIDIManager>& shared();

    // Only `shared` makes the application's manager; tests make their own.
    static std::shared_ptr<MIDIManager> make();

    const UUID id = UUID::random();
    midi::MIDIClientRef client = 0;
    midi::MIDIPortRef port = 0;

    // The main bundle's "CFBundleName" followed by "_MIDIClient", or
    // "MIDIManager_Client" when the bundle has no information, no such key or a
    // value that is not text.
    [[nodiscard]] static std::string clientName();

    // Creates the client and the input port for `protocol` with
    // `receiveHandler`, then connects every source present, in index order.
    // True only when all of that succeeded; on the first source that fails to
    // connect it prints "Failed to connect to source <ref>" and stops there.
    // Main thread. The handler is called on the MIDI receiving thread (see
    // midi::MIDIReceiveBlock for what it must not do there).
    bool setupPort(midi::MIDIProtocolID protocol, midi::MIDIReceiveBlock receiveHandler);
    // Creates `client` with handleNotification as its notification handler;
    // prints "Failed to create MIDI Client" and returns false when that fails.
    bool createClient();
    // Connects added sources, disconnects removed ones and reports I/O errors.
    // Called on the MIDI notification thread; touches only `port`, which does
    // not change after setupPort.
    void handleNotification(const midi::MIDINotification* notification);

    MIDIManager(const MIDIManager&) = delete;
    MIDIManager& operator=(const MIDIManager&) = delete;

private:
    MIDIManager() = default;
};
