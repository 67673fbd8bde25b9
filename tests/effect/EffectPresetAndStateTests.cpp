#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <random>

#include "EffectHost.hpp"

using namespace audiounit;
using namespace effecttest;

namespace {

std::map<AUParameterAddress, float> treeValues(Unit& unit) {
    std::map<AUParameterAddress, float> values;
    for (const auto& p : unit.parameterTree()->allParameters()) values[p->address()] = p->value();
    return values;
}

std::map<AUParameterAddress, float> kernelValues(Unit& unit) {
    std::map<AUParameterAddress, float> values;
    for (AUParameterAddress a = 0; a < kParameterCount; ++a) values[a] = unit.dspKernel().getParameter(a);
    return values;
}

const std::map<AUParameterAddress, float> kDefaults{
    {0, 65}, {1, 100}, {2, 100}, {3, 100}, {4, 0.8f}, {5, 55}, {6, 45},
    {7, 50}, {8, 35}, {9, 50}, {10, 0}, {11, 0}, {12, 0}, {13, 0}};

}  // namespace

TEST(EffectPresets, ThreeFactoryPresetsAndBlackwallCurrentAfterSetup) {
    foundation::NSError error;
    auto bare = AUAudioUnit::create<Unit>(Unit::kComponentDescription, kAudioComponentInstantiation_None, &error);
    EXPECT_EQ(bare->currentPreset(), nullptr);

    auto unit = makeEffect();
    const auto presets = unit->factoryPresets();
    ASSERT_EQ(presets.size(), 3u);
    EXPECT_EQ(presets[0]->number(), 0);
    EXPECT_EQ(presets[0]->name(), "Blackwall");
    EXPECT_EQ(presets[1]->number(), 1);
    EXPECT_EQ(presets[1]->name(), "Glass Teeth");
    EXPECT_EQ(presets[2]->number(), 2);
    EXPECT_EQ(presets[2]->name(), "Funeral Bloom");
    // The stored objects, not copies.
    EXPECT_EQ(unit->factoryPresets()[1], presets[1]);
    EXPECT_EQ(unit->currentPreset(), presets[0]);
    EXPECT_EQ(treeValues(*unit), kDefaults);
    EXPECT_EQ(kernelValues(*unit), kDefaults);
}

TEST(EffectPresets, SelectionIsByNumberAndAppliesToTreeAndKernel) {
    auto unit = makeEffect();
    int notifications = 0;
    unit->parameterTree()->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue) { ++notifications; });

    unit->setCurrentPreset(AUAudioUnitPreset::make(1, ""));
    EXPECT_EQ(notifications, 14);
    EXPECT_EQ(unit->currentPreset(), unit->factoryPresets()[1]);
    EXPECT_EQ(unit->currentPreset()->name(), "Glass Teeth");
    const auto values = treeValues(*unit);
    EXPECT_EQ(values.at(kTightAddress), 0.f);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(values.at(kGrindAddress)), 0x42C2D1ECu);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(values.at(kDriveAddress)), 0x424FB852u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(values.at(kBiteAddress)), 0x421AE148u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(values.at(kGainAddress)), 0x3F3851ECu);
    EXPECT_EQ(kernelValues(*unit), values);

    unit->setCurrentPreset(AUAudioUnitPreset::make(2, "Blackwall"));  // the name is not compared
    EXPECT_EQ(unit->currentPreset()->name(), "Funeral Bloom");
    EXPECT_EQ(std::bit_cast<std::uint32_t>(unit->dspKernel().getParameter(kGainAddress)), 0x3F266666u);
    EXPECT_EQ(unit->dspKernel().getParameter(kDensityAddress), 85.f);
    EXPECT_EQ(unit->dspKernel().getParameter(kTouchAddress), 80.f);

    // Back to Blackwall restores every default.
    unit->setCurrentPreset(unit->factoryPresets()[0]);
    EXPECT_EQ(treeValues(*unit), kDefaults);
    EXPECT_EQ(kernelValues(*unit), kDefaults);
}

TEST(EffectPresets, UnknownNumbersAndNullChangeNothingElse) {
    auto unit = makeEffect();
    unit->setUserPresetsDirectory(std::filesystem::temp_directory_path() / ("dunmarrow-none-" + std::to_string(::getpid())));
    unit->setCurrentPreset(AUAudioUnitPreset::make(1, "x"));
    unit->parameterTree()->parameterWithAddress(kDriveAddress)->setValue(12.f);
    const auto before = treeValues(*unit);
    const auto current = unit->currentPreset();
    for (NSInteger number : {-1, 3}) {
        unit->setCurrentPreset(AUAudioUnitPreset::make(number, "Glass Teeth"));
        EXPECT_EQ(unit->currentPreset(), current) << number;
        EXPECT_EQ(treeValues(*unit), before) << number;
        EXPECT_EQ(kernelValues(*unit), before) << number;
    }
    unit->setCurrentPreset(nullptr);
    EXPECT_EQ(unit->currentPreset(), nullptr);
    EXPECT_EQ(treeValues(*unit), before);
}

