// The kernel's vector tanh against a double-precision tanh, in ulp of the float
// result, for every compiled variant this processor can run; its vector sine
// against a double-precision sine, absolutely. A deterministic
// subset here (every 64th float of [-20, 20] and every float of the regions
// where the method changes, sparser in unoptimised builds); the exhaustive
// sweep over all floats of [-20, 20] is the dunmarrow_tanh_accuracy tool in
// bench/.

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

constexpr double kUlpLimit = 2.0;

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

// Distance of `value` from the exact result, in units of the float spacing at
// the correctly rounded result.
double ulpError(float value, double exact) {
    const float rounded = static_cast<float>(exact);
    const float magnitude = std::fabs(rounded);
    const double spacing = static_cast<double>(std::nextafter(magnitude, std::numeric_limits<float>::infinity())) -
                           static_cast<double>(magnitude);
    return std::fabs(static_cast<double>(value) - exact) / spacing;
}

struct Sweep {
    double worst = 0.0;
    float worstAt = 0.0f;
    std::size_t count = 0;
};

std::vector<InstructionSet> variants() {
    std::vector<InstructionSet> sets{InstructionSet::Baseline};
    if (dunmarrow_dsp::processorHasAvx2Fma()) sets.push_back(InstructionSet::Avx2Fma);
    return sets;
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
            const double e = ulpError(out[i], std::tanh(static_cast<double>(in[i])));
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

// An even subset of [-20, 20]; then subnormals and the smallest normals
// (sampled) and every float around the switch from the polynomial to the
// exponential form, where the float result becomes 1, the clamp of the
// exponential's argument and the end of the range.
TEST(VectorTanh, WithinTwoUlpOnAnEvenSubsetAndWhereTheMethodChanges) {
    for (InstructionSet set : variants()) {
        SCOPED_TRACE(dunmarrow_dsp::instructionSetName(set));
        Sweep s;
        sweep(s, set, 0, bitsOf(20.0f), kStride);
        EXPECT_GE(s.count, 2u * (bitsOf(20.0f) / kStride));
        std::printf("%s: every %uth float, worst %.3f ulp at %.9g\n", dunmarrow_dsp::instructionSetName(set), kStride,
                    s.worst, static_cast<double>(s.worstAt));
        sweep(s, set, 0, 1u << 24, kSmallStride);
        for (float centre : {0.875f, 9.0109f, 9.5f, 20.0f}) {
            sweep(s, set, bitsOf(centre) - kRegionHalfWidth, bitsOf(centre) + kRegionHalfWidth, 1);
        }
        EXPECT_LE(s.worst, kUlpLimit) << "at " << s.worstAt;
    }
}

TEST(VectorTanh, SpecialValuesAndOddSymmetry) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> in = {0.0f, -0.0f, inf, -inf, 1e30f, -1e30f, 88.0f, -100.0f, 0.3f, 3.0f,
                                   std::numeric_limits<float>::quiet_NaN()};
    for (InstructionSet set : variants()) {
        SCOPED_TRACE(dunmarrow_dsp::instructionSetName(set));
        std::vector<float> out(in.size()), negated(in.size()), negatedIn(in.size());
        for (std::size_t i = 0; i < in.size(); ++i) negatedIn[i] = -in[i];
        dunmarrow_dsp::tanhBlock(in, out, set);
        dunmarrow_dsp::tanhBlock(negatedIn, negated, set);
        EXPECT_EQ(bitsOf(out[0]), bitsOf(0.0f));
        EXPECT_EQ(bitsOf(out[1]), bitsOf(-0.0f));
        for (std::size_t i = 2; i < 8; ++i) EXPECT_EQ(out[i], i % 2 == 0 ? 1.0f : -1.0f) << in[i];
        for (std::size_t i = 0; i + 1 < in.size(); ++i) EXPECT_EQ(bitsOf(negated[i]), bitsOf(-out[i])) << in[i];
        EXPECT_TRUE(std::isnan(out.back()));
        // A span that is not a whole number of vectors is finished too.
        std::vector<float> tail(5, 0.0f);
        dunmarrow_dsp::tanhBlock(std::span<const float>(in).first(5), tail, set);
        for (std::size_t i = 0; i < tail.size(); ++i) EXPECT_EQ(bitsOf(tail[i]), bitsOf(out[i]));
    }
}

TEST(VectorTanh, ALanesValueDoesNotDependOnItsNeighbours) {
    // A vector whose lanes all lie on one side of the polynomial / exponential
    // split, or all past the saturation point, takes a shortcut; a lane must
    // come out bit for bit the same as in a vector of mixed lanes.
    const float values[] = {0.0f, 1e-30f, 0.01f, -0.3f, 0.8749999f, 0.875f, -1.5f, 4.0f, 9.4999990f, 9.5f, -12.0f, 20.0f};
    const float neighbours[] = {0.1f, -2.0f, 15.0f, std::numeric_limits<float>::quiet_NaN()};
    constexpr std::size_t kWidest = 8;
    for (InstructionSet set : variants()) {
        SCOPED_TRACE(dunmarrow_dsp::instructionSetName(set));
        for (float x : values) {
            std::vector<float> uniform(kWidest, x);
            std::vector<float> uniformOut(kWidest);
            dunmarrow_dsp::tanhBlock(uniform, uniformOut, set);
            for (float other : neighbours) {
                std::vector<float> mixed(kWidest, other);
                mixed[1] = x;
                std::vector<float> mixedOut(kWidest);
                dunmarrow_dsp::tanhBlock(mixed, mixedOut, set);
                EXPECT_EQ(bitsOf(mixedOut[1]), bitsOf(uniformOut[0])) << "x " << x << " beside " << other;
                EXPECT_EQ(bitsOf(uniformOut[1]), bitsOf(uniformOut[0]));
            }
        }
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
