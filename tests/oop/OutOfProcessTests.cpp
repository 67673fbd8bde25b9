// The real effect through the out-of-process proxy against the same effect in
// process: the same audio bit for bit under automation and preset changes,
// the parameter mirror in both directions without echoes, value texts,
// fullState, busses and errors, and a render path that allocates nothing.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "AllocationCounter.hpp"
#include "OopTestSupport.hpp"
#include "audiounit/AUAudioUnitProxy.hpp"

using namespace audiounit;
using namespace ooptest;

namespace {

struct Pair {
    std::shared_ptr<AVAudioUnit> local;
    std::shared_ptr<AVAudioUnit> remote;
    AUAudioUnitProxyPtr proxy;
};

Pair loadBoth() {
    Pair pair;
    pair.local = instantiate(effectComponent(), kAudioComponentInstantiation_LoadInProcess);
    pair.remote = instantiate(effectComponent(), kAudioComponentInstantiation_LoadOutOfProcess);
    if (pair.remote) pair.proxy = std::dynamic_pointer_cast<AUAudioUnitProxy>(pair.remote->auAudioUnit());
    return pair;
}

}  // namespace

TEST(OutOfProcess, TheProxyDescribesTheUnitAsItIsInProcess) {
    auto both = loadBoth();
    ASSERT_TRUE(both.local && both.proxy);
    auto& local = *both.local->auAudioUnit();
    auto& proxy = *both.proxy;
    EXPECT_TRUE(proxy.isServiceAlive());
    EXPECT_NE(proxy.servicePID(), ::getpid());
    EXPECT_EQ(both.remote->instantiationOptions(), kAudioComponentInstantiation_LoadOutOfProcess);
    EXPECT_EQ(proxy.channelCapabilities(), local.channelCapabilities());
    EXPECT_EQ(proxy.maximumFramesToRender(), local.maximumFramesToRender());
    EXPECT_EQ(proxy.shouldBypassEffect(), local.shouldBypassEffect());
    ASSERT_EQ(proxy.inputBusses()->count(), 1);
    ASSERT_EQ(proxy.outputBusses()->count(), 1);
    EXPECT_EQ((*proxy.inputBusses())[0]->maximumChannelCount(), (*local.inputBusses())[0]->maximumChannelCount());
    EXPECT_EQ((*proxy.outputBusses())[0]->maximumChannelCount(), 2u);
    EXPECT_EQ((*proxy.outputBusses())[0]->format()->sampleRate(), 44100.0);
    ASSERT_EQ(proxy.factoryPresets().size(), local.factoryPresets().size());
    for (std::size_t i = 0; i < local.factoryPresets().size(); ++i) {
        EXPECT_EQ(proxy.factoryPresets()[i]->name(), local.factoryPresets()[i]->name());
        EXPECT_EQ(proxy.factoryPresets()[i]->number(), local.factoryPresets()[i]->number());
    }
    ASSERT_TRUE(proxy.currentPreset());
    EXPECT_EQ(proxy.currentPreset()->name(), local.currentPreset()->name());

    const auto localTree = local.parameterTree();
    const auto proxyTree = proxy.parameterTree();
    ASSERT_TRUE(localTree && proxyTree);
    ASSERT_EQ(proxyTree->allParameters().size(), localTree->allParameters().size());
    for (std::size_t i = 0; i < localTree->allParameters().size(); ++i) {
        const auto& l = localTree->allParameters()[i];
        const auto& p = proxyTree->allParameters()[i];
        EXPECT_EQ(p->keyPath(), l->keyPath());
        EXPECT_EQ(p->address(), l->address());
        EXPECT_EQ(p->displayName(), l->displayName());
        EXPECT_EQ(p->minValue(), l->minValue());
        EXPECT_EQ(p->maxValue(), l->maxValue());
        EXPECT_EQ(p->value(), l->value()) << l->identifier();
        // Value texts are the unit's own.
        const AUValue probe = l->minValue() + 0.327f * (l->maxValue() - l->minValue());
        EXPECT_EQ(p->stringFromValue(probe), l->stringFromValue(probe)) << l->identifier();
        EXPECT_EQ(p->stringFromValue(std::nullopt), "-");
    }
    // Formats, and the unit's own refusals, cross too.
    foundation::NSError error;
    ASSERT_TRUE((*proxy.inputBusses())[0]->setFormat(AVAudioFormat::makeStandard(48000, 1), &error));
    EXPECT_FALSE(proxy.allocateRenderResources(&error));
    EXPECT_EQ(error.code, kAudioUnitErr_FailedInitialization);
    EXPECT_FALSE(proxy.renderResourcesAllocated());
    EXPECT_FALSE((*proxy.outputBusses())[0]->setFormat(AVAudioFormat::makeStandard(48000, 3), &error));
}

