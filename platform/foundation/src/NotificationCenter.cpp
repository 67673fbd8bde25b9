#include "foundation/NotificationCenter.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace foundation {

struct NotificationCenter::State {
    struct Observer {
        std::uint64_t id;
        std::string name;
        const void* sender;
        Callback callback;
        bool removed = false;
        // Threads currently inside this observer's callback (one entry per call).
        std::vector<std::thread::id> callingThreads;
    };

    std::mutex mutex;
    std::condition_variable callbackFinished;
    std::vector<std::shared_ptr<Observer>> observers;
    std::uint64_t nextId = 1;
};

NotificationCenter::NotificationCenter() : state_(std::make_unique<State>()) {}
NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: observers may post from other threads while the process exits.
    static NotificationCenter* const center = new NotificationCenter();
    return *center;
}

ObserverToken NotificationCenter::addObserver(std::string name, const void* sender,
                                              Callback callback) {
    const std::lock_guard lock(state_->mutex);
    const auto id = state_->nextId++;
    state_->observers.push_back(std::make_shared<State::Observer>(
        State::Observer{id, std::move(name), sender, std::move(callback), false, {}}));
    return ObserverToken{id};
}

void NotificationCenter::removeObserver(ObserverToken token) {
    std::unique_lock lock(state_->mutex);
    auto& observers = state_->observers;
    const auto it = std::find_if(observers.begin(), observers.end(),
                                 [&](const auto& o) { return o->id == token.id; });
    if (it == observers.end()) return;
    const auto observer = *it;
    observer->removed = true;
    observers.erase(it);
    // Wait for calls in progress on other threads; calls on this thread are the
    // callback removing itself (directly or from a nested post) and must not be waited for.
    const auto self = std::this_thread::get_id();
    state_->callbackFinished.wait(lock, [&] {
        return std::all_of(observer->callingThreads.begin(), observer->callingThreads.end(),
                           [&](std::thread::id t) { return t == self; });
    });
}

void NotificationCenter::post(const std::string& name, const NotificationObject& object) {
    post(Notification{name, object});
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<State::Observer>> matching;
    {
        const std::lock_guard lock(state_->mutex);
        for (const auto& o : state_->observers) {
            if (!o->name.empty() && o->name != notification.name) continue;
            if (o->sender != nullptr && o->sender != notification.object.address()) continue;
            matching.push_back(o);
        }
    }
    const auto self = std::this_thread::get_id();
    for (const auto& observer : matching) {
        {
            const std::lock_guard lock(state_->mutex);
            if (observer->removed) continue;
            observer->callingThreads.push_back(self);
        }
        struct Leave {
            State& state;
            State::Observer& observer;
            std::thread::id self;
            ~Leave() {
                const std::lock_guard lock(state.mutex);
                auto& threads = observer.callingThreads;
                threads.erase(std::find(threads.begin(), threads.end(), self));
                state.callbackFinished.notify_all();
            }
        } leave{*state_, *observer, self};
        observer->callback(notification);
    }
}

}  // namespace foundation
