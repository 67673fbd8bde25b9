#pragma once
// A small audio unit for the base-class tests: one stereo input and output
// bus, three parameters, two factory presets, and a render callback that copies
// input to output and records the events it receives.

#include <vector>

#include "audiounit/AUAudioUnit.hpp"

namespace testunits {

using namespace audiounit;

inline constexpr AudioComponentDescription kTestDescription{fourCharCode("aufx"), fourCharCode("test"),
                                                            fourCharCode("Dmrw"), 0, 0};

class RecordingUnit : public AUAudioUnit {
public:
    struct SeenEvent {
        AUEventSampleTime time;
        AURenderEventType type;
        AUParameterAddress address;
        AUValue value;
        std::uint32_t midiWord;
    };
    struct SeenCycle {
        AUEventSampleTime start;
        AUAudioFrameCount frames;
        std::size_t firstEvent;
        std::size_t eventCount;
    };

    explicit RecordingUnit(ConstructionKey key) : AUAudioUnit(key) {
        events.reserve(4096);
        cycles.reserve(4096);
    }

    std::vector<SeenEvent> events;
    std::vector<SeenCycle> cycles;

    AUAudioUnitBusArrayPtr inputBusses() const override { return inputs; }
    AUAudioUnitBusArrayPtr outputBusses() const override { return outputs; }
    std::vector<AUAudioUnitPresetPtr> factoryPresets() const override { return presets; }

    AUInternalRenderBlock internalRenderBlock() override {
        return [this](AudioUnitRenderActionFlags*, const AudioTimeStamp* ts, AUAudioFrameCount frames, NSInteger,
                      AudioBufferList* out, const AURenderEvent* list, const AURenderPullInputBlock* pull) -> OSStatus {
            const std::size_t first = events.size();
            for (const AURenderEvent* e = list; e != nullptr; e = e->head.next) {
                SeenEvent seen{e->head.eventSampleTime, e->head.eventType, 0, 0, 0};
                if (e->head.eventType == AURenderEventParameter || e->head.eventType == AURenderEventParameterRamp) {
                    seen.address = e->parameter.parameterAddress;
                    seen.value = e->parameter.value;
                } else if (e->head.eventType == AURenderEventMIDIEventList) {
                    seen.midiWord = e->MIDIEventsList.eventList.packet[0].words[0];
                } else if (e->head.eventType == AURenderEventMIDI) {
                    seen.midiWord = e->MIDI.data[0];
                }
                events.push_back(seen);
            }
            cycles.push_back({static_cast<AUEventSampleTime>(ts->mSampleTime), frames, first, events.size() - first});
            if (pull != nullptr && *pull && out != nullptr) {
                AudioUnitRenderActionFlags flags = 0;
                return (*pull)(&flags, ts, frames, 0, out);
            }
            return noErr;
        };
    }

    AUAudioUnitBusArrayPtr inputs;
    AUAudioUnitBusArrayPtr outputs;
    std::vector<AUAudioUnitPresetPtr> presets{AUAudioUnitPreset::make(0, "Zero"), AUAudioUnitPreset::make(1, "One")};

protected:
    bool initWithComponentDescription(const AudioComponentDescription& d, AudioComponentInstantiationOptions o,
                                      foundation::NSError* error) override {
        if (!AUAudioUnit::initWithComponentDescription(d, o, error)) return false;
        auto format = AVAudioFormat::makeStandard(44100, 2);
        inputs = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeInput,
                                           {AUAudioUnitBus::make(format)});
        outputs = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeOutput,
                                            {AUAudioUnitBus::make(format)});
        const auto flags = kAudioUnitParameterFlag_IsWritable | kAudioUnitParameterFlag_IsReadable;
        auto tree = AUParameterTree::createTree({AUParameterTree::createGroup(
            "global", "Global",
            {AUParameterTree::createParameter("drive", "Drive", 0, 0, 100, kAudioUnitParameterUnit_Percent,
                                              std::nullopt, flags, std::nullopt, std::nullopt),
             AUParameterTree::createParameter("gain", "Output", 4, 0, 1, kAudioUnitParameterUnit_LinearGain,
                                              std::nullopt, flags, std::nullopt, std::nullopt),
             AUParameterTree::createParameter("tone", "Tone", 10, 0, 1, kAudioUnitParameterUnit_Generic,
                                              std::nullopt, flags, std::nullopt, std::nullopt)})});
        setParameterTree(tree);
        return true;
    }
};

inline std::shared_ptr<RecordingUnit> makeUnit() {
    foundation::NSError error;
    auto unit = AUAudioUnit::create<RecordingUnit>(kTestDescription, kAudioComponentInstantiation_None, &error);
    return unit;
}

}  // namespace testunits
