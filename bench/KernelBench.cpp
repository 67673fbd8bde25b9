// The DSP kernel alone: stereo, 48 kHz, 256-frame calls, as a host would drive it.
// Counters: ns_per_frame_per_channel (CPU time of the calls divided by frames x
// channels) and realtime_factor (seconds of audio rendered per CPU second),
// so later optimisation is measured against these figures.

#include <benchmark/benchmark.h>

#include <cmath>
#include <ctime>
#include <cstdint>
#include <random>
#include <vector>

#include "DunmarrowAUExtensionDSPKernel.hpp"

namespace {

constexpr double kSampleRate = 48000.0;
constexpr std::uint32_t kFrames = 256;
constexpr int kChannels = 2;

// By address: drive, tight, bite, cab, gain, body, crush, density, grind, touch,
// decimation, doubleTrack, stereoSpread, liveSafe.
constexpr float kTreeDefaults[14] = {65, 100, 100, 100, 0.8f, 55, 45, 50, 35, 50, 0, 0, 0, 0};
constexpr float kEveryStage[14] = {90, 60, 70, 80, 0.9f, 70, 100, 100, 100, 100, 0.6f, 1, 1, 1};

enum class Signal { Guitar, Silence };

// CPU time of this thread: the machine may be shared, and what a render thread
// can afford is its own CPU time, not the wall clock.
double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void renderKernel(benchmark::State& state, const float (&values)[14], Signal signal) {
    DunmarrowAUExtensionDSPKernel kernel;
    for (std::uint64_t a = 0; a < 14; ++a) kernel.setParameter(a, values[a]);
    kernel.setMaximumFramesToRender(kFrames);
    kernel.initialize(kChannels, kChannels, kSampleRate);

    // One second of a decaying, noisy tone per channel, played in a loop.
    const std::size_t length = static_cast<std::size_t>(kSampleRate);
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
    std::vector<std::vector<float>> output(kChannels, std::vector<float>(kFrames));
    const float* in[kChannels];
    float* out[kChannels] = {output[0].data(), output[1].data()};

    std::size_t position = 0;
    const double started = threadCpuSeconds();
    for (auto _ : state) {
        for (int c = 0; c < kChannels; ++c) in[c] = input[c].data() + position;
        kernel.process(in, out, static_cast<std::int64_t>(position), kFrames);
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
}

void BM_KernelTreeDefaults(benchmark::State& state) { renderKernel(state, kTreeDefaults, Signal::Guitar); }
void BM_KernelEveryStage(benchmark::State& state) { renderKernel(state, kEveryStage, Signal::Guitar); }
void BM_KernelTreeDefaultsSilence(benchmark::State& state) { renderKernel(state, kTreeDefaults, Signal::Silence); }
void BM_KernelEveryStageSilence(benchmark::State& state) { renderKernel(state, kEveryStage, Signal::Silence); }

}  // namespace

BENCHMARK(BM_KernelTreeDefaults);
BENCHMARK(BM_KernelEveryStage);
BENCHMARK(BM_KernelTreeDefaultsSilence);
BENCHMARK(BM_KernelEveryStageSilence);
BENCHMARK_MAIN();
