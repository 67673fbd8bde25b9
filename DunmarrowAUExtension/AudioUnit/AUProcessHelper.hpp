#pragma once
// The effect's real-time render path: pulls the cycle's input, checks every
// buffer list it is given, splits the cycle at the sample times of the render
// events, applies parameter events between two kernel calls and runs the
// kernel once per stretch of frames.
//
// Parameter changes are sample accurate by splitting, not by per-sample
// events: render up to the event, apply it, continue.

#include <cstdint>
#include <span>
#include <vector>

#include "BufferedInputBus.hpp"
#include "DunmarrowAUExtensionDSPKernel.hpp"
#include "audiounit/RenderContract.hpp"

// Generic over the kernel type so that tests can record the kernel calls; the
// effect uses AUProcessHelper, over the real kernel.
template <typename Kernel>
struct AUProcessHelperFor {
    using OSStatus = audiounit::OSStatus;
    using AUAudioFrameCount = audiounit::AUAudioFrameCount;
    using AudioBufferList = audiounit::AudioBufferList;
    using AudioTimeStamp = audiounit::AudioTimeStamp;
    using AURenderEvent = audiounit::AURenderEvent;

    Kernel& kernelRef;
    std::vector<const float*> inputPointers;
    std::vector<float*> outputPointers;
    BufferedInputBus& inputBusRef;

    AUProcessHelperFor(Kernel& kernel, BufferedInputBus& inputBus) : kernelRef(kernel), inputBusRef(inputBus) {}

    // Called when render resources are allocated, never while rendering.
    void setChannelCount(std::uint32_t inputChannelCount, std::uint32_t outputChannelCount) {
        inputPointers.resize(inputChannelCount, nullptr);
        outputPointers.resize(outputChannelCount, nullptr);
    }

    // The body of the unit's render callback.
    // Render thread: takes no lock, allocates nothing, blocks on nothing; the
    // host's pull-input callback is bound by the same rules.
    OSStatus renderBlock(audiounit::AudioUnitRenderActionFlags* /*actionFlags*/, const AudioTimeStamp* timestamp,
                         AUAudioFrameCount frameCount, audiounit::NSInteger /*outputBusNumber*/,
                         AudioBufferList* outputData, const AURenderEvent* realtimeEventListHead,
                         const audiounit::AURenderPullInputBlock* pullInputBlock) noexcept {
        using namespace audiounit;
        if (frameCount > kernelRef.getMaximumFramesToRender()) return kAudioUnitErr_TooManyFramesToProcess;
        if (pullInputBlock == nullptr || !*pullInputBlock) return kAudioUnitErr_NoConnection;
        if (!inputBusRef.prepareBufferList(frameCount)) return kAudioUnitErr_TooManyFramesToProcess;

        AudioUnitRenderActionFlags pullFlags = 0;
        AudioBufferList* const inputData = inputBusRef.renderBufferList;
        const OSStatus pullStatus = (*pullInputBlock)(&pullFlags, timestamp, frameCount, 0, inputData);
        if (pullStatus != noErr) return pullStatus;

        if (outputData == nullptr || inputData == nullptr) return kAudioUnitErr_InvalidParameter;
        // The pull callback may rewrite the list header; it must never claim more
        // buffers than the pull buffer's list has room for.
        if (inputData->mNumberBuffers > inputBusRef.pulledBufferList->mNumberBuffers)
            return kAudioUnitErr_InvalidParameter;

        // A null first data pointer asks the effect to supply the output memory:
        // render in place over the pulled input.
        if (outputData->mNumberBuffers > 0 && outputData->buffers()[0].mData == nullptr) {
            if (outputData->mNumberBuffers > inputData->mNumberBuffers) return kAudioUnitErr_InvalidParameter;
            const auto in = inputData->buffers();
            const auto out = outputData->buffers();
            for (std::uint32_t i = 0; i < out.size(); ++i) {
                out[i].mData = in[i].mData;
                out[i].mDataByteSize = in[i].mDataByteSize;
            }
        }
        return renderSegments(inputData, outputData, timestamp, frameCount, realtimeEventListHead);
    }

