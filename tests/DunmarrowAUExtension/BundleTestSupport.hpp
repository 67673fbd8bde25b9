#pragma once
// Shared by the bundle tests: the documented parameters, the factory called as the platform does, a log.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "AudioUnitViewController.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/RunLoop.hpp"

namespace bundletest {

namespace fs = std::filesystem;

inline const fs::path kOutputDirectory = BUNDLE_TEST_OUTPUT_DIRECTORY;
inline const fs::path kBundle = kOutputDirectory / "DunmarrowAUExtension.auext";

inline constexpr audiounit::AudioComponentDescription kDunmarrow{
    audiounit::fourCharCode("aufx"), audiounit::fourCharCode("dmds"), audiounit::fourCharCode("QVRN"), 0, 0};

// Runs what the main queue holds, and what those jobs queue in turn.
inline void drainMainQueue() {
    for (int round = 0; round < 3; ++round) {
        bool reached = false;
        foundation::DispatchQueue::main().async([&] { reached = true; });
        EXPECT_TRUE(foundation::RunLoop::main().runUntil([&] { return reached; }, std::chrono::seconds(30)));
    }
}

struct ParameterRow {
    const char* identifier;
    const char* name;
    audiounit::AUParameterAddress address;
    float minValue;
    float maxValue;
    float defaultValue;
    float glassTeeth;
};

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

// The factory on a thread of its own while this one runs the main queue, as the platform does.
inline std::shared_ptr<audiounit::AUAudioUnit> createUnit(
    AudioUnitViewController& controller, const audiounit::AudioComponentDescription& description = kDunmarrow,
    foundation::NSError* outError = nullptr) {
    std::shared_ptr<audiounit::AUAudioUnit> unit;
    bool returned = false;
    std::thread platform([&] {
        unit = controller.createAudioUnit(description, outError);
        foundation::DispatchQueue::main().async([&] { returned = true; });
    });
    EXPECT_TRUE(foundation::RunLoop::main().runUntil([&] { return returned; }, std::chrono::seconds(30)));
    platform.join();
    drainMainQueue();
    return unit;
}

class ParameterLog {
public:
    explicit ParameterLog(audiounit::AUParameterTreePtr tree) : tree_(std::move(tree)) {
        token_ = tree_->tokenByAddingParameterAutomationObserver(
            [this](std::span<const audiounit::AUParameterAutomationEvent> events) {
                std::lock_guard lock(mutex_);
                events_.insert(events_.end(), events.begin(), events.end());
            });
    }
    ~ParameterLog() { tree_->removeParameterObserver(token_); }
    std::vector<audiounit::AUParameterAutomationEvent> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }

private:
    audiounit::AUParameterTreePtr tree_;
    audiounit::AUParameterObserverToken token_;
    std::mutex mutex_;
    std::vector<audiounit::AUParameterAutomationEvent> events_;
};

inline void forEachNode(const nlohmann::json& node, const std::function<void(const nlohmann::json&)>& visit) {
    visit(node);
    for (const auto& child : node.value("children", nlohmann::json::array())) forEachNode(child, visit);
}

}  // namespace bundletest
