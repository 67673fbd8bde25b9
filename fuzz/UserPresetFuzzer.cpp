// A user preset file, as the effect's audio unit finds it in its user-preset
// folder: the input is the file user-1.json. The file is either listed as a
// usable preset or reported unusable with a one-line reason, never both; a
// listed preset's saved state restores (as the render tool and hosts restore
// it) to values within their ranges and renders finite sound.

#include <cstdint>

#include "EffectUnderTest.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace fuzzing;
    static const auto folder = scratchFolder() / "presets";
    std::filesystem::create_directories(folder);
    writeFile(folder / "user-1.json", {data, size});

    const auto unit = makeEffect();
    unit->setUserPresetsDirectory(folder);
    const auto presets = unit->userPresets();
    const auto unusable = unit->unusableUserPresets();
    require(presets.size() + unusable.size() == 1, "the preset file is neither usable nor reported, or both");
    for (const auto& problem : unusable) {
        require(problem.path == folder / "user-1.json", "an unusable preset is reported under another name");
        requireOneLine(problem.reason, "an unusable preset's reason is not one line");
    }
    for (const auto& preset : presets) {
        require(preset->number() == -1, "a listed preset does not have its file's number");
        foundation::NSError error;
        const auto state = unit->presetStateFor(preset, &error);
        require(state.has_value(), "a listed preset's state cannot be read");
        require(unit->setFullState(*state, &error), "a listed preset's state is refused");
        requireValuesHeld(*unit);
        requireFiniteRender(*unit);
    }
    return 0;
}
