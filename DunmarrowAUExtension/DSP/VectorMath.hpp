#pragma once
// The kernel's vector maths: 4-, 8- and 16-lane float vectors in the compiler's
// portable vector extensions, their helpers, and the kernel's own tanh and
// sine per lane; and the same two functions over a span in either compiled
// variant, for tests and measurements. Standard library only.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "InstructionSet.hpp"

namespace dunmarrow_dsp {

// Vectors of 4, 8 or 16 floats. The baseline variant works on 4-lane vectors
// (one SSE2 or NEON register), the AVX2+FMA variant on 8-lane ones (one AVX
// register), the AVX-512 variant on 16-lane ones; the helpers are templates over the vector type and always
// inlined, so no vector ever crosses a real call (GCC's note about the AVX
// calling convention does not apply; the dunmarrow_dsp target switches that
// warning off for its users).
namespace simd {

using Float4 = float __attribute__((vector_size(16)));
using Float8 = float __attribute__((vector_size(32)));
using Float16 = float __attribute__((vector_size(64)));

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

// Hyperbolic tangent per lane, within 1e-6 of the exact value where |x| is at
// least 0.5 and within 1e-6 of it relatively below, so that quiet signals keep
// their shape (measured against a double-precision tanh over every float of
// [-20, 20] by bench/'s dunmarrow_tanh_accuracy: about 5e-7 either way).
// NaN stays NaN, -0 stays -0, infinities give +-(1 - 5e-7).
//
// x is held within +-7.9, where tanh is within 3e-7 of 1, then
// tanh x = x P(x^2) / Q(x^2), P of degree 3 and Q of degree 4, a rational
// fitted for the least maximum relative error on [0, 7.9] (1.2e-7). The
// quotient is taken before the product with x, so a tiny x is rounded once.
// One path for every lane: no exponential, no branch.
template <typename V>
[[gnu::always_inline]] inline V tanh(V x) noexcept {
    const V limit = splat<V>(7.9f);
    V held = limit < x ? limit : x;    // NaN stays NaN
    held = -limit > held ? -limit : held;
    const V t = held * held;
    V p = splat<V>(1.146448171e-05f);
    p = p * t + splat<V>(2.953682576e-03f);
    p = p * t + splat<V>(1.292782025e-01f);
    p = p * t + splat<V>(9.999997805e-01f);
    V q = splat<V>(2.472113999e-07f);
    q = q * t + splat<V>(2.390886565e-04f);
    q = q * t + splat<V>(2.382552593e-02f);
    q = q * t + splat<V>(4.626100980e-01f);
    q = q * t + splat<V>(1.0f);
    return held * (p / q);
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
template <VectorFunction F>
[[gnu::noinline, gnu::target("avx512f,avx512vl,avx2,fma")]] inline void vectorFunctionAvx512(const float* in, float* out,
                                                                                            std::size_t count) noexcept {
    vectorFunctionBody<simd::Float16, F>(in, out, count);
}
#endif
template <VectorFunction F>
inline void vectorFunctionBlock(std::span<const float> in, std::span<float> out, InstructionSet set) noexcept {
    const std::size_t count = std::min(in.size(), out.size());
#if defined(__x86_64__) && !defined(DUNMARROW_DSP_BASELINE_ONLY)
    if (set == InstructionSet::Avx512 && processorHasAvx512()) {
        vectorFunctionAvx512<F>(in.data(), out.data(), count);
        return;
    }
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

}  // namespace dunmarrow_dsp
