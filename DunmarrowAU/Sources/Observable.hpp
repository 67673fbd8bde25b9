#pragma once
// A value the window watches. Writing a value different from the current one
// stores it and calls every subscriber with the new value; writing an equal
// value stores it without calling anyone, so views only re-render on change.
//
// Threads: the host writes its observable fields on the main thread only
// (the engine's start and stop steps write isPlaying and outputLossReason on
// the state-change queue while the main thread waits for them). Subscribers run on the writing
// thread and may read any field, but must not subscribe or unsubscribe others.

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

// With PublishEqualWrites, every write publishes: for values replaced whole,
// such as the view model, where any write is news to the window.
template <typename T, bool PublishEqualWrites = false>
class Observable {
public:
    using Callback = std::function<void(const T&)>;
    using Token = std::uint64_t;

    Observable() = default;
    explicit Observable(T initial) : value_(std::move(initial)) {}
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    [[nodiscard]] const T& get() const noexcept { return value_; }
    [[nodiscard]] const T& operator()() const noexcept { return value_; }

    // Stores `value`; publishes it when it differs from the current one (or always,
    // with PublishEqualWrites).
    // Returns whether it published.
    bool set(T value) {
        if constexpr (!PublishEqualWrites) {
            if (value == value_) {
                value_ = std::move(value);
                return false;
            }
        }
        value_ = std::move(value);
        ++publications_;
        const auto subscribers = subscribers_;  // a callback may unsubscribe itself
        for (const auto& [token, callback] : subscribers) callback(value_);
        return true;
    }

    // Calls `callback` after every published change. Returns its token.
    Token subscribe(Callback callback) {
        subscribers_.emplace_back(++lastToken_, std::move(callback));
        return lastToken_;
    }
    void unsubscribe(Token token) {
        std::erase_if(subscribers_, [token](const auto& entry) { return entry.first == token; });
    }

    // How many changes have been published so far.
    [[nodiscard]] std::uint64_t publications() const noexcept { return publications_; }

private:
    T value_{};
    std::vector<std::pair<Token, Callback>> subscribers_;
    Token lastToken_ = 0;
    std::uint64_t publications_ = 0;
};
