#include "ui/State.hpp"

#include <algorithm>

namespace ui {

namespace detail {
std::weak_ptr<ObservationScope>& currentScopeOwner() {
    static thread_local std::weak_ptr<ObservationScope> scope;
    return scope;
}
}  // namespace detail

void ObservationRegistrar::access() const {
    auto scope = detail::currentScopeOwner().lock();
    if (!scope) return;
    const bool known = std::any_of(observers_.begin(), observers_.end(),
                                   [&](const std::weak_ptr<ObservationScope>& w) { return w.lock() == scope; });
    if (!known) observers_.push_back(scope);
}

void ObservationRegistrar::didChange() {
    auto observers = std::exchange(observers_, {});
    for (auto& weak : observers)
        if (auto scope = weak.lock()) scope->fire();
}

}  // namespace ui
