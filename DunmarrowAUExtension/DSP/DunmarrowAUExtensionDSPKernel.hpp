#pragma once
// The effect's signal processing: one kernel object that holds every piece of
// state, stores parameter targets by address, smooths them per call, runs the
// per-sample distortion chain with its 8x oversampled core, the double-track
// and stereo-spread stages, and publishes input and output peak levels.
//
// Depends on the C++ standard library and libm only, and on the headers beside
// it: the parameter table and the kernel's target slots (Parameters.hpp), the
// instruction-set choice (InstructionSet.hpp), scalar clamps (ScalarMath.hpp),
// the vector tanh and sine (VectorMath.hpp), the subnormal guard
// (Denormals.hpp) and the per-call controls (BlockControls.hpp). Every sample
// is computed in single precision; parameter targets are kept as doubles, and
// the weights of the per-frame lowpass form below are derived in double once
// per call.
//
// The oversampled core and the density stage run on vectors written with the
// compiler's portable vector extensions: 4 lanes in the baseline variant (SSE2
// on x86-64, NEON on AArch64), 8 lanes in the AVX2+FMA variant, 16 (two
// frames' eight sub-samples) in the AVX-512 variant. On x86-64 the channel
// loop is compiled for all three, and each kernel picks the widest the
// processor runs when it is constructed. The channel loop runs stage by stage
// over chunks of frames, so that the vector stages have no dependency from one
// frame to the next; the oversampled lowpasses (grind and anti-alias) are
// linear, and are regrouped so that only a few multiply-adds per frame depend
// on the frame before. The baseline and AVX2+FMA variants differ in rounding
// only (the AVX-512 one renders exactly what the AVX2+FMA one does); the scalar
// model written from the formulas in reference/ReferenceEffect.hpp judges all.

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

#include "BlockControls.hpp"
#include "Denormals.hpp"
#include "InstructionSet.hpp"
#include "Parameters.hpp"
#include "ScalarMath.hpp"
#include "VectorMath.hpp"

namespace dunmarrow_dsp {

inline constexpr double kDefaultSampleRate = 44100.0;
inline constexpr std::int32_t kDefaultChannelCount = 2;
inline constexpr std::uint32_t kDefaultMaximumFrames = 1024;
inline constexpr double kSmoothingTimeConstant = 0.025;  // seconds of rendered audio
inline constexpr double kDoublerMemorySeconds = 0.05;
// Keeps the delay memory within reason for absurd sample rates.
inline constexpr double kMaximumDoublerLength = 16777216.0;

inline constexpr float kTouchAttack = 0.28f;
inline constexpr float kTouchThreshold = 0.22f;
inline constexpr float kDensityBlend = 0.58f;
inline constexpr float kSoftLimitKnee = 1.2f;
inline constexpr float kSoftLimitRange = 0.25f;
inline constexpr float kSoftLimitSlope = 2.0f;

// Stereo spread: the mid is split at 500 and 2000 Hz, the side keeps what is above 150 Hz.
inline constexpr std::array<float, 3> kSpreadCutoffs = {500.0f, 2000.0f, 150.0f};
inline constexpr std::array<float, 4> kSpreadAllpassCoefficients = {0.55f, -0.49f, 0.66f, -0.61f};
inline constexpr float kAllpassCoefficientLimit = 0.85f;

}  // namespace dunmarrow_dsp

class DunmarrowAUExtensionDSPKernel {
public:
    using BlockControls = dunmarrow_dsp::BlockControls;
    using BlockValues = dunmarrow_dsp::BlockValues;

    DunmarrowAUExtensionDSPKernel() {
        for (std::size_t slot = 0; slot < dunmarrow_dsp::kTargetSlotCount; ++slot) {
            targets_[slot].store(dunmarrow_dsp::kInitialTargets[slot], std::memory_order_relaxed);
        }
        for (std::size_t slot = 0; slot < dunmarrow_dsp::kTargetSlotCount; ++slot) {
            if (slot != dunmarrow_dsp::kLiveSafeSlot) smoothed_[dunmarrow_dsp::smoothedIndex(slot)] = dunmarrow_dsp::kInitialTargets[slot];
        }
    }

    // Main thread, while the host is not rendering: sizes every per-channel
    // state and the delay memory, and snaps the smoothing to the targets.
    // The output is finite at any sample rate from the smallest normal float
    // (about 1.2e-38 Hz; below it the rate as a float flushes to zero) up;
    // the platform's formats keep to 1 kHz..1536 kHz.
    void initialize(int32_t inputChannelCount, int32_t outputChannelCount, double inSampleRate) {
        sampleRate_ = inSampleRate;
        channelCount_ = std::max<int32_t>(0, std::max(inputChannelCount, outputChannelCount));
        const auto channels = static_cast<std::size_t>(channelCount_);
        for (auto* state : floatStates()) state->assign(channels, 0.0f);
        holdCounter_.assign(channels, 0);

        double length = std::ceil(inSampleRate * dunmarrow_dsp::kDoublerMemorySeconds);
        if (!(length >= 1.0)) length = 1.0;
        length = std::min(length, dunmarrow_dsp::kMaximumDoublerLength);
        doublerLength_ = static_cast<int32_t>(length);
        doublerBuffer_.assign(static_cast<std::size_t>(doublerLength_) * channels, 0.0f);
        doublerWriteIndex_.assign(channels, 0);
        doublerPhase_.assign(channels, 0.0f);

        // A level cell that exists keeps its value; a new one starts at 0.
        if (!levelsPresent_.load(std::memory_order_relaxed)) {
            inputLevel_.store(0.0f, std::memory_order_relaxed);
            outputLevel_.store(0.0f, std::memory_order_relaxed);
            levelsPresent_.store(true, std::memory_order_release);
        }

        snapSmoothingToTargets();
        oversampleScratch_.resize(static_cast<std::size_t>(maxFramesToRender_) * dunmarrow_dsp::kOversampling, 0.0f);
    }

    // Main thread, while the host is not rendering: drops all per-channel state.
    // Targets, smoothing, bypass, the frame limit and the spread states persist.
    void deinitialize() {
        for (auto* state : floatStates()) state->clear();
        holdCounter_.clear();
        oversampleScratch_.clear();
        doublerBuffer_.clear();
        doublerWriteIndex_.clear();
        doublerPhase_.clear();
        // The cells stay owned by the kernel, so a reader racing with this only
        // ever sees a value or 0, never freed memory.
        levelsPresent_.store(false, std::memory_order_release);
    }

    // Any thread, including the render thread for scheduled parameter events.
    void setParameter(uint64_t address, float value) {
        if (address >= dunmarrow_dsp::kParameterCount) return;
        targets_[dunmarrow_dsp::kSlotForAddress[address]].store(static_cast<double>(value), std::memory_order_relaxed);
    }

