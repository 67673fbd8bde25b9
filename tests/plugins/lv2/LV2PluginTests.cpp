// The DSP plugins through their LV2 descriptors, in process, against the
// effect's audio unit driven directly.

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
#include "CycleBuffers.hpp"
#include "DunmarrowAUExtensionAudioUnit.hpp"
#include "DunmarrowLV2Plugin.hpp"
#include "GuitarLikeInput.hpp"
#include "LV2TestHost.hpp"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace {

using namespace audiounit;
using namespace dunmarrow_lv2;
using testsupport::Channels;

constexpr double kRate = 48000;

// One instance with every port connected to its own memory; the control
// ports now or, for a host that connects them after activate(), later.
class Instance {
public:
    Instance(const char* uri, std::uint32_t channels, std::uint32_t frames, int maxBlockLength = 0,
             bool connectControlsNow = true)
        : layout(*PortLayout::forPlugin(uri)), inputs(testsupport::guitarLikeInput(channels, frames, kRate)),
          outputs(channels, std::vector<float>(frames)),
          descriptor_(lv2_descriptor(std::strcmp(uri, kStereoPluginURI) == 0 ? 0 : 1)) {
        options_.add(map_(LV2_BUF_SIZE__maxBlockLength), map_(LV2_ATOM__Int), sizeof(int32_t), &maxBlock_);
        maxBlock_ = maxBlockLength;
        const LV2_Feature* features[] = {map_.feature(), maxBlockLength > 0 ? options_.feature() : nullptr, nullptr};
        handle_ = descriptor_->instantiate(descriptor_, kRate, "/nowhere/", features);
        const auto& ports = layout.parameters();
        for (std::size_t i = 0; i < ports.size(); ++i) controls[i] = ports[i]->defaultValue;
        if (connectControlsNow) connectControls();
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
    void activate() { descriptor_->activate(handle_); }
    // Runs frames [offset, offset + frames) of the buffers.
    void run(std::uint32_t offset, std::uint32_t frames) {
        for (std::uint32_t c = 0; c < layout.channelCount; ++c) {
            descriptor_->connect_port(handle_, layout.inputPort(c), inputs[c].data() + offset);
            descriptor_->connect_port(handle_, layout.outputPort(c), outputs[c].data() + offset);
        }
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
    Channels inputs, outputs;

private:
    lv2test::URIDMap map_;
    lv2test::Options options_;
    int32_t maxBlock_ = 0;
    const LV2_Descriptor* descriptor_;
    LV2_Handle handle_ = nullptr;
};

// The effect's audio unit driven directly, as an independent reference: it
// renders the input from where it stands, one render call per segment.
class Reference {
public:
    Reference(const Channels& input, std::uint32_t maximumFrames) : buffers(input) {
        const auto format = AVAudioFormat::makeStandard(kRate, static_cast<std::uint32_t>(input.size()));
        (*unit->inputBusses())[0]->setFormat(format);
        (*unit->outputBusses())[0]->setFormat(format);
        unit->setMaximumFramesToRender(maximumFrames);
    }
    void render(const std::vector<std::uint32_t>& segments) {
        for (const std::uint32_t n : segments) {
            AudioUnitRenderActionFlags flags = 0;
            AudioTimeStamp time;
            AudioBufferList* output = buffers.nextOutput(n, time);
            EXPECT_EQ(unit->renderBlock()(&flags, &time, n, 0, output, &buffers.pull), noErr);
            buffers.position += n;
        }
    }

    std::shared_ptr<DunmarrowAUExtensionAudioUnit> unit = makeDunmarrowAudioUnit();
    testsupport::CycleBuffers buffers;
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
    // A rate outside the supported range gives no instance; no features at all still works.
    const LV2_Descriptor* d = lv2_descriptor(0);
    for (double rate : {0.0, std::nan(""), 1e-300, 999.0, 1536001.0, 1e300})
        EXPECT_EQ(d->instantiate(d, rate, "/", nullptr), nullptr) << rate;
    LV2_Handle h = d->instantiate(d, 44100.0, "/", nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(d->extension_data("urn:nothing"), nullptr);
    d->cleanup(h);
}

// Both variants render as the unit with the same settings: the settings in
// the control ports at the first run() hold from its first sample, whether
// the host connected the ports before activate() or after (as lv2file does);
// values outside the range are clamped and NaN is ignored. The level ports
// carry the unit's levels of the last render call.
TEST(LV2Plugin, SettingsAtTheFirstRunRenderAsTheAudioUnitDoesFromTheFirstSample) {
    using Settings = std::vector<std::pair<std::string, float>>;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* uri;
        std::uint32_t channels;
        bool connectedBeforeActivate;
        Settings ports, unit;
    };
    const Settings settings{{"drive", 20.0f}, {"liveSafe", 1.0f}, {"gain", 0.5f}};
    const Case cases[] = {{kStereoPluginURI, 2, true, settings, settings},
                          {kStereoPluginURI, 2, false, settings, settings},
                          {kMonoPluginURI, 1, true, {{"drive", 1000.0f}, {"tight", nan}}, {{"drive", 100.0f}}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.uri << ", connected before activate(): " << c.connectedBeforeActivate);
        Instance lv2(c.uri, c.channels, 3000, 0, c.connectedBeforeActivate);
        ASSERT_TRUE(lv2.valid());
        for (const auto& [identifier, value] : c.ports) lv2.control(identifier) = value;
        lv2.activate();
        if (!c.connectedBeforeActivate) lv2.connectControls();
        lv2.run(0, 3000);
        Reference reference(lv2.inputs, 4096);
        for (const auto& [identifier, value] : c.unit)
            reference.unit->parameterTree()->parameterWithIdentifiers({"global", identifier})->setValue(value);
        ASSERT_TRUE(reference.unit->allocateRenderResources());
        reference.render({3000});
        for (std::uint32_t ch = 0; ch < c.channels; ++ch)
            EXPECT_LE(maxDifference(lv2.outputs[ch], reference.buffers.output[ch]), 1e-6f) << "channel " << ch;
        EXPECT_EQ(lv2.inputLevel, lv2.plugin().audioUnit().inputLevel());
        EXPECT_EQ(lv2.outputLevel, lv2.plugin().audioUnit().outputLevel());
    }
}

// Toggled where processed and dry differ most, the output's largest step near
// the toggle is no larger than elsewhere. Above zero processes; zero and below
// bypass, with the input's level on both meters.
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
        EXPECT_TRUE(to > 0 || lv2.inputLevel == lv2.outputLevel);
    }
}