    // Render thread. Runs the kernel over the cycle, split at event times.
    OSStatus renderSegments(const AudioBufferList* inputData, AudioBufferList* outputData,
                            const AudioTimeStamp* timestamp, AUAudioFrameCount frameCount,
                            const AURenderEvent* events) noexcept {
        using namespace audiounit;
        if (timestamp == nullptr) return kAudioUnitErr_InvalidParameter;
        if (!buffersValid(inputData, outputData, 0, frameCount)) return kAudioUnitErr_InvalidParameter;
        if (frameCount == 0) return noErr;

        AUEventSampleTime now = sampleTimeOf(*timestamp);
        AUAudioFrameCount remaining = frameCount;
        const AURenderEvent* event = events;

        while (event != nullptr) {
            AUEventSampleTime gap = 0;
            if (__builtin_sub_overflow(event->head.eventSampleTime, now, &gap))
                gap = event->head.eventSampleTime > now ? INT64_MAX : INT64_MIN;
            const AUAudioFrameCount segment =
                gap <= 0 ? 0 : (gap < AUEventSampleTime{remaining} ? static_cast<AUAudioFrameCount>(gap) : remaining);
            if (gap > 0) {
                const AUAudioFrameCount offset = frameCount - remaining;
                if (!buffersValid(inputData, outputData, offset, segment)) return kAudioUnitErr_InvalidParameter;
                processStretch(inputData, outputData, offset, segment, now);
                now += segment;
                remaining -= segment;
            }
            event = applyDueEvents(now, event);
            if (remaining == 0) return noErr;
        }

        const AUAudioFrameCount offset = frameCount - remaining;
        if (!buffersValid(inputData, outputData, offset, remaining)) return kAudioUnitErr_InvalidParameter;
        processStretch(inputData, outputData, offset, remaining, now);
        return noErr;
    }

    // Render thread. Applies the given event and every following one dated at or
    // before now; returns the first event not applied. Only parameter events
    // act; ramps and MIDI are consumed without effect.
    const AURenderEvent* applyDueEvents(audiounit::AUEventSampleTime now, const AURenderEvent* event) noexcept {
        do {
            applyEvent(*event);
            event = event->head.next;
        } while (event != nullptr && event->head.eventSampleTime <= now);
        return event;
    }

    // Render thread. True when both lists can carry frames [offset, offset +
    // frameCount) for the channels the helper was sized for.
    bool buffersValid(const AudioBufferList* inputData, const AudioBufferList* outputData, AUAudioFrameCount offset,
                      AUAudioFrameCount frameCount) const noexcept {
        if (inputData == nullptr || outputData == nullptr) return false;
        const std::uint32_t n = inputData->mNumberBuffers;
        if (n == 0 || n != outputData->mNumberBuffers) return false;
        if (n > inputPointers.size() || n > outputPointers.size()) return false;
        const std::uint64_t end = std::uint64_t{offset} + frameCount;
        if (end >= (std::uint64_t{1} << 30)) return false;
        const std::uint64_t bytesNeeded = end * sizeof(float);
        const auto in = inputData->buffers();
        const auto out = outputData->buffers();
        for (std::uint32_t c = 0; c < n; ++c) {
            if (in[c].mData == nullptr || out[c].mData == nullptr) return false;
            if (bytesNeeded > in[c].mDataByteSize || bytesNeeded > out[c].mDataByteSize) return false;
        }
        return true;
    }

private:
    // The cycle's sample time truncated toward zero; a time that is not finite
    // reads as 0 and one beyond the 64-bit range as its nearest end, where a
    // plain conversion would be undefined.
    static audiounit::AUEventSampleTime sampleTimeOf(const AudioTimeStamp& timestamp) noexcept {
        const double t = timestamp.mSampleTime;
        if (!(t == t)) return 0;
        if (t >= 9.2233720368547758e18) return INT64_MAX;
        if (t <= -9.2233720368547758e18) return INT64_MIN;
        return static_cast<audiounit::AUEventSampleTime>(t);
    }

    void applyEvent(const AURenderEvent& event) noexcept {
        if (event.head.eventType == audiounit::AURenderEventParameter)
            kernelRef.setParameter(event.parameter.parameterAddress, event.parameter.value);
    }

    // Points the per-channel pointers at the stretch and runs the kernel once.
    void processStretch(const AudioBufferList* inputData, AudioBufferList* outputData, AUAudioFrameCount offset,
                        AUAudioFrameCount frames, audiounit::AUEventSampleTime startTime) noexcept {
        const std::uint32_t n = inputData->mNumberBuffers;
        const auto in = inputData->buffers();
        const auto out = outputData->buffers();
        for (std::uint32_t c = 0; c < n; ++c) {
            inputPointers[c] = static_cast<const float*>(in[c].mData) + offset;
            outputPointers[c] = static_cast<float*>(out[c].mData) + offset;
        }
        kernelRef.process(std::span<const float*>(inputPointers.data(), n),
                          std::span<float*>(outputPointers.data(), n), startTime, frames);
    }
};

using AUProcessHelper = AUProcessHelperFor<DunmarrowAUExtensionDSPKernel>;
