#pragma once
// Building and walking event lists. Packets follow each other in memory: the
// next packet starts after the last used word of the previous one, rounded up
// to the packet's alignment so that its 64-bit time stamp is aligned.
// Allocation-free and lock-free; usable on real-time threads.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "midi/MIDIEventList.hpp"

namespace midi {

inline constexpr std::size_t kMIDIEventPacketMaxWords = 64;

// The byte offset of `words` inside a packet.
inline constexpr std::size_t kMIDIEventPacketHeaderSize = offsetof(MIDIEventPacket, words);

// The packet after `packet` in its list.
inline MIDIEventPacket* MIDIEventPacketNext(MIDIEventPacket* packet) noexcept {
    auto address = reinterpret_cast<std::uintptr_t>(&packet->words[packet->wordCount]);
    constexpr std::uintptr_t align = alignof(MIDIEventPacket);
    address = (address + align - 1) & ~(align - 1);
    return reinterpret_cast<MIDIEventPacket*>(address);
}
inline const MIDIEventPacket* MIDIEventPacketNext(const MIDIEventPacket* packet) noexcept {
    return MIDIEventPacketNext(const_cast<MIDIEventPacket*>(packet));
}

// Empties the list and returns its first packet, for MIDIEventListAdd.
inline MIDIEventPacket* MIDIEventListInit(MIDIEventList* list, MIDIProtocolID protocol) noexcept {
    list->protocol = protocol;
    list->numPackets = 0;
    return &list->packet[0];
}

// Appends one Universal MIDI Packet message of `wordCount` words at `time`.
// The words join `current` when it has the same time stamp and room; otherwise
// they start a new packet after it. Returns the packet that now holds them, or
// null when the list (`listSize` bytes from `list`) is full or wordCount is
// 0 or above 64.
inline MIDIEventPacket* MIDIEventListAdd(MIDIEventList* list, std::size_t listSize,
                                         MIDIEventPacket* current, MIDITimeStamp time,
                                         std::size_t wordCount, const std::uint32_t* words) noexcept {
    if (wordCount == 0 || wordCount > kMIDIEventPacketMaxWords || current == nullptr) return nullptr;
    const auto listStart = reinterpret_cast<std::uintptr_t>(list);
    const auto listEnd = listStart + listSize;
    if (list->numPackets > 0 && current->timeStamp == time &&
        current->wordCount + wordCount <= kMIDIEventPacketMaxWords) {
        const auto end = reinterpret_cast<std::uintptr_t>(&current->words[current->wordCount + wordCount]);
        if (end <= listEnd) {
            std::memcpy(&current->words[current->wordCount], words, wordCount * sizeof(std::uint32_t));
            current->wordCount += static_cast<std::uint32_t>(wordCount);
            return current;
        }
    }
    MIDIEventPacket* packet = list->numPackets == 0 ? current : MIDIEventPacketNext(current);
    const auto end = reinterpret_cast<std::uintptr_t>(packet) + kMIDIEventPacketHeaderSize +
                     wordCount * sizeof(std::uint32_t);
    if (end > listEnd) return nullptr;
    packet->timeStamp = time;
    packet->wordCount = static_cast<std::uint32_t>(wordCount);
    std::memcpy(packet->words, words, wordCount * sizeof(std::uint32_t));
    ++list->numPackets;
    return packet;
}

// Calls visit(const MIDIEventPacket&) for every packet of the list, in order.
template <class Visit>
void MIDIEventListForEachPacket(const MIDIEventList* list, Visit&& visit) {
    const MIDIEventPacket* packet = &list->packet[0];
    for (std::uint32_t i = 0; i < list->numPackets; ++i) {
        visit(*packet);
        packet = MIDIEventPacketNext(packet);
    }
}

// The number of words a Universal MIDI Packet message occupies, from its
// first word's message type.
inline constexpr std::size_t UMPMessageWordCount(std::uint32_t firstWord) noexcept {
    constexpr std::uint8_t sizes[16] = {1, 1, 1, 2, 2, 4, 1, 1, 2, 2, 2, 3, 3, 4, 4, 4};
    return sizes[firstWord >> 28];
}

}  // namespace midi
