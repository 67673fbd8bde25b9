// The render loop of dunmarrow-render, in process, with stand-in effects: the
// cycles it runs, what its pull-input callback delivers, and what a failing
// effect leaves behind.

#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "FileRenderer.hpp"
#include "RenderBackend.hpp"
#include "SoundFiles.hpp"
#include "ToolError.hpp"

namespace {

namespace fs = std::filesystem;
using namespace audiounit;

// Pulls its input like an audio unit (into its own buffers, or into none when
// `pullWithoutMemory`, leaving the host to supply it), writes input × 2 and
// records every cycle. Fails with `failStatus` on cycle `failOnCycle`.
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
    OSStatus failStatus = noErr;

    void prepare(const render::RenderSetup& setup) override {
        channels_ = setup.channelCount;
        storage_.assign(setup.channelCount, std::vector<float>(setup.maximumFrames));
        list_ = AudioBufferListStorage(setup.channelCount);
    }

    OSStatus render(const AudioTimeStamp& timestamp, AUAudioFrameCount frameCount, AudioBufferList* output,
                    const AURenderPullInputBlock& pullInput) noexcept override {
        if (cycles.size() == failOnCycle) return failStatus;
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

class FileRenderer : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "dunmarrow-file-renderer.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A stereo float file whose left channel counts frames and whose right
    // channel is the negated count, scaled small.
    fs::path writeRamp(std::int64_t frames) {
        const fs::path path = dir_ / "in.wav";
        SF_INFO info{};
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        info.channels = 2;
        info.samplerate = 44100;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        std::vector<float> s(static_cast<std::size_t>(frames * 2));
        for (std::size_t i = 0; i < s.size(); ++i) s[i] = (i % 2 ? -1.0f : 1.0f) * static_cast<float>(i / 2) / 65536.0f;
        sf_writef_float(f, s.data(), frames);
        sf_close(f);
        return path;
    }

    std::vector<float> readAll(const fs::path& path) {
        SF_INFO info{};
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        EXPECT_NE(f, nullptr);
        std::vector<float> s(static_cast<std::size_t>(info.frames * info.channels));
        if (f) {
            sf_readf_float(f, s.data(), info.frames);
            sf_close(f);
        }
        return s;
    }

    std::set<std::string> names() const {
        std::set<std::string> n;
        for (const auto& e : fs::directory_iterator(dir_)) n.insert(e.path().filename().string());
        return n;
    }

    fs::path dir_;
};

TEST_F(FileRenderer, CyclesCoverTheFileInOrderAndThePullDeliversItsFrames) {
    for (const bool pullWithoutMemory : {false, true}) {
        const fs::path input = writeRamp(1000);
        RecordingBackend backend;
        backend.pullWithoutMemory = pullWithoutMemory;
        backend.prepare({44100.0, 2, 300, false});
        {
            render::InputFile in(input.string());
            render::OutputFile out((dir_ / "out.wav").string(), in.info());
            std::vector<std::int64_t> progress;
            const auto result = render::renderFile(in, out, backend, 300,
                                                   [&](std::int64_t done) { progress.push_back(done); });
            out.commit();
            EXPECT_EQ(result.frames, 1000);
            EXPECT_EQ(progress, (std::vector<std::int64_t>{300, 600, 900, 1000}));
            EXPECT_FLOAT_EQ(result.inputPeak.linear, 999.0f / 65536.0f);
            EXPECT_FLOAT_EQ(result.outputPeak.linear, 2.0f * 999.0f / 65536.0f);
        }
        EXPECT_EQ(backend.cycles, (std::vector<RecordingBackend::Cycle>{{0, 300}, {300, 300}, {600, 300}, {900, 100}}));
        const std::vector<float> out = readAll(dir_ / "out.wav");
        ASSERT_EQ(out.size(), 2000u);
        for (std::size_t i = 0; i < 2000; ++i)
            ASSERT_EQ(out[i], (i % 2 ? -2.0f : 2.0f) * static_cast<float>(i / 2) / 65536.0f) << "sample " << i;
        EXPECT_EQ(names(), (std::set<std::string>{"in.wav", "out.wav"}));
    }
}

TEST_F(FileRenderer, AFailedCycleStopsTheRenderAndLeavesNoFile) {
    const fs::path input = writeRamp(1000);
    RecordingBackend backend;
    backend.failOnCycle = 2;
    backend.failStatus = kAudioUnitErr_InvalidParameter;
    backend.prepare({44100.0, 2, 256, false});
    try {
        render::InputFile in(input.string());
        render::OutputFile out((dir_ / "out.wav").string(), in.info());
        render::renderFile(in, out, backend, 256, {});
        FAIL() << "the render did not fail";
    } catch (const render::ToolError& e) {
        EXPECT_STREQ(e.what(), "rendering failed at frame 512 with status -10878");
        EXPECT_EQ(e.exitStatus(), 1);
    }
    EXPECT_EQ(backend.cycles.size(), 2u);
    EXPECT_EQ(names(), (std::set<std::string>{"in.wav"}));
}

}  // namespace
