#include "SoundFiles.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "Termination.hpp"
#include "ToolError.hpp"
#include "foundation/FileWriting.hpp"

namespace render {
namespace {

std::string inQuotes(const std::string& path) { return "'" + path + "'"; }

// libsndfile's messages end in a full stop; ours continue after a colon. A
// system error's message is the system's own text behind a prefix.
std::string reasonFrom(const char* message) {
    std::string reason = message != nullptr ? message : "unknown error";
    constexpr std::string_view kSystemError = "System error : ";
    if (reason.starts_with(kSystemError)) reason.erase(0, kSystemError.size());
    while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ')) reason.pop_back();
    return reason;
}

// A file without a name, for data on its way to a stream: in the folder for
// temporary files where it can be made so, else in memory.
int anonymousFile() {
    std::error_code ignored;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(ignored);
    const int fd = ::open(folder.empty() ? "/tmp" : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    return fd >= 0 ? fd : ::memfd_create("dunmarrow-render output", MFD_CLOEXEC);
}

// Copies everything in `from`, from its start, to `to`; false with errno set.
bool copyWhole(int from, int to) {
    if (::lseek(from, 0, SEEK_SET) != 0) return false;
    std::vector<char> buffer(std::size_t{1} << 16);
    while (true) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        for (ssize_t sent = 0; sent < got;) {
            const ssize_t written = ::write(to, buffer.data() + sent, static_cast<std::size_t>(got - sent));
            if (written < 0 && errno == EINTR) continue;
            if (written < 0) return false;
            sent += written;
        }
    }
}

}  // namespace

InputFile::InputFile(std::string path) : path_(std::move(path)) {
    // open() first, so that a missing or unreadable file gets the system's
    // reason rather than libsndfile's generic one.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ToolError("cannot open input " + inQuotes(path_) + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw ToolError("cannot open input " + inQuotes(path_) + ": " + std::strerror(EISDIR));
    }
    file_ = sf_open_fd(fd, SFM_READ, &info_, SF_TRUE);
    if (file_ == nullptr) {
        ::close(fd);
        throw ToolError("cannot read input " + inQuotes(path_) + ": " + reasonFrom(sf_strerror(nullptr)));
    }
}

InputFile::~InputFile() {
    if (file_ != nullptr) sf_close(file_);
}

std::int64_t InputFile::declaredFrames() const noexcept {
    return info_.frames >= 0 && info_.frames < SF_COUNT_MAX ? info_.frames : -1;
}

std::int64_t InputFile::read(float* interleaved, std::int64_t frames) {
    const sf_count_t got = sf_readf_float(file_, interleaved, frames);
    if (got < frames && sf_error(file_) != SF_ERR_NO_ERROR)
        throw ToolError("cannot read input " + inQuotes(path_) + ": " + reasonFrom(sf_strerror(file_)));
    return got;
}

