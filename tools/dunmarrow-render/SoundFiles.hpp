#pragma once
// The tool's two files. InputFile reads any file libsndfile reads, as
// interleaved floats. OutputFile writes a file of a given format the way the
// platform writes files (foundation/FileWriting.hpp): a file under a temporary
// name in the destination's folder, renamed into place (over the end of a
// symbolic link, with the old file's permissions) only when everything has been
// written; until then, and whatever happens (an exception, a signal, a time
// limit), the temporary file is removed and the destination is left as it
// was. A character device or a FIFO is written in place (one that cannot seek,
// such as a FIFO, gets the whole file when it is complete).
//
// Main thread only.

#include <sndfile.h>

#include <chrono>
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
    // Creates the temporary file next to `path` (or next to the end of the
    // links at `path`), or opens the character device or FIFO at `path`,
    // waiting at most `waitLimit` for a program to read the FIFO. Throws
    // ToolError when the folder cannot take the file, `path` is something
    // else (a folder, a socket, a block device), or libsndfile cannot write
    // `format`.
    OutputFile(std::string path, const SF_INFO& format, std::chrono::seconds waitLimit = std::chrono::seconds(30));
    // Removes the temporary file unless commit() has succeeded.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    [[nodiscard]] const std::string& path() const noexcept { return path_; }

    // Writes interleaved frames. Samples beyond full scale are clipped when the
    // format stores integers. Throws ToolError when not all were written.
    void write(const float* interleaved, std::int64_t frames);

    // Finishes the file and renames it to the destination (for a device or a
    // FIFO: finishes writing). Throws ToolError (and removes the temporary
    // file) when either fails.
    void commit();

private:
    void discard() noexcept;

    std::string path_;
    std::string finalPath_;      // where the temporary file goes: path_ after its links
    std::string temporaryPath_;  // empty when writing a device or a FIFO in place
    int streamFd_ = -1;          // a stream that cannot seek, written at commit()
    int spoolFd_ = -1;           // what libsndfile writes for it meanwhile
    SNDFILE* file_ = nullptr;
    bool committed_ = false;
};

}  // namespace render
