// MIDIManager over in-process virtual sources: which sources get connected at
// set-up and later, and the exact lines printed on failures.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <fstream>
#include <string>

#include "HostTestSupport.hpp"
#include "MIDIManager.hpp"
#include "midi/MIDIVirtualSources.hpp"

using namespace midi;
using hosttest::pumpUntil;

namespace {

constexpr std::array<std::uint8_t, 3> kNoteOn{0x90, 60, 100};

// Captured standard output without the MIDI services' own line about a
// missing JACK server, which client creation prints on machines without one.
std::string capturedManagerOutput() {
    std::string text = testing::internal::GetCapturedStdout();
    const std::string jackLine = "MIDI input unavailable: no JACK server is running\n";
    for (auto at = text.find(jackLine); at != std::string::npos; at = text.find(jackLine)) text.erase(at, jackLine.size());
    return text;
}

class MIDIManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(MIDIClientCreateWithBlock("Source owner", &owner_,
                                            [this](const MIDINotification* notification) {
                                                if (notification->messageID == kMIDIMsgObjectAdded) ++announced_;
                                            }),
                  noErr);
        manager_ = MIDIManager::make();
    }
    void TearDown() override {
        if (manager_->client != 0) MIDIClientDispose(manager_->client);
        MIDIClientDispose(owner_);
    }

    // Creates a source and waits until its arrival has been announced, so that
    // the announcement cannot reach a manager set up afterwards.
    MIDIEndpointRef makeSource(const std::string& name) {
        MIDIEndpointRef source = 0;
        const int before = announced_.load();
        EXPECT_EQ(MIDISourceCreate(owner_, name, &source), noErr);
        EXPECT_TRUE(pumpUntil([&] { return announced_.load() > before; }, std::chrono::seconds(5)));
        return source;
    }

    // The handler counts event lists per source reference it is told of: the
    // manager connects without one, so everything lands in one counter.
    MIDIReceiveBlock handler() {
        return [this](const MIDIEventList* list, void*) {
            if (list != nullptr && list->numPackets > 0) {
                received_.fetch_add(1, std::memory_order_relaxed);
                lastWord_.store(list->packet[0].words[0], std::memory_order_relaxed);
            }
        };
    }

    // Sends a note from the source and says whether the manager's port got it.
    bool reaches(MIDIEndpointRef source) {
        const int before = received_.load();
        EXPECT_EQ(MIDISourceSend(source, kNoteOn), noErr);
        return received_.load() > before;
    }

    MIDIClientRef owner_ = 0;
    std::atomic<int> announced_{0};
    std::shared_ptr<MIDIManager> manager_;
    std::atomic<int> received_{0};
    std::atomic<std::uint32_t> lastWord_{0};
};

TEST_F(MIDIManagerTest, StartsWithoutClientOrPortAndAFreshIdentity) {
    EXPECT_EQ(manager_->client, 0u);
    EXPECT_EQ(manager_->port, 0u);
    EXPECT_NE(manager_->id, MIDIManager::make()->id);
    const std::string text = manager_->id.uuidString();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4');  // version 4
    EXPECT_EQ(MIDIManager::shared(), MIDIManager::shared());
    // Set up without any source.
    EXPECT_TRUE(manager_->setupPort(kMIDIProtocol_2_0, handler()));
    EXPECT_NE(manager_->port, 0u);
}

TEST_F(MIDIManagerTest, ConnectsEverySourcePresentAtSetUpAndDeliversMIDI2Packets) {
    const auto first = makeSource("first");
    const auto second = makeSource("second");
    testing::internal::CaptureStdout();
    ASSERT_TRUE(manager_->setupPort(kMIDIProtocol_2_0, handler()));
    const std::string printed = capturedManagerOutput();
    EXPECT_EQ(printed.find("Failed"), std::string::npos) << printed;
    EXPECT_NE(manager_->client, 0u);
    EXPECT_NE(manager_->port, 0u);
    EXPECT_TRUE(reaches(first));
    EXPECT_TRUE(reaches(second));
    // A MIDI 2.0 note on: message type 4, group 0, status 0x90, note 60.
    EXPECT_EQ(lastWord_.load(), 0x40903C00u);
}

