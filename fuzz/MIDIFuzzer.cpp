// MIDI 1.0 bytes as a source delivers them, through the MIDI server's own
// source stream (translation to Universal MIDI Packets and event lists, as the
// JACK backend feeds it: events at their times, a flush at the end of each
// cycle), to ports of both protocols, and each delivered list on into an
// audio unit's event-list scheduling, as the host forwards it. Every list must
// hold whole messages of its protocol's types in at most 64 words per packet,
// and the unit's render must see exactly the words of the packets it took.
//
// Input: one byte choosing the ports (bit 0: MIDI 1.0, bit 1: MIDI 2.0; none
// means both), then records: a header byte (bits 0-5: how many MIDI bytes
// follow; bit 6: a time step byte comes first, the event is later than the
// one before; bit 7: the cycle ends after it), the time step, the bytes.

#include <cstdint>
#include <memory>
#include <vector>

#include "FuzzSupport.hpp"
#include "MIDIServer.hpp"
#include "audiounit/AUAudioUnit.hpp"
#include "midi/MIDIEventListFunctions.hpp"

namespace {

using namespace audiounit;
using fuzzing::require;

// Records the words of every event list its render sees, in order.
class EventListRecorder final : public AUAudioUnit {
public:
    explicit EventListRecorder(ConstructionKey key) : AUAudioUnit(key) {}

    std::vector<std::uint32_t> seenWords;
    std::size_t seenPackets = 0;

    AUInternalRenderBlock internalRenderBlock() override {
        return [this](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount, NSInteger,
                      AudioBufferList*, const AURenderEvent* events, const AURenderPullInputBlock*) -> OSStatus {
            for (const AURenderEvent* e = events; e != nullptr; e = e->head.next) {
                require(e->head.eventType == AURenderEventMIDIEventList, "an event list arrived as another event");
                const auto& list = e->MIDIEventsList.eventList;
                require(list.numPackets == 1 && list.packet[0].wordCount <= 64, "a scheduled packet changed shape");
                seenWords.insert(seenWords.end(), list.packet[0].words,
                                 list.packet[0].words + list.packet[0].wordCount);
                ++seenPackets;
            }
            return noErr;
        };
    }
};

std::shared_ptr<EventListRecorder> makeRecorder() {
    static constexpr AudioComponentDescription kDescription{fourCharCode("aumf"), fourCharCode("fuzz"),
                                                            fourCharCode("Dmrw"), 0, 0};
    auto unit = AUAudioUnit::create<EventListRecorder>(kDescription, kAudioComponentInstantiation_None);
    require(unit && unit->allocateRenderResources(), "the recording unit cannot render");
    return unit;
}

// Checks one delivered list and hands it to the unit as the host does.
void receive(const midi::MIDIEventList* list, midi::MIDIProtocolID protocol, EventListRecorder& unit) {
    require(list != nullptr && list->protocol == protocol, "a list of the wrong protocol was delivered");
    require(list->numPackets > 0, "an empty list was delivered");

    std::vector<std::uint32_t> words;
    std::vector<std::size_t> packetEnds;  // words up to the end of each packet
    midi::MIDITimeStamp previousTime = 0;
    midi::MIDIEventListForEachPacket(list, [&](const midi::MIDIEventPacket& packet) {
        require(packet.wordCount >= 1 && packet.wordCount <= midi::kMIDIEventPacketMaxWords,
                "a packet's word count is out of range");
        require(packet.timeStamp >= previousTime, "packets went back in time");
        previousTime = packet.timeStamp;
        for (std::size_t i = 0; i < packet.wordCount;) {
            const std::uint32_t type = packet.words[i] >> 28;
            const bool allowed = type == 0x1 || type == 0x3 || type == (protocol == midi::kMIDIProtocol_2_0 ? 0x4u : 0x2u);
            require(allowed, "a message type the translation never makes");
            i += midi::UMPMessageWordCount(packet.words[i]);
            require(i <= packet.wordCount, "a message is split across packets");
        }
        words.insert(words.end(), packet.words, packet.words + packet.wordCount);
        packetEnds.push_back(words.size());
    });

    unit.seenWords.clear();
    unit.seenPackets = 0;
    const OSStatus status = unit.scheduleMIDIEventListBlock()(AUEventSampleTimeImmediate, 0, list);
    require(status == noErr || status == kAudioUnitErr_CannotDoInCurrentContext,
            "a well-formed list was refused");
    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp timestamp{};
    timestamp.mFlags = kAudioTimeStampSampleTimeValid;
    require(unit.renderBlock()(&flags, &timestamp, 64, 0, nullptr, nullptr) == noErr, "the unit did not render");

    // Every packet when all fitted; otherwise the packets that fitted, from the first.
    require(unit.seenPackets <= packetEnds.size() && (status != noErr || unit.seenPackets == packetEnds.size()),
            "the unit saw a different number of packets than were scheduled");
    const std::size_t expectedWords = unit.seenPackets == 0 ? 0 : packetEnds[unit.seenPackets - 1];
    require(unit.seenWords.size() == expectedWords &&
                std::equal(unit.seenWords.begin(), unit.seenWords.end(), words.begin()),
            "the unit's render saw other words than the list held");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace midi::detail;
    static const auto unit = makeRecorder();

    fuzzing::ByteReader input(data, size);
    const std::uint8_t wanted = input.byte() & 3;
    const bool wantsMIDI1 = wanted != 2, wantsMIDI2 = wanted != 1;

    PortState midi1Port{1, 1, midi::kMIDIProtocol_1_0,
                        [](const midi::MIDIEventList* list, void*) { receive(list, midi::kMIDIProtocol_1_0, *unit); }};
    PortState midi2Port{2, 1, midi::kMIDIProtocol_2_0,
                        [](const midi::MIDIEventList* list, void*) { receive(list, midi::kMIDIProtocol_2_0, *unit); }};
    SourceStream stream;
    Route route;
    route.source = 3;
    route.stream = &stream;
    if (wantsMIDI1) route.receivers.push_back({&midi1Port, nullptr});
    if (wantsMIDI2) route.receivers.push_back({&midi2Port, nullptr});
    route.wantsProtocol[0] = wantsMIDI1;
    route.wantsProtocol[1] = wantsMIDI2;

    midi::MIDITimeStamp time = 1'000'000;
    while (!input.empty()) {
        const std::uint8_t header = input.byte();
        if (header & 0x40) time += 1 + input.byte();
        stream.add(route, input.take(header & 0x3F), time);
        if (header & 0x80) stream.flush(route);
    }
    stream.flush(route);
    return 0;
}