TEST(OutOfProcess, RendersTheSameAudioBitForBitUnderAutomationAndPresetChanges) {
    auto both = loadBoth();
    ASSERT_TRUE(both.local && both.proxy);
    auto& local = *both.local->auAudioUnit();
    auto& proxy = *both.proxy;
    // Offline: no cycle budget, so the proxy may wait as long as it takes.
    proxy.setRenderDeadline(std::chrono::seconds(5));
    ASSERT_TRUE(prepare(local, 48000, 2, 512));
    ASSERT_TRUE(prepare(proxy, 48000, 2, 512));

    const std::uint32_t total = 48000;
    const auto input = guitarLikeInput(2, total);
    Driver localDriver(input), proxyDriver(input);
    const std::uint32_t sizes[] = {64, 256, 100, 512, 37, 128};
    const auto drive = local.parameterTree()->parameterForKeyPath("global.drive");
    ASSERT_TRUE(drive);
    int cycle = 0;
    std::size_t allocations = 0;
    while (localDriver.position < total) {
        const std::uint32_t frames = std::min(sizes[cycle % 6], total - localDriver.position);
        const auto start = static_cast<AUEventSampleTime>(localDriver.position);
        // Sample-accurate automation: a value and a ramp inside the cycle.
        const auto value = static_cast<AUValue>(10 + (cycle * 7) % 90);
        const auto automate = [&](AUAudioUnit& unit) {
            if (cycle % 5 != 1) return;
            unit.scheduleParameterBlock()(start + frames / 3, 0, drive->address(), value);
            unit.scheduleParameterBlock()(start + frames / 2, frames / 4, 5, 100 - value);
        };
        if (cycle % 40 == 20) {
            const auto index = static_cast<std::size_t>(cycle / 40) % local.factoryPresets().size();
            local.setCurrentPreset(local.factoryPresets()[index]);
            proxy.setCurrentPreset(proxy.factoryPresets()[index]);
        }
        if (cycle % 40 == 30) {
            // A plain write through the tree; the next request orders it
            // before the next cycle on the service's side.
            local.parameterTree()->parameterWithAddress(13)->setValue(cycle % 80 == 30 ? 1.0f : 0.0f);
            proxy.parameterTree()->parameterWithAddress(13)->setValue(cycle % 80 == 30 ? 1.0f : 0.0f);
            (void)proxy.currentPreset();
        }
        automate(local);
        ASSERT_EQ(localDriver.cycle(local.renderBlock(), frames), noErr);
        {
            // The host's render thread neither allocates nor frees (after the first touches).
            rtcheck::ScopedAllocationCounter counter;
            automate(proxy);
            ASSERT_EQ(proxyDriver.cycle(proxy.renderBlock(), frames), noErr);
            if (cycle > 0) allocations += counter.stop().total();
        }
        ++cycle;
    }
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(proxy.missedCycleCount(), 0u);
    double energy = 0;
    for (std::uint32_t c = 0; c < 2; ++c) {
        for (std::uint32_t i = 0; i < total; ++i) {
            ASSERT_EQ(std::memcmp(&proxyDriver.output[c][i], &localDriver.output[c][i], sizeof(float)), 0)
                << "channel " << c << " frame " << i << ": " << proxyDriver.output[c][i] << " vs "
                << localDriver.output[c][i];
            energy += localDriver.output[c][i] * localDriver.output[c][i];
        }
    }
    EXPECT_GT(energy, 1.0);  // the comparison is of sound, not of silence
    EXPECT_EQ(proxy.fullState(), local.fullState());
}

