#pragma once
// The effect's fourteen parameters as data: the one table that the parameter
// tree, the factory presets' checks, the value texts, the LV2 ports and Turtle
// files and the kernel's target storage are derived from. Below it, the
// kernel's own storage of the targets, checked against the table when this
// header compiles.
//
// Standard library only, so that the kernel, the audio-unit layer and the
// generators can all include it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace dunmarrow_dsp {

// Parameter addresses: the key of the kernel's targets, the presets' values
// and the value texts. Fixed, and not the tree order.
enum ParameterAddress : std::uint64_t {
    kDriveAddress = 0,
    kTightAddress = 1,
    kBiteAddress = 2,
    kCabAddress = 3,
    kGainAddress = 4,
    kBodyAddress = 5,
    kCrushAddress = 6,
    kDensityAddress = 7,
    kGrindAddress = 8,
    kTouchAddress = 9,
    kDecimationAddress = 10,
    kDoubleTrackAddress = 11,
    kStereoSpreadAddress = 12,
    kLiveSafeAddress = 13,
};

// Units and flags, numbered as the audio-unit platform numbers them
// (AudioUnitParameterUnit, AudioUnitParameterOptions); the parameter tree's
// builder checks that they agree.
enum class ParameterUnit : std::uint32_t { Generic = 0, Boolean = 2, Percent = 3, LinearGain = 14 };
inline constexpr std::uint32_t kParameterFlagReadable = 0x40000000u;
inline constexpr std::uint32_t kParameterFlagWritable = 0x80000000u;

// How a value reads as text: printf's "%.f" or "%.2f" with the user's decimal
// separator, or "On" from 0.5 up and "Off" below.
enum class ValueText { WholeNumber, TwoDecimals, OnOff };

struct ParameterInfo {
    ParameterAddress address;
    std::string_view identifier;  // the key under the group kParameterGroupIdentifier
    std::string_view name;        // display name
    float minValue;
    float maxValue;
    float defaultValue;  // what the parameter tree starts with
    ParameterUnit units;
    std::uint32_t flags;
    ValueText valueText;
    bool needsTwoChannels;     // acts only between two channels; a mono variant leaves it out
    std::string_view comment;  // what it does, as hosts show it beside the control
};

inline constexpr std::string_view kParameterGroupIdentifier = "global";
inline constexpr std::string_view kParameterGroupName = "Global";

// The parameters in tree order (the order of the group's children).
inline constexpr std::array<ParameterInfo, 14> kParameters{{
    {kDriveAddress, "drive", "Drive", 0, 100, 65, ParameterUnit::Percent,
     kParameterFlagWritable | kParameterFlagReadable, ValueText::WholeNumber, false,
     "How hard the input drives the oversampled main shaper."},
    {kTightAddress, "tight", "Tight", 0, 100, 100, ParameterUnit::Percent,
     kParameterFlagWritable | kParameterFlagReadable, ValueText::WholeNumber, false,
     "Low cut before the distortion: higher keeps palm mutes tight."},
    {kTouchAddress, "touch", "Touch", 0, 100, 50, ParameterUnit::Percent,
     kParameterFlagWritable | kParameterFlagReadable, ValueText::WholeNumber, false,
     "Extra gain for quiet playing, so that soft picking still bites."},
    {kBodyAddress, "body", "Body", 0, 100, 55, ParameterUnit::Percent,
     kParameterFlagWritable | kParameterFlagReadable, ValueText::WholeNumber, false,
     "Low-mid weight after the distortion."},
    {kBiteAddress, "bite", "Bite", 0, 100, 100, ParameterUnit::Percent,
     kParameterFlagWritable | kParameterFlagReadable, ValueText::WholeNumber, false,
     "Hardness of the three shapers: from round to sharp clipping."},
    {kGrindAddress, "grind", "Grind", 0, 100, 35, ParameterUnit::Percent,
     kParameterFlagWritable | kParameterFlagReadable, ValueText::WholeNumber, false,
     "A second, gritty shaping stage."},
    {kCrushAddress, "crush", "Crush", 0, 100, 45, ParameterUnit::Percent,
     kParameterFlagWritable | kParameterFlagReadable, ValueText::WholeNumber, false,
     "A third, harsh shaping stage."},
    {kDensityAddress, "density", "Density", 0, 100, 50, ParameterUnit::Percent,
     kParameterFlagWritable | kParameterFlagReadable, ValueText::WholeNumber, false,
     "Saturation that thickens and compresses the sound."},
    {kCabAddress, "cab", "Cab", 0, 100, 100, ParameterUnit::Percent,
     kParameterFlagWritable | kParameterFlagReadable, ValueText::WholeNumber, false,
     "Cabinet high cut: more is darker."},
    {kDecimationAddress, "decimation", "Decimation", 0, 1, 0, ParameterUnit::Generic,
     kParameterFlagWritable | kParameterFlagReadable, ValueText::TwoDecimals, false,
     "Sample-and-hold lo-fi mix: 0 is off, 1 is full."},
    {kDoubleTrackAddress, "doubleTrack", "Double Track", 0, 1, 0, ParameterUnit::Generic,
     kParameterFlagWritable | kParameterFlagReadable, ValueText::TwoDecimals, false,
     "Mix of a modulated double: 0 is off, 1 is full."},
    {kStereoSpreadAddress, "stereoSpread", "Stereo Spread", 0, 1, 0, ParameterUnit::Generic,
     kParameterFlagWritable | kParameterFlagReadable, ValueText::TwoDecimals, true,
     "Mid/side widening between the two channels: 0 is off, 1 is widest."},
    {kLiveSafeAddress, "liveSafe", "Live Safe", 0, 1, 0, ParameterUnit::Boolean,
     kParameterFlagWritable | kParameterFlagReadable, ValueText::OnOff, false,
     "Guard for the stage: bounds the output and the effects' depth."},
    {kGainAddress, "gain", "Output", 0, 1, 0.8f, ParameterUnit::LinearGain,
     kParameterFlagWritable | kParameterFlagReadable, ValueText::TwoDecimals, false,
     "Output level, as a linear gain factor."},
}};
inline constexpr std::size_t kParameterCount = kParameters.size();

