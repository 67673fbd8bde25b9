// The kernel's lifecycle, parameter storage, bypass, level cells, floating-point
// mode and real-time behaviour.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

#include "AllocationCounter.hpp"
#include "KernelTestSupport.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace {

using namespace kerneltest;

void prepare(Kernel& kernel, const std::vector<float>& values, double sampleRate = 44100.0, int channels = 2) {
    applyValues(kernel, values);
    kernel.initialize(channels, channels, sampleRate);
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(KernelParameters, StorageByAddress) {
    Kernel kernel;
    // The kernel's own starting values, before any tree pushes its defaults.
    const float initial[14] = {65, 75, 60, 0, 0.25f, 55, 45, 50, 35, 35, 0, 0, 0, 0};
    for (std::uint64_t a = 0; a < 14; ++a) EXPECT_EQ(kernel.getParameter(a), initial[a]) << a;
    kernel.setParameter(14, 99.0f);
    EXPECT_EQ(kernel.getParameter(14), 0.0f);
    EXPECT_EQ(kernel.getParameter(UINT64_MAX), 0.0f);
    for (std::uint64_t a = 0; a < 14; ++a) EXPECT_EQ(kernel.getParameter(a), initial[a]) << a;
    kernel.setParameter(4, 2.0f);  // unclamped
    EXPECT_EQ(kernel.getParameter(4), 2.0f);
    kernel.setParameter(9, -12.5f);
    EXPECT_EQ(kernel.getParameter(9), -12.5f);
    EXPECT_EQ(kernel.getParameter(8), 35.0f);
    kernel.setParameter(0, NAN);
    EXPECT_TRUE(std::isnan(kernel.getParameter(0)));
    kernel.setParameter(0, 10.0f);
    // The target, not the smoothed value, reads back.
    kernel.initialize(2, 2, 48000.0);
    kernel.setParameter(0, 90.0f);
    kernel.process({}, {}, 0, 16);
    EXPECT_EQ(kernel.getParameter(0), 90.0f);
    EXPECT_LT(kernel.lastBlockControls().values.drive, 0.2f);
}

TEST(KernelParameters, BypassAndMaximumFrames) {
    Kernel kernel;
    EXPECT_FALSE(kernel.isBypassed());
    kernel.setBypass(true);
    EXPECT_TRUE(kernel.isBypassed());
    EXPECT_EQ(kernel.getMaximumFramesToRender(), 1024u);
    kernel.setMaximumFramesToRender(4096);
    EXPECT_EQ(kernel.getMaximumFramesToRender(), 4096u);
}

TEST(KernelLifecycle, FirstCallAfterInitializeHasNoGlide) {
    Kernel kernel;
    applyValues(kernel, funeralBloom());
    kernel.initialize(2, 2, 48000.0);
    kernel.process({}, {}, 0, 512);
    EXPECT_FLOAT_EQ(kernel.lastBlockControls().values.drive, 0.78f);
    EXPECT_FLOAT_EQ(kernel.lastBlockControls().values.gain, 0.65f);
}

TEST(KernelLifecycle, ZeroFramesAndNoChannels) {
    Kernel kernel;
    prepare(kernel, blackwall(), 48000.0, 2);
    Kernel twin;
    prepare(twin, blackwall(), 48000.0, 2);
    auto input = std::vector<std::vector<float>>{riff(1000, 48000.0, 1), riff(1000, 48000.0, 2)};
    render(kernel, input, 500);
    render(twin, input, 500);
    EXPECT_GT(kernel.outputLevel(), 0.0f);
    float sentinel[2] = {123.0f, 456.0f};
    const float* in[2] = {input[0].data(), input[1].data()};
    float* out[2] = {sentinel, sentinel + 1};
    kernel.process(in, out, 0, 0);
    EXPECT_EQ(sentinel[0], 123.0f);  // nothing written
    EXPECT_EQ(kernel.inputLevel(), 0.0f);
    EXPECT_EQ(kernel.outputLevel(), 0.0f);
    // State untouched: the two kernels carry on identically.
    EXPECT_EQ(render(kernel, input, 250), render(twin, input, 250));

    render(kernel, input, 1000);
    EXPECT_GT(kernel.inputLevel(), 0.0f);
    kernel.process({}, {}, 0, 64);
    EXPECT_EQ(kernel.inputLevel(), 0.0f);
    EXPECT_EQ(kernel.outputLevel(), 0.0f);
}

TEST(KernelLifecycle, BypassIsBitExactAndLeavesStateAlone) {
    Kernel kernel;
    prepare(kernel, everyStageOn(), 44100.0, 2);
    Kernel twin;
    prepare(twin, everyStageOn(), 44100.0, 2);
    auto input = std::vector<std::vector<float>>{riff(900, 44100.0, 3), riff(900, 44100.0, 4)};
    input[0][10] = NAN;
    input[1][20] = -0.0f;
    input[1][30] = std::numeric_limits<float>::denorm_min();
    render(kernel, {riff(300, 44100.0, 9), riff(300, 44100.0, 8)}, 100);
    render(twin, {riff(300, 44100.0, 9), riff(300, 44100.0, 8)}, 100);

    kernel.setBypass(true);
    kernel.setParameter(reference::Drive, 0.0f);
    const auto out = render(kernel, input, 300);
    for (std::size_t c = 0; c < 2; ++c) EXPECT_TRUE(sameBits(out[c], input[c]));
    float peak = 0.0f;  // the level is the last call's: frames 600 to 899
    for (const auto& ch : input) {
        for (std::size_t n = 600; n < 900; ++n) peak = std::max(peak, std::fabs(ch[n]));
    }
    EXPECT_EQ(kernel.inputLevel(), peak);
    EXPECT_EQ(kernel.outputLevel(), kernel.inputLevel());

    // Bypassed calls neither advanced the smoothing nor touched the chain's state.
    kernel.setBypass(false);
    twin.setParameter(reference::Drive, 0.0f);
    const auto fresh = std::vector<std::vector<float>>{riff(512, 44100.0, 5), riff(512, 44100.0, 6)};
    EXPECT_EQ(render(kernel, fresh, 128), render(twin, fresh, 128));
}

TEST(KernelLifecycle, BypassLevelIsTheInputPeak) {
    Kernel kernel;
    prepare(kernel, blackwall(), 48000.0, 2);
    kernel.setBypass(true);
    const auto full = sine(480, 48000.0, 1000.0, 1.0f);  // peaks land exactly on +-1
    render(kernel, {full, full}, 480);
    EXPECT_NEAR(kernel.inputLevel(), 1.0f, 1e-6f);
    EXPECT_EQ(kernel.outputLevel(), kernel.inputLevel());
    std::vector<float> quiet(480, 0.25f);
    quiet[7] = NAN;
    render(kernel, {quiet, quiet}, 480);
    EXPECT_EQ(kernel.inputLevel(), 0.25f);
    kernel.process({}, {}, 0, 480);
    EXPECT_EQ(kernel.inputLevel(), 0.0f);
}

TEST(KernelLifecycle, LevelCellsAcrossInitializeAndDeinitialize) {
    Kernel kernel;
    EXPECT_EQ(kernel.inputLevel(), 0.0f);
    EXPECT_EQ(kernel.outputLevel(), 0.0f);
    kernel.initialize(2, 2, 44100.0);
    EXPECT_EQ(kernel.inputLevel(), 0.0f);
    const auto input = std::vector<std::vector<float>>{riff(512, 44100.0, 1), riff(512, 44100.0, 2)};
    render(kernel, input, 512);
    const float in = kernel.inputLevel();
    const float out = kernel.outputLevel();
    EXPECT_GT(in, 0.1f);
    EXPECT_GT(out, 0.1f);

    // A second initialize keeps the cells with their values and clears all state.
    kernel.initialize(2, 2, 44100.0);
    EXPECT_EQ(kernel.inputLevel(), in);
    EXPECT_EQ(kernel.outputLevel(), out);
    Kernel fresh;
    fresh.initialize(2, 2, 44100.0);
    EXPECT_EQ(render(kernel, input, 100), render(fresh, input, 100));

    kernel.deinitialize();
    EXPECT_EQ(kernel.inputLevel(), 0.0f);
    EXPECT_EQ(kernel.outputLevel(), 0.0f);
    // Another channel count and rate after deinitialize; the cells start again at 0.
    kernel.initialize(3, 1, 96000.0);
    EXPECT_EQ(kernel.inputLevel(), 0.0f);
    auto three = input;
    three.push_back(riff(512, 44100.0, 3));
    reference::Effect ref;
    ref.initialize(3, 96000.0);
    std::vector<std::vector<float>> refOut(3, std::vector<float>(512));
    ref.render({three[0].data(), three[1].data(), three[2].data()}, {refOut[0].data(), refOut[1].data(), refOut[2].data()}, 512);
    const auto got = render(kernel, three, 512);
    for (std::size_t c = 0; c < 3; ++c) {
        for (std::size_t n = 0; n < 512; ++n) ASSERT_NEAR(got[c][n], refOut[c][n], 1e-5f);
    }
}

TEST(KernelLifecycle, LevelReadsRaceSafelyWithDeinitialize) {
    Kernel kernel;
    kernel.initialize(2, 2, 48000.0);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) {
            const float level = kernel.inputLevel() + kernel.outputLevel();
            ASSERT_FALSE(std::isnan(level));
        }
    });
    const auto input = std::vector<std::vector<float>>{riff(256, 48000.0, 1), riff(256, 48000.0, 2)};
    for (int i = 0; i < 200; ++i) {
        render(kernel, input, 256);
        kernel.deinitialize();
        kernel.initialize(2, 2, 48000.0);
    }
    stop.store(true);
    reader.join();
}

