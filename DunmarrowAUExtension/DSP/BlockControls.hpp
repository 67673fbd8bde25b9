#pragma once
// The controls of one kernel call: the smoothed parameters mapped to the
// normalised values and every coefficient the per-sample chain holds constant
// over the call, and the regrouped weights of the oversampled lowpasses.
// Standard library only.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "Parameters.hpp"
#include "ScalarMath.hpp"

namespace dunmarrow_dsp {

inline constexpr std::uint32_t kOversampling = 8;
inline constexpr float kSubSampleStep = 0.125f;  // 1 / kOversampling

// The most live safe lets through, and the bound that guarded values (live
// safe's gain, the widener's signals) are held to.
inline constexpr float kLiveSafeLimitDecimation = 0.95f;
inline constexpr float kLiveSafeLimitDoubleTrack = 0.95f;
inline constexpr float kLiveSafeLimitSpread = 0.92f;
inline constexpr float kLiveSafeGainLimit = 1.0f;
inline constexpr float kFiniteLimit = 4.0f;

// The normalised values of one call, derived from the smoothed parameters.
struct BlockValues {
    float drive = 0, tight = 0, touch = 0, body = 0, bite = 0, grind = 0, crush = 0, density = 0, cab = 0;
    float decimation = 0, doubleTrack = 0, stereoSpread = 0, gain = 0;
    bool liveSafe = false;
};

// Everything the per-sample chain needs, constant over one call.
struct BlockControls {
    BlockValues values;
    float touchRelease = 0, touchBoost = 0;
    bool touchActive = false;
    float tightCoefficient = 0, tightWeight = 0;
    float driveGain = 0, biteGain = 0, biteClipMix = 0;
    float grindAmount = 0, grindCoefficient = 0, grindWeight = 0, grindGain = 0, grindClipMix = 0;
    bool grindActive = false;
    float crushGain = 0, crushClipMix = 0;
    bool crushActive = false;
    float antiAliasCutoff = 0, antiAliasCoefficient = 0, antiAliasWeight = 0, rawBlend = 0;
    std::int32_t holdSteps = 0, holdReload = 0;
    float decimationMix = 0, decimationDrive = 0, decimationShape = 0;
    bool decimationActive = false;
    float body350 = 0, body120 = 0, body900 = 0, body500 = 0;
    float body350Weight = 0, body120Weight = 0, body900Weight = 0, body500Weight = 0;
    float bodyLowBoost = 0, bodyMidCut = 0, bodyTrim = 0;
    bool bodyActive = false;
    float densityAmount = 0, densityKnee = 0, densityGain = 0, densityNorm = 0, densityTrim = 0;
    bool densityActive = false;
    float cabCoefficient = 0, cabWeight = 0, cabPresence = 0;
    bool cabActive = false;
    float doubleTrackWet = 0, doubleTrackNorm = 0, lfoIncrement = 0;
    bool doubleTrackActive = false;
    // Index 0 for even channels, 1 for odd ones.
    std::array<float, 2> delayCentre{}, delayDepth{}, lfoPhaseOffset{};
    float outputGain = 0, outputTrim = 0;
};

// The oversampled one-pole lowpasses (grind: state = c x state + w x y per
// sub-sample; anti-alias: two such filters in cascade) over the eight
// sub-samples of a frame, regrouped so that only one multiply-add per frame
// depends on the frame before. The filters are linear: after sub-sample k the
// state is c^k x (the state before the frame) plus a weighted sum of the
// frame's inputs up to k. The weights are computed in double from the float
// coefficient and weight and rounded once; the results agree with the
// sub-sample after sub-sample form to rounding.
struct OversampledFilters {
    // Grind lowpass, run over the frame as two groups of four sub-samples:
    // c and c^2 for the prefix sum within a group, and c^(k + 1) to carry the
    // state before a group into its lane k.
    std::array<float, 2> grindScan{};
    std::array<float, 4> grindCarry{};
    // Anti-alias lowpasses over a whole frame:
    //   first'  = a^8 first + sum_k firstWeights[k] y_k
    //   second' = a^8 second + (crossWeight first + sum_k secondWeights[k] y_k)
    // with firstWeights[k] = w a^(7 - k), secondWeights[k] = (8 - k) w^2 a^(7 - k)
    // and crossWeight = 8 w a^8 (first and second before the frame).
    std::array<float, kOversampling> firstWeights{}, secondWeights{};
    float framePower = 0, crossWeight = 0;

