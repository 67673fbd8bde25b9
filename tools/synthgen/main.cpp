// dunmarrow-synthgen: writes the demo riff, a few seconds of a dry (DI-like)
// electric guitar: palm-muted chugs and ringing power chords, played twice and
// mixed as two slightly different takes. The strings are plucked-string
// (Karplus-Strong) models: a noise burst shaped by the pick position excites a
// tuned delay loop whose lowpass and gain set brightness and decay.
//
// Usage: dunmarrow-synthgen OUTPUT.aif
// The result is deterministic: every random choice comes from fixed seeds and a
// generator of our own, so the same program writes the same file.

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr double kSampleRate = 44100.0;
constexpr double kSeconds = 6.0;
constexpr double kTempo = 140.0;                   // beats per minute
constexpr double kEighth = 60.0 / kTempo / 2.0;    // seconds
constexpr double kPeak = 0.5011872336272722;       // -6 dBFS
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// xorshift64*: small, fast and identical on every platform (the standard
// library's distributions are not).
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed ? seed : 0x9E3779B97F4A7C15ull) {}
    std::uint64_t next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1Dull;
    }
    // Uniform in [-1, 1).
    double bipolar() { return static_cast<double>(next() >> 11) * (2.0 / 9007199254740992.0) - 1.0; }

private:
    std::uint64_t state_;
};

double midiToHz(double note) { return 440.0 * std::exp2((note - 69.0) / 12.0); }

// Loop gain per period that gives a 60 dB decay in t60 seconds at frequency f.
double gainForDecay(double f, double t60) { return std::pow(10.0, -3.0 / (f * t60)); }

// How a string is played.
struct Touch {
    double t60;          // decay time of the fundamental while the note is held, seconds
    double loopDamping;  // one-pole lowpass coefficient in the loop (0 bright, 0.5 dull)
    double pickCutoff;   // lowpass of the pick's noise burst, Hz
    double pickPosition; // fraction of the string length from the bridge
};

constexpr Touch kOpen{3.2, 0.04, 5200.0, 0.13};
constexpr Touch kPalmMuted{0.16, 0.42, 1700.0, 0.17};
constexpr double kReleaseT60 = 0.05;  // fingers damp the string when the note ends

// One plucked string from its attack until it has died away.
class PluckedString {
public:
    PluckedString(double frequency, const Touch& touch, double velocity, Random& random)
        : touch_(touch) {
        const double period = kSampleRate / frequency;
        const double w = kTwoPi * frequency / kSampleRate;
        const double a = touch.loopDamping;
        // Phase delay of the loop filters at the fundamental: the two-point
        // average delays by half a sample, the one-pole lowpass by its phase
        // over w. The allpass makes up the fraction the integer delay misses.
        const double lowpassDelay = std::atan2(a * std::sin(w), 1.0 - a * std::cos(w)) / w;
        const double rest = period - 0.5 - lowpassDelay;
        const auto length = static_cast<std::size_t>(std::floor(rest - 0.5));
        const double fraction = rest - static_cast<double>(length);  // in [0.5, 1.5)
        allpass_ = (1.0 - fraction) / (1.0 + fraction);
        delay_.assign(std::max<std::size_t>(length, 2), 0.0);

        // The loop filters lose some gain at the fundamental themselves.
        const double averageGain = std::cos(w / 2.0);
        const double lowpassGain = (1.0 - a) / std::sqrt(1.0 - 2.0 * a * std::cos(w) + a * a);
        const double filterGain = averageGain * lowpassGain;
        heldGain_ = std::min(0.99995, gainForDecay(frequency, touch.t60) / filterGain);
        releaseGain_ = std::min(heldGain_, gainForDecay(frequency, kReleaseT60) / filterGain);
        gain_ = heldGain_;

        // Excitation: one period of noise, minus itself delayed by the pick
        // position (the comb that notches the harmonics the pick position
        // cannot excite), softened by the pick's lowpass.
        const std::size_t n = delay_.size();
        std::vector<double> noise(n);
        for (double& x : noise) x = random.bipolar();
        const auto pick = static_cast<std::size_t>(std::lround(touch.pickPosition * static_cast<double>(n)));
        const double pickPole = std::exp(-kTwoPi * touch.pickCutoff / kSampleRate);
        excitation_.assign(n, 0.0);
        double smoothed = 0.0;
        double mean = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double combed = noise[i] - (i >= pick ? noise[i - pick] : 0.0);
            smoothed = (1.0 - pickPole) * combed + pickPole * smoothed;
            excitation_[i] = smoothed;
            mean += smoothed;
        }
        mean /= static_cast<double>(n);
        for (double& x : excitation_) x = (x - mean) * velocity;
    }

    // The fingers come down on the string.
    void release() { gain_ = releaseGain_; }

    double tick() {
        const double x = delay_[position_];
        const double averaged = 0.5 * (x + previous_);
        previous_ = x;
        lowpass_ = (1.0 - touch_.loopDamping) * averaged + touch_.loopDamping * lowpass_;
        const double damped = gain_ * lowpass_;
        const double tuned = allpass_ * damped + allpassIn_ - allpass_ * allpassOut_;
        allpassIn_ = damped;
        allpassOut_ = tuned;
        delay_[position_] = tuned + (age_ < excitation_.size() ? excitation_[age_] : 0.0);
        ++age_;
        position_ = (position_ + 1) % delay_.size();
        return x;
    }

