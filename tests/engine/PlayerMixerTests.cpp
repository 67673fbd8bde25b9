// The file player streaming through the main mixer into the offline output:
// exact samples at equal rates, conversion at another rate, channel mapping,
// completions, back-to-back scheduling, pause and stop.

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <thread>

#include "EngineTestSupport.hpp"
#include "engine/AVAudioFile.hpp"
#include "engine/AVAudioPlayerNode.hpp"

using namespace enginetest;
using engine::AVAudioFile;
using engine::AVAudioPlayerNode;

namespace {

struct PlayerRig {
    TempDir dir;
    std::unique_ptr<engine::AVAudioEngine> engine;
    std::shared_ptr<AVAudioPlayerNode> player = std::make_shared<AVAudioPlayerNode>();
    engine::AVAudioFilePtr file;
    std::atomic<int> completions{0};

    // Writes `samples` at `fileRate`, connects player -> main mixer at the file's
    // format in an offline engine at `outputRate`, and starts it.
    PlayerRig(const Channels& samples, int fileRate, double outputRate = 48000) {
        engine = makeOfflineEngine(outputRate);
        writeFloatWav(dir.path("input.wav"), fileRate, samples);
        foundation::NSError error;
        file = AVAudioFile::openForReading(dir.path("input.wav"), &error);
        EXPECT_TRUE(file) << error.localizedDescription();
        engine->attach(player);
        EXPECT_TRUE(engine->connect(player, engine->mainMixerNode(), file->processingFormat(), &error));
        EXPECT_TRUE(engine->start(&error)) << error.localizedDescription();
    }
    void schedule() {
        ASSERT_TRUE(player->scheduleFile(file, [this] { completions.fetch_add(1); }));
    }
};

void expectEqualFrames(const std::vector<float>& actual, std::size_t actualStart, const std::vector<float>& expected,
                       std::size_t expectedStart, std::size_t count, const char* what) {
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(actual[actualStart + i], expected[expectedStart + i]) << what << " at frame " << i;
    }
}

TEST(PlayerMixer, StreamsAFileAtEqualRatesSampleForSampleThenSilence) {
    const Channels samples = ramp(2, 100000);  // longer than the ring, so the reader refills while playing
    PlayerRig rig(samples, 48000);
    EXPECT_EQ(rig.engine->mainMixerNode()->conversionLatencyFrames(0), 0.0);
    rig.schedule();
    rig.player->play();
    const Channels out = renderOffline(*rig.engine, 101000);
    for (int c = 0; c < 2; ++c) {
        expectEqualFrames(out[c], 0, samples[c], 0, 100000, "file");
        for (std::size_t i = 100000; i < 101000; ++i) ASSERT_EQ(out[c][i], 0.0f) << "tail at " << i;
    }
    EXPECT_TRUE(waitFor([&] { return rig.completions.load() == 1; }));
    renderOffline(*rig.engine, 4096);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(rig.completions.load(), 1) << "the completion runs once";
}

TEST(PlayerMixer, MonoFeedsBothChannelsAndExtraChannelsAreDropped) {
    for (const int channels : {1, 4}) {
        SCOPED_TRACE(channels);
        const Channels samples = ramp(channels, 3000);
        PlayerRig rig(samples, 48000);
        rig.schedule();
        rig.player->play();
        const Channels out = renderOffline(*rig.engine, 3000);
        expectEqualFrames(out[0], 0, samples[0], 0, 3000, "left");
        expectEqualFrames(out[1], 0, samples[channels == 1 ? 0 : 1], 0, 3000, "right");
    }
}

// Rising zero crossings, linearly interpolated, in [from, to).
std::vector<double> risingCrossings(const std::vector<float>& x, std::size_t from, std::size_t to) {
    std::vector<double> t;
    for (std::size_t i = from + 1; i < to; ++i) {
        if (x[i - 1] < 0.0f && x[i] >= 0.0f) {
            t.push_back(static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]));
        }
    }
    return t;
}

