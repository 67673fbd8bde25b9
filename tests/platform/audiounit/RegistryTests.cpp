// The component registry: matching rules, the search path and its order,
// and manifests that are broken in every way a bundle can break them.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "TempDir.hpp"
#include "audiounit/AudioComponentRegistry.hpp"

using namespace audiounit;
namespace fs = std::filesystem;

namespace audiounit {
// Failures show problems as the tools print them.
void PrintTo(const AudioComponentScanProblem& problem, std::ostream* out) { *out << problem.description(); }
}  // namespace audiounit

namespace {

void writeFile(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

// A manifest for one component, with the given codes and names.
std::string manifest(const std::string& type, const std::string& subtype, const std::string& manufacturer,
                     const std::string& name, const std::string& module = "Module.so",
                     const std::string& extraComponentFields = "") {
    return R"({"BundleIdentifier": "org.dunmarrow.tests.)" + subtype + R"(", "Name": "Bundle )" + subtype +
           R"(", "Module": ")" + module + R"(", "PrincipalClass": "P",
  "AudioComponents": [{"type": ")" + type + R"(", "subtype": ")" + subtype + R"(", "manufacturer": ")" +
           manufacturer + R"(", "name": ")" + name + R"(", "version": 65536)" + extraComponentFields + "}]}";
}

// A bundle folder `folder/name.auext` with the manifest and an empty module file.
fs::path makeBundle(const fs::path& folder, const std::string& name, const std::string& manifestText,
                    const std::string& moduleName = "Module.so") {
    const fs::path bundle = folder / (name + ".auext");
    writeFile(bundle / "Info.json", manifestText);
    writeFile(bundle / moduleName, "");
    return bundle;
}

AudioComponentDescription describe(const char (&type)[5], const char (&subtype)[5], const char (&manufacturer)[5]) {
    return {fourCharCode(type), fourCharCode(subtype), fourCharCode(manufacturer), 0, 0};
}

std::vector<std::string> namesOf(const std::vector<AVAudioUnitComponentPtr>& components) {
    std::vector<std::string> names;
    for (const auto& component : components) names.push_back(component->name);
    return names;
}

}  // namespace

TEST(AudioComponentMatching, ZeroFieldsMatchAnythingFlagsOnlyUnderTheMaskAndNamesReadAsWritten) {
    AudioComponentDescription component = describe("aufx", "dmds", "QVRN");
    component.componentFlags = 0b0110;
    struct Case {
        AudioComponentDescription query;
        bool matches;
    };
    const Case cases[] = {
        {describe("aufx", "dmds", "QVRN"), true},
        {{fourCharCode("aufx"), 0, 0, 0, 0}, true},
        {{0, fourCharCode("dmds"), 0, 0, 0}, true},
        {{0, 0, fourCharCode("QVRN"), 0, 0}, true},
        {describe("aumu", "dmds", "QVRN"), false},
        {describe("aufx", "dmdt", "QVRN"), false},
        {describe("aufx", "dmds", "QVRM"), false},
        {{0, 0, 0, 0b1001, 0}, true},  // no mask: flags are ignored
        {{0, 0, 0, 0b0010, 0b0010}, true},
        {{0, 0, 0, 0b0000, 0b0010}, false},
        {{0, 0, 0, 0b0000, 0b1000}, true},  // the component has the bit clear, as asked
    };
    for (const Case& c : cases)
        EXPECT_EQ(audioComponentMatches(component, c.query), c.matches)
            << describeAudioComponent(c.query) << " flags " << c.query.componentFlags << " mask "
            << c.query.componentFlagsMask;

    EXPECT_EQ(audioComponentTypeName(fourCharCode("zzzz")), "zzzz");
    EXPECT_EQ(describeAudioComponent({fourCharCode("aufx"), 0, 0, 0, 0}), "type aufx, subtype 0, manufacturer 0");
}

