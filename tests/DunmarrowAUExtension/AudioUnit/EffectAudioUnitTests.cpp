// The effect's audio unit: description, tree and kernel wired both ways, presets, texts, the real render path.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>
#include <tuple>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "AllocationCounter.hpp"
#include "DunmarrowAUExtensionAudioUnit.hpp"
#include "ParameterDefinitions.hpp"
#include "TempDir.hpp"
#include "UnitHost.hpp"

using namespace audiounit;
using namespace dunmarrow_dsp;  // parameter addresses and the table

namespace {

using Unit = DunmarrowAUExtensionAudioUnit;
using EffectHost = testsupport::UnitHost;

std::shared_ptr<Unit> makeEffect() {
    auto unit = AUAudioUnit::create<Unit>(Unit::kComponentDescription, kAudioComponentInstantiation_None);
    if (unit) unit->setupParameterTree(createParameterTree(parameterTreeSpec()));
    return unit;
}
bool setFormats(Unit& unit, double rate, AVAudioChannelCount inputChannels, AVAudioChannelCount outputChannels) {
    return (*unit.inputBusses())[0]->setFormat(AVAudioFormat::makeStandard(rate, inputChannels)) &&
           (*unit.outputBusses())[0]->setFormat(AVAudioFormat::makeStandard(rate, outputChannels));
}

// By address, from the kernel or from the tree.
std::vector<float> valuesOf(Unit& unit, bool inKernel) {
    std::vector<float> values;
    for (AUParameterAddress a = 0; a < kParameterCount; ++a)
        values.push_back(inKernel ? unit.dspKernel().getParameter(a) : unit.parameterTree()->parameterWithAddress(a)->value());
    return values;
}
std::vector<float> defaults() {
    std::vector<float> values(kParameterCount);
    for (const auto& row : kParameters) values[row.address] = row.defaultValue;
    return values;
}
void setAll(Unit& unit, const std::vector<float>& byAddress) {
    for (std::size_t a = 0; a < byAddress.size(); ++a) unit.parameterTree()->parameterWithAddress(a)->setValue(byAddress[a]);
}
const std::vector<float> kEveryStageOn{90, 60, 80, 70, 0.9f, 100, 100, 100, 100, 80, 0.6f, 1, 1, 0};

}  // namespace

// After the unit is gone, the tree's callbacks neither keep it alive nor reach it.
TEST(EffectAudioUnit, DescriptionBussesAndTheTreeWiredToTheKernel) {
    auto bare = AUAudioUnit::create<Unit>(Unit::kComponentDescription, kAudioComponentInstantiation_None);
    ASSERT_TRUE(bare);
    const auto& description = bare->componentDescription();
    EXPECT_EQ(fourCharCodeString(description.componentType) + fourCharCodeString(description.componentSubType) +
                  fourCharCodeString(description.componentManufacturer),
              "aufxdmdsQVRN");
    for (const auto& [bus, maximum] : {std::pair{(*bare->inputBusses())[0], 8u}, {(*bare->outputBusses())[0], 2u}})
        EXPECT_TRUE(bus->format()->isStandard() && bus->format()->sampleRate() == 44100.0 &&
                    bus->format()->channelCount() == 2u && bus->maximumChannelCount() == maximum);
    EXPECT_EQ(bare->channelCapabilities(), (std::vector<NSInteger>{2, 2}));
    bare->setMaximumFramesToRender(333);
    EXPECT_EQ(bare->dspKernel().getMaximumFramesToRender(), 333u);
    bare->setMaximumFramesToRender(200'000'000);  // refused before the kernel allocates for it
    EXPECT_EQ(bare->maximumFramesToRender(), 333u);
    bare->setShouldBypassEffect(true);
    EXPECT_TRUE(bare->dspKernel().isBypassed());
    const float before = bare->dspKernel().getParameter(kTightAddress);
    bare->applyPresetValues({{kTightAddress, 3.f}});
    bare->setCurrentPreset(AUAudioUnitPreset::make(1, ""));
    EXPECT_EQ(bare->dspKernel().getParameter(kTightAddress), before);

    auto unit = makeEffect();
    const auto tree = unit->parameterTree();
    ASSERT_TRUE(tree);
    EXPECT_EQ(valuesOf(*unit, true), defaults());
    tree->parameterWithAddress(8)->setValue(12.5f);
    EXPECT_EQ(unit->dspKernel().getParameter(8), 12.5f);
    // Reads come from the kernel: a scheduled event shows in the tree.
    ASSERT_TRUE(unit->allocateRenderResources());
    EffectHost host;
    unit->scheduleParameterBlock()(AUEventSampleTimeImmediate, 0, 0, 33.f);
    ASSERT_EQ(host.render(*unit, 0, 256), noErr);
    EXPECT_EQ(tree->parameterWithAddress(0)->value(), 33.f);

    const std::weak_ptr<Unit> weak = unit;
    unit.reset();
    EXPECT_TRUE(weak.expired());
    int observed = 0;
    tree->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue) { ++observed; });
    tree->parameterWithAddress(kDriveAddress)->setValue(80.f);
    EXPECT_EQ(observed, 1);
    EXPECT_EQ(tree->parameterWithAddress(kGainAddress)->stringFromValue(0.5f), "0.50");
}