    // Sets every smoothed value to its target, as initialize does, so that the
    // next call renders at the targets without a glide: for a host whose first
    // settings arrive after initialize, before the first sample. The render
    // thread between two calls, or any thread while nothing renders.
    void snapSmoothingToTargets() noexcept {
        for (std::size_t slot = 0; slot < dunmarrow_dsp::kTargetSlotCount; ++slot) {
            if (slot == dunmarrow_dsp::kLiveSafeSlot) continue;
            smoothed_[dunmarrow_dsp::smoothedIndex(slot)] = targets_[slot].load(std::memory_order_relaxed);
        }
    }

    // Any thread: the stored target, not the smoothed value.
    float getParameter(uint64_t address) const {
        if (address >= dunmarrow_dsp::kParameterCount) return 0.0f;
        return static_cast<float>(targets_[dunmarrow_dsp::kSlotForAddress[address]].load(std::memory_order_relaxed));
    }

    void setBypass(bool shouldBypass) { bypassed_.store(shouldBypass, std::memory_order_relaxed); }
    bool isBypassed() const { return bypassed_.load(std::memory_order_relaxed); }

    // Main thread, while the host is not rendering: allocates the oversampling scratch.
    void setMaximumFramesToRender(uint32_t maximumFramesToRender) {
        maxFramesToRender_ = maximumFramesToRender;
        oversampleScratch_.resize(static_cast<std::size_t>(maxFramesToRender_) * dunmarrow_dsp::kOversampling, 0.0f);
    }
    uint32_t getMaximumFramesToRender() const { return maxFramesToRender_; }

    // Any thread (the editor's meter timer): peak of the last call, 0 while the
    // kernel is not initialised. Touches nothing but the level cells.
    float inputLevel() const noexcept { return readLevel(inputLevel_); }
    float outputLevel() const noexcept { return readLevel(outputLevel_); }

    // The compiled variant of the channel loop this kernel runs. A new kernel
    // takes dunmarrow_dsp::preferredInstructionSet().
    dunmarrow_dsp::InstructionSet instructionSet() const noexcept { return instructionSet_; }
    // Main thread, while the host is not rendering: chooses the variant; one
    // the processor cannot run falls back to the baseline. Both render the
    // same chain and differ only in rounding.
    void setInstructionSet(dunmarrow_dsp::InstructionSet set) noexcept {
        instructionSet_ = dunmarrow_dsp::processorSupports(set) ? set : dunmarrow_dsp::InstructionSet::Baseline;
    }

    // The block controls of the most recent non-bypassed call, for inspection.
    const BlockControls& lastBlockControls() const noexcept { return controls_; }

    // Interpolated read from channel `channel`'s delay memory, `delayInSamples`
    // behind `writeIndex`; 0 for a channel without memory.
    float readDelayInterpolated(int32_t channel, int32_t writeIndex, float delayInSamples) const noexcept {
        const int32_t length = doublerLength_;
        if (length < 2 || channel < 0 || channel >= doublerChannels()) return 0.0f;
        const float* memory = doublerBuffer_.data() + static_cast<std::size_t>(channel) * static_cast<std::size_t>(length);
        return readDelay(memory, length, writeIndex, delayInSamples);
    }

    // Render thread, real time: no lock, no allocation, no system call.
    // Output pointers may equal input pointers (in-place rendering).
    void process(std::span<const float* const> inputBuffers, std::span<float* const> outputBuffers,
                 int64_t bufferStartTime, uint32_t frameCount) noexcept {
        (void)bufferStartTime;
        assert(inputBuffers.size() == outputBuffers.size());
        // Its own guard, whoever calls (see Denormals.hpp).
        const dunmarrow_dsp::ScopedFlushDenormals flushDenormals;
        const std::size_t channels = std::min(inputBuffers.size(), outputBuffers.size());

        if (bypassed_.load(std::memory_order_relaxed)) {
            float peak = 0.0f;
            for (std::size_t c = 0; c < channels; ++c) {
                const float* in = inputBuffers[c];
                float* out = outputBuffers[c];
                if (in == nullptr || out == nullptr) continue;
                for (uint32_t n = 0; n < frameCount; ++n) {
                    const float sample = in[n];
                    const float magnitude = std::fabs(sample);
                    if (peak < magnitude) peak = magnitude;
                    out[n] = sample;
                }
            }
            writeLevels(peak, peak);
            return;
        }

        advanceSmoothing(frameCount);
        deriveBlockControls();

        if (channels == 0) {
            writeLevels(0.0f, 0.0f);
            return;
        }
        // Only reachable when a caller breaks the frame limit or renders before
        // initialize: the scratch cannot hold the call, so it yields silence.
        if (static_cast<std::size_t>(frameCount) * dunmarrow_dsp::kOversampling > oversampleScratch_.size()) {
            for (std::size_t c = 0; c < channels; ++c) {
                if (outputBuffers[c] != nullptr) std::fill_n(outputBuffers[c], frameCount, 0.0f);
            }
            writeLevels(0.0f, 0.0f);
            return;
        }

        float inputPeak = 0.0f;
        float outputPeak = 0.0f;
        for (std::size_t c = 0; c < channels; ++c) {
            if (inputBuffers[c] == nullptr || outputBuffers[c] == nullptr) continue;
            processChannel(static_cast<int32_t>(c), inputBuffers[c], outputBuffers[c], frameCount, inputPeak, outputPeak);
        }

        if (channels != 1 && outputBuffers[0] != nullptr && outputBuffers[1] != nullptr) {
            const float spread = std::min(dunmarrow_dsp::clampFinite(controls_.values.stereoSpread, dunmarrow_dsp::kFiniteLimit), 1.0f);
            if (spread > 0.0f && sampleRate_ > 0.0) {
                outputPeak = spreadStereo(outputBuffers[0], outputBuffers[1], frameCount, spread);
            }
        }
        writeLevels(inputPeak, outputPeak);
    }

private:
    using ChannelStateVector = std::vector<float>;

    std::array<ChannelStateVector*, 12> floatStates() noexcept {
        return {&tightLowpass_,   &cabLowpass_,   &bodyLowpass350_, &bodyLowpass120_, &bodyLowpass900_, &bodyLowpass500_,
                &grindLowpass_,   &touchEnvelope_, &heldSample_,    &previousTight_,  &antiAlias1_,     &antiAlias2_};
    }

    int32_t doublerChannels() const noexcept {
        if (doublerLength_ < 1) return 0;
        const auto withMemory = doublerBuffer_.size() / static_cast<std::size_t>(doublerLength_);
        return static_cast<int32_t>(std::min<std::size_t>(withMemory, static_cast<std::size_t>(std::max(channelCount_, 0))));
    }

    float readLevel(const std::atomic<float>& cell) const noexcept {
        return levelsPresent_.load(std::memory_order_acquire) ? cell.load(std::memory_order_relaxed) : 0.0f;
    }

    void writeLevels(float inputPeak, float outputPeak) noexcept {
        if (!levelsPresent_.load(std::memory_order_relaxed)) return;
        inputLevel_.store(inputPeak, std::memory_order_relaxed);
        outputLevel_.store(outputPeak, std::memory_order_relaxed);
    }

