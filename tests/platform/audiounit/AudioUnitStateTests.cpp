#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "TempDir.hpp"
#include "TestUnit.hpp"

using namespace audiounit;
using testunits::makeUnit;

namespace {

std::vector<AUValue> valuesOf(AUAudioUnit& unit) {
    std::vector<AUValue> values;
    for (const auto& p : unit.parameterTree()->allParameters()) values.push_back(p->value());
    return values;
}

}  // namespace

// The base keeps listed factory presets only; a restore tells all-values observers once, last.
TEST(AudioUnitState, FullStateRoundTripsIntoAFreshUnit) {
    auto a = makeUnit();
    a->setCurrentPreset(AUAudioUnitPreset::make(0, ""));
    EXPECT_EQ(a->currentPreset(), a->presets[0]);
    a->setCurrentPreset(AUAudioUnitPreset::make(7, "Nope"));
    EXPECT_EQ(a->currentPreset(), a->presets[0]);
    auto tree = a->parameterTree();
    tree->parameterWithAddress(0)->setValue(51.93f);
    tree->parameterWithAddress(4)->setValue(0.72f);
    tree->parameterWithAddress(10)->setValue(0.1f);
    a->setCurrentPreset(AUAudioUnitPreset::make(1, "ignored"));
    ASSERT_EQ(a->currentPreset()->name(), "One");
    const std::string saved = a->fullStateData();

    auto b = makeUnit();
    std::vector<std::string> order;
    b->parameterTree()->tokenByAddingParameterObserver(
        [&](AUParameterAddress address, AUValue) { order.push_back(std::string("p").append(std::to_string(address))); });
    const auto token = b->observeAllParameterValues([&] { order.push_back("all"); });
    foundation::NSError error;
    ASSERT_TRUE(b->setFullStateData(saved, &error)) << error.localizedDescription();
    EXPECT_EQ(valuesOf(*b), valuesOf(*a));
    EXPECT_EQ(b->fullStateData(), saved);
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.back(), "all");
    EXPECT_EQ(std::count(order.begin(), order.end(), "all"), 1);
    EXPECT_EQ(std::count(order.begin(), order.end(), "p4"), 1);

    b->removeAllParameterValuesObserver(token);
    order.clear();
    ASSERT_TRUE(b->setFullState(a->fullState()));
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

    // Each refusal says why; nothing is applied, not even the values checked before the fault.
    const auto expectRefused = [&](const nlohmann::json& state, const std::string& reason) {
        foundation::NSError error;
        EXPECT_FALSE(unit->setFullState(state, &error)) << reason;
        EXPECT_EQ(error,
                  foundation::makeOSStatusError(kAudioUnitErr_InvalidPropertyValue, "unusable state: " + reason));
        EXPECT_EQ(valuesOf(*unit), before) << reason;
        EXPECT_EQ(unit->currentPreset()->number(), 0) << reason;
    };
    const auto changed = [&](auto edit) {
        nlohmann::json s = good;
        s["parameters"]["0"] = 50.0;
        edit(s);
        return s;
    };
    expectRefused(nlohmann::json::array(), "not an object");
    expectRefused(changed([](auto& s) { s["subtype"] = fourCharCode("othr"); }), "saved by another component");
    expectRefused(changed([](auto& s) { s["version"] = 2; }), "unknown version");
    expectRefused(changed([](auto& s) { s["parameters"]["99"] = 1.0; }), "no parameter at address 99");
    expectRefused(changed([](auto& s) { s["parameters"]["-4"] = 1.0; }), "\"-4\" is not a parameter address");
    expectRefused(changed([](auto& s) { s["parameters"]["4"] = "loud"; }),
                  "the value of gain (address 4) is not a number");
    expectRefused(changed([](auto& s) { s["parameters"] = nlohmann::json::array(); }), "no parameter values");
    expectRefused(changed([](auto& s) { s["preset"] = {{"number", "one"}}; }), "preset needs a number and a name");

    // Bytes that are no state at all (fuzz/FullStateFuzzer tries many more).
    foundation::NSError error;
    EXPECT_FALSE(unit->setFullStateData("{\"version\":1", &error));
    EXPECT_EQ(error.description, "unusable state: not JSON");
    EXPECT_EQ(valuesOf(*unit), before);
    EXPECT_EQ(announcements, 0);
}

