#pragma once
// Opening and reading files that anyone may have put in place: only regular
// files are read, and opening never waits. A FIFO, device or socket where a
// file should be is refused at once instead of blocking the reader.
// Thread: any.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace foundation {

// An open regular file; closes its descriptor when it goes.
class RegularFile {
public:
    // Opens `path` read-only, without waiting (O_NONBLOCK, which regular files
    // ignore) and without becoming the controlling terminal, and checks with
    // fstat that it is a regular file. Nothing, with `error` set (when not null) to
    // "cannot be opened: <reason>" or "is not a regular file", otherwise.
    static std::optional<RegularFile> open(const std::filesystem::path& path, std::string* error = nullptr);

    RegularFile(RegularFile&& other) noexcept;
    RegularFile& operator=(RegularFile&& other) noexcept;
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;
    ~RegularFile();

    [[nodiscard]] int descriptor() const noexcept { return fd_; }
    // The size fstat gave when the file was opened.
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    // Reads up to `count` bytes from `offset`; fewer only at the file's end.
    // False with `error` set if reading failed.
    bool readAt(std::size_t offset, void* into, std::size_t count, std::size_t* got,
                std::string* error = nullptr) const;

private:
    RegularFile(int fd, std::size_t size) noexcept : fd_(fd), size_(size) {}
    int fd_ = -1;
    std::size_t size_ = 0;
};

// The whole contents of the regular file at `path`, if it holds at most
// `maximumBytes`. Nothing, with `error` set to the reason ("cannot be opened:
// ...", "is not a regular file", "is larger than N bytes", "cannot be read:
// ..."), otherwise.
std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::size_t maximumBytes,
                                           std::string* error = nullptr);

}  // namespace foundation
