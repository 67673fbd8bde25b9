#include "foundation/ThreadContract.hpp"

#include <cstdio>
#include <cstdlib>

namespace foundation {

namespace {

// How many render scopes the calling thread is inside.
thread_local int renderScopeDepth = 0;

}  // namespace

bool isRenderThread() noexcept { return renderScopeDepth > 0; }

#if DUNMARROW_THREAD_CHECKS
RenderThreadScope::RenderThreadScope() noexcept { ++renderScopeDepth; }
RenderThreadScope::~RenderThreadScope() { --renderScopeDepth; }
#endif

void threadContractViolated(const char* function, const char* where, const char* file, int line) noexcept {
    std::fprintf(stderr, "Fatal error: %s must run %s (%s:%d)\n", function, where, file, line);
    std::fflush(stderr);
    std::abort();
}

}  // namespace foundation
