// The vector tanh and sine against double precision on every variant this processor runs; tanh
// within 1e-6, absolute from |x| = 0.5 up and relative below. A subset here; the sweep over all
// floats of [-20, 20] is the dunmarrow_tanh_accuracy tool in bench/.

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

// The unoptimised sanitizer build runs about ten times slower: a sparser subset there.
#if defined(__OPTIMIZE__)
constexpr std::uint32_t kStride = 64;
constexpr std::uint32_t kSmallStride = 16;
constexpr std::uint32_t kRegionHalfWidth = 1u << 16;
#else
constexpr std::uint32_t kStride = 1024;
constexpr std::uint32_t kSmallStride = 256;
constexpr std::uint32_t kRegionHalfWidth = 1u << 12;
#endif

std::uint32_t bitsOf(float x) { return std::bit_cast<std::uint32_t>(x); }

// Feeds floats to a block function in chunks and keeps the worst error and where it was.
template <typename Error>
struct Sweep {
    InstructionSet set;
    void (*block)(std::span<const float>, std::span<float>, InstructionSet) noexcept;
    Error error;
    std::vector<float> in, out;
    double worst = 0.0;
    float worstAt = 0.0f;
    std::size_t count = 0;

    void add(float x) {
        in.push_back(x);
        if (in.size() >= 1u << 16) flush();
    }
    // Every float whose bit pattern lies in [first, last] with the given stride, both signs.
    void addRange(std::uint32_t first, std::uint32_t last, std::uint32_t stride) {
        for (std::uint64_t b = first; b <= last; b += stride) {
            add(std::bit_cast<float>(static_cast<std::uint32_t>(b)));
            add(-std::bit_cast<float>(static_cast<std::uint32_t>(b)));
        }
    }
    void flush() {
        out.resize(in.size());
        block(in, out, set);
        for (std::size_t i = 0; i < in.size(); ++i) {
            const double e = error(in[i], out[i]);
            if (!(e <= worst)) {
                worst = e;
                worstAt = in[i];
            }
        }
        count += in.size();
        in.clear();
    }
    double finish(const char* what) {
        flush();
        std::printf("%s %s: worst %.3g at %.9g over %zu floats\n", dunmarrow_dsp::instructionSetName(set), what, worst,
                    static_cast<double>(worstAt), count);
        return worst;
    }
};

double tanhError(float x, float value) {
    const double exact = std::tanh(static_cast<double>(x));
    const double error = std::fabs(static_cast<double>(value) - exact);
    if (std::fabs(x) >= 0.5f) return error;
    return exact == 0.0 ? (value == 0.0f ? 0.0 : INFINITY) : error / std::fabs(exact);
}

TEST(VectorTanh, WithinBoundsOnASubsetOfMinus20To20) {
    // Every float around 0.5, where the bound changes, and 7.9, where the argument is held.
    for (InstructionSet set : dunmarrow_dsp::supportedInstructionSets()) {
        SCOPED_TRACE(dunmarrow_dsp::instructionSetName(set));
        Sweep<double (*)(float, float)> s{set, dunmarrow_dsp::tanhBlock, tanhError, {}, {}};
        s.addRange(0, bitsOf(20.0f), kStride);
        s.addRange(0, 1u << 24, kSmallStride);
        for (float centre : {0.5f, 7.9f}) s.addRange(bitsOf(centre) - kRegionHalfWidth, bitsOf(centre) + kRegionHalfWidth, 1);
        EXPECT_LE(s.finish("tanh"), kTanhBound);
    }
}

TEST(VectorTanh, SpecialValuesAndOddSymmetry) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> in = {0.0f, -0.0f, inf, -inf, 1e30f, -1e30f, 88.0f, -100.0f, 0.3f, -0.3f, 3.0f, -3.0f,
                                   std::numeric_limits<float>::quiet_NaN()};
    for (InstructionSet set : dunmarrow_dsp::supportedInstructionSets()) {
        SCOPED_TRACE(dunmarrow_dsp::instructionSetName(set));
        std::vector<float> out(in.size());
        dunmarrow_dsp::tanhBlock(in, out, set);
        // Signed zeros kept, saturation at 1, odd symmetry to the bit, NaN through.
        for (std::size_t i = 0; i < 12; i += 2) {
            EXPECT_EQ(bitsOf(out[i + 1]), bitsOf(-out[i])) << in[i];
            if (i > 0 && i < 8) {
                EXPECT_NEAR(out[i], 1.0f, kTanhBound) << in[i];
            }
        }
        EXPECT_EQ(bitsOf(out[0]), bitsOf(0.0f));
        EXPECT_TRUE(std::isnan(out[12]));
        // A span that is not a whole number of vectors is finished too.
        std::vector<float> tail(5, 0.0f);
        dunmarrow_dsp::tanhBlock(std::span<const float>(in).first(5), tail, set);
        for (std::size_t i = 0; i < tail.size(); ++i) EXPECT_EQ(bitsOf(tail[i]), bitsOf(out[i]));
    }
}

// The doubler's LFO argument lies in [0, 4 pi]; checked well beyond and at quadrant boundaries.
TEST(VectorSine, WithinOneTenMillionthUpTo64) {
    const auto sineError = [](float x, float value) {
        // Plus zero gives plus zero.
        if (x == 0.0f) return value == 0.0f && (std::signbit(x) || !std::signbit(value)) ? 0.0 : 1.0;
        return std::fabs(value - std::sin(double(x)));
    };
    for (InstructionSet set : dunmarrow_dsp::supportedInstructionSets()) {
        SCOPED_TRACE(dunmarrow_dsp::instructionSetName(set));
        Sweep<decltype(sineError)> s{set, dunmarrow_dsp::sinBlock, sineError, {}, {}};
        s.addRange(0, bitsOf(64.0f), kSmallStride * 16);
        for (int quadrant = -40; quadrant <= 40; ++quadrant) {
            const float boundary = static_cast<float>(quadrant * 1.5707963267948966);
            for (float x = std::nextafter(boundary, -100.0f), i = 0; i < 3; ++i, x = std::nextafter(x, 100.0f)) s.add(x);
        }
        EXPECT_LE(s.finish("sine"), 1e-7);
    }
}

}  // namespace
