// Saved states as a host hands them back (fullState as bytes) to the effect's
// own audio unit. A state is taken whole or refused with a one-line reason and
// nothing changed; one that is taken leaves every value finite and within its
// range, saves again to bytes that restore to themselves, and renders finite
// sound.

#include <cstdint>

#include "EffectUnderTest.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace fuzzing;
    const auto unit = makeEffect();
    const auto before = parameterValues(*unit);
    const auto presetBefore = unit->currentPreset();

    foundation::NSError error;
    if (!unit->setFullStateData(asText({data, size}), &error)) {
        requireOneLine(error.description, "a refused state's reason is not one line");
        require(parameterValues(*unit) == before && unit->currentPreset() == presetBefore,
                "a refused state changed the unit");
        return 0;
    }
    requireValuesHeld(*unit);

    const std::string saved = unit->fullStateData();
    const auto again = makeEffect();
    require(again->setFullStateData(saved), "a state the unit saved is refused");
    require(again->fullStateData() == saved, "a saved state restores to another state");

    requireFiniteRender(*unit);
    return 0;
}
