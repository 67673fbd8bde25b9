// MIDI services with in-process virtual sources and no JACK server.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "AllocationCounter.hpp"
#include "MIDITestSupport.hpp"
#include "midi/MIDIServices.hpp"
#include "midi/MIDIVirtualSources.hpp"

using namespace midi;
using testsupport::NotificationLog;
using testsupport::ReceivedWords;
using testsupport::ref;
using testsupport::Words;
using Bytes = std::vector<std::uint8_t>;

namespace {

// No JACK server for these tests, whatever runs on the machine.
const bool noJack = [] {
    ::setenv("JACK_NO_START_SERVER", "1", 1);
    ::setenv("JACK_DEFAULT_SERVER", "dunmarrow-no-such-server", 1);
    return true;
}();

}  // namespace

TEST(MIDIClientTest, WithoutJackTheClientSaysSoInOneLineAndBadArgumentsAreRefused) {
    testing::internal::CaptureStdout();
    MIDIClientRef client = 0;
    ASSERT_EQ(MIDIClientCreateWithBlock("NoServer_MIDIClient", &client, nullptr), noErr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "MIDI input unavailable: no JACK server is running\n");
    EXPECT_EQ(MIDIGetNumberOfSources(), 0u);
    EXPECT_EQ(MIDIGetSource(0), 0u);
    std::string name;
    EXPECT_EQ(MIDIObjectGetStringProperty(client, kMIDIPropertyName, &name), noErr);
    EXPECT_EQ(name, "NoServer_MIDIClient");
    const MIDIReceiveBlock ignore = [](const MIDIEventList*, void*) {};
    MIDIPortRef port = 0;
    EXPECT_EQ(MIDIInputPortCreateWithProtocol(client, "MIDI Input Port (2.0)", kMIDIProtocol_2_0, &port, ignore),
              noErr);
    EXPECT_NE(port, 0u);
    EXPECT_EQ(MIDIPortDispose(port), noErr);
    EXPECT_EQ(MIDIPortDispose(port), kMIDIInvalidPort);

    EXPECT_EQ(MIDIClientCreateWithBlock("x", nullptr, nullptr), paramErr);
    EXPECT_EQ(MIDIInputPortCreateWithProtocol(12345, "p", kMIDIProtocol_2_0, &port, ignore), kMIDIInvalidClient);
    EXPECT_EQ(MIDIInputPortCreateWithProtocol(client, "p", 7, &port, ignore), paramErr);
    EXPECT_EQ(MIDIInputPortCreateWithProtocol(client, "p", kMIDIProtocol_2_0, &port, nullptr), paramErr);
    EXPECT_EQ(MIDIObjectGetStringProperty(client, "model", &name), kMIDIUnknownProperty);
    EXPECT_EQ(MIDIObjectGetStringProperty(999999, kMIDIPropertyName, &name), kMIDIObjectNotFound);
    EXPECT_EQ(MIDIClientDispose(client), noErr);
    EXPECT_EQ(MIDIClientDispose(client), kMIDIInvalidClient);
}

