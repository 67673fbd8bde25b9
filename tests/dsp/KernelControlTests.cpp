// Numeric facts of the control mapping, the oversampling frame, the chain and
// the width stages, checked on the kernel itself; and the two repairs, each
// shown against the reference model with the repair switched off.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <span>
#include <stdexcept>

#include "KernelTestSupport.hpp"

namespace {

using namespace kerneltest;
using Controls = Kernel::BlockControls;

// Derives the block controls without touching any audio: a call with no channels.
const Controls& controlsAfterEmptyCall(Kernel& kernel, std::uint32_t frames = 0) {
    kernel.process({}, {}, 0, frames);
    return kernel.lastBlockControls();
}

void prepare(Kernel& kernel, const std::vector<float>& values, double sampleRate = 44100.0, int channels = 2) {
    applyValues(kernel, values);
    kernel.initialize(channels, channels, sampleRate);
}

TEST(BlockControls, AtTheParameterTreeDefaults) {
    Kernel kernel;
    prepare(kernel, blackwall());
    const Controls& k = controlsAfterEmptyCall(kernel);
    const float eps = 2e-4f;
    EXPECT_NEAR(k.driveGain, 34.4236f, 1e-3f);
    EXPECT_NEAR(k.biteGain, 4.25f, eps);
    EXPECT_NEAR(k.biteClipMix, 0.75f, eps);
    EXPECT_NEAR(k.grindAmount, 0.056f, eps);
    EXPECT_NEAR(k.grindGain, 9.15f, eps);
    EXPECT_NEAR(k.grindCoefficient, 0.82f, eps);
    EXPECT_NEAR(k.grindClipMix, 0.8f, eps);
    EXPECT_NEAR(k.crushGain, 2.17f, eps);
    EXPECT_NEAR(k.crushClipMix, 0.55f, eps);
    EXPECT_NEAR(k.rawBlend, 0.25f, eps);
    EXPECT_NEAR(k.bodyLowBoost, 0.5225f, eps);
    EXPECT_NEAR(k.bodyMidCut, 0.187f, eps);
    EXPECT_NEAR(k.bodyTrim, 0.956f, eps);
    EXPECT_NEAR(k.densityAmount, 0.32f, eps);
    EXPECT_NEAR(k.densityKnee, 0.51875f, eps);
    EXPECT_NEAR(k.densityGain, 2.11f, eps);
    EXPECT_NEAR(k.densityTrim, 0.94f, eps);
    EXPECT_NEAR(k.cabCoefficient, 0.51f, eps);
    EXPECT_NEAR(k.cabPresence, 0.335f, eps);
    EXPECT_NEAR(k.tightCoefficient, 0.92f, eps);
    EXPECT_NEAR(k.touchRelease, 0.012f, eps);
    EXPECT_NEAR(k.touchBoost, 3.5f, eps);
    EXPECT_NEAR(k.outputTrim, 0.6165f, eps);
    EXPECT_NEAR(k.outputGain, 0.8f, 1e-7f);
    EXPECT_TRUE(k.grindActive && k.crushActive && k.bodyActive && k.densityActive && k.cabActive && k.touchActive);
    EXPECT_FALSE(k.decimationActive || k.doubleTrackActive);
}

TEST(BlockControls, EveryPercentAtZeroIsNeutral) {
    Kernel kernel;
    prepare(kernel, allPercentZero());
    const Controls& k = controlsAfterEmptyCall(kernel);
    EXPECT_EQ(k.values.tight, 0.0f);  // h = x - 0 * lowpass: the tight stage passes its input
    EXPECT_FLOAT_EQ(k.driveGain, 2.0f);
    EXPECT_FLOAT_EQ(k.biteGain, 1.0f);
    EXPECT_FLOAT_EQ(k.rawBlend, 0.1f);
    EXPECT_FLOAT_EQ(k.outputTrim, 0.74f);
    EXPECT_FALSE(k.grindActive || k.crushActive || k.bodyActive || k.densityActive || k.cabActive || k.touchActive);
}

TEST(BlockControls, HoldStepsAndLiveSafeLimits) {
    struct Case {
        float decimation;
        bool liveSafe;
        int steps;
    };
    for (const Case& c : {Case{0.05f, false, 0}, Case{0.078f, false, 0}, Case{0.1f, false, 1}, Case{0.5f, false, 12},
                          Case{1.0f, false, 31}, Case{1.0f, true, 28}}) {
        SCOPED_TRACE(c.decimation);
        std::vector<float> values = blackwall();
        values[reference::Decimation] = c.decimation;
        values[reference::LiveSafe] = c.liveSafe ? 1.0f : 0.0f;
        Kernel kernel;
    prepare(kernel, values);
        const Controls& k = controlsAfterEmptyCall(kernel);
        EXPECT_EQ(k.holdSteps, c.steps);
        EXPECT_EQ(k.holdReload, c.steps + 1);
        EXPECT_EQ(k.decimationActive, c.steps > 0);
        EXPECT_GT(k.decimationMix, 0.0f);
    }

    std::vector<float> values = blackwall();
    values[reference::Decimation] = 1.0f;
    values[reference::DoubleTrack] = 1.0f;
    values[reference::StereoSpread] = 1.0f;
    values[reference::Gain] = 3.0f;
    Kernel kernel;
    prepare(kernel, values);
    EXPECT_FLOAT_EQ(controlsAfterEmptyCall(kernel).values.gain, 3.0f);
    EXPECT_FLOAT_EQ(kernel.lastBlockControls().outputGain, 3.0f);
    kernel.setParameter(reference::LiveSafe, 1.0f);  // acts in the very next call, unsmoothed
    const Controls& safe = controlsAfterEmptyCall(kernel);
    EXPECT_TRUE(safe.values.liveSafe);
    EXPECT_FLOAT_EQ(safe.values.decimation, 0.95f);
    EXPECT_FLOAT_EQ(safe.values.doubleTrack, 0.95f);
    EXPECT_FLOAT_EQ(safe.values.stereoSpread, 0.92f);
    EXPECT_FLOAT_EQ(safe.outputGain, 1.0f);
    kernel.setParameter(reference::LiveSafe, NAN);
    EXPECT_FALSE(controlsAfterEmptyCall(kernel).values.liveSafe);
    kernel.setParameter(reference::Gain, NAN);
    EXPECT_EQ(controlsAfterEmptyCall(kernel, 64).outputGain, 0.0f);
}

TEST(BlockControls, NonFiniteTargetsSwitchStagesOff) {
    Kernel kernel;
    prepare(kernel, everyStageOn());
    for (std::uint64_t a : {0u, 1u, 2u, 3u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u}) kernel.setParameter(a, INFINITY);
    const Controls& k = controlsAfterEmptyCall(kernel, 128);
    EXPECT_FALSE(k.grindActive || k.crushActive || k.bodyActive || k.densityActive || k.cabActive || k.touchActive ||
                 k.decimationActive || k.doubleTrackActive);
    EXPECT_EQ(k.values.stereoSpread, 0.0f);
    EXPECT_EQ(k.values.drive, 0.0f);
}

TEST(Smoothing, StepReaches63PercentAfter25msHoweverSplit) {
    std::mt19937 rng(3);
    for (double rate : {44100.0, 48000.0}) {
        const auto total = static_cast<std::uint32_t>(std::lround(rate * 0.025));
        std::vector<std::vector<std::uint32_t>> splits = {{total}, {total / 2, total - total / 2}, {}};
        for (std::uint32_t left = total; left > 0;) {
            const std::uint32_t n = std::min<std::uint32_t>(left, std::uniform_int_distribution<std::uint32_t>(0, 97)(rng));
            splits.back().push_back(n);
            left -= n;
        }
        for (const auto& split : splits) {
            std::vector<float> values = blackwall();
            values[reference::Drive] = 0.0f;
            Kernel kernel;
    prepare(kernel, values, rate);
            kernel.setParameter(reference::Drive, 100.0f);
            for (std::uint32_t frames : split) controlsAfterEmptyCall(kernel, frames);
            // 25 ms rounded to whole frames: 1 - e^-1 = 63.212 % up to that rounding.
            const double expected = 100.0 * (1.0 - std::exp(-static_cast<double>(total) / (rate * 0.025)));
            EXPECT_NEAR(expected, 63.212, 0.02);
            const float reached = kernel.lastBlockControls().values.drive * 100.0f;
            EXPECT_NEAR(reached, expected, 1e-3) << rate << " in " << split.size();
            controlsAfterEmptyCall(kernel, 0);
            EXPECT_EQ(kernel.lastBlockControls().values.drive * 100.0f, reached) << "0 frames moved it";
        }
    }
}

TEST(Oversampling, AntiAliasCoefficientsAtCommonRates) {
    struct Row {
        double rate;
        float cutoff, a;
    };
    for (const Row& row : {Row{44100, 19404, 0.707813f}, Row{48000, 20000, 0.720904f}, Row{88200, 20000, 0.836863f},
                           Row{96000, 20000, 0.849061f}, Row{192000, 20000, 0.921445f}}) {
        Kernel kernel;
    prepare(kernel, blackwall(), row.rate);
        const Controls& k = controlsAfterEmptyCall(kernel);
        EXPECT_NEAR(k.antiAliasCutoff, row.cutoff, 0.01f);
        EXPECT_NEAR(k.antiAliasCoefficient, row.a, 2e-6f);
        EXPECT_NEAR(k.antiAliasWeight, 1.0f - row.a, 2e-6f);
    }
}

// The kernel runs the oversampled lowpasses a frame at a time from weights
// (dunmarrow_dsp::OversampledFilters); in exact arithmetic they must give what
// the plain sub-sample recurrences give. Both run here in double from the
// same float controls, over random frames, at several rates and bite values.
TEST(Oversampling, PerFrameLowpassWeightsMatchTheSubSampleRecurrences) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> sample(-1.0, 1.0);
    for (double rate : {22050.0, 44100.0, 48000.0, 96000.0, 192000.0}) {
        for (float bite : {0.0f, 60.0f, 100.0f}) {
            Kernel kernel;
            std::vector<float> values = blackwall();
            values[reference::Bite] = bite;
            prepare(kernel, values, rate);
            const Controls& k = controlsAfterEmptyCall(kernel);
            const auto f = dunmarrow_dsp::OversampledFilters::from(k);
            const double a = k.antiAliasCoefficient, aw = k.antiAliasWeight;
            const double g = k.grindCoefficient, gw = k.grindWeight;

            double first = 0.3, second = -0.2, grind = 0.1;  // sub-sample after sub-sample
            double frameFirst = first, frameSecond = second, frameGrind = grind;  // a frame at a time
            for (int frame = 0; frame < 200; ++frame) {
                double y[8];
                for (double& v : y) v = sample(rng);

                // Grind: two groups of four; within a group a prefix sum in
                // two steps (lanes moved up by 1 with c, then by 2 with c^2),
                // and the state before the group carried in with c^(lane + 1).
                double grindLowpass[8];
                for (int group = 0; group < 2; ++group) {
                    double x[4], moved[4];
                    for (int lane = 0; lane < 4; ++lane) x[lane] = gw * y[group * 4 + lane];
                    for (int lane = 0; lane < 4; ++lane) moved[lane] = x[lane] + (lane >= 1 ? f.grindScan[0] * x[lane - 1] : 0.0);
                    for (int lane = 0; lane < 4; ++lane) x[lane] = moved[lane] + (lane >= 2 ? f.grindScan[1] * moved[lane - 2] : 0.0);
                    for (int lane = 0; lane < 4; ++lane) grindLowpass[group * 4 + lane] = f.grindCarry[static_cast<std::size_t>(lane)] * frameGrind + x[lane];
                    frameGrind = f.grindCarry[3] * frameGrind + x[3];
                }
                double firstSum = 0.0, secondSum = 0.0;
                for (int s = 0; s < 8; ++s) {
                    first = a * first + aw * y[s];
                    second = a * second + aw * first;
                    grind = g * grind + gw * y[s];
                    ASSERT_NEAR(grindLowpass[s], grind, 2e-6) << rate << " Hz, frame " << frame << ", sub-sample " << s;
                    firstSum += f.firstWeights[static_cast<std::size_t>(s)] * y[s];
                    secondSum += f.secondWeights[static_cast<std::size_t>(s)] * y[s];
                }
                const double previousFirst = frameFirst;
                frameFirst = f.framePower * frameFirst + firstSum;
                frameSecond = f.framePower * frameSecond + (f.crossWeight * previousFirst + secondSum);
                ASSERT_NEAR(frameFirst, first, 2e-6) << rate << " Hz, frame " << frame;
                ASSERT_NEAR(frameSecond, second, 2e-6) << rate << " Hz, frame " << frame;
            }
        }
    }
}

