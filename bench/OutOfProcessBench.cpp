// The cost an out-of-process unit adds to each render cycle: the real effect
// rendered through its in-process unit and through the proxy to its service,
// stereo at 48 kHz, at 64 and 256 frames per cycle. The difference of the two
// wall-clock times per cycle is the handshake, the copies and the service's
// wake-up. Counter: us_per_cycle.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AUAudioUnitProxy.hpp"
#include "audiounit/AVAudioFormat.hpp"
#include "audiounit/AVAudioUnit.hpp"
#include "audiounit/AudioComponentRegistry.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/RunLoop.hpp"

using namespace audiounit;

namespace {

std::shared_ptr<AVAudioUnit> load(AudioComponentInstantiationOptions options) {
    AVAudioUnit::setMainThreadExecutor([](std::function<void()> job) { foundation::DispatchQueue::main().async(std::move(job)); });
    const AudioComponentDescription effect{0x61756678u, 0x646D6473u, 0x5156524Eu, 0, 0};
    std::shared_ptr<AVAudioUnit> result;
    bool done = false;
    AVAudioUnit::instantiate(effect, options, [&](std::shared_ptr<AVAudioUnit> unit, std::optional<foundation::NSError>) {
        result = std::move(unit);
        done = true;
    });
    foundation::RunLoop::main().runUntil([&] { return done; }, std::chrono::seconds(20));
    return result;
}

void renderCycles(benchmark::State& state, AudioComponentInstantiationOptions options) {
    const auto frames = static_cast<AUAudioFrameCount>(state.range(0));
    const auto node = load(options);
    if (!node) {
        state.SkipWithError("the effect could not be loaded");
        return;
    }
    AUAudioUnit& unit = *node->auAudioUnit();
    if (auto* proxy = dynamic_cast<AUAudioUnitProxy*>(&unit)) proxy->setRenderDeadline(std::chrono::seconds(1));
    const auto format = AVAudioFormat::makeStandard(48000, 2);
    (*unit.inputBusses())[0]->setFormat(format);
    (*unit.outputBusses())[0]->setFormat(format);
    unit.setMaximumFramesToRender(frames);
    if (!unit.allocateRenderResources()) {
        state.SkipWithError("render resources could not be allocated");
        return;
    }
    std::vector<float> input(frames * 2), output(frames * 2);
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = 0.3f * std::sin(0.01f * static_cast<float>(i));
    AudioBufferListStorage list(2);
    AURenderPullInputBlock pull = [&](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount n,
                                      NSInteger, AudioBufferList* in) -> OSStatus {
        for (std::uint32_t c = 0; c < in->mNumberBuffers; ++c) std::memcpy(in->mBuffers[c].mData, &input[c * frames], n * 4);
        return noErr;
    };
    AudioTimeStamp time;
    const AURenderBlock& render = unit.renderBlock();
    for (auto _ : state) {
        for (std::uint32_t c = 0; c < 2; ++c) list->mBuffers[c] = AudioBuffer{1, frames * 4, &output[c * frames]};
        AudioUnitRenderActionFlags flags = 0;
        benchmark::DoNotOptimize(render(&flags, &time, frames, 0, list.get(), &pull));
        time.mSampleTime += frames;
    }
    state.counters["us_per_cycle"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 1e-6, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    unit.deallocateRenderResources();
}

void BM_InProcess(benchmark::State& state) { renderCycles(state, kAudioComponentInstantiation_LoadInProcess); }
void BM_OutOfProcess(benchmark::State& state) { renderCycles(state, kAudioComponentInstantiation_LoadOutOfProcess); }

}  // namespace

BENCHMARK(BM_InProcess)->Arg(64)->Arg(256)->UseRealTime();
BENCHMARK(BM_OutOfProcess)->Arg(64)->Arg(256)->UseRealTime();
BENCHMARK_MAIN();
