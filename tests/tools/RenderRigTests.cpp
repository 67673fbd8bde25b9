// The validator's render rig in process, with a stand-in unit whose output is
// 0.25 but for one chosen value: the rig reports a NaN, an infinity or a
// subnormal sample where it appeared, and passes finite normal output.

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "RenderRig.hpp"

namespace {

using namespace audiounit;
using validator::RenderFault;

class OneValueUnit final : public AUAudioUnit {
public:
    explicit OneValueUnit(ConstructionKey key) : AUAudioUnit(key) {}
    AUAudioUnitBusArrayPtr inputBusses() const override { return inputs_; }
    AUAudioUnitBusArrayPtr outputBusses() const override { return outputs_; }

    // Render thread: fills the rig's output buffers, `last` at the right
    // channel's last frame; no lock, no allocation.
    AUInternalRenderBlock internalRenderBlock() override {
        return [this](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount frames, NSInteger,
                      AudioBufferList* output, const AURenderEvent*, const AURenderPullInputBlock*) -> OSStatus {
            for (const AudioBuffer& buffer : output->buffers()) std::fill_n(static_cast<float*>(buffer.mData), frames, 0.25f);
            static_cast<float*>(output->buffers()[1].mData)[frames - 1] = last;
            return noErr;
        };
    }

    float last = 0.25f;

protected:
    bool initWithComponentDescription(const AudioComponentDescription& description,
                                      AudioComponentInstantiationOptions options, foundation::NSError* error) override {
        if (!AUAudioUnit::initWithComponentDescription(description, options, error)) return false;
        const auto format = AVAudioFormat::makeStandard(44100, 2);
        inputs_ = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeInput, {AUAudioUnitBus::make(format)});
        outputs_ = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeOutput, {AUAudioUnitBus::make(format)});
        return true;
    }

private:
    AUAudioUnitBusArrayPtr inputs_, outputs_;
};

TEST(RenderRig, NaNInfinityAndSubnormalOutputAreFaultsWhereTheyAppear) {
    using Kind = RenderFault::Kind;
    using Limits = std::numeric_limits<float>;
    for (const auto& [value, kind] : {std::pair{0.5f, Kind::None}, std::pair{Limits::quiet_NaN(), Kind::NaN},
                                      std::pair{-Limits::infinity(), Kind::Infinity},
                                      std::pair{Limits::denorm_min(), Kind::Subnormal}}) {
        SCOPED_TRACE(value);
        const auto unit = AUAudioUnit::create<OneValueUnit>(
            {fourCharCode("aufx"), fourCharCode("rig "), fourCharCode("Dmrw"), 0, 0}, {});
        ASSERT_TRUE(unit && unit->allocateRenderResources());
        unit->last = value;
        validator::RenderRig rig(*unit, 2, 2, 256, 1024, 1);
        RenderFault fault;
        EXPECT_EQ(rig.render(256, false, 1024, false, {}, fault), kind == Kind::None);
        EXPECT_EQ(fault.kind, kind);
        if (kind != Kind::None) {
            EXPECT_EQ(fault.frame, 255u);
            EXPECT_EQ(fault.channel, 1u);
        }
    }
}

}  // namespace