TEST(PlayerMixer, ConvertsAnotherSampleRateToTheOutputRate) {
    // One second of a 1 kHz sine at 44.1 kHz into a 48 kHz output.
    const Channels samples = sine(1, 44100, 1000.0, 44100.0, 0.5f);
    PlayerRig rig(samples, 44100, 48000);
    const double latency = rig.engine->mainMixerNode()->conversionLatencyFrames(0);
    EXPECT_GT(latency, 0.0);
    EXPECT_LT(latency, 2000.0);
    rig.schedule();
    rig.player->play();
    const Channels out = renderOffline(*rig.engine, 52000);

    std::size_t first = 0;
    std::size_t last = 0;
    for (std::size_t i = 0; i < out[0].size(); ++i) {
        if (std::fabs(out[0][i]) > 0.05f) {
            if (first == 0) first = i;
            last = i;
        }
    }
    // The sound lasts one second at the new rate (its edges are within one period).
    EXPECT_NEAR(static_cast<double>(last - first), 48000.0, 60.0);

    const auto crossings = risingCrossings(out[0], first + 2000, last - 2000);
    ASSERT_GT(crossings.size(), 900u);
    const double frequency =
        static_cast<double>(crossings.size() - 1) / (crossings.back() - crossings.front()) * 48000.0;
    EXPECT_NEAR(frequency, 1000.0, 0.5);

    float peak = 0;
    for (std::size_t i = first + 2000; i < last - 2000; ++i) peak = std::max(peak, std::fabs(out[0][i]));
    EXPECT_NEAR(peak, 0.5f, 0.01f);
    for (std::size_t i = 0; i < out[0].size(); ++i) ASSERT_EQ(out[0][i], out[1][i]) << "mono feeds both at " << i;
}

TEST(PlayerMixer, TheSameFileScheduledTwicePlaysTwiceBackToBack) {
    const Channels samples = ramp(2, 7000);
    PlayerRig rig(samples, 48000);
    std::mutex m;
    std::vector<int> order;
    ASSERT_TRUE(rig.player->scheduleFile(rig.file, [&] { std::lock_guard l(m); order.push_back(1); }));
    ASSERT_TRUE(rig.player->scheduleFile(rig.file, [&] { std::lock_guard l(m); order.push_back(2); }));
    rig.player->play();
    const Channels out = renderOffline(*rig.engine, 15000);
    for (int c = 0; c < 2; ++c) {
        expectEqualFrames(out[c], 0, samples[c], 0, 7000, "first pass");
        expectEqualFrames(out[c], 7000, samples[c], 0, 7000, "second pass");
        for (std::size_t i = 14000; i < 15000; ++i) ASSERT_EQ(out[c][i], 0.0f);
    }
    EXPECT_TRUE(waitFor([&] { std::lock_guard l(m); return order.size() == 2; }));
    std::lock_guard l(m);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(PlayerMixer, PauseHoldsThePositionAndStopDiscardsWithOneCompletionEach) {
    const Channels samples = ramp(2, 48000);
    PlayerRig rig(samples, 48000);
    rig.schedule();
    rig.schedule();
    rig.player->play();
    Channels a = renderOffline(*rig.engine, 1000);
    rig.player->pause();
    EXPECT_FALSE(rig.player->isPlaying());
    Channels silent = renderOffline(*rig.engine, 512);
    for (float s : silent[0]) ASSERT_EQ(s, 0.0f);
    rig.player->play();
    Channels b = renderOffline(*rig.engine, 1000);
    expectEqualFrames(a[0], 0, samples[0], 0, 1000, "before pause");
    expectEqualFrames(b[0], 0, samples[0], 1000, 1000, "after pause");
    EXPECT_EQ(rig.completions.load(), 0);

    rig.player->stop();
    EXPECT_FALSE(rig.player->isPlaying());
    EXPECT_TRUE(waitFor([&] { return rig.completions.load() == 2; })) << "both scheduled files complete on stop";
    rig.player->play();
    Channels after = renderOffline(*rig.engine, 2048);
    for (float s : after[1]) ASSERT_EQ(s, 0.0f);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(rig.completions.load(), 2);

    // The player plays again after a stop.
    rig.schedule();
    Channels again = renderOffline(*rig.engine, 1000);
    expectEqualFrames(again[1], 0, samples[1], 0, 1000, "after stop");
}

TEST(PlayerMixer, SchedulingNothingUsableFails) {
    auto player = std::make_shared<AVAudioPlayerNode>();
    foundation::NSError error;
    bool called = false;
    EXPECT_FALSE(player->scheduleFile(nullptr, [&] { called = true; }, &error));
    EXPECT_EQ(error.code, engine::kAudioFileNotOpenError);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(called);
}

}  // namespace
