#pragma once
// Whole audio files as interleaved floats through libsndfile.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <vector>

namespace testsupport {

struct Audio {
    SF_INFO info{};
    std::vector<float> samples;  // interleaved
};

inline void writeAudio(const std::filesystem::path& path, int format, int channels, int rate,
                       const std::vector<float>& samples) {
    SF_INFO info{.frames = 0, .samplerate = rate, .channels = channels, .format = format, .sections = 0, .seekable = 0};
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    const auto frames = static_cast<sf_count_t>(samples.size() / static_cast<std::size_t>(channels));
    EXPECT_EQ(sf_writef_float(f, samples.data(), frames), frames);
    EXPECT_EQ(sf_close(f), 0);
}

inline Audio readAudio(const std::filesystem::path& path) {
    Audio a;
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &a.info);
    EXPECT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    if (f == nullptr) return a;
    a.samples.resize(static_cast<std::size_t>(a.info.frames * a.info.channels));
    EXPECT_EQ(sf_readf_float(f, a.samples.data(), a.info.frames), a.info.frames);
    sf_close(f);
    return a;
}

}  // namespace testsupport
