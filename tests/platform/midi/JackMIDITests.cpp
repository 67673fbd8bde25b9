// The JACK backend on a private server: other clients' MIDI outputs are sources; a server that goes takes them.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "JackTestServer.hpp"
#include "MIDITestSupport.hpp"
#include "midi/MIDIServices.hpp"

using namespace midi;
using namespace std::chrono_literals;
using testsupport::ref;
using testsupport::Words;

namespace {

// Returns the `n` words that arrive for a message; a late cycle on a loaded machine may drop a client's
// output, so the message is sent up to three times, two seconds each.
Words sendAndReceive(testsupport::JackTestKeyboard& keyboard, testsupport::ReceivedWords& capture,
                     const std::vector<std::uint8_t>& message, std::size_t n) {
    const auto from = capture.count.load(std::memory_order_acquire);
    for (int attempt = 0; attempt < 3 && capture.count.load(std::memory_order_acquire) < from + n; ++attempt) {
        keyboard.send(message);
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (capture.count.load(std::memory_order_acquire) < from + n && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(2ms);
    }
    Words out = capture.since(from);
    out.resize(std::min(out.size(), n));
    return out;
}

// JACK tells a client about connections asynchronously: poll.
int waitForConnections(const testsupport::JackTestKeyboard& keyboard, int expected) {
    for (int i = 0; i < 500 && keyboard.connectionCount() != expected; ++i) std::this_thread::sleep_for(10ms);
    return keyboard.connectionCount();
}

// The source of that name, waiting up to five seconds for it to appear.
std::optional<MIDIEndpointRef> sourceNamed(const std::string& name) {
    for (int attempt = 0; attempt < 500; ++attempt, std::this_thread::sleep_for(10ms))
        for (ItemCount i = 0; i < MIDIGetNumberOfSources(); ++i) {
            std::string found;
            MIDIObjectGetStringProperty(MIDIGetSource(i), kMIDIPropertyName, &found);
            if (found == name) return MIDIGetSource(i);
        }
    return std::nullopt;
}

// A private server, a test keyboard, and a host-like MIDI 2.0 client that (dis)connects sources as they come and go.
class JackMIDITest : public ::testing::Test {
protected:
    void SetUp() override {
        if (testsupport::JackTestServer::jackdPath().empty()) GTEST_SKIP() << "jackd is not installed";
        server = std::make_unique<testsupport::JackTestServer>();
        ASSERT_TRUE(server->ready()) << "the private JACK server did not start";
        MIDIRestart();  // forget a server an earlier test of this process used
        keys = std::make_unique<testsupport::JackTestKeyboard>("dm-keys");
        ASSERT_TRUE(keys->ok());
        log.onAddRemove = [this](const MIDIObjectAddRemoveNotification& m) {
            return m.messageID == kMIDIMsgObjectAdded ? MIDIPortConnectSource(port, m.child, nullptr)
                                                      : MIDIPortDisconnectSource(port, m.child);
        };
        testing::internal::CaptureStdout();
        ASSERT_EQ(MIDIClientCreateWithBlock("JackTests_MIDIClient", &client, log.block()), noErr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // a server runs: nothing to say
        ASSERT_EQ(MIDIInputPortCreateWithProtocol(client, "MIDI Input Port (2.0)", kMIDIProtocol_2_0, &port,
                                                  capture.block()),
                  noErr);
        const auto source = sourceNamed(keys->portName());
        ASSERT_TRUE(source) << "no source named " << keys->portName();
        keysSource = *source;
    }

    void TearDown() override {
        if (server) server->resume();  // the clients below wait on it
        if (client != 0) MIDIClientDispose(client);
        MIDIRestart();  // with no client left this only closes the connection
        keys.reset();
        server.reset();
    }

    std::unique_ptr<testsupport::JackTestServer> server;
    std::unique_ptr<testsupport::JackTestKeyboard> keys;
    MIDIEndpointRef keysSource = 0;
    MIDIClientRef client = 0;
    MIDIPortRef port = 0;
    testsupport::ReceivedWords capture;
    testsupport::NotificationLog log;
};

}  // namespace

TEST_F(JackMIDITest, OtherClientsMIDIOutputsAreSourcesWhoseNotesArriveAsMIDI2AndGoWithTheirClientOrServer) {
    // Audio ports and our own ports are not sources; a host connects every source at start-up.
    EXPECT_EQ(MIDIGetNumberOfSources(), 1u);
    ASSERT_EQ(MIDIPortConnectSource(port, keysSource, nullptr), noErr);
    EXPECT_EQ(waitForConnections(*keys, 1), 1);
    EXPECT_EQ(sendAndReceive(*keys, capture, {0x90, 0x3C, 0x64}, 2), (Words{0x40903C00, 0xC9240000}));
    // Time stamps are on the host clock (the monotonic clock in nanoseconds).
    const auto now = MIDIGetCurrentHostTime();
    const auto stamp = capture.time.load();
    EXPECT_LT(stamp > now ? stamp - now : now - stamp, 10'000'000'000u);

    // A client that comes later is announced and connected from the notification; both feed the port.
    auto later = std::make_unique<testsupport::JackTestKeyboard>("dm-later");
    const auto laterSource = sourceNamed(later->portName());
    ASSERT_TRUE(laterSource);
    EXPECT_EQ(MIDIGetNumberOfSources(), 2u);
    EXPECT_EQ(waitForConnections(*later, 1), 1);
    EXPECT_EQ(sendAndReceive(*later, capture, {0x91, 0x40, 0x7F}, 2), (Words{0x40914000, 0xFFFF0000}));
    EXPECT_EQ(sendAndReceive(*keys, capture, {0x90, 0x3C, 0x64}, 2), (Words{0x40903C00, 0xC9240000}));
    later.reset();
    EXPECT_EQ(log.lines(4), (std::vector<std::string>{"added " + ref(*laterSource) + " (24 bytes) -> 0",
                                                      "setup changed (8 bytes)",
                                                      "removed " + ref(*laterSource) + " (24 bytes) -> 0",
                                                      "setup changed (8 bytes)"}));
    EXPECT_EQ(MIDIGetNumberOfSources(), 1u);

    ASSERT_EQ(MIDIPortDisconnectSource(port, keysSource), noErr);
    EXPECT_EQ(waitForConnections(*keys, 0), 0);

    ASSERT_EQ(MIDIPortConnectSource(port, keysSource, nullptr), noErr);
    testing::internal::CaptureStdout();
    server->stop();
    const auto lines = log.lines(7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "MIDI input unavailable: the JACK server has shut down\n");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.end()),
              (std::vector<std::string>{"removed " + ref(keysSource) + " (24 bytes) -> 0", "setup changed (8 bytes)",
                                        "error " + std::to_string(kMIDIUnknownError) + " from 0 (16 bytes)"}));
    EXPECT_EQ(MIDIGetNumberOfSources(), 0u);
}

// A stopped (SIGSTOP) server: the next call waiting on it times out and the sources go as on shutdown.
TEST_F(JackMIDITest, AServerThatStopsAnsweringTakesTheSourcesAndReportsAnIOError) {
    ASSERT_EQ(MIDIPortConnectSource(port, keysSource, nullptr), noErr);
    testing::internal::CaptureStdout();
    server->pause();
    // Disconnecting removes the source's JACK input port, which waits on the server.
    EXPECT_EQ(MIDIPortDisconnectSource(port, keysSource), noErr);
    const auto lines = log.lines(3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "MIDI input unavailable: the JACK server did not answer within 5 seconds\n");
    EXPECT_EQ(lines, (std::vector<std::string>{"removed " + ref(keysSource) + " (24 bytes) -> " +
                                                   std::to_string(kMIDINoConnection),
                                               "setup changed (8 bytes)",
                                               "error " + std::to_string(kMIDIUnknownError) + " from 0 (16 bytes)"}));
    EXPECT_EQ(MIDIGetNumberOfSources(), 0u);
}
