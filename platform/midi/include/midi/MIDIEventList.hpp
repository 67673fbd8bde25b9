#pragma once
// Universal MIDI Packet event lists: the data that MIDI input delivers and that
// audio units receive. Plain data with the platform's layout, no behaviour, so
// that the audio-unit layer can carry event lists without depending on MIDI I/O.

#include <cstdint>

namespace midi {

using MIDITimeStamp = std::uint64_t;
using MIDIProtocolID = std::int32_t;

inline constexpr MIDIProtocolID kMIDIProtocol_1_0 = 1;
inline constexpr MIDIProtocolID kMIDIProtocol_2_0 = 2;

// Plain aggregates (value-initialise them with {}), so that they can live in
// unions and shared memory.

// One packet: up to 64 32-bit words of Universal MIDI Packets sharing a time stamp.
struct MIDIEventPacket {
    MIDITimeStamp timeStamp;
    std::uint32_t wordCount;
    std::uint32_t words[64];
};

// A list of packets. Like the platform's, the packet array is declared with one
// element and continues in memory when a list holds more.
struct MIDIEventList {
    MIDIProtocolID protocol;
    std::uint32_t numPackets;
    MIDIEventPacket packet[1];
};

}  // namespace midi