// The parameter with an address; null for an address no parameter has.
constexpr const ParameterInfo* findParameter(std::uint64_t address) noexcept {
    for (const auto& parameter : kParameters)
        if (parameter.address == address) return &parameter;
    return nullptr;
}

namespace detail {
// Addresses 0 to kParameterCount - 1, each once; identifiers unique; every
// default within its range.
constexpr bool parameterTableIsSound() {
    for (std::uint64_t address = 0; address < kParameterCount; ++address) {
        std::size_t holders = 0;
        for (const auto& parameter : kParameters) holders += parameter.address == address ? 1 : 0;
        if (holders != 1) return false;
    }
    for (std::size_t i = 0; i < kParameterCount; ++i) {
        const auto& p = kParameters[i];
        if (!(p.minValue < p.maxValue) || p.defaultValue < p.minValue || p.defaultValue > p.maxValue) return false;
        for (std::size_t j = i + 1; j < kParameterCount; ++j)
            if (kParameters[j].identifier == p.identifier) return false;
    }
    return true;
}
}  // namespace detail
static_assert(detail::parameterTableIsSound());

// MARK: The kernel's storage

// Where the kernel keeps each parameter's target: one slot per parameter, in
// tree order. The smoothed parameters come first, then liveSafe, then gain.
enum TargetSlot : std::size_t {
    kDriveSlot,
    kTightSlot,
    kTouchSlot,
    kBodySlot,
    kBiteSlot,
    kGrindSlot,
    kCrushSlot,
    kDensitySlot,
    kCabSlot,
    kDecimationSlot,
    kDoubleTrackSlot,
    kStereoSpreadSlot,
    kLiveSafeSlot,
    kGainSlot,
    kTargetSlotCount,
};
// Each slot holds the parameter its name says.
static_assert(kTargetSlotCount == kParameterCount &&
              kParameters[kDriveSlot].address == kDriveAddress && kParameters[kTightSlot].address == kTightAddress &&
              kParameters[kTouchSlot].address == kTouchAddress && kParameters[kBodySlot].address == kBodyAddress &&
              kParameters[kBiteSlot].address == kBiteAddress && kParameters[kGrindSlot].address == kGrindAddress &&
              kParameters[kCrushSlot].address == kCrushAddress &&
              kParameters[kDensitySlot].address == kDensityAddress && kParameters[kCabSlot].address == kCabAddress &&
              kParameters[kDecimationSlot].address == kDecimationAddress &&
              kParameters[kDoubleTrackSlot].address == kDoubleTrackAddress &&
              kParameters[kStereoSpreadSlot].address == kStereoSpreadAddress &&
              kParameters[kLiveSafeSlot].address == kLiveSafeAddress && kParameters[kGainSlot].address == kGainAddress);

// Every target but liveSafe has a smoothed copy; the copies follow the target
// order with liveSafe left out, so gain's copy sits where liveSafe's target is.
inline constexpr std::size_t kSmoothedCount = kTargetSlotCount - 1;
inline constexpr std::size_t smoothedIndex(std::size_t slot) { return slot < kLiveSafeSlot ? slot : slot - 1; }

// Address -> target slot: the parameter's tree position.
inline constexpr std::array<std::size_t, kParameterCount> kSlotForAddress = [] {
    std::array<std::size_t, kParameterCount> slots{};
    for (std::size_t slot = 0; slot < kParameterCount; ++slot) slots[kParameters[slot].address] = slot;
    return slots;
}();

// The kernel's own targets before the parameter tree pushes its values in, in
// slot order. They are the kernel's, not the tree's defaults, and differ from
// those for tight, touch, bite, cab and gain; a bare kernel (as the DSP tests
// and benchmarks drive it) starts from these.
inline constexpr std::array<double, kTargetSlotCount> kInitialTargets = {
    65.0, 75.0, 35.0, 55.0, 60.0, 35.0, 45.0, 50.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.25,
};

}  // namespace dunmarrow_dsp
