// The module of the host tests' units. Built twice: as a gain effect and as an
// instrument (HOST_TEST_INSTRUMENT), each in its own bundle, and once more as
// an effect that cannot allocate its render resources (HOST_TEST_FAILS_ALLOCATION).

#include <algorithm>

#include "HostTestUnits.hpp"
#include "audiounit/AUAudioUnitBusArray.hpp"
#include "audiounit/AudioUnitModuleEntry.hpp"
#include "ui/ViewController.hpp"

using namespace audiounit;

namespace {

class HostTestUnit final : public AUAudioUnit {
public:
    explicit HostTestUnit(ConstructionKey key) : AUAudioUnit(key) {}

    std::shared_ptr<hosttest::UnitCounters> counters;

    AUAudioUnitBusArrayPtr inputBusses() const override { return inputs_; }
    AUAudioUnitBusArrayPtr outputBusses() const override { return outputs_; }
#if defined(HOST_TEST_INSTRUMENT)
    std::vector<std::string> MIDIOutputNames() const override { return {"Test MIDI Out"}; }
#endif

    bool allocateRenderResources(foundation::NSError* outError) override {
#if defined(HOST_TEST_FAILS_ALLOCATION)
        if (outError != nullptr) {
            *outError = foundation::makeOSStatusError(kAudioUnitErr_FailedInitialization, "The test unit refuses");
        }
        return false;
#endif
        pullBuffer_ = AVAudioPCMBuffer::make(outputs_->busses()[0]->format(), maximumFramesToRender());
        return AUAudioUnit::allocateRenderResources(outError);
    }

    // Render thread: no allocation, no lock.
    AUInternalRenderBlock internalRenderBlock() override {
        return [this](AudioUnitRenderActionFlags* flags, const AudioTimeStamp* timestamp, AUAudioFrameCount frames,
                      NSInteger, AudioBufferList* output, const AURenderEvent* events,
                      const AURenderPullInputBlock* pullInput) -> OSStatus {
            counters->renderCycles.fetch_add(1, std::memory_order_relaxed);
            for (const AURenderEvent* e = events; e != nullptr; e = e->head.next) {
                if (e->head.eventType == AURenderEventMIDIEventList) {
                    counters->midiEventLists.fetch_add(1, std::memory_order_relaxed);
                    counters->lastMIDIWord.store(e->MIDIEventsList.eventList.packet[0].words[0],
                                                 std::memory_order_relaxed);
                }
            }
#if defined(HOST_TEST_INSTRUMENT)
            (void)flags;
            (void)timestamp;
            (void)pullInput;
            for (std::uint32_t c = 0; c < output->mNumberBuffers; ++c) {
                auto* samples = static_cast<float*>(output->mBuffers[c].mData);
                if (samples != nullptr) std::fill_n(samples, frames, hosttest::kInstrumentLevel);
            }
            return noErr;
#else
            if (pullInput == nullptr || !*pullInput) return kAudioUnitErr_NoConnection;
            AudioBufferList& pulled = *pullBuffer_->mutableAudioBufferList();
            const auto memory = pullBuffer_->floatChannelData();
            pullBuffer_->setFrameLength(frames);
            for (std::uint32_t c = 0; c < pulled.mNumberBuffers; ++c) pulled.mBuffers[c].mData = memory[c];
            const OSStatus status = (*pullInput)(flags, timestamp, frames, 0, &pulled);
            if (status != noErr) return status;
            for (std::uint32_t c = 0; c < output->mNumberBuffers && c < pulled.mNumberBuffers; ++c) {
                if (output->mBuffers[c].mData == nullptr) output->mBuffers[c].mData = pulled.mBuffers[c].mData;
                const auto* in = static_cast<const float*>(pulled.mBuffers[c].mData);
                auto* out = static_cast<float*>(output->mBuffers[c].mData);
                for (AUAudioFrameCount i = 0; i < frames; ++i) out[i] = in[i] * hosttest::kEffectGain;
            }
            return noErr;
#endif
        };
    }

protected:
    bool initWithComponentDescription(const AudioComponentDescription& description,
                                      AudioComponentInstantiationOptions options,
                                      foundation::NSError* outError) override {
        if (!AUAudioUnit::initWithComponentDescription(description, options, outError)) return false;
        const auto format = AVAudioFormat::makeStandard(44100, 2);
        inputs_ = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeInput,
#if defined(HOST_TEST_INSTRUMENT)
                                            {});
#else
                                            {AUAudioUnitBus::make(format)});
#endif
        outputs_ = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeOutput,
                                             {AUAudioUnitBus::make(format)});
        return true;
    }

private:
    AUAudioUnitBusArrayPtr inputs_;
    AUAudioUnitBusArrayPtr outputs_;
    AVAudioPCMBufferPtr pullBuffer_;
};

#ifdef HOST_TEST_INSTRUMENT
// The instrument has no editor of its own: hosts show the generic one.
class HostTestFactory final : public hosttest::HostTestPrincipal {
#else
// The effect's principal object is also its editor (an empty view).
class HostTestFactory final : public hosttest::HostTestPrincipal, public ui::NSViewController {
#endif
public:
#ifndef HOST_TEST_INSTRUMENT
    // The effect's editor: one colour at a fixed preferred size.
    HostTestFactory() { setPreferredContentSize(hosttest::kEditorSize); }
    void loadView() override {
        setView(std::make_shared<ui::NSView>(std::make_shared<ui::ViewHost>(
            ui::View(hosttest::kEditorColour).accessibilityIdentifier("HostTestEditor"), hosttest::kEditorSize)));
    }
#endif
    std::shared_ptr<AUAudioUnit> createAudioUnit(const AudioComponentDescription& description,
                                                 foundation::NSError* outError) override {
        auto unit = AUAudioUnit::create<HostTestUnit>(description, kAudioComponentInstantiation_None, outError);
        if (!unit) return nullptr;
        unit->counters = counters;
        audioUnit = unit;
        return unit;
    }
};

}  // namespace

DUNMARROW_AUDIO_UNIT_MODULE(HostTestFactory)
