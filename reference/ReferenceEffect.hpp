#pragma once
// A plain scalar model of the whole effect, written straight from the formulas
// and sharing nothing with the kernel: per-channel state is one struct per
// channel, parameters are kept by address, and every stage is spelled out in
// the order it runs. Tests render the same audio through both and compare.
//
// Two switches turn the known repairs off, so that tests can show what goes
// wrong without them: `recoverNonFiniteSmoothing` and `wrapDelayReadIndex`.

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace reference {

inline constexpr int kAddresses = 14;
enum Address : int {
    Drive = 0, Tight, Bite, Cab, Gain, Body, Crush, Density, Grind, Touch,
    Decimation, DoubleTrack, StereoSpread, LiveSafe,
};

// The values the parameter tree starts with, by address.
inline std::vector<float> treeDefaults() {
    return {65.0f, 100.0f, 100.0f, 100.0f, 0.8f, 55.0f, 45.0f, 50.0f, 35.0f, 50.0f, 0.0f, 0.0f, 0.0f, 0.0f};
}

inline float clampNanLow(float v, float lo, float hi) {
    if (std::isnan(v)) return lo;
    float r = v < hi ? v : hi;
    return r > lo ? r : lo;
}
inline float boundedFinite(float v, float limit) { return std::isfinite(v) ? clampNanLow(v, -limit, limit) : 0.0f; }

// Where the j-th element of a delay read lands, before and after the wrap repair.
struct DelayTap {
    int j = 0;
    int k = 0;
    float frac = 0.0f;
};
inline DelayTap delayTap(int writeIndex, float delay, int length, bool wrap) {
    if (delay > static_cast<float>(length - 2)) delay = static_cast<float>(length - 2);
    if (!(delay >= 1.0f)) delay = 1.0f;
    float pos = static_cast<float>(writeIndex) - delay;
    while (pos < 0.0f) pos += static_cast<float>(length);
    DelayTap tap;
    tap.j = static_cast<int>(pos);
    if (wrap && tap.j == length) {
        tap.j = 0;
        pos -= static_cast<float>(length);
    }
    tap.k = (tap.j + 1) % length;
    tap.frac = pos - static_cast<float>(tap.j);
    return tap;
}

class Effect {
public:
    bool recoverNonFiniteSmoothing = true;
    bool wrapDelayReadIndex = true;

    Effect() {
        // The kernel's own starting targets, by address.
        const double initial[kAddresses] = {65, 75, 60, 0, 0.25, 55, 45, 50, 35, 35, 0, 0, 0, 0};
        for (int a = 0; a < kAddresses; ++a) target_[a] = smooth_[a] = initial[a];
    }

    void set(int address, float value) {
        if (address >= 0 && address < kAddresses) target_[address] = static_cast<double>(value);
    }
    void setAll(const std::vector<float>& byAddress) {
        for (int a = 0; a < kAddresses; ++a) set(a, byAddress[static_cast<std::size_t>(a)]);
    }

    void initialize(int channels, double sampleRate) {
        sr_ = sampleRate;
        channels_.assign(static_cast<std::size_t>(channels), Channel{});
        memoryLength_ = static_cast<int>(std::ceil(sampleRate * 0.05));
        if (memoryLength_ < 1) memoryLength_ = 1;
        for (auto& ch : channels_) ch.memory.assign(static_cast<std::size_t>(memoryLength_), 0.0f);
        for (int a = 0; a < kAddresses; ++a) smooth_[a] = target_[a];
    }

    int memoryLength() const { return memoryLength_; }
    float smoothed(int address) const { return static_cast<float>(smooth_[address]); }

    // Interpolated read of channel c's memory, for comparison with the kernel.
    float readDelay(int c, int writeIndex, float delay) const {
        if (memoryLength_ < 2 || c >= static_cast<int>(channels_.size())) return 0.0f;
        const auto& b = channels_[static_cast<std::size_t>(c)].memory;
        const DelayTap t = delayTap(writeIndex, delay, memoryLength_, wrapDelayReadIndex);
        return b.at(static_cast<std::size_t>(t.j)) + (b.at(static_cast<std::size_t>(t.k)) - b.at(static_cast<std::size_t>(t.j))) * t.frac;
    }

    float inputLevel = 0.0f;
    float outputLevel = 0.0f;

    // One non-bypassed call of `frames` frames over in.size() channels.
    void render(const std::vector<const float*>& in, const std::vector<float*>& out, std::uint32_t frames) {
        // Smoothing by the call's length.
        double elapsed = sr_ > 0 ? static_cast<double>(frames) / sr_ : 0.0;
        const float factor = static_cast<float>(1.0 - std::exp(elapsed / -0.025));
        for (int a = 0; a < kAddresses; ++a) {
            if (a == LiveSafe) continue;
            float t = static_cast<float>(target_[a]);
            float s = static_cast<float>(smooth_[a]);
            if (recoverNonFiniteSmoothing && !std::isfinite(s)) {
                s = t;
            } else {
                s = s + (t - s) * factor;
            }
            smooth_[a] = s;
        }

        const Controls k = controls();
        inputLevel = outputLevel = 0.0f;
        if (in.empty()) return;

        float inPeak = 0.0f, outPeak = 0.0f;
        for (std::size_t c = 0; c < in.size(); ++c) {
            Channel scratch;  // channels beyond the initialised count start from zero every call
            const bool kept = c < channels_.size();
            Channel& ch = kept ? channels_[c] : scratch;
            for (std::uint32_t n = 0; n < frames; ++n) {
                const float xin = in[c][n];
                const float o = sample(k, ch, static_cast<int>(c), kept, xin, inPeak);
                if (outPeak < std::fabs(o)) outPeak = std::fabs(o);
                out[c][n] = o;
            }
        }
        if (in.size() >= 2 && out[0] != nullptr && out[1] != nullptr) {
            float spread = boundedFinite(k.stereoSpread, 4.0f);
            if (spread > 1.0f) spread = 1.0f;
            if (spread > 0.0f && sr_ > 0.0) outPeak = widen(out[0], out[1], frames, spread);
        }
        inputLevel = inPeak;
        outputLevel = outPeak;
    }

    struct Controls {
        bool liveSafe;
        float drive, tight, touch, body, bite, grind, crush, density, cab, decimation, doubleTrack, stereoSpread, gain;
        float fs;
    };

    Controls controls() const {
        auto pct = [&](int a) {
            double v = smooth_[a];
            if (!std::isfinite(v)) return 0.0f;
            return clampNanLow(static_cast<float>(v) / 100.0f, 0.0f, 1.0f);
        };
        auto unit = [&](int a) {
            float v = static_cast<float>(smooth_[a]);
            if (!std::isfinite(v)) return 0.0f;
            return clampNanLow(v, 0.0f, 1.0f);
        };
        Controls k{};
        k.liveSafe = target_[LiveSafe] >= 0.5;
        k.drive = pct(Drive);
        k.tight = pct(Tight);
        k.touch = pct(Touch);
        k.body = pct(Body);
        k.bite = pct(Bite);
        k.grind = pct(Grind);
        k.crush = pct(Crush);
        k.density = pct(Density);
        k.cab = pct(Cab);
        k.decimation = unit(Decimation);
        k.doubleTrack = unit(DoubleTrack);
        k.stereoSpread = unit(StereoSpread);
        k.gain = static_cast<float>(smooth_[Gain]);
        if (k.liveSafe) {
            if (k.decimation > 0.95f) k.decimation = 0.95f;
            if (k.doubleTrack > 0.95f) k.doubleTrack = 0.95f;
            if (k.stereoSpread > 0.92f) k.stereoSpread = 0.92f;
            k.gain = boundedFinite(k.gain, 4.0f);
            if (k.gain > 1.0f) k.gain = 1.0f;
        }
        k.fs = static_cast<float>(sr_);
        return k;
    }

private:
    struct Channel {
        float envelope = 0, tightLp = 0, prevH = 0, aa1 = 0, aa2 = 0, grindLp = 0, held = 0;
        int hold = 0;
        float lp350 = 0, lp120 = 0, lp900 = 0, lp500 = 0, cabLp = 0;
        std::vector<float> memory;
        int write = 0;
        float phase = 0;
    };

    float sample(const Controls& k, Channel& ch, int c, bool hasMemory, float xin, float& inPeak) {
        const float fs = k.fs;
        // 1. input
        const float xsafe = std::isfinite(xin) ? xin : 0.0f;
        float x = k.liveSafe ? xsafe : xin;
        if (inPeak < std::fabs(x)) inPeak = std::fabs(x);
        // 2. touch
        const float release = 0.006f + 0.012f * k.touch;
        if (std::fabs(x) > ch.envelope) ch.envelope = ch.envelope + (std::fabs(x) - ch.envelope) * 0.28f;
        else ch.envelope = ch.envelope + (std::fabs(x) - ch.envelope) * release;
        if (k.touch > 0.0f) {
            const float boost = 7.0f * k.touch;
            x = x * (1.0f + boost * (k.touch * clampNanLow((0.22f - ch.envelope) / 0.22f, 0.0f, 1.0f)));
        }
        // 3. tight
        const float tc = 0.995f - 0.075f * k.tight;
        ch.tightLp = tc * ch.tightLp + (1.0f - tc) * x;
        const float h = x - k.tight * ch.tightLp;
        // 4. 8x core with interpolation and two one-poles
        const float cutoff = std::fmin(0.44f * fs, 20000.0f);
        const float a = expf((cutoff * -6.2831855f) / (fs * 8.0f));
        const float oneMinusA = 1.0f - a;
        float y8 = 0.0f;
        float ys[8];
        const float d = h - ch.prevH;
        for (int s = 1; s <= 8; ++s) ys[s - 1] = core(k, ch, ch.prevH + d * (static_cast<float>(s) * 0.125f));
        for (int s = 0; s < 8; ++s) {
            ch.aa1 = a * ch.aa1 + oneMinusA * ys[s];
            ch.aa2 = a * ch.aa2 + oneMinusA * ch.aa1;
        }
        y8 = ys[7];
        x = ch.aa2 + (y8 - ch.aa2) * (0.1f + 0.15f * k.bite);
        ch.prevH = h;
        // 5. decimation
        const int steps = static_cast<int>(std::floor(powf(k.decimation, 1.35f) * 31.0f));
        const float mix = k.decimation * (0.68f * k.decimation + 0.22f);
        if (steps > 0 && mix > 0.0f) {
            if (ch.hold < 1) {
                ch.hold = steps + 1;
                ch.held = x;
            } else {
                ch.hold = ch.hold - 1;
            }
            const float q = ch.held + (tanhf((1.0f + 1.6f * k.decimation) * ch.held) - ch.held) * (0.38f * k.decimation);
            x = x + (q - x) * mix;
        } else {
            ch.hold = 0;
            ch.held = x;
        }
        // 6. body
        if (k.body > 0.0f) {
            const float c350 = expf(-2199.115f / fs), c120 = expf(-753.98224f / fs);
            const float c900 = expf(-5654.8667f / fs), c500 = expf(-3141.5928f / fs);
            ch.lp350 = c350 * ch.lp350 + (1.0f - c350) * x;
            ch.lp120 = c120 * ch.lp120 + (1.0f - c120) * x;
            ch.lp900 = c900 * ch.lp900 + (1.0f - c900) * x;
            ch.lp500 = c500 * ch.lp500 + (1.0f - c500) * x;
            x = (1.0f - 0.08f * k.body) * ((x + (ch.lp350 - ch.lp120) * (0.95f * k.body)) - (ch.lp900 - ch.lp500) * (0.34f * k.body));
        }
        // 7. density
        const float amount = 0.64f * k.density;
        if (amount > 0.0f) {
            const float knee = (0.55f + 0.75f * k.drive) * k.density;
            const float g = 1.0f + k.density * (1.7f + 0.8f * k.drive);
            const float r = ((1.0f + knee) * x) / (1.0f + knee * std::fabs(x));
            const float t = tanhf(g * x) / tanhf(g);
            const float m = r + (t - r) * 0.58f;
            x = (1.0f - 0.12f * k.density) * (x + (m - x) * amount);
        }
        // 8. cab
        if (k.cab > 0.0f) {
            const float cc = 0.42f + 0.09f * k.bite + 0.34f * (1.0f - k.cab);
            ch.cabLp = cc * ch.cabLp + (1.0f - cc) * x;
            const float p = ch.cabLp + (x - ch.cabLp) * (0.08f + 0.22f * k.bite + 0.1f * k.grind);
            x = x + (p - x) * k.cab;
        }
        // 9. double track
        const float wet = 0.34f * k.doubleTrack;
        float w = x;
        const bool odd = (c % 2) == 1;
        if (wet > 0.0f && memoryLength_ >= 1) {
            float centre = (0.0085f + 0.0045f * k.doubleTrack) * fs;
            if (odd) centre = centre + 0.004f * fs;
            const float base = (0.00045f + 0.0012f * k.doubleTrack) * fs;
            const float ratio = exp2f(k.doubleTrack * 7.0f / 1200.0f);
            const float depth = odd ? base + 95.0f * base * (ratio - 1.0f) : base - 95.0f * base * (ratio - 1.0f);
            const float delay = centre + depth * sinf((odd ? 3.1415927f : 0.0f) + ch.phase);
            const float dly = hasMemory ? readDelay(c, ch.write, delay) : 0.0f;
            w = (x + wet * dly) / (1.0f + 0.35f * wet);
        }
        if (memoryLength_ >= 1) {
            if (hasMemory) ch.memory[static_cast<std::size_t>(ch.write)] = x;
            ch.write = (ch.write + 1) % memoryLength_;
        }
        ch.phase = ch.phase + (0.28f + 0.22f * k.doubleTrack) * 6.2831855f / fs;
        if (ch.phase > 6.2831855f) ch.phase = ch.phase - 6.2831855f;
        // 10. output
        const float gain = k.gain > 0.0f ? k.gain : 0.0f;
        const float trim = 0.74f - 0.11f * k.drive - 0.06f * k.crush - 0.05f * k.density;
        float o = trim * (gain * w);
        // 11. live-safe guard
        if (k.liveSafe) {
            if (!std::isfinite(o)) o = xsafe;
            if (std::fabs(o) > 1.2f) {
                const float lim = 1.2f + 0.25f * tanhf((std::fabs(o) - 1.2f) * 2.0f);
                o = o < 0.0f ? -lim : lim;
            }
        }
        return o;
    }

    static float core(const Controls& k, Channel& ch, float u) {
        const float driveGain = 58.0f * powf(k.drive, 1.35f) + 2.0f;
        const float biteGain = 1.0f + 3.25f * k.bite;
        const float s = tanhf(biteGain * (driveGain * u));
        float y = s + (clampNanLow(1.55f * s, -0.94f, 0.94f) - s) * (0.75f * k.bite);
        const float grindAmount = (0.1f + 0.06f * k.bite) * k.grind;
        if (grindAmount > 0.0f) {
            const float gc = 0.86f - 0.04f * k.bite;
            ch.grindLp = gc * ch.grindLp + (1.0f - gc) * y;
            const float g = tanhf((4.0f + 9.0f * k.grind + 2.0f * k.bite) * (y - ch.grindLp));
            const float w = g + (clampNanLow(1.38f * g, -0.92f, 0.92f) - g) * (0.45f + 0.35f * k.bite);
            y = clampNanLow(y + w * grindAmount, -0.98f, 0.98f);
        }
        if (k.crush > 0.0f) {
            const float cg = 1.0f + k.crush * (k.drive + 1.6f) + 0.35f * k.bite * k.crush;
            const float g = tanhf(cg * y);
            const float w = g + (clampNanLow(1.22f * g, -0.96f, 0.96f) - g) * (0.55f * k.bite);
            y = y + (w - y) * k.crush;
        }
        return y;
    }

    static float allpass(float& state, float x, float g) {
        x = boundedFinite(x, 4.0f);
        g = clampNanLow(g, -0.85f, 0.85f);
        const float s = boundedFinite(state, 4.0f);
        const float y = boundedFinite(s - g * x, 4.0f);
        state = boundedFinite(g * y + x, 4.0f);
        return y;
    }

    float widen(float* left, float* right, std::uint32_t frames, float spread) {
        const float fs = static_cast<float>(sr_);
        const float amount = powf(spread, 0.78f);
        const float cut[3] = {500.0f, 2000.0f, 150.0f};
        float coef[3] = {0, 0, 0};
        if (std::isfinite(fs)) {
            for (int i = 0; i < 3; ++i) {
                float f = cut[i] > 0.45f * fs ? 0.45f * fs : cut[i];
                if (f < 20.0f) f = 20.0f;
                float v = expf(f * -6.2831855f / fs);
                coef[i] = clampNanLow(v, 0.0f, 0.99999f);
            }
        }
        float lp[3], ap[4];
        for (int i = 0; i < 3; ++i) lp[i] = boundedFinite(spreadLp_[i], 4.0f);
        for (int i = 0; i < 4; ++i) ap[i] = boundedFinite(spreadAp_[i], 4.0f);
        float peak = 0.0f;
        for (std::uint32_t n = 0; n < frames; ++n) {
            const float l = boundedFinite(left[n], 4.0f), r = boundedFinite(right[n], 4.0f);
            const float m = boundedFinite(0.5f * (l + r), 4.0f), s = boundedFinite(0.5f * (l - r), 4.0f);
            const float lanesIn[3] = {m, m, s};
            for (int i = 0; i < 3; ++i) lp[i] = boundedFinite(coef[i] * lp[i] + (1.0f - coef[i]) * lanesIn[i], 4.0f);
            const float band = boundedFinite(lp[1] - lp[0], 4.0f);
            const float high = boundedFinite(m - lp[1], 4.0f);
            const float side = boundedFinite((1.0f + 0.45f * amount) * (s - lp[2]), 4.0f);
            const float a0 = allpass(ap[0], band, 0.55f), a1 = allpass(ap[1], band, -0.49f);
            const float a2 = allpass(ap[2], high, 0.66f), a3 = allpass(ap[3], high, -0.61f);
            float ns = ((0.38f * amount) * (a0 - a1) + (0.54f * amount) * (a2 - a3)) +
                       (side + ((0.46f * amount) * band + (-0.7f * amount) * high));
            ns = boundedFinite(ns, 4.0f);
            const float sideLimit = 1.15f + 0.35f * amount;
            ns = clampNanLow(ns, -sideLimit, sideLimit);
            const float norm = 1.0f / (1.0f + 0.14f * amount);
            const float lo = boundedFinite((m + ns) * norm, 4.0f), ro = boundedFinite((m - ns) * norm, 4.0f);
            if (peak < std::fabs(lo)) peak = std::fabs(lo);
            if (peak < std::fabs(ro)) peak = std::fabs(ro);
            left[n] = lo;
            right[n] = ro;
        }
        for (int i = 0; i < 3; ++i) spreadLp_[i] = boundedFinite(lp[i], 4.0f);
        for (int i = 0; i < 4; ++i) spreadAp_[i] = boundedFinite(ap[i], 4.0f);
        return peak;
    }

    double sr_ = 44100.0;
    double target_[kAddresses];
    double smooth_[kAddresses];
    std::vector<Channel> channels_;
    int memoryLength_ = 0;
    float spreadLp_[3] = {0, 0, 0};
    float spreadAp_[4] = {0, 0, 0, 0};
};

}  // namespace reference
