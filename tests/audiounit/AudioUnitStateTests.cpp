#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "TestUnit.hpp"

using namespace audiounit;
using testunits::makeUnit;

namespace {

class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "dunmarrow-au-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::vector<AUValue> valuesOf(AUAudioUnit& unit) {
    std::vector<AUValue> values;
    for (const auto& p : unit.parameterTree()->allParameters()) values.push_back(p->value());
    return values;
}

}  // namespace

TEST(AudioUnitState, FullStateRoundTripsIntoAFreshUnit) {
    auto a = makeUnit();
    auto tree = a->parameterTree();
    tree->parameterWithAddress(0)->setValue(51.93f);
    tree->parameterWithAddress(4)->setValue(0.72f);
    tree->parameterWithAddress(10)->setValue(0.1f);
    a->setCurrentPreset(AUAudioUnitPreset::make(1, "ignored"));
    ASSERT_EQ(a->currentPreset()->name(), "One");

    const std::string saved = a->fullStateData();
    const auto state = nlohmann::json::parse(saved);
    EXPECT_EQ(state["version"], 1);
    EXPECT_EQ(state["type"], fourCharCode("aufx"));
    EXPECT_EQ(state["preset"]["number"], 1);
    EXPECT_EQ(state["parameters"].size(), 3u);

    auto b = makeUnit();
    int announcements = 0;
    b->observeAllParameterValues([&] { ++announcements; });
    foundation::NSError error;
    ASSERT_TRUE(b->setFullStateData(saved, &error)) << error.localizedDescription();
    EXPECT_EQ(announcements, 1);
    EXPECT_EQ(valuesOf(*b), valuesOf(*a));
    EXPECT_EQ(b->currentPreset()->number(), 1);
    EXPECT_EQ(b->currentPreset()->name(), "One");
    EXPECT_EQ(b->fullStateData(), saved);
}

TEST(AudioUnitState, RestoringNotifiesParameterObserversThenAllValuesObservers) {
    auto a = makeUnit();
    a->parameterTree()->parameterWithAddress(4)->setValue(0.3f);
    const auto state = a->fullState();

    auto b = makeUnit();
    std::vector<std::string> order;
    b->parameterTree()->tokenByAddingParameterObserver(
        [&](AUParameterAddress address, AUValue) { order.push_back(std::string("p").append(std::to_string(address))); });
    const auto token = b->observeAllParameterValues([&] { order.push_back("all"); });
    ASSERT_TRUE(b->setFullState(state));
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.back(), "all");
    EXPECT_EQ(std::count(order.begin(), order.end(), "p4"), 1);

    b->removeAllParameterValuesObserver(token);
    order.clear();
    ASSERT_TRUE(b->setFullState(state));
    EXPECT_EQ(std::count(order.begin(), order.end(), "all"), 0);
}

