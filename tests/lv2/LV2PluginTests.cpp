// The DSP plugins through their LV2 descriptors, in process: the output equals
// the effect's audio unit driven directly; control ports arrive as parameter
// events at the block start and sound the same at every host block length;
// the settings at the first run() hold from its first sample; the enabled
// port crossfades to bypass; long blocks are split; run() allocates nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "AllocationCounter.hpp"
#include "DunmarrowAUExtensionAudioUnit.hpp"
#include "DunmarrowLV2Plugin.hpp"
#include "LV2TestHost.hpp"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace {

using namespace audiounit;
using namespace dunmarrow_lv2;

constexpr double kRate = 48000;

std::vector<float> testSignal(std::size_t frames, std::uint32_t channel) {
    std::vector<float> s(frames);
    for (std::size_t i = 0; i < frames; ++i)
        s[i] = 0.6f * std::sin(2.0f * 3.14159265f * (110.0f + 55.0f * static_cast<float>(channel)) *
                               static_cast<float>(i) / static_cast<float>(kRate)) +
               0.05f * std::sin(static_cast<float>(i) * 0.37f);
    return s;
}

const LV2_Descriptor* descriptorFor(const char* uri) {
    for (std::uint32_t i = 0; const LV2_Descriptor* d = lv2_descriptor(i); ++i)
        if (std::strcmp(d->URI, uri) == 0) return d;
    return nullptr;
}

// One instance with every port connected to its own memory; the control
// ports now or, for a host that connects them after activate(), later.
class Instance {
public:
    Instance(const char* uri, std::uint32_t channels, std::uint32_t frames, int maxBlockLength = 0,
             bool connectControlsNow = true)
        : layout(*PortLayout::forPlugin(uri)), descriptor_(descriptorFor(uri)) {
        options_.add(map_(LV2_BUF_SIZE__maxBlockLength), map_(LV2_ATOM__Int), sizeof(int32_t), &maxBlock_);
        maxBlock_ = maxBlockLength;
        const LV2_Feature* features[] = {map_.feature(), maxBlockLength > 0 ? options_.feature() : nullptr, nullptr};
        handle_ = descriptor_->instantiate(descriptor_, kRate, "/nowhere/", features);
        const auto& ports = layout.parameters();
        for (std::size_t i = 0; i < ports.size(); ++i) controls[i] = ports[i]->defaultValue;
        for (std::uint32_t c = 0; c < channels; ++c) {
            inputs[c] = testSignal(frames, c);
            outputs[c].assign(frames, 0.0f);
        }
        if (connectControlsNow) connectControls();
        connectAudio(0);
    }
    ~Instance() {
        if (handle_ == nullptr) return;
        descriptor_->deactivate(handle_);
        descriptor_->cleanup(handle_);
    }
    void connectControls() {
        for (std::uint32_t i = 0; i < layout.parameterCount(); ++i) descriptor_->connect_port(handle_, i, &controls[i]);
        descriptor_->connect_port(handle_, layout.enabledPort(), &enabled);
        descriptor_->connect_port(handle_, layout.inputLevelPort(), &inputLevel);
        descriptor_->connect_port(handle_, layout.outputLevelPort(), &outputLevel);
    }
    void connectAudio(std::uint32_t offset) {
        for (std::uint32_t c = 0; c < layout.channelCount; ++c) {
            descriptor_->connect_port(handle_, layout.inputPort(c), inputs[c].data() + offset);
            descriptor_->connect_port(handle_, layout.outputPort(c), outputs[c].data() + offset);
        }
    }
    void connectAll() {
        connectControls();
        connectAudio(0);
    }
    void activate() { descriptor_->activate(handle_); }
    // Runs frames [offset, offset + frames) of the connected buffers.
    void run(std::uint32_t offset, std::uint32_t frames) {
        connectAudio(offset);
        descriptor_->run(handle_, frames);
    }
    // Runs frames [offset, end) in host blocks of `block` frames.
    void runBlocks(std::uint32_t offset, std::uint32_t end, std::uint32_t block) {
        for (std::uint32_t at = offset; at < end; at += block) run(at, std::min(block, end - at));
    }
    float& control(const std::string& identifier) {
        for (std::uint32_t i = 0; i < layout.parameterCount(); ++i)
            if (layout.parameters()[i]->identifier == identifier) return controls[i];
        throw std::invalid_argument("no port " + identifier);
    }
    [[nodiscard]] bool valid() const { return handle_ != nullptr; }
    DunmarrowLV2Plugin& plugin() { return *static_cast<DunmarrowLV2Plugin*>(handle_); }

