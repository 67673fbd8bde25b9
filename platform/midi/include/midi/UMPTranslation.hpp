#pragma once
// MIDI 1.0 byte streams to Universal MIDI Packets, by the standard default
// translation:
//  - channel voice messages become MIDI 2.0 channel voice messages (type 4)
//    for the MIDI 2.0 protocol, with values scaled up by the min-center-max
//    rule (velocity to 16 bits, controllers and pressure to 32 bits, pitch bend
//    from 14 to 32 bits); a note on with velocity 0 becomes a note off with
//    velocity 0; bank select (controllers 0 and 32) is held per channel and
//    sent with the next program change (bank-valid flag set) instead of as
//    controllers. For the MIDI 1.0 protocol they are wrapped unchanged (type 2).
//  - system common and real-time messages become type 1; real-time bytes may
//    interleave any other message.
//  - system exclusive becomes 64-bit data messages (type 3), six bytes per
//    packet, marked complete, start, continue and end.
// Running status is honoured; stray data bytes and undefined status bytes are
// dropped. Feeding allocates nothing, takes no lock and throws nothing.

#include <cstddef>
#include <cstdint>
#include <span>

#include "midi/MIDIEventList.hpp"

namespace midi {

// Scales `value` of `sourceBits` up to `destinationBits`: 0 stays 0, the centre
// (1 << (sourceBits - 1)) maps to the destination centre, the maximum to the
// destination maximum, with the bits below the centre repeated above it.
inline constexpr std::uint32_t scaleUpMinCenterMax(std::uint32_t value, unsigned sourceBits,
                                                   unsigned destinationBits) noexcept {
    const unsigned scaleBits = destinationBits - sourceBits;
    std::uint32_t shifted = value << scaleBits;
    const std::uint32_t center = 1u << (sourceBits - 1);
    if (value <= center) return shifted;
    const unsigned repeatBits = sourceBits - 1;
    const std::uint32_t repeatMask = (1u << repeatBits) - 1;
    std::uint32_t repeat = value & repeatMask;
    if (scaleBits > repeatBits) {
        repeat <<= scaleBits - repeatBits;
    } else {
        repeat >>= repeatBits - scaleBits;
    }
    while (repeat != 0) {
        shifted |= repeat;
        repeat >>= repeatBits;
    }
    return shifted;
}

class MIDI1ToUMPTranslator {
public:
    explicit MIDI1ToUMPTranslator(MIDIProtocolID protocol = kMIDIProtocol_2_0,
                                  std::uint8_t group = 0) noexcept
        : midi2_(protocol == kMIDIProtocol_2_0), group_(static_cast<std::uint32_t>(group & 0x0F)) {}

    [[nodiscard]] MIDIProtocolID protocol() const noexcept {
        return midi2_ ? kMIDIProtocol_2_0 : kMIDIProtocol_1_0;
    }

    // Forgets any message in progress, running status and held bank selects.
    void reset() noexcept {
        const bool midi2 = midi2_;
        const auto group = group_;
        *this = MIDI1ToUMPTranslator(midi2 ? kMIDIProtocol_2_0 : kMIDIProtocol_1_0,
                                     static_cast<std::uint8_t>(group));
    }

    // Feeds bytes; calls emit(const std::uint32_t* words, std::size_t count)
    // once for every complete message.
    template <class Emit>
    void feed(std::span<const std::uint8_t> bytes, Emit&& emit) noexcept {
        for (const std::uint8_t byte : bytes) feedByte(byte, emit);
    }

private:
    template <class Emit>
    void feedByte(std::uint8_t byte, Emit& emit) noexcept {
        if (byte >= 0xF8) {  // real-time: never disturbs the message in progress
            if (byte == 0xF9 || byte == 0xFD) return;  // undefined
            emitSystem(byte, 0, 0, emit);
            return;
        }
        if (byte == 0xF7) {
            if (inSysEx_) emitSysEx(sysExStarted_ ? 0x3 : 0x0, emit);
            inSysEx_ = false;
            return;
        }
        if (byte & 0x80) {
            if (inSysEx_) {  // a status byte ends an unterminated system exclusive
                emitSysEx(sysExStarted_ ? 0x3 : 0x0, emit);
                inSysEx_ = false;
            }
            status_ = 0;
            dataCount_ = 0;
            if (byte == 0xF0) {
                inSysEx_ = true;
                sysExStarted_ = false;
                sysExCount_ = 0;
            } else if (byte < 0xF0) {
                status_ = byte;
                expected_ = (byte & 0xF0) == 0xC0 || (byte & 0xF0) == 0xD0 ? 1 : 2;
            } else if (byte == 0xF1 || byte == 0xF3) {
                status_ = byte;
                expected_ = 1;
            } else if (byte == 0xF2) {
                status_ = byte;
                expected_ = 2;
            } else if (byte == 0xF6) {
                emitSystem(byte, 0, 0, emit);
            }  // 0xF4 and 0xF5 are undefined: dropped, with running status
            return;
        }
        if (inSysEx_) {
            if (sysExCount_ == 6) {  // more follows, so this packet is not the last
                emitSysEx(sysExStarted_ ? 0x2 : 0x1, emit);
                sysExStarted_ = true;
            }
            sysEx_[sysExCount_++] = byte;
            return;
        }
        if (status_ == 0) return;  // stray data byte
        data_[dataCount_++] = byte;
        if (dataCount_ < expected_) return;
        dataCount_ = 0;
        if (status_ >= 0xF0) {
            emitSystem(status_, data_[0], expected_ == 2 ? data_[1] : 0, emit);
            status_ = 0;  // system common messages cancel running status
        } else {
            emitChannelVoice(status_, data_[0], expected_ == 2 ? data_[1] : 0, emit);
        }
    }