    static OversampledFilters from(const BlockControls& k) noexcept {
        OversampledFilters f;
        const double c = k.grindCoefficient;
        f.grindScan = {static_cast<float>(c), static_cast<float>(c * c)};
        double power = 1.0;
        for (std::size_t lane = 0; lane < f.grindCarry.size(); ++lane) {
            power *= c;
            f.grindCarry[lane] = static_cast<float>(power);
        }
        const double a = k.antiAliasCoefficient;
        const double w = k.antiAliasWeight;
        double decay = 1.0;  // a^(7 - lane)
        for (std::size_t lane = kOversampling; lane-- > 0;) {
            f.firstWeights[lane] = static_cast<float>(w * decay);
            f.secondWeights[lane] = static_cast<float>(static_cast<double>(kOversampling - lane) * w * w * decay);
            decay *= a;
        }
        f.framePower = static_cast<float>(decay);
        f.crossWeight = static_cast<float>(static_cast<double>(kOversampling) * w * decay);
        return f;
    }
};

// Maps one call's smoothed values (indexed by smoothedIndex of their slot),
// the liveSafe switch and the sample rate to the call's controls; every field
// of `k` is written. Render thread, once per non-bypassed call.
inline void deriveBlockControls(BlockControls& k, const std::array<double, kSmoothedCount>& smoothed, bool liveSafe,
                                double sampleRate) noexcept {
    BlockValues& v = k.values;
    auto percent = [&smoothed](std::size_t slot) { return normalizePercent(smoothed[smoothedIndex(slot)]); };
    auto unit = [&smoothed](std::size_t slot) { return clampUnit(static_cast<float>(smoothed[smoothedIndex(slot)])); };

    v.liveSafe = liveSafe;
    v.drive = percent(kDriveSlot);
    v.tight = percent(kTightSlot);
    v.touch = percent(kTouchSlot);
    v.body = percent(kBodySlot);
    v.bite = percent(kBiteSlot);
    v.grind = percent(kGrindSlot);
    v.crush = percent(kCrushSlot);
    v.density = percent(kDensitySlot);
    v.cab = percent(kCabSlot);
    v.decimation = unit(kDecimationSlot);
    v.doubleTrack = unit(kDoubleTrackSlot);
    v.stereoSpread = unit(kStereoSpreadSlot);
    const auto gain = static_cast<float>(smoothed[smoothedIndex(kGainSlot)]);
    if (v.liveSafe) {
        v.decimation = std::min(v.decimation, kLiveSafeLimitDecimation);
        v.doubleTrack = std::min(v.doubleTrack, kLiveSafeLimitDoubleTrack);
        v.stereoSpread = std::min(v.stereoSpread, kLiveSafeLimitSpread);
        v.gain = std::min(clampFinite(gain, kFiniteLimit), kLiveSafeGainLimit);
    } else {
        v.gain = gain;
    }

    const float fs = static_cast<float>(sampleRate);

    k.touchRelease = 0.006f + 0.012f * v.touch;
    k.touchBoost = 7.0f * v.touch;
    k.touchActive = v.touch > 0.0f;

    k.tightCoefficient = 0.995f - 0.075f * v.tight;
    k.tightWeight = 1.0f - k.tightCoefficient;

    k.driveGain = 58.0f * std::pow(v.drive, 1.35f) + 2.0f;
    k.biteGain = 1.0f + 3.25f * v.bite;
    k.biteClipMix = 0.75f * v.bite;

    k.grindAmount = (0.1f + 0.06f * v.bite) * v.grind;
    k.grindActive = k.grindAmount > 0.0f;
    k.grindCoefficient = 0.86f - 0.04f * v.bite;
    k.grindWeight = 1.0f - k.grindCoefficient;
    k.grindGain = 4.0f + 9.0f * v.grind + 2.0f * v.bite;
    k.grindClipMix = 0.45f + 0.35f * v.bite;

    k.crushGain = 1.0f + v.crush * (v.drive + 1.6f) + 0.35f * v.bite * v.crush;
    k.crushClipMix = 0.55f * v.bite;
    k.crushActive = v.crush > 0.0f;

    k.antiAliasCutoff = std::min(0.44f * fs, 20000.0f);
    k.antiAliasCoefficient = std::exp((k.antiAliasCutoff * -kTwoPi) / (fs * 8.0f));
    k.antiAliasWeight = 1.0f - k.antiAliasCoefficient;
    k.rawBlend = 0.1f + 0.15f * v.bite;

    k.holdSteps = static_cast<std::int32_t>(std::floor(std::pow(v.decimation, 1.35f) * 31.0f));
    k.holdReload = k.holdSteps + 1;
    k.decimationMix = v.decimation * (0.68f * v.decimation + 0.22f);
    k.decimationActive = k.holdSteps > 0 && k.decimationMix > 0.0f;
    k.decimationDrive = 1.0f + 1.6f * v.decimation;
    k.decimationShape = 0.38f * v.decimation;

    k.body350 = std::exp(-2199.115f / fs);
    k.body120 = std::exp(-753.98224f / fs);
    k.body900 = std::exp(-5654.8667f / fs);
    k.body500 = std::exp(-3141.5928f / fs);
    k.body350Weight = 1.0f - k.body350;
    k.body120Weight = 1.0f - k.body120;
    k.body900Weight = 1.0f - k.body900;
    k.body500Weight = 1.0f - k.body500;
    k.bodyLowBoost = 0.95f * v.body;
    k.bodyMidCut = 0.34f * v.body;
    k.bodyTrim = 1.0f - 0.08f * v.body;
    k.bodyActive = v.body > 0.0f;

    k.densityAmount = 0.64f * v.density;
    k.densityActive = k.densityAmount > 0.0f;
    k.densityKnee = (0.55f + 0.75f * v.drive) * v.density;
    k.densityGain = 1.0f + v.density * (1.7f + 0.8f * v.drive);
    k.densityNorm = std::tanh(k.densityGain);
    k.densityTrim = 1.0f - 0.12f * v.density;

    k.cabCoefficient = 0.42f + 0.09f * v.bite + 0.34f * (1.0f - v.cab);
    k.cabWeight = 1.0f - k.cabCoefficient;
    k.cabPresence = 0.08f + 0.22f * v.bite + 0.1f * v.grind;
    k.cabActive = v.cab > 0.0f;

    k.doubleTrackWet = 0.34f * v.doubleTrack;
    k.doubleTrackActive = k.doubleTrackWet > 0.0f;
    k.doubleTrackNorm = 1.0f + 0.35f * k.doubleTrackWet;
    k.lfoIncrement = (0.28f + 0.22f * v.doubleTrack) * kTwoPi / fs;
    const float centre = (0.0085f + 0.0045f * v.doubleTrack) * fs;
    k.delayCentre = {centre, centre + 0.004f * fs};
    const float depthBase = (0.00045f + 0.0012f * v.doubleTrack) * fs;
    const float detuneRatio = std::exp2(v.doubleTrack * 7.0f / 1200.0f);
    k.delayDepth = {depthBase - 95.0f * depthBase * (detuneRatio - 1.0f),
                    depthBase + 95.0f * depthBase * (detuneRatio - 1.0f)};
    k.lfoPhaseOffset = {0.0f, kPi};

    k.outputGain = v.gain > 0.0f ? v.gain : 0.0f;
    k.outputTrim = 0.74f - 0.11f * v.drive - 0.06f * v.crush - 0.05f * v.density;
}

}  // namespace dunmarrow_dsp
