#pragma once
// Helpers for the engine tests: test files written directly with libsndfile,
// a fake audio unit, offline rendering into vectors, waiting with a deadline.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TempDir.hpp"
#include "audiounit/AVAudioPCMBuffer.hpp"
#include "engine/AVAudioEngine.hpp"
#include "engine/AVAudioUnit.hpp"

namespace enginetest {

using Channels = std::vector<std::vector<float>>;  // [channel][frame]

using testsupport::TempDir;

// Writes a file with libsndfile alone (not the code under test). `format` is a
// libsndfile format word; the samples are given per channel.
void writeSoundFile(const std::string& path, int sampleRate, const Channels& samples, int format);
// A 32-bit float WAV file.
void writeFloatWav(const std::string& path, int sampleRate, const Channels& samples);

// Deterministic test signals.
Channels sine(int channels, std::size_t frames, double frequency, double sampleRate, float amplitude = 0.5f);
// Distinct per channel and frame (a wrapped ramp plus a channel offset), so that
// any misplaced, repeated or missing sample shows.
Channels ramp(int channels, std::size_t frames);

// An engine in manual rendering mode at `rate`, stereo, cycles of `maxFrames`, without JACK.
std::unique_ptr<engine::AVAudioEngine> makeOfflineEngine(double rate = 48000, audiounit::AUAudioFrameCount maxFrames = 512);
// Renders `frames` frames offline in cycles of `cycle` frames; fails the test on a bad status.
Channels renderOffline(engine::AVAudioEngine& engine, std::size_t frames, audiounit::AUAudioFrameCount cycle = 512);

// Waits until the predicate holds or the time is up; returns the predicate.
bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A stand-in for an audio unit: multiplies its pulled input by `gain` or, with
// no input connection, writes `instrumentLevel` to every channel. Records what
// the node asked of it.
struct FakeUnit {
    float gain = 2.0f;
    float instrumentLevel = 0.25f;
    bool failAllocation = false;
    audiounit::OSStatus renderStatus = audiounit::noErr;

    audiounit::AVAudioFormatPtr inputFormat;
    audiounit::AVAudioFormatPtr outputFormat;
    audiounit::AUAudioFrameCount maximumFrames = 0;
    int allocations = 0;
    int deallocations = 0;
    std::atomic<int> renderCalls{0};
    std::atomic<int> renderCallsWithoutPull{0};
    audiounit::AVAudioPCMBufferPtr pullBuffer;  // sized on allocation

    audiounit::OSStatus render(const audiounit::AudioTimeStamp* timestamp, audiounit::AUAudioFrameCount frames,
                               audiounit::AudioBufferList* output,
                               const audiounit::AURenderPullInputBlock* pullInput) noexcept;
};

// The node interface over a fake unit.
engine::AVAudioUnitInterface makeInterface(const std::shared_ptr<FakeUnit>& unit);

}  // namespace enginetest
