// MIDI 1.0 bytes to Universal MIDI Packets, checked against words worked out
// by hand from the message layouts and the min-center-max scaling rule; and
// building and walking event lists.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "midi/MIDIEventListFunctions.hpp"
#include "midi/UMPTranslation.hpp"

using namespace midi;
using Words = std::vector<std::uint32_t>;

namespace {

Words translate(MIDI1ToUMPTranslator& translator, const std::vector<std::uint8_t>& bytes) {
    Words out;
    translator.feed(bytes, [&](const std::uint32_t* words, std::size_t count) {
        EXPECT_EQ(count, UMPMessageWordCount(words[0]));
        out.insert(out.end(), words, words + count);
    });
    return out;
}

Words toMIDI2(const std::vector<std::uint8_t>& bytes) {
    MIDI1ToUMPTranslator translator(kMIDIProtocol_2_0);
    return translate(translator, bytes);
}

struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    Words words;
};

}  // namespace

// Values scale up by the min-center-max rule: 0, the centre and the top stay
// where they are; above the centre the low bits repeat below
// (65 = 1000001 -> 1000001 000001 000 = 0x8208).
class ToMIDI2 : public ::testing::TestWithParam<Case> {};

TEST_P(ToMIDI2, GivesTheExpectedWords) { EXPECT_EQ(toMIDI2(GetParam().bytes), GetParam().words) << GetParam().what; }

INSTANTIATE_TEST_SUITE_P(
    ChannelVoice, ToMIDI2,
    ::testing::Values(
        Case{"note on, velocity 1", {0x90, 0x3C, 0x01}, {0x40903C00, 0x02000000}},
        Case{"note on, velocity 65", {0x90, 0x3C, 0x41}, {0x40903C00, 0x82080000}},
        Case{"note on, velocity 100", {0x90, 0x3C, 0x64}, {0x40903C00, 0xC9240000}},
        Case{"note on channel 6, velocity 127", {0x95, 0x40, 0x7F}, {0x40954000, 0xFFFF0000}},
        Case{"note on with velocity 0 is a note off", {0x90, 0x3C, 0x00}, {0x40803C00, 0x00000000}},
        Case{"note off, velocity 64", {0x81, 0x40, 0x40}, {0x40814000, 0x80000000}},
        Case{"poly pressure", {0xA2, 0x30, 0x7F}, {0x40A23000, 0xFFFFFFFF}},
        Case{"controller 7 = 100", {0xB0, 0x07, 0x64}, {0x40B00700, 0xC9249249}},
        Case{"controller 1 = 0", {0xBF, 0x01, 0x00}, {0x40BF0100, 0x00000000}},
        Case{"channel pressure", {0xD3, 0x40}, {0x40D30000, 0x80000000}},
        Case{"pitch bend centre", {0xE0, 0x00, 0x40}, {0x40E00000, 0x80000000}},
        Case{"pitch bend centre + 1", {0xE0, 0x01, 0x40}, {0x40E00000, 0x80040020}},
        Case{"pitch bend top", {0xE1, 0x7F, 0x7F}, {0x40E10000, 0xFFFFFFFF}},
        Case{"pitch bend bottom", {0xE1, 0x00, 0x00}, {0x40E10000, 0x00000000}},
        Case{"program change without bank", {0xC4, 0x0A}, {0x40C40000, 0x0A000000}},
        Case{"bank select then program change",
             {0xB0, 0x00, 0x05, 0xB0, 0x20, 0x03, 0xC0, 0x0A},
             {0x40C00001, 0x0A000503}},
        Case{"the bank is sent once", {0xB2, 0x00, 0x01, 0xC2, 0x02, 0xC2, 0x03},
             {0x40C20001, 0x02000100, 0x40C20000, 0x03000000}},
        Case{"running status", {0x90, 0x3C, 0x64, 0x3E, 0x7F}, {0x40903C00, 0xC9240000, 0x40903E00, 0xFFFF0000}},
        Case{"real-time byte inside a message", {0x90, 0x3C, 0xF8, 0x64}, {0x10F80000, 0x40903C00, 0xC9240000}},
        Case{"stray data bytes are dropped", {0x3C, 0x64, 0x90, 0x3C, 0x64}, {0x40903C00, 0xC9240000}},
        Case{"an incomplete message is dropped by a new status", {0x90, 0x3C, 0xB0, 0x07, 0x40},
             {0x40B00700, 0x80000000}}));