TEST(AudioComponentRegistry, TheFirstBundleOnTheSearchPathWinsAndAScanHappensOnFirstUseAndRescan) {
    testsupport::TempDir scratch;
    const fs::path first = scratch.path() / "first";
    const fs::path second = scratch.path() / "second";
    makeBundle(first, "Effect", manifest("aufx", "dmds", "QVRN", "From first"));
    const fs::path secondBundle = makeBundle(second, "Effect", manifest("aufx", "dmds", "QVRN", "From second"));
    makeBundle(second, "Other", manifest("aufx", "othr", "QVRN", "Other from second"));

    AudioComponentRegistry registry({first, second, first});  // a folder listed twice is read once
    EXPECT_EQ(namesOf(registry.allComponents()), (std::vector<std::string>{"From first", "Other from second"}));
    EXPECT_EQ(registry.scanProblems(),
              (std::vector<AudioComponentScanProblem>{
                  {secondBundle / "Info.json",
                   "AudioComponents[0]: type aufx, subtype dmds, manufacturer QVRN is already provided by " +
                       (first / "Effect.auext").string()}}));
    AudioComponentRegistry reversed({second, first});
    EXPECT_EQ(reversed.findComponent(describe("aufx", "dmds", "QVRN"))->name, "From second");

    // Within one folder, bundles are read in name order, once until a rescan.
    const fs::path third = scratch.path() / "third";
    makeBundle(third, "b", manifest("aufx", "dmds", "QVRN", "b"));
    AudioComponentRegistry ordered({third});
    makeBundle(third, "a", manifest("aufx", "dmds", "QVRN", "a"));
    EXPECT_EQ(namesOf(ordered.allComponents()), (std::vector<std::string>{"a"}));
    makeBundle(third, "c", manifest("aufx", "late", "QVRN", "c"));
    EXPECT_EQ(namesOf(ordered.allComponents()), (std::vector<std::string>{"a"}));
    ordered.rescan();
    EXPECT_EQ(namesOf(ordered.allComponents()), (std::vector<std::string>{"a", "c"}));
}

TEST(AudioComponentRegistry, TheSearchPathPutsTheEnvironmentFirstThenBuildAndInstalledBesideTheProgramHomeAndInstallation) {
    ::setenv(kAudioUnitPathEnvironmentVariable, "/opt/units/a::/opt/units/b:", 1);
    ::setenv("HOME", "/home/tester", 1);
    const fs::path programFolder = fs::read_symlink("/proc/self/exe").parent_path();
    EXPECT_EQ(AudioComponentRegistry::defaultSearchPath(),
              (std::vector<fs::path>{"/opt/units/a", "/opt/units/b",
                                     (programFolder / ".." / "lib").lexically_normal(),
                                     (programFolder / ".." / REGISTRY_TEST_INSTALL_LIBDIR).lexically_normal(),
                                     (programFolder / ".." / "audiounits").lexically_normal(),
                                     "/home/tester/.local/lib/dunmarrow/audiounits", REGISTRY_TEST_INSTALL_DIR}));
}

