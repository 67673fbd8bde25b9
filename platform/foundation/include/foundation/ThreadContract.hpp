#pragma once
// Thread contracts, checked. A function whose comment says "main thread",
// "render thread" or "not on the render thread" states it again at its entry
// with one of the macros below; a build with checks aborts with the function's
// name when the contract is broken, a build without them compiles the macros to
// nothing.
//
// Checks are on where NDEBUG is not defined (debug and sanitizer builds), or
// when DUNMARROW_THREAD_CHECKS is defined to 1 (the CMake option of that name).
//
// Which thread is which:
// - the main thread is the one that pumps the main run loop (isMainThread());
//   code that drives main-thread objects without pumping it, such as a test,
//   calls markMainThread() first;
// - a render thread is any thread inside a render cycle: the render callbacks
//   that hosts call (a unit's render block, the engine's cycle, a plugin's
//   run) open a RenderThreadScope for the cycle's duration.

#include "foundation/RunLoop.hpp"

#ifndef DUNMARROW_THREAD_CHECKS
#ifdef NDEBUG
#define DUNMARROW_THREAD_CHECKS 0
#else
#define DUNMARROW_THREAD_CHECKS 1
#endif
#endif

namespace foundation {

// True while the calling thread is inside a RenderThreadScope. Always false
// where checks are off.
[[nodiscard]] bool isRenderThread() noexcept;

// Marks the calling thread as rendering for the scope's life; scopes nest.
// Neither locks nor allocates. Empty where checks are off.
class RenderThreadScope {
public:
#if DUNMARROW_THREAD_CHECKS
    RenderThreadScope() noexcept;
    ~RenderThreadScope();
#else
    // User-provided, so that a scope held for its side effect alone draws no
    // unused-variable warning where it has none.
    RenderThreadScope() noexcept {}  // NOLINT(modernize-use-equals-default)
#endif
    RenderThreadScope(const RenderThreadScope&) = delete;
    RenderThreadScope& operator=(const RenderThreadScope&) = delete;
};

// Prints "Fatal error: <function> must run <where> (<file>:<line>)" on
// standard error and aborts.
[[noreturn]] void threadContractViolated(const char* function, const char* where, const char* file,
                                         int line) noexcept;

}  // namespace foundation

#if DUNMARROW_THREAD_CHECKS
#define DUNMARROW_THREAD_CONTRACT_(holds, where)                                                        \
    do {                                                                                                \
        if (!(holds)) ::foundation::threadContractViolated(__func__, where, __FILE__, __LINE__);       \
    } while (false)
#else
#define DUNMARROW_THREAD_CONTRACT_(holds, where) \
    do {                                          \
    } while (false)
#endif

// The function runs on the main thread only.
#define DUNMARROW_ASSERT_MAIN_THREAD() \
    DUNMARROW_THREAD_CONTRACT_(::foundation::isMainThread(), "on the main thread")
// The function runs inside a render cycle only.
#define DUNMARROW_ASSERT_RENDER_THREAD() \
    DUNMARROW_THREAD_CONTRACT_(::foundation::isRenderThread(), "on the render thread")
// The function may lock, allocate or block: never inside a render cycle.
#define DUNMARROW_ASSERT_NOT_RENDER_THREAD() \
    DUNMARROW_THREAD_CONTRACT_(!::foundation::isRenderThread(), "off the render thread")