TEST(EffectAudioUnit, EverySupportedRateRendersFiniteSoundAndOthersAreRefused) {
    for (double rate : {0.0, -48000.0, 1e-300, 999.999, 1536000.001, 1e300, std::nan(""), HUGE_VAL})
        EXPECT_FALSE(AVAudioFormat::makeStandard(rate, 2)) << rate;
    EffectHost host;
    host.fillSine(0.9f);
    for (double rate : {AVAudioFormat::kMinimumSampleRate, 11025.0, 44100.0, 192000.0, AVAudioFormat::kMaximumSampleRate}) {
        SCOPED_TRACE(rate);
        auto unit = makeEffect();
        setAll(*unit, kEveryStageOn);
        ASSERT_TRUE(setFormats(*unit, rate, 2, 2));
        unit->setMaximumFramesToRender(EffectHost::kCapacity);
        ASSERT_TRUE(unit->allocateRenderResources());
        float loudest = 0;
        for (int cycle = 0; cycle < 4; ++cycle) {
            ASSERT_EQ(host.render(*unit, cycle * double{EffectHost::kCapacity}, EffectHost::kCapacity), noErr);
            for (std::size_t c = 0; c < 2; ++c)
                for (AUAudioFrameCount i = 0; i < EffectHost::kCapacity; ++i) {
                    ASSERT_TRUE(std::isfinite(host.out(c, i))) << "cycle " << cycle << " channel " << c << " frame " << i;
                    loudest = std::max(loudest, std::fabs(host.out(c, i)));
                }
        }
        EXPECT_GT(loudest, 0.01f);
    }
}

// Raised while allocated, the maximum cycle waits for the next allocation (the pull buffer's size).
TEST(EffectAudioUnit, AllocationChannelsLevelsAndTheMaximumCycle) {
    auto unit = makeEffect();
    ASSERT_TRUE(setFormats(*unit, 44100, 1, 2));
    foundation::NSError error;
    EXPECT_FALSE(unit->allocateRenderResources(&error));
    EXPECT_EQ(error.code, kAudioUnitErr_FailedInitialization);

    ASSERT_TRUE(setFormats(*unit, 44100, 1, 1));
    ASSERT_TRUE(unit->allocateRenderResources(&error)) << error.localizedDescription();
    EXPECT_FALSE((*unit->inputBusses())[0]->setFormat(AVAudioFormat::makeStandard(44100, 2), &error));
    EXPECT_EQ(error.code, kAudioUnitErr_Initialized);
    EffectHost mono(1);
    mono.fillSine(0.5f);
    mono.input->floatChannelData()[0][100] = -0.75f;
    ASSERT_EQ(mono.render(*unit, 0, 1024), noErr);
    EXPECT_EQ(unit->inputLevel(), 0.75f);
    EXPECT_GT(unit->outputLevel(), 0.f);
    EXPECT_EQ(mono.render(*unit, 1024, 1025), kAudioUnitErr_TooManyFramesToProcess);
    unit->setMaximumFramesToRender(4096);
    EXPECT_EQ(mono.render(*unit, 0, 2048), kAudioUnitErr_TooManyFramesToProcess);

    unit->deallocateRenderResources();
    EXPECT_EQ(unit->inputLevel(), 0.f);
    EXPECT_EQ(unit->outputLevel(), 0.f);
    ASSERT_TRUE(unit->allocateRenderResources());
    EXPECT_EQ(mono.render(*unit, 0, 4096), noErr);
}

