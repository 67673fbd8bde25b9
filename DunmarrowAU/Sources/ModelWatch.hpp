#pragma once
// Ties a view component to the host's observable fields: any published change
// of a watched field invalidates the component, so that its body is evaluated
// again before the next layout. A change published on another thread (the
// engine's start and stop steps write isPlaying on its state-change queue)
// reaches the component through a main-queue job. Unsubscribes on destruction.
// Created and destroyed on the main thread.

#include <functional>
#include <memory>
#include <vector>

#include "foundation/DispatchQueue.hpp"
#include "foundation/RunLoop.hpp"
#include "ui/View.hpp"

class ModelWatch {
public:
    explicit ModelWatch(ui::Component& component) : component_(&component) {}
    ~ModelWatch() {
        for (auto& unsubscribe : unsubscribers_) unsubscribe();
    }
    ModelWatch(const ModelWatch&) = delete;
    ModelWatch& operator=(const ModelWatch&) = delete;

    // Watches `field`, an Observable<T> that outlives this watch.
    template <class Field>
    void watch(Field& field) {
        const auto token = field.subscribe([this, alive = std::weak_ptr<int>(alive_)](const auto&) {
            // Runs on the writing thread.
            if (foundation::isMainThread()) {
                component_->invalidate();
                return;
            }
            foundation::DispatchQueue::main().async([this, alive] {
                if (alive.lock()) component_->invalidate();
            });
        });
        unsubscribers_.push_back([&field, token] { field.unsubscribe(token); });
    }

private:
    ui::Component* component_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::vector<std::function<void()>> unsubscribers_;
};
