#pragma once
// Engine test helpers: files written with libsndfile, a fake audio unit, offline rendering, deadline waits.

#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TempDir.hpp"
#include "audiounit/AUAudioUnitBus.hpp"
#include "audiounit/AVAudioPCMBuffer.hpp"
#include "engine/AVAudioEngine.hpp"
#include "engine/AVAudioFile.hpp"
#include "engine/AVAudioPlayerNode.hpp"
#include "engine/AVAudioUnit.hpp"

namespace enginetest {

using Channels = std::vector<std::vector<float>>;  // [channel][frame]

using testsupport::TempDir;

// Writes with libsndfile alone (not the code under test); `format` is a libsndfile format word.
void writeSoundFile(const std::string& path, int sampleRate, const Channels& samples,
                    int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT);
engine::AVAudioFilePtr writeAndOpen(const TempDir& dir, const std::string& name, int sampleRate, const Channels& samples);

Channels sine(int channels, std::size_t frames, double frequency, double sampleRate, float amplitude = 0.5f);
// Distinct per channel and frame, so that any misplaced, repeated or missing sample shows.
Channels ramp(int channels, std::size_t frames);

// An engine in manual rendering mode at `rate`, stereo, cycles of `maxFrames`, without JACK.
std::unique_ptr<engine::AVAudioEngine> makeOfflineEngine(double rate = 48000, audiounit::AUAudioFrameCount maxFrames = 512);
// Attaches the nodes not yet attached and connects each to the next at `format`; fails the test when one is refused.
void chain(engine::AVAudioEngine& engine, const std::vector<std::shared_ptr<engine::AVAudioNode>>& nodes,
           const audiounit::AVAudioFormatPtr& format);
// Fails the test on a bad status or when a cycle allocates.
Channels renderOffline(engine::AVAudioEngine& engine, std::size_t frames, audiounit::AUAudioFrameCount cycle = 512);

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A stand-in audio unit with the platform's member names: scales its pulled input by `gain` or, with no
// input connection, writes `instrumentLevel`; records what the node asked of it.
struct FakeUnit {
    struct Busses {
        std::vector<audiounit::AUAudioUnitBusPtr> busses;
        [[nodiscard]] audiounit::NSInteger count() const { return static_cast<audiounit::NSInteger>(busses.size()); }
        audiounit::AUAudioUnitBusPtr operator[](audiounit::NSInteger i) const { return busses[static_cast<std::size_t>(i)]; }
    };

    float gain = 2.0f;
    float instrumentLevel = 0.25f;
    bool failAllocation = false;
    audiounit::OSStatus renderStatus = audiounit::noErr;

    std::shared_ptr<Busses> inputs, outputs;  // one bus each, at 44.1 kHz stereo until the node sets them
    audiounit::AUAudioFrameCount maximumFrames = 0;
    int allocations = 0;
    int deallocations = 0;
    std::atomic<int> renderCalls{0};
    audiounit::AURenderBlock block;

    FakeUnit();
    [[nodiscard]] std::shared_ptr<Busses> inputBusses() const { return inputs; }
    [[nodiscard]] std::shared_ptr<Busses> outputBusses() const { return outputs; }
    [[nodiscard]] audiounit::AVAudioFormatPtr inputFormat() const { return inputs->busses[0]->format(); }
    [[nodiscard]] audiounit::AVAudioFormatPtr outputFormat() const { return outputs->busses[0]->format(); }
    void setMaximumFramesToRender(audiounit::AUAudioFrameCount frames) { maximumFrames = frames; }
    bool allocateRenderResources(foundation::NSError* outError);
    void deallocateRenderResources() { ++deallocations; }
    [[nodiscard]] const audiounit::AURenderBlock& renderBlock() const { return block; }
    audiounit::OSStatus render(const audiounit::AudioTimeStamp* timestamp, audiounit::AUAudioFrameCount frames,
                               audiounit::AudioBufferList* output,
                               const audiounit::AURenderPullInputBlock* pullInput) noexcept;
};

struct FakeUnitNode {
    std::shared_ptr<FakeUnit> fake = std::make_shared<FakeUnit>();
    std::shared_ptr<engine::AVAudioUnit> node =
        std::make_shared<engine::AVAudioUnit>(engine::makeAVAudioUnitInterface(fake));
};

}  // namespace enginetest