    // Moves every smoothed value towards its target by the call's length.
    void advanceSmoothing(uint32_t frameCount) noexcept {
        const double elapsed = sampleRate_ > 0.0 ? static_cast<double>(frameCount) / sampleRate_ : 0.0;
        const auto factor = static_cast<float>(1.0 - std::exp(elapsed / -dunmarrow_dsp::kSmoothingTimeConstant));
        for (std::size_t slot = 0; slot < dunmarrow_dsp::kTargetSlotCount; ++slot) {
            if (slot == dunmarrow_dsp::kLiveSafeSlot) continue;
            double& stored = smoothed_[dunmarrow_dsp::smoothedIndex(slot)];
            const auto target = static_cast<float>(targets_[slot].load(std::memory_order_relaxed));
            auto value = static_cast<float>(stored);
            // A value that went non-finite could never glide back; it takes the
            // target directly so the parameter recovers once the target is finite.
            value = std::isfinite(value) ? value + (target - value) * factor : target;
            stored = static_cast<double>(value);
        }
    }

    void deriveBlockControls() noexcept {
        dunmarrow_dsp::deriveBlockControls(
            controls_, smoothed_, targets_[dunmarrow_dsp::kLiveSafeSlot].load(std::memory_order_relaxed) >= 0.5,
            sampleRate_);
    }

    template <typename T>
    static T loadState(const std::vector<T>& state, std::size_t c) noexcept {
        return c < state.size() ? state[c] : T{};
    }
    template <typename T>
    static void storeState(std::vector<T>& state, std::size_t c, T value) noexcept {
        if (c < state.size()) state[c] = value;
    }

    // Frames per pass of the channel loop: every stage runs over a chunk of
    // frames before the next stage starts, so the stages without a sample to
    // sample dependency run on vectors. Each frame's arithmetic is the same
    // whatever the chunk, so results do not depend on how calls are split.
    static constexpr uint32_t kChunkFrames = 64;

    // Render thread: picks the compiled variant of the channel loop.
    void processChannel(int32_t channel, const float* in, float* out, uint32_t frameCount, float& inputPeak,
                        float& outputPeak) noexcept {
#if defined(__x86_64__) && !defined(DUNMARROW_DSP_BASELINE_ONLY)
        if (instructionSet_ == dunmarrow_dsp::InstructionSet::Avx512) {
            processChannelAvx512(channel, in, out, frameCount, inputPeak, outputPeak);
            return;
        }
        if (instructionSet_ == dunmarrow_dsp::InstructionSet::Avx2Fma) {
            processChannelAvx2(channel, in, out, frameCount, inputPeak, outputPeak);
            return;
        }
#endif
        processChannelBaseline(channel, in, out, frameCount, inputPeak, outputPeak);
    }

    [[gnu::noinline]] void processChannelBaseline(int32_t channel, const float* in, float* out, uint32_t frameCount,
                                                  float& inputPeak, float& outputPeak) noexcept {
        processChannelBody<dunmarrow_dsp::simd::Float4>(channel, in, out, frameCount, inputPeak, outputPeak);
    }
#if defined(__x86_64__) && !defined(DUNMARROW_DSP_BASELINE_ONLY)
    [[gnu::noinline, gnu::target("avx2,fma")]] void processChannelAvx2(int32_t channel, const float* in, float* out,
                                                                       uint32_t frameCount, float& inputPeak,
                                                                       float& outputPeak) noexcept {
        processChannelBody<dunmarrow_dsp::simd::Float8>(channel, in, out, frameCount, inputPeak, outputPeak);
    }
    [[gnu::noinline, gnu::target("avx512f,avx512vl,avx2,fma")]] void processChannelAvx512(
        int32_t channel, const float* in, float* out, uint32_t frameCount, float& inputPeak, float& outputPeak) noexcept {
        processChannelBody<dunmarrow_dsp::simd::Float16>(channel, in, out, frameCount, inputPeak, outputPeak);
    }
#endif

    // Interpolated read from one channel's delay memory of `length` (at least
    // 2) samples, `delayInSamples` behind `writeIndex` (within the memory).
    static float readDelay(const float* memory, int32_t length, int32_t writeIndex, float delayInSamples) noexcept {
        float delay = delayInSamples;
        const auto longest = static_cast<float>(length - 2);
        if (delay > longest) delay = longest;
        if (!(delay >= 1.0f)) delay = 1.0f;  // also catches NaN
        float position = static_cast<float>(writeIndex) - delay;
        while (position < 0.0f) position += static_cast<float>(length);
        auto j = static_cast<int32_t>(position);
        // A tiny negative difference plus the length can round up to the length
        // itself; wrap it so the read stays inside the channel's memory.
        if (j >= length) {
            j -= length;
            position -= static_cast<float>(length);
        }
        const int32_t k = j + 1 == length ? 0 : j + 1;
        const float frac = position - static_cast<float>(j);
        return memory[j] + (memory[k] - memory[j]) * frac;
    }

    // Input conditioning, touch (more gain while the playing is soft) and tight
    // (low cut by subtracting a lowpass) for one chunk of frames. Compiled for
    // the baseline in every variant and never inlined: without fused
    // multiply-adds its rounding is exactly that of the plain formulas, which
    // matters because the drive shaper multiplies small differences of the
    // tight stage's output by up to 255.
    [[gnu::noinline]] static void conditionChunk(const BlockControls& k, const float* __restrict in, uint32_t count,
                                                 float* __restrict tight, float* __restrict drySafe,
                                                 float& envelopeState, float& tightState, float& inputPeak) noexcept {
        namespace d = dunmarrow_dsp;
        const bool liveSafe = k.values.liveSafe;
        const bool touchActive = k.touchActive;
        const float touchRelease = k.touchRelease;
        const float touchBoost = k.touchBoost;
        const float touch = k.values.touch;
        const float tightCoefficient = k.tightCoefficient;
        const float tightWeight = k.tightWeight;
        const float tightAmount = k.values.tight;
        float envelope = envelopeState;
        float tightLowpass = tightState;
        float peak = inputPeak;
        for (uint32_t i = 0; i < count; ++i) {
            const float dry = in[i];
            const float safe = d::finiteOrZero(dry);
            float x = liveSafe ? safe : dry;
            const float magnitude = std::fabs(x);
            if (peak < magnitude) peak = magnitude;

            // Attack or release by a select, not a branch: the choice follows the signal.
            const float rate = magnitude > envelope ? d::kTouchAttack : touchRelease;
            envelope = envelope + (magnitude - envelope) * rate;
            if (touchActive) {
                x = x * (1.0f + touchBoost * (touch * d::clampTo((d::kTouchThreshold - envelope) / d::kTouchThreshold, 0.0f, 1.0f)));
            }

            tightLowpass = tightCoefficient * tightLowpass + tightWeight * x;
            tight[i] = x - tightAmount * tightLowpass;
            drySafe[i] = safe;
        }
        envelopeState = envelope;
        tightState = tightLowpass;
        inputPeak = peak;
    }

