// dunmarrow_soak: the real effect out of process for a given time, the way a
// busy host uses it. A render thread paced like an audio device renders
// blocks of random size (1 to the maximum) with sample-accurate automation
// scheduled into them; meanwhile the control thread writes parameters,
// changes presets, round-trips the saved state, toggles bypass and asks for
// value texts. Every cycle is checked: rendered without error, output finite,
// nothing allocated or freed on the render thread, no cycle missed. Once a
// second the resident memory and open descriptors of the host and of the
// service are sampled; after the warm-up they must stay steady. Prints its
// figures; exits 0 when every check held, 1 on the first failure, 2 when it
// could not start.
//
//   dunmarrow_soak [--seconds N] [--seed N] [--rate HZ] [--maximum-frames N]

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "AllocationCounter.hpp"
#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AUAudioUnitProxy.hpp"
#include "audiounit/AVAudioFormat.hpp"
#include "audiounit/AVAudioUnit.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/RunLoop.hpp"

using namespace audiounit;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    double seconds = 60;
    std::uint64_t seed = 0;
    double sampleRate = 48000;
    AUAudioFrameCount maximumFrames = 1024;
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    options.seed = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        char* end = nullptr;
        const double value = std::strtod(argv[i + 1], &end);
        if (end == argv[i + 1] || *end != '\0' || !std::isfinite(value)) return std::nullopt;
        if (name == "--seconds" && value > 0) {
            options.seconds = value;
        } else if (name == "--seed" && value >= 0) {
            options.seed = static_cast<std::uint64_t>(value);
        } else if (name == "--rate" && AVAudioFormat::isSupportedSampleRate(value)) {
            options.sampleRate = value;
        } else if (name == "--maximum-frames" && value >= 1 && value <= kMaximumFramesToRenderLimit) {
            options.maximumFrames = static_cast<AUAudioFrameCount>(value);
        } else {
            return std::nullopt;
        }
    }
    if (argc % 2 == 0) return std::nullopt;
    return options;
}

// Resident memory in bytes and open descriptors of a process.
struct Resources {
    double residentBytes = 0;
    std::size_t descriptors = 0;
};

Resources resourcesOf(const std::string& pid) {
    Resources resources;
    std::ifstream statm("/proc/" + pid + "/statm");
    double size = 0, resident = 0;
    if (statm >> size >> resident) resources.residentBytes = resident * static_cast<double>(::sysconf(_SC_PAGESIZE));
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/" + pid + "/fd", ec), end; !ec && it != end; it.increment(ec))
        ++resources.descriptors;
    return resources;
}

double mebibytes(double bytes) { return bytes / (1024.0 * 1024.0); }

// What one side's resources did after the warm-up.
struct Track {
    Resources first;
    Resources last;
    double largestResident = 0;
    bool started = false;
    void add(const Resources& r) {
        if (!started) first = r;
        started = true;
        last = r;
        largestResident = std::max(largestResident, r.residentBytes);
    }
};

// Counts the render thread keeps; the control thread reads them.
struct RenderFigures {
    std::atomic<std::uint64_t> cycles{0};
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::uint64_t> events{0};
    std::atomic<std::uint64_t> nonFiniteSamples{0};
    std::atomic<std::uint64_t> failedCycles{0};
    std::atomic<std::int32_t> lastFailure{0};
    std::atomic<std::uint64_t> allocations{0};
    std::atomic<std::int64_t> longestCycleNanoseconds{0};
    std::atomic<bool> counting{false};  // the allocation counter runs (after the warm-up)
    // Parameters (bits by address below 64) whose values the render thread's
    // automation may change under a state round trip: those of the cycle in
    // flight, set before its events are scheduled and cleared once it is
    // rendered, and those rendered since the control thread cleared
    // `automated`. The service applies an event before the host's render call
    // returns, so the control thread reads `inFlight` first, then `automated`.
    std::atomic<std::uint64_t> inFlight{0};
    std::atomic<std::uint64_t> automated{0};
};

