#pragma once
// Which compiled variant of the kernel's vector code runs, and whether the
// processor can run the wider one. Standard library only.

#include <cstdlib>
#include <cstring>

namespace dunmarrow_dsp {

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

}  // namespace dunmarrow_dsp
