#pragma once
// The editor's mirror of the audio unit's parameter tree. Views bind to these
// nodes, never to the platform tree: each ObservableAUParameter holds the value
// as an observable property, forwards user edits to the real parameter with the
// right automation event (value, touch, release) and brings changes made
// elsewhere back onto the main thread without sending them back.
//
// Threads: everything here runs on the main thread, except the platform
// observer installed on each parameter, which may be called on any thread and
// only schedules work on the main queue.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "audiounit/AUParameters.hpp"
#include "ui/State.hpp"

class ObservableAUParameter;

class ObservableAUParameterNode : public std::enable_shared_from_this<ObservableAUParameterNode> {
public:
    ObservableAUParameterNode() = default;
    virtual ~ObservableAUParameterNode() = default;
    ObservableAUParameterNode(const ObservableAUParameterNode&) = delete;
    ObservableAUParameterNode& operator=(const ObservableAUParameterNode&) = delete;

    // The child of a group with this identifier. A missing identifier, or a
    // receiver that is not a group, is a programming error and stops the process.
    [[nodiscard]] std::shared_ptr<ObservableAUParameterNode> lookupNode(std::string_view identifier);
    // The same for a child that must be a parameter.
    [[nodiscard]] std::shared_ptr<ObservableAUParameter> lookupParameter(std::string_view identifier);

    // The node's textual form in error messages: its type name.
    [[nodiscard]] virtual std::string description() const = 0;
};

using ObservableAUParameterNodePtr = std::shared_ptr<ObservableAUParameterNode>;

class ObservableAUParameterGroup final : public ObservableAUParameterNode {
public:
    // Mirrors a platform group, recursively. A child that is neither a group
    // nor a parameter is a programming error.
    static std::shared_ptr<ObservableAUParameterGroup> make(const audiounit::AUParameterGroup& group);

    [[nodiscard]] const std::map<std::string, ObservableAUParameterNodePtr>& children() const noexcept {
        return children_;
    }
    [[nodiscard]] std::string description() const override { return "ObservableAUParameterGroup"; }

private:
    std::map<std::string, ObservableAUParameterNodePtr> children_;
};

class ObservableAUParameter final : public ObservableAUParameterNode {
public:
    enum class EditingState : std::uint8_t { inactive = 0, began = 1, active = 2, ended = 3, hostUpdate = 4 };

    struct PrivateTag {
        explicit PrivateTag() = default;
    };
    ObservableAUParameter(PrivateTag, const audiounit::AUParameterPtr& parameter);

    // Mirrors one platform parameter and installs the observer that carries
    // changes made elsewhere onto the main queue.
    static std::shared_ptr<ObservableAUParameter> make(const audiounit::AUParameterPtr& parameter);

    [[nodiscard]] std::string description() const override { return "ObservableAUParameter"; }

    // Observable properties: reading one from a view body subscribes the view.
    [[nodiscard]] audiounit::AUParameterPtr parameter() const;
    [[nodiscard]] audiounit::AUParameterObserverToken observerToken() const;
    [[nodiscard]] EditingState editingState() const;
    [[nodiscard]] float value() const;
    // Stores the value (notifying views when it changed) and then always sends
    // it to the audio unit, also when it equals the old one.
    void setValue(float newValue);
    // A read and write path for controls.
    [[nodiscard]] ui::Binding<float> valueBinding();

    [[nodiscard]] float min() const noexcept { return min_; }
    [[nodiscard]] float max() const noexcept { return max_; }
    [[nodiscard]] const std::string& displayName() const noexcept { return displayName_; }
    [[nodiscard]] float defaultValue() const noexcept { return defaultValue_; }
    [[nodiscard]] audiounit::AudioUnitParameterUnit unit() const noexcept { return unit_; }

    // Called by controls when a gesture starts (true) or ends (false); the end
    // sends the current value once more, as the release event.
    void onEditingChanged(bool editing);

    // A change made elsewhere, delivered on the main queue. Ignored while the
    // user is in a gesture; otherwise shown without being sent back.
    void applyHostUpdate(audiounit::AUParameterAddress address, float newValue);

private:
    void setEditingState(EditingState state);
    void sendValueToAudioUnit();

    std::weak_ptr<audiounit::AUParameter> parameter_;
    audiounit::AUParameterObserverToken observerToken_{};
    EditingState editingState_ = EditingState::inactive;
    float min_ = 0;
    float max_ = 0;
    std::string displayName_;
    float defaultValue_ = 0;
    audiounit::AudioUnitParameterUnit unit_ = 0;
    float value_ = 0;
    ui::ObservationRegistrar registrar_;
};

// A float as its shortest text that reads back to the same value, with ".0"
// after a whole number: 65 → "65.0", 0.8 → "0.8".
[[nodiscard]] std::string floatDescription(float value);