TEST(AudioComponentRegistry, AnswersQueriesWithEveryFieldOfTheManifestAndReportsAndSkipsBrokenBundles) {
    testsupport::TempDir scratch;
    const fs::path folder = scratch.path() / "units";
    struct Broken {
        std::string bundle;
        std::string manifestText;
        std::string reason;
    };
    const std::string validComponent =
        R"({"version": 1, "type": "aufx", "subtype": "dmds", "manufacturer": "QVRN", "name": "N"})";
    const auto withComponent = [](const std::string& component) {
        return R"({"BundleIdentifier": "b", "Name": "n", "Module": "Module.so", "PrincipalClass": "P",
                   "AudioComponents": [)" + component + "]}";
    };
    // The valid component with one field's text replaced.
    const auto componentWith = [&](const std::string& key, const std::string& field) {
        std::string component = validComponent;
        const auto at = component.find("\"" + key + "\"");
        component.replace(at, component.find_first_of(",}", at) - at, field);
        return withComponent(component);
    };
    const std::vector<Broken> broken = {
        {"b03-no-name", R"({"BundleIdentifier": "b", "Module": "Module.so", "PrincipalClass": "P", "AudioComponents": []})",
         "missing field \"Name\""},
        {"b07-empty-name", R"({"BundleIdentifier": "b", "Name": "", "Module": "Module.so", "PrincipalClass": "P",
            "AudioComponents": []})", "field \"Name\" must be a non-empty text"},
        {"b09-empty-components", withComponent(""), "field \"AudioComponents\" must be a non-empty array"},
        {"b10-short-subtype", componentWith("subtype", R"("subtype": "dmd")"),
         "AudioComponents[0]: field \"subtype\" must be exactly four ASCII characters, not \"dmd\""},
        {"b12-non-ascii", componentWith("manufacturer", R"("manufacturer": "QVé")"),
         "AudioComponents[0]: field \"manufacturer\" must be exactly four ASCII characters, not \"QVé\""},
        {"b13-number-code", componentWith("subtype", R"("subtype": 1234)"),
         "AudioComponents[0]: field \"subtype\" must be a text"},
        {"b16-huge-version", componentWith("version", R"("version": 4294967296)"),
         "AudioComponents[0]: field \"version\" must be a whole number from 0 to 4294967295"},
        {"b17-bad-tags", componentWith("version", R"("version": 1, "tags": ["ok", 3])"),
         "AudioComponents[0]: field \"tags\" must be an array of texts"},
        {"b18-second-component-broken",
         withComponent(validComponent + R"(, {"type": "aufx", "subtype": "dmdt", "manufacturer": "QVRN",
                                              "name": "M"})"),
         "AudioComponents[1]: missing field \"version\""},
        {"b19-component-not-object", withComponent("\"aufx dmds QVRN\""), "AudioComponents[0]: must be a JSON object"},
        {"b20-module-path", R"({"BundleIdentifier": "b", "Name": "n", "Module": "../Module.so", "PrincipalClass": "P",
            "AudioComponents": []})", "field \"Module\" must be a file name inside the bundle, not \"../Module.so\""},
        {"b21-nul-in-module", R"({"BundleIdentifier": "b", "Name": "n", "Module": "Module.so\u0000x", "PrincipalClass": "P",
            "AudioComponents": []})",
         "field \"Module\" must not contain a NUL character, as \"Module.so\\u0000x\" does"},
    };
    for (const Broken& entry : broken) makeBundle(folder, entry.bundle, entry.manifestText);
    // Bundles broken in their files, as the scan meets them: one that cannot even be told to be a folder first.
    std::vector<AudioComponentScanProblem> expected;
    fs::create_directory_symlink("b00-loop.auext", folder / "b00-loop.auext");
    expected.push_back({folder / "b00-loop.auext", "cannot be read: Too many levels of symbolic links"});
    for (const Broken& entry : broken)
        expected.push_back({folder / (entry.bundle + ".auext") / "Info.json", entry.reason});
    const auto bundleWithFiles = [&](const std::string& name, const std::function<void(const fs::path&)>& make,
                                     const std::string& reason) {
        const fs::path bundle = folder / (name + ".auext");
        fs::create_directories(bundle);
        make(bundle);
        expected.push_back({bundle / "Info.json", reason});
    };
    bundleWithFiles("b30-missing-module", [&](const fs::path& bundle) {
        writeFile(bundle / "Info.json", withComponent(validComponent));
    }, "module file \"Module.so\" is not in the bundle");
    bundleWithFiles("b31-no-manifest", [](const fs::path&) {}, "cannot be opened: No such file or directory");
    // Where a file should be, a FIFO is skipped at once, never waited on.
    bundleWithFiles("b32-fifo-manifest", [](const fs::path& bundle) {
        ASSERT_EQ(::mkfifo((bundle / "Info.json").c_str(), 0644), 0);
    }, "is not a regular file");
    bundleWithFiles("b33-fifo-module", [&](const fs::path& bundle) {
        writeFile(bundle / "Info.json", withComponent(validComponent));
        ASSERT_EQ(::mkfifo((bundle / "Module.so").c_str(), 0644), 0);
    }, "module file \"Module.so\" is not a regular file");
    bundleWithFiles("b35-module-loop", [&](const fs::path& bundle) {
        writeFile(bundle / "Info.json", withComponent(validComponent));
        fs::create_symlink("Module.so", bundle / "Module.so");
    }, "module file \"Module.so\" cannot be read: Too many levels of symbolic links");
    bundleWithFiles("b36-huge-manifest", [](const fs::path& bundle) {
        writeFile(bundle / "Info.json", "");
        fs::resize_file(bundle / "Info.json", 1024 * 1024 + 1);
    }, "is larger than 1048576 bytes");
    // What the scan must still find among them, with every field of the manifest, and what it must not look at.
    const fs::path distortion = makeBundle(
        folder, "Distortion",
        manifest("aufx", "dmds", "QVRN", "Qvrn: Dunmarrow", "Dunmarrow.so", R"(, "tags": ["Distortion", "Guitar"])"),
        "Dunmarrow.so");
    makeBundle(folder, "Echo", manifest("aufx", "echo", "QVRN", "Echo Unit"));
    // One bundle may provide several components, with flags and versions.
    makeBundle(folder, "Pair", R"({"BundleIdentifier": "org.pair", "Name": "Pair", "Module": "Module.so",
      "PrincipalClass": "Pair", "AudioComponents": [
        {"type": "aufx", "subtype": "one ", "manufacturer": "PAIR", "name": "Pair: One", "version": 131842, "flags": 2},
        {"type": "aumf", "subtype": "two!", "manufacturer": "PAIR", "name": "Pair: Two", "version": 0}]})");
    writeFile(folder / "stray.auext", "a file, not a bundle folder");
    writeFile(folder / "not-a-bundle" / "Info.json", "{");

    // Search folders that cannot be read are reported; missing ones are not.
    writeFile(scratch.path() / "a-file", "x");
    const std::vector<fs::path> path{folder, scratch.path() / "does-not-exist", "", scratch.path() / "a-file"};
    expected.push_back({scratch.path() / "a-file", "cannot be read: Not a directory"});

    ::testing::internal::CaptureStderr();
    AudioComponentRegistry registry(path);
    const auto components = registry.allComponents();
    const std::string errorOutput = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(registry.scanProblems(), expected);
    // The registry prints none of them: programs decide.
    EXPECT_EQ(errorOutput, "");
    using Names = std::vector<std::string>;
    EXPECT_EQ(namesOf(components),
              (Names{"Qvrn: Dunmarrow", "Echo Unit", "Pair: One", "Pair: Two"}));
    EXPECT_EQ(namesOf(registry.componentsMatchingDescription({fourCharCode("aufx"), 0, 0, 0, 0})),
              (Names{"Qvrn: Dunmarrow", "Echo Unit", "Pair: One"}));
    EXPECT_EQ(registry.findComponent(describe("aumu", "none", "ACME")), nullptr);

    const auto found = registry.findComponent(describe("aufx", "dmds", "QVRN"));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->manufacturerName, "Qvrn");
    EXPECT_EQ(found->allTagNames, (Names{"Distortion", "Guitar"}));
    EXPECT_EQ(found->modulePath, distortion / "Dunmarrow.so");
    EXPECT_EQ(found->bundleIdentifier, "org.dunmarrow.tests.dmds");
    // Without "Manufacturer: " in the name, the manufacturer code stands in.
    const auto echo = registry.findComponent(describe("aufx", "echo", "QVRN"));
    ASSERT_NE(echo, nullptr);
    EXPECT_EQ(echo->manufacturerName, "QVRN");
    const auto pair = registry.componentsMatchingDescription({0, 0, fourCharCode("PAIR"), 0, 0});
    ASSERT_EQ(pair.size(), 2u);
    EXPECT_EQ(pair[0]->versionString(), "2.3.2");
    EXPECT_EQ(pair[0]->audioComponentDescription.componentFlags, 2u);
    EXPECT_EQ(pair[1]->typeName, "Music Effect");
}
