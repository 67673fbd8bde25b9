// MIDIManager over in-process virtual sources: what it connects, when, and the lines it prints on failures.

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

// Without the line client creation prints on machines without a JACK server.
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

    // Waits for the announcement, so that it cannot reach a manager set up afterwards.
    MIDIEndpointRef makeSource(const std::string& name) {
        MIDIEndpointRef source = 0;
        const int before = announced_.load();
        EXPECT_EQ(MIDISourceCreate(owner_, name, &source), noErr);
        EXPECT_TRUE(pumpUntil([&] { return announced_.load() > before; }, std::chrono::seconds(5)));
        return source;
    }

    MIDIReceiveBlock handler() {
        return [this](const MIDIEventList* list, void*) {
            if (list != nullptr && list->numPackets > 0) received_.fetch_add(1, std::memory_order_relaxed);
        };
    }

    bool reaches(MIDIEndpointRef source) {
        const int before = received_.load();
        EXPECT_EQ(MIDISourceSend(source, kNoteOn), noErr);
        return received_.load() > before;
    }

    MIDIClientRef owner_ = 0;
    std::atomic<int> announced_{0};
    std::shared_ptr<MIDIManager> manager_;
    std::atomic<int> received_{0};
};

// Set-up stops at the first source that refuses; later sources are connected as they are announced.
TEST_F(MIDIManagerTest, ConnectsSourcesPresentAtSetUpAndAddedLaterAndReportsWhatFails) {
    EXPECT_EQ(manager_->client, 0u);
    const auto first = makeSource("first");
    const auto refusing = makeSource("refusing");
    const auto third = makeSource("third");
    ASSERT_EQ(MIDISourceSetConnectFailure(refusing, kMIDIUnknownError), noErr);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(manager_->setupPort(kMIDIProtocol_2_0, handler()));
    EXPECT_EQ(capturedManagerOutput(), "Failed to connect to source " + std::to_string(refusing) + "\n");
    EXPECT_TRUE(reaches(first));
    EXPECT_FALSE(reaches(refusing));
    EXPECT_FALSE(reaches(third));

    // Added later: the notification arrives on the MIDI notification thread.
    const auto source = makeSource("later");
    EXPECT_TRUE(pumpUntil([&] { return reaches(source); }, std::chrono::seconds(5)));
    // Announced again, disconnected first: as a destination it is ignored, as a source connected.
    ASSERT_EQ(MIDIPortDisconnectSource(manager_->port, source), noErr);
    ASSERT_FALSE(reaches(source));
    MIDIObjectAddRemoveNotification added{kMIDIMsgObjectAdded, sizeof(MIDIObjectAddRemoveNotification), 0,
                                          kMIDIObjectType_Device, source, kMIDIObjectType_Destination};
    const auto notify = [&](const auto& notification) {
        manager_->handleNotification(reinterpret_cast<const MIDINotification*>(&notification));
    };
    testing::internal::CaptureStdout();
    notify(added);
    EXPECT_FALSE(reaches(source));
    added.childType = kMIDIObjectType_Source;
    notify(added);
    EXPECT_TRUE(reaches(source));

    // A refused connection, a second removal that fails, an ignored message, an I/O error.
    ASSERT_EQ(MIDISourceSetConnectFailure(source, kMIDIUnknownError), noErr);
    notify(added);
    MIDIObjectAddRemoveNotification removed = added;
    removed.messageID = kMIDIMsgObjectRemoved;
    notify(removed);
    notify(removed);
    notify(MIDINotification{kMIDIMsgSetupChanged, sizeof(MIDINotification)});
    notify(MIDIIOErrorNotification{kMIDIMsgIOError, sizeof(MIDIIOErrorNotification), source, -36});
    const std::string ref = std::to_string(source);
    EXPECT_EQ(capturedManagerOutput(), "Failed to connect to MIDI Source: " + ref +
                                           "\nFailed to disconnect MIDI Source: " + ref + "\nIO Error Occurred: -36\n");
    EXPECT_FALSE(reaches(source));
}

TEST(MIDIClientName, IsTheBundleNameFollowedByMIDIClientOrAFallback) {
    EXPECT_EQ(MIDIManager::clientName(), "HostTests_MIDIClient");
    hosttest::TempDir folder;
    ::setenv("DUNMARROW_MAIN_BUNDLE", folder.path().c_str(), 1);
    for (const char* info : {static_cast<const char*>(nullptr), "{}", R"({"CFBundleName": 7})", "not json"}) {
        if (info != nullptr) std::ofstream(folder.path() / "Info.json") << info;
        EXPECT_EQ(MIDIManager::clientName(), "MIDIManager_Client") << (info ? info : "(no Info.json)");
    }
    ::setenv("DUNMARROW_MAIN_BUNDLE", hosttest::testMainBundle().c_str(), 1);
}

}  // namespace
