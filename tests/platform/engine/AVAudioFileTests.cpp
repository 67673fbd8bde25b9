// Reading and writing audio files through libsndfile.

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "EngineTestSupport.hpp"

using namespace enginetest;
using engine::AVAudioFile;

namespace {

TEST(AVAudioFile, ReadsAn16BitFileAsFloatInItsProcessingFormatInBlocks) {
    TempDir dir;
    const Channels written = sine(2, 3000, 441.0, 44100.0, 0.7f);
    writeSoundFile(dir.path("stereo.wav"), 44100, written, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    foundation::NSError error;
    auto file = AVAudioFile::openForReading(dir.path("stereo.wav"), &error);
    ASSERT_TRUE(file) << error.localizedDescription();
    EXPECT_EQ(*file->processingFormat(), *audiounit::AVAudioFormat::makeStandard(44100, 2));
    EXPECT_EQ(file->length(), 3000);

    auto buffer = audiounit::AVAudioPCMBuffer::make(file->processingFormat(), 2048);
    for (const std::size_t expected : {2048u, 952u, 0u}) {
        const auto from = static_cast<std::size_t>(file->framePosition());
        ASSERT_TRUE(file->readIntoBuffer(*buffer, 2048, &error));
        ASSERT_EQ(buffer->frameLength(), expected);
        for (int c = 0; c < 2; ++c)
            for (std::size_t i = 0; i < expected; ++i)
                ASSERT_NEAR(buffer->floatChannelData()[c][i], written[c][from + i], 1.0 / 32768.0) << c << ":" << from + i;
    }
}

TEST(AVAudioFile, MissingOrNonAudioFilesAndBuffersOfAnotherChannelCountAreRefusedWithErrors) {
    TempDir dir;
    foundation::NSError error;
    EXPECT_FALSE(AVAudioFile::openForReading(dir.path("absent.aif"), &error));
    EXPECT_EQ(error.domain, foundation::NSPOSIXErrorDomain);
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_NE(error.description.find("absent.aif"), std::string::npos);

    std::ofstream(dir.path("notes.wav")) << "this is not audio\n";
    EXPECT_FALSE(AVAudioFile::openForReading(dir.path("notes.wav"), &error));
    EXPECT_EQ(error.domain, foundation::NSOSStatusErrorDomain);
    EXPECT_EQ(error.code, engine::kAudioFileInvalidFileError);

    writeSoundFile(dir.path("mono.aiff"), 48000, ramp(1, 100), SF_FORMAT_AIFF | SF_FORMAT_PCM_24);
    auto file = AVAudioFile::openForReading(dir.path("mono.aiff"));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->processingFormat()->channelCount(), 1u);
    auto stereo = audiounit::AVAudioPCMBuffer::make(audiounit::AVAudioFormat::makeStandard(48000, 2), 100);
    EXPECT_FALSE(file->readIntoBuffer(*stereo, 100, &error));
    EXPECT_EQ(error.code, engine::kAudioFileFormatMismatchError);
}

TEST(AVAudioFile, WritesUnderATemporaryNameRenamesOnCloseAndLeavesNothingWhenDiscardedOrRefused) {
    TempDir dir;
    const auto entries = [&] {
        return std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator());
    };
    const std::string path = dir.path("out.wav");
    auto format = audiounit::AVAudioFormat::makeStandard(48000, 2);
    foundation::NSError error;
    auto file = AVAudioFile::openForWriting(path, format, &error);
    ASSERT_TRUE(file) << error.localizedDescription();
    const Channels data = ramp(2, 5000);
    const float* channels[] = {data[0].data(), data[1].data()};
    ASSERT_TRUE(file->writeFrames(channels, 5000, &error));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(entries(), 1);
    ASSERT_TRUE(file->close(&error)) << error.localizedDescription();
    auto reread = AVAudioFile::openForReading(path);
    ASSERT_TRUE(reread);
    auto buffer = audiounit::AVAudioPCMBuffer::make(reread->processingFormat(), 5001);
    ASSERT_TRUE(reread->readIntoBuffer(*buffer, 5001));
    ASSERT_EQ(buffer->frameLength(), 5000u);
    for (int c = 0; c < 2; ++c)
        for (std::size_t i = 0; i < 5000; ++i) ASSERT_EQ(buffer->floatChannelData()[c][i], data[c][i]);

    auto gone = AVAudioFile::openForWriting(dir.path("gone.flac"), format);
    ASSERT_TRUE(gone);
    ASSERT_TRUE(gone->writeFrames(channels, 100));
    gone->discard();
    EXPECT_FALSE(AVAudioFile::openForWriting(dir.path("x.mp9"), format, &error));
    EXPECT_EQ(error.code, engine::kAudioFileUnsupportedFileTypeError);
    EXPECT_FALSE(AVAudioFile::openForWriting(dir.path("x.wav"), nullptr, &error));
    EXPECT_EQ(error.code, engine::kAudioFileFormatMismatchError);
    EXPECT_EQ(entries(), 1) << "only out.wav";
}

}  // namespace