TEST(KernelLifecycle, TakesSpansOfMutableOrConstPointers) {
    Kernel kernel;
    prepare(kernel, blackwall(), 48000.0, 2);
    std::vector<float> a(32, 0.1f), b(32, -0.1f);
    const float* in[2] = {a.data(), b.data()};
    float* out[2] = {a.data(), b.data()};
    kernel.process(std::span<const float*>(in), std::span<float*>(out), 0, 32);
    kernel.process(std::span<const float* const>(in), std::span<float* const>(out), 32, 32);
    EXPECT_GT(kernel.outputLevel(), 0.0f);
}

TEST(KernelLifecycle, ParametersChangeFromAnotherThreadWhileRendering) {
    Kernel kernel;
    std::vector<float> values = everyStageOn();
    values[reference::LiveSafe] = 1.0f;
    prepare(kernel, values, 48000.0, 2);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); ++i) {
            kernel.setParameter(static_cast<std::uint64_t>(i % 13), static_cast<float>(i % 101));
            (void)kernel.getParameter(static_cast<std::uint64_t>(i % 14));
        }
    });
    const auto input = std::vector<std::vector<float>>{riff(256, 48000.0, 1), riff(256, 48000.0, 2)};
    for (int i = 0; i < 300; ++i) {
        for (const auto& channel : render(kernel, input, 64)) {
            for (float s : channel) ASSERT_TRUE(std::isfinite(s));
        }
    }
    stop.store(true);
    writer.join();
}

