// MIDI services with in-process virtual sources and no JACK server: client and
// port creation, the source list, set-up notifications with their layouts and
// thread, delivery of translated event lists to receive blocks, connection
// failures, and an allocation-free receive path.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "AllocationCounter.hpp"
#include "midi/MIDIServices.hpp"
#include "midi/MIDIVirtualSources.hpp"

using namespace midi;
using namespace std::chrono_literals;

namespace {

// No JACK server for these tests, whatever runs on the machine.
const bool noJack = [] {
    ::setenv("JACK_NO_START_SERVER", "1", 1);
    ::setenv("JACK_DEFAULT_SERVER", "dunmarrow-no-such-server", 1);
    return true;
}();

struct Note {
    MIDINotificationMessageID id;
    std::uint32_t size;
    MIDIObjectRef parent = 0;
    MIDIObjectType parentType = 0;
    MIDIObjectRef child = 0;
    MIDIObjectType childType = 0;
    MIDIDeviceRef device = 0;
    OSStatus error = 0;
    std::thread::id thread;
};

// Collects a client's notifications.
class NotificationLog {
public:
    MIDINotifyBlock block() {
        return [this](const MIDINotification* message) {
            Note note{};
            note.id = message->messageID;
            note.size = message->messageSize;
            if (message->messageID == kMIDIMsgObjectAdded || message->messageID == kMIDIMsgObjectRemoved) {
                const auto* m = reinterpret_cast<const MIDIObjectAddRemoveNotification*>(message);
                note.parent = m->parent;
                note.parentType = m->parentType;
                note.child = m->child;
                note.childType = m->childType;
            } else if (message->messageID == kMIDIMsgIOError) {
                const auto* m = reinterpret_cast<const MIDIIOErrorNotification*>(message);
                note.device = m->driverDevice;
                note.error = m->errorCode;
            }
            note.thread = std::this_thread::get_id();
            const std::lock_guard lock(mutex_);
            notes_.push_back(note);
            changed_.notify_all();
        };
    }

    // Waits until a notification with this id (and child, when given) has arrived.
    std::optional<Note> waitFor(MIDINotificationMessageID id, MIDIObjectRef child = 0) {
        std::unique_lock lock(mutex_);
        std::optional<Note> found;
        changed_.wait_for(lock, 5s, [&] {
            for (const auto& n : notes_)
                if (n.id == id && (child == 0 || n.child == child || n.device == child)) {
                    found = n;
                    return true;
                }
            return false;
        });
        return found;
    }

    std::vector<Note> notes() {
        const std::lock_guard lock(mutex_);
        return notes_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Note> notes_;
};

// What a receive block saw; filled without allocating.
struct Received {
    std::array<std::uint32_t, 256> words{};
    std::size_t wordCount = 0;
    std::uint32_t lists = 0;
    std::uint32_t packets = 0;
    MIDIProtocolID protocol = 0;
    void* refCon = nullptr;
    MIDITimeStamp firstTime = 0;
    std::thread::id thread;

    MIDIReceiveBlock block() {
        return [this](const MIDIEventList* list, void* connectionRefCon) {
            ++lists;
            protocol = list->protocol;
            refCon = connectionRefCon;
            thread = std::this_thread::get_id();
            MIDIEventListForEachPacket(list, [&](const MIDIEventPacket& packet) {
                if (packets++ == 0) firstTime = packet.timeStamp;
                for (std::uint32_t i = 0; i < packet.wordCount && wordCount < words.size(); ++i)
                    words[wordCount++] = packet.words[i];
            });
        };
    }
    [[nodiscard]] std::vector<std::uint32_t> all() const {
        return {words.begin(), words.begin() + static_cast<std::ptrdiff_t>(wordCount)};
    }
};

class VirtualSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(MIDIClientCreateWithBlock("VirtualTests", &client, log.block()), noErr);
        ASSERT_NE(client, 0u);
    }
    void TearDown() override { EXPECT_EQ(MIDIClientDispose(client), noErr); }

    MIDIEndpointRef makeSource(const char* name) {
        MIDIEndpointRef source = 0;
        EXPECT_EQ(MIDISourceCreate(client, name, &source), noErr);
        return source;
    }

    MIDIClientRef client = 0;
    NotificationLog log;
};

OSStatus send(MIDIEndpointRef source, std::vector<std::uint8_t> bytes, MIDITimeStamp time = 0) {
    return MIDISourceSend(source, bytes, time);
}

}  // namespace

