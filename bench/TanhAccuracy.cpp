// Exhaustive accuracy of the kernel's vector tanh: every float of [-20, 20]
// (both signs, subnormals included, about 2.2 billion values) through every
// variant this processor can run, against a double-precision tanh, in ulp of
// the correctly rounded float result. Prints the worst error and where it
// occurs; exits with 1 when it is above 2 ulp. Takes a few minutes per variant;
// the unit tests check a dense subset.
//
// Usage: dunmarrow_tanh_accuracy [baseline|avx2]   (default: every variant)

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "VectorMath.hpp"

namespace {

using dunmarrow_dsp::InstructionSet;

double ulpError(float value, double exact) {
    const float magnitude = std::fabs(static_cast<float>(exact));
    const double spacing = static_cast<double>(std::nextafter(magnitude, std::numeric_limits<float>::infinity())) -
                           static_cast<double>(magnitude);
    return std::fabs(static_cast<double>(value) - exact) / spacing;
}

struct Result {
    double worst = 0.0;
    float worstAt = 0.0f;
    std::uint64_t count = 0;
    std::uint64_t aboveOne = 0;
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
            const double e = ulpError(out[i], std::tanh(static_cast<double>(in[i])));
            if (e > 1.0) ++r.aboveOne;
            if (!(e <= r.worst)) {
                r.worst = e;
                r.worstAt = in[i];
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
    std::vector<InstructionSet> sets;
    const char* only = argc > 1 ? argv[1] : "";
    if (std::strcmp(only, "avx2") != 0) sets.push_back(InstructionSet::Baseline);
    if (std::strcmp(only, "baseline") != 0 && dunmarrow_dsp::processorHasAvx2Fma()) sets.push_back(InstructionSet::Avx2Fma);
    bool ok = true;
    for (InstructionSet set : sets) {
        const Result r = sweep(set);
        std::printf("%s: %llu floats in [-20, 20], worst %.4f ulp at %.9g (%a), %llu above 1 ulp\n",
                    dunmarrow_dsp::instructionSetName(set), static_cast<unsigned long long>(r.count), r.worst,
                    static_cast<double>(r.worstAt), static_cast<double>(r.worstAt),
                    static_cast<unsigned long long>(r.aboveOne));
        ok = ok && r.worst <= 2.0;
    }
    return ok ? 0 : 1;
}
