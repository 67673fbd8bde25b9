#pragma once
// Shared by the out-of-process tests: the units, known input and a driver of the real render block.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

#include "CycleBuffers.hpp"
#include "GuitarLikeInput.hpp"
#include "MainQueueInstantiation.hpp"
#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AVAudioFormat.hpp"
#include "audiounit/AVAudioUnit.hpp"
#include "audiounit/AudioComponentInstanceInvalidation.hpp"
#include "audiounit/AudioComponentRegistry.hpp"
#include "foundation/NotificationCenter.hpp"
#include "foundation/RunLoop.hpp"

namespace ooptest {

using namespace audiounit;
using testsupport::guitarLikeInput;

inline const AudioComponentDescription kEffect{0x61756678u, 0x646D6473u, 0x5156524Eu, 0, 0};    // aufx dmds QVRN
inline const AudioComponentDescription kCrashing{0x61756678u, 0x63727368u, 0x446D5473u, 0, 0};  // aufx crsh DmTs

inline bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return foundation::RunLoop::main().runUntil(done, timeout);
}

inline AVAudioUnitComponentPtr crashingComponent() {
    return AudioComponentRegistry({OOP_TEST_BUNDLES}).findComponent(kCrashing);
}

struct Driver : testsupport::CycleBuffers {
    using CycleBuffers::CycleBuffers;
    OSStatus cycle(const AURenderBlock& render, std::uint32_t frames) {
        AudioTimeStamp time;
        AudioBufferList* list = nextOutput(frames, time);
        AudioUnitRenderActionFlags flags = 0;
        const OSStatus status = render(&flags, &time, frames, 0, list, &pull);
        position += frames;
        return status;
    }
};

inline float peak(const Driver& driver, std::uint32_t from, std::uint32_t to) {
    float largest = 0;
    for (const auto& channel : driver.output)
        for (std::uint32_t i = from; i < to; ++i) largest = std::max(largest, std::fabs(channel[i]));
    return largest;
}

// Counts the invalidation notifications and keeps the last one's unit.
struct InvalidationWatch {
    std::atomic<int> count{0};
    std::atomic<const void*> unit{nullptr};
    foundation::ObserverToken token = foundation::NotificationCenter::defaultCenter().addObserver(
        kAudioComponentInstanceInvalidationNotification, nullptr, [this](const foundation::Notification& n) {
            unit = n.object.as<AUAudioUnit>().get();
            count.fetch_add(1);
        });
    ~InvalidationWatch() { foundation::NotificationCenter::defaultCenter().removeObserver(token); }
};

// 48 kHz stereo in and out.
inline bool prepare(AUAudioUnit& unit, AUAudioFrameCount maximumFrames) {
    const auto format = AVAudioFormat::makeStandard(48000, 2);
    foundation::NSError error;
    unit.setMaximumFramesToRender(maximumFrames);
    return (*unit.inputBusses())[0]->setFormat(format, &error) && (*unit.outputBusses())[0]->setFormat(format, &error) &&
           unit.allocateRenderResources(&error);
}

}  // namespace ooptest