// System messages become type 1 or 3 packets.
INSTANTIATE_TEST_SUITE_P(
    System, ToMIDI2,
    ::testing::Values(
        Case{"timing clock, start, continue, stop, active sensing, reset",
             {0xF8, 0xFA, 0xFB, 0xFC, 0xFE, 0xFF},
             {0x10F80000, 0x10FA0000, 0x10FB0000, 0x10FC0000, 0x10FE0000, 0x10FF0000}},
        Case{"undefined status bytes are dropped", {0xF4, 0xF5, 0xF9, 0xFD}, {}},
        Case{"time code quarter frame", {0xF1, 0x35}, {0x10F13500}},
        Case{"song position", {0xF2, 0x10, 0x20}, {0x10F21020}},
        Case{"song select", {0xF3, 0x07}, {0x10F30700}},
        Case{"tune request", {0xF6}, {0x10F60000}},
        Case{"system common cancels running status", {0x90, 0x3C, 0x64, 0xF3, 0x01, 0x3E, 0x64},
             {0x40903C00, 0xC9240000, 0x10F30100}},
        Case{"short system exclusive in one packet", {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7},
             {0x30047E7F, 0x09010000}},
        Case{"six bytes still fit one packet", {0xF0, 1, 2, 3, 4, 5, 6, 0xF7}, {0x30060102, 0x03040506}},
        Case{"empty system exclusive", {0xF0, 0xF7}, {0x30000000, 0x00000000}},
        Case{"twelve bytes: start and end", {0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0xF7},
             {0x30160102, 0x03040506, 0x30360708, 0x090A0B0C}},
        Case{"fourteen bytes: start, continue, end",
             {0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xF7},
             {0x30160102, 0x03040506, 0x30260708, 0x090A0B0C, 0x30320D0E, 0x00000000}},
        Case{"clock inside system exclusive", {0xF0, 1, 0xF8, 2, 0xF7}, {0x10F80000, 0x30020102, 0x00000000}},
        Case{"a status byte ends an unterminated system exclusive", {0xF0, 1, 2, 0x90, 0x3C, 0x64},
             {0x30020102, 0x00000000, 0x40903C00, 0xC9240000}}));

TEST(ScaleUpTest, IsMonotonicOverTheWhole7BitRange) {
    for (std::uint32_t v = 1; v < 128; ++v)
        EXPECT_LT(scaleUpMinCenterMax(v - 1, 7, 16), scaleUpMinCenterMax(v, 7, 16)) << v;
}

TEST(TranslatorTest, MessagesMaySpanFeeds) {
    MIDI1ToUMPTranslator translator;
    EXPECT_EQ(translate(translator, {0xF0, 1, 2, 3, 4}), Words{});
    EXPECT_EQ(translate(translator, {5, 6, 7}), (Words{0x30160102, 0x03040506}));
    EXPECT_EQ(translate(translator, {0xF7, 0x90}), (Words{0x30310700, 0x00000000}));
    EXPECT_EQ(translate(translator, {0x3C}), Words{});
    EXPECT_EQ(translate(translator, {0x64}), (Words{0x40903C00, 0xC9240000}));
    translator.reset();
    EXPECT_EQ(translate(translator, {0x3C, 0x64}), Words{});  // running status forgotten
}

