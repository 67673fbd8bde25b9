// MIDI services with in-process virtual sources and no JACK server: client and
// port creation, the source list, set-up notifications with their layouts and
// thread, delivery of translated event lists to receive blocks, connection
// failures, and an allocation-free receive path.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "AllocationCounter.hpp"
#include "midi/MIDIServices.hpp"
#include "midi/MIDIVirtualSources.hpp"

using namespace midi;
using namespace std::chrono_literals;
using Words = std::vector<std::uint32_t>;

namespace {

// No JACK server for these tests, whatever runs on the machine.
const bool noJack = [] {
    ::setenv("JACK_NO_START_SERVER", "1", 1);
    ::setenv("JACK_DEFAULT_SERVER", "dunmarrow-no-such-server", 1);
    return true;
}();

// One notification as a client received it, read through both layouts it may have.
struct Note {
    MIDIObjectAddRemoveNotification addRemove{};
    MIDIIOErrorNotification ioError{};
    std::thread::id thread;
};

// Collects a client's notifications.
class NotificationLog {
public:
    MIDINotifyBlock block() {
        return [this](const MIDINotification* message) {
            Note note;
            std::memcpy(&note.addRemove, message, std::min<std::size_t>(message->messageSize, sizeof note.addRemove));
            std::memcpy(&note.ioError, message, std::min<std::size_t>(message->messageSize, sizeof note.ioError));
            note.thread = std::this_thread::get_id();
            const std::lock_guard lock(mutex_);
            notes_.push_back(note);
            changed_.notify_all();
        };
    }

    // Waits until a notification with this id (about `object`, when given) has arrived.
    std::optional<Note> waitFor(MIDINotificationMessageID id, MIDIObjectRef object = 0) {
        std::unique_lock lock(mutex_);
        std::optional<Note> found;
        changed_.wait_for(lock, 5s, [&] {
            for (const auto& n : notes_)
                if (n.addRemove.messageID == id &&
                    (object == 0 || n.addRemove.child == object || n.ioError.driverDevice == object))
                    found = n;
            return found.has_value();
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
            firstTime = list->packet[0].timeStamp;
            MIDIEventListForEachPacket(list, [&](const MIDIEventPacket& packet) {
                for (std::uint32_t i = 0; i < packet.wordCount && wordCount < words.size(); ++i)
                    words[wordCount++] = packet.words[i];
            });
        };
    }
    [[nodiscard]] Words all() const { return {words.begin(), words.begin() + static_cast<std::ptrdiff_t>(wordCount)}; }
};

class VirtualSourceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(MIDIClientCreateWithBlock("VirtualTests", &client, log.block()), noErr); }
    void TearDown() override { EXPECT_EQ(MIDIClientDispose(client), noErr); }

    MIDIEndpointRef makeSource(const char* name) {
        MIDIEndpointRef source = 0;
        EXPECT_EQ(MIDISourceCreate(client, name, &source), noErr);
        return source;
    }
    MIDIPortRef makePort(MIDIProtocolID protocol, MIDIReceiveBlock block) {
        MIDIPortRef port = 0;
        EXPECT_EQ(MIDIInputPortCreateWithProtocol(client, "in", protocol, &port, std::move(block)), noErr);
        return port;
    }

    MIDIClientRef client = 0;
    NotificationLog log;
};

