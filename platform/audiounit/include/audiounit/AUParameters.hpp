#pragma once
// The parameter tree an audio unit publishes: groups and parameters, built once
// and immutable in shape, with values that any thread may read and write.
//
// A tree (AUParameterTree) is a group without a parent; a group holds an ordered
// list of children (groups, parameters or plain nodes). Values travel through
// three implementor callbacks that the audio unit installs on the tree (or on a
// group): the value observer receives every write, the value provider answers
// every read, the string callbacks turn values into texts and back. Anyone may
// add observers on a parameter, a group or the tree; an observer on a group sees
// the changes of every parameter below it.
//
// Threads: values may be read and written, and observers added and removed, on
// any thread except the render thread. Observers and implementor callbacks are
// called on the thread that writes the value, with no lock of the tree held, so
// an observer may write other values. An observer is never called for a write
// whose originator is its own token.

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "audiounit/RenderContract.hpp"

namespace audiounit {

using AudioUnitParameterUnit = std::uint32_t;
using AudioUnitParameterOptions = std::uint32_t;
using AUParameterAddressList = std::vector<AUParameterAddress>;

// Units.
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Generic = 0;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Indexed = 1;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Boolean = 2;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Percent = 3;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Seconds = 4;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_SampleFrames = 5;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Phase = 6;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Rate = 7;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Hertz = 8;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Cents = 9;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_RelativeSemiTones = 10;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_MIDINoteNumber = 11;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_MIDIController = 12;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Decibels = 13;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_LinearGain = 14;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Degrees = 15;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_EqualPowerCrossfade = 16;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_MixerFaderCurve1 = 17;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Pan = 18;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Meters = 19;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_AbsoluteCents = 20;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Octaves = 21;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_BPM = 22;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Beats = 23;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Milliseconds = 24;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Ratio = 25;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_CustomUnit = 26;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_MIDI2Controller = 27;

// Flags.
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_CFNameRelease = 1u << 4;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_OmitFromPresets = 1u << 13;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_PlotHistory = 1u << 14;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_MeterReadOnly = 1u << 15;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_DisplayLogarithmic = 1u << 22;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsHighResolution = 1u << 23;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_NonRealTime = 1u << 24;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_CanRamp = 1u << 25;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_ExpertMode = 1u << 26;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_HasCFNameString = 1u << 27;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsGlobalMeta = 1u << 28;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsElementMeta = 1u << 29;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsReadable = 1u << 30;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsWritable = 1u << 31;

// What kind of change a write is: a plain value, the start of a gesture
// (touch) or its end (release).
enum class AUParameterAutomationEventType : std::uint32_t { Value = 0, Touch = 1, Release = 2 };
inline constexpr AUParameterAutomationEventType AUParameterAutomationEventTypeValue =
    AUParameterAutomationEventType::Value;
inline constexpr AUParameterAutomationEventType AUParameterAutomationEventTypeTouch =
    AUParameterAutomationEventType::Touch;
inline constexpr AUParameterAutomationEventType AUParameterAutomationEventTypeRelease =
    AUParameterAutomationEventType::Release;

struct AUParameterAutomationEvent {
    std::uint64_t hostTime = 0;
    AUParameterAddress address = 0;
    AUValue value = 0;
    AUParameterAutomationEventType eventType = AUParameterAutomationEventType::Value;
};

// Identifies one installed observer. The null token (id 0) is never handed out;
// it is the originator of writes that come from nobody in particular.
struct AUParameterObserverToken {
    std::uint64_t id = 0;
    explicit operator bool() const noexcept { return id != 0; }
    friend bool operator==(AUParameterObserverToken, AUParameterObserverToken) = default;
};

class AUParameter;
class AUParameterGroup;
class AUParameterTree;

// Called on the thread that wrote the value; must not block for long. May
// write other parameters.
using AUParameterObserver = std::function<void(AUParameterAddress address, AUValue value)>;
using AUParameterAutomationObserver = std::function<void(std::span<const AUParameterAutomationEvent> events)>;

// Implementor callbacks, installed by the audio unit. Called on the thread that
// reads or writes the value (never the render thread); they must not write the
// same parameter again.
using AUImplementorValueObserver = std::function<void(AUParameter& parameter, AUValue value)>;
using AUImplementorValueProvider = std::function<AUValue(AUParameter& parameter)>;
using AUImplementorStringFromValueCallback =
    std::function<std::string(AUParameter& parameter, std::optional<AUValue> value)>;
using AUImplementorValueFromStringCallback = std::function<AUValue(AUParameter& parameter, const std::string& text)>;

// Any node of the tree. A plain AUParameterNode (made with make()) is an empty
// placeholder; groups and parameters are its kinds.
class AUParameterNode : public std::enable_shared_from_this<AUParameterNode> {
public:
    AUParameterNode() = default;
    virtual ~AUParameterNode() = default;
    AUParameterNode(const AUParameterNode&) = delete;
    AUParameterNode& operator=(const AUParameterNode&) = delete;

