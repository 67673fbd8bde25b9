#pragma once
// Instantiation as a host with a main run loop does it: main-thread steps run on this thread's main queue.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "audiounit/AVAudioUnit.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/RunLoop.hpp"

namespace testsupport {

struct Instantiation {
    std::shared_ptr<audiounit::AVAudioUnit> unit;
    std::optional<foundation::NSError> error;
    std::thread::id completedOn;
    int completions = 0;
};

template <typename Target>
Instantiation instantiateOnMainQueue(Target target, audiounit::AudioComponentInstantiationOptions options =
                                                        audiounit::kAudioComponentInstantiation_None) {
    using audiounit::AVAudioUnit;
    AVAudioUnit::setMainThreadExecutor(
        [](std::function<void()> job) { foundation::DispatchQueue::main().async(std::move(job)); });
    auto outcome = std::make_shared<Instantiation>();
    AVAudioUnit::instantiate(std::move(target), options, [outcome](auto unit, auto error) {
        *outcome = {std::move(unit), std::move(error), std::this_thread::get_id(), outcome->completions + 1};
    });
    const auto completed = [&] { return outcome->completions > 0; };
    EXPECT_TRUE(foundation::RunLoop::main().runUntil(completed, std::chrono::seconds(30)))
        << "the instantiation did not complete";
    AVAudioUnit::setMainThreadExecutor(nullptr);
    return *outcome;
}

}  // namespace testsupport