// Stored values are held to the range as typed ones are; non-finite ones are refused, naming the file.
TEST(AudioUnitState, StoredValuesAreHeldToTheRangeAndNonFiniteOnesRefused) {
    testsupport::TempDir folder;
    const std::filesystem::path file = folder.path() / "user-1.json";
    const std::tuple<const char*, AUValue, const char*> cases[] = {  // gain (0 to 1) stored, applied, refusal
        {"0.25", 0.25f, nullptr}, {"-3", 0.0f, nullptr}, {"1e300", 1.0f, nullptr},
        {"-1e400", 0, "the value of gain (address 4) is not finite"},
    };
    for (const auto& [storedValue, applied, refusal] : cases) {
        SCOPED_TRACE(storedValue);
        const std::string state = R"({"type":)" + std::to_string(fourCharCode("aufx")) + R"(,"subtype":)" +
                                  std::to_string(fourCharCode("test")) + R"(,"manufacturer":)" +
                                  std::to_string(fourCharCode("Dmrw")) +
                                  R"(,"version":1,"preset":{"number":-1,"name":"Stored"},"parameters":{"4":)" +
                                  storedValue + "}}";
        std::ofstream(file) << state;
        auto unit = makeUnit();
        unit->setUserPresetsDirectory(folder.path());
        const auto gain = unit->parameterTree()->parameterWithAddress(4);
        gain->setValue(0.5f);
        foundation::NSError error;
        const auto stored = AUAudioUnitPreset::make(-1, "Stored");
        if (refusal == nullptr) {
            ASSERT_TRUE(unit->setFullStateData(state, &error)) << error.description;
            EXPECT_EQ(gain->value(), applied);
            gain->setValue(0.5f);
            unit->setCurrentPreset(stored);
            EXPECT_EQ(gain->value(), applied);
        } else {
            EXPECT_FALSE(unit->setFullStateData(state, &error));
            EXPECT_EQ(error.description, std::string("unusable state: ") + refusal);
            EXPECT_FALSE(unit->presetStateFor(stored, &error));
            EXPECT_EQ(error.description, file.string() + ": " + refusal);
            const auto unusable = unit->unusableUserPresets();
            ASSERT_EQ(unusable.size(), 1u);
            EXPECT_EQ(unusable[0].path, file);
            EXPECT_EQ(unusable[0].reason, refusal);
            EXPECT_EQ(gain->value(), 0.5f);
        }
    }
    // A state made in memory can hold what no file does.
    auto unit = makeUnit();
    auto state = unit->fullState();
    state["parameters"]["4"] = std::nan("");
    foundation::NSError error;
    EXPECT_FALSE(unit->setFullState(state, &error));
    EXPECT_EQ(error.description, "unusable state: the value of gain (address 4) is not finite");
}

// A save that fails says why, and never replaces what is not a file.
TEST(AudioUnitState, AFailedPresetSaveSaysWhy) {
    testsupport::TempDir folder;
    const std::filesystem::path file = folder.path() / "user-1.json";
    // Files may hold 16 bytes; with a FIFO at the path, that is not what stops the save.
    for (const auto& [fifo, reason] : {std::pair{false, "File too large"}, {true, "no program is reading it"}}) {
        SCOPED_TRACE(reason);
        std::filesystem::remove(file);
        if (fifo) { ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0); }
        auto unit = makeUnit();
        unit->setUserPresetsDirectory(folder.path());
        struct rlimit limit {};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const struct rlimit before = limit;
        limit.rlim_cur = 16;
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &limit);
        foundation::NSError error;
        const bool saved = unit->saveUserPreset(AUAudioUnitPreset::make(-1, "Mine"), &error);
        ::setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, previous);
        EXPECT_FALSE(saved);
        EXPECT_EQ(error.description, "cannot write " + file.string() + ": " + reason);
        EXPECT_EQ(std::filesystem::is_fifo(file), fifo);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), fifo ? 1 : 0);
    }
}

TEST(AudioUnitState, UserPresetsRoundTripThroughFiles) {
    testsupport::TempDir folder;
    auto unit = makeUnit();
    unit->setUserPresetsDirectory(folder.path());
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

    std::vector<std::filesystem::path> kinds;  // no temporary files stay behind
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) kinds.push_back(entry.path().extension());
    EXPECT_EQ(kinds, (std::vector<std::filesystem::path>{".json", ".json"}));

    auto listed = unit->userPresets();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0]->number(), -1);
    EXPECT_EQ(listed[0]->name(), "Mine");
    EXPECT_EQ(listed[1]->name(), "Quieter \"one\" / ü");

    auto other = makeUnit();
    other->setUserPresetsDirectory(folder.path());
    auto state = other->presetStateFor(listed[0], &error);
    ASSERT_TRUE(state) << error.localizedDescription();
    ASSERT_TRUE(other->setFullState(*state, &error));
    EXPECT_EQ(other->parameterTree()->parameterWithAddress(0)->value(), 77.f);
    EXPECT_EQ(other->parameterTree()->parameterWithAddress(4)->value(), 0.65f);
    EXPECT_EQ(other->currentPreset()->number(), -1);

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
