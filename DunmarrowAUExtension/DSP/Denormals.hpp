#pragma once
// The kernel's guard against subnormal numbers. Standard library (and the
// compiler's intrinsics header) only.
//
// The platform's render path sets the same mode around every unit it renders
// (AUAudioUnit::render), for the units that do not guard themselves. The
// kernel keeps its own guard all the same: it must not depend on its caller,
// and tests, benchmarks and other wrappers call it directly. Under the
// platform's guard this one finds the mode already set and only reads it.

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace dunmarrow_dsp {

// Sets flush-to-zero and denormals-are-zero for its lifetime and restores the
// previous mode afterwards, so decaying filter states never go subnormal. The
// mode is written only when the caller's lacks those bits.
class ScopedFlushDenormals {
public:
    ScopedFlushDenormals() noexcept {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
        saved_ = _mm_getcsr();
        const unsigned flushed = saved_ | kFlushToZero | kDenormalsAreZero;
        changed_ = flushed != saved_;
        if (changed_) _mm_setcsr(flushed);
#elif defined(__aarch64__)
        asm volatile("mrs %0, fpcr" : "=r"(saved_));
        const std::uint64_t flushed = saved_ | kFlushToZero;
        changed_ = flushed != saved_;
        if (changed_) asm volatile("msr fpcr, %0" : : "r"(flushed));
#endif
    }
    ~ScopedFlushDenormals() {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
        if (changed_) _mm_setcsr(saved_);
#elif defined(__aarch64__)
        if (changed_) asm volatile("msr fpcr, %0" : : "r"(saved_));
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
    bool changed_ = false;
};

}  // namespace dunmarrow_dsp
