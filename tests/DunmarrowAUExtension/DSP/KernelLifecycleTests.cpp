// The kernel's lifecycle, bypass, level cells, threads and floating-point mode.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

#include "KernelTestSupport.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace {

using namespace kerneltest;

std::vector<std::vector<float>> stereoRiff(std::size_t frames, std::uint32_t seed, double rate = 48000.0) {
    return {riff(frames, rate, seed), riff(frames, rate, seed + 1)};
}

TEST(KernelLifecycle, BeforeInitializeAboveTheLimitZeroFramesNoChannelsAndTheLevelCells) {
    Kernel early;
    std::vector<float> buffer(64, 0.5f);
    const float* one[1] = {buffer.data()};
    float* oneOut[1] = {buffer.data()};
    early.process(one, oneOut, 0, 64);
    EXPECT_EQ(buffer, std::vector<float>(64, 0.0f));
    early.setMaximumFramesToRender(32);
    early.initialize(1, 1, 48000.0);
    std::fill(buffer.begin(), buffer.end(), 0.5f);
    // Spans of const pointers are taken too.
    early.process(std::span<const float* const>(one), std::span<float* const>(oneOut), 0, 64);
    EXPECT_EQ(buffer, std::vector<float>(64, 0.0f));

    Kernel kernel, twin;
    prepare(kernel, blackwall());
    prepare(twin, blackwall());
    const auto input = stereoRiff(1000, 1);
    render(kernel, input, 500);
    render(twin, input, 500);
    EXPECT_GT(kernel.outputLevel(), 0.0f);
    float sentinel[2] = {123.0f, 456.0f};
    const float* in[2] = {input[0].data(), input[1].data()};
    float* out[2] = {sentinel, sentinel + 1};
    kernel.process(in, out, 0, 0);
    EXPECT_EQ(sentinel[0], 123.0f);
    EXPECT_EQ(kernel.inputLevel(), 0.0f);
    EXPECT_EQ(kernel.outputLevel(), 0.0f);
    EXPECT_EQ(render(kernel, input, 250), render(twin, input, 250));
    kernel.process({}, {}, 0, 64);
    EXPECT_EQ(kernel.inputLevel(), 0.0f);
    EXPECT_EQ(kernel.outputLevel(), 0.0f);

    render(kernel, input, 500);
    const float inLevel = kernel.inputLevel(), outLevel = kernel.outputLevel();
    EXPECT_GT(inLevel, 0.1f);
    EXPECT_GT(outLevel, 0.1f);
    kernel.initialize(2, 2, 48000.0);
    EXPECT_EQ(kernel.inputLevel(), inLevel);
    EXPECT_EQ(kernel.outputLevel(), outLevel);
    Kernel fresh;
    prepare(fresh, blackwall());
    EXPECT_EQ(render(kernel, input, 100), render(fresh, input, 100));
    kernel.deinitialize();
    EXPECT_EQ(kernel.inputLevel(), 0.0f);
    EXPECT_EQ(kernel.outputLevel(), 0.0f);
    // More channels at another rate: as a kernel made for them (the output count alone does not size it).
    kernel.initialize(3, 1, 96000.0);
    Kernel wide;
    prepare(wide, blackwall(), 96000.0, 3);
    const std::vector<std::vector<float>> three{input[0], input[1], riff(1000, 96000.0, 3)};
    EXPECT_EQ(render(kernel, three, 500), render(wide, three, 500));
}

// Both levels are the input peak, NaN ignored; bypassed calls do not advance the smoothing.
TEST(KernelLifecycle, BypassIsBitExactLevelsThePeakAndStateUntouched) {
    Kernel kernel, twin;
    prepare(kernel, everyStageOn(), 44100.0);
    prepare(twin, everyStageOn(), 44100.0);
    auto input = stereoRiff(900, 3, 44100.0);
    input[0][650] = NAN;
    input[1][20] = -0.0f;
    input[1][30] = std::numeric_limits<float>::denorm_min();
    input[1][700] = -1.5f;  // the peak of the last call (frames 600 to 899)
    render(kernel, stereoRiff(300, 9, 44100.0), 100);
    render(twin, stereoRiff(300, 9, 44100.0), 100);

    kernel.setBypass(true);
    kernel.setParameter(reference::Drive, 0.0f);
    const auto out = render(kernel, input, 300);
    for (std::size_t c = 0; c < 2; ++c) {
        EXPECT_EQ(std::memcmp(out[c].data(), input[c].data(), input[c].size() * sizeof(float)), 0);
    }
    EXPECT_EQ(kernel.inputLevel(), 1.5f);
    EXPECT_EQ(kernel.outputLevel(), 1.5f);

    kernel.setBypass(false);
    twin.setParameter(reference::Drive, 0.0f);
    const auto fresh = stereoRiff(512, 5, 44100.0);
    EXPECT_EQ(render(kernel, fresh, 128), render(twin, fresh, 128));
}

// Never a torn or NaN level, never a crash; addresses beyond the last are ignored.
TEST(KernelLifecycle, ParametersAndLevelsFromAnotherThreadWhileRendering) {
    Kernel kernel;
    prepare(kernel, with(everyStageOn(), {{reference::LiveSafe, 1.0f}}));
    std::atomic<bool> stop{false};
    std::thread other([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); ++i) {
            const auto address = static_cast<std::uint64_t>(i % 13) + (i % 5 == 0 ? 14 : 0);  // Live Safe stays on
            kernel.setParameter(address, static_cast<float>(i % 101));
            (void)kernel.getParameter(i % 7 == 0 ? UINT64_MAX : address);
            ASSERT_FALSE(std::isnan(kernel.inputLevel() + kernel.outputLevel()));
        }
    });
    const auto input = stereoRiff(256, 1);
    for (int i = 0; i < 300; ++i) {
        for (const auto& channel : render(kernel, input, 64)) {
            for (float s : channel) ASSERT_TRUE(std::isfinite(s));
        }
        if (i % 2 == 0) {
            kernel.deinitialize();
            kernel.initialize(2, 2, 48000.0);
        }
    }
    stop.store(true);
    other.join();
}

TEST(KernelRealTime, NoSubnormalOutputAfterALoudSignalStops) {
    for (const auto& values : {blackwall(), everyStageOn(), funeralBloom()}) {
        Kernel kernel;
        prepare(kernel, values);
        const auto loud = riff(48000, 48000.0, 12, 1.0f);
        render(kernel, {loud, loud}, 256);
        const std::vector<float> silence(48000 * 10, 0.0f);
        for (const auto& channel : render(kernel, {silence, silence}, 256)) {
            for (float s : channel) ASSERT_NE(std::fpclassify(s), FP_SUBNORMAL);
        }
    }
}

#if defined(__x86_64__) || defined(__i386__)
TEST(KernelRealTime, CallersFloatingPointModeIsRestored) {
    Kernel kernel;
    prepare(kernel, blackwall(), 48000.0, 1);
    const auto input = std::vector<std::vector<float>>{riff(256, 48000.0, 1)};
    const unsigned saved = _mm_getcsr();
    const unsigned plain = saved & ~0x8040u;
    for (unsigned mode : {plain, plain | 0x8040u}) {
        _mm_setcsr(mode);
        render(kernel, input, 256);
        EXPECT_EQ(_mm_getcsr(), mode);
    }
    _mm_setcsr(saved);
}
#endif

}  // namespace
