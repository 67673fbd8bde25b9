// dunmarrow-render's back end on the real effect: exactly the kernel's output, allocating nothing.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "AllocationCounter.hpp"
#include "BundleTestSupport.hpp"
#include "CycleBuffers.hpp"
#include "DunmarrowAUExtensionDSPKernel.hpp"
#include "GuitarLikeInput.hpp"
#include "RegistryBackend.hpp"
#include "TempDir.hpp"
#include "ToolError.hpp"
#include "audiounit/AudioComponentRegistry.hpp"

using namespace audiounit;
using namespace bundletest;

namespace {

using testsupport::Channels;

// Cycle by cycle over whole channels, as the tool's file loop does.
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

// Every value set before initialisation, so none glides.
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

std::map<AUParameterAddress, float> valuesOf(float ParameterRow::*column) {
    std::map<AUParameterAddress, float> values;
    for (const ParameterRow& row : kParameters) values[row.address] = row.*column;
    return values;
}

std::unique_ptr<render::RegistryBackend> loadEffect() {
    AudioComponentRegistry::shared().rescan();
    return render::RegistryBackend::load(kDunmarrow);
}

// The defaults in mono, then a preset with settings on top in stereo.
TEST(RealUnitRender, MatchesTheKernelDrivenDirectlyBitForBitWithoutAllocating) {
    constexpr std::uint32_t kBlock = 256;
    constexpr std::uint32_t kFrames = kBlock * 24 + 77;  // the last cycle is short
    for (const std::uint32_t channels : {1u, 2u}) {
        SCOPED_TRACE(channels);
        const Channels input = testsupport::guitarLikeInput(channels, kFrames);
        auto effect = loadEffect();
        auto values = valuesOf(&ParameterRow::defaultValue);
        if (channels == 2) {
            effect->selectPreset("1");
            effect->setParameter("liveSafe", "on");
            effect->setParameter("global.doubleTrack", "0.5");
            effect->setParameter("stereoSpread", "+7e-1");
            effect->setParameter("drive", "150");  // held to 100 by the tool
            values = valuesOf(&ParameterRow::glassTeeth);
            for (const auto& [address, value] : {std::pair{13u, 1.0f}, {11u, 0.5f}, {12u, 0.7f}, {0u, 100.0f}})
                values[address] = value;
        }
        effect->prepare({48000.0, channels, kBlock, false});
        CycleDriver driver(input);
        ASSERT_EQ(driver.cycle(*effect, kBlock), noErr);  // warm-up outside the count
        rtcheck::ScopedAllocationCounter counter;
        driver.renderAll(*effect, kBlock);
        EXPECT_EQ(counter.stop().total(), 0u);

        const Channels expected = kernelReference(input, values, 48000.0, kBlock);
        for (std::uint32_t c = 0; c < channels; ++c)
            EXPECT_EQ(std::memcmp(driver.output[c].data(), expected[c].data(), kFrames * sizeof(float)), 0)
                << "channel " << c;
        EXPECT_NE(driver.output[0], input[0]);  // and the effect did something
    }
}

template <typename Call>
std::pair<std::string, int> failureOf(Call call) {
    try {
        call();
    } catch (const render::ToolError& e) {
        return {e.what(), e.exitStatus()};
    }
    return {"no error", 0};
}

// Refusals change nothing; numbers name factory presets only; user presets list in columns.
TEST(RealUnitChoices, PresetsAndSettingsAreChosenOrRefusedAndOversizedCyclesRefused) {
    testsupport::TempDir folder;
    auto effect = loadEffect();
    effect->audioUnit().setUserPresetsDirectory(folder.path());
    const auto tree = effect->audioUnit().parameterTree();
    foundation::NSError error;
    tree->parameterWithAddress(8)->setValue(12);  // grind
    ASSERT_TRUE(effect->audioUnit().saveUserPreset(AUAudioUnitPreset::make(-1, "Sludge Floor"), &error))
        << error.localizedDescription();
    ASSERT_TRUE(effect->audioUnit().saveUserPreset(AUAudioUnitPreset::make(-12, "Other"), &error));
    effect->selectPreset("0");
    EXPECT_TRUE(effect->presetListing().ends_with("User presets:\n  -1   Sludge Floor\n  -12  Other\n"))
        << effect->presetListing();

    using Failure = std::pair<std::string, int>;
    const std::pair<std::function<void()>, std::string> refusals[] = {
        {[&] { effect->selectPreset("-1"); }, "no factory preset has the number -1 (see --list-presets)"},
        {[&] { effect->setParameter("global", "1"); }, "unknown parameter 'global' (see --list-parameters)"},
    };
    for (const auto& [call, text] : refusals) EXPECT_EQ(failureOf(call), Failure(text, 2));
    for (const char* text : {"1,5", "0x10", "nan", "5 ", "on"}) {  // "" and "loud": RenderTool's refusal table
        EXPECT_EQ(failureOf([&] { effect->setParameter("drive", text); }),
                  Failure("cannot set drive to '" + std::string(text) + "': not a number", 2));
    }
    for (const ParameterRow& row : kParameters)
        EXPECT_EQ(tree->parameterWithAddress(row.address)->value(), row.defaultValue) << row.identifier;
    EXPECT_EQ(effect->audioUnit().currentPreset()->name(), "Blackwall");

    effect->selectPreset("funeral bloom");
    EXPECT_EQ(effect->audioUnit().currentPreset()->name(), "Funeral Bloom");
    effect->selectPreset("sludge floor");
    EXPECT_EQ(tree->parameterWithAddress(8)->value(), 12.0f);

    effect->prepare({44100.0, 1, 64, false});
    const Channels input(1, std::vector<float>(65));
    CycleDriver driver(input);
    EXPECT_EQ(driver.cycle(*effect, 65), kAudioUnitErr_TooManyFramesToProcess);
}

}  // namespace
