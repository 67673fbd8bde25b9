// The kernel against the independent reference model, sample by sample, across
// sample rates, channel layouts, block splits, automation and bad input.
//
// Tolerance: the reference computes the same single-precision formulas in the
// same order, one scalar libm call after another. The kernel runs its
// oversampled core and density stage on vectors with its own tanh (within 1e-6
// of the exact value, relatively below 0.5, where libm's is within an ulp), may
// fuse multiply-adds in its AVX2+FMA variant and flushes subnormals to zero. So
// the two agree closely, not bit for bit: the bound is a maximum absolute difference of 1e-4 on
// any sample and an RMS difference of 1e-6, with non-finite samples in the same
// places. Each test prints the worst figures it saw.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>

#include "KernelTestSupport.hpp"

namespace {

using namespace kerneltest;

constexpr double kMaxAbsTolerance = 1e-4;
constexpr double kRmsTolerance = 1e-6;
constexpr std::uint32_t kMaxFrames = 512;

struct Difference {
    double maxAbs = 0.0;
    double sumSquares = 0.0;
    std::size_t compared = 0;
    std::size_t nonFiniteMismatches = 0;
    std::size_t nonFiniteSamples = 0;
    double levelMaxAbs = 0.0;
    [[nodiscard]] double rmsDiff() const { return compared ? std::sqrt(sumSquares / static_cast<double>(compared)) : 0.0; }