    // The drive shaper (stage 2) on one vector of sub-samples: tanh of the
    // driven signal, part of it clipped harder as bite says.
    template <typename W>
    [[gnu::always_inline]] static W driveShaper(const BlockControls& k, W u) noexcept {
        namespace simd = dunmarrow_dsp::simd;
        const W s = simd::tanh<W>(simd::splat<W>(k.biteGain) * (simd::splat<W>(k.driveGain) * u));
        return s + (simd::clamp<W>(simd::splat<W>(1.55f) * s, -0.94f, 0.94f) - s) * simd::splat<W>(k.biteClipMix);
    }

    // Grind (on the residue above its lowpass) and crush on one vector of sub-samples.
    template <typename W>
    [[gnu::always_inline]] static W grindAndCrush(const BlockControls& k, W y, const float* residue) noexcept {
        namespace simd = dunmarrow_dsp::simd;
        if (k.grindActive) {
            const W g = simd::tanh<W>(simd::splat<W>(k.grindGain) * simd::load<W>(residue));
            const W w = g + (simd::clamp<W>(simd::splat<W>(1.38f) * g, -0.92f, 0.92f) - g) * simd::splat<W>(k.grindClipMix);
            y = simd::clamp<W>(y + w * simd::splat<W>(k.grindAmount), -0.98f, 0.98f);
        }
        if (k.crushActive) {
            const W g = simd::tanh<W>(simd::splat<W>(k.crushGain) * y);
            const W w = g + (simd::clamp<W>(simd::splat<W>(1.22f) * g, -0.96f, 0.96f) - g) * simd::splat<W>(k.crushClipMix);
            y = y + (w - y) * simd::splat<W>(k.values.crush);
        }
        return y;
    }