TEST(OutOfProcess, ParameterChangesReachTheOtherSideOnceAndNeverComeBack) {
    auto both = loadBoth();
    ASSERT_TRUE(both.proxy);
    auto& proxy = *both.proxy;
    const auto tree = proxy.parameterTree();
    std::mutex mutex;
    std::map<AUParameterAddress, std::vector<AUValue>> seenByOther, seenByWriter;
    const auto other = tree->tokenByAddingParameterObserver([&](AUParameterAddress a, AUValue v) {
        std::lock_guard lock(mutex);
        seenByOther[a].push_back(v);
    });
    const auto writer = tree->tokenByAddingParameterObserver([&](AUParameterAddress a, AUValue v) {
        std::lock_guard lock(mutex);
        seenByWriter[a].push_back(v);
    });

    // Host side → service: the writer is not told, the other observer once,
    // and the service's kernel has it (its saved state says so).
    tree->parameterWithAddress(0)->setValue(42.0f, writer);
    const auto state = proxy.fullState();
    EXPECT_EQ(state["parameters"]["0"].get<double>(), 42.0);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(seenByOther[0], std::vector<AUValue>{42.0f});
        EXPECT_TRUE(seenByWriter[0].empty());
    }

    // Service side → host: a factory preset set there reaches every host
    // observer once per parameter, and nothing echoes back to change it again.
    {
        std::lock_guard lock(mutex);
        seenByOther.clear();
        seenByWriter.clear();
    }
    proxy.setCurrentPreset(proxy.factoryPresets()[1]);
    const auto after = proxy.fullState();
    std::lock_guard lock(mutex);
    for (const auto& parameter : tree->allParameters()) {
        const auto key = std::to_string(parameter->address());
        const auto expected = after["parameters"][key].get<AUValue>();
        EXPECT_EQ(parameter->value(), expected) << key;
        ASSERT_LE(seenByOther[parameter->address()].size(), 1u) << key;
        EXPECT_EQ(seenByWriter[parameter->address()].size(), seenByOther[parameter->address()].size()) << key;
    }
    EXPECT_EQ(proxy.currentPreset()->name(), proxy.factoryPresets()[1]->name());
    tree->removeParameterObserver(other);
    tree->removeParameterObserver(writer);
}

TEST(OutOfProcess, FullStateCrossesWholeAndBadStatesAreRefused) {
    auto both = loadBoth();
    ASSERT_TRUE(both.local && both.proxy);
    auto& proxy = *both.proxy;
    int allChanged = 0;
    const auto token = proxy.observeAllParameterValues([&] { ++allChanged; });

    auto state = both.local->auAudioUnit()->fullState();
    state["parameters"]["3"] = 12.0;
    state["parameters"]["13"] = 1.0;
    state["preset"] = nullptr;
    foundation::NSError error;
    ASSERT_TRUE(proxy.setFullState(state, &error)) << error.description;
    // By the time the call returns, the mirror holds the values and the
    // all-values notification has arrived.
    EXPECT_EQ(proxy.parameterTree()->parameterWithAddress(3)->value(), 12.0f);
    EXPECT_EQ(proxy.parameterTree()->parameterWithAddress(13)->value(), 1.0f);
    EXPECT_EQ(allChanged, 1);
    EXPECT_EQ(proxy.fullState(), state);

    auto foreign = state;
    foreign["subtype"] = 1234;
    EXPECT_FALSE(proxy.setFullState(foreign, &error));
    EXPECT_EQ(error.code, kAudioUnitErr_InvalidPropertyValue);
    EXPECT_FALSE(proxy.setFullStateData("not json", &error));
    EXPECT_EQ(proxy.fullState(), state);

    // A state far larger than a socket packet crosses whole; one above the
    // largest packet is refused before sending, and the service goes on.
    proxy.setHangTimeout(std::chrono::seconds(20));  // room for sanitizer builds
    auto large = state;
    large["parameters"]["3"] = 20.0;
    large["notes"] = std::string(1'200'000, 'n');
    ASSERT_TRUE(proxy.setFullState(large, &error)) << error.description;
    EXPECT_EQ(proxy.parameterTree()->parameterWithAddress(3)->value(), 20.0f);
    large["notes"] = std::string(16u << 20, 'n');
    EXPECT_FALSE(proxy.setFullState(large, &error));
    EXPECT_EQ(error.code, kAudioUnitErr_InvalidPropertyValue);
    EXPECT_THAT(error.description,
                ::testing::MatchesRegex("The request is too large for the audio unit's service \\(167[0-9]{5} bytes; "
                                        "at most 16 MiB\\)"));
    EXPECT_TRUE(proxy.isServiceAlive());
    EXPECT_EQ(proxy.fullState()["parameters"]["3"], 20.0);
    proxy.removeAllParameterValuesObserver(token);
}
