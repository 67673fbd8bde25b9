// MIDI 1.0 bytes to UMP words worked out by hand; event lists built and walked.

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

struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    Words words;
    MIDIProtocolID protocol = kMIDIProtocol_2_0;
    std::uint8_t group = 0;
};

}  // namespace

// Min-center-max scaling keeps 0, the centre and the top; above the centre the low bits repeat below
// (65 = 1000001 -> 1000001 000001 000 = 0x8208). MIDI 1.0 protocol wraps channel voice messages unchanged.
TEST(TranslatorTest, GivesTheExpectedWords) {
    const Case cases[] = {
        {"note on, velocity 1", {0x90, 0x3C, 0x01}, {0x40903C00, 0x02000000}},
        {"note on, velocity 65", {0x90, 0x3C, 0x41}, {0x40903C00, 0x82080000}},
        {"note on with velocity 0 is a note off", {0x90, 0x3C, 0x00}, {0x40803C00, 0x00000000}},
        {"note off, velocity 64", {0x81, 0x40, 0x40}, {0x40814000, 0x80000000}},
        {"poly pressure", {0xA2, 0x30, 0x7F}, {0x40A23000, 0xFFFFFFFF}},
        {"controller 7 = 100", {0xB0, 0x07, 0x64}, {0x40B00700, 0xC9249249}},
        {"channel pressure", {0xD3, 0x40}, {0x40D30000, 0x80000000}},
        {"pitch bend centre", {0xE0, 0x00, 0x40}, {0x40E00000, 0x80000000}},
        {"pitch bend centre + 1", {0xE0, 0x01, 0x40}, {0x40E00000, 0x80040020}},
        {"pitch bend top", {0xE1, 0x7F, 0x7F}, {0x40E10000, 0xFFFFFFFF}},
        {"program change without bank", {0xC4, 0x0A}, {0x40C40000, 0x0A000000}},
        {"bank select then program change", {0xB0, 0x00, 0x05, 0xB0, 0x20, 0x03, 0xC0, 0x0A}, {0x40C00001, 0x0A000503}},
        {"the bank is sent once", {0xB2, 0x00, 0x01, 0xC2, 0x02, 0xC2, 0x03},
         {0x40C20001, 0x02000100, 0x40C20000, 0x03000000}},
        {"running status", {0x90, 0x3C, 0x64, 0x3E, 0x7F}, {0x40903C00, 0xC9240000, 0x40903E00, 0xFFFF0000}},
        {"real-time byte inside a message", {0x90, 0x3C, 0xF8, 0x64}, {0x10F80000, 0x40903C00, 0xC9240000}},
        {"stray data bytes are dropped", {0x3C, 0x64, 0x90, 0x3C, 0x64}, {0x40903C00, 0xC9240000}},
        {"an incomplete message is dropped by a new status", {0x90, 0x3C, 0xB0, 0x07, 0x40}, {0x40B00700, 0x80000000}},
        {"timing clock, start, continue, stop, active sensing, reset", {0xF8, 0xFA, 0xFB, 0xFC, 0xFE, 0xFF},
         {0x10F80000, 0x10FA0000, 0x10FB0000, 0x10FC0000, 0x10FE0000, 0x10FF0000}},
        {"undefined status bytes are dropped", {0xF4, 0xF5, 0xF9, 0xFD}, {}},
        {"time code quarter frame", {0xF1, 0x35}, {0x10F13500}},
        {"song position", {0xF2, 0x10, 0x20}, {0x10F21020}},
        {"tune request", {0xF6}, {0x10F60000}},
        {"system common cancels running status", {0x90, 0x3C, 0x64, 0xF3, 0x01, 0x3E, 0x64},
         {0x40903C00, 0xC9240000, 0x10F30100}},
        {"six bytes still fit one packet", {0xF0, 1, 2, 3, 4, 5, 6, 0xF7}, {0x30060102, 0x03040506}},
        {"empty system exclusive", {0xF0, 0xF7}, {0x30000000, 0x00000000}},
        {"twelve bytes: start and end", {0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0xF7},
         {0x30160102, 0x03040506, 0x30360708, 0x090A0B0C}},
        {"fourteen bytes: start, continue, end", {0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xF7},
         {0x30160102, 0x03040506, 0x30260708, 0x090A0B0C, 0x30320D0E, 0x00000000}},
        {"clock inside system exclusive", {0xF0, 1, 0xF8, 2, 0xF7}, {0x10F80000, 0x30020102, 0x00000000}},
        {"a status byte ends an unterminated system exclusive", {0xF0, 1, 2, 0x90, 0x3C, 0x64},
         {0x30020102, 0x00000000, 0x40903C00, 0xC9240000}},
        {"MIDI 1.0 protocol", {0x90, 0x3C, 0x64, 0xC0, 0x0A, 0xB0, 0x00, 0x05, 0xE0, 0x01, 0x40},
         {0x20903C64, 0x20C00A00, 0x20B00005, 0x20E00140}, kMIDIProtocol_1_0},
        {"MIDI 1.0 protocol leaves velocity 0 as it came", {0x90, 0x3C, 0x00}, {0x20903C00}, kMIDIProtocol_1_0},
        {"the group goes into every message", {0x90, 0x3C, 0x64, 0xF8, 0xF0, 0x01, 0xF7},
         {0x43903C00, 0xC9240000, 0x13F80000, 0x33010100, 0x00000000}, kMIDIProtocol_2_0, 3},
    };
    for (const Case& c : cases) {
        MIDI1ToUMPTranslator translator(c.protocol, c.group);
        EXPECT_EQ(translate(translator, c.bytes), c.words) << c.what;
    }
    for (std::uint32_t v = 1; v < 128; ++v)  // monotonic over the whole 7-bit range
        EXPECT_LT(scaleUpMinCenterMax(v - 1, 7, 16), scaleUpMinCenterMax(v, 7, 16)) << v;
}