    PortLayout layout;
    float controls[dunmarrow_dsp::kParameterCount]{};
    float enabled = 1.0f;
    float inputLevel = -1.0f;
    float outputLevel = -1.0f;
    std::vector<float> inputs[2];
    std::vector<float> outputs[2];

private:
    lv2test::URIDMap map_;
    lv2test::Options options_;
    int32_t maxBlock_ = 0;
    const LV2_Descriptor* descriptor_;
    LV2_Handle handle_ = nullptr;
};

// The effect's audio unit driven directly, as an independent reference: one
// render call per segment, with optional parameter events at a segment's start.
class Reference {
public:
    Reference(std::uint32_t channels, std::uint32_t maximumFrames) : channels_(channels) {
        unit = makeDunmarrowAudioUnit();
        const auto format = AVAudioFormat::makeStandard(kRate, channels);
        (*unit->inputBusses())[0]->setFormat(format);
        (*unit->outputBusses())[0]->setFormat(format);
        unit->setMaximumFramesToRender(maximumFrames);
    }
    void set(const char* identifier, float value) {
        unit->parameterTree()->parameterWithIdentifiers({"global", identifier})->setValue(value);
    }
    bool allocate() { return unit->allocateRenderResources(); }
    std::vector<std::vector<float>> render(const std::vector<float>* inputs, std::uint32_t frames,
                                           std::vector<std::uint32_t> segments = {}) {
        std::vector<std::vector<float>> out(channels_, std::vector<float>(frames));
        if (segments.empty()) segments = {frames};
        std::uint32_t offset = 0;
        for (const std::uint32_t n : segments) {
            AudioBufferListStorage list(channels_);
            for (std::uint32_t c = 0; c < channels_; ++c)
                list->buffers()[c] = {1, static_cast<std::uint32_t>(n * sizeof(float)), out[c].data() + offset};
            const AURenderPullInputBlock pull = [&, offset](AudioUnitRenderActionFlags*, const AudioTimeStamp*,
                                                            AUAudioFrameCount count, NSInteger, AudioBufferList* in) {
                for (std::uint32_t c = 0; c < channels_; ++c)
                    std::memcpy(in->buffers()[c].mData, inputs[c].data() + offset, count * sizeof(float));
                return noErr;
            };
            AudioUnitRenderActionFlags flags = 0;
            AudioTimeStamp timestamp{};
            timestamp.mSampleTime = time_;
            EXPECT_EQ(unit->renderBlock()(&flags, &timestamp, n, 0, list.get(), &pull), noErr);
            offset += n;
            time_ += n;
        }
        return out;
    }
    void scheduleNow(AUParameterAddress address, float value) {
        unit->scheduleParameterBlock()(AUEventSampleTimeImmediate, 0, address, value);
    }
    std::shared_ptr<DunmarrowAUExtensionAudioUnit> unit;

private:
    std::uint32_t channels_;
    double time_ = 0;
};

float maxDifference(const std::vector<float>& a, const std::vector<float>& b) {
    float d = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
    return a.size() == b.size() ? d : std::numeric_limits<float>::infinity();
}

