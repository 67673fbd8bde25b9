// The DSP kernel alone: stereo, 48 kHz, 256-frame calls, as a host would drive it.
// Counters: ns_per_frame_per_channel (CPU time of the calls divided by frames x
// channels) and realtime_factor (seconds of audio rendered per CPU second).
//
// Every setting runs through the kernel with the variant it picks on this
// processor, through the kernel held to the AVX2+FMA variant (where it picks
// AVX-512), through the kernel held to the baseline variant, and through the
// plain scalar reference model (one libm call after another), on
// a guitar-like signal and on digital silence. After the runs a table gives
// the median cost of each and the speed-up of the kernel over the reference.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "DunmarrowAUExtensionDSPKernel.hpp"
#include "ReferenceEffect.hpp"

namespace {

constexpr double kSampleRate = 48000.0;
constexpr std::uint32_t kFrames = 256;
constexpr int kChannels = 2;

// By address: drive, tight, bite, cab, gain, body, crush, density, grind, touch,
// decimation, doubleTrack, stereoSpread, liveSafe.
constexpr float kTreeDefaults[14] = {65, 100, 100, 100, 0.8f, 55, 45, 50, 35, 50, 0, 0, 0, 0};
constexpr float kEveryStage[14] = {90, 60, 70, 80, 0.9f, 70, 100, 100, 100, 100, 0.6f, 1, 1, 1};

// The defaults with one costly stage or a pair switched off, to see what each costs.
constexpr float kDefaultsNoGrind[14] = {65, 100, 100, 100, 0.8f, 55, 45, 50, 0, 50, 0, 0, 0, 0};
constexpr float kDefaultsNoCrush[14] = {65, 100, 100, 100, 0.8f, 55, 0, 50, 35, 50, 0, 0, 0, 0};
constexpr float kDefaultsDriveOnly[14] = {65, 100, 100, 0, 0.8f, 0, 0, 0, 0, 50, 0, 0, 0, 0};

enum class Signal { Guitar, Silence };
enum class Engine { Kernel, KernelAvx2, KernelBaseline, Reference };

// CPU time of this thread: the machine may be shared, and what a render thread
// can afford is its own CPU time, not the wall clock.
double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One second of a decaying, noisy tone per channel, played in a loop.
std::vector<std::vector<float>> makeInput(Signal signal) {
    const auto length = static_cast<std::size_t>(kSampleRate);
    std::vector<std::vector<float>> input(kChannels, std::vector<float>(length, 0.0f));
    if (signal == Signal::Guitar) {
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> noise(-0.01f, 0.01f);
        for (int c = 0; c < kChannels; ++c) {
            for (std::size_t n = 0; n < length; ++n) {
                const double t = static_cast<double>(n % 12000) / kSampleRate;
                input[c][n] = static_cast<float>(0.6 * std::exp(-t * 8) * std::sin(2 * M_PI * (110.0 + c) * t)) + noise(rng);
            }
        }
    }
    return input;
}

void render(benchmark::State& state, const float (&values)[14], Signal signal, Engine engine) {
    DunmarrowAUExtensionDSPKernel kernel;
    reference::Effect model;
    for (std::uint64_t a = 0; a < 14; ++a) kernel.setParameter(a, values[a]);
    for (int a = 0; a < 14; ++a) model.set(a, values[a]);
    if (engine == Engine::KernelBaseline) kernel.setInstructionSet(dunmarrow_dsp::InstructionSet::Baseline);
    if (engine == Engine::KernelAvx2) kernel.setInstructionSet(dunmarrow_dsp::InstructionSet::Avx2Fma);
    kernel.setMaximumFramesToRender(kFrames);
    kernel.initialize(kChannels, kChannels, kSampleRate);
    model.initialize(kChannels, kSampleRate);

    const std::vector<std::vector<float>> input = makeInput(signal);
    const std::size_t length = input[0].size();
    std::vector<std::vector<float>> output(kChannels, std::vector<float>(kFrames));
    const float* in[kChannels];
    float* out[kChannels] = {output[0].data(), output[1].data()};
    std::vector<const float*> modelIn(kChannels);
    std::vector<float*> modelOut(out, out + kChannels);

    std::size_t position = 0;
    const double started = threadCpuSeconds();
    for (auto _ : state) {
        for (int c = 0; c < kChannels; ++c) in[c] = input[static_cast<std::size_t>(c)].data() + position;
        if (engine == Engine::Reference) {
            std::copy(in, in + kChannels, modelIn.begin());
            model.render(modelIn, modelOut, kFrames);
        } else {
            kernel.process(in, out, static_cast<std::int64_t>(position), kFrames);
        }
        benchmark::DoNotOptimize(out[0][kFrames - 1]);
        benchmark::ClobberMemory();
        position += kFrames;
        if (position + kFrames > length) position = 0;
    }

    const double seconds = threadCpuSeconds() - started;
    const double frames = static_cast<double>(state.iterations()) * kFrames;
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kFrames) * kChannels);
    if (frames > 0 && seconds > 0) {
        state.counters["ns_per_frame_per_channel"] = seconds * 1e9 / (frames * kChannels);
        state.counters["realtime_factor"] = (frames / kSampleRate) / seconds;
    }
    if (engine != Engine::Reference) state.SetLabel(dunmarrow_dsp::instructionSetName(kernel.instructionSet()));
}

