// The JACK backend against a private JACK server with the dummy driver: other
// clients' MIDI outputs are sources, notes arrive at a MIDI 2.0 port as UMP,
// a client that appears later is announced and can be connected from the
// notification, and a server that goes away or stops answering takes its
// sources with it.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "JackTestServer.hpp"
#include "midi/MIDIServices.hpp"

using namespace midi;
using namespace std::chrono_literals;
using Words = std::vector<std::uint32_t>;

namespace {

// Words received on JACK's process thread, stored without locks or allocation.
struct Capture {
    std::array<std::atomic<std::uint32_t>, 1024> words{};
    std::atomic<std::size_t> count{0};
    std::atomic<MIDIProtocolID> protocol{0};
    std::atomic<MIDITimeStamp> lastTime{0};

    MIDIReceiveBlock block() {
        return [this](const MIDIEventList* list, void*) {
            protocol.store(list->protocol, std::memory_order_relaxed);
            MIDIEventListForEachPacket(list, [&](const MIDIEventPacket& packet) {
                lastTime.store(packet.timeStamp, std::memory_order_relaxed);
                for (std::uint32_t i = 0; i < packet.wordCount; ++i) {
                    const auto n = count.load(std::memory_order_relaxed);
                    if (n == words.size()) return;
                    words[n].store(packet.words[i], std::memory_order_relaxed);
                    count.store(n + 1, std::memory_order_release);
                }
            });
        };
    }
};

struct Event {
    MIDINotificationMessageID id;
    MIDIObjectRef child;
    MIDIObjectType childType;
    OSStatus error;
    OSStatus handlerStatus;  // what the handler's connect or disconnect returned
};

// Sends a message from a test client and returns the `n` words that arrive for
// it. A cycle that runs late on a loaded machine may drop a client's output,
// so the message is sent again (up to three times, two seconds each).
Words sendAndReceive(testsupport::JackTestKeyboard& keyboard, Capture& capture,
                     const std::vector<std::uint8_t>& message, std::size_t n) {
    const auto from = capture.count.load(std::memory_order_acquire);
    for (int attempt = 0; attempt < 3 && capture.count.load(std::memory_order_acquire) < from + n; ++attempt) {
        keyboard.send(message);
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (capture.count.load(std::memory_order_acquire) < from + n && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(2ms);
    }
    Words out;
    for (auto i = from; i < std::min(from + n, capture.count.load(std::memory_order_acquire)); ++i)
        out.push_back(capture.words[i].load(std::memory_order_relaxed));
    return out;
}

// JACK tells a client about connections asynchronously: poll.
int waitForConnections(const testsupport::JackTestKeyboard& keyboard, int expected) {
    for (int i = 0; i < 500 && keyboard.connectionCount() != expected; ++i) std::this_thread::sleep_for(10ms);
    return keyboard.connectionCount();
}

std::string nameOf(MIDIObjectRef object) {
    std::string name;
    MIDIObjectGetStringProperty(object, kMIDIPropertyName, &name);
    return name;
}

std::optional<MIDIEndpointRef> sourceNamed(const std::string& name) {
    for (ItemCount i = 0; i < MIDIGetNumberOfSources(); ++i)
        if (nameOf(MIDIGetSource(i)) == name) return MIDIGetSource(i);
    return std::nullopt;
}

class JackMIDITest : public ::testing::Test {
protected:
    void SetUp() override {
        if (testsupport::JackTestServer::jackdPath().empty()) GTEST_SKIP() << "jackd is not installed";
        server = std::make_unique<testsupport::JackTestServer>();
        ASSERT_TRUE(server->ready()) << "the private JACK server did not start";
        MIDIRestart();  // forget a server an earlier test of this process used
    }

    void TearDown() override {
        if (server) server->resume();  // the clients below wait on it
        if (client != 0) MIDIClientDispose(client);
        MIDIRestart();  // with no client left this only closes the connection
        keyboards.clear();
        server.reset();
    }

    // A client and a MIDI 2.0 port like a host's: the notify block connects
    // added sources and disconnects removed ones.
    void createHostClient() {
        testing::internal::CaptureStdout();
        ASSERT_EQ(MIDIClientCreateWithBlock("JackTests_MIDIClient", &client,
                                            [this](const MIDINotification* message) { handle(message); }),
                  noErr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // a server runs: nothing to say
        ASSERT_EQ(MIDIInputPortCreateWithProtocol(client, "MIDI Input Port (2.0)", kMIDIProtocol_2_0, &port,
                                                  capture.block()),
                  noErr);
        portReady = true;
    }

    void handle(const MIDINotification* message) {
        Event event{message->messageID, 0, 0, 0, 0};
        if (message->messageID == kMIDIMsgObjectAdded || message->messageID == kMIDIMsgObjectRemoved) {
            const auto* m = reinterpret_cast<const MIDIObjectAddRemoveNotification*>(message);
            event.child = m->child;
            event.childType = m->childType;
            if (portReady && m->childType == kMIDIObjectType_Source) {
                event.handlerStatus = message->messageID == kMIDIMsgObjectAdded
                                          ? MIDIPortConnectSource(port, m->child, nullptr)
                                          : MIDIPortDisconnectSource(port, m->child);
            }
        } else if (message->messageID == kMIDIMsgIOError) {
            event.error = reinterpret_cast<const MIDIIOErrorNotification*>(message)->errorCode;
        }
        const std::lock_guard lock(mutex);
        events.push_back(event);
        changed.notify_all();
    }

    std::optional<Event> waitForEvent(MIDINotificationMessageID id, MIDIObjectRef child = 0) {
        std::unique_lock lock(mutex);
        std::optional<Event> found;
        changed.wait_for(lock, 10s, [&] {
            for (const auto& e : events)
                if (e.id == id && (child == 0 || e.child == child)) {
                    found = e;
                    return true;
                }
            return false;
        });
        return found;
    }

    testsupport::JackTestKeyboard& addKeyboard(const std::string& name) {
        keyboards.push_back(std::make_unique<testsupport::JackTestKeyboard>(name));
        EXPECT_TRUE(keyboards.back()->ok());
        return *keyboards.back();
    }

    std::unique_ptr<testsupport::JackTestServer> server;
    std::vector<std::unique_ptr<testsupport::JackTestKeyboard>> keyboards;
    MIDIClientRef client = 0;
    MIDIPortRef port = 0;
    std::atomic<bool> portReady{false};
    Capture capture;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
};

}  // namespace

TEST_F(JackMIDITest, OtherClientsMIDIOutputsAreSourcesAnnouncedAsTheyComeAndGoAndTheirNotesArriveAsMIDI2) {
    auto& keys = addKeyboard("dm-keys");
    createHostClient();

    // The keyboard's output is a source; audio ports and our own ports are not.
    const auto source = sourceNamed(keys.portName());
    ASSERT_TRUE(source) << "no source named " << keys.portName();
    for (ItemCount i = 0; i < MIDIGetNumberOfSources(); ++i) {
        const auto name = nameOf(MIDIGetSource(i));
        EXPECT_EQ(name.rfind("system:", 0), std::string::npos) << name;
        EXPECT_EQ(name.rfind("JackTests_MIDIClient", 0), std::string::npos) << name;
    }
    // Connect every source, as a host does at start-up.
    for (ItemCount i = 0; i < MIDIGetNumberOfSources(); ++i)
        ASSERT_EQ(MIDIPortConnectSource(port, MIDIGetSource(i), nullptr), noErr);
    EXPECT_EQ(waitForConnections(keys, 1), 1);
    EXPECT_EQ(sendAndReceive(keys, capture, {0x90, 0x3C, 0x64}, 2), (Words{0x40903C00, 0xC9240000}));
    EXPECT_EQ(sendAndReceive(keys, capture, {0xB0, 0x07, 0x40}, 2), (Words{0x40B00700, 0x80000000}));
    EXPECT_EQ(capture.protocol.load(), kMIDIProtocol_2_0);
    // Time stamps are on the host clock (the monotonic clock in nanoseconds).
    const auto now = MIDIGetCurrentHostTime();
    const auto stamp = capture.lastTime.load();
    EXPECT_LT(stamp > now ? stamp - now : now - stamp, 10'000'000'000u);

    // A client that comes later is announced, and the handler's connect succeeds; both feed the port.
    const auto before = MIDIGetNumberOfSources();
    auto& later = addKeyboard("dm-later");
    std::optional<MIDIEndpointRef> laterSource;
    for (int i = 0; i < 500 && !laterSource; ++i) {
        laterSource = sourceNamed(later.portName());
        if (!laterSource) std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(laterSource);
    const auto added = waitForEvent(kMIDIMsgObjectAdded, *laterSource);
    ASSERT_TRUE(added);
    EXPECT_EQ(added->childType, kMIDIObjectType_Source);
    EXPECT_EQ(added->handlerStatus, noErr);
    EXPECT_EQ(MIDIGetNumberOfSources(), before + 1);
    EXPECT_EQ(waitForConnections(later, 1), 1);
    EXPECT_EQ(sendAndReceive(later, capture, {0x91, 0x40, 0x7F}, 2), (Words{0x40914000, 0xFFFF0000}));
    EXPECT_EQ(sendAndReceive(keys, capture, {0x90, 0x3C, 0x64}, 2), (Words{0x40903C00, 0xC9240000}));

    // It leaves: its source is announced as removed and the handler's disconnect succeeds.
    keyboards.pop_back();
    const auto removed = waitForEvent(kMIDIMsgObjectRemoved, *laterSource);
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->handlerStatus, noErr);
    EXPECT_EQ(MIDIGetNumberOfSources(), before);
    EXPECT_FALSE(sourceNamed("dm-later:out"));

    // Disconnecting stops delivery and lets JACK drop the connection.
    ASSERT_EQ(MIDIPortDisconnectSource(port, *source), noErr);
    EXPECT_EQ(waitForConnections(keys, 0), 0);
    const auto received = capture.count.load();
    keys.send({0x80, 0x3C, 0x40});
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(capture.count.load(), received);
}

// A server that shuts down, or one that stops answering (a stopped process)
// so that the next call waiting on it gives up after the time limit: either
// way the JACK sources go, with an I/O error and one line saying why.
struct ServerLoss {
    const char* name;
    bool stopsAnswering;
    const char* line;
};

class JackServerLoss : public JackMIDITest, public ::testing::WithParamInterface<ServerLoss> {};

TEST_P(JackServerLoss, TakesTheSourcesAndReportsAnIOError) {
    auto& keys = addKeyboard("dm-gone");
    createHostClient();
    const auto source = sourceNamed(keys.portName());
    ASSERT_TRUE(source);
    ASSERT_EQ(MIDIPortConnectSource(port, *source, nullptr), noErr);

    testing::internal::CaptureStdout();
    if (GetParam().stopsAnswering) {
        server->pause();
        // Disconnecting removes the source's JACK input port, which waits on the server.
        EXPECT_EQ(MIDIPortDisconnectSource(port, *source), noErr);
    } else {
        server->stop();
    }
    const auto removed = waitForEvent(kMIDIMsgObjectRemoved, *source);
    const auto ioError = waitForEvent(kMIDIMsgIOError);
    const auto output = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(removed);
    ASSERT_TRUE(ioError);
    EXPECT_EQ(ioError->error, kMIDIUnknownError);
    EXPECT_EQ(output, GetParam().line);
    EXPECT_FALSE(sourceNamed(keys.portName()));
}

INSTANTIATE_TEST_SUITE_P(
    , JackServerLoss,
    ::testing::Values(ServerLoss{"ShutsDown", false, "MIDI input unavailable: the JACK server has shut down\n"},
                      ServerLoss{"StopsAnswering", true,
                                 "MIDI input unavailable: the JACK server did not answer within 5 seconds\n"}),
    [](const auto& test) { return std::string(test.param.name); });
