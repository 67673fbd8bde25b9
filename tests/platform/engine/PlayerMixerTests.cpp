// The file player streaming through the main mixer into the offline output.

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <thread>

#include "EngineTestSupport.hpp"

using namespace enginetest;
using engine::AVAudioPlayerNode;

namespace {

// A player of `samples` at `fileRate` on the main mixer of a started 48 kHz offline engine.
struct PlayerRig {
    // First, so they outlive the player: its reader thread may complete a file until the player is gone.
    std::mutex mutex;
    std::vector<int> completions;  // the tags of the scheduled files that completed
    TempDir dir;
    std::unique_ptr<engine::AVAudioEngine> engine = makeOfflineEngine();
    std::shared_ptr<AVAudioPlayerNode> player = std::make_shared<AVAudioPlayerNode>();
    engine::AVAudioFilePtr file;

    PlayerRig(const Channels& samples, int fileRate) : file(writeAndOpen(dir, "input.wav", fileRate, samples)) {
        chain(*engine, {player, engine->mainMixerNode()}, file->processingFormat());
        EXPECT_TRUE(engine->start());
    }
    void schedule(int tag = 0) {
        ASSERT_TRUE(player->scheduleFile(file, [this, tag] {
            const std::lock_guard lock(mutex);
            completions.push_back(tag);
        }));
    }
    std::vector<int> completed() {
        const std::lock_guard lock(mutex);
        return completions;
    }
};

void expectFrames(const std::vector<float>& actual, std::size_t at, const std::vector<float>& expected, std::size_t from,
                  std::size_t count, const char* what) {
    for (std::size_t i = 0; i < count; ++i)
        ASSERT_EQ(actual[at + i], expected[from + i]) << what << " at frame " << i;
}

// Four channels: the first two play, the others are dropped.
TEST(PlayerMixer, StreamsAFileTwiceBackToBackSampleForSampleThenSilenceAndCompletesEachOnceInOrder) {
    const Channels samples = ramp(4, 100000);  // longer than the ring, so the reader refills while playing
    PlayerRig rig(samples, 48000);
    EXPECT_EQ(rig.engine->mainMixerNode()->conversionLatencyFrames(0), 0.0);
    rig.schedule(1);
    rig.schedule(2);
    rig.player->play();
    const Channels out = renderOffline(*rig.engine, 201000);
    for (int c = 0; c < 2; ++c) {
        expectFrames(out[c], 0, samples[c], 0, 100000, "first pass");
        expectFrames(out[c], 100000, samples[c], 0, 100000, "second pass");
        expectFrames(out[c], 200000, std::vector<float>(1000), 0, 1000, "after the end");
    }
    EXPECT_TRUE(waitFor([&] { return rig.completed().size() == 2; }));
    renderOffline(*rig.engine, 4096);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(rig.completed(), (std::vector<int>{1, 2})) << "each completion runs once, in order";

    // Nothing to play is refused, and its completion never runs.
    foundation::NSError error;
    EXPECT_FALSE(rig.player->scheduleFile(nullptr, [] { ADD_FAILURE() << "completed"; }, &error));
    EXPECT_EQ(error.code, engine::kAudioFileNotOpenError);
}

TEST(PlayerMixer, ConvertsAnotherSampleRateToTheOutputRate) {
    PlayerRig rig(sine(1, 44100, 1000.0, 44100.0, 0.5f), 44100);
    const double latency = rig.engine->mainMixerNode()->conversionLatencyFrames(0);
    EXPECT_GT(latency, 0.0);
    EXPECT_LT(latency, 2000.0);
    rig.schedule();
    rig.player->play();
    const Channels out = renderOffline(*rig.engine, 52000, 333);  // a cycle the converter does not divide evenly
    const std::vector<float>& left = out[0];
    EXPECT_EQ(left, out[1]) << "mono feeds both";

    std::size_t first = 0, last = 0;
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (std::fabs(left[i]) <= 0.05f) continue;
        if (first == 0) first = i;
        last = i;
    }
    // The sound lasts one second at the new rate (its edges are within one period).
    EXPECT_NEAR(static_cast<double>(last - first), 48000.0, 60.0);
    // Rising zero crossings, linearly interpolated, give the frequency; the peak stays.
    std::vector<double> crossings;
    float peak = 0;
    for (std::size_t i = first + 2000; i < last - 2000; ++i) {
        if (left[i - 1] < 0.0f && left[i] >= 0.0f)
            crossings.push_back(static_cast<double>(i - 1) + left[i - 1] / (left[i - 1] - left[i]));
        peak = std::max(peak, std::fabs(left[i]));
    }
    ASSERT_GT(crossings.size(), 900u);
    EXPECT_NEAR(static_cast<double>(crossings.size() - 1) / (crossings.back() - crossings.front()) * 48000.0, 1000.0, 0.5);
    EXPECT_NEAR(peak, 0.5f, 0.01f);
}

TEST(PlayerMixer, PauseHoldsThePositionAndStopDiscardsWithOneCompletionEach) {
    const Channels samples = ramp(2, 48000);
    PlayerRig rig(samples, 48000);
    rig.schedule();
    rig.schedule();
    rig.player->play();
    const Channels a = renderOffline(*rig.engine, 1000);
    rig.player->pause();
    expectFrames(renderOffline(*rig.engine, 512)[0], 0, std::vector<float>(512), 0, 512, "paused");
    rig.player->play();
    const Channels b = renderOffline(*rig.engine, 1000);
    expectFrames(a[0], 0, samples[0], 0, 1000, "before pause");
    expectFrames(b[0], 0, samples[0], 1000, 1000, "after pause");
    EXPECT_TRUE(rig.completed().empty());

    rig.player->stop();
    EXPECT_TRUE(waitFor([&] { return rig.completed().size() == 2; })) << "both scheduled files complete on stop";
    rig.player->play();
    expectFrames(renderOffline(*rig.engine, 2048)[1], 0, std::vector<float>(2048), 0, 2048, "stopped");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(rig.completed().size(), 2u);

    rig.schedule();
    expectFrames(renderOffline(*rig.engine, 1000)[1], 0, samples[1], 0, 1000, "after stop");
}

}  // namespace