TEST(VirtualSourceTest, SourcesAndErrorsAreAnnouncedOnTheNotificationThreadAndDeliverTranslatedListsWithoutAllocating) {
    NotificationLog log;
    MIDIClientRef client = 0;
    ASSERT_EQ(MIDIClientCreateWithBlock("VirtualTests", &client, log.block()), noErr);
    const auto before = MIDIGetNumberOfSources();
    MIDIEndpointRef first = 0, second = 0, source = 0;
    ASSERT_EQ(MIDISourceCreate(client, "Keys", &first), noErr);
    ASSERT_EQ(MIDISourceCreate(client, "Pads", &second), noErr);
    EXPECT_EQ(MIDIGetNumberOfSources(), before + 2);
    EXPECT_EQ(MIDIGetSource(before), first);
    EXPECT_EQ(MIDIGetSource(before + 1), second);
    std::string name;
    EXPECT_EQ(MIDIObjectGetStringProperty(second, kMIDIPropertyName, &name), noErr);
    EXPECT_EQ(name, "Pads");
    EXPECT_EQ(MIDIEndpointDispose(first), noErr);
    EXPECT_EQ(MIDIEndpointDispose(first), kMIDIUnknownEndpoint);
    EXPECT_EQ(MIDIGetNumberOfSources(), before + 1);
    EXPECT_EQ(MIDIGetSource(before), second);
    ASSERT_EQ(MIDISourceReportIOError(second, -10845), noErr);
    EXPECT_EQ(MIDISourceReportIOError(424242, 1), kMIDIUnknownEndpoint);

    // Disposing of a client removes its sources and silences its notify block.
    ASSERT_EQ(log.lines(7).size(), 7u);
    NotificationLog otherLog;
    MIDIClientRef other = 0;
    ASSERT_EQ(MIDIClientCreateWithBlock("Other", &other, otherLog.block()), noErr);
    MIDIEndpointRef owned = 0;
    ASSERT_EQ(MIDISourceCreate(other, "Owned", &owned), noErr);
    EXPECT_EQ(otherLog.lines(2).size(), 2u);
    ASSERT_EQ(MIDIClientDispose(other), noErr);
    EXPECT_EQ(MIDIEndpointDispose(second), noErr);
    EXPECT_EQ(log.lines(13), (std::vector<std::string>{
                                 "added " + ref(first) + " (24 bytes)", "setup changed (8 bytes)",
                                 "added " + ref(second) + " (24 bytes)", "setup changed (8 bytes)",
                                 "removed " + ref(first) + " (24 bytes)", "setup changed (8 bytes)",
                                 "error -10845 from " + ref(second) + " (16 bytes)",
                                 "added " + ref(owned) + " (24 bytes)", "setup changed (8 bytes)",
                                 "removed " + ref(owned) + " (24 bytes)", "setup changed (8 bytes)",
                                 "removed " + ref(second) + " (24 bytes)", "setup changed (8 bytes)"}));
    EXPECT_EQ(otherLog.lines(2).size(), 2u);
    const auto threads = log.threads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());

    // Connections deliver on the sending thread and refuse what they cannot.
    ASSERT_EQ(MIDISourceCreate(client, "Keys", &source), noErr);
    ReceivedWords midi2, midi1;
    MIDIPortRef port2 = 0, port1 = 0, counting = 0;
    ASSERT_EQ(MIDIInputPortCreateWithProtocol(client, "in", kMIDIProtocol_2_0, &port2, midi2.block()), noErr);
    ASSERT_EQ(MIDIInputPortCreateWithProtocol(client, "in", kMIDIProtocol_1_0, &port1, midi1.block()), noErr);
    EXPECT_EQ(MIDIPortConnectSource(port2 + 1000, source, nullptr), kMIDIInvalidPort);
    EXPECT_EQ(MIDIPortConnectSource(port2, 424242, nullptr), kMIDIUnknownEndpoint);
    EXPECT_EQ(MIDIPortDisconnectSource(port2 + 1000, source), kMIDIInvalidPort);
    ASSERT_EQ(MIDISourceSetConnectFailure(source, kMIDINotPermitted), noErr);
    EXPECT_EQ(MIDIPortConnectSource(port2, source, nullptr), kMIDINotPermitted);
    ASSERT_EQ(MIDISourceSetConnectFailure(source, noErr), noErr);

    int tag = 0;
    ASSERT_EQ(MIDIPortConnectSource(port2, source, &tag), noErr);
    ASSERT_EQ(MIDIPortConnectSource(port2, source, &tag), noErr);  // again: still one connection
    ASSERT_EQ(MIDIPortConnectSource(port1, source, nullptr), noErr);
    ASSERT_EQ(MIDISourceSend(source, Bytes{0x90, 0x3C, 0x64}, 1234), noErr);
    EXPECT_EQ(midi2.lists.load(), 1u);
    EXPECT_EQ(midi2.protocol.load(), kMIDIProtocol_2_0);
    EXPECT_EQ(midi2.since(0), (Words{0x40903C00, 0xC9240000}));
    EXPECT_EQ(midi2.refCon.load(), &tag);
    EXPECT_EQ(midi2.time.load(), 1234u);
    EXPECT_EQ(midi2.thread.load(), std::this_thread::get_id());
    EXPECT_EQ(midi1.protocol.load(), kMIDIProtocol_1_0);
    EXPECT_EQ(midi1.since(0), (Words{0x20903C64}));

    // A time stamp of 0 means now, on the monotonic clock.
    const auto now = MIDIGetCurrentHostTime();
    ASSERT_EQ(MIDISourceSend(source, Bytes{0x80, 0x3C, 0x40}), noErr);
    EXPECT_GE(midi2.time.load(), now);

    const std::uint8_t notes[] = {0x90, 0x3C, 0x64, 0x3E, 0x64, 0xB0, 0x07, 0x7F, 0xE0, 0x00, 0x40, 0xF8};
    std::uint8_t sysex[40] = {0xF0};
    sysex[39] = 0xF7;
    rtcheck::ScopedAllocationCounter counter;
    for (int i = 0; i < 100; ++i) {
        MIDISourceSend(source, notes);
        MIDISourceSend(source, sysex);
    }
    EXPECT_EQ(counter.stop().total(), 0u);
    EXPECT_EQ(midi2.lists.load(), 202u);
    EXPECT_EQ(midi1.lists.load(), 202u);

    ASSERT_EQ(MIDIPortDisconnectSource(port1, source), noErr);
    EXPECT_EQ(MIDIPortDisconnectSource(port1, source), kMIDINoConnection);
    ASSERT_EQ(MIDISourceSend(source, Bytes{0xB0, 0x07, 0x40}), noErr);
    EXPECT_EQ(midi2.lists.load(), 203u);
    EXPECT_EQ(midi1.lists.load(), 202u);
    ASSERT_EQ(MIDIPortDispose(port2), noErr);
    ASSERT_EQ(MIDISourceSend(source, Bytes{0x90, 0x3C, 0x64}), noErr);
    EXPECT_EQ(midi2.lists.load(), 203u);
    EXPECT_EQ(MIDISourceSend(424242, Bytes{0x90, 0x3C, 0x64}), kMIDIUnknownEndpoint);

    // More than one event list can hold arrives whole, list by list.
    std::size_t words = 0;
    std::uint32_t lists = 0;
    const MIDIReceiveBlock count = [&](const MIDIEventList* list, void*) {
        ++lists;
        MIDIEventListForEachPacket(list, [&](const MIDIEventPacket& p) { words += p.wordCount; });
    };
    ASSERT_EQ(MIDIInputPortCreateWithProtocol(client, "in", kMIDIProtocol_2_0, &counting, count), noErr);
    ASSERT_EQ(MIDIPortConnectSource(counting, source, nullptr), noErr);
    Bytes bytes;
    for (int i = 0; i < 5000; ++i) bytes.insert(bytes.end(), {0xF0, 0x01, 0xF7});  // a packet each
    ASSERT_EQ(MIDISourceSend(source, bytes, 77), noErr);
    EXPECT_EQ(words, 10000u);
    EXPECT_GT(lists, 1u);
    EXPECT_EQ(MIDIPortDispose(counting), noErr);

    // A removed source falls silent; the removal handler of a host may still end its connection.
    ASSERT_EQ(MIDIPortConnectSource(port1, source, nullptr), noErr);
    ASSERT_EQ(MIDIEndpointDispose(source), noErr);
    EXPECT_EQ(MIDISourceSend(source, Bytes{0x90, 0x3C, 0x64}), kMIDIUnknownEndpoint);
    EXPECT_EQ(midi1.lists.load(), 202u);
    EXPECT_EQ(MIDIPortConnectSource(port1, source, nullptr), kMIDIUnknownEndpoint);
    EXPECT_EQ(MIDIPortDisconnectSource(port1, source), noErr);
    EXPECT_EQ(MIDIPortDisconnectSource(port1, source), kMIDINoConnection);
    EXPECT_EQ(MIDIPortDispose(port1), noErr);
    EXPECT_EQ(MIDIClientDispose(client), noErr);
}