TEST(MIDIClientTest, WithoutJackTheClientIsCreatedWithNoJackSourcesAndOneLine) {
    testing::internal::CaptureStdout();
    MIDIClientRef client = 0;
    ASSERT_EQ(MIDIClientCreateWithBlock("NoServer_MIDIClient", &client, nullptr), noErr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "MIDI input unavailable: no JACK server is running\n");
    EXPECT_EQ(MIDIGetNumberOfSources(), 0u);
    EXPECT_EQ(MIDIGetSource(0), 0u);
    std::string name;
    EXPECT_EQ(MIDIObjectGetStringProperty(client, kMIDIPropertyName, &name), noErr);
    EXPECT_EQ(name, "NoServer_MIDIClient");
    MIDIPortRef port = 0;
    EXPECT_EQ(MIDIInputPortCreateWithProtocol(client, "MIDI Input Port (2.0)", kMIDIProtocol_2_0, &port,
                                              [](const MIDIEventList*, void*) {}),
              noErr);
    EXPECT_NE(port, 0u);
    EXPECT_EQ(MIDIPortDispose(port), noErr);
    EXPECT_EQ(MIDIPortDispose(port), kMIDIInvalidPort);
    EXPECT_EQ(MIDIClientDispose(client), noErr);
    EXPECT_EQ(MIDIClientDispose(client), kMIDIInvalidClient);
}

TEST(MIDIClientTest, BadArgumentsAreRefused) {
    EXPECT_EQ(MIDIClientCreateWithBlock("x", nullptr, nullptr), paramErr);
    MIDIPortRef port = 0;
    EXPECT_EQ(MIDIInputPortCreateWithProtocol(12345, "p", kMIDIProtocol_2_0, &port,
                                              [](const MIDIEventList*, void*) {}),
              kMIDIInvalidClient);
    MIDIClientRef client = 0;
    testing::internal::CaptureStdout();
    ASSERT_EQ(MIDIClientCreateWithBlock("x", &client, nullptr), noErr);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(MIDIInputPortCreateWithProtocol(client, "p", 7, &port, [](const MIDIEventList*, void*) {}), paramErr);
    EXPECT_EQ(MIDIInputPortCreateWithProtocol(client, "p", kMIDIProtocol_2_0, &port, nullptr), paramErr);
    std::string value;
    EXPECT_EQ(MIDIObjectGetStringProperty(client, "model", &value), kMIDIUnknownProperty);
    EXPECT_EQ(MIDIObjectGetStringProperty(999999, kMIDIPropertyName, &value), kMIDIObjectNotFound);
    EXPECT_EQ(MIDIClientDispose(client), noErr);
}

TEST_F(VirtualSourceTest, SourcesAreListedInOrderAndAnnouncedOnTheNotificationThread) {
    const auto before = MIDIGetNumberOfSources();
    const auto first = makeSource("Keys");
    const auto second = makeSource("Pads");
    EXPECT_EQ(MIDIGetNumberOfSources(), before + 2);
    EXPECT_EQ(MIDIGetSource(before), first);
    EXPECT_EQ(MIDIGetSource(before + 1), second);
    std::string name;
    EXPECT_EQ(MIDIObjectGetStringProperty(second, kMIDIPropertyName, &name), noErr);
    EXPECT_EQ(name, "Pads");

    const auto added = log.waitFor(kMIDIMsgObjectAdded, second);
    ASSERT_TRUE(added);
    EXPECT_EQ(added->size, sizeof(MIDIObjectAddRemoveNotification));
    EXPECT_EQ(added->size, 24u);
    EXPECT_EQ(added->childType, kMIDIObjectType_Source);
    EXPECT_EQ(added->parent, 0u);
    EXPECT_NE(added->thread, std::this_thread::get_id());
    ASSERT_TRUE(log.waitFor(kMIDIMsgSetupChanged));

    EXPECT_EQ(MIDIEndpointDispose(first), noErr);
    EXPECT_EQ(MIDIEndpointDispose(first), kMIDIUnknownEndpoint);
    const auto removed = log.waitFor(kMIDIMsgObjectRemoved, first);
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->childType, kMIDIObjectType_Source);
    EXPECT_EQ(MIDIGetNumberOfSources(), before + 1);
    EXPECT_EQ(MIDIGetSource(before), second);

    // Every notification came on the same thread, in order: added, added, ..., removed.
    const auto notes = log.notes();
    std::vector<MIDIObjectRef> order;
    for (const auto& n : notes) {
        EXPECT_EQ(n.thread, notes.front().thread);
        if (n.id == kMIDIMsgObjectAdded || n.id == kMIDIMsgObjectRemoved) order.push_back(n.child);
    }
    EXPECT_EQ(order, (std::vector<MIDIObjectRef>{first, second, first}));
    EXPECT_EQ(MIDIEndpointDispose(second), noErr);
}

