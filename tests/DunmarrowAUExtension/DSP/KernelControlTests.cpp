// Stated facts of the control mapping, smoothing and chain, checked on the kernel itself (the
// reference comparison judges the rest through the sound); the width stage's bound; the delay read's repair.

#include <gtest/gtest.h>

#include <cmath>

#include "KernelTestSupport.hpp"

namespace {

using namespace kerneltest;
using Controls = Kernel::BlockControls;

const Controls& controlsAfterEmptyCall(Kernel& kernel, std::uint32_t frames = 0) {
    kernel.process({}, {}, 0, frames);
    return kernel.lastBlockControls();
}

TEST(BlockControls, StatedValuesAtTheDefaultsAtZeroAtCommonRatesAndUnderLiveSafe) {
    Kernel kernel;
    prepare(kernel, blackwall());
    const Controls& k = controlsAfterEmptyCall(kernel);
    EXPECT_NEAR(k.driveGain, 34.4236f, 1e-3f);  // 58 x 0.65^1.35 + 2
    Kernel zero;
    prepare(zero, allPercentZero());
    EXPECT_FLOAT_EQ(controlsAfterEmptyCall(zero).driveGain, 2.0f);

    // Anti-alias cutoff min(0.44 fs, 20000); double-track LFO at 0.28 + 0.22 x amount Hz.
    for (auto [rate, cutoff] : {std::pair{44100.0, 19404.0f}, std::pair{48000.0, 20000.0f}}) {
        Kernel r;
        prepare(r, with(blackwall(), {{reference::DoubleTrack, 0.5f}}), rate);
        const Controls& c = controlsAfterEmptyCall(r);
        EXPECT_NEAR(c.antiAliasCutoff, cutoff, 0.01f);
        EXPECT_NEAR(c.lfoIncrement * rate / (2 * M_PI), 0.39, 1e-5);
    }

    Kernel limited;
    prepare(limited, with(blackwall(), {{reference::Decimation, 1.0f}, {reference::DoubleTrack, 1.0f},
                                        {reference::StereoSpread, 1.0f}, {reference::Gain, 3.0f}}));
    EXPECT_FLOAT_EQ(controlsAfterEmptyCall(limited).outputGain, 3.0f);
    limited.setParameter(reference::LiveSafe, 1.0f);  // acts in the very next call, unsmoothed
    const Controls& safe = controlsAfterEmptyCall(limited);
    EXPECT_FLOAT_EQ(safe.values.decimation, 0.95f);
    EXPECT_FLOAT_EQ(safe.values.doubleTrack, 0.95f);
    EXPECT_FLOAT_EQ(safe.values.stereoSpread, 0.92f);
    EXPECT_FLOAT_EQ(safe.outputGain, 1.0f);
}

TEST(Smoothing, StepReaches63PercentAfter25msHoweverSplit) {
    for (double rate : {44100.0, 48000.0}) {
        const auto total = static_cast<std::uint32_t>(std::lround(rate * 0.025));
        for (const auto& split : {std::vector<std::uint32_t>{total}, std::vector<std::uint32_t>{total / 2, 0, total - total / 2},
                                  std::vector<std::uint32_t>(total, 1)}) {
            Kernel kernel;
            prepare(kernel, with(blackwall(), {{reference::Drive, 0.0f}}), rate);
            kernel.setParameter(reference::Drive, 100.0f);
            for (std::uint32_t frames : split) controlsAfterEmptyCall(kernel, frames);
            // 1 - e^-1 = 63.212 % after 25 ms, rounded to whole frames.
            const double expected = 100.0 * (1.0 - std::exp(-static_cast<double>(total) / (rate * 0.025)));
            const float reached = kernel.lastBlockControls().values.drive * 100.0f;
            EXPECT_NEAR(reached, expected, 1e-3) << rate << " in " << split.size();
            EXPECT_EQ(controlsAfterEmptyCall(kernel, 0).values.drive * 100.0f, reached) << "0 frames moved it";
        }
    }
}

TEST(Chain, SilenceGivesExactSilenceAtEverySetting) {
    const std::vector<float> silence(700, 0.0f);
    for (const auto& values : {blackwall(), glassTeeth(), funeralBloom(), everyStageOn(), allPercentZero()}) {
        for (float liveSafe : {0.0f, 1.0f}) {
            Kernel kernel;
            prepare(kernel, with(values, {{reference::LiveSafe, liveSafe}}), 48000.0, 3);
            for (const auto& channel : render(kernel, {silence, silence, silence}, 128)) {
                for (float s : channel) ASSERT_EQ(s, 0.0f);
            }
            EXPECT_EQ(kernel.outputLevel(), 0.0f);
        }
    }
}

TEST(Chain, LiveSafeCeilingOf145EvenAfterPoisonedState) {
    // Grind's clamp would turn the poison into a constant, so it is off.
    const auto values = with(everyStageOn(), {{reference::StereoSpread, 0.0f}, {reference::Grind, 0.0f},
                                              {reference::Gain, 50.0f}});
    Kernel kernel;
    prepare(kernel, values, 44100.0, 2);
    std::vector<float> loud = sine(2048, 44100.0, 220.0, 6.0f);
    loud[3] = NAN;
    render(kernel, {loud, loud}, 512);
    kernel.setParameter(reference::LiveSafe, 1.0f);
    float peak = 0.0f;
    for (const auto& channel : render(kernel, {loud, loud}, 512)) {
        for (float s : channel) {
            ASSERT_TRUE(std::isfinite(s));
            peak = std::max(peak, std::fabs(s));
        }
    }
    EXPECT_LE(peak, 1.45f);
    EXPECT_GT(peak, 1.44f);  // the limiter was really reached
    EXPECT_LE(kernel.outputLevel(), 1.45f);
}

// Live Safe off, so the gain acts as stored.
TEST(StereoSpread, StaysBoundedUnderHugeGainAndBadInput) {
    Kernel kernel;
    prepare(kernel, with(blackwall(), {{reference::StereoSpread, 1.0f}, {reference::Gain, 1e6f}}), 48000.0, 2);
    auto left = riff(4800, 48000.0, 8, 1.0f);
    auto right = riff(4800, 48000.0, 9, 1.0f);
    left[100] = NAN;
    right[200] = INFINITY;
    const auto out = render(kernel, {left, right}, 256);
    for (const auto& channel : out) {
        for (float s : channel) ASSERT_TRUE(std::isfinite(s) && std::fabs(s) <= 4.0f);
    }
    EXPECT_LE(kernel.outputLevel(), 4.0f);
    // Once channel 0 is NaN for good, the pair reads as (0, right): left = -right after the pass.
    EXPECT_NE(out[0][4000], 0.0f);
}

// A read just behind the write position must wrap inside the memory.
TEST(Repairs, DelayReadStaysInsideTheLastChannelsMemory) {
    const int length = 2400;  // 48 kHz
    const int writeIndex = 5;
    const float delay = std::nextafter(5.0f, 6.0f);  // i - delay is a tiny negative number
    EXPECT_EQ(reference::delayTap(writeIndex, delay, length, false).j, length);  // unrepaired: one past the end

    Kernel kernel;
    prepare(kernel, blackwall(), 48000.0, 2);
    reference::Effect mended;
    const std::vector<std::vector<float>> input = {riff(2400, 48000.0, 6), riff(2400, 48000.0, 7)};
    render(kernel, input, 480);
    std::vector<float> l(2400), r(2400);
    mended.setAll(blackwall());
    mended.initialize(2, 48000.0);
    mended.render({input[0].data(), input[1].data()}, {l.data(), r.data()}, 2400);
    // Under the address sanitizer a read past the last channel's memory stops the test here.
    EXPECT_NEAR(kernel.readDelayInterpolated(1, writeIndex, delay), mended.readDelay(1, writeIndex, delay), 1e-4f);
    EXPECT_NE(mended.readDelay(1, writeIndex, delay), 0.0f);
}

}  // namespace
