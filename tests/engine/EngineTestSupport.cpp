#include "EngineTestSupport.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <thread>

namespace enginetest {

void writeSoundFile(const std::string& path, int sampleRate, const Channels& samples, int format) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = static_cast<int>(samples.size());
    info.format = format;
    SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    const std::size_t frames = samples.empty() ? 0 : samples[0].size();
    std::vector<float> interleaved(frames * samples.size());
    for (std::size_t i = 0; i < frames; ++i) {
        for (std::size_t c = 0; c < samples.size(); ++c) interleaved[i * samples.size() + c] = samples[c][i];
    }
    ASSERT_EQ(sf_writef_float(sf, interleaved.data(), static_cast<sf_count_t>(frames)), static_cast<sf_count_t>(frames));
    sf_close(sf);
}

void writeFloatWav(const std::string& path, int sampleRate, const Channels& samples) {
    writeSoundFile(path, sampleRate, samples, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
}

Channels sine(int channels, std::size_t frames, double frequency, double sampleRate, float amplitude) {
    Channels out(static_cast<std::size_t>(channels), std::vector<float>(frames));
    for (int c = 0; c < channels; ++c) {
        for (std::size_t i = 0; i < frames; ++i) {
            out[c][i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / sampleRate));
        }
    }
    return out;
}

Channels ramp(int channels, std::size_t frames) {
    Channels out(static_cast<std::size_t>(channels), std::vector<float>(frames));
    for (int c = 0; c < channels; ++c) {
        for (std::size_t i = 0; i < frames; ++i) {
            out[c][i] = static_cast<float>(static_cast<int>(i % 997) - 498) / 1024.0f + 0.125f * static_cast<float>(c) + 0.01f;
        }
    }
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

Channels renderOffline(engine::AVAudioEngine& engine, std::size_t frames, audiounit::AUAudioFrameCount cycle) {
    auto format = engine.manualRenderingFormat();
    const std::uint32_t channels = format ? format->channelCount() : 2;
    Channels out(channels, std::vector<float>(frames));
    auto buffer = audiounit::AVAudioPCMBuffer::make(format, cycle);
    for (std::size_t done = 0; done < frames;) {
        const auto n = static_cast<audiounit::AUAudioFrameCount>(std::min<std::size_t>(cycle, frames - done));
        buffer->setFrameLength(n);
        const audiounit::OSStatus status = engine.renderOffline(n, *buffer->mutableAudioBufferList());
        EXPECT_EQ(status, audiounit::noErr);
        if (status != audiounit::noErr) break;
        for (std::uint32_t c = 0; c < channels; ++c) {
            std::copy_n(buffer->floatChannelData()[c], n, out[c].begin() + static_cast<std::ptrdiff_t>(done));
        }
        done += n;
    }
    return out;
}

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

audiounit::OSStatus FakeUnit::render(const audiounit::AudioTimeStamp* timestamp, audiounit::AUAudioFrameCount frames,
                                     audiounit::AudioBufferList* output,
                                     const audiounit::AURenderPullInputBlock* pullInput) noexcept {
    renderCalls.fetch_add(1);
    if (renderStatus != audiounit::noErr) return renderStatus;
    if (frames > maximumFrames) return audiounit::kAudioUnitErr_TooManyFramesToProcess;
    if (pullInput == nullptr || !*pullInput) {
        renderCallsWithoutPull.fetch_add(1);
        for (audiounit::AudioBuffer& b : output->buffers()) {
            std::fill_n(static_cast<float*>(b.mData), frames, instrumentLevel);
        }
        return audiounit::noErr;
    }
    // Like a real effect: pull into its own buffer, then write the output.
    audiounit::AudioBufferList* in = pullBuffer->mutableAudioBufferList();
    for (std::uint32_t c = 0; c < in->mNumberBuffers; ++c) {
        in->buffers()[c].mData = pullBuffer->floatChannelData()[c];
        in->buffers()[c].mDataByteSize = frames * 4u;
    }
    audiounit::AudioUnitRenderActionFlags flags = 0;
    const audiounit::OSStatus pulled = (*pullInput)(&flags, timestamp, frames, 0, in);
    if (pulled != audiounit::noErr) return pulled;
    if (output->mNumberBuffers != in->mNumberBuffers) return audiounit::kAudioUnitErr_InvalidParameter;
    for (std::uint32_t c = 0; c < output->mNumberBuffers; ++c) {
        const auto* src = static_cast<const float*>(in->buffers()[c].mData);
        auto* dst = static_cast<float*>(output->buffers()[c].mData);
        for (audiounit::AUAudioFrameCount i = 0; i < frames; ++i) dst[i] = gain * src[i];
    }
    return audiounit::noErr;
}

engine::AVAudioUnitInterface makeInterface(const std::shared_ptr<FakeUnit>& unit) {
    engine::AVAudioUnitInterface i;
    FakeUnit* u = unit.get();
    i.setBusFormats = [u](const audiounit::AVAudioFormatPtr& in, const audiounit::AVAudioFormatPtr& out,
                          foundation::NSError*) {
        if (in) u->inputFormat = in;
        u->outputFormat = out;
        return true;
    };
    i.setMaximumFramesToRender = [u](audiounit::AUAudioFrameCount frames) { u->maximumFrames = frames; };
    i.allocateRenderResources = [u](foundation::NSError* outError) {
        if (u->failAllocation) {
            if (outError != nullptr) {
                *outError = foundation::makeOSStatusError(audiounit::kAudioUnitErr_FailedInitialization,
                                                          "fake unit refuses to allocate");
            }
            return false;
        }
        const auto format = u->inputFormat ? u->inputFormat : u->outputFormat;
        u->pullBuffer = audiounit::AVAudioPCMBuffer::make(format, u->maximumFrames);
        ++u->allocations;
        return true;
    };
    i.deallocateRenderResources = [u] { ++u->deallocations; };
    i.renderBlock = [u]() -> audiounit::AURenderBlock {
        return [u](audiounit::AudioUnitRenderActionFlags*, const audiounit::AudioTimeStamp* ts,
                   audiounit::AUAudioFrameCount frames, audiounit::NSInteger, audiounit::AudioBufferList* out,
                   const audiounit::AURenderPullInputBlock* pull) { return u->render(ts, frames, out, pull); };
    };
    i.unit = unit;
    return i;
}

}  // namespace enginetest