private:
    Touch touch_;
    std::vector<double> delay_;
    std::vector<double> excitation_;
    std::size_t position_ = 0;
    std::size_t age_ = 0;
    double previous_ = 0.0;
    double lowpass_ = 0.0;
    double allpass_ = 0.0;
    double allpassIn_ = 0.0;
    double allpassOut_ = 0.0;
    double heldGain_ = 0.0;
    double releaseGain_ = 0.0;
    double gain_ = 0.0;
};

// One chord or chug of the riff, in eighth notes from the start.
struct Hit {
    double start;
    double length;
    int root;  // MIDI note of the lowest string
    bool muted;
    double velocity;
};

// Low E chugs against ringing power chords, ending on a long E5.
std::vector<Hit> riff() {
    constexpr int E = 40, F = 41, G = 43, A = 45, Bb = 46;
    std::vector<Hit> hits;
    auto chug = [&](double at, double accent) { hits.push_back({at, 0.5, E, true, accent}); };
    auto chord = [&](double at, double length, int root) { hits.push_back({at, length, root, false, 0.9}); };
    for (int bar = 0; bar < 2; ++bar) {
        const double o = bar * 12.0;
        chug(o + 0, 1.0); chug(o + 1, 0.75); chug(o + 2, 0.85); chug(o + 3, 0.75);
        chord(o + 4, 2.0, bar == 0 ? G : G);
        chug(o + 6, 0.95); chug(o + 7, 0.75);
        if (bar == 0) {
            chord(o + 8, 2.0, A);
            chug(o + 10, 0.9); chug(o + 10.5, 0.7); chug(o + 11, 0.85);
        } else {
            chord(o + 8, 2.0, F);
            chord(o + 10, 1.0, Bb); chord(o + 11, 1.0, A);
        }
    }
    chord(24.0, 8.0, E);  // rings out past the end of the file
    return hits;
}

// A second-order resonator (constant peak gain bandpass).
class Resonator {
public:
    Resonator(double frequency, double q) {
        const double w = kTwoPi * frequency / kSampleRate;
        const double alpha = std::sin(w) / (2.0 * q);
        const double a0 = 1.0 + alpha;
        b0_ = alpha / a0;
        a1_ = -2.0 * std::cos(w) / a0;
        a2_ = (1.0 - alpha) / a0;
    }
    double tick(double x) {
        const double y = b0_ * x - b0_ * x2_ - a1_ * y1_ - a2_ * y2_;
        x2_ = x1_; x1_ = x;
        y2_ = y1_; y1_ = y;
        return y;
    }

private:
    double b0_, a1_, a2_;
    double x1_ = 0, x2_ = 0, y1_ = 0, y2_ = 0;
};