    // An empty node with no identifier and no name.
    static std::shared_ptr<AUParameterNode> make() { return std::make_shared<AUParameterNode>(); }

    [[nodiscard]] const std::string& identifier() const noexcept { return identifier_; }
    [[nodiscard]] const std::string& displayName() const noexcept { return displayName_; }
    // The identifiers from the top group down to this node, joined with ".":
    // "global.drive". The tree itself has an empty key path.
    [[nodiscard]] std::string keyPath() const;
    // The group holding this node; null for a tree or a node not in a group.
    [[nodiscard]] std::shared_ptr<AUParameterGroup> parentGroup() const { return parent_.lock(); }

    // Observers of this node: for a parameter, its own changes; for a group or
    // a tree, the changes of every parameter below it. Returns the token to
    // pass as originator and to remove the observer.
    AUParameterObserverToken tokenByAddingParameterObserver(AUParameterObserver observer);
    AUParameterObserverToken tokenByAddingParameterAutomationObserver(AUParameterAutomationObserver observer);
    // Removes an observer added on this node. After it returns, the observer is
    // not called for later writes; a call already running on another thread may
    // still finish.
    void removeParameterObserver(AUParameterObserverToken token);

    // Implementor callbacks. Set on the tree (or a group), they serve every
    // parameter below it that has no closer one.
    void setImplementorValueObserver(AUImplementorValueObserver callback);
    void setImplementorValueProvider(AUImplementorValueProvider callback);
    void setImplementorStringFromValueCallback(AUImplementorStringFromValueCallback callback);
    void setImplementorValueFromStringCallback(AUImplementorValueFromStringCallback callback);
    [[nodiscard]] AUImplementorValueObserver implementorValueObserver() const;
    [[nodiscard]] AUImplementorValueProvider implementorValueProvider() const;
    [[nodiscard]] AUImplementorStringFromValueCallback implementorStringFromValueCallback() const;
    [[nodiscard]] AUImplementorValueFromStringCallback implementorValueFromStringCallback() const;

protected:
    AUParameterNode(std::string identifier, std::string displayName)
        : identifier_(std::move(identifier)), displayName_(std::move(displayName)) {}

    friend class AUParameter;
    friend class AUParameterGroup;
    friend class AUParameterTree;

    struct ObserverEntry {
        AUParameterObserverToken token;
        AUParameterObserver valueObserver;
        AUParameterAutomationObserver automationObserver;
    };
    using ObserverList = std::vector<ObserverEntry>;

    // Snapshots taken under the node's lock and used without it.
    [[nodiscard]] std::shared_ptr<const ObserverList> observers() const;
    [[nodiscard]] std::shared_ptr<const AUImplementorValueObserver> valueObserverHere() const;
    [[nodiscard]] std::shared_ptr<const AUImplementorValueProvider> valueProviderHere() const;
    [[nodiscard]] std::shared_ptr<const AUImplementorStringFromValueCallback> stringFromValueHere() const;
    [[nodiscard]] std::shared_ptr<const AUImplementorValueFromStringCallback> valueFromStringHere() const;

    AUParameterObserverToken addObserver(ObserverEntry entry);

    std::string identifier_;
    std::string displayName_;
    // Set once, when the node is put into a group, before the group is shared.
    std::weak_ptr<AUParameterGroup> parent_;

    mutable std::mutex mutex_;
    std::shared_ptr<const ObserverList> observers_;
    std::shared_ptr<const AUImplementorValueObserver> valueObserver_;
    std::shared_ptr<const AUImplementorValueProvider> valueProvider_;
    std::shared_ptr<const AUImplementorStringFromValueCallback> stringFromValue_;
    std::shared_ptr<const AUImplementorValueFromStringCallback> valueFromString_;
};

using AUParameterNodePtr = std::shared_ptr<AUParameterNode>;
using AUParameterPtr = std::shared_ptr<AUParameter>;
using AUParameterGroupPtr = std::shared_ptr<AUParameterGroup>;
using AUParameterTreePtr = std::shared_ptr<AUParameterTree>;

class AUParameter final : public AUParameterNode {
public:
    struct PrivateTag {
        explicit PrivateTag() = default;
    };
    AUParameter(PrivateTag, std::string identifier, std::string name, AUParameterAddress address, AUValue minValue,
                AUValue maxValue, AudioUnitParameterUnit unit, std::optional<std::string> unitName,
                AudioUnitParameterOptions flags, std::optional<std::vector<std::string>> valueStrings,
                std::optional<AUParameterAddressList> dependentParameters);

