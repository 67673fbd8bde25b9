#pragma once
// What renders the audio: an effect behind the platform's render contract. The
// file loop (FileRenderer) knows only this interface; the tool's effect is the
// audio unit found through the component registry (RegistryBackend), and tests
// put other effects behind it.

#include <cstdint>
#include <memory>

#include "audiounit/RenderContract.hpp"

namespace render {

struct RenderSetup {
    double sampleRate = 44100.0;
    std::uint32_t channelCount = 2;   // input and output alike
    std::uint32_t maximumFrames = 512;
    bool bypass = false;
};

class RenderBackend {
public:
    virtual ~RenderBackend() = default;

    // Main thread, once, before the first cycle. Throws ToolError when the
    // effect cannot render this set-up.
    virtual void prepare(const RenderSetup& setup) = 0;

    // The render loop's thread, once per cycle: renders frameCount frames
    // (at most setup.maximumFrames) into output, pulling the cycle's input
    // through pullInput, with the status codes of an audio unit's render
    // block. Must not allocate, lock or block.
    virtual audiounit::OSStatus render(const audiounit::AudioTimeStamp& timestamp,
                                       audiounit::AUAudioFrameCount frameCount, audiounit::AudioBufferList* output,
                                       const audiounit::AURenderPullInputBlock& pullInput) noexcept = 0;
};

}  // namespace render
