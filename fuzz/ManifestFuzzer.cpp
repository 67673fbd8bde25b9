// A bundle's manifest, Info.json, as the component registry reads it while it
// scans its search path, and as the platform's Bundle reads it for the loaded
// module (its identifier, its resources). The bundle holds the module file the real manifest
// names (empty: the registry only looks that it is a regular file) and a
// Resources folder. Every manifest either provides components or is skipped
// with one reason on one line, and what it provides is well formed.

#include <algorithm>
#include <cstdint>

#include "FuzzSupport.hpp"
#include "audiounit/AudioComponentRegistry.hpp"
#include "foundation/Bundle.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace fuzzing;
    using namespace audiounit;
    static const auto folder = scratchFolder() / "bundles";
    static const auto bundle = folder / "Fuzzed.auext";
    if (!std::filesystem::exists(bundle)) {
        std::filesystem::create_directories(bundle / "Resources");
        writeFile(bundle / "DunmarrowAUExtension.so", {});
    }
    writeFile(bundle / "Info.json", {data, size});

    AudioComponentRegistry registry({folder});
    const auto components = registry.allComponents();
    const auto problems = registry.scanProblems();

    for (const auto& problem : problems) {
        const std::string line = problem.description();
        require(!line.empty() && std::none_of(line.begin(), line.end(),
                                              [](char c) { return c == '\0' || c == '\n' || c == '\r'; }),
                "a skipped bundle's reason is not one line");
        require(problem.path == bundle / "Info.json", "a problem is reported under another path");
    }
    // A manifest that fails a check is skipped whole; a component listed twice
    // is reported and the first one kept.
    require(!components.empty() || problems.size() == 1, "a manifest gave nothing and no reason");

    for (const auto& component : components) {
        const auto& description = component->audioComponentDescription;
        for (const OSType code : {description.componentType, description.componentSubType,
                                  description.componentManufacturer}) {
            const std::string text = fourCharCodeString(code);
            require(text.size() == 4 && std::all_of(text.begin(), text.end(),
                                                    [](char c) { return c >= 0x20 && c <= 0x7E; }),
                    "a component code is not four printable characters");
        }
        require(component->bundlePath == bundle && component->modulePath.parent_path() == bundle,
                "a component's module is outside its bundle");
        require(!component->name.empty() && !component->manufacturerName.empty() && !component->typeName.empty() &&
                    !component->principalClassName.empty() && !component->bundleIdentifier.empty(),
                "a component has an empty name");
        require(registry.findComponent(description) != nullptr, "a listed component cannot be found");
        (void)component->versionString();
        (void)describeAudioComponent(description);
    }

    const foundation::Bundle asBundle(bundle);
    const std::string& error = asBundle.infoError();
    require(std::none_of(error.begin(), error.end(), [](char c) { return c == '\0' || c == '\n' || c == '\r'; }),
            "a bundle's reason for ignoring its Info.json is not one line");
    require(error.empty() || asBundle.infoDictionary().empty(), "a bundle both read and refused its Info.json");
    return 0;
}
