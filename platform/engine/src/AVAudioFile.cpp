#include "engine/AVAudioFile.hpp"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace engine {
namespace {

SNDFILE* asSndfile(void* handle) { return static_cast<SNDFILE*>(handle); }

void fill(foundation::NSError* outError, foundation::NSError error) {
    if (outError != nullptr) *outError = std::move(error);
}

foundation::NSError osStatusError(std::int32_t code, const std::string& text) {
    return foundation::makeOSStatusError(code, text);
}

std::string lowercaseExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

// The libsndfile container for an extension, or 0 when there is none.
int containerForExtension(const std::string& ext) {
    if (ext == ".wav") return SF_FORMAT_WAV;
    if (ext == ".aif" || ext == ".aiff" || ext == ".aifc") return SF_FORMAT_AIFF;
    if (ext == ".flac") return SF_FORMAT_FLAC;
    if (ext == ".caf") return SF_FORMAT_CAF;
    return 0;
}

}  // namespace

std::shared_ptr<AVAudioFile> AVAudioFile::openForReading(const std::string& path, foundation::NSError* outError) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        fill(outError, foundation::NSError{foundation::NSPOSIXErrorDomain, ENOENT,
                                           "The file \"" + path + "\" does not exist."});
        return nullptr;
    }
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    if (sf == nullptr) {
        fill(outError, osStatusError(kAudioFileInvalidFileError,
                                     "The file \"" + path + "\" is not a readable audio file (" +
                                         sf_strerror(nullptr) + ")."));
        return nullptr;
    }
    auto format = audiounit::AVAudioFormat::makeStandard(info.samplerate,
                                                         static_cast<audiounit::AVAudioChannelCount>(info.channels));
    if (!format || info.frames < 0) {
        sf_close(sf);
        fill(outError, osStatusError(kAudioFileUnsupportedFileTypeError,
                                     "The file \"" + path + "\" has an unsupported format (" +
                                         std::to_string(info.channels) + " channels at " +
                                         std::to_string(info.samplerate) + " Hz)."));
        return nullptr;
    }
    // Read floats in [-1, 1] from integer files, without clipping float files.
    sf_command(sf, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    std::shared_ptr<AVAudioFile> file(new AVAudioFile());
    file->path_ = path;
    file->format_ = std::move(format);
    file->handle_ = sf;
    file->length_ = info.frames;
    return file;
}

