// The render loop of dunmarrow-render, in process, with stand-in effects: the
// cycles it runs, what its pull-input callback delivers, and what a failing
// effect leaves behind.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "AudioFileIO.hpp"
#include "FileRenderer.hpp"
#include "RenderBackend.hpp"
#include "SoundFiles.hpp"
#include "TempDir.hpp"
#include "ToolError.hpp"

namespace {

namespace fs = std::filesystem;
using namespace audiounit;

// Pulls its input like an audio unit (into its own buffers, or into none when
// `pullWithoutMemory`, leaving the host to supply it), writes input × 2 and
// records every cycle. Fails on cycle `failOnCycle`.
class RecordingBackend final : public render::RenderBackend {
public:
    struct Cycle {
        double sampleTime;
        AUAudioFrameCount frames;
        bool operator==(const Cycle&) const = default;
    };
    std::vector<Cycle> cycles;
    bool pullWithoutMemory = false;
    std::size_t failOnCycle = SIZE_MAX;

    void prepare(const render::RenderSetup& setup) override {
        channels_ = setup.channelCount;
        storage_.assign(setup.channelCount, std::vector<float>(setup.maximumFrames));
        list_ = AudioBufferListStorage(setup.channelCount);
    }

    OSStatus render(const AudioTimeStamp& timestamp, AUAudioFrameCount frameCount, AudioBufferList* output,
                    const AURenderPullInputBlock& pullInput) noexcept override {
        if (cycles.size() == failOnCycle) return kAudioUnitErr_InvalidParameter;
        cycles.push_back({timestamp.mSampleTime, frameCount});
        for (std::uint32_t c = 0; c < channels_; ++c)
            list_->buffers()[c] = AudioBuffer{1, frameCount * 4, pullWithoutMemory ? nullptr : storage_[c].data()};
        AudioUnitRenderActionFlags flags = 0;
        if (const OSStatus s = pullInput(&flags, &timestamp, frameCount, 0, list_.get()); s != noErr) return s;
        for (std::uint32_t c = 0; c < channels_; ++c) {
            const auto* in = static_cast<const float*>(list_->buffers()[c].mData);
            auto* out = static_cast<float*>(output->buffers()[c].mData);
            for (AUAudioFrameCount i = 0; i < frameCount; ++i) out[i] = 2.0f * in[i];
        }
        return noErr;
    }

private:
    std::uint32_t channels_ = 0;
    std::vector<std::vector<float>> storage_;
    AudioBufferListStorage list_;
};

// Stereo, 1000 frames in cycles of 300: the left channel counts frames, the
// right channel is the negated count, scaled small; the backend doubles it.
TEST(FileRenderer, CyclesCoverTheFileInOrderAndAFailedCycleLeavesNoFile) {
    struct Case {
        bool pullWithoutMemory;
        std::size_t failOnCycle;
    };
    for (const Case& c : {Case{false, SIZE_MAX}, Case{true, SIZE_MAX}, Case{false, 2}}) {
        SCOPED_TRACE(::testing::Message() << c.pullWithoutMemory << " " << c.failOnCycle);
        testsupport::TempDir dir;
        const fs::path input = dir.path() / "in.wav", output = dir.path() / "out.wav";
        std::vector<float> ramp(2000);
        for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = (i % 2 ? -1.0f : 1.0f) * static_cast<float>(i / 2) / 65536.0f;
        testsupport::writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 44100, ramp);
        RecordingBackend backend;
        backend.pullWithoutMemory = c.pullWithoutMemory;
        backend.failOnCycle = c.failOnCycle;
        backend.prepare({44100.0, 2, 300, false});
        std::vector<std::int64_t> progress;
        try {
            render::InputFile in(input.string());
            render::OutputFile out(output.string(), in.info());
            const auto result = render::renderFile(in, out, backend, 300, [&](std::int64_t done) { progress.push_back(done); });
            out.commit();
            EXPECT_EQ(c.failOnCycle, SIZE_MAX) << "the render did not fail";
            EXPECT_EQ(result.frames, 1000);
            EXPECT_FLOAT_EQ(result.inputPeak.linear, 999.0f / 65536.0f);
            EXPECT_FLOAT_EQ(result.outputPeak.linear, 2.0f * 999.0f / 65536.0f);
        } catch (const render::ToolError& e) {
            EXPECT_STREQ(e.what(), "rendering failed at frame 600 with status -10878");
            EXPECT_EQ(e.exitStatus(), 1);
        }
        if (c.failOnCycle != SIZE_MAX) {
            EXPECT_EQ(backend.cycles.size(), 2u);
            EXPECT_FALSE(fs::exists(output));
            continue;
        }
        EXPECT_EQ(progress, (std::vector<std::int64_t>{300, 600, 900, 1000}));
        EXPECT_EQ(backend.cycles, (std::vector<RecordingBackend::Cycle>{{0, 300}, {300, 300}, {600, 300}, {900, 100}}));
        for (float& v : ramp) v *= 2.0f;
        EXPECT_EQ(testsupport::readAudio(output).samples, ramp);
    }
}

}  // namespace