// Selection goes by number, through the tree; a user preset chosen on the effect changes nothing.
TEST(EffectAudioUnit, FactoryPresetsAndUserPresetSelection) {
    auto unit = makeEffect();
    const auto presets = unit->factoryPresets();
    ASSERT_EQ(presets.size(), 3u);  // (numbers and names: RenderTool.ListsPresetsAndParameters)
    EXPECT_EQ(unit->currentPreset(), presets[0]);

    int notifications = 0;
    unit->parameterTree()->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue) { ++notifications; });
    unit->setCurrentPreset(AUAudioUnitPreset::make(1, "Blackwall"));
    EXPECT_EQ(notifications, 14);
    EXPECT_EQ(unit->currentPreset(), presets[1]);
    const std::vector<float> glassTeeth{51.93f, 0, 38.72f, 0, 0.72f, 0, 100, 0, 97.41f, 0, 0, 0, 0, 0};
    EXPECT_EQ(valuesOf(*unit, false), glassTeeth);
    EXPECT_EQ(valuesOf(*unit, true), glassTeeth);

    unit->setCurrentPreset(presets[2]);
    EXPECT_EQ(unit->dspKernel().getParameter(kGainAddress), 0.65f);
    EXPECT_EQ(unit->dspKernel().getParameter(kDensityAddress), 85.f);
    EXPECT_EQ(unit->dspKernel().getParameter(kTouchAddress), 80.f);
    unit->setCurrentPreset(presets[0]);
    EXPECT_EQ(valuesOf(*unit, true), defaults());

    testsupport::TempDir folder;
    unit->setUserPresetsDirectory(folder.path());
    unit->parameterTree()->parameterWithAddress(kDecimationAddress)->setValue(0.25f);
    foundation::NSError error;
    ASSERT_TRUE(unit->saveUserPreset(AUAudioUnitPreset::make(-1, "Doom Lead"), &error)) << error.localizedDescription();
    unit->parameterTree()->parameterWithAddress(kDecimationAddress)->setValue(0.5f);
    unit->setCurrentPreset(AUAudioUnitPreset::make(-1, "Doom Lead"));
    EXPECT_EQ(unit->currentPreset(), presets[0]);
    EXPECT_EQ(unit->dspKernel().getParameter(kDecimationAddress), 0.5f);
}

// A German locale compiled into a temporary folder, if the machine has the sources.
TEST(EffectAudioUnit, ValueTextsUseTheUsersDecimalSeparator) {
    auto unit = makeEffect();
    auto tree = unit->parameterTree();
    ::setenv("LC_ALL", "C", 1);
    const std::tuple<AUParameterAddress, std::optional<float>, const char*> cases[] = {
        {kDriveAddress, 65.4f, "65"},          {kDriveAddress, 65.6f, "66"},         {kTouchAddress, 0.f, "0"},
        {kGainAddress, 0.8f, "0.80"},          {kDecimationAddress, 0.5f, "0.50"},  {kDoubleTrackAddress, 1.f, "1.00"},
        {kStereoSpreadAddress, 0.125f, "0.12"}, {kLiveSafeAddress, 0.5f, "On"},      {kLiveSafeAddress, 0.49f, "Off"},
        {kDriveAddress, std::nullopt, "-"},    {kLiveSafeAddress, std::nullopt, "-"},
    };
    for (const auto& [address, value, expected] : cases)
        EXPECT_EQ(tree->parameterWithAddress(address)->stringFromValue(value), expected) << address;
    ::unsetenv("LC_ALL");
    if (!std::filesystem::exists("/usr/share/i18n/locales/de_DE") || std::system("command -v localedef >/dev/null") != 0)
        GTEST_SKIP() << "no locale sources or localedef: the comma locale cannot be built here";
    testsupport::TempDir folder;
    const std::string command = "localedef -i de_DE -f UTF-8 '" + folder.path("de_DE.UTF-8") + "' 2>/dev/null";
    const int status = std::system(command.c_str());
    if (!std::filesystem::exists(folder.path() / "de_DE.UTF-8")) GTEST_SKIP() << "localedef failed with status " << status;
    ::setenv("LOCPATH", folder.path().c_str(), 1);
    ::setenv("LC_ALL", "de_DE.UTF-8", 1);
#if defined(__SANITIZE_ADDRESS__)
    // glibc keeps a LOCPATH locale's search path for the life of the process.
    __lsan_disable();
#endif
    const std::string gain = tree->parameterWithAddress(kGainAddress)->stringFromValue(0.8f);
    const std::string drive = tree->parameterWithAddress(kDriveAddress)->stringFromValue(65.4f);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_enable();
#endif

    ::unsetenv("LC_ALL");
    ::unsetenv("LOCPATH");
    EXPECT_EQ(gain, "0,80");
    EXPECT_EQ(drive, "65");
}

