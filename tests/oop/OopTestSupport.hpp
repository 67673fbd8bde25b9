#pragma once
// Shared by the out-of-process tests: instantiation that waits (pumping the
// main run loop, where factories may run: instantiateOnMainQueue), the real
// effect and the crashing test unit, and a driver that renders a unit cycle by cycle from a known
// input through its real render block.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "CycleBuffers.hpp"
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
using testsupport::Channels;

inline const AudioComponentDescription kEffect{0x61756678u, 0x646D6473u, 0x5156524Eu, 0, 0};    // aufx dmds QVRN
inline const AudioComponentDescription kCrashing{0x61756678u, 0x63727368u, 0x446D5473u, 0, 0};  // aufx crsh DmTs

inline bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return foundation::RunLoop::main().runUntil(done, timeout);
}

inline AVAudioUnitComponentPtr effectComponent() { return AudioComponentRegistry::shared().findComponent(kEffect); }
inline AVAudioUnitComponentPtr crashingComponent() {
    return AudioComponentRegistry({OOP_TEST_BUNDLES}).findComponent(kCrashing);
}

// A decaying low note with some top: what a guitar gives the effect.
inline Channels guitarLikeInput(std::uint32_t channels, std::uint32_t frames, double sampleRate = 48000) {
    Channels in(channels, std::vector<float>(frames));
    for (std::uint32_t c = 0; c < channels; ++c)
        for (std::uint32_t i = 0; i < frames; ++i) {
            const double t = i / sampleRate;
            in[c][i] = static_cast<float>(0.5 * std::sin(2 * M_PI * (82.4 + 2 * c) * t) * std::exp(-2.0 * t) +
                                          0.1 * std::sin(2 * M_PI * 1320.0 * t));
        }
    return in;
}

// Renders through a unit's render block, the input pulled from whole channels.
struct Driver : testsupport::CycleBuffers {
    using CycleBuffers::CycleBuffers;
    // Render thread (the caller's): no allocation.
    OSStatus cycle(const AURenderBlock& render, std::uint32_t frames) {
        AudioTimeStamp time;
        AudioBufferList* list = nextOutput(frames, time);
        AudioUnitRenderActionFlags flags = 0;
        const OSStatus status = render(&flags, &time, frames, 0, list, &pull);
        position += frames;
        return status;
    }
};

// The largest magnitude in frames [from, to) of every channel.
inline float peak(const Driver& driver, std::uint32_t from, std::uint32_t to) {
    float largest = 0;
    for (const auto& channel : driver.output)
        for (std::uint32_t i = from; i < to; ++i) largest = std::max(largest, std::fabs(channel[i]));
    return largest;
}

// Counts invalidation notifications and remembers their object.
struct InvalidationWatch {
    std::atomic<int> count{0};
    std::shared_ptr<AUAudioUnit> object;
    std::mutex mutex;
    foundation::ObserverToken token;
    InvalidationWatch() {
        token = foundation::NotificationCenter::defaultCenter().addObserver(
            kAudioComponentInstanceInvalidationNotification, nullptr, [this](const foundation::Notification& n) {
                std::lock_guard lock(mutex);
                object = n.object.as<AUAudioUnit>();
                count.fetch_add(1);
            });
    }
    ~InvalidationWatch() { foundation::NotificationCenter::defaultCenter().removeObserver(token); }
};

inline bool prepare(AUAudioUnit& unit, double sampleRate, std::uint32_t channels, AUAudioFrameCount maximumFrames) {
    const auto format = AVAudioFormat::makeStandard(sampleRate, channels);
    foundation::NSError error;
    if (!(*unit.inputBusses())[0]->setFormat(format, &error)) return false;
    if (!(*unit.outputBusses())[0]->setFormat(format, &error)) return false;
    unit.setMaximumFramesToRender(maximumFrames);
    return unit.allocateRenderResources(&error);
}

}  // namespace ooptest