TEST(DoubleTrack, DelayCentresDepthsAndRate) {
    struct Row {
        double rate;
        float amount, evenCentre, evenDepth, oddCentre, oddDepth;
    };
    for (const Row& row : {Row{44100, 0.5f, 474.1f, 37.4f, 650.5f, 55.2f}, Row{48000, 1.0f, 624, 48.7f, 816, 109.7f},
                           Row{96000, 1.0f, 1248, 97.4f, 1632, 219.4f}}) {
        std::vector<float> values = blackwall();
        values[reference::DoubleTrack] = row.amount;
        Kernel kernel;
    prepare(kernel, values, row.rate);
        const Controls& k = controlsAfterEmptyCall(kernel);
        EXPECT_NEAR(k.delayCentre[0], row.evenCentre, 0.05f);
        EXPECT_NEAR(k.delayDepth[0], row.evenDepth, 0.05f);
        EXPECT_NEAR(k.delayCentre[1], row.oddCentre, 0.05f);
        EXPECT_NEAR(k.delayDepth[1], row.oddDepth, 0.05f);
        EXPECT_FLOAT_EQ(k.lfoPhaseOffset[1] - k.lfoPhaseOffset[0], 3.1415927f);
        const double hz = k.lfoIncrement * row.rate / (2 * M_PI);
        EXPECT_NEAR(hz, 0.28 + 0.22 * row.amount, 1e-5);
    }
}