// The render thread's side: the looped input, the output, the pull block.
// Everything is made before the thread starts.
class RenderDriver {
public:
    RenderDriver(AUAudioUnit& unit, const Options& options, RenderFigures& figures)
        : unit_(unit), options_(options), figures_(figures), outputList_(2) {
        // One second of a decaying low note with some top, looped; the tail
        // repeats the head so that a cycle never wraps inside.
        const auto length = static_cast<std::size_t>(options.sampleRate);
        for (std::uint32_t c = 0; c < 2; ++c) {
            input_[c].resize(length + options.maximumFrames);
            for (std::size_t i = 0; i < input_[c].size(); ++i) {
                const double t = static_cast<double>(i % length) / options.sampleRate;
                input_[c][i] = static_cast<float>(0.7 * std::sin(2 * M_PI * (82.4 + c) * t) * std::exp(-3.0 * t) +
                                                  0.1 * std::sin(2 * M_PI * 1320.0 * t));
            }
            output_[c].assign(options.maximumFrames, 0.0f);
        }
        loopLength_ = length;
        if (const auto tree = unit.parameterTree()) {
            for (const auto& parameter : tree->allParameters())
                parameters_.push_back({parameter->address(), parameter->minValue(), parameter->maxValue()});
        }
        // Render thread: copies the cycle's input, allocates nothing.
        pull_ = [this](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount frames, NSInteger,
                       AudioBufferList* list) -> OSStatus {
            const std::size_t at = position_ % loopLength_;
            for (std::uint32_t c = 0; c < list->mNumberBuffers && c < 2; ++c)
                std::memcpy(list->buffers()[c].mData, input_[c].data() + at, frames * sizeof(float));
            return noErr;
        };
    }

    // Render thread: cycles until `stop`, each at its due time.
    void run(const std::atomic<bool>& stop, std::uint64_t seed) noexcept {
        std::mt19937_64 random(seed);
        std::uniform_int_distribution<AUAudioFrameCount> blockSize(1, options_.maximumFrames);
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        const AURenderBlock& render = unit_.renderBlock();
        const AUScheduleParameterBlock& schedule = unit_.scheduleParameterBlock();
        std::optional<rtcheck::ScopedAllocationCounter> counter;
        auto due = Clock::now();
        while (!stop.load(std::memory_order_relaxed)) {
            const AUAudioFrameCount frames = blockSize(random);
            // Sample-accurate automation: now and then a value or a ramp inside the cycle.
            std::uint64_t automatedNow = 0;
            if (!parameters_.empty() && unit(random) < 0.5f) {
                const auto& p = parameters_[random() % parameters_.size()];
                automatedNow = p.address < 64 ? std::uint64_t{1} << p.address : ~std::uint64_t{0};
                figures_.inFlight.store(automatedNow);
                const auto at = static_cast<AUEventSampleTime>(position_ + random() % frames);
                const auto ramp = unit(random) < 0.5f ? 0u : static_cast<AUAudioFrameCount>(random() % 256);
                schedule(at, ramp, p.address, p.min + unit(random) * (p.max - p.min));
                figures_.events.fetch_add(1, std::memory_order_relaxed);
            }
            for (std::uint32_t c = 0; c < 2; ++c)
                outputList_->buffers()[c] = AudioBuffer{1, frames * 4, output_[c].data()};
            AudioTimeStamp time{};
            time.mSampleTime = static_cast<double>(position_);
            time.mFlags = kAudioTimeStampSampleTimeValid;
            AudioUnitRenderActionFlags flags = 0;
            const auto start = Clock::now();
            const OSStatus status = render(&flags, &time, frames, 0, outputList_.get(), &pull_);
            const auto took = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
            figures_.automated.fetch_or(automatedNow);
            figures_.inFlight.store(0);

            if (status != noErr) {
                figures_.failedCycles.fetch_add(1, std::memory_order_relaxed);
                figures_.lastFailure.store(status, std::memory_order_relaxed);
            }
            std::uint64_t nonFinite = 0;
            for (std::uint32_t c = 0; c < 2; ++c)
                for (AUAudioFrameCount i = 0; i < frames; ++i) nonFinite += std::isfinite(output_[c][i]) ? 0 : 1;
            if (nonFinite > 0) figures_.nonFiniteSamples.fetch_add(nonFinite, std::memory_order_relaxed);
            if (took > figures_.longestCycleNanoseconds.load(std::memory_order_relaxed))
                figures_.longestCycleNanoseconds.store(took, std::memory_order_relaxed);
            position_ += frames;
            const auto cycles = figures_.cycles.fetch_add(1, std::memory_order_relaxed) + 1;
            figures_.frames.fetch_add(frames, std::memory_order_relaxed);
            // The first cycles may touch what was made lazily; count from then on.
            if (cycles == 100) {
                counter.emplace();
                figures_.counting.store(true, std::memory_order_release);
            }
            if (counter) figures_.allocations.store(counter->counts().total(), std::memory_order_relaxed);

            // Paced like a device: the next cycle when this one's audio is due.
            due += std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 * frames / options_.sampleRate));
            const auto now = Clock::now();
            if (due < now - std::chrono::seconds(1)) due = now;  // the machine stalled; no burst to catch up
            std::this_thread::sleep_until(due);
        }
    }

