#pragma once
// Scalar clamps that take NaN and infinities to a safe value, and pi, as the
// block controls and the channel loop use them. Standard library only.

#include <algorithm>
#include <cmath>
#include <limits>

namespace dunmarrow_dsp {

inline constexpr float kTwoPi = 6.2831855f;
inline constexpr float kPi = 3.1415927f;

// clamp with a NaN going to the lower bound.
inline float clampTo(float v, float lo, float hi) noexcept {
    if (!(v >= lo)) return lo;
    return v > hi ? hi : v;
}
inline float finiteOrZero(float v) noexcept { return std::isfinite(v) ? v : 0.0f; }
// NaN and infinities give 0, finite values are held to +-limit. Written as a
// minimum, a maximum and a select, so that long chains of it (the widener's
// filters) compile without branches.
inline float clampFinite(float v, float limit) noexcept {
    const float held = std::min(std::max(v, -limit), limit);
    return std::fabs(v) <= std::numeric_limits<float>::max() ? held : 0.0f;
}
// +-limit for a value that cannot be infinite or NaN (one that comes from
// values already bounded): a maximum and a minimum, the same result as
// clampFinite there. Should a NaN come anyway, it goes to -limit.
inline float holdWithin(float v, float limit) noexcept { return std::min(limit, std::max(-limit, v)); }
inline float clampUnit(float v) noexcept { return std::isfinite(v) ? clampTo(v, 0.0f, 1.0f) : 0.0f; }
inline float normalizePercent(double v) noexcept {
    return std::isfinite(v) ? clampTo(static_cast<float>(v) / 100.0f, 0.0f, 1.0f) : 0.0f;
}

}  // namespace dunmarrow_dsp
