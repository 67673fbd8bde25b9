#pragma once
// The effect's signal processing: one kernel object that holds every piece of
// state, stores parameter targets by address, smooths them per call, runs the
// per-sample distortion chain with its 8x oversampled core, the double-track
// and stereo-spread stages, and publishes input and output peak levels.
//
// Depends on the C++ standard library and libm only. Every sample is computed
// in single precision; parameter targets are kept as doubles, and the weights
// of the per-frame lowpass form below are derived in double once per call.
//
// The oversampled core and the density stage run on vectors written with the
// compiler's portable vector extensions: 4 lanes in the baseline variant (SSE2
// on x86-64, NEON on AArch64), 8 lanes in the AVX2+FMA variant. On x86-64 the
// channel loop is compiled for both, and each kernel picks one when it is
// constructed. The channel loop runs stage by stage over chunks of frames, so
// that the vector stages have no dependency from one frame to the next; the
// oversampled lowpasses (grind and anti-alias) are linear, and are regrouped
// so that only a few multiply-adds per frame depend on the frame before.

#include <algorithm>
#include <limits>
#include <array>
#include <atomic>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace dunmarrow_dsp {

// Parameter addresses, as the parameter tree and the presets know them.
enum ParameterAddress : std::uint64_t {
    kDriveAddress = 0,
    kTightAddress = 1,
    kBiteAddress = 2,
    kCabAddress = 3,
    kGainAddress = 4,
    kBodyAddress = 5,
    kCrushAddress = 6,
    kDensityAddress = 7,
    kGrindAddress = 8,
    kTouchAddress = 9,
    kDecimationAddress = 10,
    kDoubleTrackAddress = 11,
    kStereoSpreadAddress = 12,
    kLiveSafeAddress = 13,
};
inline constexpr std::uint64_t kParameterCount = 14;

// Where each parameter's target lives. The storage order groups the smoothed
// parameters first and is independent of the address numbering.
enum TargetSlot : std::size_t {
    kDriveSlot,
    kTightSlot,
    kTouchSlot,
    kBodySlot,
    kBiteSlot,
    kGrindSlot,
    kCrushSlot,
    kDensitySlot,
    kCabSlot,
    kDecimationSlot,
    kDoubleTrackSlot,
    kStereoSpreadSlot,
    kLiveSafeSlot,
    kGainSlot,
    kTargetSlotCount,
};
// Every target but liveSafe has a smoothed copy; the copies follow the target
// order with liveSafe left out, so gain's copy sits where liveSafe's target is.
inline constexpr std::size_t kSmoothedCount = 13;
inline constexpr std::size_t smoothedIndex(std::size_t slot) { return slot < kLiveSafeSlot ? slot : slot - 1; }

// Address -> target slot.
inline constexpr std::array<std::size_t, kParameterCount> kSlotForAddress = {
    kDriveSlot, kTightSlot, kBiteSlot,  kCabSlot,        kGainSlot,        kBodySlot,         kCrushSlot,
    kDensitySlot, kGrindSlot, kTouchSlot, kDecimationSlot, kDoubleTrackSlot, kStereoSpreadSlot, kLiveSafeSlot,
};

// Targets before the parameter tree pushes its own values in, in slot order.
inline constexpr std::array<double, kTargetSlotCount> kInitialTargets = {
    65.0, 75.0, 35.0, 55.0, 60.0, 35.0, 45.0, 50.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.25,
};

inline constexpr double kDefaultSampleRate = 44100.0;
inline constexpr std::int32_t kDefaultChannelCount = 2;
inline constexpr std::uint32_t kDefaultMaximumFrames = 1024;
inline constexpr std::uint32_t kOversampling = 8;
inline constexpr float kSubSampleStep = 0.125f;  // 1 / kOversampling
inline constexpr double kSmoothingTimeConstant = 0.025;  // seconds of rendered audio
inline constexpr double kDoublerMemorySeconds = 0.05;
// Keeps the delay memory within reason for absurd sample rates.
inline constexpr double kMaximumDoublerLength = 16777216.0;
inline constexpr float kTwoPi = 6.2831855f;
inline constexpr float kPi = 3.1415927f;

inline constexpr float kLiveSafeLimitDecimation = 0.95f;
inline constexpr float kLiveSafeLimitDoubleTrack = 0.95f;
inline constexpr float kLiveSafeLimitSpread = 0.92f;
inline constexpr float kLiveSafeGainLimit = 1.0f;
inline constexpr float kFiniteLimit = 4.0f;

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