TEST(TranslatorTest, MIDI1ProtocolWrapsChannelVoiceUnchanged) {
    MIDI1ToUMPTranslator translator(kMIDIProtocol_1_0);
    EXPECT_EQ(translator.protocol(), kMIDIProtocol_1_0);
    EXPECT_EQ(translate(translator, {0x90, 0x3C, 0x64, 0xC0, 0x0A, 0xB0, 0x00, 0x05, 0xE0, 0x01, 0x40}),
              (Words{0x20903C64, 0x20C00A00, 0x20B00005, 0x20E00140}));
    EXPECT_EQ(translate(translator, {0x90, 0x3C, 0x00}), Words{0x20903C00});  // left as it came
    EXPECT_EQ(translate(translator, {0xF8, 0xF0, 0x7E, 0xF7}), (Words{0x10F80000, 0x30017E00, 0x00000000}));
}

TEST(TranslatorTest, GroupGoesIntoEveryMessage) {
    MIDI1ToUMPTranslator translator(kMIDIProtocol_2_0, 3);
    EXPECT_EQ(translate(translator, {0x90, 0x3C, 0x64, 0xF8, 0xF0, 0x01, 0xF7}),
              (Words{0x43903C00, 0xC9240000, 0x13F80000, 0x33010100, 0x00000000}));
}

// ---- Event lists ----

namespace {
struct alignas(8) ListBuffer {
    std::uint8_t bytes[512];
    MIDIEventList* list() { return reinterpret_cast<MIDIEventList*>(bytes); }
};
}  // namespace

TEST(EventListTest, MessagesAtOneTimeShareAPacketAndNewTimesStartOne) {
    ListBuffer buffer;
    MIDIEventList* list = buffer.list();
    MIDIEventPacket* packet = MIDIEventListInit(list, kMIDIProtocol_2_0);
    EXPECT_EQ(list->protocol, kMIDIProtocol_2_0);
    EXPECT_EQ(list->numPackets, 0u);
    const std::uint32_t noteOn[2] = {0x40903C00, 0xC9240000};
    const std::uint32_t clock[1] = {0x10F80000};
    packet = MIDIEventListAdd(list, sizeof buffer, packet, 100, 2, noteOn);
    ASSERT_NE(packet, nullptr);
    packet = MIDIEventListAdd(list, sizeof buffer, packet, 100, 1, clock);
    ASSERT_NE(packet, nullptr);
    packet = MIDIEventListAdd(list, sizeof buffer, packet, 200, 1, clock);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(list->numPackets, 2u);

    std::vector<std::pair<MIDITimeStamp, Words>> seen;
    MIDIEventListForEachPacket(list, [&](const MIDIEventPacket& p) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&p) % alignof(MIDIEventPacket), 0u);
        seen.emplace_back(p.timeStamp, Words(p.words, p.words + p.wordCount));
    });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], (std::pair<MIDITimeStamp, Words>{100, {0x40903C00, 0xC9240000, 0x10F80000}}));
    EXPECT_EQ(seen[1], (std::pair<MIDITimeStamp, Words>{200, {0x10F80000}}));
}

TEST(EventListTest, AddRefusesWhenFullOrOversized) {
    ListBuffer buffer;
    MIDIEventList* list = buffer.list();
    MIDIEventPacket* packet = MIDIEventListInit(list, kMIDIProtocol_2_0);
    const std::uint32_t words[65] = {};
    EXPECT_EQ(MIDIEventListAdd(list, sizeof buffer, packet, 0, 0, words), nullptr);
    EXPECT_EQ(MIDIEventListAdd(list, sizeof buffer, packet, 0, 65, words), nullptr);
    // 512 bytes: the list header (8) then packets of 12 header bytes + 4 words,
    // each rounded up to 8 bytes = 32 bytes: 15 packets fit.
    int added = 0;
    for (MIDITimeStamp t = 1; t < 100; ++t) {
        MIDIEventPacket* next = MIDIEventListAdd(list, sizeof buffer, packet, t, 4, words);
        if (next == nullptr) break;
        packet = next;
        ++added;
    }
    EXPECT_EQ(added, 15);
    EXPECT_EQ(list->numPackets, 15u);
    // Words at the same time still join the last packet while it has room in the list.
    EXPECT_EQ(MIDIEventListAdd(list, sizeof buffer, packet, 15, 1, words), packet);
    EXPECT_EQ(packet->wordCount, 5u);
}