std::shared_ptr<AVAudioFile> AVAudioFile::openForWriting(const std::string& path,
                                                         const audiounit::AVAudioFormatPtr& format,
                                                         foundation::NSError* outError, SampleEncoding encoding) {
    if (!format || !format->isStandard()) {
        fill(outError, osStatusError(kAudioFileFormatMismatchError,
                                     "Writing needs a standard (deinterleaved 32-bit float) format."));
        return nullptr;
    }
    const int container = containerForExtension(lowercaseExtension(path));
    if (container == 0) {
        fill(outError, osStatusError(kAudioFileUnsupportedFileTypeError,
                                     "Unknown audio file type for \"" + path + "\" (use .wav, .aif, .flac or .caf)."));
        return nullptr;
    }
    int subtype = SF_FORMAT_FLOAT;
    if (encoding == SampleEncoding::PCM16) subtype = SF_FORMAT_PCM_16;
    if (encoding == SampleEncoding::PCM24 || container == SF_FORMAT_FLAC) {
        subtype = encoding == SampleEncoding::PCM16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24;
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(format->sampleRate());
    info.channels = static_cast<int>(format->channelCount());
    info.format = container | subtype;
    if (!sf_format_check(&info)) {
        fill(outError, osStatusError(kAudioFileUnsupportedFileTypeError,
                                     "The format cannot be stored in \"" + path + "\"."));
        return nullptr;
    }
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
    SNDFILE* sf = sf_open(temporary.c_str(), SFM_WRITE, &info);
    if (sf == nullptr) {
        fill(outError, foundation::NSError{foundation::NSPOSIXErrorDomain, errno == 0 ? EIO : errno,
                                           "Cannot create \"" + temporary + "\": " + sf_strerror(nullptr)});
        return nullptr;
    }
    sf_command(sf, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    std::shared_ptr<AVAudioFile> file(new AVAudioFile());
    file->path_ = path;
    file->temporaryPath_ = temporary;
    file->format_ = format;
    file->handle_ = sf;
    file->writing_ = true;
    return file;
}

AVAudioFile::~AVAudioFile() {
    std::lock_guard lock(mutex_);
    closeLocked(nullptr);
}

AVAudioFramePosition AVAudioFile::length() const {
    std::lock_guard lock(mutex_);
    return length_;
}

AVAudioFramePosition AVAudioFile::framePosition() const {
    std::lock_guard lock(mutex_);
    return position_;
}

void AVAudioFile::setFramePosition(AVAudioFramePosition position) {
    std::lock_guard lock(mutex_);
    position_ = std::clamp<AVAudioFramePosition>(position, 0, length_);
}

AVAudioFrameCount AVAudioFile::readFrames(AVAudioFramePosition start, AVAudioFrameCount frames, float* destination) {
    std::lock_guard lock(mutex_);
    return readFramesLocked(start, frames, destination);
}

AVAudioFrameCount AVAudioFile::readFramesLocked(AVAudioFramePosition start, AVAudioFrameCount frames,
                                                float* destination) {
    if (handle_ == nullptr || writing_ || destination == nullptr || start < 0 || start >= length_) return 0;
    const auto wanted = static_cast<sf_count_t>(std::min<AVAudioFramePosition>(frames, length_ - start));
    if (sf_seek(asSndfile(handle_), start, SEEK_SET) < 0) return 0;
    const sf_count_t got = sf_readf_float(asSndfile(handle_), destination, wanted);
    return got > 0 ? static_cast<AVAudioFrameCount>(got) : 0;
}

bool AVAudioFile::readIntoBuffer(audiounit::AVAudioPCMBuffer& buffer, AVAudioFrameCount frames,
                                 foundation::NSError* outError) {
    std::lock_guard lock(mutex_);
    if (handle_ == nullptr || writing_) {
        fill(outError, osStatusError(kAudioFileNotOpenError, "The file is not open for reading."));
        return false;
    }
    const auto& bf = buffer.format();
    if (!bf || !bf->isStandard() || bf->channelCount() != format_->channelCount()) {
        fill(outError, osStatusError(kAudioFileFormatMismatchError,
                                     "The buffer's format does not match the file's processing format."));
        return false;
    }
    const AVAudioFramePosition start = position_;
    const AVAudioFrameCount wanted = std::min(frames, buffer.frameCapacity());
    const std::uint32_t channels = format_->channelCount();
    if (scratchFrames_ < wanted) {
        interleaveScratch_ = std::make_unique<float[]>(std::size_t{wanted} * channels);
        scratchFrames_ = wanted;
    }
    const AVAudioFrameCount got = readFramesLocked(start, wanted, interleaveScratch_.get());
    auto out = buffer.floatChannelData();
    for (std::uint32_t c = 0; c < channels; ++c) {
        for (AVAudioFrameCount i = 0; i < got; ++i) out[c][i] = interleaveScratch_[std::size_t{i} * channels + c];
    }
    buffer.setFrameLength(got);
    position_ = start + got;
    return true;
}

bool AVAudioFile::writeFrames(std::span<const float* const> channels, AVAudioFrameCount frames,
                              foundation::NSError* outError) {
    std::lock_guard lock(mutex_);
    if (handle_ == nullptr || !writing_) {
        fill(outError, osStatusError(kAudioFileNotOpenError, "The file is not open for writing."));
        return false;
    }
    const std::uint32_t count = format_->channelCount();
    if (channels.size() != count) {
        fill(outError, osStatusError(kAudioFileFormatMismatchError, "Channel count does not match the file's."));
        return false;
    }
    constexpr AVAudioFrameCount kChunk = 4096;
    if (scratchFrames_ < kChunk) {
        interleaveScratch_ = std::make_unique<float[]>(std::size_t{kChunk} * count);
        scratchFrames_ = kChunk;
    }
    for (AVAudioFrameCount done = 0; done < frames;) {
        const AVAudioFrameCount n = std::min(kChunk, frames - done);
        for (std::uint32_t c = 0; c < count; ++c) {
            for (AVAudioFrameCount i = 0; i < n; ++i) interleaveScratch_[std::size_t{i} * count + c] = channels[c][done + i];
        }
        if (sf_writef_float(asSndfile(handle_), interleaveScratch_.get(), n) != n) {
            failed_ = true;
            fill(outError, osStatusError(kAudioFileUnspecifiedError,
                                         std::string("Writing failed: ") + sf_strerror(asSndfile(handle_))));
            return false;
        }
        done += n;
        length_ += n;
    }
    return true;
}

bool AVAudioFile::writeFromBuffer(const audiounit::AVAudioPCMBuffer& buffer, foundation::NSError* outError) {
    const auto& bf = buffer.format();
    if (!bf || !bf->isStandard()) {
        fill(outError, osStatusError(kAudioFileFormatMismatchError, "The buffer is not in the standard format."));
        return false;
    }
    auto data = buffer.floatChannelData();
    const std::span<const float* const> channels(const_cast<const float* const*>(data.data()), data.size());
    return writeFrames(channels, buffer.frameLength(), outError);
}

bool AVAudioFile::close(foundation::NSError* outError) {
    std::lock_guard lock(mutex_);
    return closeLocked(outError);
}

void AVAudioFile::discard() {
    std::lock_guard lock(mutex_);
    if (writing_) failed_ = true;
    closeLocked(nullptr);
}

bool AVAudioFile::closeLocked(foundation::NSError* outError) {
    if (handle_ == nullptr) return true;
    SNDFILE* sf = asSndfile(handle_);
    handle_ = nullptr;
    if (!writing_) {
        sf_close(sf);
        return true;
    }
    sf_write_sync(sf);
    const bool closedCleanly = sf_close(sf) == 0;
    std::error_code ec;
    if (failed_ || !closedCleanly) {
        std::filesystem::remove(temporaryPath_, ec);
        fill(outError, osStatusError(kAudioFileUnspecifiedError, "The file \"" + path_ + "\" was not completed."));
        return false;
    }
    std::filesystem::rename(temporaryPath_, path_, ec);
    if (ec) {
        std::filesystem::remove(temporaryPath_, ec);
        fill(outError, foundation::NSError{foundation::NSPOSIXErrorDomain, ec.value(),
                                           "Cannot rename the finished file to \"" + path_ + "\"."});
        return false;
    }
    return true;
}

}  // namespace engine