TEST(DoubleTrack, SwitchedOffStillRecordsAndPassesTheStage) {
    // Same settings apart from double track; the off state must equal a kernel
    // that never had it, and switching on must find the memory already filled.
    std::vector<float> values = blackwall();
    Kernel kernel;
    prepare(kernel, values, 48000.0, 1);
    const auto input = std::vector<std::vector<float>>{riff(4800, 48000.0, 4)};
    const auto off = render(kernel, input, 256);
    reference::Effect ref;
    ref.setAll(values);
    ref.initialize(1, 48000.0);
    std::vector<float> refOut(4800);
    ref.render({input[0].data()}, {refOut.data()}, 4800);
    // Within the kernel's tolerance to the reference (its vector core rounds differently).
    for (std::size_t n = 0; n < refOut.size(); ++n) ASSERT_NEAR(off[0][n], refOut[n], 1e-4f) << n;
    // The memory holds the recent signal: a read one frame back is the last frame's stage input.
    EXPECT_NE(kernel.readDelayInterpolated(0, 0, 1.0f), 0.0f);
    EXPECT_NEAR(kernel.readDelayInterpolated(0, 0, 1.0f), ref.readDelay(0, 0, 1.0f), 1e-4f);
}

TEST(Chain, SilenceGivesExactSilenceAtEverySetting) {
    const std::vector<float> silence(700, 0.0f);
    for (const auto& values : {blackwall(), glassTeeth(), funeralBloom(), everyStageOn(), allPercentZero()}) {
        for (bool liveSafe : {false, true}) {
            std::vector<float> v = values;
            v[reference::LiveSafe] = liveSafe ? 1.0f : 0.0f;
            Kernel kernel;
    prepare(kernel, v, 48000.0, 3);
            const auto out = render(kernel, {silence, silence, silence}, 128);
            for (const auto& channel : out) {
                for (float s : channel) ASSERT_EQ(s, 0.0f);
            }
            EXPECT_EQ(kernel.outputLevel(), 0.0f);
        }
    }
}

