// dunmarrow-render's back end on the real effect, loaded through the registry:
// it renders exactly what the effect's kernel renders when driven directly
// with the same values (or copies its input, bypassed), its cycles allocate
// nothing, and presets and settings reach the unit through its presets and
// parameter tree.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "AllocationCounter.hpp"
#include "BundleTestSupport.hpp"
#include "CycleBuffers.hpp"
#include "DunmarrowAUExtensionDSPKernel.hpp"
#include "RegistryBackend.hpp"
#include "ToolError.hpp"
#include "audiounit/AudioComponentRegistry.hpp"

using namespace audiounit;
using namespace bundletest;

namespace {

using testsupport::Channels;

Channels riffLikeInput(std::uint32_t channels, std::uint32_t frames) {
    Channels in(channels, std::vector<float>(frames));
    for (std::uint32_t c = 0; c < channels; ++c)
        for (std::uint32_t i = 0; i < frames; ++i) {
            const double t = i / 48000.0;
            in[c][i] = static_cast<float>(0.4 * std::sin(2 * M_PI * (82.4 + 3 * c) * t) * std::exp(-3.0 * t) +
                                          0.1 * std::sin(2 * M_PI * 1650.0 * t));
        }
    return in;
}

// Drives a back end over whole input channels, cycle by cycle, the way the
// tool's file loop does.
struct CycleDriver : testsupport::CycleBuffers {
    using CycleBuffers::CycleBuffers;

    OSStatus cycle(render::RenderBackend& backend, std::uint32_t frames) {
        AudioTimeStamp time;
        AudioBufferList* list = nextOutput(frames, time);
        const OSStatus status = backend.render(time, frames, list, pull);
        position += frames;
        return status;
    }

