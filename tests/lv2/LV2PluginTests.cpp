// The DSP plugins through their LV2 descriptors, in process: the output equals
// the effect's audio unit driven directly; control ports arrive as parameter
// events at the block start; the enabled port bypasses; long blocks are split;
// run() allocates nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
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

// One instance with every port connected to its own memory.
class Instance {
public:
    Instance(const char* uri, std::uint32_t channels, std::uint32_t frames, int maxBlockLength = 0)
        : descriptor_(descriptorFor(uri)), channels_(channels) {
        options_.add(map_(LV2_BUF_SIZE__maxBlockLength), map_(LV2_ATOM__Int), sizeof(int32_t), &maxBlock_);
        maxBlock_ = maxBlockLength;
        const LV2_Feature* features[] = {map_.feature(), maxBlockLength > 0 ? options_.feature() : nullptr, nullptr};
        handle_ = descriptor_->instantiate(descriptor_, kRate, "/nowhere/", features);
        const auto& ports = parameterPorts();
        for (std::size_t i = 0; i < ports.size(); ++i) controls[i] = ports[i]->defaultValue;
        for (std::uint32_t c = 0; c < channels; ++c) {
            inputs[c] = testSignal(frames, c);
            outputs[c].assign(frames, 0.0f);
        }
        connectAll();
    }
    ~Instance() {
        if (handle_ == nullptr) return;
        descriptor_->deactivate(handle_);
        descriptor_->cleanup(handle_);
    }
    void connectAll() {
        for (std::uint32_t i = 0; i < kDunmarrowParameterCount; ++i) descriptor_->connect_port(handle_, i, &controls[i]);
        descriptor_->connect_port(handle_, kEnabledPort, &enabled);
        descriptor_->connect_port(handle_, kInputLevelPort, &inputLevel);
        descriptor_->connect_port(handle_, kOutputLevelPort, &outputLevel);
        const AudioPortLayout layout{channels_};
        for (std::uint32_t c = 0; c < channels_; ++c) {
            descriptor_->connect_port(handle_, layout.inputPort(c), inputs[c].data());
            descriptor_->connect_port(handle_, layout.outputPort(c), outputs[c].data());
        }
    }
    void activate() { descriptor_->activate(handle_); }
    // Runs frames [offset, offset + frames) of the connected buffers.
    void run(std::uint32_t offset, std::uint32_t frames) {
        const AudioPortLayout layout{channels_};
        for (std::uint32_t c = 0; c < channels_; ++c) {
            descriptor_->connect_port(handle_, layout.inputPort(c), inputs[c].data() + offset);
            descriptor_->connect_port(handle_, layout.outputPort(c), outputs[c].data() + offset);
        }
        descriptor_->run(handle_, frames);
    }
    [[nodiscard]] bool valid() const { return handle_ != nullptr; }
    DunmarrowLV2Plugin& plugin() { return *static_cast<DunmarrowLV2Plugin*>(handle_); }

    float controls[kDunmarrowParameterCount]{};
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
    std::uint32_t channels_;
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
    // A rate outside the supported range gives no instance; no features at all still works.
    const LV2_Descriptor* d = lv2_descriptor(0);
    for (double rate : {0.0, std::nan(""), 1e-300, 999.0, 1536001.0, 1e300})
        EXPECT_EQ(d->instantiate(d, rate, "/", nullptr), nullptr) << rate;
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

TEST(LV2Plugin, ControlValuesSetBeforeActivationApplyFromTheFirstSample) {
    Instance lv2(kStereoPluginURI, 2, 2048);
    lv2.controls[0] = 20.0f;   // drive
    lv2.controls[12] = 1.0f;   // liveSafe
    lv2.controls[13] = 0.5f;   // gain
    lv2.activate();
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

TEST(LV2Plugin, AControlChangeIsAParameterEventAtTheBlockStartAndGlides) {
    Instance lv2(kStereoPluginURI, 2, 1024);
    lv2.activate();
    lv2.run(0, 512);
    lv2.controls[0] = 10.0f;  // drive, from 65
    lv2.run(512, 512);

    Reference reference(2, 4096);
    ASSERT_TRUE(reference.allocate());
    auto first = reference.render(lv2.inputs, 512);
    reference.scheduleNow(kDriveAddress, 10.0f);
    std::vector<float> rest[2] = {{lv2.inputs[0].begin() + 512, lv2.inputs[0].end()},
                                  {lv2.inputs[1].begin() + 512, lv2.inputs[1].end()}};
    auto second = reference.render(rest, 512);
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
    wild.controls[0] = 1000.0f;                                 // drive above 100
    wild.controls[1] = std::numeric_limits<float>::quiet_NaN();  // tight
    wild.activate();
    wild.run(0, 1024);
    Instance tame(kMonoPluginURI, 1, 1024);
    tame.controls[0] = 100.0f;
    tame.activate();
    tame.run(0, 1024);
    EXPECT_EQ(maxDifference(wild.outputs[0], tame.outputs[0]), 0.0f);
    for (float v : wild.outputs[0]) ASSERT_TRUE(std::isfinite(v));
}

TEST(LV2Plugin, TheEnabledPortBypassesTheEffect) {
    Instance lv2(kStereoPluginURI, 2, 1024);
    lv2.enabled = 0.0f;
    lv2.activate();
    lv2.run(0, 512);
    EXPECT_TRUE(lv2.plugin().audioUnit().shouldBypassEffect());
    for (int c = 0; c < 2; ++c)
        EXPECT_TRUE(std::equal(lv2.inputs[c].begin(), lv2.inputs[c].begin() + 512, lv2.outputs[c].begin()));
    lv2.enabled = 1.0f;
    lv2.run(512, 512);
    EXPECT_FALSE(lv2.plugin().audioUnit().shouldBypassEffect());
    EXPECT_GT(maxDifference(std::vector<float>(lv2.outputs[0].begin() + 512, lv2.outputs[0].end()),
                            std::vector<float>(lv2.inputs[0].begin() + 512, lv2.inputs[0].end())),
              0.01f);
}

TEST(LV2Plugin, BlocksAboveTheHostMaximumAreSplitWithoutAllocating) {
    Instance lv2(kStereoPluginURI, 2, 5000, 64);
    ASSERT_TRUE(lv2.valid());
    EXPECT_EQ(lv2.plugin().maximumFramesPerRender(), 64u);
    lv2.activate();
    lv2.run(0, 8);  // the first block settles any one-time work outside the count
    {
        rtcheck::ScopedAllocationCounter counter;
        lv2.controls[5] = 90.0f;  // grind: an event goes through the queue
        lv2.run(8, 4992);
        const auto counts = counter.stop();
        EXPECT_EQ(counts.total(), 0u) << counts.allocations << " allocations, " << counts.frees << " frees";
    }
    // The same as the unit rendering in 64-frame calls with the event at frame 8.
    Reference reference(2, 64);
    ASSERT_TRUE(reference.allocate());
    auto out = reference.render(lv2.inputs, 8);
    reference.scheduleNow(kGrindAddress, 90.0f);
    std::vector<float> rest[2] = {{lv2.inputs[0].begin() + 8, lv2.inputs[0].end()},
                                  {lv2.inputs[1].begin() + 8, lv2.inputs[1].end()}};
    std::vector<std::uint32_t> segments(4992 / 64, 64);
    segments.push_back(4992 % 64);
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
    const AudioPortLayout layout{2};
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
    lv2_descriptor(0)->connect_port(&lv2.plugin(), AudioPortLayout{2}.inputPort(1), nullptr);
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