TEST(Chain, LiveSafeCeilingOf145EvenAfterPoisonedState) {
    std::vector<float> values = everyStageOn();
    values[reference::StereoSpread] = 0.0f;
    values[reference::Grind] = 0.0f;  // grind's clamp would turn the poison into a constant
    values[reference::Gain] = 50.0f;
    Kernel kernel;
    prepare(kernel, values, 44100.0, 2);
    // Poison the states with Live Safe off, then switch it on: outputs fall back
    // to the (loud) dry input and are soft-limited.
    std::vector<float> loud = sine(2048, 44100.0, 220.0, 6.0f);
    loud[3] = NAN;
    render(kernel, {loud, loud}, 512);
    kernel.setParameter(reference::LiveSafe, 1.0f);
    const auto out = render(kernel, {loud, loud}, 512);
    float peak = 0.0f;
    for (const auto& channel : out) {
        for (float s : channel) {
            ASSERT_TRUE(std::isfinite(s));
            ASSERT_LE(std::fabs(s), 1.45f);
            peak = std::max(peak, std::fabs(s));
        }
    }
    EXPECT_GT(peak, 1.44f);  // the limiter was really reached
    EXPECT_LE(kernel.outputLevel(), 1.45f);
}

// With everything after the core neutral, the output is trim x gain x a convex
// blend of core outputs, so bounds on the core show at the output.
TEST(Chain, ShaperAndGrindStayBounded) {
    for (bool grind : {false, true}) {
        std::vector<float> values = allPercentZero();
        values[reference::Drive] = 100.0f;
        values[reference::Bite] = 100.0f;
        values[reference::Grind] = grind ? 100.0f : 0.0f;
        Kernel kernel;
    prepare(kernel, values, 48000.0, 1);
        const auto input = std::vector<std::vector<float>>{sine(9600, 48000.0, 1234.5, 30.0f)};
        const auto out = render(kernel, input, 480);
        const float outputTrim = kernel.lastBlockControls().outputTrim;
        const float bound = grind ? 0.98f : 1.0f;
        float peak = 0.0f;
        for (float s : out[0]) peak = std::max(peak, std::fabs(s) / outputTrim);
        EXPECT_LE(peak, bound + 1e-6f);
        EXPECT_GT(peak, bound - 0.1f);
    }
}

