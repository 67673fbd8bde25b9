#include "foundation/FileReading.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace foundation {

namespace {

void setError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

}  // namespace

std::optional<RegularFile> RegularFile::open(const std::filesystem::path& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        setError(error, std::string("cannot be opened: ") + std::strerror(errno));
        return std::nullopt;
    }
    RegularFile file(fd, 0);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        setError(error, std::string("cannot be opened: ") + std::strerror(errno));
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        setError(error, "is not a regular file");
        return std::nullopt;
    }
    file.size_ = static_cast<std::size_t>(status.st_size);
    return file;
}

RegularFile::RegularFile(RegularFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        size_ = other.size_;
    }
    return *this;
}

RegularFile::~RegularFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool RegularFile::readAt(std::size_t offset, void* into, std::size_t count, std::size_t* got,
                         std::string* error) const {
    auto* bytes = static_cast<char*>(into);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd_, bytes + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            setError(error, std::string("cannot be read: ") + std::strerror(errno));
            return false;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (got) *got = done;
    return true;
}

std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::size_t maximumBytes,
                                           std::string* error) {
    auto file = RegularFile::open(path, error);
    if (!file) return std::nullopt;
    const std::string tooLarge = "is larger than " + std::to_string(maximumBytes) + " bytes";
    if (file->size() > maximumBytes) {
        setError(error, tooLarge);
        return std::nullopt;
    }
    // Read to the end, not to the size fstat gave: the file may be changing.
    std::string contents;
    constexpr std::size_t kChunk = 64 * 1024;
    while (true) {
        const std::size_t at = contents.size();
        contents.resize(at + kChunk);
        std::size_t got = 0;
        if (!file->readAt(at, contents.data() + at, kChunk, &got, error)) return std::nullopt;
        contents.resize(at + got);
        if (contents.size() > maximumBytes) {
            setError(error, tooLarge);
            return std::nullopt;
        }
        if (got < kChunk) return contents;
    }
}

}  // namespace foundation
