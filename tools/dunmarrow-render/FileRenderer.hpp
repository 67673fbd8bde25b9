#pragma once
// The host side of an offline render: reads the input file cycle by cycle,
// hands each cycle's frames to the effect through a pull-input callback,
// collects the effect's output in the tool's own buffers and writes it out.

#include <cstdint>
#include <functional>

#include "RenderBackend.hpp"
#include "SoundFiles.hpp"

namespace render {

// The largest magnitude among a file's finite samples, linear, and how many
// samples were not finite (NaN or infinite).
struct Peak {
    float linear = 0.0f;
    std::int64_t nonFiniteSamples = 0;
};

struct RenderResult {
    std::int64_t frames = 0;
    Peak inputPeak;   // of the samples read
    Peak outputPeak;  // of the samples rendered
};

// Called after each cycle with the frames rendered so far.
using ProgressCallback = std::function<void(std::int64_t framesDone)>;

// Renders the whole input through the backend, which must have been prepared
// for the input's rate and channel count and for blockFrames. Throws ToolError
// on a read, write or render failure.
RenderResult renderFile(InputFile& input, OutputFile& output, RenderBackend& backend, std::uint32_t blockFrames,
                        const ProgressCallback& progress);

}  // namespace render