TEST(KernelLifecycle, RenderingBeforeInitializeOrAboveTheLimitIsSilentNotACrash) {
    Kernel kernel;
    std::vector<float> buffer(64, 0.5f);
    const float* in[1] = {buffer.data()};
    float* out[1] = {buffer.data()};
    kernel.process(in, out, 0, 64);
    for (float s : buffer) EXPECT_EQ(s, 0.0f);

    kernel.setMaximumFramesToRender(32);
    kernel.initialize(1, 1, 48000.0);
    std::fill(buffer.begin(), buffer.end(), 0.5f);
    kernel.process(in, out, 0, 64);
    for (float s : buffer) EXPECT_EQ(s, 0.0f);
}

#ifndef NDEBUG
TEST(KernelLifecycleDeathTest, MismatchedSpansAreAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Kernel kernel;
    prepare(kernel, blackwall());
    float a[4] = {};
    const float* in[2] = {a, a};
    float* out[1] = {a};
    EXPECT_DEATH(kernel.process(in, out, 0, 4), "inputBuffers\\.size\\(\\) == outputBuffers\\.size\\(\\)");
}
#endif

TEST(KernelRealTime, NoSubnormalOutputAfterALoudSignalStops) {
    for (const auto& values : {blackwall(), everyStageOn(), funeralBloom()}) {
        Kernel kernel;
    prepare(kernel, values, 48000.0, 2);
        const auto loud = riff(48000, 48000.0, 12, 1.0f);
        render(kernel, {loud, loud}, 256);
        const std::vector<float> silence(48000 * 10, 0.0f);
        const auto out = render(kernel, {silence, silence}, 256);
        for (const auto& channel : out) {
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
    _mm_setcsr(plain);
    render(kernel, input, 256);
    EXPECT_EQ(_mm_getcsr(), plain);
    _mm_setcsr(plain | 0x8040u);
    render(kernel, input, 256);
    EXPECT_EQ(_mm_getcsr(), plain | 0x8040u);
    _mm_setcsr(saved);
}
#endif

TEST(KernelRealTime, ProcessAllocatesNothing) {
    Kernel kernel;
    kernel.setMaximumFramesToRender(512);
    applyValues(kernel, everyStageOn());
    kernel.initialize(2, 2, 48000.0);
    const std::size_t frames = 512;
    std::vector<std::vector<float>> input = {riff(frames, 48000.0, 1), riff(frames, 48000.0, 2), riff(frames, 48000.0, 3)};
    input[0][5] = NAN;
    std::vector<std::vector<float>> output(3, std::vector<float>(frames));
    const float* in[3] = {input[0].data(), input[1].data(), input[2].data()};
    float* out[3] = {output[0].data(), output[1].data(), output[2].data()};
    std::uint32_t count = 0;
    rtcheck::ScopedAllocationCounter counter;
    for (int i = 0; i < 4000; ++i) {
        count = (count * 1103515245u + 12345u) % 513u;
        kernel.setParameter(static_cast<std::uint64_t>(i % 14), static_cast<float>(i % 100) * (i % 14 >= 10 ? 0.01f : 1.0f));
        kernel.setBypass(i % 97 == 0);
        kernel.process(std::span<const float* const>(in, 2 + static_cast<std::size_t>(i % 2)),
                       std::span<float* const>(out, 2 + static_cast<std::size_t>(i % 2)), i, count);
        (void)kernel.inputLevel();
    }
    const rtcheck::AllocationCounts counts = counter.stop();
    EXPECT_EQ(counts.total(), 0u) << counts.allocations << " allocations, " << counts.frees << " frees";
}

}  // namespace