TEST_F(MIDIManagerTest, ConnectsASourceAddedLaterButNoOtherAddedObject) {
    ASSERT_TRUE(manager_->setupPort(kMIDIProtocol_2_0, handler()));
    const auto source = makeSource("later");
    // The notification arrives on the MIDI notification thread.
    EXPECT_TRUE(pumpUntil([&] { return reaches(source); }, std::chrono::seconds(5)));

    // Announced again, disconnected first: as a destination it is ignored, as a source connected.
    ASSERT_EQ(MIDIPortDisconnectSource(manager_->port, source), noErr);
    ASSERT_FALSE(reaches(source));
    MIDIObjectAddRemoveNotification added{kMIDIMsgObjectAdded, sizeof(MIDIObjectAddRemoveNotification), 0,
                                          kMIDIObjectType_Device, source, kMIDIObjectType_Destination};
    testing::internal::CaptureStdout();
    manager_->handleNotification(reinterpret_cast<const MIDINotification*>(&added));
    EXPECT_EQ(capturedManagerOutput(), "");
    EXPECT_FALSE(reaches(source));
    added.childType = kMIDIObjectType_Source;
    manager_->handleNotification(reinterpret_cast<const MIDINotification*>(&added));
    EXPECT_TRUE(reaches(source));
}

TEST_F(MIDIManagerTest, StopsAtTheFirstSourceThatFailsToConnect) {
    const auto first = makeSource("first");
    const auto second = makeSource("second");
    const auto third = makeSource("third");
    ASSERT_EQ(MIDISourceSetConnectFailure(second, kMIDIUnknownError), noErr);

    testing::internal::CaptureStdout();
    EXPECT_FALSE(manager_->setupPort(kMIDIProtocol_2_0, handler()));
    EXPECT_EQ(capturedManagerOutput(), "Failed to connect to source " + std::to_string(second) + "\n");
    EXPECT_TRUE(reaches(first));
    EXPECT_FALSE(reaches(second));
    EXPECT_FALSE(reaches(third));
}

TEST_F(MIDIManagerTest, ReportsFailedConnectionsDisconnectionsAndIOErrors) {
    ASSERT_TRUE(manager_->setupPort(kMIDIProtocol_2_0, handler()));
    const auto source = makeSource("refusing");
    ASSERT_TRUE(pumpUntil([&] { return reaches(source); }, std::chrono::seconds(5)));

    testing::internal::CaptureStdout();
    // Added again while refusing connections.
    ASSERT_EQ(MIDISourceSetConnectFailure(source, kMIDIUnknownError), noErr);
    MIDIObjectAddRemoveNotification added{kMIDIMsgObjectAdded, sizeof(MIDIObjectAddRemoveNotification), 0,
                                          kMIDIObjectType_Device, source, kMIDIObjectType_Source};
    manager_->handleNotification(reinterpret_cast<const MIDINotification*>(&added));
    // Removed twice: the second disconnection fails.
    MIDIObjectAddRemoveNotification removed = added;
    removed.messageID = kMIDIMsgObjectRemoved;
    manager_->handleNotification(reinterpret_cast<const MIDINotification*>(&removed));
    manager_->handleNotification(reinterpret_cast<const MIDINotification*>(&removed));
    // Unknown messages are ignored.
    MIDINotification setupChanged{kMIDIMsgSetupChanged, sizeof(MIDINotification)};
    manager_->handleNotification(&setupChanged);
    MIDIIOErrorNotification ioError{kMIDIMsgIOError, sizeof(MIDIIOErrorNotification), source, -36};
    manager_->handleNotification(reinterpret_cast<const MIDINotification*>(&ioError));
    const std::string ref = std::to_string(source);
    EXPECT_EQ(capturedManagerOutput(), "Failed to connect to MIDI Source: " + ref +
                                                          "\nFailed to disconnect MIDI Source: " + ref +
                                                          "\nIO Error Occurred: -36\n");
    EXPECT_FALSE(reaches(source));
}

// The client name comes from the main bundle's information file.
TEST(MIDIClientName, IsTheBundleNameFollowedByMIDIClientOrAFallback) {
    EXPECT_EQ(MIDIManager::clientName(), "HostTests_MIDIClient");
    hosttest::TempDir folder;
    ::setenv("DUNMARROW_MAIN_BUNDLE", folder.path().c_str(), 1);
    for (const char* info : {static_cast<const char*>(nullptr), "{}", R"({"CFBundleName": 7})", "not json",
                             R"({"CFBundleIdentifier": "org.example"})"}) {
        if (info != nullptr) std::ofstream(folder.path() / "Info.json") << info;
        EXPECT_EQ(MIDIManager::clientName(), "MIDIManager_Client") << (info ? info : "(no Info.json)");
    }
    ::setenv("DUNMARROW_MAIN_BUNDLE", hosttest::testMainBundle().c_str(), 1);
}

}  // namespace
