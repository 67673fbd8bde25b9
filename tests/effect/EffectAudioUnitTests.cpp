#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "AllocationCounter.hpp"
#include "EffectHost.hpp"

using namespace audiounit;
using namespace effecttest;

TEST(EffectAudioUnit, AfterConstructionBeforeTheTree) {
    foundation::NSError error;
    auto unit = AUAudioUnit::create<Unit>(Unit::kComponentDescription, kAudioComponentInstantiation_None, &error);
    ASSERT_TRUE(unit) << error.localizedDescription();
    EXPECT_EQ(unit->componentDescription().componentType, fourCharCode("aufx"));
    EXPECT_EQ(unit->componentDescription().componentSubType, fourCharCode("dmds"));
    EXPECT_EQ(unit->componentDescription().componentManufacturer, fourCharCode("QVRN"));

    ASSERT_EQ(unit->inputBusses()->count(), 1);
    ASSERT_EQ(unit->outputBusses()->count(), 1);
    EXPECT_EQ(unit->inputBusses()->busType(), AUAudioUnitBusTypeInput);
    EXPECT_EQ(unit->outputBusses()->busType(), AUAudioUnitBusTypeOutput);
    for (const auto& bus : {(*unit->inputBusses())[0], (*unit->outputBusses())[0]}) {
        EXPECT_EQ(bus->format()->sampleRate(), 44100.0);
        EXPECT_EQ(bus->format()->channelCount(), 2u);
        EXPECT_TRUE(bus->format()->isStandard());
    }
    EXPECT_EQ((*unit->inputBusses())[0]->maximumChannelCount(), 8u);
    EXPECT_EQ((*unit->outputBusses())[0]->maximumChannelCount(), 2u);
    EXPECT_EQ(unit->channelCapabilities(), (std::vector<NSInteger>{2, 2}));
    EXPECT_EQ(unit->maximumFramesToRender(), 1024u);
    EXPECT_FALSE(unit->shouldBypassEffect());
    EXPECT_EQ(unit->inputLevel(), 0.f);
    EXPECT_EQ(unit->outputLevel(), 0.f);
    EXPECT_EQ(unit->parameterTree(), nullptr);
    EXPECT_EQ(unit->currentPreset(), nullptr);
    EXPECT_EQ(unit->latency(), 0.0);
    EXPECT_EQ(unit->tailTime(), 0.0);

    // A failing base initialiser is the construction's error.
    EXPECT_FALSE(AUAudioUnit::create<Unit>(AudioComponentDescription{}, kAudioComponentInstantiation_None, &error));
    EXPECT_EQ(error.domain, foundation::NSOSStatusErrorDomain);
}

TEST(EffectAudioUnit, TheTreeReachesTheKernelBothWays) {
    auto unit = makeEffect();
    auto tree = unit->parameterTree();
    ASSERT_TRUE(tree);
    // The kernel's own initial targets (tight 75, gain 0.25) gave way to the tree's defaults.
    EXPECT_EQ(unit->dspKernel().getParameter(1), 100.f) ;
    EXPECT_EQ(unit->dspKernel().getParameter(4), 0.8f);
    EXPECT_EQ(unit->dspKernel().getParameter(9), 50.f);

    tree->parameterWithAddress(8)->setValue(12.5f);
    EXPECT_EQ(unit->dspKernel().getParameter(8), 12.5f);

    // Reads come from the kernel's target: a scheduled event changes the
    // kernel, and the tree reports it.
    ASSERT_TRUE(unit->allocateRenderResources());
    EffectHost host;
    unit->scheduleParameterBlock()(AUEventSampleTimeImmediate, 0, 0, 33.f);
    ASSERT_EQ(host.render(*unit, 0, 256), noErr);
    EXPECT_EQ(tree->parameterWithAddress(0)->value(), 33.f);
}