    [[nodiscard]] AUParameterAddress address() const noexcept { return address_; }
    [[nodiscard]] AUValue minValue() const noexcept { return minValue_; }
    [[nodiscard]] AUValue maxValue() const noexcept { return maxValue_; }
    [[nodiscard]] AudioUnitParameterUnit unit() const noexcept { return unit_; }
    [[nodiscard]] const std::optional<std::string>& unitName() const noexcept { return unitName_; }
    [[nodiscard]] AudioUnitParameterOptions flags() const noexcept { return flags_; }
    [[nodiscard]] const std::optional<std::vector<std::string>>& valueStrings() const noexcept {
        return valueStrings_;
    }
    [[nodiscard]] const std::optional<AUParameterAddressList>& dependentParameters() const noexcept {
        return dependentParameters_;
    }

    // The value: the nearest implementor value provider's answer once one is
    // installed, else the last value written.
    [[nodiscard]] AUValue value();
    // The last value written, without asking the value provider.
    [[nodiscard]] AUValue storedValue() const noexcept { return value_.load(std::memory_order_relaxed); }
    // Writes a value from nobody in particular; every observer sees it.
    void setValue(AUValue value);
    // Writes a value: stores it (clamped to the range; a value that is not a
    // number is ignored), hands it to the nearest implementor value observer,
    // then calls every observer of this parameter and of its groups except the
    // originator's.
    void setValue(AUValue value, AUParameterObserverToken originator, std::uint64_t hostTime = 0,
                  AUParameterAutomationEventType eventType = AUParameterAutomationEventType::Value);

    // Text for a value (the current one when absent): the nearest implementor
    // string callback, else the indexed value string, else a plain number.
    [[nodiscard]] std::string stringFromValue(std::optional<AUValue> value = std::nullopt);
    // The value a text stands for: the nearest implementor callback, else the
    // index of a matching value string, else the number read from the text
    // (0 when there is none), clamped to the range.
    [[nodiscard]] AUValue valueFromString(const std::string& text);

private:
    AUParameterAddress address_;
    AUValue minValue_;
    AUValue maxValue_;
    AudioUnitParameterUnit unit_;
    std::optional<std::string> unitName_;
    AudioUnitParameterOptions flags_;
    std::optional<std::vector<std::string>> valueStrings_;
    std::optional<AUParameterAddressList> dependentParameters_;
    std::atomic<AUValue> value_{0};
};

class AUParameterGroup : public AUParameterNode {
public:
    struct PrivateTag {
        explicit PrivateTag() = default;
    };
    AUParameterGroup(PrivateTag, std::string identifier, std::string name, std::vector<AUParameterNodePtr> children);

    // Children in the order given at creation.
    [[nodiscard]] const std::vector<AUParameterNodePtr>& children() const noexcept { return children_; }
    // Every parameter below this group, depth first, in children order.
    [[nodiscard]] const std::vector<AUParameterPtr>& allParameters() const noexcept { return allParameters_; }

    // The direct child with this identifier (the first, if several share it), or null.
    [[nodiscard]] AUParameterNodePtr childWithIdentifier(std::string_view identifier) const;
    // The node reached by a dotted path of identifiers below this group
    // ("global.drive"), or null.
    [[nodiscard]] AUParameterNodePtr nodeForKeyPath(std::string_view keyPath) const;
    // The parameter reached by a dotted key path, or null.
    [[nodiscard]] AUParameterPtr parameterForKeyPath(std::string_view keyPath) const;
    // The parameter reached by identifiers, one per level: {"global", "drive"}.
    [[nodiscard]] AUParameterPtr parameterWithIdentifiers(std::initializer_list<std::string_view> identifiers) const;

protected:
    friend class AUParameterTree;
    std::vector<AUParameterNodePtr> children_;
    std::vector<AUParameterPtr> allParameters_;
};

class AUParameterTree final : public AUParameterGroup {
public:
    AUParameterTree(PrivateTag tag, std::vector<AUParameterNodePtr> children);

    // A new parameter whose value starts at minValue. unitName, valueStrings and
    // dependentParameters may be absent.
    static AUParameterPtr createParameter(std::string identifier, std::string name, AUParameterAddress address,
                                          AUValue minValue, AUValue maxValue, AudioUnitParameterUnit unit,
                                          std::optional<std::string> unitName, AudioUnitParameterOptions flags,
                                          std::optional<std::vector<std::string>> valueStrings,
                                          std::optional<AUParameterAddressList> dependentParameters);
    // A group owning the given children (null entries are dropped). Each node
    // belongs to one group: pass a node to one group only.
    static AUParameterGroupPtr createGroup(std::string identifier, std::string name,
                                           std::vector<AUParameterNodePtr> children);
    // A tree owning the given children.
    static AUParameterTreePtr createTree(std::vector<AUParameterNodePtr> children);

    // The parameter with this address (the first in tree order), or null.
    [[nodiscard]] AUParameterPtr parameterWithAddress(AUParameterAddress address) const;

private:
    std::unordered_map<AUParameterAddress, AUParameterPtr> byAddress_;
};

}  // namespace audiounit
