#pragma once
// A MIDI client's notifications written down as lines ("added 12 (24 bytes)"),
// with the threads they came on, for tests that compare what was announced.
// A handler may act on each added or removed source (as a host connects it);
// what it returned follows the line ("added 12 (24 bytes) -> 0").

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

}  // namespace testsupport