private:
    struct ParameterRange {
        AUParameterAddress address;
        AUValue min;
        AUValue max;
    };

    AUAudioUnit& unit_;
    const Options& options_;
    RenderFigures& figures_;
    std::vector<float> input_[2];
    std::vector<float> output_[2];
    std::size_t loopLength_ = 1;
    std::uint64_t position_ = 0;
    std::vector<ParameterRange> parameters_;
    AudioBufferListStorage outputList_;
    AURenderPullInputBlock pull_;
};

std::shared_ptr<AVAudioUnit> loadOutOfProcess() {
    AVAudioUnit::setMainThreadExecutor(
        [](std::function<void()> job) { foundation::DispatchQueue::main().async(std::move(job)); });
    const AudioComponentDescription effect{0x61756678u, 0x646D6473u, 0x5156524Eu, 0, 0};  // aufx dmds QVRN
    std::shared_ptr<AVAudioUnit> result;
    bool done = false;
    AVAudioUnit::instantiate(effect, kAudioComponentInstantiation_LoadOutOfProcess,
                             [&](std::shared_ptr<AVAudioUnit> unit, std::optional<foundation::NSError> error) {
                                 if (!unit && error)
                                     std::fprintf(stderr, "dunmarrow_soak: %s\n", error->description.c_str());
                                 result = std::move(unit);
                                 done = true;
                             });
    foundation::RunLoop::main().runUntil([&] { return done; }, std::chrono::seconds(30));
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: dunmarrow_soak [--seconds N] [--seed N] [--rate HZ] [--maximum-frames 1-%u]\n",
                     kMaximumFramesToRenderLimit);
        return 2;
    }
    const auto node = loadOutOfProcess();
    const auto proxy = node ? std::dynamic_pointer_cast<AUAudioUnitProxy>(node->auAudioUnit()) : nullptr;
    if (!proxy) {
        std::fprintf(stderr, "dunmarrow_soak: the effect could not be loaded out of process\n");
        return 2;
    }
    AUAudioUnit& unit = *proxy;
    foundation::NSError error;
    const auto format = AVAudioFormat::makeStandard(options->sampleRate, 2);
    unit.setMaximumFramesToRender(options->maximumFrames);
    if (!(*unit.inputBusses())[0]->setFormat(format, &error) || !(*unit.outputBusses())[0]->setFormat(format, &error) ||
        !unit.allocateRenderResources(&error)) {
        std::fprintf(stderr, "dunmarrow_soak: cannot prepare the effect: %s\n", error.description.c_str());
        return 2;
    }
    const auto tree = unit.parameterTree();
    const auto presets = unit.factoryPresets();
    if (!tree || tree->allParameters().empty() || presets.empty()) {
        std::fprintf(stderr, "dunmarrow_soak: the effect has no parameters or no presets\n");
        return 2;
    }
    std::printf("dunmarrow_soak: %g s at %g Hz, blocks of 1 to %u frames, seed %llu, service pid %d\n", options->seconds,
                options->sampleRate, options->maximumFrames, static_cast<unsigned long long>(options->seed),
                static_cast<int>(proxy->servicePID()));
    std::fflush(stdout);

    RenderFigures figures;
    RenderDriver driver(unit, *options, figures);
    std::atomic<bool> stop{false};
    std::thread renderThread([&] { driver.run(stop, options->seed); });
    // A device's audio thread is a real-time one, where the system grants it.
    sched_param scheduling{};
    scheduling.sched_priority = 20;
    const bool realTime = ::pthread_setschedparam(renderThread.native_handle(), SCHED_FIFO, &scheduling) == 0;
    std::printf("The render thread is %s\n", realTime ? "real-time (SCHED_FIFO 20)" : "an ordinary thread");

    // The control thread: a host's main thread, busy with the unit.
    std::mt19937_64 random(options->seed + 1);
    std::uniform_real_distribution<float> unitInterval(0.0f, 1.0f);
    std::uint64_t treeWrites = 0, presetChanges = 0, stateRoundTrips = 0, bypassToggles = 0, valueTexts = 0;
    bool bypass = false;
    std::string failure;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options->seconds));
    // Resources settle during the warm-up (first allocations, lazily loaded pages).
    const auto warmUp = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(std::min(30.0, std::max(5.0, options->seconds / 20))));
    const std::string servicePid = std::to_string(proxy->servicePID());
    Track host, service;
    auto nextSample = start + std::chrono::seconds(1);
    auto nextReport = start + std::chrono::seconds(30);
    // Cycles missed while the first cycles fault in code and memory on both
    // sides are reported apart; from then on none may be missed.
    std::optional<std::uint64_t> missedInWarmUp;

    while (failure.empty() && Clock::now() < end) {
        const float choice = unitInterval(random);
        const auto& parameter = tree->allParameters()[random() % tree->allParameters().size()];
        if (choice < 0.4f) {
            parameter->setValue(parameter->minValue() +
                                unitInterval(random) * (parameter->maxValue() - parameter->minValue()));
            ++treeWrites;
        } else if (choice < 0.55f) {
            unit.setCurrentPreset(presets[random() % presets.size()]);
            ++presetChanges;
        } else if (choice < 0.7f) {
            // The state comes back as it was, but for what the render thread
            // automated meanwhile.
            figures.automated.store(0);
            auto state = unit.fullState();
            if (!unit.setFullState(state, &error)) {
                failure = "the saved state was refused: " + error.description;
            } else {
                auto after = unit.fullState();
                const std::uint64_t inFlight = figures.inFlight.load();
                const std::uint64_t automated = inFlight | figures.automated.load();
                for (auto* values : {&state["parameters"], &after["parameters"]})
                    for (std::uint64_t address = 0; address < 64; ++address)
                        if ((automated >> address) & 1u) values->erase(std::to_string(address));
                if (after != state)
                    failure = "the saved state did not come back as it was: " + nlohmann::json::diff(state, after).dump();
            }
            ++stateRoundTrips;
        } else if (choice < 0.85f) {
            bypass = !bypass;
            unit.setShouldBypassEffect(bypass);
            ++bypassToggles;
        } else {
            (void)parameter->stringFromValue(std::nullopt);
            ++valueTexts;
        }

        // The render thread's checks.
        if (!proxy->isServiceAlive()) failure = "the service ended";
        if (!missedInWarmUp && figures.counting.load()) missedInWarmUp = proxy->missedCycleCount();
        if (missedInWarmUp && proxy->missedCycleCount() != *missedInWarmUp)
            failure = std::to_string(proxy->missedCycleCount() - *missedInWarmUp) + " render cycles were missed";
        if (figures.failedCycles.load() > 0)
            failure = std::to_string(figures.failedCycles.load()) + " render cycles failed (status " +
                      std::to_string(figures.lastFailure.load()) + ")";
        if (figures.nonFiniteSamples.load() > 0)
            failure = std::to_string(figures.nonFiniteSamples.load()) + " output samples were not finite";
        if (figures.allocations.load() > 0)
            failure = std::to_string(figures.allocations.load()) + " allocations or frees on the render thread";

        const auto now = Clock::now();
        if (now >= nextSample) {
            nextSample += std::chrono::seconds(1);
            if (now >= warmUp) {
                host.add(resourcesOf("self"));
                service.add(resourcesOf(servicePid));
                if (host.last.descriptors != host.first.descriptors)
                    failure = "the host's open descriptors went from " + std::to_string(host.first.descriptors) +
                              " to " + std::to_string(host.last.descriptors);
                if (service.last.descriptors != service.first.descriptors)
                    failure = "the service's open descriptors went from " + std::to_string(service.first.descriptors) +
                              " to " + std::to_string(service.last.descriptors);
            }
        }
        if (now >= nextReport) {
            nextReport += std::chrono::seconds(30);
            std::printf("  %6.0f s  %llu cycles  %llu missed  host %.1f MiB %zu fds  service %.1f MiB %zu fds\n",
                        std::chrono::duration<double>(now - start).count(),
                        static_cast<unsigned long long>(figures.cycles.load()),
                        static_cast<unsigned long long>(proxy->missedCycleCount() - missedInWarmUp.value_or(0)),
                        mebibytes(host.last.residentBytes),
                        host.last.descriptors, mebibytes(service.last.residentBytes), service.last.descriptors);
            std::fflush(stdout);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 20));
    }
    stop.store(true);
    renderThread.join();

    // Steady: what grew after the warm-up stays within a small allowance
    // (allocator arenas and page-cache effects move resident memory a little).
    constexpr double kResidentAllowance = 4.0 * 1024 * 1024;
    if (failure.empty() && host.started && host.last.residentBytes - host.first.residentBytes > kResidentAllowance)
        failure = "the host's resident memory grew by " +
                  std::to_string(mebibytes(host.last.residentBytes - host.first.residentBytes)) + " MiB";
    if (failure.empty() && service.started &&
        service.last.residentBytes - service.first.residentBytes > kResidentAllowance)
        failure = "the service's resident memory grew by " +
                  std::to_string(mebibytes(service.last.residentBytes - service.first.residentBytes)) + " MiB";
    if (failure.empty() && !figures.counting.load()) failure = "too few cycles to check the render thread";

    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const auto frames = figures.frames.load();
    std::printf("Ran %.0f s: %llu cycles, %llu frames (%.1f s of audio), longest cycle %.2f ms\n", seconds,
                static_cast<unsigned long long>(figures.cycles.load()), static_cast<unsigned long long>(frames),
                static_cast<double>(frames) / options->sampleRate, figures.longestCycleNanoseconds.load() / 1e6);
    std::printf("Automation: %llu scheduled events, %llu tree writes; %llu preset changes, %llu state round trips, "
                "%llu bypass toggles, %llu value texts\n",
                static_cast<unsigned long long>(figures.events.load()), static_cast<unsigned long long>(treeWrites),
                static_cast<unsigned long long>(presetChanges), static_cast<unsigned long long>(stateRoundTrips),
                static_cast<unsigned long long>(bypassToggles), static_cast<unsigned long long>(valueTexts));
    const std::uint64_t warmUpMisses = missedInWarmUp.value_or(proxy->missedCycleCount());
    std::printf("Checks: %llu missed cycles (and %llu in the first 100), %llu failed cycles, %llu non-finite "
                "samples, %llu render-thread allocations\n",
                static_cast<unsigned long long>(proxy->missedCycleCount() - warmUpMisses),
                static_cast<unsigned long long>(warmUpMisses),
                static_cast<unsigned long long>(figures.failedCycles.load()),
                static_cast<unsigned long long>(figures.nonFiniteSamples.load()),
                static_cast<unsigned long long>(figures.allocations.load()));
    for (const auto& [name, track] : {std::pair<const char*, const Track&>{"Host", host}, {"Service", service}}) {
        if (!track.started) continue;  // ended within the warm-up
        std::printf("%s after the warm-up: resident %.1f -> %.1f MiB (largest %.1f), descriptors %zu -> %zu\n", name,
                    mebibytes(track.first.residentBytes), mebibytes(track.last.residentBytes),
                    mebibytes(track.largestResident), track.first.descriptors, track.last.descriptors);
    }
    unit.deallocateRenderResources();
    if (!failure.empty()) {
        std::printf("FAILED: %s\n", failure.c_str());
        return 1;
    }
    std::printf("PASSED\n");
    return 0;
}