TEST(LV2Descriptors, ListTheStereoAndTheMonoPluginAndRefuseNonsense) {
    ASSERT_NE(lv2_descriptor(0), nullptr);
    ASSERT_NE(lv2_descriptor(1), nullptr);
    EXPECT_EQ(lv2_descriptor(2), nullptr);
    EXPECT_STREQ(lv2_descriptor(0)->URI, "urn:dunmarrow:stereo");
    EXPECT_STREQ(lv2_descriptor(1)->URI, "urn:dunmarrow:mono");
    // A rate that is no rate gives no instance; no features at all still works.
    const LV2_Descriptor* d = lv2_descriptor(0);
    EXPECT_EQ(d->instantiate(d, 0.0, "/", nullptr), nullptr);
    EXPECT_EQ(d->instantiate(d, std::nan(""), "/", nullptr), nullptr);
    LV2_Handle h = d->instantiate(d, 44100.0, "/", nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(static_cast<DunmarrowLV2Plugin*>(h)->maximumFramesPerRender(), kDefaultMaximumBlockLength);
    EXPECT_EQ(d->extension_data("urn:nothing"), nullptr);
    d->cleanup(h);
}

TEST(LV2Plugin, DefaultsRenderAsTheAudioUnitDoesForBothVariants) {
    for (const auto& [uri, channels] : {std::pair{kStereoPluginURI, 2u}, std::pair{kMonoPluginURI, 1u}}) {
        SCOPED_TRACE(uri);
        Instance lv2(uri, channels, 3000);
        ASSERT_TRUE(lv2.valid());
        lv2.activate();
        lv2.run(0, 3000);
        Reference reference(channels, 4096);
        ASSERT_TRUE(reference.allocate());
        const auto expected = reference.render(lv2.inputs, 3000);
        for (std::uint32_t c = 0; c < channels; ++c) {
            EXPECT_LE(maxDifference(lv2.outputs[c], expected[c]), 1e-6f) << "channel " << c;
            EXPECT_GT(maxDifference(lv2.outputs[c], lv2.inputs[c]), 0.01f) << "the effect did something";
        }
        // The level ports carry the unit's levels of the last render call.
        EXPECT_EQ(lv2.inputLevel, lv2.plugin().audioUnit().inputLevel());
        EXPECT_EQ(lv2.outputLevel, lv2.plugin().audioUnit().outputLevel());
        EXPECT_GT(lv2.inputLevel, 0.5f);
        EXPECT_GT(lv2.outputLevel, 0.0f);
    }
}

// The settings in the control ports at the first run() hold from its first
// sample, whether the host connected the ports before activate() or after
// (as lv2file does): as in a unit that had them before allocating.
TEST(LV2Plugin, SettingsInThePortsAtTheFirstRunApplyFromTheFirstSample) {
    for (const bool connectedBeforeActivate : {true, false}) {
        SCOPED_TRACE(connectedBeforeActivate ? "connected before activate()" : "connected after activate()");
        Instance lv2(kStereoPluginURI, 2, 2048, 0, connectedBeforeActivate);
        lv2.control("drive") = 20.0f;
        lv2.control("liveSafe") = 1.0f;
        lv2.control("gain") = 0.5f;
        lv2.activate();
        if (!connectedBeforeActivate) lv2.connectControls();
        lv2.run(0, 2048);
        Reference reference(2, 4096);
        reference.set("drive", 20.0f);
        reference.set("liveSafe", 1.0f);
        reference.set("gain", 0.5f);
        ASSERT_TRUE(reference.allocate());
        const auto expected = reference.render(lv2.inputs, 2048);
        EXPECT_LE(maxDifference(lv2.outputs[0], expected[0]), 1e-6f);
        EXPECT_LE(maxDifference(lv2.outputs[1], expected[1]), 1e-6f);
    }
}

// Output moves from 0.8 to 0.2 at frame 4096: every host block length renders
// what 64-frame blocks render, within 2 % of the peak, and exactly where the
// length is a multiple of 64; before the change (static settings), bit for bit.
TEST(LV2Plugin, AChangeSoundsTheSameAtEveryHostBlockLength) {
    constexpr std::uint32_t kChange = 4096, kFrames = kChange + 24000;
    const auto take = [](std::uint32_t block) {
        Instance lv2(kStereoPluginURI, 2, kFrames);
        lv2.activate();
        lv2.runBlocks(0, kChange, block);
        lv2.control("gain") = 0.2f;
        lv2.runBlocks(kChange, kFrames, block);
        return lv2.outputs[0];
    };
    const auto expected = take(64);
    float peak = 0;
    for (const float v : expected) peak = std::max(peak, std::fabs(v));
    for (const std::uint32_t block : {1024u, 4096u, 100u, 1000u}) {
        SCOPED_TRACE(block);
        const auto out = take(block);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + kChange, expected.begin()));
        EXPECT_LE(maxDifference(out, expected), block % 64 == 0 ? 0.0f : 0.02f * peak);
    }
}

