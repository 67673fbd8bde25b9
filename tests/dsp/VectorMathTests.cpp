// The kernel's vector tanh against a double-precision tanh, for every compiled
// variant this processor can run: within 1e-6 absolutely where |x| is at least
// 0.5 and relatively below; its vector sine against a double-precision sine,
// absolutely. A deterministic subset here (every 64th float of [-20, 20] and
// every float around where the bound changes and where the argument is held,
// sparser in unoptimised builds); the sweep over all floats of [-20, 20] is the
// dunmarrow_tanh_accuracy tool in bench/.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>
#include <vector>

#include "VectorMath.hpp"

namespace {

using dunmarrow_dsp::InstructionSet;

constexpr double kTanhBound = 1e-6;

// The unoptimised sanitizer build runs these about ten times slower, so it
// takes a sparser subset; the optimised build the dense one.
#if defined(__OPTIMIZE__)
constexpr std::uint32_t kStride = 64;
constexpr std::uint32_t kSmallStride = 16;
constexpr std::uint32_t kRegionHalfWidth = 1u << 16;
#else
constexpr std::uint32_t kStride = 1024;
constexpr std::uint32_t kSmallStride = 256;
constexpr std::uint32_t kRegionHalfWidth = 1u << 12;
#endif

// The error the bound is stated in: absolute from |x| = 0.5 up, relative below.
double tanhError(float x, float value) {
    const double exact = std::tanh(static_cast<double>(x));
    const double error = std::fabs(static_cast<double>(value) - exact);
    if (std::fabs(x) >= 0.5f) return error;
    return exact == 0.0 ? (value == 0.0f ? 0.0 : INFINITY) : error / std::fabs(exact);
}

struct Sweep {
    double worst = 0.0;
    float worstAt = 0.0f;
    std::size_t count = 0;
};

std::vector<InstructionSet> variants() {
    const auto sets = dunmarrow_dsp::supportedInstructionSets();
    return {sets.begin(), sets.end()};
}

// Evaluates every float whose bit pattern lies in [first, last] with the given
// stride, both signs, and records the worst error.
void sweep(Sweep& s, InstructionSet set, std::uint32_t first, std::uint32_t last, std::uint32_t stride) {
    std::vector<float> in;
    std::vector<float> out;
    auto flush = [&] {
        out.resize(in.size());
        dunmarrow_dsp::tanhBlock(in, out, set);
        for (std::size_t i = 0; i < in.size(); ++i) {
            const double e = tanhError(in[i], out[i]);
            if (!(e <= s.worst)) {
                s.worst = e;
                s.worstAt = in[i];
            }
        }
        s.count += in.size();
        in.clear();
    };
    for (std::uint64_t b = first; b <= last; b += stride) {
        const float x = std::bit_cast<float>(static_cast<std::uint32_t>(b));
        in.push_back(x);
        in.push_back(-x);
        if (in.size() >= 1u << 16) flush();
    }
    flush();
}

std::uint32_t bitsOf(float x) { return std::bit_cast<std::uint32_t>(x); }

TEST(VectorTanh, WithinBoundsOnASubsetOfMinus20To20) {
    // Evenly over the range; subnormals and the smallest normals sampled; every
    // float around 0.5, where the bound changes, and 7.9, where the argument is held.
    for (InstructionSet set : variants()) {
        SCOPED_TRACE(dunmarrow_dsp::instructionSetName(set));
        Sweep s;
        sweep(s, set, 0, bitsOf(20.0f), kStride);
        EXPECT_GE(s.count, 2u * (bitsOf(20.0f) / kStride));
        sweep(s, set, 0, 1u << 24, kSmallStride);
        for (float centre : {0.5f, 7.9f}) sweep(s, set, bitsOf(centre) - kRegionHalfWidth, bitsOf(centre) + kRegionHalfWidth, 1);
        EXPECT_LE(s.worst, kTanhBound) << "at " << s.worstAt;
        std::printf("%s: worst %.3g at %.9g\n", dunmarrow_dsp::instructionSetName(set), s.worst,
                    static_cast<double>(s.worstAt));
    }
}

TEST(VectorTanh, SpecialValuesAndOddSymmetry) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> in = {0.0f, -0.0f, inf, -inf, 1e30f, -1e30f, 88.0f, -100.0f, 0.3f, -0.3f, 3.0f, -3.0f,
                                   std::numeric_limits<float>::quiet_NaN()};
    for (InstructionSet set : variants()) {
        SCOPED_TRACE(dunmarrow_dsp::instructionSetName(set));
        std::vector<float> out(in.size());
        dunmarrow_dsp::tanhBlock(in, out, set);
        EXPECT_EQ(bitsOf(out[0]), bitsOf(0.0f));
        EXPECT_EQ(bitsOf(out[1]), bitsOf(-0.0f));
        for (std::size_t i = 2; i < 8; i += 2) {
            EXPECT_NEAR(out[i], 1.0f, kTanhBound) << in[i];
            EXPECT_EQ(out[i + 1], -out[i]) << in[i];
        }
        EXPECT_EQ(out[8], -out[9]);
        EXPECT_EQ(out[10], -out[11]);
        EXPECT_TRUE(std::isnan(out[12]));
        // A span that is not a whole number of vectors is finished too.
        std::vector<float> tail(5, 0.0f);
        dunmarrow_dsp::tanhBlock(std::span<const float>(in).first(5), tail, set);
        for (std::size_t i = 0; i < tail.size(); ++i) EXPECT_EQ(bitsOf(tail[i]), bitsOf(out[i]));
    }
}

// The doubler's LFO argument lies in [0, 4 pi]; the sine is checked well
// beyond, on both signs, every 16th float (sparser unoptimised) and at the
// quadrant boundaries, against the exact sine of the float argument.
TEST(VectorSine, WithinOneTenMillionthUpTo64) {
    for (InstructionSet set : variants()) {
        SCOPED_TRACE(dunmarrow_dsp::instructionSetName(set));
        std::vector<float> in;
        for (std::uint64_t b = 0; b <= bitsOf(64.0f); b += kSmallStride * 16) {
            in.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(b)));
            in.push_back(-in.back());
        }
        for (int quadrant = -40; quadrant <= 40; ++quadrant) {
            const float boundary = static_cast<float>(quadrant * 1.5707963267948966);
            for (float x = std::nextafter(boundary, -100.0f), i = 0; i < 3; ++i, x = std::nextafter(x, 100.0f))
                in.push_back(x);
        }
        std::vector<float> out(in.size());
        dunmarrow_dsp::sinBlock(in, out, set);
        double worst = 0.0;
        float worstAt = 0.0f;
        for (std::size_t i = 0; i < in.size(); ++i) {
            const double e = std::fabs(static_cast<double>(out[i]) - std::sin(static_cast<double>(in[i])));
            if (!(e <= worst)) {
                worst = e;
                worstAt = in[i];
            }
        }
        EXPECT_LE(worst, 1e-7) << "at " << worstAt;
        EXPECT_EQ(bitsOf(out[0]), bitsOf(0.0f));
        std::printf("%s: sine worst %.3g at %.9g over %zu floats\n", dunmarrow_dsp::instructionSetName(set), worst,
                    static_cast<double>(worstAt), in.size());
    }
}

}  // namespace