TEST_F(VirtualSourceTest, ConnectedSourcesDeliverTranslatedListsOnTheSendingThread) {
    const auto source = makeSource("Keys");
    Received midi2;
    Received midi1;
    MIDIPortRef port2 = 0;
    MIDIPortRef port1 = 0;
    ASSERT_EQ(MIDIInputPortCreateWithProtocol(client, "MIDI Input Port (2.0)", kMIDIProtocol_2_0, &port2,
                                              midi2.block()),
              noErr);
    ASSERT_EQ(MIDIInputPortCreateWithProtocol(client, "MIDI 1.0 port", kMIDIProtocol_1_0, &port1, midi1.block()),
              noErr);
    int tag = 0;
    ASSERT_EQ(MIDIPortConnectSource(port2, source, &tag), noErr);
    ASSERT_EQ(MIDIPortConnectSource(port1, source, nullptr), noErr);

    ASSERT_EQ(send(source, {0x90, 0x3C, 0x64}, 1234), noErr);
    EXPECT_EQ(midi2.lists, 1u);
    EXPECT_EQ(midi2.protocol, kMIDIProtocol_2_0);
    EXPECT_EQ(midi2.all(), (std::vector<std::uint32_t>{0x40903C00, 0xC9240000}));
    EXPECT_EQ(midi2.refCon, &tag);
    EXPECT_EQ(midi2.firstTime, 1234u);
    EXPECT_EQ(midi2.thread, std::this_thread::get_id());
    EXPECT_EQ(midi1.protocol, kMIDIProtocol_1_0);
    EXPECT_EQ(midi1.all(), (std::vector<std::uint32_t>{0x20903C64}));
    EXPECT_EQ(midi1.refCon, nullptr);

    // A time stamp of 0 means now, on the monotonic clock.
    const auto before = MIDIGetCurrentHostTime();
    ASSERT_EQ(send(source, {0x80, 0x3C, 0x40}), noErr);
    EXPECT_GE(midi2.firstTime, 1234u);
    EXPECT_EQ(midi2.lists, 2u);
    EXPECT_GE(MIDIGetCurrentHostTime(), before);

    // Disconnecting one port leaves the other fed.
    ASSERT_EQ(MIDIPortDisconnectSource(port1, source), noErr);
    EXPECT_EQ(MIDIPortDisconnectSource(port1, source), kMIDINoConnection);
    ASSERT_EQ(send(source, {0xB0, 0x07, 0x40}), noErr);
    EXPECT_EQ(midi2.lists, 3u);
    EXPECT_EQ(midi1.lists, 2u);

    // Disposing of a port stops its deliveries.
    ASSERT_EQ(MIDIPortDispose(port2), noErr);
    ASSERT_EQ(send(source, {0x90, 0x3C, 0x64}), noErr);
    EXPECT_EQ(midi2.lists, 3u);
    EXPECT_EQ(MIDIEndpointDispose(source), noErr);
    EXPECT_EQ(MIDIPortDispose(port1), noErr);
}

