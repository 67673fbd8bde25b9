#pragma once
// A process-wide notification centre. Observers register for a name (or every
// name) and a sender (or any sender); posting calls every matching observer
// synchronously on the posting thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <typeindex>
#include <typeinfo>

namespace foundation {

// The object a notification carries: a shared pointer that remembers the type
// it was made from, so observers can ask whether it is, say, an AUAudioUnit.
// The type test is exact: an object posted as a derived class does not answer
// to its base, so posters post under the type observers look for.
class NotificationObject {
public:
    NotificationObject() = default;
    template <class T>
    NotificationObject(std::shared_ptr<T> object)  // NOLINT: implicit on purpose
        : object_(std::move(object)), type_(typeid(T)) {}

    [[nodiscard]] explicit operator bool() const noexcept { return object_ != nullptr; }
    // The object if it was posted as a T, else null.
    template <class T>
    [[nodiscard]] std::shared_ptr<T> as() const {
        if (!object_ || type_ != std::type_index(typeid(T))) return nullptr;
        return std::static_pointer_cast<T>(object_);
    }
    // The object's address as posted: what observers' sender filters compare with.
    [[nodiscard]] const void* address() const noexcept { return object_.get(); }
    [[nodiscard]] std::type_index type() const noexcept { return type_; }

private:
    std::shared_ptr<void> object_;
    std::type_index type_{typeid(void)};
};

struct Notification {
    std::string name;
    NotificationObject object;
};

// Identifies one registration; 0 is never issued.
struct ObserverToken {
    std::uint64_t id = 0;
    [[nodiscard]] explicit operator bool() const noexcept { return id != 0; }
    friend bool operator==(ObserverToken, ObserverToken) = default;
};

class NotificationCenter {
public:
    // Called on the posting thread. May remove observers, its own included, and post.
    using Callback = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // An empty name observes every name; a null sender observes every sender.
    // The sender is compared by address only and is not kept alive.
    ObserverToken addObserver(std::string name, const void* sender, Callback callback);
    // After this returns, the observer's callback is not running on any other
    // thread and is never called again. Removing from inside the callback
    // itself returns at once (that call finishes normally). Unknown tokens are ignored.
    void removeObserver(ObserverToken token);
    // Calls every observer matching the name and the object's address, in the
    // order they registered, on this thread. Observers added during the post
    // are not called by it.
    void post(const std::string& name, const NotificationObject& object = {});
    void post(const Notification& notification);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace foundation