// The enabled port toggled where processed and dry differ most: the output
// crossfades, so its largest step near the toggle is no larger than the take's
// largest step elsewhere. Above zero processes; zero and below bypass, and once
// bypassed the output is the input bit for bit, with the input's level on both
// meters.
TEST(LV2Plugin, TheEnabledPortCrossfadesAndBypassedPassesTheInputUnchanged) {
    constexpr std::uint32_t kFrames = 24000, kBlock = 256;
    Instance processed(kStereoPluginURI, 2, kFrames);
    processed.activate();
    processed.runBlocks(0, kFrames, kBlock);
    std::uint32_t toggle = kFrames / 4;
    for (std::uint32_t n = kFrames / 4; n < kFrames / 2; ++n)
        if (std::fabs(processed.outputs[0][n] - processed.inputs[0][n]) >
            std::fabs(processed.outputs[0][toggle] - processed.inputs[0][toggle]))
            toggle = n;
    const auto fade = static_cast<std::uint32_t>(kRate * DunmarrowLV2Plugin::kBypassFadeSeconds);

    for (const auto& [from, to] : {std::pair{1.0f, 0.0f}, std::pair{0.0f, 1.0f}, std::pair{0.25f, -1.0f}}) {
        SCOPED_TRACE(::testing::Message() << from << " to " << to);
        Instance lv2(kStereoPluginURI, 2, kFrames);
        lv2.enabled = from;
        lv2.activate();
        lv2.runBlocks(0, toggle, kBlock);
        lv2.enabled = to;
        lv2.runBlocks(toggle, kFrames, kBlock);
        const auto& out = lv2.outputs[0];
        float near = 0, elsewhere = 0;
        for (std::uint32_t n = 1; n < kFrames; ++n) {
            float& largest = n + 64 >= toggle && n <= toggle + fade + 64 ? near : elsewhere;
            largest = std::max(largest, std::fabs(out[n] - out[n - 1]));
        }
        EXPECT_LE(near, elsewhere);
        // The bypassed stretch is the input itself; the processed one is not.
        const std::uint32_t bypassedFrom = to > 0 ? 0 : toggle + fade, bypassedTo = to > 0 ? toggle : kFrames;
        for (int c = 0; c < 2; ++c)
            EXPECT_TRUE(std::equal(lv2.outputs[c].begin() + bypassedFrom, lv2.outputs[c].begin() + bypassedTo,
                                   lv2.inputs[c].begin() + bypassedFrom));
        EXPECT_EQ(lv2.plugin().audioUnit().shouldBypassEffect(), !(to > 0));
        EXPECT_GT(maxDifference(to > 0 ? out : processed.outputs[0], lv2.inputs[0]), 0.1f);
        if (!(to > 0)) {
            EXPECT_EQ(lv2.inputLevel, lv2.outputLevel);
        }
    }
}

TEST(LV2Plugin, AControlChangeIsAParameterEventAtTheBlockStartAndGlides) {
    Instance lv2(kStereoPluginURI, 2, 1024);
    lv2.activate();
    lv2.run(0, 512);
    lv2.control("drive") = 10.0f;  // from 65
    lv2.run(512, 512);

    Reference reference(2, 4096);
    ASSERT_TRUE(reference.allocate());
    auto first = reference.render(lv2.inputs, 512);
    reference.scheduleNow(dunmarrow_dsp::kDriveAddress, 10.0f);
    std::vector<float> rest[2] = {{lv2.inputs[0].begin() + 512, lv2.inputs[0].end()},
                                  {lv2.inputs[1].begin() + 512, lv2.inputs[1].end()}};
    // While the change settles, the plugin renders in sub-blocks.
    auto second = reference.render(rest, 512, std::vector<std::uint32_t>(512 / DunmarrowLV2Plugin::kSubBlockFrames, DunmarrowLV2Plugin::kSubBlockFrames));
    for (int c = 0; c < 2; ++c) {
        first[c].insert(first[c].end(), second[c].begin(), second[c].end());
        EXPECT_LE(maxDifference(lv2.outputs[c], first[c]), 1e-6f);
    }

    // Not a jump: a unit that held drive 10 from the start sounds different in
    // the second block, because the kernel smooths the change.
    Reference jumped(2, 4096);
    jumped.set("drive", 10.0f);
    ASSERT_TRUE(jumped.allocate());
    const auto held = jumped.render(lv2.inputs, 1024);
    float difference = 0;
    for (std::size_t i = 512; i < 1024; ++i) difference = std::max(difference, std::fabs(held[0][i] - lv2.outputs[0][i]));
    EXPECT_GT(difference, 1e-3f);
    EXPECT_EQ(lv2.plugin().audioUnit().parameterTree()->parameterWithIdentifiers({"global", "drive"})->value(), 10.0f);
}