TEST(Chain, DecimationRefreshesTheHeldValueOnItsCadence) {
    // Two kernels differing only in decimation: x = o0 / T and
    // o1 = T (x + (q - x) mix) give back q, which changes only when the held value does.
    for (const auto& [decimation, period] : {std::pair{0.1f, 3}, std::pair{1.0f, 33}}) {
        std::vector<float> values = allPercentZero();
        values[reference::Drive] = 40.0f;
        Kernel plain;
    prepare(plain, values, 48000.0, 1);
        values[reference::Decimation] = decimation;
        Kernel held;
    prepare(held, values, 48000.0, 1);
        // A slow ramp keeps the decimated signal rising, so every refresh shows.
        std::vector<float> ramp(400);
        for (std::size_t n = 0; n < ramp.size(); ++n) ramp[n] = 0.04f * static_cast<float>(n) / 400.0f;
        const auto input = std::vector<std::vector<float>>{ramp};
        const auto o0 = render(plain, input, 400);
        const auto o1 = render(held, input, 400);
        const Controls& k = held.lastBlockControls();
        ASSERT_TRUE(k.decimationActive);
        const float t = k.outputTrim * k.outputGain;
        float previousQ = NAN;
        for (std::size_t n = 1; n < 400; ++n) {
            const float x = o0[0][n] / t;
            const float q = (o1[0][n] / t - x) / k.decimationMix + x;
            const bool refresh = n % static_cast<std::size_t>(period) == 0;
            if (n > 1) {
                if (refresh) {
                    EXPECT_GT(std::fabs(q - previousQ), 5e-4f) << "frame " << n;
                } else {
                    EXPECT_NEAR(q, previousQ, 1e-4f) << "frame " << n;
                }
            }
            previousQ = q;
        }
    }
}

struct StereoOut {
    std::vector<float> left, right;
};
StereoOut renderQuietPair(const std::vector<float>& left, const std::vector<float>& right, float spread) {
    std::vector<float> values = allPercentZero();
    values[reference::StereoSpread] = spread;
    Kernel kernel;
    prepare(kernel, values, 48000.0, 2);
    auto out = render(kernel, {left, right}, 480);
    return {out[0], out[1]};
}

