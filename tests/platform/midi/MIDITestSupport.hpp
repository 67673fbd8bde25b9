#pragma once
// What MIDI clients were told and given, written down for tests to compare.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "midi/MIDIServices.hpp"

namespace testsupport {

using Words = std::vector<std::uint32_t>;
inline std::string ref(midi::MIDIObjectRef object) { return std::to_string(object); }

// A client's notifications as lines ("added 12 (24 bytes)") and their threads; what an optional
// add/remove handler returned follows the line ("added 12 (24 bytes) -> 0").
class NotificationLog {
public:
    std::function<midi::OSStatus(const midi::MIDIObjectAddRemoveNotification&)> onAddRemove;

    midi::MIDINotifyBlock block() {
        return [this](const midi::MIDINotification* message) {
            using namespace midi;
            std::string line = "setup changed";
            std::string handled;
            if (message->messageID == kMIDIMsgObjectAdded || message->messageID == kMIDIMsgObjectRemoved) {
                const auto* m = reinterpret_cast<const MIDIObjectAddRemoveNotification*>(message);
                line = (m->messageID == kMIDIMsgObjectAdded ? "added " : "removed ") + std::to_string(m->child);
                if (m->childType != kMIDIObjectType_Source || m->parent != 0) line += " not as a source";
                if (onAddRemove) handled = " -> " + std::to_string(onAddRemove(*m));
            } else if (message->messageID == kMIDIMsgIOError) {
                const auto* m = reinterpret_cast<const MIDIIOErrorNotification*>(message);
                line = "error " + std::to_string(m->errorCode) + " from " + std::to_string(m->driverDevice);
            }
            const std::lock_guard lock(mutex_);
            lines_.push_back(line + " (" + std::to_string(message->messageSize) + " bytes)" + handled);
            threads_.insert(std::this_thread::get_id());
            changed_.notify_all();
        };
    }
    // The lines so far, once there are `count` of them or ten seconds have passed.
    std::vector<std::string> lines(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return lines_.size() >= count; });
        return lines_;
    }
    std::set<std::thread::id> threads() {
        const std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::set<std::thread::id> threads_;
};

// Every word a receive block was given, stored without locks or allocation (it runs on JACK's process
// thread too), and the last list's protocol, time stamp, connection reference and thread.
struct ReceivedWords {
    std::array<std::atomic<std::uint32_t>, 1024> words{};
    std::atomic<std::size_t> count{0};
    std::atomic<std::uint32_t> lists{0};
    std::atomic<midi::MIDIProtocolID> protocol{0};
    std::atomic<midi::MIDITimeStamp> time{0};
    std::atomic<void*> refCon{nullptr};
    std::atomic<std::thread::id> thread{};

    midi::MIDIReceiveBlock block() {
        return [this](const midi::MIDIEventList* list, void* connectionRefCon) {
            protocol.store(list->protocol, std::memory_order_relaxed);
            refCon.store(connectionRefCon, std::memory_order_relaxed);
            thread.store(std::this_thread::get_id(), std::memory_order_relaxed);
            midi::MIDIEventListForEachPacket(list, [&](const midi::MIDIEventPacket& packet) {
                time.store(packet.timeStamp, std::memory_order_relaxed);
                for (std::uint32_t i = 0; i < packet.wordCount; ++i) {
                    const auto n = count.load(std::memory_order_relaxed);
                    if (n == words.size()) return;
                    words[n].store(packet.words[i], std::memory_order_relaxed);
                    count.store(n + 1, std::memory_order_release);
                }
            });
            lists.fetch_add(1, std::memory_order_release);
        };
    }
    [[nodiscard]] std::vector<std::uint32_t> since(std::size_t from) const {
        std::vector<std::uint32_t> out;
        for (auto i = from; i < count.load(std::memory_order_acquire); ++i) out.push_back(words[i].load(std::memory_order_relaxed));
        return out;
    }
};

}  // namespace testsupport