OSStatus send(MIDIEndpointRef source, std::vector<std::uint8_t> bytes, MIDITimeStamp time = 0) {
    return MIDISourceSend(source, bytes, time);
}

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
    EXPECT_EQ(added->addRemove.messageSize, sizeof(MIDIObjectAddRemoveNotification));
    EXPECT_EQ(added->addRemove.messageSize, 24u);
    EXPECT_EQ(added->addRemove.childType, kMIDIObjectType_Source);
    EXPECT_EQ(added->addRemove.parent, 0u);
    EXPECT_NE(added->thread, std::this_thread::get_id());
    ASSERT_TRUE(log.waitFor(kMIDIMsgSetupChanged));

    EXPECT_EQ(MIDIEndpointDispose(first), noErr);
    EXPECT_EQ(MIDIEndpointDispose(first), kMIDIUnknownEndpoint);
    const auto removed = log.waitFor(kMIDIMsgObjectRemoved, first);
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->addRemove.childType, kMIDIObjectType_Source);
    EXPECT_EQ(MIDIGetNumberOfSources(), before + 1);
    EXPECT_EQ(MIDIGetSource(before), second);

    // Every notification came on the same thread, in order: added, added, ..., removed.
    const auto notes = log.notes();
    std::vector<MIDIObjectRef> order;
    for (const auto& n : notes) {
        EXPECT_EQ(n.thread, notes.front().thread);
        if (n.addRemove.messageID == kMIDIMsgObjectAdded || n.addRemove.messageID == kMIDIMsgObjectRemoved)
            order.push_back(n.addRemove.child);
    }
    EXPECT_EQ(order, (std::vector<MIDIObjectRef>{first, second, first}));
    EXPECT_EQ(MIDIEndpointDispose(second), noErr);
}