    // A vector whose lanes hold, for each frame it covers, that frame's value
    // from `values`: one frame for vectors of up to eight lanes, two for 16.
    template <typename W>
    [[gnu::always_inline]] static W perFrame(const float* values) noexcept {
        namespace simd = dunmarrow_dsp::simd;
        if constexpr (simd::kLanes<W> <= dunmarrow_dsp::kOversampling) {
            return simd::splat<W>(values[0]);
        } else {
            using simd::Float8;
            return __builtin_shufflevector(simd::splat<Float8>(values[0]), simd::splat<Float8>(values[1]), 0, 1, 2, 3, 4,
                                           5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        }
    }

    // What one pass of shapeFrames does: the drive shaper alone; grind, crush
    // and the sums over the drive shaper's stored output; or all of it.
    enum class ShapePass { DriveOnly, AfterDrive, Whole };

    // Stages 2 and 3b (drive, grind, crush) and the frames' anti-alias sums
    // for frames [first, last) on vectors W: a frame's eight sub-samples fill
    // one W of 8 lanes, two of 4, or half of one of 16 (then last - first is
    // even). `tightRun` holds the frame before `first` and then the frames.
    // Every lane's arithmetic is the same whatever W, so the 8- and 16-lane
    // forms give the same results.
    template <typename W>
    [[gnu::always_inline]] static void shapeFrames(const BlockControls& k, const dunmarrow_dsp::OversampledFilters& f,
                                                   const float* tightRun, uint32_t first, uint32_t last,
                                                   float* __restrict scratch, const float* __restrict residue,
                                                   ShapePass pass, float* firstSums, float* secondSums) noexcept {
        namespace d = dunmarrow_dsp;
        namespace simd = dunmarrow_dsp::simd;
        using simd::Float4;
        using simd::Float8;
        constexpr uint32_t lanes = simd::kLanes<W>;
        constexpr uint32_t framesPerVector = lanes > d::kOversampling ? lanes / d::kOversampling : 1;
        constexpr uint32_t parts = lanes > d::kOversampling ? 1 : d::kOversampling / lanes;
        constexpr uint32_t step8 = d::kOversampling;
        // Lane l is sub-sample (l mod 8) + 1 of its frame, and takes that
        // sub-sample's anti-alias weights.
        alignas(64) std::array<float, lanes * parts> index, firstWeight, secondWeight;
        for (uint32_t l = 0; l < lanes * parts; ++l) {
            index[l] = static_cast<float>(l % step8 + 1);
            firstWeight[l] = f.firstWeights[l % step8];
            secondWeight[l] = f.secondWeights[l % step8];
        }
        std::array<W, parts> subSampleIndex, firstWeights, secondWeights;
        for (uint32_t part = 0; part < parts; ++part) {
            subSampleIndex[part] = simd::load<W>(index.data() + part * lanes);
            firstWeights[part] = simd::load<W>(firstWeight.data() + part * lanes);
            secondWeights[part] = simd::load<W>(secondWeight.data() + part * lanes);
        }
        for (uint32_t i = first; i < last; i += framesPerVector) {
            const W before = perFrame<W>(tightRun + i);
            const W step = perFrame<W>(tightRun + i + 1) - before;
            std::array<W, parts> y;
            for (uint32_t part = 0; part < parts; ++part) {
                float* at = scratch + i * step8 + part * lanes;
                if (pass == ShapePass::AfterDrive) {
                    y[part] = simd::load<W>(at);
                } else {
                    // step x (k / 8) as step x k, then the exact scaling by 1/8: the
                    // same rounding whether or not the add is fused with it.
                    const W u = before + (step * subSampleIndex[part]) * simd::splat<W>(d::kSubSampleStep);
                    y[part] = driveShaper<W>(k, u);
                }
                if (pass != ShapePass::DriveOnly) y[part] = grindAndCrush<W>(k, y[part], residue + i * step8 + part * lanes);
                simd::store<W>(at, y[part]);
            }
            if (pass == ShapePass::DriveOnly) continue;
            W firstSum = firstWeights[0] * y[0];
            W secondSum = secondWeights[0] * y[0];
            for (uint32_t part = 1; part < parts; ++part) {
                firstSum = firstSum + firstWeights[part] * y[part];
                secondSum = secondSum + secondWeights[part] * y[part];
            }
            if constexpr (lanes == 4) {
                simd::laneSums(firstSum, secondSum, firstSums[i], secondSums[i]);
            } else {
                for (uint32_t frame = 0; frame < framesPerVector; ++frame) {
                    Float8 a, b;
                    std::memcpy(&a, reinterpret_cast<const unsigned char*>(&firstSum) + frame * sizeof a, sizeof a);
                    std::memcpy(&b, reinterpret_cast<const unsigned char*>(&secondSum) + frame * sizeof b, sizeof b);
                    simd::laneSums(simd::lowHalf<Float4>(a) + simd::highHalf<Float4>(a),
                                   simd::lowHalf<Float4>(b) + simd::highHalf<Float4>(b), firstSums[i + frame],
                                   secondSums[i + frame]);
                }
            }
        }
    }

    // shapeFrames over all `count` frames; with 16 lanes, a last odd frame
    // runs on 8.
    template <typename V>
    [[gnu::always_inline]] static void shapeAllFrames(const BlockControls& k, const dunmarrow_dsp::OversampledFilters& f,
                                                      const float* tightRun, uint32_t count, float* __restrict scratch,
                                                      const float* __restrict residue, ShapePass pass,
                                                      float* firstSums, float* secondSums) noexcept {
        if constexpr (dunmarrow_dsp::simd::kLanes<V> > dunmarrow_dsp::kOversampling) {
            const uint32_t paired = count & ~1u;
            shapeFrames<V>(k, f, tightRun, 0, paired, scratch, residue, pass, firstSums, secondSums);
            if (paired < count) {
                shapeFrames<dunmarrow_dsp::simd::Float8>(k, f, tightRun, paired, count, scratch, residue, pass,
                                                         firstSums, secondSums);
            }
        } else {
            shapeFrames<V>(k, f, tightRun, 0, count, scratch, residue, pass, firstSums, secondSums);
        }
    }

    // Stages 2 and 3 and the anti-alias lowpasses over one chunk, as passes
    // over all its frames: each vector pass has no dependency from one frame to
    // the next, so the processor overlaps many frames; the serial passes (the
    // grind lowpass's state and the anti-alias states, in the per-frame form of
    // OversampledFilters) take a few multiply-adds per frame. Each frame's core
    // results end in the scratch, its decimator output z in `reduced`.
    // `tightRun` holds the tight output of the frame before the chunk, then
    // the chunk's `count` frames.
    template <typename V>
    [[gnu::always_inline]] static void oversampleChunk(const BlockControls& k, const dunmarrow_dsp::OversampledFilters& f,
                                                       const float* tightRun, uint32_t count, float* __restrict scratch,
                                                       float* __restrict reduced, float& grindState,
                                                       float& antiAlias1State, float& antiAlias2State) noexcept {
        namespace d = dunmarrow_dsp;
        namespace simd = dunmarrow_dsp::simd;
        using simd::Float4;
        constexpr uint32_t step8 = d::kOversampling;
        alignas(64) std::array<float, kChunkFrames> firstSums, secondSums;
        alignas(64) std::array<float, kChunkFrames * d::kOversampling> residue;

        if (k.grindActive) {
            // 2. Interpolation and drive shaper, alone: the grind lowpass needs them first.
            shapeAllFrames<V>(k, f, tightRun, count, scratch, nullptr, ShapePass::DriveOnly, nullptr, nullptr);

            // 3a. Grind lowpass, in groups of four sub-samples: the prefix sums
            // within a group do not depend on the state, only the carry in does.
            // Leaves the residue y - lowpass of every sub-sample.
            const Float4 scan1 = simd::splat<Float4>(f.grindScan[0]);
            const Float4 scan2 = simd::splat<Float4>(f.grindScan[1]);
            const Float4 weight = simd::splat<Float4>(k.grindWeight);
            const Float4 carry = simd::load<Float4>(f.grindCarry.data());
            const float groupPower = f.grindCarry[3];
            float lowpass = grindState;
            for (uint32_t j = 0; j < count * step8; j += 4) {
                const Float4 y = simd::load<Float4>(scratch + j);
                const Float4 prefix = simd::decayingPrefixSum(weight * y, scan1, scan2);
                simd::store<Float4>(residue.data() + j, y - (carry * simd::splat<Float4>(lowpass) + prefix));
                lowpass = groupPower * lowpass + prefix[3];
            }
            grindState = lowpass;
        }

        // 3b. Grind and crush (after the drive shaper in the same pass when
        // grind did not need it first), and the frames' anti-alias sums.
        shapeAllFrames<V>(k, f, tightRun, count, scratch, residue.data(),
                          k.grindActive ? ShapePass::AfterDrive : ShapePass::Whole, firstSums.data(), secondSums.data());

        // 4 (first half). Anti-alias states frame after frame, and z.
        const float framePower = f.framePower;
        const float crossWeight = f.crossWeight;
        const float rawBlend = k.rawBlend;
        float antiAlias1 = antiAlias1State;
        float antiAlias2 = antiAlias2State;
        for (uint32_t i = 0; i < count; ++i) {
            const float nextAntiAlias1 = framePower * antiAlias1 + firstSums[i];
            antiAlias2 = framePower * antiAlias2 + (crossWeight * antiAlias1 + secondSums[i]);
            antiAlias1 = nextAntiAlias1;
            reduced[i] = antiAlias2 + (scratch[i * step8 + step8 - 1] - antiAlias2) * rawBlend;
        }
        antiAlias1State = antiAlias1;
        antiAlias2State = antiAlias2;
    }

    // One channel's frames through the whole chain. Per chunk of frames:
    //   1. input conditioning, touch and tight, frame after frame;
    //   2. interpolation, drive shaper, grind and crush on the eight sub-samples
    //      of a frame in one or two vectors, with the grind and anti-alias
    //      lowpasses regrouped per frame (oversampleChunk);
    //   3. decimation and body, frame after frame;
    //   4. density on vectors of frames;
    //   5. cab, double track, output and live-safe guard, frame after frame.
    // V is the vector type of the variant (4, 8 or 16 lanes).
    template <typename V>
    [[gnu::always_inline]] void processChannelBody(int32_t channel, const float* in, float* out, uint32_t frameCount,
                                                   float& inputPeak, float& outputPeak) noexcept {
        namespace d = dunmarrow_dsp;
        namespace simd = dunmarrow_dsp::simd;
        constexpr uint32_t lanes = simd::kLanes<V>;
        const BlockControls& k = controls_;
        const auto c = static_cast<std::size_t>(channel);
        const bool liveSafe = k.values.liveSafe;

        float tightLowpass = loadState(tightLowpass_, c);
        float cabLowpass = loadState(cabLowpass_, c);
        float body350 = loadState(bodyLowpass350_, c);
        float body120 = loadState(bodyLowpass120_, c);
        float body900 = loadState(bodyLowpass900_, c);
        float body500 = loadState(bodyLowpass500_, c);
        float grindLowpass = loadState(grindLowpass_, c);
        float envelope = loadState(touchEnvelope_, c);
        float held = loadState(heldSample_, c);
        int32_t holdCounter = loadState(holdCounter_, c);
        float previousTight = loadState(previousTight_, c);
        float antiAlias1 = loadState(antiAlias1_, c);
        float antiAlias2 = loadState(antiAlias2_, c);
        int32_t writeIndex = loadState(doublerWriteIndex_, c);
        float phase = loadState(doublerPhase_, c);

        const std::size_t parity = c % 2;
        const bool hasMemory = channel < doublerChannels();
        float* memory = hasMemory ? doublerBuffer_.data() + c * static_cast<std::size_t>(doublerLength_) : nullptr;
        float* scratch = oversampleScratch_.data();
        const d::OversampledFilters filters = d::OversampledFilters::from(k);

        // The held sample's saturated value changes only when the held sample does.
        bool saturatedKnown = false;
        std::uint32_t saturatedFor = 0;
        float saturatedHeld = 0.0f;

        // Per chunk: the tight stage's output, the conditioned dry input and
        // the base-rate signal from the decimator on (padded to whole vectors).
        // tightRun[0] is the frame before the chunk, the chunk's frames follow.
        alignas(64) std::array<float, kChunkFrames + 1> tightRun{};
        alignas(32) std::array<float, kChunkFrames> drySafeChunk{};
        alignas(32) std::array<float, kChunkFrames> base{};

        for (uint32_t start = 0; start < frameCount; start += kChunkFrames) {
            const uint32_t count = std::min(kChunkFrames, frameCount - start);
            float* chunkScratch = scratch + static_cast<std::size_t>(start) * d::kOversampling;

            // 1. Input conditioning, touch and tight.
            tightRun[0] = previousTight;
            conditionChunk(k, in + start, count, tightRun.data() + 1, drySafeChunk.data(), envelope, tightLowpass, inputPeak);

            // 2. The oversampled core and the anti-alias lowpasses.
            oversampleChunk<V>(k, filters, tightRun.data(), count, chunkScratch, base.data(), grindLowpass, antiAlias1, antiAlias2);
            previousTight = tightRun[count];

            // 3. Decimation and body, frame after frame.
            if (k.decimationActive || k.bodyActive) {
                const bool decimationActive = k.decimationActive;
                const bool bodyActive = k.bodyActive;
                const std::int32_t holdReload = k.holdReload;
                const float decimationDrive = k.decimationDrive;
                const float decimationShape = k.decimationShape;
                const float decimationMix = k.decimationMix;
                const float c350 = k.body350, c120 = k.body120, c900 = k.body900, c500 = k.body500;
                const float w350 = k.body350Weight, w120 = k.body120Weight, w900 = k.body900Weight, w500 = k.body500Weight;
                const float lowBoost = k.bodyLowBoost, midCut = k.bodyMidCut, trim = k.bodyTrim;
                for (uint32_t i = 0; i < count; ++i) {
                    float x = base[i];
                    // Decimation: sample and hold with saturation.
                    if (decimationActive) {
                        if (holdCounter < 1) {
                            holdCounter = holdReload;
                            held = x;
                        } else {
                            holdCounter -= 1;
                        }
                        if (!saturatedKnown || std::bit_cast<std::uint32_t>(held) != saturatedFor) {
                            saturatedKnown = true;
                            saturatedFor = std::bit_cast<std::uint32_t>(held);
                            saturatedHeld = held + (simd::tanh<float>(decimationDrive * held) - held) * decimationShape;
                        }
                        x = x + (saturatedHeld - x) * decimationMix;
                    } else {
                        holdCounter = 0;
                        held = x;
                    }
                    // Body: raise 120-350 Hz, lower 500-900 Hz.
                    if (bodyActive) {
                        body350 = c350 * body350 + w350 * x;
                        body120 = c120 * body120 + w120 * x;
                        body900 = c900 * body900 + w900 * x;
                        body500 = c500 * body500 + w500 * x;
                        x = trim * ((x + (body350 - body120) * lowBoost) - (body900 - body500) * midCut);
                    }
                    base[i] = x;
                }
            } else {
                holdCounter = 0;
                held = base[count - 1];
            }

            // 4. Density: rational and tanh saturation blended, a vector of
            // frames at a time (lanes past the chunk's end are computed and ignored).
            if (k.densityActive) {
                const V knee = simd::splat<V>(k.densityKnee);
                const V onePlusKnee = simd::splat<V>(1.0f + k.densityKnee);
                const V gain = simd::splat<V>(k.densityGain);
                const V norm = simd::splat<V>(k.densityNorm);
                const V trim = simd::splat<V>(k.densityTrim);
                const V amount = simd::splat<V>(k.densityAmount);
                for (uint32_t i = 0; i < count; i += lanes) {
                    const V x = simd::load<V>(base.data() + i);
                    const V r = (onePlusKnee * x) / (simd::splat<V>(1.0f) + knee * simd::abs(x));
                    const V t = simd::tanh<V>(gain * x) / norm;
                    const V m = r + (t - r) * simd::splat<V>(d::kDensityBlend);
                    simd::store<V>(base.data() + i, trim * (x + (m - x) * amount));
                }
            }

            // 5. Cab, double track, output gain and the live-safe guard.
            const bool cabActive = k.cabActive;
            const float cabCoefficient = k.cabCoefficient, cabWeight = k.cabWeight, cabPresence = k.cabPresence;
            const float cabAmount = k.values.cab;
            const bool doubling = k.doubleTrackActive && doublerLength_ >= 1;
            const bool readable = memory != nullptr && doublerLength_ >= 2;
            const float delayCentre = k.delayCentre[parity], delayDepth = k.delayDepth[parity];
            const float lfoPhaseOffset = k.lfoPhaseOffset[parity];
            const float doubleTrackWet = k.doubleTrackWet, doubleTrackNorm = k.doubleTrackNorm;
            const float lfoIncrement = k.lfoIncrement;
            const int32_t length = doublerLength_;
            const float outputTrim = k.outputTrim, outputGain = k.outputGain;
            float* __restrict chunkOut = out + start;
            float peak = outputPeak;
            // The LFO's phase advances every frame; while doubling, the delay
            // it sets is taken for the whole chunk ahead, the sines on vectors.
            alignas(32) std::array<float, kChunkFrames> lfoDelay{};
            if (doubling) {
                for (uint32_t i = 0; i < count; ++i) {
                    lfoDelay[i] = lfoPhaseOffset + phase;
                    phase = phase + lfoIncrement;
                    if (phase > d::kTwoPi) phase -= d::kTwoPi;
                }
                const V centre = simd::splat<V>(delayCentre), depth = simd::splat<V>(delayDepth);
                for (uint32_t i = 0; i < count; i += lanes)
                    simd::store<V>(lfoDelay.data() + i, centre + depth * simd::sin<V>(simd::load<V>(lfoDelay.data() + i)));
            } else {
                for (uint32_t i = 0; i < count; ++i) {
                    phase = phase + lfoIncrement;
                    if (phase > d::kTwoPi) phase -= d::kTwoPi;
                }
            }
            for (uint32_t i = 0; i < count; ++i) {
                float x = base[i];

                // Cab: high cut with a little presence kept.
                if (cabActive) {
                    cabLowpass = cabCoefficient * cabLowpass + cabWeight * x;
                    const float p = cabLowpass + (x - cabLowpass) * cabPresence;
                    x = x + (p - x) * cabAmount;
                }

                // Double track: mix with a modulated delayed copy; the memory
                // always records the dry signal so switching on has no gap.
                float w = x;
                if (doubling) {
                    const float delayed = readable ? readDelay(memory, length, writeIndex, lfoDelay[i]) : 0.0f;
                    w = (x + doubleTrackWet * delayed) / doubleTrackNorm;
                }
                if (length >= 1) {
                    if (memory != nullptr) memory[writeIndex] = x;
                    writeIndex = writeIndex + 1 == length ? 0 : writeIndex + 1;
                } else {
                    writeIndex = 0;
                }
                float o = outputTrim * (outputGain * w);
                if (liveSafe) {
                    if (!std::isfinite(o)) o = drySafeChunk[i];
                    const float magnitudeOut = std::fabs(o);
                    if (magnitudeOut > d::kSoftLimitKnee) {
                        const float limited = d::kSoftLimitKnee + d::kSoftLimitRange * simd::tanh<float>((magnitudeOut - d::kSoftLimitKnee) * d::kSoftLimitSlope);
                        o = o < 0.0f ? -limited : limited;
                    }
                }
                if (peak < std::fabs(o)) peak = std::fabs(o);
                chunkOut[i] = o;
            }
            outputPeak = peak;
        }

        storeState(tightLowpass_, c, tightLowpass);
        storeState(cabLowpass_, c, cabLowpass);
        storeState(bodyLowpass350_, c, body350);
        storeState(bodyLowpass120_, c, body120);
        storeState(bodyLowpass900_, c, body900);
        storeState(bodyLowpass500_, c, body500);
        storeState(grindLowpass_, c, grindLowpass);
        storeState(touchEnvelope_, c, envelope);
        storeState(heldSample_, c, held);
        storeState(holdCounter_, c, holdCounter);
        storeState(previousTight_, c, previousTight);
        storeState(antiAlias1_, c, antiAlias1);
        storeState(antiAlias2_, c, antiAlias2);
        storeState(doublerWriteIndex_, c, writeIndex);
        storeState(doublerPhase_, c, phase);
    }

    // Mid/side widener over the first two outputs; returns their new peak.
    // Compiled in both variants: its filters are one long chain per frame,
    // which fused multiply-adds shorten, and the passes around them run on
    // vectors of frames.
    float spreadStereo(float* left, float* right, uint32_t frameCount, float spread) noexcept {
#if defined(__x86_64__) && !defined(DUNMARROW_DSP_BASELINE_ONLY)
        // The AVX-512 variant takes the AVX2 form: the filters' vectors are
        // 4 lanes wide, and the passes around them are a small part.
        if (instructionSet_ != dunmarrow_dsp::InstructionSet::Baseline)
            return spreadStereoAvx2(left, right, frameCount, spread);
#endif
        return spreadStereoBaseline(left, right, frameCount, spread);
    }
    [[gnu::noinline]] float spreadStereoBaseline(float* left, float* right, uint32_t frameCount, float spread) noexcept {
        return spreadStereoBody<dunmarrow_dsp::simd::Float4>(left, right, frameCount, spread);
    }
#if defined(__x86_64__) && !defined(DUNMARROW_DSP_BASELINE_ONLY)
    [[gnu::noinline, gnu::target("avx2,fma")]] float spreadStereoAvx2(float* left, float* right, uint32_t frameCount,
                                                                      float spread) noexcept {
        return spreadStereoBody<dunmarrow_dsp::simd::Float8>(left, right, frameCount, spread);
    }
#endif

    // holdWithin and clampFinite of ScalarMath.hpp for a float or a vector of
    // them, with the same comparisons, so both give the same values.
    template <typename W>
    [[gnu::always_inline]] static W holdEach(W v, float limit) noexcept {
        namespace simd = dunmarrow_dsp::simd;
        const W low = simd::splat<W>(-limit);
        const W high = simd::splat<W>(limit);
        const W above = low < v ? v : low;
        return above < high ? above : high;
    }
    template <typename W>
    [[gnu::always_inline]] static W clampFiniteEach(W v, float limit) noexcept {
        namespace simd = dunmarrow_dsp::simd;
        const W zero = simd::splat<W>(0.0f);
        // v - v is 0 exactly when v is finite.
        return (v - v) == zero ? holdEach<W>(v, limit) : zero;
    }

    // The widener's mid and side of frames [first, last) on W (a vector of
    // frames, or one float for the frames past the last whole vector).
    template <typename W>
    [[gnu::always_inline]] static void spreadMidSide(const float* left, const float* right, uint32_t first, uint32_t last,
                                                     float* mid, float* side) noexcept {
        namespace simd = dunmarrow_dsp::simd;
        constexpr float limit = dunmarrow_dsp::kFiniteLimit;
        constexpr uint32_t lanes = std::is_same_v<W, float> ? 1 : simd::kLanes<W>;
        for (uint32_t i = first; i + lanes <= last; i += lanes) {
            const W l = clampFiniteEach<W>(loadEach<W>(left + i), limit);
            const W r = clampFiniteEach<W>(loadEach<W>(right + i), limit);
            storeEach<W>(mid + i, holdEach<W>(simd::splat<W>(0.5f) * (l + r), limit));
            storeEach<W>(side + i, holdEach<W>(simd::splat<W>(0.5f) * (l - r), limit));
        }
    }

    // The widener's outputs of frames [first, last) on W, from the filters'
    // results; returns the peak of what it wrote (at least `peak`).
    struct SpreadMix {
        float bandSend, highSend, sideLimit, outputNorm;
    };
    template <typename W>
    [[gnu::always_inline]] static float spreadOutputs(const SpreadMix& m, const float* mid, const float* band,
                                                      const float* high, const float* sideHigh, const float* decorrelated,
                                                      uint32_t first, uint32_t last, float* left, float* right,
                                                      float peak) noexcept {
        namespace simd = dunmarrow_dsp::simd;
        constexpr float limit = dunmarrow_dsp::kFiniteLimit;
        constexpr uint32_t lanes = std::is_same_v<W, float> ? 1 : simd::kLanes<W>;
        W peaks = simd::splat<W>(peak);
        for (uint32_t i = first; i + lanes <= last; i += lanes) {
            W newSide = loadEach<W>(decorrelated + i) +
                        (loadEach<W>(sideHigh + i) + (simd::splat<W>(m.bandSend) * loadEach<W>(band + i) +
                                                      simd::splat<W>(m.highSend) * loadEach<W>(high + i)));
            newSide = holdEach<W>(holdEach<W>(newSide, limit), m.sideLimit);
            const W midValue = loadEach<W>(mid + i);
            const W outLeft = holdEach<W>((midValue + newSide) * simd::splat<W>(m.outputNorm), limit);
            const W outRight = holdEach<W>((midValue - newSide) * simd::splat<W>(m.outputNorm), limit);
            const W larger = magnitudeEach<W>(outLeft) < magnitudeEach<W>(outRight) ? magnitudeEach<W>(outRight)
                                                                                    : magnitudeEach<W>(outLeft);
            peaks = peaks < larger ? larger : peaks;
            storeEach<W>(left + i, outLeft);
            storeEach<W>(right + i, outRight);
        }
        if constexpr (std::is_same_v<W, float>) {
            return peaks;
        } else {
            for (uint32_t lane = 0; lane < lanes; ++lane) peak = std::max(peak, peaks[lane]);
            return peak;
        }
    }

    template <typename W>
    [[gnu::always_inline]] static W loadEach(const float* p) noexcept {
        if constexpr (std::is_same_v<W, float>) return *p;
        else return dunmarrow_dsp::simd::load<W>(p);
    }
    template <typename W>
    [[gnu::always_inline]] static void storeEach(float* p, W v) noexcept {
        if constexpr (std::is_same_v<W, float>) *p = v;
        else dunmarrow_dsp::simd::store<W>(p, v);
    }
    template <typename W>
    [[gnu::always_inline]] static W magnitudeEach(W v) noexcept {
        if constexpr (std::is_same_v<W, float>) return std::fabs(v);
        else return dunmarrow_dsp::simd::abs<W>(v);
    }

    // Per chunk of frames: mid and side on vectors of frames; the three
    // lowpasses (two on mid, one on side) and the four allpasses (two on the
    // band, two on the highs), each set as the lanes of one 4-lane vector,
    // frame after frame; then the new side and the outputs on vectors again.
    template <typename V>
    [[gnu::always_inline]] float spreadStereoBody(float* left, float* right, uint32_t frameCount, float spread) noexcept {
        namespace d = dunmarrow_dsp;
        constexpr float limit = d::kFiniteLimit;
        constexpr uint32_t lanes = d::simd::kLanes<V>;
        const float fs = static_cast<float>(sampleRate_);
        const float amount = std::pow(spread, 0.78f);

        std::array<float, 3> coefficient{};
        for (std::size_t lane = 0; lane < coefficient.size(); ++lane) {
            if (!std::isfinite(fs)) break;
            float cutoff = std::min(d::kSpreadCutoffs[lane], 0.45f * fs);
            cutoff = std::max(cutoff, 20.0f);
            float value = std::exp(cutoff * -d::kTwoPi / fs);
            value = std::min(value, 0.99999f);
            coefficient[lane] = std::max(value, 0.0f);
        }
        const float sideGain = 1.0f + 0.45f * amount;
        const float bandDecorrelation = 0.38f * amount;
        const float highDecorrelation = 0.54f * amount;
        const SpreadMix mix{0.46f * amount, -0.7f * amount, 1.15f + 0.35f * amount, 1.0f / (1.0f + 0.14f * amount)};

        using F4 = d::simd::Float4;
        const auto hold = [](F4 v, F4 bound) noexcept {
            const F4 low = -bound;
            const F4 above = low < v ? v : low;
            return above < bound ? above : bound;
        };
        const F4 bound = d::simd::splat<F4>(limit);
        const F4 lpCoefficient = {coefficient[0], coefficient[1], coefficient[2], 0.0f};
        const F4 lpWeight = d::simd::splat<F4>(1.0f) - lpCoefficient;
        F4 lp = {d::clampFinite(spreadLowpassState_[0], limit), d::clampFinite(spreadLowpassState_[1], limit),
                 d::clampFinite(spreadLowpassState_[2], limit), 0.0f};
        F4 apCoefficient;
        F4 ap;
        for (int i = 0; i < 4; ++i) {
            const auto lane = static_cast<std::size_t>(i);
            apCoefficient[i] = d::clampTo(d::kSpreadAllpassCoefficients[lane], -d::kAllpassCoefficientLimit,
                                          d::kAllpassCoefficientLimit);
            ap[i] = d::clampFinite(spreadAllpassState_[lane], limit);
        }
        float peak = 0.0f;

        alignas(32) std::array<float, kChunkFrames> mid, side, band, high, sideHigh, decorrelated;
        for (uint32_t start = 0; start < frameCount; start += kChunkFrames) {
            const uint32_t count = std::min(kChunkFrames, frameCount - start);
            const uint32_t whole = count - count % lanes;
            spreadMidSide<V>(left + start, right + start, 0, whole, mid.data(), side.data());
            spreadMidSide<float>(left + start, right + start, whole, count, mid.data(), side.data());

            // Past the two inputs every value comes from bounded ones through a
            // few multiply-adds, so it is finite and only needs holding.
            for (uint32_t i = 0; i < count; ++i) {
                const F4 lpInput = {mid[i], mid[i], side[i], 0.0f};
                lp = hold(lpCoefficient * lp + lpWeight * lpInput, bound);
                band[i] = d::holdWithin(lp[1] - lp[0], limit);
                high[i] = d::holdWithin(mid[i] - lp[1], limit);
                sideHigh[i] = d::holdWithin(sideGain * (side[i] - lp[2]), limit);
                // One-multiplier allpass form: y = s - g x, s' = g y + x.
                const F4 apInput = {band[i], band[i], high[i], high[i]};
                const F4 a = hold(ap - apCoefficient * apInput, bound);
                ap = hold(apCoefficient * a + apInput, bound);
                decorrelated[i] = bandDecorrelation * (a[0] - a[1]) + highDecorrelation * (a[2] - a[3]);
            }

            peak = spreadOutputs<V>(mix, mid.data(), band.data(), high.data(), sideHigh.data(), decorrelated.data(), 0,
                                    whole, left + start, right + start, peak);
            peak = spreadOutputs<float>(mix, mid.data(), band.data(), high.data(), sideHigh.data(), decorrelated.data(),
                                        whole, count, left + start, right + start, peak);
        }

        for (int i = 0; i < 3; ++i) spreadLowpassState_[static_cast<std::size_t>(i)] = d::clampFinite(lp[i], limit);
        for (int i = 0; i < 4; ++i) spreadAllpassState_[static_cast<std::size_t>(i)] = d::clampFinite(ap[i], limit);
        return peak;
    }

    double sampleRate_ = dunmarrow_dsp::kDefaultSampleRate;
    int32_t channelCount_ = dunmarrow_dsp::kDefaultChannelCount;
    // Targets are stored from any thread and loaded by the render thread; each
    // is one indivisible 64-bit value, and no ordering between them is needed.
    std::array<std::atomic<double>, dunmarrow_dsp::kTargetSlotCount> targets_{};
    std::array<double, dunmarrow_dsp::kSmoothedCount> smoothed_{};
    std::atomic<bool> bypassed_{false};
    uint32_t maxFramesToRender_ = dunmarrow_dsp::kDefaultMaximumFrames;
    std::array<float, 3> spreadLowpassState_{};
    std::array<float, 4> spreadAllpassState_{};
    std::vector<float> tightLowpass_, cabLowpass_;
    std::vector<float> bodyLowpass350_, bodyLowpass120_, bodyLowpass900_, bodyLowpass500_;
    std::vector<float> grindLowpass_, touchEnvelope_, heldSample_;
    std::vector<int32_t> holdCounter_;
    std::vector<float> previousTight_, antiAlias1_, antiAlias2_;
    std::vector<float> oversampleScratch_;
    std::vector<float> doublerBuffer_;
    std::vector<int32_t> doublerWriteIndex_;
    std::vector<float> doublerPhase_;
    int32_t doublerLength_ = 0;
    // The level cells belong to the kernel for its whole life; `levelsPresent_`
    // stands for their existence, so readers on other threads never touch freed
    // memory. Single writer (render thread), 32-bit indivisible accesses.
    std::atomic<float> inputLevel_{0.0f};
    std::atomic<float> outputLevel_{0.0f};
    std::atomic<bool> levelsPresent_{false};
    BlockControls controls_{};
    dunmarrow_dsp::InstructionSet instructionSet_ = dunmarrow_dsp::preferredInstructionSet();

    // Other threads store targets and read levels without any lock.
    static_assert(std::atomic<double>::is_always_lock_free);
    static_assert(std::atomic<float>::is_always_lock_free);
    static_assert(std::atomic<bool>::is_always_lock_free);
};