TEST(AudioUnitState, MalformedOrForeignStatesAreRefusedAndChangeNothing) {
    auto unit = makeUnit();
    unit->parameterTree()->parameterWithAddress(0)->setValue(12);
    unit->setCurrentPreset(AUAudioUnitPreset::make(0, ""));
    int announcements = 0;
    unit->observeAllParameterValues([&] { ++announcements; });
    const auto before = valuesOf(*unit);
    const auto good = unit->fullState();

    auto expectRefused = [&](const nlohmann::json& state, const char* what) {
        foundation::NSError error;
        EXPECT_FALSE(unit->setFullState(state, &error)) << what;
        EXPECT_EQ(error.domain, foundation::NSOSStatusErrorDomain) << what;
        EXPECT_EQ(error.code, kAudioUnitErr_InvalidPropertyValue) << what;
        EXPECT_EQ(valuesOf(*unit), before) << what;
        EXPECT_EQ(unit->currentPreset()->number(), 0) << what;
    };
    auto changed = [&](auto edit) {
        nlohmann::json s = good;
        edit(s);
        return s;
    };
    expectRefused(nlohmann::json::array(), "array");
    expectRefused(changed([](auto& s) { s["subtype"] = fourCharCode("othr"); }), "foreign subtype");
    expectRefused(changed([](auto& s) { s.erase("manufacturer"); }), "no manufacturer");
    expectRefused(changed([](auto& s) { s["version"] = 2; }), "future version");
    expectRefused(changed([](auto& s) { s["parameters"]["99"] = 1.0; }), "unknown address");
    expectRefused(changed([](auto& s) { s["parameters"]["x"] = 1.0; }), "address not a number");
    expectRefused(changed([](auto& s) { s["parameters"]["-4"] = 1.0; }), "negative address");
    expectRefused(changed([](auto& s) { s["parameters"]["4"] = "loud"; }), "value not a number");
    expectRefused(changed([](auto& s) { s["parameters"]["4"] = 1e300; }), "value out of float range");
    expectRefused(changed([](auto& s) { s["parameters"] = nlohmann::json::array(); }), "parameters not an object");
    expectRefused(changed([](auto& s) { s["preset"] = {{"number", "one"}}; }), "preset malformed");
    expectRefused(changed([](auto& s) { s["parameters"]["0"] = 50.0; s["type"] = -1; }), "negative type");

    std::mt19937 random(42);
    for (int i = 0; i < 200; ++i) {
        std::string bytes(static_cast<std::size_t>(random() % 300), '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        foundation::NSError error;
        EXPECT_FALSE(unit->setFullStateData(bytes, &error));
        EXPECT_EQ(error.code, kAudioUnitErr_InvalidPropertyValue);
    }
    foundation::NSError error;
    EXPECT_FALSE(unit->setFullStateData("", &error));
    EXPECT_FALSE(unit->setFullStateData("{\"version\":1", &error));
    EXPECT_EQ(valuesOf(*unit), before);
    EXPECT_EQ(announcements, 0);
}

TEST(AudioUnitState, BasePresetSelectionKeepsListedFactoryPresetsOnly) {
    auto unit = makeUnit();
    EXPECT_EQ(unit->currentPreset(), nullptr);
    unit->setCurrentPreset(AUAudioUnitPreset::make(1, ""));
    EXPECT_EQ(unit->currentPreset(), unit->presets[1]);
    unit->setCurrentPreset(AUAudioUnitPreset::make(7, "Nope"));
    EXPECT_EQ(unit->currentPreset(), unit->presets[1]);
    unit->setCurrentPreset(nullptr);
    EXPECT_EQ(unit->currentPreset(), nullptr);
}

TEST(AudioUnitState, UserPresetsRoundTripThroughFiles) {
    TemporaryDirectory folder;
    auto unit = makeUnit();
    unit->setUserPresetsDirectory(folder.path());
    EXPECT_TRUE(unit->supportsUserPresets());
    EXPECT_TRUE(unit->userPresets().empty());

    auto tree = unit->parameterTree();
    tree->parameterWithAddress(0)->setValue(77);
    tree->parameterWithAddress(4)->setValue(0.65f);
    foundation::NSError error;
    auto mine = AUAudioUnitPreset::make(-1, "Mine");
    ASSERT_TRUE(unit->saveUserPreset(mine, &error)) << error.localizedDescription();
    tree->parameterWithAddress(0)->setValue(20);
    ASSERT_TRUE(unit->saveUserPreset(AUAudioUnitPreset::make(-2, "Quieter \"one\" / ü"), &error));
    EXPECT_FALSE(unit->saveUserPreset(AUAudioUnitPreset::make(0, "Factory number"), &error));
    EXPECT_EQ(error.code, kAudioUnitErr_InvalidPropertyValue);

    // No temporary files stay behind.
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
        ++files;
        EXPECT_EQ(entry.path().extension(), ".json") << entry.path();
    }
    EXPECT_EQ(files, 2u);

    auto listed = unit->userPresets();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0]->number(), -1);
    EXPECT_EQ(listed[0]->name(), "Mine");
    EXPECT_EQ(listed[1]->name(), "Quieter \"one\" / ü");

    // A fresh unit reads the state back and applies it.
    auto other = makeUnit();
    other->setUserPresetsDirectory(folder.path());
    auto state = other->presetStateFor(listed[0], &error);
    ASSERT_TRUE(state) << error.localizedDescription();
    ASSERT_TRUE(other->setFullState(*state, &error));
    EXPECT_EQ(other->parameterTree()->parameterWithAddress(0)->value(), 77.f);
    EXPECT_EQ(other->parameterTree()->parameterWithAddress(4)->value(), 0.65f);
    EXPECT_EQ(other->currentPreset()->number(), -1);

    // Selecting a user preset through the base applies its values too.
    other->setCurrentPreset(listed[1]);
    EXPECT_EQ(other->parameterTree()->parameterWithAddress(0)->value(), 20.f);
    EXPECT_EQ(other->currentPreset()->name(), listed[1]->name());

    ASSERT_TRUE(unit->deleteUserPreset(mine, &error));
    EXPECT_FALSE(unit->deleteUserPreset(mine, &error));
    EXPECT_EQ(error.domain, foundation::NSPOSIXErrorDomain);
    EXPECT_FALSE(unit->presetStateFor(mine, &error));
    ASSERT_EQ(unit->userPresets().size(), 1u);

    // Damaged or foreign files are skipped in the list and refused when read.
    std::ofstream(folder.path() / "user-3.json") << "not json";
    std::ofstream(folder.path() / "notes.txt") << "hello";
    EXPECT_EQ(unit->userPresets().size(), 1u);
    EXPECT_FALSE(unit->presetStateFor(AUAudioUnitPreset::make(-3, "x"), &error));
}

TEST(AudioUnitState, UserPresetFolderFollowsTheDataHome) {
    auto unit = makeUnit();
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string restore = saved ? saved : "";
    ::setenv("XDG_DATA_HOME", "/tmp/data-home", 1);
    EXPECT_EQ(unit->userPresetsDirectory(), std::filesystem::path("/tmp/data-home/dunmarrow/presets/aufx-test-Dmrw"));
    if (saved) ::setenv("XDG_DATA_HOME", restore.c_str(), 1); else ::unsetenv("XDG_DATA_HOME");
    unit->setUserPresetsDirectory("/somewhere");
    EXPECT_EQ(unit->userPresetsDirectory(), std::filesystem::path("/somewhere"));
}
