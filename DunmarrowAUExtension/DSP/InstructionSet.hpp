#pragma once
// Which compiled variant of the kernel's vector code runs, and whether the
// processor can run the wider one. Standard library only.

#include <array>
#include <cstdlib>
#include <cstring>
#include <span>

namespace dunmarrow_dsp {

// Which compiled variant of the channel loop a kernel runs.
enum class InstructionSet {
    Baseline,  // SSE2 on x86-64, NEON on AArch64, plain scalar code elsewhere
    Avx2Fma,   // x86-64 processors with AVX2 and FMA
    Avx512,    // x86-64 processors with AVX-512 F and VL besides (16-lane vectors)
};

inline const char* instructionSetName(InstructionSet set) noexcept {
    switch (set) {
        case InstructionSet::Avx2Fma: return "avx2+fma";
        case InstructionSet::Avx512: return "avx512";
        case InstructionSet::Baseline: break;
    }
    return "baseline";
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

// Whether this processor (and the system, which must save the wider
// registers) can run the AVX-512 variant; never where AVX2+FMA is missing.
inline bool processorHasAvx512() noexcept {
#if defined(__x86_64__) && !defined(DUNMARROW_DSP_BASELINE_ONLY) && (defined(__GNUC__) || defined(__clang__))
    return processorHasAvx2Fma() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#else
    return false;
#endif
}

inline bool processorSupports(InstructionSet set) noexcept {
    switch (set) {
        case InstructionSet::Avx2Fma: return processorHasAvx2Fma();
        case InstructionSet::Avx512: return processorHasAvx512();
        case InstructionSet::Baseline: break;
    }
    return true;
}

// Every variant this processor can run, narrowest first (for tests and measurements).
inline std::span<const InstructionSet> supportedInstructionSets() noexcept {
    static constexpr std::array<InstructionSet, 3> all = {InstructionSet::Baseline, InstructionSet::Avx2Fma,
                                                          InstructionSet::Avx512};
    const std::size_t count = processorHasAvx512() ? 3 : processorHasAvx2Fma() ? 2 : 1;
    return std::span<const InstructionSet>(all).first(count);
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
    if (processorHasAvx512()) return InstructionSet::Avx512;
    return processorHasAvx2Fma() ? InstructionSet::Avx2Fma : InstructionSet::Baseline;
}

}  // namespace dunmarrow_dsp