TEST_F(VirtualSourceTest, ConnectionsDeliverTranslatedListsOnTheSendingThreadAndRefuseWhatTheyCannot) {
    const auto source = makeSource("Keys");
    Received midi2, midi1;
    const auto port2 = makePort(kMIDIProtocol_2_0, midi2.block());
    const auto port1 = makePort(kMIDIProtocol_1_0, midi1.block());
    EXPECT_EQ(MIDIPortConnectSource(port2 + 1000, source, nullptr), kMIDIInvalidPort);
    EXPECT_EQ(MIDIPortConnectSource(port2, 424242, nullptr), kMIDIUnknownEndpoint);
    EXPECT_EQ(MIDIPortDisconnectSource(port2 + 1000, source), kMIDIInvalidPort);
    // A source that refuses a connection delivers nothing to that port.
    ASSERT_EQ(MIDISourceSetConnectFailure(source, kMIDINotPermitted), noErr);
    EXPECT_EQ(MIDIPortConnectSource(port2, source, nullptr), kMIDINotPermitted);
    ASSERT_EQ(send(source, {0x90, 0x3C, 0x64}), noErr);
    EXPECT_EQ(midi2.lists, 0u);
    ASSERT_EQ(MIDISourceSetConnectFailure(source, noErr), noErr);

    int tag = 0;
    ASSERT_EQ(MIDIPortConnectSource(port2, source, &tag), noErr);
    ASSERT_EQ(MIDIPortConnectSource(port2, source, &tag), noErr);  // again: still one connection
    ASSERT_EQ(MIDIPortConnectSource(port1, source, nullptr), noErr);
    ASSERT_EQ(send(source, {0x90, 0x3C, 0x64}, 1234), noErr);
    EXPECT_EQ(midi2.lists, 1u);
    EXPECT_EQ(midi2.protocol, kMIDIProtocol_2_0);
    EXPECT_EQ(midi2.all(), (Words{0x40903C00, 0xC9240000}));
    EXPECT_EQ(midi2.refCon, &tag);
    EXPECT_EQ(midi2.firstTime, 1234u);
    EXPECT_EQ(midi2.thread, std::this_thread::get_id());
    EXPECT_EQ(midi1.protocol, kMIDIProtocol_1_0);
    EXPECT_EQ(midi1.all(), (Words{0x20903C64}));
    EXPECT_EQ(midi1.refCon, nullptr);

    // A time stamp of 0 means now, on the monotonic clock.
    const auto before = MIDIGetCurrentHostTime();
    ASSERT_EQ(send(source, {0x80, 0x3C, 0x40}), noErr);
    EXPECT_GE(midi2.firstTime, before);
    EXPECT_EQ(midi2.lists, 2u);

    // Disconnecting one port leaves the other fed; disposing of a port stops its deliveries.
    ASSERT_EQ(MIDIPortDisconnectSource(port1, source), noErr);
    EXPECT_EQ(MIDIPortDisconnectSource(port1, source), kMIDINoConnection);
    ASSERT_EQ(send(source, {0xB0, 0x07, 0x40}), noErr);
    EXPECT_EQ(midi2.lists, 3u);
    EXPECT_EQ(midi1.lists, 2u);
    ASSERT_EQ(MIDIPortDispose(port2), noErr);
    ASSERT_EQ(send(source, {0x90, 0x3C, 0x64}), noErr);
    EXPECT_EQ(midi2.lists, 3u);
    EXPECT_EQ(send(424242, {0x90, 0x3C, 0x64}), kMIDIUnknownEndpoint);

    // A removed source falls silent; the removal handler of a host may still end its connection.
    ASSERT_EQ(MIDIPortConnectSource(port1, source, nullptr), noErr);
    ASSERT_EQ(MIDIEndpointDispose(source), noErr);
    EXPECT_EQ(send(source, {0x90, 0x3C, 0x64}), kMIDIUnknownEndpoint);
    EXPECT_EQ(midi1.lists, 2u);
    EXPECT_EQ(MIDIPortConnectSource(port1, source, nullptr), kMIDIUnknownEndpoint);
    EXPECT_EQ(MIDIPortDisconnectSource(port1, source), noErr);
    EXPECT_EQ(MIDIPortDisconnectSource(port1, source), kMIDINoConnection);
    EXPECT_EQ(MIDIPortDispose(port1), noErr);
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
    ASSERT_EQ(MIDIInputPortCreateWithProtocol(host, "in", kMIDIProtocol_2_0, &port, received.block()), noErr);
    const auto source = makeSource("Late keys");
    ASSERT_TRUE(log.waitFor(kMIDIMsgObjectAdded, source));
    // The other client's handler ran on the same thread before or after ours; wait for it.
    for (int i = 0; i < 500 && lastConnect.load() != noErr; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(lastConnect.load(), noErr);
    ASSERT_EQ(send(source, {0x90, 0x40, 0x7F}), noErr);
    EXPECT_EQ(received.all(), (Words{0x40904000, 0xFFFF0000}));
    EXPECT_EQ(MIDIClientDispose(host), noErr);
    EXPECT_EQ(MIDIEndpointDispose(source), noErr);
}

TEST_F(VirtualSourceTest, IOErrorsAreAnnouncedWithTheirLayoutAndADisposedClientHearsNothingMore) {
    const auto source = makeSource("Flaky");
    ASSERT_EQ(MIDISourceReportIOError(source, -10845), noErr);
    const auto error = log.waitFor(kMIDIMsgIOError, source);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->ioError.messageSize, sizeof(MIDIIOErrorNotification));
    EXPECT_EQ(error->ioError.messageSize, 16u);
    EXPECT_EQ(error->ioError.driverDevice, source);
    EXPECT_EQ(error->ioError.errorCode, -10845);
    EXPECT_EQ(MIDISourceReportIOError(424242, 1), kMIDIUnknownEndpoint);
    EXPECT_EQ(MIDIEndpointDispose(source), noErr);

    // Disposing of a client removes its sources and silences its notify block.
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

TEST_F(VirtualSourceTest, TheReceivePathAllocatesNothingAndHandsOverListsAsTheyFill) {
    const auto source = makeSource("Keys");
    Received received, received1;
    const auto port = makePort(kMIDIProtocol_2_0, received.block());
    const auto port1 = makePort(kMIDIProtocol_1_0, received1.block());
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
    EXPECT_EQ(MIDIPortDispose(port1), noErr);

    // More than one event list can hold arrives whole, list by list.
    std::size_t words = 0;
    std::uint32_t lists = 0;
    const auto counting = makePort(kMIDIProtocol_2_0, [&](const MIDIEventList* list, void*) {
        ++lists;
        MIDIEventListForEachPacket(list, [&](const MIDIEventPacket& p) { words += p.wordCount; });
    });
    ASSERT_EQ(MIDIPortConnectSource(counting, source, nullptr), noErr);
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 5000; ++i) bytes.insert(bytes.end(), {0xF0, 0x01, 0xF7});  // a packet each
    ASSERT_EQ(MIDISourceSend(source, bytes, 77), noErr);
    EXPECT_EQ(words, 10000u);
    EXPECT_GT(lists, 1u);
    EXPECT_EQ(MIDIEndpointDispose(source), noErr);
    EXPECT_EQ(MIDIPortDispose(port), noErr);
    EXPECT_EQ(MIDIPortDispose(counting), noErr);
}