TEST(StereoSpread, EqualChannelsWidenAboveAbout500HzOnly) {
    const std::size_t frames = 48000;
    auto rmsOfDifference = [&](const StereoOut& o) {
        std::vector<float> d(frames / 2);
        for (std::size_t n = 0; n < d.size(); ++n) d[n] = o.left[frames / 2 + n] - o.right[frames / 2 + n];
        return rms(d) / rms(std::span<const float>(o.left).subspan(frames / 2));
    };
    // Quiet input keeps the shaper linear, so the chain passes a clean tone.
    const auto high = sine(frames, 48000.0, 3000.0, 0.005f);
    const auto low = sine(frames, 48000.0, 40.0, 0.005f);
    EXPECT_GT(rmsOfDifference(renderQuietPair(high, high, 1.0f)), 0.3);
    EXPECT_LT(rmsOfDifference(renderQuietPair(low, low, 1.0f)), 0.12);
    EXPECT_EQ(rmsOfDifference(renderQuietPair(high, high, 0.0f)), 0.0);
}

TEST(StereoSpread, RemovesLowSideContentAndKeepsHighSide) {
    const std::size_t frames = 48000;
    auto sideRatio = [&](double frequency) {
        const auto l = sine(frames, 48000.0, frequency, 0.005f);
        std::vector<float> r(l.size());
        for (std::size_t n = 0; n < l.size(); ++n) r[n] = -l[n];
        const StereoOut wide = renderQuietPair(l, r, 1.0f);
        const StereoOut dry = renderQuietPair(l, r, 0.0f);
        std::vector<float> sideWide(frames / 2), sideDry(frames / 2);
        for (std::size_t n = 0; n < frames / 2; ++n) {
            sideWide[n] = 0.5f * (wide.left[frames / 2 + n] - wide.right[frames / 2 + n]);
            sideDry[n] = 0.5f * (dry.left[frames / 2 + n] - dry.right[frames / 2 + n]);
        }
        return rms(sideWide) / rms(sideDry);
    };
    EXPECT_LT(sideRatio(15.0), 0.2);
    EXPECT_GT(sideRatio(3000.0), 0.9);
}

TEST(StereoSpread, OutputBoundedAndNonFiniteChannelsCountAsZero) {
    std::vector<float> values = blackwall();
    values[reference::StereoSpread] = 1.0f;
    values[reference::Gain] = 1e6f;  // Live Safe off: gain acts as stored
    Kernel kernel;
    prepare(kernel, values, 48000.0, 2);
    auto left = riff(4800, 48000.0, 8, 1.0f);
    auto right = riff(4800, 48000.0, 9, 1.0f);
    left[100] = NAN;  // poisons channel 0's states for good
    right[200] = INFINITY;
    const auto out = render(kernel, {left, right}, 256);
    for (const auto& channel : out) {
        for (float s : channel) {
            ASSERT_TRUE(std::isfinite(s));
            ASSERT_LE(std::fabs(s), 4.0f);
        }
    }
    EXPECT_LE(kernel.outputLevel(), 4.0f);
    // Once channel 0 is NaN for good, the pair reads as (0, right): left = -right after the pass.
    EXPECT_NE(out[0][4000], 0.0f);
}

TEST(StereoSpread, NeverRunsOnOneChannel) {
    std::vector<float> values = blackwall();
    values[reference::StereoSpread] = 1.0f;
    Kernel spread;
    prepare(spread, values, 48000.0, 1);
    values[reference::StereoSpread] = 0.0f;
    Kernel plain;
    prepare(plain, values, 48000.0, 1);
    const auto input = std::vector<std::vector<float>>{riff(2000, 48000.0, 2)};
    EXPECT_EQ(render(spread, input, 200), render(plain, input, 200));
}

