#include "EngineTestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "AllocationCounter.hpp"
#include "AudioFileIO.hpp"

namespace enginetest {

void writeSoundFile(const std::string& path, int sampleRate, const Channels& samples, int format) {
    std::vector<float> interleaved;
    for (std::size_t i = 0; i < samples[0].size(); ++i)
        for (const auto& channel : samples) interleaved.push_back(channel[i]);
    testsupport::writeAudio(path, format, static_cast<int>(samples.size()), sampleRate, interleaved);
}

engine::AVAudioFilePtr writeAndOpen(const TempDir& dir, const std::string& name, int sampleRate, const Channels& samples) {
    writeSoundFile(dir.path(name), sampleRate, samples);
    foundation::NSError error;
    auto file = engine::AVAudioFile::openForReading(dir.path(name), &error);
    EXPECT_TRUE(file) << error.localizedDescription();
    return file;
}

Channels sine(int channels, std::size_t frames, double frequency, double sampleRate, float amplitude) {
    Channels out(static_cast<std::size_t>(channels), std::vector<float>(frames));
    for (auto& channel : out)
        for (std::size_t i = 0; i < frames; ++i)
            channel[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / sampleRate));
    return out;
}

Channels ramp(int channels, std::size_t frames) {
    Channels out(static_cast<std::size_t>(channels), std::vector<float>(frames));
    for (std::size_t c = 0; c < out.size(); ++c)
        for (std::size_t i = 0; i < frames; ++i)
            out[c][i] = static_cast<float>(static_cast<int>(i % 997) - 498) / 1024.0f + 0.125f * static_cast<float>(c) + 0.01f;
    return out;
}

std::unique_ptr<engine::AVAudioEngine> makeOfflineEngine(double rate, audiounit::AUAudioFrameCount maxFrames) {
    engine::AVAudioEngineOptions options;
    options.useJack = false;
    auto e = std::make_unique<engine::AVAudioEngine>(options);
    foundation::NSError error;
    EXPECT_TRUE(e->enableManualRenderingMode(audiounit::AVAudioFormat::makeStandard(rate, 2), maxFrames, &error))
        << error.localizedDescription();
    return e;
}

void chain(engine::AVAudioEngine& engine, const std::vector<std::shared_ptr<engine::AVAudioNode>>& nodes,
           const audiounit::AVAudioFormatPtr& format) {
    for (const auto& node : nodes)
        if (node->engine() == nullptr) engine.attach(node);
    foundation::NSError error;
    for (std::size_t i = 0; i + 1 < nodes.size(); ++i)
        EXPECT_TRUE(engine.connect(nodes[i], nodes[i + 1], format, &error)) << error.localizedDescription();
}

Channels renderOffline(engine::AVAudioEngine& engine, std::size_t frames, audiounit::AUAudioFrameCount cycle) {
    auto format = engine.manualRenderingFormat();
    const std::uint32_t channels = format ? format->channelCount() : 2;
    Channels out(channels, std::vector<float>(frames));
    auto buffer = audiounit::AVAudioPCMBuffer::make(format, cycle);
    audiounit::OSStatus status = audiounit::noErr;
    rtcheck::ScopedAllocationCounter counter;
    for (std::size_t done = 0; done < frames && status == audiounit::noErr;) {
        const auto n = static_cast<audiounit::AUAudioFrameCount>(std::min<std::size_t>(cycle, frames - done));
        buffer->setFrameLength(n);
        status = engine.renderOffline(n, *buffer->mutableAudioBufferList());
        for (std::uint32_t c = 0; c < channels; ++c)
            std::copy_n(buffer->floatChannelData()[c], n, out[c].begin() + static_cast<std::ptrdiff_t>(done));
        done += n;
    }
    EXPECT_EQ(counter.stop().total(), 0u) << "the render cycles allocated";
    EXPECT_EQ(status, audiounit::noErr);
    return out;
}

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return predicate();
}

audiounit::OSStatus FakeUnit::render(const audiounit::AudioTimeStamp* timestamp, audiounit::AUAudioFrameCount frames,
                                     audiounit::AudioBufferList* output,
                                     const audiounit::AURenderPullInputBlock* pullInput) noexcept {
    renderCalls.fetch_add(1);
    if (renderStatus != audiounit::noErr) return renderStatus;
    if (frames > maximumFrames) return audiounit::kAudioUnitErr_TooManyFramesToProcess;
    const bool effect = pullInput != nullptr && *pullInput;
    audiounit::AudioUnitRenderActionFlags flags = 0;
    const audiounit::OSStatus pulled = effect ? (*pullInput)(&flags, timestamp, frames, 0, output) : audiounit::noErr;
    for (audiounit::AudioBuffer& b : output->buffers())
        for (audiounit::AUAudioFrameCount i = 0; i < frames; ++i) {
            float& sample = static_cast<float*>(b.mData)[i];
            sample = effect ? gain * sample : instrumentLevel;
        }
    return pulled;
}

FakeUnit::FakeUnit()
    : inputs(std::make_shared<Busses>(Busses{{audiounit::AUAudioUnitBus::make(audiounit::AVAudioFormat::makeStandard(44100, 2))}})),
      outputs(std::make_shared<Busses>(Busses{{audiounit::AUAudioUnitBus::make(audiounit::AVAudioFormat::makeStandard(44100, 2))}})),
      block([this](audiounit::AudioUnitRenderActionFlags*, const audiounit::AudioTimeStamp* ts,
                   audiounit::AUAudioFrameCount frames, audiounit::NSInteger, audiounit::AudioBufferList* out,
                   const audiounit::AURenderPullInputBlock* pull) { return render(ts, frames, out, pull); }) {}

bool FakeUnit::allocateRenderResources(foundation::NSError* outError) {
    if (failAllocation) {
        if (outError != nullptr)
            *outError = foundation::makeOSStatusError(audiounit::kAudioUnitErr_FailedInitialization,
                                                      "fake unit refuses to allocate");
        return false;
    }
    ++allocations;
    return true;
}

}  // namespace enginetest
