#include "ObservableAUParameter.hpp"

#include <charconv>
#include <cstdio>
#include <iostream>

#include "foundation/DispatchQueue.hpp"
#include "foundation/Logger.hpp"
#include "foundation/RunLoop.hpp"

using audiounit::AUParameter;
using audiounit::AUParameterGroup;

std::string floatDescription(float value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".eEn") == std::string::npos) text += ".0";  // "n": inf and nan
    return text;
}

namespace {

ObservableAUParameterGroup& requireGroup(ObservableAUParameterNode& node) {
    auto* group = dynamic_cast<ObservableAUParameterGroup*>(&node);
    if (group == nullptr) {
        std::string message =
            "Calling subscript is only supported on ObservableAUParameterGroups, you called it on " +
            node.description();
        foundation::fatalError(message.c_str());
    }
    if (group->children().empty()) foundation::fatalError("This group has no children");
    return *group;
}

[[noreturn]] void missingChild(const ObservableAUParameterGroup& group, std::string_view identifier) {
    std::string line = "Parameter Group " + group.description() + " doesn't have a child node named " +
                       std::string(identifier) + ", did you mean one of: \n ";
    bool first = true;
    for (const auto& entry : group.children()) {
        if (!first) line += '\n';
        line += entry.first;
        first = false;
    }
    std::cout << line << std::endl;
    foundation::fatalError("");
}

}  // namespace

std::shared_ptr<ObservableAUParameterNode> ObservableAUParameterNode::lookupNode(std::string_view identifier) {
    auto& group = requireGroup(*this);
    auto found = group.children().find(std::string(identifier));
    if (found == group.children().end()) missingChild(group, identifier);
    return found->second;
}

std::shared_ptr<ObservableAUParameter> ObservableAUParameterNode::lookupParameter(std::string_view identifier) {
    auto& group = requireGroup(*this);
    auto found = group.children().find(std::string(identifier));
    if (found == group.children().end()) missingChild(group, identifier);
    auto parameter = std::dynamic_pointer_cast<ObservableAUParameter>(found->second);
    if (!parameter) {
        std::string message =
            "Parameter node named " + std::string(identifier) + " cannot be converted to the requested type";
        foundation::fatalError(message.c_str());
    }
    return parameter;
}

std::shared_ptr<ObservableAUParameterGroup> ObservableAUParameterGroup::make(const AUParameterGroup& group) {
    auto result = std::make_shared<ObservableAUParameterGroup>();
    for (const auto& child : group.children()) {
        ObservableAUParameterNodePtr node;
        if (auto parameter = std::dynamic_pointer_cast<AUParameter>(child)) {
            node = ObservableAUParameter::make(parameter);
        } else if (auto subgroup = std::dynamic_pointer_cast<AUParameterGroup>(child)) {
            node = make(*subgroup);
        } else {
            foundation::fatalError("Unexpected AUParameterNode subclass");
        }
        result->children_[child->identifier()] = std::move(node);  // a later twin replaces an earlier one
    }
    return result;
}

ObservableAUParameter::ObservableAUParameter(PrivateTag, const audiounit::AUParameterPtr& parameter)
    : parameter_(parameter),
      min_(parameter->minValue()),
      max_(parameter->maxValue()),
      displayName_(parameter->displayName()),
      unit_(parameter->unit()),
      value_(parameter->value()) {}

std::shared_ptr<ObservableAUParameter> ObservableAUParameter::make(const audiounit::AUParameterPtr& parameter) {
    auto node = std::make_shared<ObservableAUParameter>(PrivateTag{}, parameter);
    std::weak_ptr<ObservableAUParameter> weakNode = node;
    // Any thread: touches no node state, only hands the change to the main queue.
    auto token = parameter->tokenByAddingParameterObserver([weakNode](audiounit::AUParameterAddress address,
                                                                     audiounit::AUValue value) {
        foundation::DispatchQueue::main().async([weakNode, address, value] {
            if (auto strong = weakNode.lock()) strong->applyHostUpdate(address, value);
        });
    });
    node->observerToken_ = token;
    node->registrar_.didChange();
    return node;
}

audiounit::AUParameterPtr ObservableAUParameter::parameter() const {
    registrar_.access();
    return parameter_.lock();
}

audiounit::AUParameterObserverToken ObservableAUParameter::observerToken() const {
    registrar_.access();
    return observerToken_;
}

ObservableAUParameter::EditingState ObservableAUParameter::editingState() const {
    registrar_.access();
    return editingState_;
}

float ObservableAUParameter::value() const {
    registrar_.access();
    return value_;
}

void ObservableAUParameter::setEditingState(EditingState state) {
    if (state == editingState_) return;
    editingState_ = state;
    registrar_.didChange();
}

void ObservableAUParameter::setValue(float newValue) {
    bool changed = !(newValue == value_);
    value_ = newValue;
    if (changed) registrar_.didChange();
    sendValueToAudioUnit();
}

ui::Binding<float> ObservableAUParameter::valueBinding() {
    std::weak_ptr<ObservableAUParameter> weakSelf =
        std::static_pointer_cast<ObservableAUParameter>(shared_from_this());
    return ui::Binding<float>(
        [weakSelf] {
            auto self = weakSelf.lock();
            return self ? self->value() : 0.0f;
        },
        [weakSelf](float v) {
            if (auto self = weakSelf.lock()) self->setValue(v);
        });
}

void ObservableAUParameter::onEditingChanged(bool editing) {
    if (editing) {
        setEditingState(EditingState::began);
    } else {
        setEditingState(EditingState::ended);
        setValue(value_);
    }
}

void ObservableAUParameter::sendValueToAudioUnit() {
    if (editingState_ == EditingState::hostUpdate) return;  // came from the audio unit: don't echo it
    auto eventType = audiounit::AUParameterAutomationEventType::Value;
    if (editingState_ == EditingState::ended) {
        setEditingState(EditingState::inactive);
        eventType = audiounit::AUParameterAutomationEventType::Release;
    } else if (editingState_ == EditingState::began) {
        setEditingState(EditingState::active);
        eventType = audiounit::AUParameterAutomationEventType::Touch;
    }
    if (auto parameter = parameter_.lock()) parameter->setValue(value_, observerToken_, 0, eventType);
    foundation::writeDiagnostic("Param was set " + floatDescription(value_));
}

void ObservableAUParameter::applyHostUpdate(audiounit::AUParameterAddress address, float newValue) {
    auto parameter = parameter_.lock();
    if (!parameter || parameter->address() != address) return;
    if (editingState_ != EditingState::inactive) return;  // the user's gesture wins
    setEditingState(EditingState::hostUpdate);
    setValue(newValue);
    setEditingState(EditingState::inactive);
}
