#pragma once
// An audio file on disk, read or written through libsndfile.
//
// Reading: the processing format is the standard format (deinterleaved 32-bit
// float) at the file's sample rate and channel count, whatever the encoding on
// disk. Writing: samples go to a temporary file next to the destination, which
// is renamed to the destination when the file is closed (or destroyed), so a
// half-written file never appears under the final name.
//
// Threads: any thread except the render thread. One object may be used from
// several threads; readFrames() is safe to call concurrently with the other
// calls (a mutex guards the libsndfile handle).

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "audiounit/AVAudioFormat.hpp"
#include "audiounit/AVAudioPCMBuffer.hpp"
#include "foundation/NSError.hpp"

namespace engine {

using AVAudioFramePosition = std::int64_t;
using audiounit::AVAudioFrameCount;

// Error codes of the file layer (domain NSOSStatusErrorDomain).
inline constexpr std::int32_t kAudioFileUnspecifiedError = 0x7768743F;        // 'wht?'
inline constexpr std::int32_t kAudioFileUnsupportedFileTypeError = 0x7479703F;  // 'typ?'
inline constexpr std::int32_t kAudioFileInvalidFileError = 0x64746121;          // 'dta!'
inline constexpr std::int32_t kAudioFileNotOpenError = -38;
inline constexpr std::int32_t kAudioFileFormatMismatchError = 0x666D743F;  // 'fmt?'

class AVAudioFile {
public:
    // How samples are stored when writing. FLAC files store 24-bit integers
    // whatever is asked, as FLAC has no float encoding.
    enum class SampleEncoding { Float32, PCM16, PCM24 };

    // Opens an existing file. Null, with the error filled, when the file is
    // missing (NSPOSIXErrorDomain, ENOENT) or not a readable audio file.
    static std::shared_ptr<AVAudioFile> openForReading(const std::string& path,
                                                       foundation::NSError* outError = nullptr);

    // Creates a file for writing in the given (standard) format. The container
    // comes from the extension: .wav, .aif/.aiff, .flac, .caf. Null with the
    // error filled for an unknown extension, a null or non-standard format or a
    // temporary file that cannot be created.
    static std::shared_ptr<AVAudioFile> openForWriting(const std::string& path,
                                                       const audiounit::AVAudioFormatPtr& format,
                                                       foundation::NSError* outError = nullptr,
                                                       SampleEncoding encoding = SampleEncoding::Float32);

    ~AVAudioFile();
    AVAudioFile(const AVAudioFile&) = delete;
    AVAudioFile& operator=(const AVAudioFile&) = delete;

    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] const audiounit::AVAudioFormatPtr& processingFormat() const noexcept { return format_; }
    [[nodiscard]] bool isOpenForWriting() const noexcept { return writing_; }
    // Frames in the file (when writing: frames written so far).
    [[nodiscard]] AVAudioFramePosition length() const;
    // Position of the next readIntoBuffer.
    [[nodiscard]] AVAudioFramePosition framePosition() const;
    void setFramePosition(AVAudioFramePosition position);

    // Reads up to `frames` frames (at most the buffer's capacity) from
    // framePosition into a standard-format buffer with the file's channel count,
    // sets the buffer's frame length and advances the position. At the end of
    // the file the frame length is 0 and the result true.
    bool readIntoBuffer(audiounit::AVAudioPCMBuffer& buffer, AVAudioFrameCount frames,
                        foundation::NSError* outError = nullptr);

    // Reads up to `frames` interleaved frames starting at `start` into
    // `destination` (frames x channels floats), independent of framePosition.
    // Returns the frames read (0 at or past the end, or on a read error).
    AVAudioFrameCount readFrames(AVAudioFramePosition start, AVAudioFrameCount frames, float* destination);

    // Appends the buffer's frameLength frames (standard format, the file's
    // channel count).
    bool writeFromBuffer(const audiounit::AVAudioPCMBuffer& buffer, foundation::NSError* outError = nullptr);
    // Appends `frames` frames given as one pointer per channel.
    bool writeFrames(std::span<const float* const> channels, AVAudioFrameCount frames,
                     foundation::NSError* outError = nullptr);

    // Finishes the file. For a written file: flushes, closes and renames the
    // temporary file to the destination (the temporary is removed if that
    // fails). Closing twice does nothing more.
    bool close(foundation::NSError* outError = nullptr);
    // Abandons a file being written: closes it and removes the temporary file,
    // leaving the destination untouched.
    void discard();

private:
    AVAudioFile() = default;
    bool closeLocked(foundation::NSError* outError);
    AVAudioFrameCount readFramesLocked(AVAudioFramePosition start, AVAudioFrameCount frames, float* destination);

    mutable std::mutex mutex_;
    std::string path_;
    std::string temporaryPath_;
    audiounit::AVAudioFormatPtr format_;
    void* handle_ = nullptr;  // SNDFILE*
    bool writing_ = false;
    bool failed_ = false;
    AVAudioFramePosition length_ = 0;
    AVAudioFramePosition position_ = 0;
    std::unique_ptr<float[]> interleaveScratch_;
    AVAudioFrameCount scratchFrames_ = 0;
};

using AVAudioFilePtr = std::shared_ptr<AVAudioFile>;

}  // namespace engine
