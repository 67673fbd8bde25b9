#pragma once
// MIDI services: clients, input ports that receive Universal MIDI Packet event
// lists, the sources they connect to, and set-up notifications, with the
// platform's names, layouts and status codes.
//
// Sources come from two backends: JACK (every MIDI output port of every other
// JACK client, hardware bridged by the sound server included) and in-process
// virtual sources (MIDIVirtualSources.hpp). MIDI 1.0 bytes from either are
// translated to the protocol of each receiving port (UMPTranslation.hpp).
//
// Threads: set-up notifications are delivered on one MIDI notification
// thread, in order, never inside JACK's own callbacks. Event lists are
// delivered on the thread that received them: JACK's process thread for JACK
// sources, the sending thread for virtual sources.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "midi/MIDIEventList.hpp"
#include "midi/MIDIEventListFunctions.hpp"

namespace midi {

using OSStatus = std::int32_t;
using ItemCount = std::size_t;

using MIDIObjectRef = std::uint32_t;
using MIDIClientRef = MIDIObjectRef;
using MIDIPortRef = MIDIObjectRef;
using MIDIEndpointRef = MIDIObjectRef;
using MIDIDeviceRef = MIDIObjectRef;

using MIDIObjectType = std::int32_t;
inline constexpr MIDIObjectType kMIDIObjectType_Other = -1;
inline constexpr MIDIObjectType kMIDIObjectType_Device = 0;
inline constexpr MIDIObjectType kMIDIObjectType_Entity = 1;
inline constexpr MIDIObjectType kMIDIObjectType_Source = 2;
inline constexpr MIDIObjectType kMIDIObjectType_Destination = 3;

using MIDINotificationMessageID = std::int32_t;
inline constexpr MIDINotificationMessageID kMIDIMsgSetupChanged = 1;
inline constexpr MIDINotificationMessageID kMIDIMsgObjectAdded = 2;
inline constexpr MIDINotificationMessageID kMIDIMsgObjectRemoved = 3;
inline constexpr MIDINotificationMessageID kMIDIMsgPropertyChanged = 4;
inline constexpr MIDINotificationMessageID kMIDIMsgThruConnectionsChanged = 5;
inline constexpr MIDINotificationMessageID kMIDIMsgSerialPortOwnerChanged = 6;
inline constexpr MIDINotificationMessageID kMIDIMsgIOError = 7;

// Status codes.
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus paramErr = -50;
inline constexpr OSStatus kMIDIInvalidClient = -10830;
inline constexpr OSStatus kMIDIInvalidPort = -10831;
inline constexpr OSStatus kMIDIWrongEndpointType = -10832;
inline constexpr OSStatus kMIDINoConnection = -10833;
inline constexpr OSStatus kMIDIUnknownEndpoint = -10834;
inline constexpr OSStatus kMIDIUnknownProperty = -10835;
inline constexpr OSStatus kMIDIMsgSendErr = -10838;
inline constexpr OSStatus kMIDIServerStartErr = -10839;
inline constexpr OSStatus kMIDIObjectNotFound = -10842;
inline constexpr OSStatus kMIDINotPermitted = -10844;
inline constexpr OSStatus kMIDIUnknownError = -10845;

// Every notification starts with this header; messageSize is the size of
// the whole structure the message ID stands for.
struct MIDINotification {
    MIDINotificationMessageID messageID;
    std::uint32_t messageSize;
};

// kMIDIMsgObjectAdded and kMIDIMsgObjectRemoved.
struct MIDIObjectAddRemoveNotification {
    MIDINotificationMessageID messageID;
    std::uint32_t messageSize;
    MIDIObjectRef parent;
    MIDIObjectType parentType;
    MIDIObjectRef child;
    MIDIObjectType childType;
};

// kMIDIMsgIOError.
struct MIDIIOErrorNotification {
    MIDINotificationMessageID messageID;
    std::uint32_t messageSize;
    MIDIDeviceRef driverDevice;
    OSStatus errorCode;
};

// Called on the MIDI notification thread with each set-up notification; read
// the full layout that messageID names. May call any function of this header.
using MIDINotifyBlock = std::function<void(const MIDINotification* message)>;

// Called on the receiving thread (JACK's real-time process thread, or a virtual
// source's sending thread) with the event list of one source and the
// reference given when connecting it. It must not lock, allocate or block,
// and must not call the set-up functions of this header.
using MIDIReceiveBlock = std::function<void(const MIDIEventList* eventList, void* sourceConnectionRefCon)>;

// Creates a client. The first client of the process (and any later one while
// no JACK server is connected) connects to the JACK server; when there is none
// the client is created all the same, without JACK sources, and one line on
// standard output says that MIDI input is unavailable.
OSStatus MIDIClientCreateWithBlock(std::string_view name, MIDIClientRef* outClient,
                                   MIDINotifyBlock notifyBlock);
// Disposes of a client and its ports. After it returns, neither its notify
// block nor its ports' receive blocks are called again.
OSStatus MIDIClientDispose(MIDIClientRef client);

// Creates an input port receiving event lists in `protocol` (kMIDIProtocol_1_0
// or kMIDIProtocol_2_0).
OSStatus MIDIInputPortCreateWithProtocol(MIDIClientRef client, std::string_view portName,
                                         MIDIProtocolID protocol, MIDIPortRef* outPort,
                                         MIDIReceiveBlock receiveBlock);
// Disconnects and disposes of a port; its receive block is not called after
// this returns.
OSStatus MIDIPortDispose(MIDIPortRef port);

// The sources present now, in the order they appeared.
ItemCount MIDIGetNumberOfSources();
// The source at `index`, or 0 when there is none.
MIDIEndpointRef MIDIGetSource(ItemCount index);

// Connects a source to a port; its event lists then reach the port's receive
// block with `connectionRefCon`. Connecting again only replaces the refCon.
// Fails with kMIDIInvalidPort, kMIDIUnknownEndpoint, or the backend's error.
OSStatus MIDIPortConnectSource(MIDIPortRef port, MIDIEndpointRef source, void* connectionRefCon);
// Ends a connection, also one whose source has since disappeared. Fails with
// kMIDIInvalidPort, or kMIDINoConnection when the two are not connected.
OSStatus MIDIPortDisconnectSource(MIDIPortRef port, MIDIEndpointRef source);

inline constexpr std::string_view kMIDIPropertyName = "name";
// A string property of an object; only kMIDIPropertyName is known. A JACK
// source's name is its full JACK port name ("client:port").
OSStatus MIDIObjectGetStringProperty(MIDIObjectRef object, std::string_view propertyID, std::string* outValue);

// Closes the JACK connection, if any, and opens it again; JACK sources that go
// away are announced as removed, those found as added.
OSStatus MIDIRestart();

// Nanoseconds on the monotonic clock: the time base of event-list time stamps.
MIDITimeStamp MIDIGetCurrentHostTime() noexcept;

}  // namespace midi