// One take of the riff: its own pick noise, timing and tuning.
std::vector<double> playTake(std::uint64_t seed, double detuneCents, double lateSeconds) {
    const auto total = static_cast<std::size_t>(kSeconds * kSampleRate);
    std::vector<double> out(total, 0.0);
    Random random(seed);

    for (const Hit& hit : riff()) {
        const std::vector<int> strings =
            hit.muted ? std::vector<int>{hit.root, hit.root + 7} : std::vector<int>{hit.root, hit.root + 7, hit.root + 12};
        const Touch& touch = hit.muted ? kPalmMuted : kOpen;
        // A downstroke reaches the higher strings a few milliseconds later.
        const double strum = hit.muted ? 0.003 : 0.007;
        const double jitter = 0.004 * random.bipolar();
        for (std::size_t s = 0; s < strings.size(); ++s) {
            const double cents = detuneCents + 2.0 * random.bipolar();
            const double frequency = midiToHz(strings[s] + cents / 100.0);
            // Palm mutes are dug in harder; the root string speaks loudest.
            const double velocity = hit.velocity * (hit.muted ? 1.5 : 1.0) * (1.0 + 0.08 * random.bipolar()) *
                                    (s == 0 ? 1.0 : 0.8);
            PluckedString string(frequency, touch, velocity, random);

            const double startTime = hit.start * kEighth + lateSeconds + jitter + strum * static_cast<double>(s);
            const auto begin = static_cast<std::size_t>(std::max(0.0, startTime) * kSampleRate);
            const auto releaseAt = static_cast<std::size_t>((hit.start + hit.length) * kEighth * kSampleRate);
            const auto end = std::min(total, releaseAt + static_cast<std::size_t>(0.5 * kSampleRate));
            for (std::size_t i = begin; i < end; ++i) {
                if (i == releaseAt) string.release();
                out[i] += string.tick();
            }
        }
    }

    // A little body and pickup colour, a gentle high cut, no DC.
    Resonator body(185.0, 2.5);
    Resonator pickup(2900.0, 1.4);
    const double highCut = std::exp(-kTwoPi * 7000.0 / kSampleRate);
    double lowpassed = 0.0, dcIn = 0.0, dcOut = 0.0;
    for (double& x : out) {
        const double coloured = x + 0.3 * body.tick(x) + 0.25 * pickup.tick(x);
        lowpassed = (1.0 - highCut) * coloured + highCut * lowpassed;
        dcOut = lowpassed - dcIn + 0.9995 * dcOut;
        dcIn = lowpassed;
        x = dcOut;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dunmarrow-synthgen OUTPUT.aif\n");
        return 2;
    }
    const std::string path = argv[1];

    const std::vector<double> takeA = playTake(0x5EED0001, 0.0, 0.0);
    const std::vector<double> takeB = playTake(0x5EED0002, 3.0, 0.006);

    // Each side mostly one take, a little of the other: a slightly wide but
    // still coherent stereo picture.
    const std::size_t frames = takeA.size();
    std::vector<double> left(frames), right(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        left[i] = 0.8 * takeA[i] + 0.2 * takeB[i];
        right[i] = 0.2 * takeA[i] + 0.8 * takeB[i];
    }

    // The last chord fades out over the final quarter second.
    const auto fade = static_cast<std::size_t>(0.25 * kSampleRate);
    for (std::size_t i = 0; i < fade; ++i) {
        const double g = 0.5 + 0.5 * std::cos(std::numbers::pi * static_cast<double>(i + 1) / static_cast<double>(fade));
        left[frames - fade + i] *= g;
        right[frames - fade + i] *= g;
    }

    double peak = 0.0;
    for (std::size_t i = 0; i < frames; ++i) peak = std::max({peak, std::abs(left[i]), std::abs(right[i])});
    const double scale = peak > 0.0 ? kPeak / peak : 0.0;
    std::vector<double> interleaved(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        interleaved[2 * i] = left[i] * scale;
        interleaved[2 * i + 1] = right[i] * scale;
    }

    SF_INFO info{};
    info.samplerate = static_cast<int>(kSampleRate);
    info.channels = 2;
    info.format = SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "dunmarrow-synthgen: cannot write '%s': %s\n", path.c_str(), sf_strerror(nullptr));
        return 1;
    }
    const auto written = sf_writef_double(file, interleaved.data(), static_cast<sf_count_t>(frames));
    const int closed = sf_close(file);
    if (written != static_cast<sf_count_t>(frames) || closed != 0) {
        std::fprintf(stderr, "dunmarrow-synthgen: cannot write '%s'\n", path.c_str());
        std::remove(path.c_str());
        return 1;
    }
    std::printf("wrote %s: %zu frames, %.0f Hz, stereo, peak %.1f dBFS\n", path.c_str(), frames, kSampleRate,
                20.0 * std::log10(kPeak));
    return 0;
}