TEST_F(VirtualSourceTest, ConnectFailuresReturnTheirStatus) {
    const auto source = makeSource("Keys");
    MIDIPortRef port = 0;
    Received received;
    ASSERT_EQ(MIDIInputPortCreateWithProtocol(client, "in", kMIDIProtocol_2_0, &port, received.block()), noErr);
    EXPECT_EQ(MIDIPortConnectSource(port + 1000, source, nullptr), kMIDIInvalidPort);
    EXPECT_EQ(MIDIPortConnectSource(port, 424242, nullptr), kMIDIUnknownEndpoint);
    EXPECT_EQ(MIDIPortDisconnectSource(port + 1000, source), kMIDIInvalidPort);

    ASSERT_EQ(MIDISourceSetConnectFailure(source, kMIDINotPermitted), noErr);
    EXPECT_EQ(MIDIPortConnectSource(port, source, nullptr), kMIDINotPermitted);
    ASSERT_EQ(send(source, {0x90, 0x3C, 0x64}), noErr);
    EXPECT_EQ(received.lists, 0u);
    ASSERT_EQ(MIDISourceSetConnectFailure(source, noErr), noErr);
    EXPECT_EQ(MIDIPortConnectSource(port, source, nullptr), noErr);
    EXPECT_EQ(MIDIPortConnectSource(port, source, nullptr), noErr);  // again: still one connection
    ASSERT_EQ(send(source, {0x90, 0x3C, 0x64}), noErr);
    EXPECT_EQ(received.lists, 1u);

    EXPECT_EQ(send(424242, {0x90, 0x3C, 0x64}), kMIDIUnknownEndpoint);
    EXPECT_EQ(MIDIEndpointDispose(source), noErr);
    EXPECT_EQ(MIDIPortDispose(port), noErr);
}

TEST_F(VirtualSourceTest, ARemovedSourceFallsSilentAndItsConnectionCanStillBeEnded) {
    const auto source = makeSource("Keys");
    MIDIPortRef port = 0;
    Received received;
    ASSERT_EQ(MIDIInputPortCreateWithProtocol(client, "in", kMIDIProtocol_2_0, &port, received.block()), noErr);
    ASSERT_EQ(MIDIPortConnectSource(port, source, nullptr), noErr);
    ASSERT_EQ(MIDIEndpointDispose(source), noErr);
    EXPECT_EQ(send(source, {0x90, 0x3C, 0x64}), kMIDIUnknownEndpoint);
    EXPECT_EQ(received.lists, 0u);
    EXPECT_EQ(MIDIPortConnectSource(port, source, nullptr), kMIDIUnknownEndpoint);
    // The removal handler of a host disconnects the source it was told about.
    EXPECT_EQ(MIDIPortDisconnectSource(port, source), noErr);
    EXPECT_EQ(MIDIPortDisconnectSource(port, source), kMIDINoConnection);
    EXPECT_EQ(MIDIPortDispose(port), noErr);
}

TEST_F(VirtualSourceTest, AHandlerConnectsSourcesAsTheyAreAnnounced) {
    // What a host does: connect every source that is added, from the notify block.
    Received received;
    MIDIPortRef port = 0;
    std::atomic<OSStatus> lastConnect{1};
    MIDIClientRef host = 0;
    ASSERT_EQ(MIDIClientCreateWithBlock("Host", &host,
                                        [&](const MIDINotification* message) {
                                            if (message->messageID != kMIDIMsgObjectAdded) return;
                                            const auto* added =
                                                reinterpret_cast<const MIDIObjectAddRemoveNotification*>(message);
                                            if (added->childType == kMIDIObjectType_Source)
                                                lastConnect = MIDIPortConnectSource(port, added->child, nullptr);
                                        }),
              noErr);
    ASSERT_EQ(MIDIInputPortCreateWithProtocol(host, "MIDI Input Port (2.0)", kMIDIProtocol_2_0, &port,
                                              received.block()),
              noErr);
    const auto source = makeSource("Late keys");
    ASSERT_TRUE(log.waitFor(kMIDIMsgObjectAdded, source));
    // The other client's handler ran on the same thread before or after ours; wait for it.
    for (int i = 0; i < 500 && lastConnect.load() != noErr; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(lastConnect.load(), noErr);
    ASSERT_EQ(send(source, {0x90, 0x40, 0x7F}), noErr);
    EXPECT_EQ(received.all(), (std::vector<std::uint32_t>{0x40904000, 0xFFFF0000}));
    EXPECT_EQ(MIDIClientDispose(host), noErr);
    EXPECT_EQ(MIDIEndpointDispose(source), noErr);
}

TEST_F(VirtualSourceTest, IOErrorsAreAnnouncedWithTheirLayout) {
    const auto source = makeSource("Flaky");
    ASSERT_EQ(MIDISourceReportIOError(source, -10845), noErr);
    const auto error = log.waitFor(kMIDIMsgIOError, source);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->size, sizeof(MIDIIOErrorNotification));
    EXPECT_EQ(error->size, 16u);
    EXPECT_EQ(error->device, source);
    EXPECT_EQ(error->error, -10845);
    EXPECT_EQ(MIDISourceReportIOError(424242, 1), kMIDIUnknownEndpoint);
    EXPECT_EQ(MIDIEndpointDispose(source), noErr);
}