    void renderAll(render::RenderBackend& backend, std::uint32_t block) {
        while (position < input[0].size()) {
            const auto frames = std::min<std::uint32_t>(block, static_cast<std::uint32_t>(input[0].size()) - position);
            ASSERT_EQ(cycle(backend, frames), noErr) << "at frame " << position;
        }
    }
};

// The kernel on its own: every value set before it is initialised (so no
// value glides), then one process call per cycle.
Channels kernelReference(const Channels& input, const std::map<AUParameterAddress, float>& values, double rate,
                         std::uint32_t block) {
    const auto channels = static_cast<std::uint32_t>(input.size());
    const auto frames = static_cast<std::uint32_t>(input[0].size());
    DunmarrowAUExtensionDSPKernel kernel;
    kernel.setMaximumFramesToRender(block);
    for (const auto& [address, value] : values) kernel.setParameter(address, value);
    kernel.initialize(static_cast<std::int32_t>(channels), static_cast<std::int32_t>(channels), rate);
    Channels output(channels, std::vector<float>(frames));
    for (std::uint32_t at = 0; at < frames; at += block) {
        const std::uint32_t n = std::min(block, frames - at);
        std::vector<const float*> in;
        std::vector<float*> out;
        for (std::uint32_t c = 0; c < channels; ++c) {
            in.push_back(input[c].data() + at);
            out.push_back(output[c].data() + at);
        }
        kernel.process(std::span<const float*>(in), std::span<float*>(out), at, n);
    }
    kernel.deinitialize();
    return output;
}

std::map<AUParameterAddress, float> defaults() {
    std::map<AUParameterAddress, float> values;
    for (const ParameterRow& row : kParameters) values[row.address] = row.defaultValue;
    return values;
}

std::map<AUParameterAddress, float> glassTeeth() {
    std::map<AUParameterAddress, float> values;
    for (const ParameterRow& row : kParameters) values[row.address] = row.glassTeeth;
    return values;
}

std::unique_ptr<render::RegistryBackend> loadEffect() {
    AudioComponentRegistry::shared().rescan();
    return render::RegistryBackend::load(kDunmarrow);
}

// How a case configures the effect, and the values the kernel then holds
// (none: bypassed, the input comes out unchanged).
struct RenderCase {
    const char* name;
    std::uint32_t channels;
    void (*configure)(render::RegistryBackend&);
    std::map<AUParameterAddress, float> (*values)();
};

void PrintTo(const RenderCase& renderCase, std::ostream* os) { *os << renderCase.name; }

class RealUnitRender : public ::testing::TestWithParam<RenderCase> {};

TEST_P(RealUnitRender, MatchesTheKernelDrivenDirectlyBitForBitWithoutAllocating) {
    const RenderCase& rc = GetParam();
    constexpr std::uint32_t kBlock = 256;
    constexpr std::uint32_t kFrames = kBlock * 24 + 77;  // the last cycle is short
    const Channels input = riffLikeInput(rc.channels, kFrames);

    auto effect = loadEffect();
    rc.configure(*effect);
    effect->prepare({48000.0, rc.channels, kBlock, rc.values == nullptr});
    CycleDriver driver(input);
    ASSERT_EQ(driver.cycle(*effect, kBlock), noErr);  // warm-up outside the count
    rtcheck::ScopedAllocationCounter counter;
    driver.renderAll(*effect, kBlock);
    EXPECT_EQ(counter.stop().total(), 0u);

    if (rc.values == nullptr) {
        EXPECT_EQ(driver.output, input);
        return;
    }
    const Channels expected = kernelReference(input, rc.values(), 48000.0, kBlock);
    for (std::uint32_t c = 0; c < rc.channels; ++c)
        EXPECT_EQ(std::memcmp(driver.output[c].data(), expected[c].data(), kFrames * sizeof(float)), 0)
            << "channel " << c;
    EXPECT_NE(driver.output[0], input[0]);  // and the effect did something
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RealUnitRender,
    ::testing::Values(
        RenderCase{"DefaultsMono", 1, [](render::RegistryBackend&) {}, defaults},
        RenderCase{"DefaultsStereo", 2, [](render::RegistryBackend&) {}, defaults},
        RenderCase{"BypassedMono", 1, [](render::RegistryBackend&) {}, nullptr},
        RenderCase{"BypassedStereo", 2, [](render::RegistryBackend&) {}, nullptr},
        RenderCase{"GlassTeethByName", 2, [](render::RegistryBackend& e) { e.selectPreset("Glass Teeth"); },
                   glassTeeth},
        RenderCase{"PresetBySettings", 2,
                   [](render::RegistryBackend& e) {
                       for (const ParameterRow& row : kParameters)
                           e.setParameter(row.identifier, std::to_string(row.glassTeeth));
                   },
                   glassTeeth},
        RenderCase{"PresetThenSettings", 2,
                   [](render::RegistryBackend& e) {
                       e.selectPreset("1");
                       e.setParameter("liveSafe", "on");
                       e.setParameter("global.doubleTrack", "0.5");
                       e.setParameter("stereoSpread", "+7e-1");
                       e.setParameter("drive", "150");  // held to 100 by the tool
                   },
                   [] {
                       auto values = glassTeeth();
                       values[13] = 1.0f;
                       values[11] = 0.5f;
                       values[12] = 0.7f;
                       values[0] = 100.0f;
                       return values;
                   }}),
    [](const ::testing::TestParamInfo<RenderCase>& p) { return std::string(p.param.name); });

// The text and exit status of the ToolError a call throws.
template <typename Call>
std::pair<std::string, int> failureOf(Call call) {
    try {
        call();
    } catch (const render::ToolError& e) {
        return {e.what(), e.exitStatus()};
    }
    return {"no error", 0};
}

TEST(RealUnitChoices, UnknownPresetsParametersValuesAndOversizedCyclesAreRefusedAndChangeNothing) {
    auto effect = loadEffect();
    const auto tree = effect->audioUnit().parameterTree();
    using Failure = std::pair<std::string, int>;
    EXPECT_EQ(failureOf([&] { effect->selectPreset("Velvet"); }),
              Failure("unknown preset 'Velvet' (see --list-presets)", 2));
    EXPECT_EQ(failureOf([&] { effect->selectPreset("3"); }),
              Failure("no factory preset has the number 3 (see --list-presets)", 2));
    EXPECT_EQ(failureOf([&] { effect->setParameter("volume", "1"); }),
              Failure("unknown parameter 'volume' (see --list-parameters)", 2));
    EXPECT_EQ(failureOf([&] { effect->setParameter("global", "1"); }),
              Failure("unknown parameter 'global' (see --list-parameters)", 2));
    for (const char* text : {"", "loud", "1,5", "0x10", "nan", "5 ", "on"}) {
        EXPECT_EQ(failureOf([&] { effect->setParameter("drive", text); }),
                  Failure("cannot set drive to '" + std::string(text) + "': not a number", 2));
    }
    for (const ParameterRow& row : kParameters)
        EXPECT_EQ(tree->parameterWithAddress(row.address)->value(), row.defaultValue) << row.identifier;
    EXPECT_EQ(effect->audioUnit().currentPreset()->name(), "Blackwall");

    // Names ignore case; numbers name factory presets.
    effect->selectPreset("funeral bloom");
    EXPECT_EQ(effect->audioUnit().currentPreset()->name(), "Funeral Bloom");
    effect->selectPreset("0");
    EXPECT_EQ(effect->audioUnit().currentPreset()->name(), "Blackwall");

    // A cycle above the maximum is refused.
    effect->prepare({44100.0, 1, 64, false});
    const Channels input(1, std::vector<float>(65));
    CycleDriver driver(input);
    EXPECT_EQ(driver.cycle(*effect, 65), kAudioUnitErr_TooManyFramesToProcess);
}

TEST(RealUnitChoices, UserPresetsAreListedAndRestoredByName) {
    const fs::path folder = fs::temp_directory_path() / ("dunmarrow-bundle-presets-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    {
        auto effect = loadEffect();
        effect->audioUnit().setUserPresetsDirectory(folder);
        EXPECT_EQ(effect->presetListing(),
                  "Factory presets:\n"
                  "  0  Blackwall\n"
                  "  1  Glass Teeth\n"
                  "  2  Funeral Bloom\n"
                  "User presets: none\n");

        effect->setParameter("grind", "12");
        effect->setParameter("liveSafe", "ON");
        foundation::NSError error;
        ASSERT_TRUE(effect->audioUnit().saveUserPreset(AUAudioUnitPreset::make(-1, "Sludge Floor"), &error))
            << error.localizedDescription();
        effect->setParameter("grind", "99");
        ASSERT_TRUE(effect->audioUnit().saveUserPreset(AUAudioUnitPreset::make(-12, "Other"), &error));

        EXPECT_EQ(effect->presetListing(),
                  "Factory presets:\n"
                  "  0  Blackwall\n"
                  "  1  Glass Teeth\n"
                  "  2  Funeral Bloom\n"
                  "User presets:\n"
                  "  -1   Sludge Floor\n"
                  "  -12  Other\n");

        effect->selectPreset("Glass Teeth");
        effect->selectPreset("sludge floor");
        const auto tree = effect->audioUnit().parameterTree();
        EXPECT_EQ(tree->parameterWithAddress(8)->value(), 12.0f);
        EXPECT_EQ(tree->parameterWithAddress(13)->value(), 1.0f);
        EXPECT_EQ(tree->parameterWithAddress(0)->value(), 65.0f);  // drive as saved, not as in Glass Teeth

        // A user preset is chosen by name only.
        EXPECT_EQ(failureOf([&] { effect->selectPreset("-1"); }).first,
                  "no factory preset has the number -1 (see --list-presets)");
    }
    fs::remove_all(folder);
}

TEST(RealUnitLoading, AMissingEffectIsAClearError) {
    const AudioComponentDescription absent{fourCharCode("aufx"), fourCharCode("none"), fourCharCode("QVRN"), 0, 0};
    AudioComponentRegistry::shared().rescan();
    const auto failure = failureOf([&] { (void)render::RegistryBackend::load(absent); });
    EXPECT_EQ(failure.first,
              "cannot find the effect: No installed audio unit matches type aufx, subtype none, manufacturer QVRN "
              "(build the target DunmarrowAUExtension, or name the folder holding DunmarrowAUExtension.auext in "
              "DUNMARROW_AUDIO_UNIT_PATH)");
    EXPECT_EQ(failure.second, 1);
}

}  // namespace