TEST(LV2Plugin, ValuesOutsideTheRangeAreClampedAndNaNIsIgnored) {
    Instance wild(kMonoPluginURI, 1, 1024);
    wild.control("drive") = 1000.0f;
    wild.control("tight") = std::numeric_limits<float>::quiet_NaN();
    wild.activate();
    wild.run(0, 1024);
    Instance tame(kMonoPluginURI, 1, 1024);
    tame.control("drive") = 100.0f;
    tame.activate();
    tame.run(0, 1024);
    EXPECT_EQ(maxDifference(wild.outputs[0], tame.outputs[0]), 0.0f);
    for (float v : wild.outputs[0]) ASSERT_TRUE(std::isfinite(v));
}

TEST(LV2Plugin, BlocksAboveTheHostMaximumAreSplitWithoutAllocating) {
    Instance lv2(kStereoPluginURI, 2, 5000, 64);
    ASSERT_TRUE(lv2.valid());
    EXPECT_EQ(lv2.plugin().maximumFramesPerRender(), 64u);
    lv2.activate();
    lv2.run(0, 8);  // the first block settles any one-time work outside the count
    {
        rtcheck::ScopedAllocationCounter counter;
        lv2.control("grind") = 90.0f;  // an event goes through the queue
        lv2.run(8, 4992);
        const auto counts = counter.stop();
        EXPECT_EQ(counts.total(), 0u) << counts.allocations << " allocations, " << counts.frees << " frees";
    }
    // The same as the unit rendering in short calls with the event at frame 8.
    Reference reference(2, 64);
    ASSERT_TRUE(reference.allocate());
    auto out = reference.render(lv2.inputs, 8);
    reference.scheduleNow(dunmarrow_dsp::kGrindAddress, 90.0f);
    std::vector<float> rest[2] = {{lv2.inputs[0].begin() + 8, lv2.inputs[0].end()},
                                  {lv2.inputs[1].begin() + 8, lv2.inputs[1].end()}};
    // Settling, the calls end on the grid of sub-blocks.
    constexpr std::uint32_t kSub = DunmarrowLV2Plugin::kSubBlockFrames;
    std::vector<std::uint32_t> segments{kSub - 8 % kSub};
    segments.insert(segments.end(), (4992 - segments[0]) / kSub, kSub);
    segments.push_back((4992 - segments[0]) % kSub);
    const auto tail = reference.render(rest, 4992, segments);
    for (int c = 0; c < 2; ++c) {
        out[c].insert(out[c].end(), tail[c].begin(), tail[c].end());
        EXPECT_LE(maxDifference(lv2.outputs[c], out[c]), 1e-6f);
    }
}

TEST(LV2Plugin, InPlaceBuffersRenderAsSeparateOnes) {
    Instance separate(kStereoPluginURI, 2, 700);
    separate.activate();
    separate.run(0, 700);
    Instance inPlace(kStereoPluginURI, 2, 700);
    const PortLayout layout{2};
    inPlace.activate();
    std::vector<float> shared[2] = {inPlace.inputs[0], inPlace.inputs[1]};
    for (std::uint32_t c = 0; c < 2; ++c) {
        lv2_descriptor(0)->connect_port(&inPlace.plugin(), layout.inputPort(c), shared[c].data());
        lv2_descriptor(0)->connect_port(&inPlace.plugin(), layout.outputPort(c), shared[c].data());
    }
    lv2_descriptor(0)->run(&inPlace.plugin(), 700);
    EXPECT_EQ(maxDifference(shared[0], separate.outputs[0]), 0.0f);
    EXPECT_EQ(maxDifference(shared[1], separate.outputs[1]), 0.0f);
}

TEST(LV2Plugin, UnconnectedAudioOrAnInactiveInstanceNeverCrashes) {
    Instance lv2(kStereoPluginURI, 2, 256);
    // Not activated: silence.
    lv2.outputs[0].assign(256, 7.0f);
    lv2.run(0, 256);
    EXPECT_EQ(lv2.outputs[0][100], 0.0f);
    lv2.activate();
    lv2_descriptor(0)->connect_port(&lv2.plugin(), PortLayout{2}.inputPort(1), nullptr);
    lv2_descriptor(0)->run(&lv2.plugin(), 256);
    lv2_descriptor(0)->run(&lv2.plugin(), 0);
    // Deactivate and activate again: renders as before.
    lv2_descriptor(0)->deactivate(&lv2.plugin());
    lv2.activate();
    lv2.connectAll();
    lv2.run(0, 256);
    EXPECT_TRUE(std::isfinite(lv2.outputs[0][255]));
}

}  // namespace