// clamp with a NaN going to the lower bound.
inline float clampTo(float v, float lo, float hi) noexcept {
    if (!(v >= lo)) return lo;
    return v > hi ? hi : v;
}
inline float finiteOrZero(float v) noexcept { return std::isfinite(v) ? v : 0.0f; }
// NaN and infinities give 0, finite values are held to +-limit. Written as a
// minimum, a maximum and a select, so that long chains of it (the widener's
// filters) compile without branches.
inline float clampFinite(float v, float limit) noexcept {
    const float held = std::min(std::max(v, -limit), limit);
    return std::fabs(v) <= std::numeric_limits<float>::max() ? held : 0.0f;
}
// +-limit for a value that cannot be infinite or NaN (one that comes from
// values already bounded): a maximum and a minimum, the same result as
// clampFinite there. Should a NaN come anyway, it goes to -limit.
inline float holdWithin(float v, float limit) noexcept { return std::min(limit, std::max(-limit, v)); }
inline float clampUnit(float v) noexcept { return std::isfinite(v) ? clampTo(v, 0.0f, 1.0f) : 0.0f; }
inline float normalizePercent(double v) noexcept {
    return std::isfinite(v) ? clampTo(static_cast<float>(v) / 100.0f, 0.0f, 1.0f) : 0.0f;
}

// Which compiled variant of the channel loop a kernel runs.
enum class InstructionSet {
    Baseline,  // SSE2 on x86-64, NEON on AArch64, plain scalar code elsewhere
    Avx2Fma,   // x86-64 processors with AVX2 and FMA
};

inline const char* instructionSetName(InstructionSet set) noexcept {
    return set == InstructionSet::Avx2Fma ? "avx2+fma" : "baseline";
}

