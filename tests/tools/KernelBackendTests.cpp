// The tool's effect back end: set up as the audio unit sets up its render
// resources, it renders what the kernel renders when driven directly with the
// parameter tree's defaults, and its render cycles allocate nothing.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "AllocationCounter.hpp"
#include "DunmarrowAUExtensionDSPKernel.hpp"
#include "RenderBackend.hpp"

namespace {

using namespace audiounit;

// The parameter tree's defaults, by address.
constexpr std::array<float, 14> kDefaults{65, 100, 100, 100, 0.8f, 55, 45, 50, 35, 50, 0, 0, 0, 0};

std::vector<std::vector<float>> riffLikeInput(std::uint32_t channels, std::uint32_t frames) {
    std::vector<std::vector<float>> in(channels, std::vector<float>(frames));
    for (std::uint32_t c = 0; c < channels; ++c)
        for (std::uint32_t i = 0; i < frames; ++i) {
            const double t = i / 48000.0;
            in[c][i] = static_cast<float>(0.4 * std::sin(2 * M_PI * (82.4 + c) * t) * std::exp(-3.0 * t) +
                                          0.1 * std::sin(2 * M_PI * 1650.0 * t));
        }
    return in;
}

// Drives a backend over whole input channels in cycles of `block` frames.
struct CycleDriver {
    const std::vector<std::vector<float>>& input;
    std::vector<std::vector<float>> output;
    AudioBufferListStorage outputList;
    std::uint32_t position = 0;
    AURenderPullInputBlock pull;

    explicit CycleDriver(const std::vector<std::vector<float>>& in)
        : input(in),
          output(in.size(), std::vector<float>(in[0].size())),
          outputList(static_cast<std::uint32_t>(in.size())) {
        pull = [this](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount frames, NSInteger,
                      AudioBufferList* list) -> OSStatus {
            for (std::uint32_t c = 0; c < list->mNumberBuffers; ++c)
                std::memcpy(list->buffers()[c].mData, input[c].data() + position, frames * sizeof(float));
            return noErr;
        };
    }

    OSStatus cycle(render::RenderBackend& backend, std::uint32_t frames) {
        for (std::uint32_t c = 0; c < input.size(); ++c)
            outputList->buffers()[c] = AudioBuffer{1, frames * 4, output[c].data() + position};
        AudioTimeStamp time;
        time.mSampleTime = position;
        const OSStatus status = backend.render(time, frames, outputList.get(), pull);
        position += frames;
        return status;
    }
};

class KernelBackend : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(KernelBackend, RendersWhatTheKernelRendersWithTheDefaults) {
    const std::uint32_t channels = GetParam();
    constexpr std::uint32_t kBlock = 256;
    constexpr std::uint32_t kFrames = kBlock * 20 + 77;
    const auto input = riffLikeInput(channels, kFrames);

    auto backend = render::makeKernelBackend();
    backend->prepare({48000.0, channels, kBlock, false});
    CycleDriver driver(input);
    while (driver.position < kFrames) {
        const std::uint32_t frames = std::min(kBlock, kFrames - driver.position);
        ASSERT_EQ(driver.cycle(*backend, frames), noErr);
    }

    // The reference: a kernel of its own, given the same calls directly.
    DunmarrowAUExtensionDSPKernel kernel;
    kernel.setMaximumFramesToRender(kBlock);
    kernel.initialize(static_cast<std::int32_t>(channels), static_cast<std::int32_t>(channels), 48000.0);
    for (std::uint64_t a = 0; a < kDefaults.size(); ++a) kernel.setParameter(a, kDefaults[a]);
    std::vector<std::vector<float>> expected(channels, std::vector<float>(kFrames));
    for (std::uint32_t at = 0; at < kFrames; at += kBlock) {
        const std::uint32_t frames = std::min(kBlock, kFrames - at);
        std::vector<const float*> in;
        std::vector<float*> out;
        for (std::uint32_t c = 0; c < channels; ++c) {
            in.push_back(input[c].data() + at);
            out.push_back(expected[c].data() + at);
        }
        kernel.process(std::span<const float*>(in), std::span<float*>(out), at, frames);
    }
    kernel.deinitialize();

    for (std::uint32_t c = 0; c < channels; ++c)
        EXPECT_EQ(std::memcmp(driver.output[c].data(), expected[c].data(), kFrames * sizeof(float)), 0)
            << "channel " << c;
}

TEST_P(KernelBackend, BypassCopiesAndCyclesAllocateNothing) {
    const std::uint32_t channels = GetParam();
    constexpr std::uint32_t kBlock = 128;
    constexpr std::uint32_t kCycles = 2000;
    const auto input = riffLikeInput(channels, kBlock * kCycles);

    for (const bool bypass : {true, false}) {
        auto backend = render::makeKernelBackend();
        backend->prepare({44100.0, channels, kBlock, bypass});
        CycleDriver driver(input);
        testsupport::ScopedAllocationCounter counter;
        for (std::uint32_t i = 0; i < kCycles; ++i) ASSERT_EQ(driver.cycle(*backend, kBlock), noErr);
        EXPECT_EQ(counter.stop().total(), 0u) << (bypass ? "bypassed" : "effect on");
        if (bypass) {
            for (std::uint32_t c = 0; c < channels; ++c) EXPECT_EQ(driver.output[c], input[c]);
        }
    }
}

TEST(KernelBackendLimits, ACycleAboveTheBlockSizeIsRefused) {
    auto backend = render::makeKernelBackend();
    backend->prepare({44100.0, 1, 64, false});
    const std::vector<std::vector<float>> input(1, std::vector<float>(65));
    CycleDriver driver(input);
    EXPECT_EQ(driver.cycle(*backend, 65), kAudioUnitErr_TooManyFramesToProcess);
}

INSTANTIATE_TEST_SUITE_P(Channels, KernelBackend, ::testing::Values(1u, 2u));

}  // namespace
