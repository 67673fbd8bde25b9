#pragma once
// In-process virtual sources: sources that a program (a test, or a machine
// without a MIDI server) creates and sends MIDI 1.0 bytes through. They appear
// in MIDIGetSource and are announced like any other source.

#include <cstdint>
#include <span>
#include <string_view>

#include "midi/MIDIServices.hpp"

namespace midi {

// Creates a virtual source owned by `client` (disposed of with it) and
// announces it with kMIDIMsgObjectAdded.
OSStatus MIDISourceCreate(MIDIClientRef client, std::string_view name, MIDIEndpointRef* outSource);

// Sends MIDI 1.0 bytes from a virtual source. Every connected port's receive
// block is called on this thread before it returns, with the bytes translated
// to the port's protocol; a time stamp of 0 means now. Messages may span calls
// (running status, long system exclusive). One thread at a time per source.
// Allocation-free and lock-free once the source is connected.
OSStatus MIDISourceSend(MIDIEndpointRef source, std::span<const std::uint8_t> bytes,
                        MIDITimeStamp timeStamp = 0);

// Removes a virtual source and announces it with kMIDIMsgObjectRemoved. Its
// connections stay until disconnected, but receive nothing more.
OSStatus MIDIEndpointDispose(MIDIEndpointRef endpoint);

// Test support: makes every later connection to the source fail with
// `status` (noErr to allow connections again).
OSStatus MIDISourceSetConnectFailure(MIDIEndpointRef source, OSStatus status);

// Test support: announces an I/O error of the source with kMIDIMsgIOError
// (driverDevice is the source).
OSStatus MIDISourceReportIOError(MIDIEndpointRef source, OSStatus errorCode);

}  // namespace midi