// Whether this processor can run the AVX2+FMA variant (never, in a build with
// DUNMARROW_DSP_BASELINE_ONLY or for another architecture).
inline bool processorHasAvx2Fma() noexcept {
#if defined(__x86_64__) && !defined(DUNMARROW_DSP_BASELINE_ONLY) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

// The variant a new kernel starts with: the widest the processor offers, unless
// the environment variable DUNMARROW_DSP_BASELINE is set to anything but "" or
// "0", which keeps every kernel of the process on the baseline (for testing it
// on a machine that has AVX2).
inline InstructionSet preferredInstructionSet() noexcept {
    const char* forceBaseline = std::getenv("DUNMARROW_DSP_BASELINE");
    if (forceBaseline != nullptr && forceBaseline[0] != '\0' && std::strcmp(forceBaseline, "0") != 0) {
        return InstructionSet::Baseline;
    }
    return processorHasAvx2Fma() ? InstructionSet::Avx2Fma : InstructionSet::Baseline;
}

// Vectors of 4 or 8 floats. The baseline variant works on 4-lane vectors (one
// SSE2 or NEON register), the AVX2+FMA variant on 8-lane ones (one AVX
// register); the helpers are templates over the vector type and always
// inlined, so no vector ever crosses a real call (GCC's note about the AVX
// calling convention does not apply; the dunmarrow_dsp target switches that
// warning off for its users).
namespace simd {

using Float4 = float __attribute__((vector_size(16)));
using Float8 = float __attribute__((vector_size(32)));

template <typename V>
inline constexpr std::size_t kLanes = sizeof(V) / sizeof(float);
// The lane mask type of a comparison of two V.
template <typename V>
using MaskOf = decltype(V{} < V{});

template <typename V>
[[gnu::always_inline]] inline V splat(float v) noexcept {
    return V{} + v;
}
template <typename V>
[[gnu::always_inline]] inline MaskOf<V> splatInt(std::int32_t v) noexcept {
    return MaskOf<V>{} + v;
}
// Unaligned loads and stores: the scratch comes from the heap with the
// allocator's alignment only.
template <typename V>
[[gnu::always_inline]] inline V load(const float* p) noexcept {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename V>
[[gnu::always_inline]] inline void store(float* p, V v) noexcept {
    std::memcpy(p, &v, sizeof v);
}
// The builtin rather than std::bit_cast: in an unoptimised build std::bit_cast
// stays a real call, compiled for the baseline, which the AVX2 variant would
// call with the wrong convention for 32-byte vectors.
template <typename V>
[[gnu::always_inline]] inline MaskOf<V> bits(V v) noexcept {
    return __builtin_bit_cast(MaskOf<V>, v);
}
template <typename V>
[[gnu::always_inline]] inline V fromBits(MaskOf<V> v) noexcept {
    return __builtin_bit_cast(V, v);
}
template <typename V>
[[gnu::always_inline]] inline V abs(V v) noexcept {
    return fromBits<V>(bits(v) & splatInt<V>(0x7fffffff));
}
// Lane by lane, a where the mask is set and b elsewhere.
template <typename V>
[[gnu::always_inline]] inline V select(MaskOf<V> mask, V a, V b) noexcept {
    return fromBits<V>((mask & bits(a)) | (~mask & bits(b)));
}

// clampTo per lane: the minimum with hi, then the maximum with lo, NaN to lo
// (for lo < hi). Written as the comparisons whose NaN behaviour matches the
// processor's minimum and maximum instructions, so each is one instruction.
template <typename V>
[[gnu::always_inline]] inline V clamp(V v, float lo, float hi) noexcept {
    const V vlo = splat<V>(lo);
    const V vhi = splat<V>(hi);
    const V upper = vhi < v ? vhi : v;  // NaN stays NaN
    return upper > vlo ? upper : vlo;   // NaN goes to lo
}

// The low and high four lanes of an 8-lane vector, taken through memory
// copies, which compile to a register extract; a shuffle picks a
// whole-register permute, which processors that split 256-bit operations in
// two run slowly.
template <typename Half, typename Whole>
[[gnu::always_inline]] inline Half lowHalf(Whole v) noexcept {
    static_assert(2 * sizeof(Half) == sizeof(Whole));
    Half half;
    std::memcpy(&half, &v, sizeof half);
    return half;
}
template <typename Half, typename Whole>
[[gnu::always_inline]] inline Half highHalf(Whole v) noexcept {
    static_assert(2 * sizeof(Half) == sizeof(Whole));
    Half half;
    std::memcpy(&half, reinterpret_cast<const unsigned char*>(&v) + sizeof half, sizeof half);
    return half;
}

// The sign bit of every lane of a comparison's mask, lane 0 in bit 0.
template <typename V>
[[gnu::always_inline]] inline unsigned laneBits(MaskOf<V> mask) noexcept {
#if defined(__x86_64__) || defined(__i386__)
    // The sign bits at once (movmskps); an 8-lane mask is first folded to 4
    // lanes, for the two tests below that is enough.
    if constexpr (sizeof(V) == 16) {
        return static_cast<unsigned>(__builtin_ia32_movmskps(fromBits<V>(mask)));
    } else {
        static_assert(sizeof(V) == 32);
        return laneBits<Float4>(lowHalf<MaskOf<Float4>>(mask) | highHalf<MaskOf<Float4>>(mask));
    }
#else
    std::int32_t lanes[kLanes<V>];
    std::memcpy(lanes, &mask, sizeof lanes);
    unsigned result = 0;
    for (std::size_t lane = 0; lane < kLanes<V>; ++lane) result |= (lanes[lane] < 0 ? 1u : 0u) << lane;
    return result;
#endif
}
// Whether any lane of a comparison's mask is set.
template <typename V>
[[gnu::always_inline]] inline bool anyLane(MaskOf<V> mask) noexcept {
    return laneBits<V>(mask) != 0;
}
// Whether no lane of a comparison's mask is clear.
template <typename V>
[[gnu::always_inline]] inline bool allLanes(MaskOf<V> mask) noexcept {
    if constexpr (sizeof(V) == 32) {
#if defined(__x86_64__) || defined(__i386__)
        return laneBits<Float4>(lowHalf<MaskOf<Float4>>(mask) & highHalf<MaskOf<Float4>>(mask)) == 0xfu;
#endif
    }
    return laneBits<V>(mask) == (1u << kLanes<V>) - 1u;
}

// Lane i becomes the sum over j <= i of c^(i - j) x_j, in two steps of lanes
// moved up by 1 and 2 with zeros coming in; c1 and c2 hold c and c^2.
[[gnu::always_inline]] inline Float4 decayingPrefixSum(Float4 x, Float4 c1, Float4 c2) noexcept {
    const Float4 zero{};
    x = x + c1 * __builtin_shufflevector(zero, x, 0, 4, 5, 6);
    x = x + c2 * __builtin_shufflevector(zero, x, 0, 1, 4, 5);
    return x;
}

// The sums of the lanes of a and of b.
[[gnu::always_inline]] inline void laneSums(Float4 a, Float4 b, float& sumA, float& sumB) noexcept {
    Float4 u = __builtin_shufflevector(a, b, 0, 1, 4, 5) + __builtin_shufflevector(a, b, 2, 3, 6, 7);
    u = u + __builtin_shufflevector(u, u, 1, 0, 3, 2);
    sumA = u[0];
    sumB = u[2];
}

// Hyperbolic tangent per lane, within 2 ulp of the exact value for every
// float (measured against a double-precision tanh over all floats in [-20, 20],
// see tests/dsp and bench/). NaN stays NaN, infinities give +-1, -0 stays -0.
//
// The magnitude is computed from |x| and the sign of x put back. Below
// |x| = 0.875 the odd polynomial |x| + |x|^3 P(x^2) (P of degree 6, fitted at
// Chebyshev nodes; relative error of the fit 3e-9) keeps full relative accuracy
// near 0. Above, tanh|x| = 1 - 2 / (exp(2|x|) + 1), where the quotient is below
// 0.3 so the exponential's rounding reaches the result damped. Past |x| = 9.5
// the float result is 1 and the argument is held there so the exponential
// cannot overflow. Worst case over all 2.2e9 floats of [-20, 20]: 1.13 ulp in
// the baseline variant, 1.06 ulp with FMA.
//
// A vector whose lanes all fall on one side of 0.875 (the usual case for
// audio: neighbouring sub-samples are close) computes only that side, and one
// whose lanes are all past 9.5 (a hard-driven shaper) is 1 without computing;
// the lanes' values are the same either way.
template <typename V>
[[gnu::always_inline]] inline V tanhBelowSplit(V ax, V x2) noexcept {
    V p = splat<V>(-5.475857869e-04f);
    p = p * x2 + splat<V>(2.818473155e-03f);
    p = p * x2 + splat<V>(-8.499057583e-03f);
    p = p * x2 + splat<V>(2.177729554e-02f);
    p = p * x2 + splat<V>(-5.395686152e-02f);
    p = p * x2 + splat<V>(1.333327969e-01f);
    p = p * x2 + splat<V>(-3.333333292e-01f);
    return ax + (ax * x2) * p;
}
template <typename V>
[[gnu::always_inline]] inline V tanhAboveSplit(V ax) noexcept {
    // exp(y) for 0 <= y <= 19: y = k ln2 + r with |r| <= ln2 / 2, a degree 7
    // polynomial for exp(r), and 2^k put into the exponent.
    // 2|x| below 19 (|x| below 9.5, exactly), else 19; NaN goes to 19 and the
    // small branch keeps it. One minimum instruction.
    const V doubled = ax + ax;
    const V y = doubled < splat<V>(19.0f) ? doubled : splat<V>(19.0f);
    const MaskOf<V> k = __builtin_convertvector(y * splat<V>(1.44269504088896341f) + splat<V>(0.5f), MaskOf<V>);
    const V kf = __builtin_convertvector(k, V);
    V r = y - kf * splat<V>(0.693359375f);
    r = r - kf * splat<V>(-2.12194440e-4f);
    V e = splat<V>(1.9875691500e-4f);
    e = e * r + splat<V>(1.3981999507e-3f);
    e = e * r + splat<V>(8.3334519073e-3f);
    e = e * r + splat<V>(4.1665795894e-2f);
    e = e * r + splat<V>(1.6666665459e-1f);
    e = e * r + splat<V>(5.0000001201e-1f);
    e = (e * (r * r) + r) + splat<V>(1.0f);
    e = fromBits<V>(bits(e) + (k << 23));
    return splat<V>(1.0f) - splat<V>(2.0f) / (e + splat<V>(1.0f));
}
template <typename V>
[[gnu::always_inline]] inline V tanh(V x) noexcept {
    const V ax = abs(x);
    const MaskOf<V> above = ax >= splat<V>(0.875f);  // false for NaN, which takes the polynomial
    V magnitude;
    if (!anyLane<V>(above)) {
        magnitude = tanhBelowSplit<V>(ax, x * x);
    } else if (allLanes<V>(above)) {
        // Past 9.5 the exponential is held at exp(19) and the result is exactly 1.
        magnitude = anyLane<V>(ax < splat<V>(9.5f)) ? tanhAboveSplit<V>(ax) : splat<V>(1.0f);
    } else {
        magnitude = select<V>(above, tanhAboveSplit<V>(ax), tanhBelowSplit<V>(ax, x * x));
    }
    return fromBits<V>(bits(magnitude) | (bits(x) & splatInt<V>(static_cast<std::int32_t>(0x80000000u))));
}

// Sine per lane, for |x| up to 4096 (the doubler's LFO argument stays below
// 4 pi): x = k pi/2 + r with |r| <= pi/4, pi/2 taken in three parts so that r
// keeps its accuracy, then the sine or the cosine polynomial of r as the
// quadrant k says, with its sign. Within 1e-7 of the exact value there.
template <typename V>
[[gnu::always_inline]] inline V sin(V x) noexcept {
    // Round to nearest by adding and taking away 1.5 * 2^23.
    const V kf = (x * splat<V>(0.636619772f) + splat<V>(12582912.0f)) - splat<V>(12582912.0f);
    const MaskOf<V> k = __builtin_convertvector(kf, MaskOf<V>);
    V r = x - kf * splat<V>(1.5703125f);
    r = r - kf * splat<V>(4.837512969970703125e-4f);
    r = r - kf * splat<V>(7.54978995489188216e-8f);
    const V r2 = r * r;
    V s = splat<V>(-1.9515295891e-4f);
    s = s * r2 + splat<V>(8.3321608736e-3f);
    s = s * r2 + splat<V>(-1.6666654611e-1f);
    s = r + (r * r2) * s;
    V c = splat<V>(2.443315711809948e-5f);
    c = c * r2 + splat<V>(-1.388731625493765e-3f);
    c = c * r2 + splat<V>(4.166664568298827e-2f);
    c = (splat<V>(1.0f) - splat<V>(0.5f) * r2) + (r2 * r2) * c;
    const V value = select<V>((k & splatInt<V>(1)) != splatInt<V>(0), c, s);
    return fromBits<V>(bits(value) ^ ((k & splatInt<V>(2)) << 30));
}

}  // namespace simd

namespace detail {
enum class VectorFunction { tanh, sin };
template <typename V, VectorFunction F>
[[gnu::always_inline]] inline V applyVectorFunction(V v) noexcept {
    if constexpr (F == VectorFunction::tanh) {
        return simd::tanh<V>(v);
    } else {
        return simd::sin<V>(v);
    }
}
template <typename V, VectorFunction F>
[[gnu::always_inline]] inline void vectorFunctionBody(const float* in, float* out, std::size_t count) noexcept {
    constexpr std::size_t lanes = simd::kLanes<V>;
    std::size_t i = 0;
    for (; i + lanes <= count; i += lanes) simd::store<V>(out + i, applyVectorFunction<V, F>(simd::load<V>(in + i)));
    if (i < count) {
        float rest[lanes] = {};
        std::copy(in + i, in + count, rest);
        simd::store<V>(rest, applyVectorFunction<V, F>(simd::load<V>(rest)));
        std::copy(rest, rest + (count - i), out + i);
    }
}
template <VectorFunction F>
[[gnu::noinline]] inline void vectorFunctionBaseline(const float* in, float* out, std::size_t count) noexcept {
    vectorFunctionBody<simd::Float4, F>(in, out, count);
}
#if defined(__x86_64__) && !defined(DUNMARROW_DSP_BASELINE_ONLY)
template <VectorFunction F>
[[gnu::noinline, gnu::target("avx2,fma")]] inline void vectorFunctionAvx2(const float* in, float* out, std::size_t count) noexcept {
    vectorFunctionBody<simd::Float8, F>(in, out, count);
}
#endif
template <VectorFunction F>
inline void vectorFunctionBlock(std::span<const float> in, std::span<float> out, InstructionSet set) noexcept {
    const std::size_t count = std::min(in.size(), out.size());
#if defined(__x86_64__) && !defined(DUNMARROW_DSP_BASELINE_ONLY)
    if (set == InstructionSet::Avx2Fma && processorHasAvx2Fma()) {
        vectorFunctionAvx2<F>(in.data(), out.data(), count);
        return;
    }
#else
    (void)set;
#endif
    vectorFunctionBaseline<F>(in.data(), out.data(), count);
}
}  // namespace detail

// The vector tanh and sine over a span, with the given variant (the baseline
// when the processor lacks the one asked for). Used by tests and measurements.
inline void tanhBlock(std::span<const float> in, std::span<float> out, InstructionSet set) noexcept {
    detail::vectorFunctionBlock<detail::VectorFunction::tanh>(in, out, set);
}
inline void sinBlock(std::span<const float> in, std::span<float> out, InstructionSet set) noexcept {
    detail::vectorFunctionBlock<detail::VectorFunction::sin>(in, out, set);
}


// Sets flush-to-zero and denormals-are-zero for its lifetime and restores the
// previous mode afterwards, so decaying filter states never go subnormal.
class ScopedFlushDenormals {
public:
    ScopedFlushDenormals() noexcept {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
        saved_ = _mm_getcsr();
        _mm_setcsr(saved_ | kFlushToZero | kDenormalsAreZero);
#elif defined(__aarch64__)
        asm volatile("mrs %0, fpcr" : "=r"(saved_));
        const std::uint64_t flushed = saved_ | kFlushToZero;
        asm volatile("msr fpcr, %0" : : "r"(flushed));
#endif
    }
    ~ScopedFlushDenormals() {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
        _mm_setcsr(saved_);
#elif defined(__aarch64__)
        asm volatile("msr fpcr, %0" : : "r"(saved_));
#endif
    }
    ScopedFlushDenormals(const ScopedFlushDenormals&) = delete;
    ScopedFlushDenormals& operator=(const ScopedFlushDenormals&) = delete;

private:
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
    static constexpr unsigned kFlushToZero = 0x8000u;
    static constexpr unsigned kDenormalsAreZero = 0x0040u;
    unsigned saved_ = 0;
#elif defined(__aarch64__)
    static constexpr std::uint64_t kFlushToZero = std::uint64_t{1} << 24;
    std::uint64_t saved_ = 0;
#endif
};

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
    float getParameter(uint64_t address) {
        if (address >= dunmarrow_dsp::kParameterCount) return 0.0f;
        return static_cast<float>(targets_[dunmarrow_dsp::kSlotForAddress[address]].load(std::memory_order_relaxed));
    }

    void setBypass(bool shouldBypass) { bypassed_.store(shouldBypass, std::memory_order_relaxed); }
    bool isBypassed() { return bypassed_.load(std::memory_order_relaxed); }

    // Main thread, while the host is not rendering: allocates the oversampling scratch.
    void setMaximumFramesToRender(uint32_t maximumFramesToRender) {
        maxFramesToRender_ = maximumFramesToRender;
        oversampleScratch_.resize(static_cast<std::size_t>(maxFramesToRender_) * dunmarrow_dsp::kOversampling, 0.0f);
    }
    uint32_t getMaximumFramesToRender() { return maxFramesToRender_; }

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
        const bool available = set == dunmarrow_dsp::InstructionSet::Baseline || dunmarrow_dsp::processorHasAvx2Fma();
        instructionSet_ = available ? set : dunmarrow_dsp::InstructionSet::Baseline;
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
        namespace d = dunmarrow_dsp;
        BlockControls& k = controls_;
        BlockValues& v = k.values;
        auto percent = [this](std::size_t slot) { return d::normalizePercent(smoothed_[d::smoothedIndex(slot)]); };
        auto unit = [this](std::size_t slot) { return d::clampUnit(static_cast<float>(smoothed_[d::smoothedIndex(slot)])); };

        v.liveSafe = targets_[d::kLiveSafeSlot].load(std::memory_order_relaxed) >= 0.5;
        v.drive = percent(d::kDriveSlot);
        v.tight = percent(d::kTightSlot);
        v.touch = percent(d::kTouchSlot);
        v.body = percent(d::kBodySlot);
        v.bite = percent(d::kBiteSlot);
        v.grind = percent(d::kGrindSlot);
        v.crush = percent(d::kCrushSlot);
        v.density = percent(d::kDensitySlot);
        v.cab = percent(d::kCabSlot);
        v.decimation = unit(d::kDecimationSlot);
        v.doubleTrack = unit(d::kDoubleTrackSlot);
        v.stereoSpread = unit(d::kStereoSpreadSlot);
        const auto gain = static_cast<float>(smoothed_[d::smoothedIndex(d::kGainSlot)]);
        if (v.liveSafe) {
            v.decimation = std::min(v.decimation, d::kLiveSafeLimitDecimation);
            v.doubleTrack = std::min(v.doubleTrack, d::kLiveSafeLimitDoubleTrack);
            v.stereoSpread = std::min(v.stereoSpread, d::kLiveSafeLimitSpread);
            v.gain = std::min(d::clampFinite(gain, d::kFiniteLimit), d::kLiveSafeGainLimit);
        } else {
            v.gain = gain;
        }

        const float fs = static_cast<float>(sampleRate_);

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
        k.antiAliasCoefficient = std::exp((k.antiAliasCutoff * -d::kTwoPi) / (fs * 8.0f));
        k.antiAliasWeight = 1.0f - k.antiAliasCoefficient;
        k.rawBlend = 0.1f + 0.15f * v.bite;

        k.holdSteps = static_cast<int32_t>(std::floor(std::pow(v.decimation, 1.35f) * 31.0f));
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
        k.lfoIncrement = (0.28f + 0.22f * v.doubleTrack) * d::kTwoPi / fs;
        const float centre = (0.0085f + 0.0045f * v.doubleTrack) * fs;
        k.delayCentre = {centre, centre + 0.004f * fs};
        const float depthBase = (0.00045f + 0.0012f * v.doubleTrack) * fs;
        const float detuneRatio = std::exp2(v.doubleTrack * 7.0f / 1200.0f);
        k.delayDepth = {depthBase - 95.0f * depthBase * (detuneRatio - 1.0f),
                        depthBase + 95.0f * depthBase * (detuneRatio - 1.0f)};
        k.lfoPhaseOffset = {0.0f, d::kPi};

        k.outputGain = v.gain > 0.0f ? v.gain : 0.0f;
        k.outputTrim = 0.74f - 0.11f * v.drive - 0.06f * v.crush - 0.05f * v.density;
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

    // Stages 2 and 3 and the anti-alias lowpasses over one chunk, as passes
    // over all its frames: each vector pass has no dependency from one frame to
    // the next, so the processor overlaps many frames; the serial passes (the
    // grind lowpass's state and the anti-alias states, in the per-frame form of
    // OversampledFilters) take a few multiply-adds per frame. The eight
    // sub-samples of a frame sit in one or two vectors of V. Each frame's core
    // results end in the scratch, its decimator output z in `reduced`.
    template <typename V>
    [[gnu::always_inline]] static void oversampleChunk(const BlockControls& k, const dunmarrow_dsp::OversampledFilters& f,
                                                       const float* __restrict tight, float tightBefore, uint32_t count,
                                                       float* __restrict scratch, float* __restrict reduced,
                                                       float& grindState, float& antiAlias1State,
                                                       float& antiAlias2State) noexcept {
        namespace d = dunmarrow_dsp;
        namespace simd = dunmarrow_dsp::simd;
        using simd::Float4;
        constexpr uint32_t lanes = simd::kLanes<V>;
        constexpr uint32_t parts = d::kOversampling / lanes;
        constexpr uint32_t step8 = d::kOversampling;

        // 2. Interpolation and drive shaper.
        {
            std::array<V, parts> subSampleIndex{};  // 1 to 8
            for (uint32_t s = 0; s < step8; ++s) subSampleIndex[s / lanes][s % lanes] = static_cast<float>(s + 1);
            const V driveGain = simd::splat<V>(k.driveGain);
            const V biteGain = simd::splat<V>(k.biteGain);
            const V biteClipMix = simd::splat<V>(k.biteClipMix);
            for (uint32_t i = 0; i < count; ++i) {
                const float before = i == 0 ? tightBefore : tight[i - 1];
                const float step = tight[i] - before;
                for (uint32_t part = 0; part < parts; ++part) {
                    // step x (k / 8) as step x k, then the exact scaling by 1/8: the
                    // same rounding whether or not the add is fused with it.
                    const V u = simd::splat<V>(before) + (simd::splat<V>(step) * subSampleIndex[part]) * simd::splat<V>(d::kSubSampleStep);
                    const V s = simd::tanh<V>(biteGain * (driveGain * u));
                    const V y = s + (simd::clamp<V>(simd::splat<V>(1.55f) * s, -0.94f, 0.94f) - s) * biteClipMix;
                    simd::store<V>(scratch + i * step8 + part * lanes, y);
                }
            }
        }

        // 3a. Grind lowpass, in groups of four sub-samples: the prefix sums
        // within a group do not depend on the state, only the carry in does.
        // Leaves the residue y - lowpass of every sub-sample.
        alignas(32) std::array<float, kChunkFrames * d::kOversampling> residue;
        if (k.grindActive) {
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

        // 3b. Grind shaper and crush, then the frame's anti-alias sums.
        const V grindGain = simd::splat<V>(k.grindGain);
        const V grindClipMix = simd::splat<V>(k.grindClipMix);
        const V grindAmount = simd::splat<V>(k.grindAmount);
        const V crushGain = simd::splat<V>(k.crushGain);
        const V crushClipMix = simd::splat<V>(k.crushClipMix);
        const V crush = simd::splat<V>(k.values.crush);
        std::array<V, parts> firstWeights{}, secondWeights{};
        for (uint32_t part = 0; part < parts; ++part) {
            firstWeights[part] = simd::load<V>(f.firstWeights.data() + part * lanes);
            secondWeights[part] = simd::load<V>(f.secondWeights.data() + part * lanes);
        }
        alignas(32) std::array<float, kChunkFrames> firstSums, secondSums;
        const bool grindActive = k.grindActive;
        const bool crushActive = k.crushActive;
        for (uint32_t i = 0; i < count; ++i) {
            std::array<V, parts> y;
            for (uint32_t part = 0; part < parts; ++part) {
                y[part] = simd::load<V>(scratch + i * step8 + part * lanes);
                if (grindActive) {
                    const V g = simd::tanh<V>(grindGain * simd::load<V>(residue.data() + i * step8 + part * lanes));
                    const V w = g + (simd::clamp<V>(simd::splat<V>(1.38f) * g, -0.92f, 0.92f) - g) * grindClipMix;
                    y[part] = simd::clamp<V>(y[part] + w * grindAmount, -0.98f, 0.98f);
                }
                if (crushActive) {
                    const V g = simd::tanh<V>(crushGain * y[part]);
                    const V w = g + (simd::clamp<V>(simd::splat<V>(1.22f) * g, -0.96f, 0.96f) - g) * crushClipMix;
                    y[part] = y[part] + (w - y[part]) * crush;
                }
                if (grindActive || crushActive) simd::store<V>(scratch + i * step8 + part * lanes, y[part]);
            }
            V first = firstWeights[0] * y[0];
            V second = secondWeights[0] * y[0];
            for (uint32_t part = 1; part < parts; ++part) {
                first = first + firstWeights[part] * y[part];
                second = second + secondWeights[part] * y[part];
            }
            if constexpr (lanes == 4) {
                simd::laneSums(first, second, firstSums[i], secondSums[i]);
            } else {
                simd::laneSums(simd::lowHalf<Float4>(first) + simd::highHalf<Float4>(first),
                               simd::lowHalf<Float4>(second) + simd::highHalf<Float4>(second), firstSums[i], secondSums[i]);
            }
        }

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
    // V is the vector type of the variant (4 or 8 lanes).
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
        alignas(32) std::array<float, kChunkFrames> tight{};
        alignas(32) std::array<float, kChunkFrames> drySafeChunk{};
        alignas(32) std::array<float, kChunkFrames> base{};

        for (uint32_t start = 0; start < frameCount; start += kChunkFrames) {
            const uint32_t count = std::min(kChunkFrames, frameCount - start);
            float* chunkScratch = scratch + static_cast<std::size_t>(start) * d::kOversampling;

            // 1. Input conditioning, touch and tight.
            conditionChunk(k, in + start, count, tight.data(), drySafeChunk.data(), envelope, tightLowpass, inputPeak);

            // 2. The oversampled core and the anti-alias lowpasses.
            oversampleChunk<V>(k, filters, tight.data(), previousTight, count, chunkScratch, base.data(), grindLowpass, antiAlias1, antiAlias2);
            previousTight = tight[count - 1];

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
                            saturatedHeld = held + (std::tanh(decimationDrive * held) - held) * decimationShape;
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
                        const float limited = d::kSoftLimitKnee + d::kSoftLimitRange * std::tanh((magnitudeOut - d::kSoftLimitKnee) * d::kSoftLimitSlope);
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
    // which fused multiply-adds shorten.
    float spreadStereo(float* left, float* right, uint32_t frameCount, float spread) noexcept {
#if defined(__x86_64__) && !defined(DUNMARROW_DSP_BASELINE_ONLY)
        if (instructionSet_ == dunmarrow_dsp::InstructionSet::Avx2Fma)
            return spreadStereoAvx2(left, right, frameCount, spread);
#endif
        return spreadStereoBaseline(left, right, frameCount, spread);
    }
    [[gnu::noinline]] float spreadStereoBaseline(float* left, float* right, uint32_t frameCount, float spread) noexcept {
        return spreadStereoBody(left, right, frameCount, spread);
    }
#if defined(__x86_64__) && !defined(DUNMARROW_DSP_BASELINE_ONLY)
    [[gnu::noinline, gnu::target("avx2,fma")]] float spreadStereoAvx2(float* left, float* right, uint32_t frameCount,
                                                                      float spread) noexcept {
        return spreadStereoBody(left, right, frameCount, spread);
    }
#endif
    [[gnu::always_inline]] float spreadStereoBody(float* left, float* right, uint32_t frameCount, float spread) noexcept {
        namespace d = dunmarrow_dsp;
        constexpr float limit = d::kFiniteLimit;
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
        const float bandSend = 0.46f * amount;
        const float highSend = -0.7f * amount;
        const float bandDecorrelation = 0.38f * amount;
        const float highDecorrelation = 0.54f * amount;
        const float sideLimit = 1.15f + 0.35f * amount;
        const float outputNorm = 1.0f / (1.0f + 0.14f * amount);

        // The three lowpasses (two on mid, one on side) and the four allpasses
        // (two on the band, two on the highs) each run as the lanes of one
        // 4-lane vector: the same arithmetic per filter, a quarter of the
        // instructions.
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

        // Past the two inputs every value comes from bounded ones through a
        // few multiply-adds, so it is finite and only needs holding.
        for (uint32_t n = 0; n < frameCount; ++n) {
            const float l = d::clampFinite(left[n], limit);
            const float r = d::clampFinite(right[n], limit);
            const float mid = d::holdWithin(0.5f * (l + r), limit);
            const float side = d::holdWithin(0.5f * (l - r), limit);
            const F4 lpInput = {mid, mid, side, 0.0f};
            lp = hold(lpCoefficient * lp + lpWeight * lpInput, bound);
            const float band = d::holdWithin(lp[1] - lp[0], limit);
            const float high = d::holdWithin(mid - lp[1], limit);
            const float sideHigh = d::holdWithin(sideGain * (side - lp[2]), limit);
            // One-multiplier allpass form: y = s - g x, s' = g y + x.
            const F4 apInput = {band, band, high, high};
            const F4 a = hold(ap - apCoefficient * apInput, bound);
            ap = hold(apCoefficient * a + apInput, bound);
            float newSide = (bandDecorrelation * (a[0] - a[1]) + highDecorrelation * (a[2] - a[3])) +
                            (sideHigh + (bandSend * band + highSend * high));
            newSide = d::holdWithin(newSide, limit);
            newSide = d::holdWithin(newSide, sideLimit);
            const float outLeft = d::holdWithin((mid + newSide) * outputNorm, limit);
            const float outRight = d::holdWithin((mid - newSide) * outputNorm, limit);
            peak = std::max(peak, std::max(std::fabs(outLeft), std::fabs(outRight)));
            left[n] = outLeft;
            right[n] = outRight;
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
