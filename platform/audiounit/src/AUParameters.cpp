#include "audiounit/AUParameters.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "foundation/ThreadContract.hpp"

namespace audiounit {

namespace {

std::atomic<std::uint64_t> nextObserverToken{1};

// Walks from a node up through its groups, calling visit on each until it
// returns true.
template <typename Visit>
void walkUp(const AUParameterNode& start, Visit&& visit) {
    if (visit(start)) return;
    for (auto group = start.parentGroup(); group; group = group->parentGroup()) {
        if (visit(*group)) return;
    }
}

template <typename T>
std::shared_ptr<const T> makeCallback(T callback) {
    if (!callback) return nullptr;
    return std::make_shared<const T>(std::move(callback));
}

std::string plainNumber(AUValue value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

}  // namespace

// MARK: - AUParameterNode

std::string AUParameterNode::keyPath() const {
    const auto parent = parentGroup();
    if (!parent) return identifier_;
    std::string path = parent->keyPath();
    if (path.empty()) return identifier_;
    return path + "." + identifier_;
}

AUParameterObserverToken AUParameterNode::addObserver(ObserverEntry entry) {
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
    entry.token = AUParameterObserverToken{nextObserverToken.fetch_add(1, std::memory_order_relaxed)};
    const AUParameterObserverToken token = entry.token;
    std::lock_guard lock(mutex_);
    auto list = observers_ ? std::make_shared<ObserverList>(*observers_) : std::make_shared<ObserverList>();
    list->push_back(std::move(entry));
    observers_ = std::move(list);
    return token;
}

AUParameterObserverToken AUParameterNode::tokenByAddingParameterObserver(AUParameterObserver observer) {
    if (!observer) return {};
    return addObserver(ObserverEntry{{}, std::move(observer), {}});
}

AUParameterObserverToken AUParameterNode::tokenByAddingParameterAutomationObserver(
    AUParameterAutomationObserver observer) {
    if (!observer) return {};
    return addObserver(ObserverEntry{{}, {}, std::move(observer)});
}

void AUParameterNode::removeParameterObserver(AUParameterObserverToken token) {
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
    if (!token) return;
    std::lock_guard lock(mutex_);
    if (!observers_) return;
    auto list = std::make_shared<ObserverList>(*observers_);
    std::erase_if(*list, [&](const ObserverEntry& e) { return e.token == token; });
    observers_ = std::move(list);
}

std::shared_ptr<const AUParameterNode::ObserverList> AUParameterNode::observers() const {
    std::lock_guard lock(mutex_);
    return observers_;
}

void AUParameterNode::setImplementorValueObserver(AUImplementorValueObserver callback) {
    auto stored = makeCallback(std::move(callback));
    std::lock_guard lock(mutex_);
    valueObserver_ = std::move(stored);
}
void AUParameterNode::setImplementorValueProvider(AUImplementorValueProvider callback) {
    auto stored = makeCallback(std::move(callback));
    std::lock_guard lock(mutex_);
    valueProvider_ = std::move(stored);
}
void AUParameterNode::setImplementorStringFromValueCallback(AUImplementorStringFromValueCallback callback) {
    auto stored = makeCallback(std::move(callback));
    std::lock_guard lock(mutex_);
    stringFromValue_ = std::move(stored);
}
void AUParameterNode::setImplementorValueFromStringCallback(AUImplementorValueFromStringCallback callback) {
    auto stored = makeCallback(std::move(callback));
    std::lock_guard lock(mutex_);
    valueFromString_ = std::move(stored);
}

std::shared_ptr<const AUImplementorValueObserver> AUParameterNode::valueObserverHere() const {
    std::lock_guard lock(mutex_);
    return valueObserver_;
}
std::shared_ptr<const AUImplementorValueProvider> AUParameterNode::valueProviderHere() const {
    std::lock_guard lock(mutex_);
    return valueProvider_;
}
std::shared_ptr<const AUImplementorStringFromValueCallback> AUParameterNode::stringFromValueHere() const {
    std::lock_guard lock(mutex_);
    return stringFromValue_;
}
std::shared_ptr<const AUImplementorValueFromStringCallback> AUParameterNode::valueFromStringHere() const {
    std::lock_guard lock(mutex_);
    return valueFromString_;
}

AUImplementorValueObserver AUParameterNode::implementorValueObserver() const {
    auto c = valueObserverHere();
    return c ? *c : AUImplementorValueObserver{};
}
AUImplementorValueProvider AUParameterNode::implementorValueProvider() const {
    auto c = valueProviderHere();
    return c ? *c : AUImplementorValueProvider{};
}
AUImplementorStringFromValueCallback AUParameterNode::implementorStringFromValueCallback() const {
    auto c = stringFromValueHere();
    return c ? *c : AUImplementorStringFromValueCallback{};
}
AUImplementorValueFromStringCallback AUParameterNode::implementorValueFromStringCallback() const {
    auto c = valueFromStringHere();
    return c ? *c : AUImplementorValueFromStringCallback{};
}

// MARK: - AUParameter

AUParameter::AUParameter(PrivateTag, std::string identifier, std::string name, AUParameterAddress address,
                         AUValue minValue, AUValue maxValue, AudioUnitParameterUnit unit,
                         std::optional<std::string> unitName, AudioUnitParameterOptions flags,
                         std::optional<std::vector<std::string>> valueStrings,
                         std::optional<AUParameterAddressList> dependentParameters)
    : AUParameterNode(std::move(identifier), std::move(name)),
      address_(address),
      minValue_(std::isfinite(minValue) ? minValue : 0.0f),
      maxValue_(std::isfinite(maxValue) ? std::max(maxValue, minValue_) : minValue_),
      unit_(unit),
      unitName_(std::move(unitName)),
      flags_(flags),
      valueStrings_(std::move(valueStrings)),
      dependentParameters_(std::move(dependentParameters)),
      value_(minValue_) {}

AUValue AUParameter::value() {
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
    std::shared_ptr<const AUImplementorValueProvider> provider;
    walkUp(*this, [&](const AUParameterNode& node) { return (provider = node.valueProviderHere()) != nullptr; });
    if (provider) return (*provider)(*this);
    return value_.load(std::memory_order_relaxed);
}

void AUParameter::setValue(AUValue value) { setValue(value, AUParameterObserverToken{}); }

void AUParameter::setValue(AUValue value, AUParameterObserverToken originator, std::uint64_t hostTime,
                           AUParameterAutomationEventType eventType) {
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
    // Stored as given, NaN and out-of-range values included: the implementor
    // (the kernel) guards its own values, and hosts read back what they set.
    value_.store(value, std::memory_order_relaxed);

    std::shared_ptr<const AUImplementorValueObserver> implementor;
    walkUp(*this, [&](const AUParameterNode& node) { return (implementor = node.valueObserverHere()) != nullptr; });
    if (implementor) (*implementor)(*this, value);

    const AUParameterAutomationEvent event{hostTime, address_, value, eventType};
    walkUp(*this, [&](const AUParameterNode& node) {
        const auto list = node.observers();
        if (!list) return false;
        for (const ObserverEntry& entry : *list) {
            if (originator && entry.token == originator) continue;
            if (entry.valueObserver) entry.valueObserver(address_, value);
            if (entry.automationObserver) entry.automationObserver(std::span(&event, 1));
        }
        return false;
    });
}

std::string AUParameter::stringFromValue(std::optional<AUValue> value) {
    std::shared_ptr<const AUImplementorStringFromValueCallback> callback;
    walkUp(*this, [&](const AUParameterNode& node) { return (callback = node.stringFromValueHere()) != nullptr; });
    if (callback) return (*callback)(*this, value);

    const AUValue v = value ? *value : this->value();
    if (valueStrings_ && std::isfinite(v)) {
        const auto index = static_cast<long long>(std::lround(v - minValue_));
        if (index >= 0 && static_cast<std::size_t>(index) < valueStrings_->size())
            return (*valueStrings_)[static_cast<std::size_t>(index)];
    }
    return plainNumber(v);
}

AUValue AUParameter::valueFromString(const std::string& text) {
    std::shared_ptr<const AUImplementorValueFromStringCallback> callback;
    walkUp(*this, [&](const AUParameterNode& node) { return (callback = node.valueFromStringHere()) != nullptr; });
    if (callback) return (*callback)(*this, text);

    if (valueStrings_) {
        const auto& strings = *valueStrings_;
        const auto it = std::find(strings.begin(), strings.end(), text);
        if (it != strings.end()) return minValue_ + static_cast<AUValue>(it - strings.begin());
    }
    // strtof follows the C locale the program runs in, as typed numbers should.
    const char* begin = text.c_str();
    char* end = nullptr;
    const float parsed = std::strtof(begin, &end);
    if (end == begin || !std::isfinite(parsed)) return std::clamp(0.0f, minValue_, maxValue_);
    return std::clamp(parsed, minValue_, maxValue_);
}

// MARK: - AUParameterGroup

AUParameterGroup::AUParameterGroup(PrivateTag, std::string identifier, std::string name,
                                   std::vector<AUParameterNodePtr> children)
    : AUParameterNode(std::move(identifier), std::move(name)) {
    std::erase(children, nullptr);
    children_ = std::move(children);
    for (const auto& child : children_) {
        if (auto parameter = std::dynamic_pointer_cast<AUParameter>(child)) {
            allParameters_.push_back(std::move(parameter));
        } else if (auto group = std::dynamic_pointer_cast<AUParameterGroup>(child)) {
            allParameters_.insert(allParameters_.end(), group->allParameters_.begin(), group->allParameters_.end());
        }
    }
}

AUParameterNodePtr AUParameterGroup::childWithIdentifier(std::string_view identifier) const {
    for (const auto& child : children_) {
        if (child->identifier() == identifier) return child;
    }
    return nullptr;
}

AUParameterNodePtr AUParameterGroup::nodeForKeyPath(std::string_view keyPath) const {
    const AUParameterGroup* group = this;
    while (true) {
        const auto dot = keyPath.find('.');
        auto child = group->childWithIdentifier(keyPath.substr(0, dot));
        if (!child || dot == std::string_view::npos) return child;
        group = dynamic_cast<const AUParameterGroup*>(child.get());
        if (!group) return nullptr;
        keyPath.remove_prefix(dot + 1);
    }
}

AUParameterPtr AUParameterGroup::parameterForKeyPath(std::string_view keyPath) const {
    return std::dynamic_pointer_cast<AUParameter>(nodeForKeyPath(keyPath));
}

AUParameterPtr AUParameterGroup::parameterWithIdentifiers(std::initializer_list<std::string_view> identifiers) const {
    AUParameterNodePtr node;
    const AUParameterGroup* group = this;
    for (std::string_view identifier : identifiers) {
        if (!group) return nullptr;
        node = group->childWithIdentifier(identifier);
        if (!node) return nullptr;
        group = dynamic_cast<const AUParameterGroup*>(node.get());
    }
    return std::dynamic_pointer_cast<AUParameter>(node);
}

// MARK: - AUParameterTree

AUParameterTree::AUParameterTree(PrivateTag tag, std::vector<AUParameterNodePtr> children)
    : AUParameterGroup(tag, {}, {}, std::move(children)) {
    for (const auto& parameter : allParameters_) byAddress_.try_emplace(parameter->address(), parameter);
}

AUParameterPtr AUParameterTree::createParameter(std::string identifier, std::string name, AUParameterAddress address,
                                                AUValue minValue, AUValue maxValue, AudioUnitParameterUnit unit,
                                                std::optional<std::string> unitName, AudioUnitParameterOptions flags,
                                                std::optional<std::vector<std::string>> valueStrings,
                                                std::optional<AUParameterAddressList> dependentParameters) {
    return std::make_shared<AUParameter>(AUParameter::PrivateTag{}, std::move(identifier), std::move(name), address,
                                         minValue, maxValue, unit, std::move(unitName), flags,
                                         std::move(valueStrings), std::move(dependentParameters));
}

AUParameterGroupPtr AUParameterTree::createGroup(std::string identifier, std::string name,
                                                 std::vector<AUParameterNodePtr> children) {
    auto group = std::make_shared<AUParameterGroup>(PrivateTag{}, std::move(identifier), std::move(name),
                                                    std::move(children));
    for (const auto& child : group->children_) child->parent_ = group;
    return group;
}

AUParameterTreePtr AUParameterTree::createTree(std::vector<AUParameterNodePtr> children) {
    auto tree = std::make_shared<AUParameterTree>(PrivateTag{}, std::move(children));
    for (const auto& child : tree->children_) child->parent_ = tree;
    return tree;
}

AUParameterPtr AUParameterTree::parameterWithAddress(AUParameterAddress address) const {
    const auto it = byAddress_.find(address);
    return it == byAddress_.end() ? nullptr : it->second;
}

}  // namespace audiounit