OutputFile::OutputFile(std::string path, const SF_INFO& format, std::chrono::seconds waitLimit)
    : path_(std::move(path)) {
    std::string reason;
    const auto target = foundation::writeTargetFor(path_, &reason);
    if (!target) throw ToolError("cannot write output " + inQuotes(path_) + ": " + reason);

    SF_INFO info{};
    info.samplerate = format.samplerate;
    info.channels = format.channels;
    info.format = format.format;
    if (sf_format_check(&info) == SF_FALSE)
        throw ToolError("cannot write output " + inQuotes(path_) + ": libsndfile cannot write this input's format");

    handleDeadlySignals();
    int fd = -1;
    if (target->kind == foundation::WriteTarget::Kind::Stream) {
        // A FIFO opens once a program opens it for reading: a wait for
        // something outside the process, so it has a limit.
        const TimeLimit waiting(waitLimit, "cannot write output " + inQuotes(path_) + ": " +
                                               (std::filesystem::is_fifo(path_) ? "no program opened it for reading"
                                                                                : "it did not open") +
                                               " within " + secondsText(waitLimit));
        do {
            fd = ::open(path_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) throw ToolError("cannot write output " + inQuotes(path_) + ": " + std::strerror(errno));
    } else {
        // The temporary file lives in the destination's folder, so that the
        // final rename stays within one file system and is atomic. Signals
        // wait until the handler knows the file, so that no moment exists in
        // which a signal could leave it behind.
        std::filesystem::path temporary;
        {
            const DeadlySignalsBlocked untilTheFileIsKnown;
            fd = foundation::createTemporaryFile(*target, temporary, &reason);
            if (fd >= 0) {
                temporaryPath_ = temporary.string();
                rememberTemporary(temporaryPath_);
            }
        }
        if (fd < 0) throw ToolError("cannot write output " + inQuotes(path_) + ": " + reason);
        finalPath_ = target->path.string();
    }

    // libsndfile writes a file's length into its header last, seeking back to
    // it. A stream that cannot seek (a FIFO) gets the finished file when it is
    // complete, from a spool that has no name.
    const bool spooled = target->kind == foundation::WriteTarget::Kind::Stream && ::lseek(fd, 0, SEEK_CUR) < 0;
    if (spooled) {
        streamFd_ = fd;
        fd = anonymousFile();
        if (fd < 0) {
            const int error = errno;
            discard();
            throw ToolError("cannot write output " + inQuotes(path_) + ": " + std::strerror(error));
        }
        spoolFd_ = fd;
    }
    file_ = sf_open_fd(fd, SFM_WRITE, &info, spooled ? SF_FALSE : SF_TRUE);
    if (file_ == nullptr) {
        const std::string why = reasonFrom(sf_strerror(nullptr));
        if (!spooled) ::close(fd);
        discard();
        throw ToolError("cannot write output " + inQuotes(path_) + ": " + why);
    }
    // Integer formats clip overs instead of wrapping them round.
    sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // No PEAK chunk: it carries the time of writing, and the same render
    // should give the same bytes.
    sf_command(file_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
}

OutputFile::~OutputFile() {
    if (!committed_) discard();
}

void OutputFile::write(const float* interleaved, std::int64_t frames) {
    if (sf_writef_float(file_, interleaved, frames) != frames)
        throw ToolError("cannot write output " + inQuotes(path_) + ": " + reasonFrom(sf_strerror(file_)));
}

void OutputFile::commit() {
    const int closed = sf_close(file_);
    file_ = nullptr;
    if (closed != 0) {
        discard();
        throw ToolError("cannot write output " + inQuotes(path_) + ": " + reasonFrom(sf_error_number(closed)));
    }
    if (spoolFd_ >= 0 && !copyWhole(spoolFd_, streamFd_)) {
        const int error = errno;
        discard();
        throw ToolError("cannot write output " + inQuotes(path_) + ": " + std::strerror(error));
    }
    if (streamFd_ >= 0 && ::close(std::exchange(streamFd_, -1)) != 0) {
        const int error = errno;
        discard();
        throw ToolError("cannot write output " + inQuotes(path_) + ": " + std::strerror(error));
    }
    if (!temporaryPath_.empty() && std::rename(temporaryPath_.c_str(), finalPath_.c_str()) != 0) {
        const int error = errno;
        discard();
        throw ToolError("cannot write output " + inQuotes(path_) + ": " + std::strerror(error));
    }
    forgetTemporary();
    if (spoolFd_ >= 0) ::close(std::exchange(spoolFd_, -1));
    committed_ = true;
}

void OutputFile::discard() noexcept {
    if (file_ != nullptr) sf_close(file_);
    file_ = nullptr;
    if (spoolFd_ >= 0) ::close(std::exchange(spoolFd_, -1));
    if (streamFd_ >= 0) ::close(std::exchange(streamFd_, -1));
    if (!temporaryPath_.empty()) ::unlink(temporaryPath_.c_str());
    forgetTemporary();
}

}  // namespace render
