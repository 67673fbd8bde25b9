#include "FileRenderer.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "ToolError.hpp"

namespace render {
namespace {

using audiounit::AudioBufferList;
using audiounit::AUAudioFrameCount;
using audiounit::OSStatus;

// The frames read for the current cycle, which the pull-input callback hands
// to the effect. Filled by the loop before each render call.
struct CycleInput {
    const float* interleaved = nullptr;
    std::uint32_t channels = 0;
    AUAudioFrameCount frames = 0;
    std::vector<std::vector<float>>* spareChannels = nullptr;  // where to put input when a buffer has no memory
};

// The pull-input callback's body. Runs inside the render call, on the render
// loop's thread: copies, never allocates. Deinterleaves the cycle's frames into
// the effect's buffers; a buffer without memory is pointed at the tool's own.
OSStatus pullCycleInput(const CycleInput& cycle, AUAudioFrameCount frameCount, AudioBufferList* inputData) noexcept {
    if (inputData == nullptr || frameCount != cycle.frames || inputData->mNumberBuffers != cycle.channels)
        return audiounit::kAudioUnitErr_InvalidParameter;
    const std::uint32_t bytes = frameCount * sizeof(float);
    for (std::uint32_t c = 0; c < cycle.channels; ++c) {
        audiounit::AudioBuffer& buffer = inputData->buffers()[c];
        if (buffer.mData == nullptr) {
            buffer.mData = (*cycle.spareChannels)[c].data();
        } else if (buffer.mDataByteSize < bytes) {
            return audiounit::kAudioUnitErr_InvalidParameter;
        }
        buffer.mDataByteSize = bytes;
        buffer.mNumberChannels = 1;
        auto* samples = static_cast<float*>(buffer.mData);
        for (AUAudioFrameCount i = 0; i < frameCount; ++i) samples[i] = cycle.interleaved[i * cycle.channels + c];
    }
    return audiounit::noErr;
}

void addToPeak(const float* samples, std::size_t count, Peak& peak) {
    for (std::size_t i = 0; i < count; ++i) {
        if (std::isfinite(samples[i]))
            peak.linear = std::max(peak.linear, std::abs(samples[i]));
        else
            ++peak.nonFiniteSamples;
    }
}

}  // namespace

RenderResult renderFile(InputFile& input, OutputFile& output, RenderBackend& backend, std::uint32_t blockFrames,
                        const ProgressCallback& progress) {
    const auto channels = static_cast<std::uint32_t>(input.info().channels);

    // Everything the cycles touch is sized here, once.
    std::vector<float> inputFrames(std::size_t{blockFrames} * channels);
    std::vector<float> outputFrames(std::size_t{blockFrames} * channels);
    std::vector<std::vector<float>> outputChannels(channels, std::vector<float>(blockFrames));
    std::vector<std::vector<float>> spareInputChannels(channels, std::vector<float>(blockFrames));
    audiounit::AudioBufferListStorage outputList(channels);

    CycleInput cycle;
    cycle.interleaved = inputFrames.data();
    cycle.channels = channels;
    cycle.spareChannels = &spareInputChannels;
    const audiounit::AURenderPullInputBlock pullInput =
        [&cycle](audiounit::AudioUnitRenderActionFlags*, const audiounit::AudioTimeStamp*,
                 AUAudioFrameCount frameCount, audiounit::NSInteger inputBus, AudioBufferList* inputData) -> OSStatus {
        if (inputBus != 0) return audiounit::kAudioUnitErr_InvalidElement;
        return pullCycleInput(cycle, frameCount, inputData);
    };

    RenderResult result;
    while (true) {
        const std::int64_t got = input.read(inputFrames.data(), blockFrames);
        if (got == 0) break;
        const auto frames = static_cast<AUAudioFrameCount>(got);
        cycle.frames = frames;

        // The effect may have repointed the list last cycle; give it ours again.
        for (std::uint32_t c = 0; c < channels; ++c)
            outputList->buffers()[c] = audiounit::AudioBuffer{1, frames * std::uint32_t{sizeof(float)},
                                                              outputChannels[c].data()};
        audiounit::AudioTimeStamp timestamp;
        timestamp.mSampleTime = static_cast<double>(result.frames);
        timestamp.mFlags = audiounit::kAudioTimeStampSampleTimeValid;

        const OSStatus status = backend.render(timestamp, frames, outputList.get(), pullInput);
        if (status != audiounit::noErr)
            throw ToolError("rendering failed at frame " + std::to_string(result.frames) + " with status " +
                            std::to_string(status));

        for (std::uint32_t c = 0; c < channels; ++c) {
            const auto* samples = static_cast<const float*>(outputList->buffers()[c].mData);
            for (AUAudioFrameCount i = 0; i < frames; ++i) outputFrames[i * channels + c] = samples[i];
        }
        const std::size_t samples = std::size_t{frames} * channels;
        addToPeak(inputFrames.data(), samples, result.inputPeak);
        addToPeak(outputFrames.data(), samples, result.outputPeak);
        output.write(outputFrames.data(), frames);
        result.frames += frames;
        if (progress) progress(result.frames);
    }
    return result;
}

}  // namespace render
