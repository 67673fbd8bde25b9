// The built bundle as hosts see it: its manifest in the registry, its files,
// the one symbol its module exports, and the unit that instantiation through
// the registry delivers.

#include <gtest/gtest.h>

#include "FileContents.hpp"

#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include "AudioUnitViewController.hpp"
#include "BundleTestSupport.hpp"
#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AudioComponentRegistry.hpp"

using namespace audiounit;
using namespace bundletest;

namespace {

std::string exportedSymbols(const fs::path& module) {
    const std::string command =
        std::string(BUNDLE_TEST_NM) + " -D --defined-only --format=just-symbols '" + module.string() + "'";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return "popen failed";
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    EXPECT_EQ(::pclose(pipe), 0) << command;
    return output;
}

// Every value change a parameter tree reports, in order.
class TreeRecorder {
public:
    explicit TreeRecorder(const AUParameterTreePtr& tree) : tree_(tree) {
        token_ = tree_->tokenByAddingParameterObserver([this](AUParameterAddress address, AUValue value) {
            std::lock_guard lock(mutex_);
            events_.emplace_back(address, value);
        });
    }
    ~TreeRecorder() { tree_->removeParameterObserver(token_); }

    std::vector<std::pair<AUParameterAddress, AUValue>> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }

private:
    AUParameterTreePtr tree_;
    AUParameterObserverToken token_;
    std::mutex mutex_;
    std::vector<std::pair<AUParameterAddress, AUValue>> events_;
};

// The values each parameter has in tree order, as change events.
std::vector<std::pair<AUParameterAddress, AUValue>> valuesInTreeOrder(const AUParameterTree& tree) {
    std::vector<std::pair<AUParameterAddress, AUValue>> values;
    for (const auto& parameter : tree.allParameters()) values.emplace_back(parameter->address(), parameter->value());
    return values;
}

}  // namespace

TEST(Bundle, TheRegistryReadsItsManifest) {
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

    // The display font travels in the bundle, byte for byte.
    const fs::path font = kBundle / "Resources" / "Glimra.otf";
    ASSERT_TRUE(fs::is_regular_file(font));
    EXPECT_TRUE(testsupport::fileContents(font) == testsupport::fileContents(BUNDLE_TEST_FONT));
}

TEST(Bundle, TheModuleExportsItsEntryAndNothingElse) {
    EXPECT_EQ(exportedSymbols(kBundle / "DunmarrowAUExtension.so"), "DunmarrowAudioUnitModuleEntry\n");
}

TEST(Bundle, InstantiationByDescriptionGivesTheEffectWithItsDefaults) {
    // The shared registry, on the default search path: the build's lib/
    // folder beside this program's bin/ folder.
    AudioComponentRegistry::shared().rescan();
    const Instantiation made = instantiate(kDunmarrow);
    ASSERT_FALSE(made.error.has_value()) << made.error->localizedDescription();
    ASSERT_NE(made.node, nullptr);
    EXPECT_TRUE(made.completedOnMainThread);
    EXPECT_EQ(made.node->name(), "Qvarn: Dunmarrow");
    EXPECT_EQ(fs::weakly_canonical(made.node->component()->bundlePath), fs::weakly_canonical(kBundle));

    // The principal object is the effect's view controller, holding the unit.
    const auto* controller = dynamic_cast<AudioUnitViewController*>(made.node->principalObject().get());
    ASSERT_NE(controller, nullptr);
    const auto unit = made.node->auAudioUnit();
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(controller->currentAudioUnit(), unit);
    EXPECT_EQ(controller->editorSize(), (AudioUnitViewController::Size{720, 600}));
    EXPECT_EQ(unit->componentDescription(), kDunmarrow);

    const auto tree = unit->parameterTree();
    ASSERT_NE(tree, nullptr);
    ASSERT_EQ(tree->children().size(), 1u);
    EXPECT_EQ(tree->children()[0]->identifier(), "global");
    EXPECT_EQ(tree->children()[0]->displayName(), "Global");
    const auto& parameters = tree->allParameters();
    ASSERT_EQ(parameters.size(), kParameters.size());
    for (std::size_t i = 0; i < kParameters.size(); ++i) {
        SCOPED_TRACE(kParameters[i].identifier);
        EXPECT_EQ(parameters[i]->identifier(), kParameters[i].identifier);
        EXPECT_EQ(parameters[i]->displayName(), kParameters[i].name);
        EXPECT_EQ(parameters[i]->address(), kParameters[i].address);
        EXPECT_EQ(parameters[i]->minValue(), kParameters[i].minValue);
        EXPECT_EQ(parameters[i]->maxValue(), kParameters[i].maxValue);
        EXPECT_EQ(parameters[i]->value(), kParameters[i].defaultValue);
    }

    const auto preset = unit->currentPreset();
    ASSERT_NE(preset, nullptr);
    EXPECT_EQ(preset->name(), "Blackwall");
    EXPECT_EQ(preset->number(), 0);
    std::vector<std::string> names;
    for (const auto& factoryPreset : unit->factoryPresets()) names.push_back(factoryPreset->name());
    EXPECT_EQ(names, (std::vector<std::string>{"Blackwall", "Glass Teeth", "Funeral Bloom"}));
}

TEST(Bundle, ARestoredStateIsAnnouncedToEveryObserverOfTheTree) {
    const Instantiation made = instantiate(AudioComponentRegistry({kOutputDirectory}).findComponent(kDunmarrow));
    ASSERT_NE(made.node, nullptr);
    const auto unit = made.node->auAudioUnit();
    const auto tree = unit->parameterTree();
    ASSERT_NE(tree, nullptr);

    // A state saved with "Funeral Bloom" and two values of its own.
    unit->setCurrentPreset(AUAudioUnitPreset::make(2, ""));
    tree->parameterWithAddress(12)->setValue(0.25f);  // stereoSpread
    tree->parameterWithAddress(0)->setValue(12.5f);   // drive
    const auto saved = unit->fullState();
    const auto savedValues = valuesInTreeOrder(*tree);
    unit->setCurrentPreset(AUAudioUnitPreset::make(0, ""));

    TreeRecorder recorder(tree);
    foundation::NSError error;
    ASSERT_TRUE(unit->setFullState(saved, &error)) << error.localizedDescription();
    const auto events = recorder.take();
    // Whatever the restore itself announced, it ends with every parameter
    // announced once more, in tree order, with the restored value.
    ASSERT_GE(events.size(), kParameters.size());
    const std::vector<std::pair<AUParameterAddress, AUValue>> last(events.end() - kParameters.size(), events.end());
    EXPECT_EQ(last, savedValues);
    EXPECT_EQ(valuesInTreeOrder(*tree), savedValues);

    // The all-values-changed notification alone: exactly the fourteen values.
    unit->postAllParameterValuesChanged();
    EXPECT_EQ(recorder.take(), savedValues);
}