    template <class Emit>
    void emitSystem(std::uint8_t status, std::uint8_t data1, std::uint8_t data2, Emit& emit) noexcept {
        const std::uint32_t word = 0x10000000u | group_ << 24 | std::uint32_t{status} << 16 |
                                   std::uint32_t{data1} << 8 | data2;
        emit(&word, std::size_t{1});
    }

    template <class Emit>
    void emitSysEx(std::uint32_t packetStatus, Emit& emit) noexcept {
        std::uint8_t b[6] = {};
        for (unsigned i = 0; i < sysExCount_; ++i) b[i] = sysEx_[i];
        const std::uint32_t words[2] = {
            0x30000000u | group_ << 24 | packetStatus << 20 | std::uint32_t{sysExCount_} << 16 |
                std::uint32_t{b[0]} << 8 | b[1],
            std::uint32_t{b[2]} << 24 | std::uint32_t{b[3]} << 16 | std::uint32_t{b[4]} << 8 | b[5]};
        sysExCount_ = 0;
        emit(words, std::size_t{2});
    }

    template <class Emit>
    void emitChannelVoice(std::uint8_t status, std::uint8_t data1, std::uint8_t data2, Emit& emit) noexcept {
        if (!midi2_) {
            const std::uint32_t word = 0x20000000u | group_ << 24 | std::uint32_t{status} << 16 |
                                       std::uint32_t{data1} << 8 | data2;
            emit(&word, std::size_t{1});
            return;
        }
        std::uint32_t opcode = status >> 4;
        const std::uint32_t channel = status & 0x0F;
        std::uint32_t index = 0;     // note number, controller, or 0
        std::uint32_t attributes = 0;  // low byte of the first word
        std::uint32_t value = 0;
        Bank& bank = banks_[channel];
        switch (opcode) {
            case 0x9:
                if (data2 == 0) opcode = 0x8;  // note on with velocity 0 is a note off
                [[fallthrough]];
            case 0x8:
                index = data1;
                value = scaleUpMinCenterMax(data2, 7, 16) << 16;
                break;
            case 0xA:
                index = data1;
                value = scaleUpMinCenterMax(data2, 7, 32);
                break;
            case 0xB:
                if (data1 == 0) {
                    bank.msb = data2;
                    bank.pending = true;
                    return;
                }
                if (data1 == 32) {
                    bank.lsb = data2;
                    bank.pending = true;
                    return;
                }
                index = data1;
                value = scaleUpMinCenterMax(data2, 7, 32);
                break;
            case 0xC:
                value = std::uint32_t{data1} << 24;
                if (bank.pending) {
                    attributes = 0x01;  // bank valid
                    value |= std::uint32_t{bank.msb} << 8 | bank.lsb;
                    bank.pending = false;  // the bank stays remembered, but is sent once
                }
                break;
            case 0xD:
                value = scaleUpMinCenterMax(data1, 7, 32);
                break;
            case 0xE:
                value = scaleUpMinCenterMax(std::uint32_t{data2} << 7 | data1, 14, 32);
                break;
            default:
                return;
        }
        const std::uint32_t words[2] = {
            0x40000000u | group_ << 24 | opcode << 20 | channel << 16 | index << 8 | attributes, value};
        emit(words, std::size_t{2});
    }

    struct Bank {
        std::uint8_t msb = 0;
        std::uint8_t lsb = 0;
        bool pending = false;
    };

    bool midi2_;
    std::uint32_t group_;
    std::uint8_t status_ = 0;  // running status, or a pending system common status
    std::uint8_t expected_ = 0;
    std::uint8_t dataCount_ = 0;
    std::uint8_t data_[2] = {};
    bool inSysEx_ = false;
    bool sysExStarted_ = false;
    std::uint8_t sysExCount_ = 0;
    std::uint8_t sysEx_[6] = {};
    Bank banks_[16] = {};
};

}  // namespace midi