TEST_F(VirtualSourceTest, DisposingOfAClientRemovesItsSourcesAndSilencesIt) {
    NotificationLog otherLog;
    MIDIClientRef other = 0;
    ASSERT_EQ(MIDIClientCreateWithBlock("Other", &other, otherLog.block()), noErr);
    MIDIEndpointRef owned = 0;
    ASSERT_EQ(MIDISourceCreate(other, "Owned", &owned), noErr);
    ASSERT_TRUE(log.waitFor(kMIDIMsgObjectAdded, owned));
    ASSERT_EQ(MIDIClientDispose(other), noErr);
    const auto countAfter = otherLog.notes().size();
    ASSERT_TRUE(log.waitFor(kMIDIMsgObjectRemoved, owned));
    const auto mine = makeSource("Mine");
    ASSERT_TRUE(log.waitFor(kMIDIMsgObjectAdded, mine));
    EXPECT_EQ(otherLog.notes().size(), countAfter);
    EXPECT_EQ(MIDIEndpointDispose(mine), noErr);
}

TEST_F(VirtualSourceTest, TheReceivePathAllocatesNothing) {
    const auto source = makeSource("Keys");
    Received received;
    MIDIPortRef port = 0;
    ASSERT_EQ(MIDIInputPortCreateWithProtocol(client, "in", kMIDIProtocol_2_0, &port, received.block()), noErr);
    Received received1;
    MIDIPortRef port1 = 0;
    ASSERT_EQ(MIDIInputPortCreateWithProtocol(client, "in1", kMIDIProtocol_1_0, &port1, received1.block()), noErr);
    ASSERT_EQ(MIDIPortConnectSource(port, source, nullptr), noErr);
    ASSERT_EQ(MIDIPortConnectSource(port1, source, nullptr), noErr);

    const std::uint8_t notes[] = {0x90, 0x3C, 0x64, 0x3E, 0x64, 0xB0, 0x07, 0x7F, 0xE0, 0x00, 0x40, 0xF8};
    std::uint8_t sysex[40];
    sysex[0] = 0xF0;
    for (int i = 1; i < 39; ++i) sysex[i] = static_cast<std::uint8_t>(i);
    sysex[39] = 0xF7;

    rtcheck::ScopedAllocationCounter counter;
    for (int i = 0; i < 100; ++i) {
        MIDISourceSend(source, notes);
        MIDISourceSend(source, sysex);
    }
    const auto counts = counter.stop();
    EXPECT_EQ(counts.total(), 0u) << counts.allocations << " allocations, " << counts.frees << " frees";
    EXPECT_EQ(received.lists, 200u);
    EXPECT_EQ(received1.lists, 200u);
    EXPECT_EQ(MIDIEndpointDispose(source), noErr);
    EXPECT_EQ(MIDIPortDispose(port), noErr);
    EXPECT_EQ(MIDIPortDispose(port1), noErr);
}

TEST_F(VirtualSourceTest, ManyMessagesInOneSendArriveWhole) {
    // More than one event list can hold: the lists are handed over as they fill.
    const auto source = makeSource("Busy");
    std::size_t words = 0;
    std::uint32_t lists = 0;
    MIDIPortRef port = 0;
    ASSERT_EQ(MIDIInputPortCreateWithProtocol(client, "in", kMIDIProtocol_2_0, &port,
                                              [&](const MIDIEventList* list, void*) {
                                                  ++lists;
                                                  MIDIEventListForEachPacket(list, [&](const MIDIEventPacket& p) {
                                                      words += p.wordCount;
                                                  });
                                              }),
              noErr);
    ASSERT_EQ(MIDIPortConnectSource(port, source, nullptr), noErr);
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 5000; ++i) {
        bytes.push_back(0xF0);  // each system exclusive gets its own packet
        bytes.push_back(0x01);
        bytes.push_back(0xF7);
    }
    ASSERT_EQ(MIDISourceSend(source, bytes, 77), noErr);
    EXPECT_EQ(words, 10000u);
    EXPECT_GT(lists, 1u);
    EXPECT_EQ(MIDIEndpointDispose(source), noErr);
    EXPECT_EQ(MIDIPortDispose(port), noErr);
}