TEST(EffectPresets, ApplyingValuesWithoutATreeDoesNothing) {
    foundation::NSError error;
    auto unit = AUAudioUnit::create<Unit>(Unit::kComponentDescription, kAudioComponentInstantiation_None, &error);
    const float before = unit->dspKernel().getParameter(kTightAddress);
    unit->applyPresetValues({{kTightAddress, 3.f}});
    unit->setCurrentPreset(AUAudioUnitPreset::make(1, ""));
    EXPECT_EQ(unit->dspKernel().getParameter(kTightAddress), before);
}

TEST(EffectState, FullStateRoundTripsExactlyIntoAFreshUnit) {
    auto a = makeEffect();
    a->setCurrentPreset(AUAudioUnitPreset::make(1, ""));
    auto tree = a->parameterTree();
    tree->parameterWithAddress(kDriveAddress)->setValue(51.93f + 0.001f);
    tree->parameterWithAddress(kStereoSpreadAddress)->setValue(0.333333f);
    tree->parameterWithAddress(kLiveSafeAddress)->setValue(1.f);
    const std::string saved = a->fullStateData();

    auto b = makeEffect();
    int announcements = 0;
    b->observeAllParameterValues([&] { ++announcements; });
    foundation::NSError error;
    ASSERT_TRUE(b->setFullStateData(saved, &error)) << error.localizedDescription();
    EXPECT_EQ(announcements, 1);
    EXPECT_EQ(treeValues(*b), treeValues(*a));
    EXPECT_EQ(kernelValues(*b), kernelValues(*a));
    EXPECT_EQ(b->currentPreset(), b->factoryPresets()[1]);
    EXPECT_EQ(b->fullStateData(), saved);

    const auto state = nlohmann::json::parse(saved);
    EXPECT_EQ(state["parameters"].size(), 14u);
    EXPECT_EQ(state["preset"]["name"], "Glass Teeth");
}

TEST(EffectState, ForeignOrDamagedStatesAreRefused) {
    auto unit = makeEffect();
    unit->parameterTree()->parameterWithAddress(kCabAddress)->setValue(42.f);
    const auto before = treeValues(*unit);
    std::mt19937 random(7);
    foundation::NSError error;
    for (int i = 0; i < 100; ++i) {
        std::string bytes(static_cast<std::size_t>(random() % 500), '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        EXPECT_FALSE(unit->setFullStateData(bytes, &error));
        EXPECT_EQ(error.code, kAudioUnitErr_InvalidPropertyValue);
    }
    // A state of another component (a different subtype) is refused too.
    auto state = unit->fullState();
    state["subtype"] = fourCharCode("othr");
    state["parameters"]["3"] = 1.0;
    EXPECT_FALSE(unit->setFullState(state, &error));
    EXPECT_EQ(treeValues(*unit), before);
    EXPECT_EQ(kernelValues(*unit), before);
}

TEST(EffectState, UserPresetsRoundTrip) {
    const auto folder = std::filesystem::temp_directory_path() / ("dunmarrow-user-presets-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    auto unit = makeEffect();
    unit->setUserPresetsDirectory(folder);
    unit->setCurrentPreset(AUAudioUnitPreset::make(2, ""));
    unit->parameterTree()->parameterWithAddress(kDecimationAddress)->setValue(0.25f);
    foundation::NSError error;
    ASSERT_TRUE(unit->saveUserPreset(AUAudioUnitPreset::make(-1, "Doom Lead"), &error)) << error.localizedDescription();
    const auto saved = treeValues(*unit);

    auto other = makeEffect();
    other->setUserPresetsDirectory(folder);
    const auto listed = other->userPresets();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]->number(), -1);
    EXPECT_EQ(listed[0]->name(), "Doom Lead");
    // Selecting it applies its saved values, in the tree and the kernel.
    other->setCurrentPreset(listed[0]);
    EXPECT_EQ(other->currentPreset(), listed[0]);
    EXPECT_EQ(treeValues(*other), saved);
    EXPECT_EQ(kernelValues(*other), saved);

    ASSERT_TRUE(other->deleteUserPreset(listed[0], &error));
    EXPECT_TRUE(unit->userPresets().empty());
    std::filesystem::remove_all(folder);
}