// While a change settles the plugin renders in sub-blocks on a fixed grid, so
// that it sounds the same at every host block length. A block above the host's
// maximum is split, each piece reading its own input.
TEST(LV2Plugin, AControlChangeIsAnEventAtTheBlockStartAndLongBlocksAreSplitWithoutAllocating) {
    constexpr std::uint32_t kSub = DunmarrowLV2Plugin::kSubBlockFrames;
    struct Case {
        int maxBlockLength;  // 0: the plugin's default
        std::uint32_t change, frames;
        const char* identifier;
        AUParameterAddress address;
        float value;
        std::uint32_t hostBlock;  // after the change; 0: one block
    };
    constexpr std::uint32_t kSettled = 4096 + 24000;  // Output moves at 4096, then settles for half a second
    for (const Case& c : {Case{0, 512, 1024, "drive", dunmarrow_dsp::kDriveAddress, 10.0f, 0},
                          Case{64, 8, 5000, "grind", dunmarrow_dsp::kGrindAddress, 90.0f, 0},
                          Case{0, 4096, kSettled, "gain", dunmarrow_dsp::kGainAddress, 0.2f, 100},
                          Case{0, 4096, kSettled, "gain", dunmarrow_dsp::kGainAddress, 0.2f, 1000}}) {
        SCOPED_TRACE(::testing::Message() << c.identifier << ", host blocks of " << c.hostBlock);
        Instance lv2(kStereoPluginURI, 2, c.frames, c.maxBlockLength);
        ASSERT_TRUE(lv2.valid());
        EXPECT_EQ(lv2.plugin().maximumFramesPerRender(), c.maxBlockLength > 0 ? 64u : kDefaultMaximumBlockLength);
        lv2.activate();
        lv2.run(0, c.change);  // the first block also settles any one-time work outside the count
        rtcheck::ScopedAllocationCounter counter;
        lv2.control(c.identifier) = c.value;
        lv2.runBlocks(c.change, c.frames, c.hostBlock > 0 ? c.hostBlock : c.frames);
        const auto counts = counter.stop();
        EXPECT_EQ(counts.total(), 0u) << counts.allocations << " allocations, " << counts.frees << " frees";

        Reference reference(lv2.inputs, c.maxBlockLength > 0 ? 64 : 4096);
        ASSERT_TRUE(reference.unit->allocateRenderResources());
        reference.render({c.change});
        reference.unit->scheduleParameterBlock()(AUEventSampleTimeImmediate, 0, c.address, c.value);
        std::vector<std::uint32_t> settling;  // calls that end on the grid of sub-blocks and at the host's blocks
        for (std::uint32_t n = c.change; n < c.frames; n += settling.back()) {
            const std::uint32_t hostEnd = c.hostBlock > 0 ? n + c.hostBlock - (n - c.change) % c.hostBlock : c.frames;
            settling.push_back(std::min({c.frames, hostEnd, (n / kSub + 1) * kSub}) - n);
        }
        reference.render(settling);
        for (int ch = 0; ch < 2; ++ch) EXPECT_LE(maxDifference(lv2.outputs[ch], reference.buffers.output[ch]), 1e-6f);
    }
}

// In-place buffers render as separate ones; unconnected audio or an inactive
// instance never crashes (silence when inactive); activated again after
// deactivate(), it renders as before.
TEST(LV2Plugin, InPlaceBuffersUnconnectedAudioAndReactivationAreHandled) {
    Instance separate(kStereoPluginURI, 2, 700);
    separate.activate();
    separate.run(0, 700);
    const LV2_Descriptor* d = lv2_descriptor(0);
    Instance lv2(kStereoPluginURI, 2, 700);
    const PortLayout& layout = lv2.layout;
    lv2.outputs[0].assign(700, 7.0f);
    lv2.run(0, 700);
    EXPECT_EQ(lv2.outputs[0][100], 0.0f);
    lv2.activate();
    d->connect_port(&lv2.plugin(), layout.inputPort(1), nullptr);
    d->run(&lv2.plugin(), 256);
    d->run(&lv2.plugin(), 0);
    d->deactivate(&lv2.plugin());
    lv2.activate();
    Channels shared = lv2.inputs;
    for (std::uint32_t c = 0; c < 2; ++c) {
        d->connect_port(&lv2.plugin(), layout.inputPort(c), shared[c].data());
        d->connect_port(&lv2.plugin(), layout.outputPort(c), shared[c].data());
    }
    d->run(&lv2.plugin(), 700);
    EXPECT_TRUE(shared == separate.outputs);
}

}  // namespace