void BM_KernelTreeDefaults(benchmark::State& s) { render(s, kTreeDefaults, Signal::Guitar, Engine::Kernel); }
void BM_KernelEveryStage(benchmark::State& s) { render(s, kEveryStage, Signal::Guitar, Engine::Kernel); }
void BM_KernelTreeDefaultsSilence(benchmark::State& s) { render(s, kTreeDefaults, Signal::Silence, Engine::Kernel); }
void BM_KernelEveryStageSilence(benchmark::State& s) { render(s, kEveryStage, Signal::Silence, Engine::Kernel); }
void BM_Avx2TreeDefaults(benchmark::State& s) { render(s, kTreeDefaults, Signal::Guitar, Engine::KernelAvx2); }
void BM_Avx2EveryStage(benchmark::State& s) { render(s, kEveryStage, Signal::Guitar, Engine::KernelAvx2); }
void BM_BaselineTreeDefaults(benchmark::State& s) { render(s, kTreeDefaults, Signal::Guitar, Engine::KernelBaseline); }
void BM_BaselineEveryStage(benchmark::State& s) { render(s, kEveryStage, Signal::Guitar, Engine::KernelBaseline); }
void BM_ReferenceTreeDefaults(benchmark::State& s) { render(s, kTreeDefaults, Signal::Guitar, Engine::Reference); }
void BM_ReferenceEveryStage(benchmark::State& s) { render(s, kEveryStage, Signal::Guitar, Engine::Reference); }
void BM_KernelDefaultsNoGrind(benchmark::State& s) { render(s, kDefaultsNoGrind, Signal::Guitar, Engine::Kernel); }
void BM_KernelDefaultsNoCrush(benchmark::State& s) { render(s, kDefaultsNoCrush, Signal::Guitar, Engine::Kernel); }
void BM_KernelDefaultsDriveOnly(benchmark::State& s) { render(s, kDefaultsDriveOnly, Signal::Guitar, Engine::Kernel); }

// Keeps every run's cost per frame and channel, to print medians and ratios.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const auto counter = run.counters.find("ns_per_frame_per_channel");
            if (counter == run.counters.end()) continue;
            if (run.run_type == Run::RT_Iteration) {
                costs[run.run_name.function_name].push_back(counter->second.value);
            } else if (run.aggregate_name == "median") {
                // --benchmark_report_aggregates_only hands over the aggregates alone.
                medians[run.run_name.function_name] = counter->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, std::vector<double>> costs;
    std::map<std::string, double> medians;
};

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t mid = v.size() / 2;
    return v.size() % 2 ? v[mid] : 0.5 * (v[mid - 1] + v[mid]);
}

}  // namespace

BENCHMARK(BM_KernelTreeDefaults);
BENCHMARK(BM_KernelEveryStage);
BENCHMARK(BM_KernelTreeDefaultsSilence);
BENCHMARK(BM_KernelEveryStageSilence);
BENCHMARK(BM_BaselineTreeDefaults);
BENCHMARK(BM_BaselineEveryStage);
BENCHMARK(BM_ReferenceTreeDefaults);
BENCHMARK(BM_ReferenceEveryStage);
BENCHMARK(BM_KernelDefaultsNoGrind);
BENCHMARK(BM_KernelDefaultsNoCrush);
BENCHMARK(BM_KernelDefaultsDriveOnly);

int main(int argc, char** argv) {
    // The AVX2+FMA variant on its own where the kernel picks a wider one.
    if (dunmarrow_dsp::processorHasAvx512()) {
        benchmark::RegisterBenchmark("BM_Avx2TreeDefaults", BM_Avx2TreeDefaults);
        benchmark::RegisterBenchmark("BM_Avx2EveryStage", BM_Avx2EveryStage);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto cost = [&](const char* name) {
        const auto runs = reporter.costs.find(name);
        if (runs != reporter.costs.end()) return median(runs->second);
        const auto aggregate = reporter.medians.find(name);
        return aggregate != reporter.medians.end() ? aggregate->second : 0.0;
    };
    std::printf("\nmedian ns per frame and channel (variant picked here: %s)\n",
                dunmarrow_dsp::instructionSetName(dunmarrow_dsp::preferredInstructionSet()));
    std::printf("%-14s %10s %10s %10s %10s %10s %10s %10s\n", "setting", "kernel", "silence", "avx2+fma", "baseline",
                "reference", "speed-up", "rt factor");
    const char* settings[] = {"TreeDefaults", "EveryStage"};
    for (const char* setting : settings) {
        const std::string s = setting;
        const double kernel = cost(("BM_Kernel" + s).c_str());
        const double silence = cost(("BM_Kernel" + s + "Silence").c_str());
        const double avx2 = cost(("BM_Avx2" + s).c_str());
        const double baseline = cost(("BM_Baseline" + s).c_str());
        const double ref = cost(("BM_Reference" + s).c_str());
        std::printf("%-14s %10.1f %10.1f %10.1f %10.1f %10.1f %9.1fx %10.0f\n", setting, kernel, silence, avx2, baseline, ref,
                    kernel > 0 ? ref / kernel : 0.0, kernel > 0 ? 1e9 / (kernel * kSampleRate) : 0.0);
    }
    // What the costly stages add at the defaults (kernel variant picked here).
    const double defaults = cost("BM_KernelTreeDefaults");
    const double noGrind = cost("BM_KernelDefaultsNoGrind");
    const double noCrush = cost("BM_KernelDefaultsNoCrush");
    const double driveOnly = cost("BM_KernelDefaultsDriveOnly");
    if (defaults > 0 && noGrind > 0 && noCrush > 0 && driveOnly > 0) {
        std::printf("\nat the defaults: drive shaper, oversampling frame, input and output stages %.1f; grind adds %.1f, "
                    "crush %.1f, the other base-rate stages %.1f\n",
                    driveOnly, defaults - noGrind, defaults - noCrush, (noGrind + noCrush - defaults) - driveOnly);
    }
    return 0;
}
