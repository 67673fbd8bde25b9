#pragma once
// The host tests' units (a gain effect, an instrument) as their module and the tests see them.

#include <atomic>
#include <memory>

#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AUAudioUnitFactory.hpp"
#include "ui/Geometry.hpp"

namespace hosttest {

inline constexpr float kEffectGain = 0.5f;

// The effect's editor fills its preferred size with one colour.
inline constexpr ui::Size kEditorSize{200, 100};
inline constexpr ui::Color kEditorColour = ui::Color::sRGB(0, 0, 1);

// The first word of the last MIDI event list the unit's render thread saw.
struct UnitCounters {
    std::atomic<std::uint32_t> lastMIDIWord{0};
};

// One definition for the tests and every module; the modules' own classes derive from it.
class HostTestPrincipal : public audiounit::AUAudioUnitFactory {
public:
    std::shared_ptr<audiounit::AUAudioUnit> audioUnit;
    std::shared_ptr<UnitCounters> counters = std::make_shared<UnitCounters>();
};

}  // namespace hosttest