TEST(EffectAudioUnit, MaximumFramesAndBypassAreTheKernels) {
    auto unit = makeEffect();
    unit->setMaximumFramesToRender(333);
    EXPECT_EQ(unit->dspKernel().getMaximumFramesToRender(), 333u);
    EXPECT_EQ(unit->maximumFramesToRender(), 333u);
    unit->setMaximumFramesToRender(200'000'000);  // refused before the kernel allocates for it
    EXPECT_EQ(unit->dspKernel().getMaximumFramesToRender(), 333u);
    unit->setShouldBypassEffect(true);
    EXPECT_TRUE(unit->dspKernel().isBypassed());
    EXPECT_TRUE(unit->shouldBypassEffect());
}

// Formats take rates from 1 kHz to 1536 kHz, and the effect renders finite
// sound across that range with every stage on; rates outside it are refused.
TEST(EffectAudioUnit, EverySupportedRateRendersFiniteSoundAndOthersAreRefused) {
    for (double rate : {0.0, -48000.0, 1e-300, 999.999, 1536000.001, 1e300, std::nan(""), HUGE_VAL})
        EXPECT_FALSE(AVAudioFormat::makeStandard(rate, 2)) << rate;
    const float everyStageOn[] = {90, 60, 80, 70, 0.9f, 100, 100, 100, 100, 80, 0.6f, 1, 1, 0};
    EffectHost host;
    host.fillSine(0.9f);
    for (double rate : {AVAudioFormat::kMinimumSampleRate, 8000.0, 11025.0, 22050.0, 44100.0, 48000.0, 88200.0,
                        96000.0, 176400.0, 192000.0, 352800.0, 384000.0, 705600.0, 768000.0,
                        AVAudioFormat::kMaximumSampleRate}) {
        SCOPED_TRACE(rate);
        auto unit = makeEffect();
        for (std::uint64_t address = 0; address < std::size(everyStageOn); ++address)
            unit->parameterTree()->parameterWithAddress(address)->setValue(everyStageOn[address]);
        const auto format = AVAudioFormat::makeStandard(rate, 2);
        ASSERT_TRUE((*unit->inputBusses())[0]->setFormat(format) && (*unit->outputBusses())[0]->setFormat(format));
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

TEST(EffectAudioUnit, AllocationNeedsEqualChannelCounts) {
    auto unit = makeEffect();
    ASSERT_TRUE(setChannels(*unit, 1, 2));
    foundation::NSError error;
    EXPECT_FALSE(unit->allocateRenderResources(&error));
    EXPECT_EQ(error.domain, foundation::NSOSStatusErrorDomain);
    EXPECT_EQ(error.code, kAudioUnitErr_FailedInitialization);
    EXPECT_EQ(error.code, -10875);
    EXPECT_FALSE(unit->renderResourcesAllocated());
    // Nothing was prepared: no levels, and the host cannot render.
    EXPECT_EQ(unit->inputLevel(), 0.f);
    EffectHost host;
    EXPECT_EQ(host.render(*unit, 0, 64), kAudioUnitErr_Uninitialized);

    // Both mono works, and the kernel renders one channel.
    ASSERT_TRUE(setChannels(*unit, 1, 1));
    ASSERT_TRUE(unit->allocateRenderResources(&error)) << error.localizedDescription();
    EffectHost mono(1);
    mono.fillSine(0.5f);
    unit->setShouldBypassEffect(true);
    ASSERT_EQ(mono.render(*unit, 0, 512), noErr);
    for (int i = 0; i < 512; ++i) ASSERT_EQ(mono.out(0, i), mono.input->floatChannelData()[0][i]);

    // While allocated, bus formats are fixed.
    EXPECT_FALSE((*unit->inputBusses())[0]->setFormat(AVAudioFormat::makeStandard(44100, 2), &error));
    EXPECT_EQ(error.code, kAudioUnitErr_Initialized);
}

TEST(EffectAudioUnit, LargerCyclesNeedTheMaximumRaisedBeforeAllocation) {
    EffectHost host;
    host.fillSine(0.3f);
    {
        auto unit = makeEffect();
        ASSERT_TRUE(unit->allocateRenderResources());
        EXPECT_EQ(host.render(*unit, 0, 1024), noErr);
        EXPECT_EQ(host.render(*unit, 0, 1025), kAudioUnitErr_TooManyFramesToProcess);
    }
    {
        auto unit = makeEffect();
        unit->setMaximumFramesToRender(4096);
        ASSERT_TRUE(unit->allocateRenderResources());
        for (int cycle = 0; cycle < 3; ++cycle) ASSERT_EQ(host.render(*unit, cycle * 4096.0, 4096), noErr);
        EXPECT_GT(unit->outputLevel(), 0.f);
    }
    {
        // Raised while allocated: the kernel's limit changes at once, the pull
        // buffer keeps its capacity until the next allocation.
        auto unit = makeEffect();
        ASSERT_TRUE(unit->allocateRenderResources());
        unit->setMaximumFramesToRender(4096);
        EXPECT_EQ(unit->maximumFramesToRender(), 4096u);
        const int pullsBefore = host.pulls;
        EXPECT_EQ(host.render(*unit, 0, 2048), kAudioUnitErr_TooManyFramesToProcess);
        EXPECT_EQ(host.pulls, pullsBefore);
        EXPECT_EQ(host.render(*unit, 0, 1024), noErr);
        unit->deallocateRenderResources();
        ASSERT_TRUE(unit->allocateRenderResources());
        EXPECT_EQ(host.render(*unit, 0, 4096), noErr);
    }
}

TEST(EffectAudioUnit, LevelsFollowTheAudioOnlyWhileAllocated) {
    auto unit = makeEffect();
    EffectHost host;
    host.fillSine(0.5f);
    EXPECT_EQ(unit->inputLevel(), 0.f);
    ASSERT_TRUE(unit->allocateRenderResources());
    EXPECT_EQ(unit->inputLevel(), 0.f);

    // Bypassed, both levels are the input's peak exactly.
    unit->setShouldBypassEffect(true);
    ASSERT_EQ(host.render(*unit, 0, 512), noErr);
    float peak = 0;
    for (std::size_t c = 0; c < 2; ++c)
        for (int i = 0; i < 512; ++i) peak = std::max(peak, std::fabs(host.input->floatChannelData()[c][i]));
    EXPECT_EQ(unit->inputLevel(), peak);
    EXPECT_EQ(unit->outputLevel(), peak);

    unit->deallocateRenderResources();
    EXPECT_EQ(unit->inputLevel(), 0.f);
    EXPECT_EQ(unit->outputLevel(), 0.f);

    ASSERT_TRUE(unit->allocateRenderResources());
    unit->setShouldBypassEffect(false);
    ASSERT_EQ(host.render(*unit, 512, 512), noErr);
    EXPECT_GT(unit->inputLevel(), 0.f);
    EXPECT_GT(unit->outputLevel(), 0.f);
}

// The unit's render block gives exactly what the kernel gives when driven by
// hand: the same stretches, the scheduled parameter applied between them.
TEST(EffectAudioUnit, RendersLikeTheKernelSplitAtScheduledEvents) {
    auto unit = makeEffect();
    ASSERT_TRUE(unit->allocateRenderResources());
    EffectHost host;
    host.fillSine(0.4f);
    unit->scheduleParameterBlock()(1100, 0, kDriveAddress, 90.f);
    unit->scheduleParameterBlock()(1100, 0, kDoubleTrackAddress, 0.7f);
    ASSERT_EQ(host.render(*unit, 1000, 512), noErr);

    DunmarrowAUExtensionDSPKernel reference;
    const auto defaults = createParameterTree(parameterTreeSpec());
    for (const auto& p : defaults->allParameters()) reference.setParameter(p->address(), p->value());
    reference.initialize(2, 2, 44100);
    std::vector<float> out0(512), out1(512);
    auto run = [&](std::size_t offset, std::uint32_t frames, std::int64_t start) {
        const float* in[2] = {host.input->floatChannelData()[0] + offset, host.input->floatChannelData()[1] + offset};
        float* out[2] = {out0.data() + offset, out1.data() + offset};
        reference.process(std::span<const float*>(in, 2), std::span<float*>(out, 2), start, frames);
    };
    run(0, 100, 1000);
    reference.setParameter(kDriveAddress, 90.f);
    reference.setParameter(kDoubleTrackAddress, 0.7f);
    run(100, 412, 1100);
    for (int i = 0; i < 512; ++i) {
        ASSERT_EQ(host.out(0, i), out0[i]) << i;
        ASSERT_EQ(host.out(1, i), out1[i]) << i;
    }
    EXPECT_EQ(unit->outputLevel(), reference.outputLevel());
}

TEST(EffectAudioUnit, RendersInPlaceWhenTheHostGivesNoMemory) {
    auto unit = makeEffect();
    ASSERT_TRUE(unit->allocateRenderResources());
    EffectHost host;
    host.fillSine(0.25f);
    unit->setShouldBypassEffect(true);
    audiounit::AudioBufferListStorage list(2);
    for (auto& b : list->buffers()) b = AudioBuffer{1, 0, nullptr};
    AudioTimeStamp ts{};
    AudioUnitRenderActionFlags flags = 0;
    ASSERT_EQ(unit->renderBlock()(&flags, &ts, 256, 0, list.get(), &host.pull), noErr);
    for (std::size_t c = 0; c < 2; ++c) {
        ASSERT_NE(list->buffers()[c].mData, nullptr);
        EXPECT_EQ(list->buffers()[c].mDataByteSize, 256u * 4);
        const float* data = static_cast<const float*>(list->buffers()[c].mData);
        for (int i = 0; i < 256; ++i) ASSERT_EQ(data[i], host.input->floatChannelData()[c][i]);
    }
}

TEST(EffectAudioUnit, ValueTexts) {
    auto unit = makeEffect();
    auto tree = unit->parameterTree();
    auto text = [&](AUParameterAddress address, std::optional<float> value) {
        return tree->parameterWithAddress(address)->stringFromValue(value);
    };
    ::setenv("LC_ALL", "C", 1);
    EXPECT_EQ(text(kDriveAddress, 65.4f), "65");
    EXPECT_EQ(text(kDriveAddress, 65.6f), "66");
    EXPECT_EQ(text(kTouchAddress, 0.f), "0");
    EXPECT_EQ(text(kGainAddress, 0.8f), "0.80");
    EXPECT_EQ(text(kDecimationAddress, 0.5f), "0.50");
    EXPECT_EQ(text(kDoubleTrackAddress, 1.f), "1.00");
    EXPECT_EQ(text(kStereoSpreadAddress, 0.125f), "0.12");
    EXPECT_EQ(text(kLiveSafeAddress, 0.5f), "On");
    EXPECT_EQ(text(kLiveSafeAddress, 0.49f), "Off");
    EXPECT_EQ(text(kDriveAddress, std::nullopt), "-");
    EXPECT_EQ(text(kLiveSafeAddress, std::nullopt), "-");
    ::unsetenv("LC_ALL");
}

// The decimal separator follows the locale the environment names. The test
// compiles a German locale into a temporary folder, if the machine has the
// locale sources.
TEST(EffectAudioUnit, ValueTextsUseTheUsersDecimalSeparator) {
    if (!std::filesystem::exists("/usr/share/i18n/locales/de_DE") || std::system("command -v localedef >/dev/null") != 0)
        GTEST_SKIP() << "no locale sources or localedef: the comma locale cannot be built here";
    const auto folder = std::filesystem::temp_directory_path() / ("dunmarrow-locale-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string command = "localedef -i de_DE -f UTF-8 '" + (folder / "de_DE.UTF-8").string() + "' 2>/dev/null";
    const int status = std::system(command.c_str());
    if (!std::filesystem::exists(folder / "de_DE.UTF-8")) {
        std::filesystem::remove_all(folder);
        GTEST_SKIP() << "localedef failed with status " << status;
    }
    ::setenv("LOCPATH", folder.c_str(), 1);
    ::setenv("LC_ALL", "de_DE.UTF-8", 1);

    auto unit = makeEffect();
    auto tree = unit->parameterTree();
#if defined(__SANITIZE_ADDRESS__)
    // glibc keeps the search path of a locale loaded through LOCPATH for the
    // life of the process; that is not ours to free.
    __lsan_disable();
#endif
    const std::string gain = tree->parameterWithAddress(kGainAddress)->stringFromValue(0.8f);
    const std::string decimation = tree->parameterWithAddress(kDecimationAddress)->stringFromValue(0.5f);
    const std::string drive = tree->parameterWithAddress(kDriveAddress)->stringFromValue(65.4f);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_enable();
#endif

    ::setenv("LC_ALL", "C", 1);
    ::unsetenv("LOCPATH");
    std::filesystem::remove_all(folder);
    EXPECT_EQ(gain, "0,80");
    EXPECT_EQ(decimation, "0,50");
    EXPECT_EQ(drive, "65");
    // And back in the C locale, the point returns.
    EXPECT_EQ(tree->parameterWithAddress(kGainAddress)->stringFromValue(0.8f), "0.80");
    ::unsetenv("LC_ALL");
}

TEST(EffectAudioUnit, AValueObserverOutlivingTheUnitDoesNothing) {
    AUParameterTreePtr tree;
    std::weak_ptr<Unit> weak;
    {
        auto unit = makeEffect();
        weak = unit;
        tree = unit->parameterTree();
        tree->parameterWithAddress(kDriveAddress)->setValue(70.f);
    }
    // The tree's callbacks did not keep the unit alive.
    EXPECT_TRUE(weak.expired());
    int observed = 0;
    tree->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue) { ++observed; });
    tree->parameterWithAddress(kDriveAddress)->setValue(80.f);
    EXPECT_EQ(observed, 1);
    EXPECT_EQ(tree->parameterWithAddress(kDriveAddress)->value(), 80.f);
    EXPECT_EQ(tree->parameterWithAddress(kGainAddress)->stringFromValue(0.5f), "0.50");
}

// Rendering with every stage on and scheduled parameter changes allocates and
// frees nothing.
TEST(EffectAudioUnit, TheRenderPathAllocatesNothing) {
    auto unit = makeEffect();
    auto tree = unit->parameterTree();
    tree->parameterWithAddress(kDecimationAddress)->setValue(0.6f);
    tree->parameterWithAddress(kDoubleTrackAddress)->setValue(0.8f);
    tree->parameterWithAddress(kStereoSpreadAddress)->setValue(0.9f);
    tree->parameterWithAddress(kLiveSafeAddress)->setValue(1.f);
    ASSERT_TRUE(unit->allocateRenderResources());
    EffectHost host;
    host.fillSine(0.9f);
    const auto& schedule = unit->scheduleParameterBlock();

    rtcheck::ScopedAllocationCounter counter;
    for (int cycle = 0; cycle < 200; ++cycle) {
        schedule(cycle * 256 + 31, 0, kDriveAddress, static_cast<float>(cycle % 100));
        schedule(cycle * 256 + 200, 0, kGainAddress, 0.5f);
        if (cycle == 100) unit->setShouldBypassEffect(true);
        if (cycle == 150) unit->setShouldBypassEffect(false);
        ASSERT_EQ(host.render(*unit, cycle * 256.0, 256), noErr);
    }
    const auto counts = counter.stop();
    EXPECT_EQ(counts.total(), 0u) << counts.allocations << " allocations, " << counts.frees << " frees";
    EXPECT_GT(unit->outputLevel(), 0.f);
}
