#include "UnitLevelMeter.hpp"

#include <algorithm>
#include <cmath>

void UnitLevelMeter::raise(std::atomic<float>& peak, const audiounit::AudioBufferList& list,
                           audiounit::AUAudioFrameCount frames) noexcept {
    float largest = peak.load(std::memory_order_relaxed);
    for (std::uint32_t b = 0; b < list.mNumberBuffers; ++b) {
        const auto* samples = static_cast<const float*>(list.mBuffers[b].mData);
        if (samples == nullptr) continue;
        const auto count = std::min<std::size_t>(frames, list.mBuffers[b].mDataByteSize / sizeof(float));
        for (std::size_t i = 0; i < count; ++i) {
            const float magnitude = std::fabs(samples[i]);
            if (magnitude > largest) largest = magnitude;  // NaN never raises the peak
        }
    }
    peak.store(largest, std::memory_order_relaxed);
}

namespace {

// What the metered block keeps between calls. Only the render thread touches
// `outerPull`; the pull wrapper reads it during the same call.
struct MeteredRender {
    audiounit::AURenderBlock inner;
    std::shared_ptr<UnitLevelMeter> meter;
    const audiounit::AURenderPullInputBlock* outerPull = nullptr;
    audiounit::AURenderPullInputBlock pull;
};

}  // namespace

audiounit::AURenderBlock meteredRenderBlock(audiounit::AURenderBlock inner, std::shared_ptr<UnitLevelMeter> meter) {
    auto state = std::make_shared<MeteredRender>();
    state->inner = std::move(inner);
    state->meter = std::move(meter);
    MeteredRender* raw = state.get();
    state->pull = [raw](audiounit::AudioUnitRenderActionFlags* flags, const audiounit::AudioTimeStamp* timestamp,
                        audiounit::AUAudioFrameCount frames, audiounit::NSInteger bus,
                        audiounit::AudioBufferList* data) -> audiounit::OSStatus {
        const audiounit::OSStatus status = (*raw->outerPull)(flags, timestamp, frames, bus, data);
        if (status == audiounit::noErr && data != nullptr) raw->meter->measureInput(*data, frames);
        return status;
    };
    // Render thread from here on.
    return [state](audiounit::AudioUnitRenderActionFlags* flags, const audiounit::AudioTimeStamp* timestamp,
                   audiounit::AUAudioFrameCount frames, audiounit::NSInteger bus, audiounit::AudioBufferList* output,
                   const audiounit::AURenderPullInputBlock* pullInput) noexcept -> audiounit::OSStatus {
        const bool hasPull = pullInput != nullptr && *pullInput;
        state->outerPull = pullInput;
        const audiounit::OSStatus status =
            state->inner(flags, timestamp, frames, bus, output, hasPull ? &state->pull : pullInput);
        if (status == audiounit::noErr && output != nullptr) state->meter->measureOutput(*output, frames);
        return status;
    };
}
