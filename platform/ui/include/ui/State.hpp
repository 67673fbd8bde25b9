#pragma once
// Observation: values that record who read them and tell those readers when
// they change. A view body is evaluated inside a tracking scope; every
// observable value it reads subscribes the scope, and the next change of any of
// them invalidates the body once (subscriptions are one-shot and renewed by the
// next evaluation). Main thread only.

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace ui {

// The receiver of a change: what a tracking scope holds while it is alive.
class ObservationScope {
public:
    explicit ObservationScope(std::function<void()> onChange) : onChange_(std::move(onChange)) {}
    void fire() {
        if (onChange_) onChange_();
    }

private:
    std::function<void()> onChange_;
};

// A source of change notifications; observable values and objects contain one.
class ObservationRegistrar {
public:
    // Subscribes the scope being tracked on this thread, if any.
    void access() const;
    // Invalidates every subscribed scope that is still alive, once.
    void didChange();

private:
    mutable std::vector<std::weak_ptr<ObservationScope>> observers_;
};

// Runs `body` with `scope` tracking reads; nests (the inner scope wins).
template <class F>
decltype(auto) withObservationTracking(const std::shared_ptr<ObservationScope>& scope, F&& body);

namespace detail {
std::weak_ptr<ObservationScope>& currentScopeOwner();
}  // namespace detail

class TrackingGuard {
public:
    explicit TrackingGuard(const std::shared_ptr<ObservationScope>& scope)
        : previous_(std::exchange(detail::currentScopeOwner(), scope)) {}
    ~TrackingGuard() { detail::currentScopeOwner() = previous_; }
    TrackingGuard(const TrackingGuard&) = delete;
    TrackingGuard& operator=(const TrackingGuard&) = delete;

private:
    std::weak_ptr<ObservationScope> previous_;
};

template <class F>
decltype(auto) withObservationTracking(const std::shared_ptr<ObservationScope>& scope, F&& body) {
    TrackingGuard guard(scope);
    return std::forward<F>(body)();
}

// One observable value. Reading it subscribes the current scope; writing it
// notifies the subscribers (always, so that a NaN or an equal write still
// redraws: a write is a fact the readers may want to see).
template <class T>
class ObservableValue {
public:
    ObservableValue() = default;
    explicit ObservableValue(T initial) : value_(std::move(initial)) {}

    [[nodiscard]] const T& get() const {
        registrar_.access();
        return value_;
    }
    // Reads without subscribing.
    [[nodiscard]] const T& peek() const { return value_; }
    void set(T newValue) {
        value_ = std::move(newValue);
        registrar_.didChange();
    }

private:
    T value_{};
    ObservationRegistrar registrar_;
};

// A read and write access path to a value owned elsewhere.
template <class T>
class Binding {
public:
    Binding() = default;
    Binding(std::function<T()> getter, std::function<void(T)> setter) : get_(std::move(getter)), set_(std::move(setter)) {}
    static Binding constant(T value) {
        return Binding([value] { return value; }, [](T) {});
    }

    [[nodiscard]] T get() const { return get_ ? get_() : T{}; }
    void set(T value) const {
        if (set_) set_(std::move(value));
    }
    [[nodiscard]] explicit operator bool() const { return static_cast<bool>(get_); }

private:
    std::function<T()> get_;
    std::function<void(T)> set_;
};

// View state: a shared observable value. Copies of a State refer to the same
// storage, so a view object keeps its state across evaluations of its body.
template <class T>
class State {
public:
    State() : box_(std::make_shared<ObservableValue<T>>()) {}
    explicit State(T initial) : box_(std::make_shared<ObservableValue<T>>(std::move(initial))) {}

    [[nodiscard]] const T& get() const { return box_->get(); }
    [[nodiscard]] const T& peek() const { return box_->peek(); }
    void set(T value) const { box_->set(std::move(value)); }
    [[nodiscard]] Binding<T> binding() const {
        auto box = box_;
        return Binding<T>([box] { return box->get(); }, [box](T v) { box->set(std::move(v)); });
    }

private:
    std::shared_ptr<ObservableValue<T>> box_;
};

// Keyboard focus of one field, bound with `View::focused`.
using FocusState = State<bool>;

}  // namespace ui
