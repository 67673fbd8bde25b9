// The built bundle as hosts see it: manifest, files, exports, instantiation, and tools over broken copies.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "AudioUnitViewController.hpp"
#include "BundleTestSupport.hpp"
#include "FileContents.hpp"
#include "MainQueueInstantiation.hpp"
#include "RunProgram.hpp"
#include "TempDir.hpp"
#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AudioComponentRegistry.hpp"

using namespace audiounit;
using namespace bundletest;

TEST(Bundle, TheRegistryReadsItsManifestAndTheModuleExportsOnlyItsEntry) {
    AudioComponentRegistry registry({kOutputDirectory});
    const auto found = registry.componentsMatchingDescription(kDunmarrow);
    ASSERT_EQ(found.size(), 1u);
    const AVAudioUnitComponent& component = *found[0];
    EXPECT_EQ(component.audioComponentDescription, kDunmarrow);
    EXPECT_EQ(component.name, "Qvarn: Dunmarrow");
    EXPECT_EQ(component.manufacturerName, "Qvarn");
    EXPECT_EQ(component.typeName, "Effect");
    EXPECT_EQ(component.versionString(), BUNDLE_TEST_PROJECT_VERSION);
    EXPECT_EQ(component.allTagNames, (std::vector<std::string>{"Effects", "Distortion"}));
    EXPECT_EQ(component.principalClassName, "AudioUnitViewController");
    EXPECT_EQ(component.bundleIdentifier, "com.qvarn.Dunmarrow.DunmarrowAUExtension");
    EXPECT_EQ(fs::weakly_canonical(component.bundlePath), fs::weakly_canonical(kBundle));
    EXPECT_EQ(component.modulePath.filename(), "DunmarrowAUExtension.so");
    for (const auto& problem : registry.scanProblems())
        EXPECT_NE(problem.path.parent_path().filename(), "DunmarrowAUExtension.auext") << problem.reason;

    const fs::path font = kBundle / "Resources" / "Glimra.otf";
    ASSERT_TRUE(fs::is_regular_file(font));
    EXPECT_TRUE(testsupport::fileContents(font) == testsupport::fileContents(BUNDLE_TEST_FONT));

    const auto symbols = testsupport::runProgram({BUNDLE_TEST_NM, "-D", "--defined-only", "--format=just-symbols",
                                                  (kBundle / "DunmarrowAUExtension.so").string()});
    EXPECT_EQ(symbols.out, "DunmarrowAudioUnitModuleEntry\n") << symbols.err;
}

TEST(Bundle, InstantiationByDescriptionGivesTheEffectInItsViewController) {
    // The default search path: the build's lib/ beside this program's bin/.
    AudioComponentRegistry::shared().rescan();
    const auto made = testsupport::instantiateOnMainQueue(kDunmarrow);
    ASSERT_FALSE(made.error.has_value()) << made.error->localizedDescription();
    ASSERT_NE(made.unit, nullptr);
    const auto* controller = dynamic_cast<AudioUnitViewController*>(made.unit->principalObject().get());
    ASSERT_NE(controller, nullptr);
    const auto unit = made.unit->auAudioUnit();
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(controller->currentAudioUnit(), unit);
}

TEST(Bundle, ToolsRefuseABrokenCopyInOneLineAndListSkippedBundlesOnlyWhenAsked) {
    const testsupport::TempDir scratchFolder;
    const fs::path scratch = scratchFolder.path();
    // A tool of the build on the default search path with `unitFolder` in front, and a home of its own.
    const auto run = [&](std::vector<std::string> command, const fs::path& unitFolder) {
        testsupport::ProgramOptions options;
        options.environment = {{"HOME", scratch.string()}, {"DUNMARROW_AUDIO_UNIT_PATH", unitFolder.string()}};
        options.timeLimit = std::chrono::seconds(60);
        return testsupport::runProgram(command, options);
    };
    const std::string render = BUNDLE_TEST_RENDER, validate = BUNDLE_TEST_VALIDATOR;
    // A copy of the bundle, hiding it, whose module is no ELF file (the registry's tests try the other faults).
    const fs::path folder = scratch / "text";
    fs::create_directories(folder);
    fs::copy(kBundle, folder / "DunmarrowAUExtension.auext", fs::copy_options::recursive);
    const fs::path module = folder / "DunmarrowAUExtension.auext" / "DunmarrowAUExtension.so";
    std::ofstream(module, std::ios::trunc) << "not a library";
    const std::string refusal = "The module " + module.string() + " cannot be loaded: it is not an ELF file";

    const auto rendered = run({render, "--list-presets"}, folder);
    EXPECT_EQ(rendered.status, 1) << rendered.err;
    EXPECT_EQ(rendered.out, "");
    EXPECT_EQ(rendered.err, "dunmarrow-render: cannot load the effect: " + refusal + "\n");

    const auto validated = run({validate, "aufx", "dmds", "QVRN"}, folder);
    EXPECT_EQ(validated.status, 2) << validated.out;
    EXPECT_EQ(validated.out,
              "FAIL open (cold): " + refusal + " (-66742)\nValidation failed: the component could not be opened\n");
    EXPECT_EQ(validated.err, "");

    const std::string hidden = "skipped " + (kBundle / "Info.json").string() +
                               ": AudioComponents[0]: type aufx, subtype dmds, manufacturer QVRN is already "
                               "provided by " + (folder / "DunmarrowAUExtension.auext").string() + "\n";
    const auto verbose = run({render, "--verbose", "--list-presets"}, folder);
    EXPECT_EQ(verbose.err, "dunmarrow-render: " + hidden + "dunmarrow-render: cannot load the effect: " + refusal + "\n");
    EXPECT_EQ(run({validate, "--verbose", "aufx", "dmds", "QVRN"}, folder).err,
              "dunmarrow-validate: " + hidden);

    // A FIFO manifest is passed over at once, said only when asked or when nothing matched.
    const fs::path fifoFolder = scratch / "fifo";
    fs::create_directories(fifoFolder / "Blocking.auext");
    ASSERT_EQ(::mkfifo((fifoFolder / "Blocking.auext" / "Info.json").c_str(), 0644), 0);
    const std::string skippedFifo =
        "skipped " + (fifoFolder / "Blocking.auext" / "Info.json").string() + ": is not a regular file\n";
    const auto listed = run({render, "--list-presets"}, fifoFolder);
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.err, "");
    const auto unmatched = run({validate, "aufx", "dmdz", "QVRN"}, fifoFolder);
    EXPECT_EQ(unmatched.status, 2);
    EXPECT_EQ(unmatched.err, "dunmarrow-validate: " + skippedFifo);
    EXPECT_EQ(unmatched.out,
              "FAIL open (cold): No installed audio unit matches type aufx, subtype dmdz, manufacturer QVRN\n"
              "Validation failed: the component could not be opened\n");
}
