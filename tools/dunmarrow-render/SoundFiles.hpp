#pragma once
// The tool's two files. InputFile reads any file libsndfile reads, as
// interleaved floats. OutputFile writes a file of a given format under a
// temporary name in the destination's folder and renames it into place only
// when everything has been written; until then, and whatever happens (an
// exception, a signal), the temporary file is removed and the destination is
// left as it was.
//
// Main thread only.

#include <sndfile.h>

#include <signal.h>
#include <cstdint>
#include <string>

namespace render {

class InputFile {
public:
    // Throws ToolError when the file cannot be opened or is not audio libsndfile reads.
    explicit InputFile(std::string path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] const SF_INFO& info() const noexcept { return info_; }
    // Frames the file declares, or -1 when its length is not known in advance.
    [[nodiscard]] std::int64_t declaredFrames() const noexcept;

    // Reads up to `frames` interleaved frames; fewer only at the end of the
    // file. Throws ToolError on a read error.
    std::int64_t read(float* interleaved, std::int64_t frames);

private:
    std::string path_;
    SF_INFO info_{};
    SNDFILE* file_ = nullptr;
};

class OutputFile {
public:
    // Creates the temporary file next to `path`. Throws ToolError when the
    // folder cannot take it, `path` is a folder, or libsndfile cannot write
    // `format`.
    OutputFile(std::string path, const SF_INFO& format);
    // Removes the temporary file unless commit() has succeeded.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    [[nodiscard]] const std::string& path() const noexcept { return path_; }

    // Writes interleaved frames. Samples beyond full scale are clipped when the
    // format stores integers. Throws ToolError when not all were written.
    void write(const float* interleaved, std::int64_t frames);

    // Finishes the file and renames it to the destination. Throws ToolError
    // (and removes the temporary file) when either fails.
    void commit();

private:
    void discard() noexcept;

    std::string path_;
    std::string temporaryPath_;
    SNDFILE* file_ = nullptr;
    bool committed_ = false;
};

// Blocks the signals that must remove OutputFile's temporary file (SIGINT,
// SIGTERM, SIGHUP, SIGPIPE) in the calling thread while it lives. Threads
// started meanwhile inherit the block and keep it, so the thread that made
// this object stays the only one such a signal can reach: the one whose block
// around creating the temporary file guarantees that the file is always removed.
class DeadlySignalsBlocked {
public:
    DeadlySignalsBlocked() noexcept;
    ~DeadlySignalsBlocked();
    DeadlySignalsBlocked(const DeadlySignalsBlocked&) = delete;
    DeadlySignalsBlocked& operator=(const DeadlySignalsBlocked&) = delete;

private:
    sigset_t previous_{};
};

}  // namespace render
