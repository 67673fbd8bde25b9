// The kernel against the independent reference model, sample by sample, across rates, layouts,
// block splits, automation, bad input and instruction-set variants. Not bit for bit (vector tanh,
// fused multiply-adds, flushed subnormals): max abs 1e-4, RMS 1e-6, non-finite samples alike.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>

#include "KernelTestSupport.hpp"

namespace {

using namespace kerneltest;
using dunmarrow_dsp::InstructionSet;

constexpr double kMaxAbsTolerance = 1e-4;
constexpr double kRmsTolerance = 1e-6;
constexpr std::uint32_t kMaxFrames = 512;

struct Difference {
    double maxAbs = 0.0, sumSquares = 0.0, levelMaxAbs = 0.0;
    std::size_t compared = 0, nonFiniteMismatches = 0, nonFiniteSamples = 0;
    [[nodiscard]] double rmsDiff() const { return compared ? std::sqrt(sumSquares / static_cast<double>(compared)) : 0.0; }

    void add(float kernel, float ref) {
        if (!std::isfinite(kernel) || !std::isfinite(ref)) {
            ++nonFiniteSamples;
            const bool same = std::isnan(kernel) ? std::isnan(ref) : kernel == ref;
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
    int initChannels = 2, renderChannels = 2;
    std::vector<float> values;
    bool liveSafe = false;
    std::size_t frames = 3000;
    std::uint32_t seed = 1;
    bool automate = false;  // random parameter changes between calls, now and then NaN or infinite
    bool badInput = false;
    bool inPlace = false;
    std::optional<InstructionSet> variant;  // the kernel's own choice when empty
};

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
    // In place renders over a copy of the input; otherwise the output starts as garbage.
    std::vector<std::vector<float>> kernelOut = input;
    if (!s.inPlace) {
        for (auto& v : kernelOut) std::fill(v.begin(), v.end(), -7.0f);
    }
    std::vector<std::vector<float>> refOut(channels, std::vector<float>(s.frames));

    std::uniform_int_distribution<std::uint32_t> blockSize(0, kMaxFrames);
    std::uniform_int_distribution<int> address(0, reference::kAddresses - 1);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    Difference diff;
    std::vector<const float*> kin(channels), rin(channels);
    std::vector<float*> kout(channels), rout(channels);
    for (std::size_t start = 0; start < s.frames;) {
        std::uint32_t count = blockSize(rng);
        if (count % 7 == 3) count = kMaxFrames;
        count = static_cast<std::uint32_t>(std::min<std::size_t>(count, s.frames - start));
        for (int i = s.automate ? static_cast<int>(unit(rng) * 3.0f) : 0; i > 0; --i) {
            const int a = address(rng);
            float v = unit(rng);
            if (a <= reference::Touch && a != reference::Gain) v *= 100.0f;
            if (a == reference::Gain) v *= 1.5f;  // the kernel does not clamp gain
            if (v < 0.02f) v = v < 0.01f ? NAN : INFINITY;
            kernel.setParameter(static_cast<std::uint64_t>(a), v);
            ref.set(a, v);
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

// Prints the worst figures seen, so the margin is on record.
void expectAllClose(const std::vector<Scenario>& scenarios) {
    double worstMax = 0.0, worstRms = 0.0;
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        const Difference d = compare(s);
        worstMax = std::max(worstMax, d.maxAbs);
        worstRms = std::max(worstRms, d.rmsDiff());
        EXPECT_EQ(d.nonFiniteMismatches, 0u);
        EXPECT_LE(d.maxAbs, kMaxAbsTolerance);
        EXPECT_LE(d.rmsDiff(), kRmsTolerance);
        EXPECT_LE(d.levelMaxAbs, kMaxAbsTolerance);
        EXPECT_GT(d.compared, 0u);
        if (s.badInput && s.liveSafe) {
            EXPECT_EQ(d.nonFiniteSamples, 0u);
        }
    }
    std::printf("%zu scenarios; worst difference to the reference: max abs %.3g, rms %.3g\n", scenarios.size(),
                worstMax, worstRms);
}

struct NamedValues {
    const char* name;
    std::vector<float> values;
};
const std::vector<NamedValues>& settings() {
    static const std::vector<NamedValues> all{{"Blackwall", blackwall()}, {"Glass Teeth", glassTeeth()},
                                              {"Funeral Bloom", funeralBloom()}, {"every stage", everyStageOn()}};
    return all;
}

struct Layout {
    int init, render;
};

Scenario scenario(const char* what, const NamedValues& setting, double rate, Layout layout, bool liveSafe,
                  std::size_t seed) {
    Scenario s;
    s.name = std::string(what) + " " + setting.name + " @" + std::to_string(static_cast<int>(rate)) + " init " +
             std::to_string(layout.init) + " render " + std::to_string(layout.render) + (liveSafe ? " liveSafe" : "");
    s.sampleRate = rate;
    s.initChannels = layout.init;
    s.renderChannels = layout.render;
    s.values = setting.values;
    s.liveSafe = liveSafe;
    s.seed = static_cast<std::uint32_t>(seed);
    return s;
}

TEST(KernelAgainstReference, PresetsAndEveryStageAcrossRatesLayoutsAndLiveSafe) {
    std::vector<Scenario> scenarios;
    for (double rate : {22050.0, 44100.0, 48000.0, 96000.0})
        for (Layout layout : {Layout{1, 1}, Layout{2, 2}, Layout{3, 3}, Layout{2, 3}})
            for (const auto& setting : settings())
                for (bool liveSafe : {false, true})
                    scenarios.push_back(scenario("plain", setting, rate, layout, liveSafe, 10 + scenarios.size()));
    expectAllClose(scenarios);
}

TEST(KernelAgainstReference, AutomationBadInputInPlaceAndEveryVariant) {
    const auto sets = dunmarrow_dsp::supportedInstructionSets();
    std::vector<Scenario> scenarios;
    for (double rate : {22050.0, 44100.0, 96000.0, 192000.0})
        for (const auto& setting : settings())
            for (bool liveSafe : {false, true}) {
                const std::size_t n = scenarios.size();
                Scenario& s = scenarios.emplace_back(scenario("automated", setting, rate, {2, 2}, liveSafe, 500 + n));
                s.frames = 12000;
                s.automate = true;
                s.inPlace = n % 3 == 0;
                s.variant = sets[n % sets.size()];
            }
    for (const auto& setting : settings())
        for (bool liveSafe : {false, true})
            for (Layout layout : {Layout{1, 1}, Layout{2, 2}, Layout{2, 3}}) {
                Scenario& s = scenarios.emplace_back(
                    scenario("bad input", setting, 44100.0, layout, liveSafe, 900 + scenarios.size()));
                s.frames = 6000;
                s.badInput = true;
            }
    expectAllClose(scenarios);
}

// The baseline test run (ctest's dunmarrow_dsp_tests_baseline) relies on this.
TEST(KernelAgainstReference, TheEnvironmentCanHoldKernelsToTheBaseline) {
    const char* force = std::getenv("DUNMARROW_DSP_BASELINE");
    const bool forced = force != nullptr && force[0] != '\0' && std::string(force) != "0";
    Kernel kernel;
    std::printf("kernels run the %s variant\n", dunmarrow_dsp::instructionSetName(kernel.instructionSet()));
    EXPECT_EQ(kernel.instructionSet(), forced ? InstructionSet::Baseline : dunmarrow_dsp::supportedInstructionSets().back());
    for (InstructionSet set : {InstructionSet::Avx2Fma, InstructionSet::Avx512}) {
        kernel.setInstructionSet(set);
        EXPECT_EQ(kernel.instructionSet() == set, dunmarrow_dsp::processorSupports(set));
    }
}

// Every lane's arithmetic is the AVX2 variant's, so both render the same samples, short tail included.
TEST(KernelVariants, Avx512RendersWhatAvx2Renders) {
    if (!dunmarrow_dsp::processorHasAvx512()) GTEST_SKIP() << "this processor lacks AVX-512: its variant is not run here";
    const std::vector<std::vector<float>> input{riff(4000, 48000.0, 7)};
    for (const auto& setting : settings()) {
        SCOPED_TRACE(setting.name);
        std::vector<std::vector<std::vector<float>>> outputs;
        for (InstructionSet set : {InstructionSet::Avx2Fma, InstructionSet::Avx512}) {
            Kernel kernel;
            kernel.setInstructionSet(set);
            prepare(kernel, setting.values, 48000.0, 1);
            outputs.push_back(render(kernel, input, 173));
        }
        EXPECT_EQ(outputs[0], outputs[1]);
    }
}

}  // namespace
