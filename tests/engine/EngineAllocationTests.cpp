// The render path allocates nothing: the offline render loop over a graph with
// a converting input, a unit node and a direct player, counted cycle by cycle.

#include <gtest/gtest.h>

#include <cmath>

#include "AllocationCounter.hpp"
#include "EngineTestSupport.hpp"
#include "engine/AVAudioFile.hpp"
#include "engine/AVAudioPlayerNode.hpp"

using namespace enginetest;

namespace {

TEST(EngineAllocation, TheOfflineRenderLoopAllocatesNothing) {
    TempDir dir;
    auto e = makeOfflineEngine(48000, 512);
    writeFloatWav(dir.path("a.wav"), 44100, sine(1, 200000, 440, 44100));
    writeFloatWav(dir.path("b.wav"), 48000, ramp(2, 200000));
    auto fileA = engine::AVAudioFile::openForReading(dir.path("a.wav"));
    auto fileB = engine::AVAudioFile::openForReading(dir.path("b.wav"));
    auto converted = std::make_shared<engine::AVAudioPlayerNode>();
    auto direct = std::make_shared<engine::AVAudioPlayerNode>();
    auto fake = std::make_shared<FakeUnit>();
    auto unit = std::make_shared<engine::AVAudioUnit>(makeInterface(fake));
    e->attach(converted);
    e->attach(direct);
    e->attach(unit);
    ASSERT_TRUE(e->connect(converted, unit, fileA->processingFormat()));
    ASSERT_TRUE(e->connect(unit, e->mainMixerNode(), fileA->processingFormat()));
    ASSERT_TRUE(e->connect(direct, e->mainMixerNode(), fileB->processingFormat()));
    ASSERT_TRUE(e->start());
    ASSERT_TRUE(converted->scheduleFile(fileA, nullptr));
    ASSERT_TRUE(direct->scheduleFile(fileB, nullptr));
    converted->play();
    direct->play();

    auto buffer = audiounit::AVAudioPCMBuffer::make(e->manualRenderingFormat(), 512);
    const audiounit::AUAudioFrameCount sizes[] = {512, 1, 333, 64, 511};
    float energy = 0;
    rtcheck::ScopedAllocationCounter counter;
    for (int cycle = 0; cycle < 300; ++cycle) {
        const auto frames = sizes[cycle % 5];
        buffer->setFrameLength(frames);
        ASSERT_EQ(e->renderOffline(frames, *buffer->mutableAudioBufferList()), audiounit::noErr);
        for (audiounit::AUAudioFrameCount i = 0; i < frames; ++i) energy += std::fabs(buffer->floatChannelData()[0][i]);
    }
    const rtcheck::AllocationCounts counts = counter.stop();
    EXPECT_EQ(counts.allocations, 0u);
    EXPECT_EQ(counts.frees, 0u);
    EXPECT_GT(energy, 1.0f) << "the cycles rendered sound";
    EXPECT_GT(direct->renderedFrames(), 40000u);
}

}  // namespace
