// Exhaustive accuracy of the kernel's vector tanh: every float of [-20, 20]
// (both signs, subnormals included, about 2.2 billion values) through every
// variant this processor can run, against a double-precision tanh. The bounds:
// within 1e-6 absolutely where |x| is at least 0.5, within 1e-6 relatively
// below, so that quiet signals keep their shape. Prints the worst error of each
// kind and where it occurs; exits with 1 when either is above its bound. Takes
// a few minutes per variant; the unit tests check a dense subset.
//
// Usage: dunmarrow_tanh_accuracy [baseline|avx2+fma|avx512]   (default: every variant)

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "VectorMath.hpp"

namespace {

using dunmarrow_dsp::InstructionSet;

constexpr double kBound = 1e-6;
constexpr float kRelativeBelow = 0.5f;

struct Worst {
    double error = 0.0;
    float at = 0.0f;
    void add(double e, float x) {
        if (!(e <= error)) {
            error = e;
            at = x;
        }
    }
};

struct Result {
    Worst absolute;  // |x| >= 0.5
    Worst relative;  // |x| < 0.5
    std::uint64_t count = 0;
};

Result sweep(InstructionSet set) {
    Result r;
    const std::uint32_t last = std::bit_cast<std::uint32_t>(20.0f);
    constexpr std::size_t kBatch = 1u << 16;
    std::vector<float> in;
    std::vector<float> out(2 * kBatch);
    in.reserve(2 * kBatch);
    auto flush = [&] {
        dunmarrow_dsp::tanhBlock(in, std::span<float>(out).first(in.size()), set);
        for (std::size_t i = 0; i < in.size(); ++i) {
            const double exact = std::tanh(static_cast<double>(in[i]));
            const double error = std::fabs(static_cast<double>(out[i]) - exact);
            if (std::fabs(in[i]) >= kRelativeBelow) {
                r.absolute.add(error, in[i]);
            } else if (exact != 0.0) {
                r.relative.add(error / std::fabs(exact), in[i]);
            } else {
                r.relative.add(out[i] == 0.0f ? 0.0 : INFINITY, in[i]);
            }
        }
        r.count += in.size();
        in.clear();
    };
    for (std::uint64_t b = 0; b <= last; ++b) {
        const float x = std::bit_cast<float>(static_cast<std::uint32_t>(b));
        in.push_back(x);
        if (b != 0) in.push_back(-x);
        if (in.size() >= 2 * kBatch - 1) flush();
    }
    flush();
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    // Every variant this processor runs, or the one named.
    std::vector<InstructionSet> sets;
    const char* only = argc > 1 ? argv[1] : "";
    for (InstructionSet set : dunmarrow_dsp::supportedInstructionSets()) {
        if (only[0] == '\0' || std::strcmp(only, dunmarrow_dsp::instructionSetName(set)) == 0) sets.push_back(set);
    }
    if (sets.empty()) {
        std::fprintf(stderr, "dunmarrow_tanh_accuracy: no variant \"%s\" runs on this processor\n", only);
        return 2;
    }
    bool ok = true;
    for (InstructionSet set : sets) {
        const Result r = sweep(set);
        std::printf("%s: %llu floats in [-20, 20]; |x| >= 0.5: worst absolute error %.3g at %.9g; "
                    "|x| < 0.5: worst relative error %.3g at %.9g (bounds %.0e)\n",
                    dunmarrow_dsp::instructionSetName(set), static_cast<unsigned long long>(r.count),
                    r.absolute.error, static_cast<double>(r.absolute.at), r.relative.error,
                    static_cast<double>(r.relative.at), kBound);
        ok = ok && r.absolute.error <= kBound && r.relative.error <= kBound;
    }
    std::printf("%s\n", ok ? "within bounds" : "ABOVE BOUNDS");
    return ok ? 0 : 1;
}