    void add(float kernel, float ref) {
        const bool kernelFinite = std::isfinite(kernel);
        const bool refFinite = std::isfinite(ref);
        if (!kernelFinite || !refFinite) {
            ++nonFiniteSamples;
            const bool same = kernelFinite == refFinite && std::isnan(kernel) == std::isnan(ref) &&
                              (std::isnan(kernel) || kernel == ref);
            if (!same) ++nonFiniteMismatches;
            return;
        }
        const double d = std::fabs(static_cast<double>(kernel) - ref);
        maxAbs = std::max(maxAbs, d);
        sumSquares += d * d;
        ++compared;
    }
    void addLevel(float kernel, float ref) {
        if (std::isinf(kernel) || std::isinf(ref)) {
            if (kernel != ref) levelMaxAbs = INFINITY;
            return;
        }
        levelMaxAbs = std::max(levelMaxAbs, std::fabs(static_cast<double>(kernel) - ref));
    }
};

struct Scenario {
    std::string name;
    double sampleRate = 48000.0;
    int initChannels = 2;
    int renderChannels = 2;
    std::vector<float> values;
    bool liveSafe = false;
    std::size_t frames = 6000;
    std::uint32_t seed = 1;
    bool automate = false;       // random parameter changes between calls
    bool badInput = false;       // NaN and infinities sprinkled into the input
    bool inPlace = false;        // output pointers equal input pointers
    std::optional<dunmarrow_dsp::InstructionSet> variant;  // the kernel's own choice when empty
};

// Renders the scenario through both and returns how far apart they are.
Difference compare(const Scenario& s) {
    std::mt19937 rng(s.seed);
    Kernel kernel;
    if (s.variant) kernel.setInstructionSet(*s.variant);
    reference::Effect ref;
    kernel.setMaximumFramesToRender(kMaxFrames);
    std::vector<float> values = s.values;
    values[reference::LiveSafe] = s.liveSafe ? 1.0f : 0.0f;
    applyValues(kernel, values);
    ref.setAll(values);
    kernel.initialize(s.initChannels, s.initChannels, s.sampleRate);
    ref.initialize(s.initChannels, s.sampleRate);

    const auto channels = static_cast<std::size_t>(s.renderChannels);
    std::vector<std::vector<float>> input(channels);
    for (std::size_t c = 0; c < channels; ++c) {
        input[c] = riff(s.frames, s.sampleRate, s.seed * 31 + static_cast<std::uint32_t>(c), c == 1 ? 0.6f : 0.9f);
        if (s.badInput) {
            std::uniform_int_distribution<std::size_t> at(0, s.frames - 1);
            const float bad[] = {NAN, INFINITY, -INFINITY};
            for (int i = 0; i < 6; ++i) input[c][at(rng)] = bad[i % 3];
        }
    }
    std::vector<std::vector<float>> kernelOut = input;  // in place renders over a copy of the input
    std::vector<std::vector<float>> refOut(channels, std::vector<float>(s.frames));
    if (!s.inPlace) {
        for (auto& v : kernelOut) std::fill(v.begin(), v.end(), -7.0f);
    }

    std::uniform_int_distribution<std::uint32_t> blockSize(0, kMaxFrames);
    std::uniform_int_distribution<int> address(0, reference::kAddresses - 1);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    Difference diff;
    std::vector<const float*> kin(channels), rin(channels);
    std::vector<float*> kout(channels), rout(channels);
    std::size_t start = 0;
    while (start < s.frames) {
        std::uint32_t count = blockSize(rng);
        if (count % 7 == 3) count = kMaxFrames;
        count = static_cast<std::uint32_t>(std::min<std::size_t>(count, s.frames - start));
        if (s.automate) {
            const int changes = static_cast<int>(unit(rng) * 3.0f);
            for (int i = 0; i < changes; ++i) {
                const int a = address(rng);
                float v = unit(rng);
                if (a <= reference::Touch && a != reference::Gain) v *= 100.0f;
                if (a == reference::Gain) v *= 1.5f;  // the kernel does not clamp gain
                kernel.setParameter(static_cast<std::uint64_t>(a), v);
                ref.set(a, v);
            }
        }
        for (std::size_t c = 0; c < channels; ++c) {
            kin[c] = s.inPlace ? kernelOut[c].data() + start : input[c].data() + start;
            kout[c] = kernelOut[c].data() + start;
            rin[c] = input[c].data() + start;
            rout[c] = refOut[c].data() + start;
        }
        kernel.process(kin, kout, static_cast<std::int64_t>(start), count);
        ref.render(rin, rout, count);
        diff.addLevel(kernel.inputLevel(), ref.inputLevel);
        diff.addLevel(kernel.outputLevel(), ref.outputLevel);
        start += count;
    }
    for (std::size_t c = 0; c < channels; ++c) {
        for (std::size_t n = 0; n < s.frames; ++n) diff.add(kernelOut[c][n], refOut[c][n]);
    }
    return diff;
}

// The worst figures seen, printed once per test so the achieved margin is on record.
struct Worst {
    double maxAbs = 0.0, rms = 0.0;
    ~Worst() { std::printf("worst difference to the reference: max abs %.3g, rms %.3g\n", maxAbs, rms); }
};

void expectClose(const Scenario& s, Worst& worst) {
    SCOPED_TRACE(s.name);
    const Difference d = compare(s);
    worst.maxAbs = std::max(worst.maxAbs, d.maxAbs);
    worst.rms = std::max(worst.rms, d.rmsDiff());
    EXPECT_EQ(d.nonFiniteMismatches, 0u);
    EXPECT_LE(d.maxAbs, kMaxAbsTolerance);
    EXPECT_LE(d.rmsDiff(), kRmsTolerance);
    EXPECT_LE(d.levelMaxAbs, kMaxAbsTolerance);
    EXPECT_GT(d.compared, 0u);
}

struct NamedValues {
    const char* name;
    std::vector<float> values;
};
std::vector<NamedValues> settings() {
    return {{"Blackwall", blackwall()}, {"Glass Teeth", glassTeeth()}, {"Funeral Bloom", funeralBloom()},
            {"every stage", everyStageOn()}};
}

struct Layout {
    int init;
    int render;
};

TEST(KernelAgainstReference, PresetsAndEveryStageAcrossRatesLayoutsAndLiveSafe) {
    const double rates[] = {22050.0, 44100.0, 48000.0, 96000.0};
    const Layout layouts[] = {{1, 1}, {2, 2}, {3, 3}, {2, 3}};
    Worst worst;
    std::uint32_t seed = 10;
    for (double rate : rates) {
        for (const Layout& layout : layouts) {
            for (const auto& setting : settings()) {
                for (bool liveSafe : {false, true}) {
                    Scenario s;
                    s.name = std::string(setting.name) + " @" + std::to_string(static_cast<int>(rate)) + " init " +
                             std::to_string(layout.init) + " render " + std::to_string(layout.render) +
                             (liveSafe ? " liveSafe" : "");
                    s.sampleRate = rate;
                    s.initChannels = layout.init;
                    s.renderChannels = layout.render;
                    s.values = setting.values;
                    s.liveSafe = liveSafe;
                    s.frames = 3000;
                    s.seed = ++seed;
                    expectClose(s, worst);
                }
            }
        }
    }
}

TEST(KernelAgainstReference, AutomationBetweenRandomlySplitCalls) {
    Worst worst;
    std::uint32_t seed = 500;
    for (double rate : {22050.0, 44100.0, 96000.0}) {
        for (const auto& setting : settings()) {
            for (bool liveSafe : {false, true}) {
                Scenario s;
                s.name = std::string("automated ") + setting.name + " @" + std::to_string(static_cast<int>(rate));
                s.sampleRate = rate;
                s.renderChannels = s.initChannels = 2;
                s.values = setting.values;
                s.liveSafe = liveSafe;
                s.frames = 12000;
                s.automate = true;
                s.seed = ++seed;
                expectClose(s, worst);
            }
        }
    }
}

TEST(KernelAgainstReference, NonFiniteInputWithAndWithoutLiveSafe) {
    std::uint32_t seed = 900;
    for (const auto& setting : settings()) {
        for (bool liveSafe : {false, true}) {
            for (const Layout& layout : {Layout{1, 1}, Layout{2, 2}, Layout{2, 3}}) {
                Scenario s;
                s.name = std::string("bad input ") + setting.name + (liveSafe ? " liveSafe" : "") + " channels " +
                         std::to_string(layout.render);
                s.sampleRate = 44100.0;
                s.initChannels = layout.init;
                s.renderChannels = layout.render;
                s.values = setting.values;
                s.liveSafe = liveSafe;
                s.badInput = true;
                s.seed = ++seed;
                const Difference d = compare(s);
                SCOPED_TRACE(s.name);
                EXPECT_EQ(d.nonFiniteMismatches, 0u);
                EXPECT_LE(d.maxAbs, kMaxAbsTolerance);
                EXPECT_LE(d.levelMaxAbs, kMaxAbsTolerance);
                if (liveSafe) {
                    EXPECT_EQ(d.nonFiniteSamples, 0u);
                }
            }
        }
    }
}

TEST(KernelAgainstReference, EveryVariantThisProcessorRunsMatches) {
    std::vector<dunmarrow_dsp::InstructionSet> variants{dunmarrow_dsp::InstructionSet::Baseline};
    if (dunmarrow_dsp::processorHasAvx2Fma()) variants.push_back(dunmarrow_dsp::InstructionSet::Avx2Fma);
    Worst worst;
    std::uint32_t seed = 1200;
    for (auto variant : variants) {
        for (const auto& setting : settings()) {
            Scenario s;
            s.name = std::string(dunmarrow_dsp::instructionSetName(variant)) + " " + setting.name;
            s.values = setting.values;
            s.renderChannels = s.initChannels = 2;
            s.automate = true;
            s.variant = variant;
            s.seed = ++seed;
            expectClose(s, worst);
        }
    }
}

TEST(KernelAgainstReference, TheEnvironmentCanHoldKernelsToTheBaseline) {
    const char* force = std::getenv("DUNMARROW_DSP_BASELINE");
    const bool forced = force != nullptr && force[0] != '\0' && std::string(force) != "0";
    Kernel kernel;
    std::printf("kernels run the %s variant\n", dunmarrow_dsp::instructionSetName(kernel.instructionSet()));
    if (forced || !dunmarrow_dsp::processorHasAvx2Fma()) {
        EXPECT_EQ(kernel.instructionSet(), dunmarrow_dsp::InstructionSet::Baseline);
    } else {
        EXPECT_EQ(kernel.instructionSet(), dunmarrow_dsp::InstructionSet::Avx2Fma);
    }
    // Asking for a variant the processor lacks gives the baseline.
    kernel.setInstructionSet(dunmarrow_dsp::InstructionSet::Avx2Fma);
    EXPECT_EQ(kernel.instructionSet() == dunmarrow_dsp::InstructionSet::Avx2Fma, dunmarrow_dsp::processorHasAvx2Fma());
}

TEST(KernelAgainstReference, InPlaceRenderingMatches) {
    Scenario s;
    s.name = "in place";
    s.values = everyStageOn();
    s.renderChannels = s.initChannels = 2;
    s.automate = true;
    s.inPlace = true;
    s.frames = 8000;
    Worst worst;
    expectClose(s, worst);
}

}  // namespace
