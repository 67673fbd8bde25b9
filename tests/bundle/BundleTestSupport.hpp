#pragma once
// What the bundle tests share: where the build put the effect's bundle, the
// effect's parameters as its documentation lists them, and instantiation with
// the test's thread running the main run loop.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "audiounit/AVAudioUnit.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/RunLoop.hpp"

namespace bundletest {

namespace fs = std::filesystem;

inline const fs::path kOutputDirectory = BUNDLE_TEST_OUTPUT_DIRECTORY;
inline const fs::path kBundle = kOutputDirectory / "DunmarrowAUExtension.auext";

inline constexpr audiounit::AudioComponentDescription kDunmarrow{
    audiounit::fourCharCode("aufx"), audiounit::fourCharCode("dmds"), audiounit::fourCharCode("QVRN"), 0, 0};

struct ParameterRow {
    const char* identifier;
    const char* name;
    audiounit::AUParameterAddress address;
    float minValue;
    float maxValue;
    float defaultValue;
    float glassTeeth;
};

// Tree order.
inline constexpr std::array<ParameterRow, 14> kParameters{{
    {"drive", "Drive", 0, 0, 100, 65, 51.93f},
    {"tight", "Tight", 1, 0, 100, 100, 0},
    {"touch", "Touch", 9, 0, 100, 50, 0},
    {"body", "Body", 5, 0, 100, 55, 0},
    {"bite", "Bite", 2, 0, 100, 100, 38.72f},
    {"grind", "Grind", 8, 0, 100, 35, 97.41f},
    {"crush", "Crush", 6, 0, 100, 45, 100},
    {"density", "Density", 7, 0, 100, 50, 0},
    {"cab", "Cab", 3, 0, 100, 100, 0},
    {"decimation", "Decimation", 10, 0, 1, 0, 0},
    {"doubleTrack", "Double Track", 11, 0, 1, 0, 0},
    {"stereoSpread", "Stereo Spread", 12, 0, 1, 0, 0},
    {"liveSafe", "Live Safe", 13, 0, 1, 0, 0},
    {"gain", "Output", 4, 0, 1, 0.8f, 0.72f},
}};

struct Instantiation {
    std::shared_ptr<audiounit::AVAudioUnit> node;
    std::optional<foundation::NSError> error;
    bool completedOnMainThread = false;
};

// Instantiates with the platform's main-thread steps sent to the main queue,
// which this thread runs until the completion has come.
template <typename Target>
Instantiation instantiate(Target target) {
    audiounit::AVAudioUnit::setMainThreadExecutor(
        [](std::function<void()> job) { foundation::DispatchQueue::main().async(std::move(job)); });
    auto outcome = std::make_shared<std::optional<Instantiation>>();
    audiounit::AVAudioUnit::instantiate(
        std::move(target), audiounit::kAudioComponentInstantiation_None,
        [outcome](std::shared_ptr<audiounit::AVAudioUnit> node, std::optional<foundation::NSError> error) {
            outcome->emplace(Instantiation{std::move(node), std::move(error), foundation::isMainThread()});
        });
    const bool done = foundation::RunLoop::main().runUntil([&] { return outcome->has_value(); },
                                                           std::chrono::seconds(30));
    audiounit::AVAudioUnit::setMainThreadExecutor(nullptr);
    EXPECT_TRUE(done) << "the instantiation did not complete";
    return done ? std::move(**outcome) : Instantiation{};
}

}  // namespace bundletest
