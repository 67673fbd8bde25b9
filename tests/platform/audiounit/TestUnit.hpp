#pragma once
// A small unit for the base-class tests: three parameters, two presets; records the events it renders.

#include <vector>

#include "FakeUnitModule.hpp"

namespace testunits {

using namespace audiounit;

inline constexpr AudioComponentDescription kTestDescription{fourCharCode("aufx"), fourCharCode("test"),
                                                            fourCharCode("Dmrw"), 0, 0};

class RecordingUnit : public testsupport::FakeUnit {
public:
    struct SeenEvent {
        std::size_t cycle;  // counted from 0
        AUEventSampleTime time;
        AURenderEventType type;
        AUParameterAddress address;
        AUValue value;
        std::uint32_t midiWord;
        bool operator==(const SeenEvent&) const = default;
    };

    explicit RecordingUnit(ConstructionKey key) : FakeUnit(key) { events.reserve(4096); }

    std::vector<SeenEvent> events;
    std::size_t cycles = 0;
    std::vector<AUAudioUnitPresetPtr> presets{AUAudioUnitPreset::make(0, "Zero"), AUAudioUnitPreset::make(1, "One")};

    std::vector<AUAudioUnitPresetPtr> factoryPresets() const override { return presets; }

protected:
    // Render thread: stores into reserved memory only.
    OSStatus render(const testsupport::RenderCycle& cycle) noexcept override {
        for (const AURenderEvent* e = cycle.events; e != nullptr; e = e->head.next) {
            SeenEvent seen{cycles, e->head.eventSampleTime, e->head.eventType, 0, 0, 0};
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
        ++cycles;
        if (const OSStatus status = pullInput(cycle); status != noErr) return status;
        writeInputTimes(cycle, 1.0f);
        return noErr;
    }

    void build() override {
        const auto flags = kAudioUnitParameterFlag_IsWritable | kAudioUnitParameterFlag_IsReadable;
        const auto parameter = [&](const char* identifier, const char* name, AUParameterAddress address, AUValue max,
                                   AudioUnitParameterUnit unit) {
            return AUParameterTree::createParameter(identifier, name, address, 0, max, unit, std::nullopt, flags,
                                                    std::nullopt, std::nullopt);
        };
        setParameterTree(AUParameterTree::createTree({AUParameterTree::createGroup(
            "global", "Global",
            {parameter("drive", "Drive", 0, 100, kAudioUnitParameterUnit_Percent),
             parameter("gain", "Output", 4, 1, kAudioUnitParameterUnit_LinearGain),
             parameter("tone", "Tone", 10, 1, kAudioUnitParameterUnit_Generic)})}));
    }
};

inline std::shared_ptr<RecordingUnit> makeUnit() {
    return AUAudioUnit::create<RecordingUnit>(kTestDescription, kAudioComponentInstantiation_None);
}

}  // namespace testunits