TEST(TranslatorTest, MessagesMaySpanFeeds) {
    MIDI1ToUMPTranslator translator;
    EXPECT_EQ(translator.protocol(), kMIDIProtocol_2_0);
    EXPECT_EQ(translate(translator, {0xF0, 1, 2, 3, 4}), Words{});
    EXPECT_EQ(translate(translator, {5, 6, 7}), (Words{0x30160102, 0x03040506}));
    EXPECT_EQ(translate(translator, {0xF7, 0x90}), (Words{0x30310700, 0x00000000}));
    EXPECT_EQ(translate(translator, {0x3C}), Words{});
    EXPECT_EQ(translate(translator, {0x64}), (Words{0x40903C00, 0xC9240000}));
    translator.reset();
    EXPECT_EQ(translate(translator, {0x3C, 0x64}), Words{});  // running status forgotten
}

// 512 bytes: an 8-byte list header, then 15 packets of 12 header bytes + 4 words, rounded up to 32 bytes.
TEST(EventListTest, MessagesAtOneTimeShareAPacketNewTimesStartOneAndAFullListRefuses) {
    alignas(8) std::uint8_t bytes[512];
    auto* list = reinterpret_cast<MIDIEventList*>(bytes);
    MIDIEventPacket* packet = MIDIEventListInit(list, kMIDIProtocol_2_0);
    EXPECT_EQ(list->protocol, kMIDIProtocol_2_0);
    EXPECT_EQ(list->numPackets, 0u);
    const std::uint32_t noteOn[2] = {0x40903C00, 0xC9240000};
    const std::uint32_t clock[1] = {0x10F80000};
    packet = MIDIEventListAdd(list, sizeof bytes, packet, 100, 2, noteOn);
    packet = MIDIEventListAdd(list, sizeof bytes, packet, 100, 1, clock);
    packet = MIDIEventListAdd(list, sizeof bytes, packet, 200, 1, clock);
    ASSERT_NE(packet, nullptr);
    std::vector<std::pair<MIDITimeStamp, Words>> seen;
    MIDIEventListForEachPacket(list, [&](const MIDIEventPacket& p) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&p) % alignof(MIDIEventPacket), 0u);
        seen.emplace_back(p.timeStamp, Words(p.words, p.words + p.wordCount));
    });
    EXPECT_EQ(seen, (std::vector<std::pair<MIDITimeStamp, Words>>{{100, {0x40903C00, 0xC9240000, 0x10F80000}},
                                                                  {200, {0x10F80000}}}));

    packet = MIDIEventListInit(list, kMIDIProtocol_2_0);
    const std::uint32_t words[65] = {};
    EXPECT_EQ(MIDIEventListAdd(list, sizeof bytes, packet, 0, 0, words), nullptr);
    EXPECT_EQ(MIDIEventListAdd(list, sizeof bytes, packet, 0, 65, words), nullptr);
    for (MIDITimeStamp t = 1; t <= 15 && packet != nullptr; ++t)
        packet = MIDIEventListAdd(list, sizeof bytes, packet, t, 4, words);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(MIDIEventListAdd(list, sizeof bytes, packet, 16, 4, words), nullptr);
    EXPECT_EQ(list->numPackets, 15u);
    // Words at the same time still join the last packet while it has room in the list.
    EXPECT_EQ(MIDIEventListAdd(list, sizeof bytes, packet, 15, 1, words), packet);
    EXPECT_EQ(packet->wordCount, 5u);
}