// Every stage on, NaN input, every cycle size, in place or not, while the editor's thread writes.
TEST(EffectAudioUnit, TheRenderPathAllocatesNothingWhileOtherThreadsChangeAndReadIt) {
    auto unit = makeEffect();
    auto values = kEveryStageOn;
    values[kLiveSafeAddress] = 1;
    setAll(*unit, values);
    unit->setMaximumFramesToRender(512);
    ASSERT_TRUE(unit->allocateRenderResources());
    EffectHost host;
    host.fillSine(0.9f);
    host.input->floatChannelData()[0][300] = NAN;
    const auto& schedule = unit->scheduleParameterBlock();
    const std::uint8_t noteOn[3] = {0x90, 60, 100};
    audiounit::AudioBufferListStorage inPlace(2);

    std::atomic<bool> stop{false};
    std::jthread editor([&] {
        const auto& parameters = unit->parameterTree()->allParameters();
        for (std::size_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
            const auto& p = parameters[i % parameters.size()];
            p->setValue(p->minValue() + (p->maxValue() - p->minValue()) * static_cast<float>(i % 10) / 10.f,
                        AUParameterObserverToken{}, 0,
                        i % 3 == 0 ? AUParameterAutomationEventTypeTouch : AUParameterAutomationEventTypeValue);
            (void)p->value();
            if (i % 700 == 0) unit->setCurrentPreset(unit->factoryPresets()[(i / 700) % 3]);
        }
    });
    rtcheck::ScopedAllocationCounter counter;
    double time = 0;
    for (int cycle = 0; cycle < 2000; ++cycle) {
        const auto frames = static_cast<AUAudioFrameCount>(1 + (cycle * 37) % 512);
        const auto now = static_cast<AUEventSampleTime>(time);
        schedule(now + frames / 3, 0, static_cast<AUParameterAddress>(cycle % 13), values[static_cast<std::size_t>(cycle % 13)] * 0.9f);
        schedule(now + frames / 2, 0, kGainAddress, 0.5f);
        unit->scheduleMIDIEventBlock()(now + frames - 1, 0, 3, noteOn);
        if (cycle % 500 == 100) unit->setShouldBypassEffect(cycle % 1000 == 100);
        OSStatus status = noErr;
        if (cycle % 2 == 1) {
            for (auto& b : inPlace->buffers()) b = AudioBuffer{1, 0, nullptr};
            AudioTimeStamp ts{};
            ts.mSampleTime = time;
            AudioUnitRenderActionFlags flags = 0;
            status = unit->renderBlock()(&flags, &ts, frames, 0, inPlace.get(), &host.pull);
        } else {
            status = host.render(*unit, time, frames);
        }
        EXPECT_EQ(status, noErr) << "cycle " << cycle;
        time += frames;
    }
    const auto counts = counter.stop();
    stop = true;
    EXPECT_EQ(counts.total(), 0u) << counts.allocations << " allocations, " << counts.frees << " frees";
    EXPECT_TRUE(std::isfinite(unit->outputLevel()) && unit->outputLevel() > 0.f);
}