// Repair 1: a non-finite smoothed value takes the target instead of gliding.
TEST(Repairs, NonFiniteParameterRecoversAtOnce) {
    Kernel kernel;
    prepare(kernel, blackwall(), 48000.0, 1);
    reference::Effect mended, unmended;
    unmended.recoverNonFiniteSmoothing = false;
    for (auto* r : {&mended, &unmended}) {
        r->setAll(blackwall());
        r->initialize(1, 48000.0);
    }
    auto setDrive = [&](float v) {
        kernel.setParameter(reference::Drive, v);
        mended.set(reference::Drive, v);
        unmended.set(reference::Drive, v);
    };
    const auto input = riff(960, 48000.0, 5);
    std::vector<float> kernelOut(input.size()), mendedOut(input.size()), unmendedOut(input.size());
    auto call = [&](std::size_t start, std::uint32_t frames) {
        const float* in[1] = {input.data() + start};
        float* out[1] = {kernelOut.data() + start};
        kernel.process(in, out, 0, frames);
        mended.render({input.data() + start}, {mendedOut.data() + start}, frames);
        unmended.render({input.data() + start}, {unmendedOut.data() + start}, frames);
    };
    setDrive(NAN);
    call(0, 240);
    EXPECT_EQ(kernel.lastBlockControls().values.drive, 0.0f);  // a non-finite target reads as 0
    setDrive(30.0f);
    call(240, 240);
    EXPECT_EQ(kernel.lastBlockControls().values.drive, 0.3f);  // acts at once, no glide from NaN
    EXPECT_FLOAT_EQ(mended.smoothed(reference::Drive), 30.0f);
    EXPECT_TRUE(std::isnan(unmended.smoothed(reference::Drive)));  // without the repair: dead for good
    call(480, 480);
    EXPECT_TRUE(std::isnan(unmended.smoothed(reference::Drive)));
    double mendedDiff = 0, unmendedDiff = 0;
    for (std::size_t n = 240; n < input.size(); ++n) {
        mendedDiff = std::max(mendedDiff, std::fabs(static_cast<double>(kernelOut[n]) - mendedOut[n]));
        unmendedDiff = std::max(unmendedDiff, std::fabs(static_cast<double>(kernelOut[n]) - unmendedOut[n]));
    }
    EXPECT_LE(mendedDiff, 1e-5);
    EXPECT_GT(unmendedDiff, 1e-2);
}

// Repair 2: a read just behind the write position must wrap inside the memory.
TEST(Repairs, DelayReadStaysInsideTheLastChannelsMemory) {
    const int length = 2400;  // 48 kHz
    const int writeIndex = 5;
    const float delay = std::nextafter(5.0f, 6.0f);  // i - delay is a tiny negative number
    const reference::DelayTap unwrapped = reference::delayTap(writeIndex, delay, length, false);
    EXPECT_EQ(unwrapped.j, length);  // without the repair: one past the channel's memory
    const reference::DelayTap wrapped = reference::delayTap(writeIndex, delay, length, true);
    EXPECT_EQ(wrapped.j, 0);
    EXPECT_EQ(wrapped.k, 1);
    EXPECT_EQ(wrapped.frac, 0.0f);

    std::vector<float> values = blackwall();
    Kernel kernel;
    prepare(kernel, values, 48000.0, 2);
    reference::Effect mended, unmended;
    unmended.wrapDelayReadIndex = false;
    for (auto* r : {&mended, &unmended}) {
        r->setAll(values);
        r->initialize(2, 48000.0);
    }
    const std::vector<std::vector<float>> input = {riff(2400, 48000.0, 6), riff(2400, 48000.0, 7)};
    render(kernel, input, 480);
    std::vector<float> l(2400), r(2400);
    for (auto* ref : {&mended, &unmended}) ref->render({input[0].data(), input[1].data()}, {l.data(), r.data()}, 2400);
    // The last channel's memory ends the kernel's delay buffer; under the
    // address sanitizer a read past it would stop the test here.
    EXPECT_NEAR(kernel.readDelayInterpolated(1, writeIndex, delay), mended.readDelay(1, writeIndex, delay), 1e-4f);
    EXPECT_NE(mended.readDelay(1, writeIndex, delay), 0.0f);
    EXPECT_THROW((void)unmended.readDelay(1, writeIndex, delay), std::out_of_range);
}

}  // namespace
