#include "SoundFiles.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "ToolError.hpp"

namespace render {
namespace {

std::string inQuotes(const std::string& path) { return "'" + path + "'"; }

// libsndfile's messages end in a full stop; ours continue after a colon.
std::string reasonFrom(const char* message) {
    std::string reason = message != nullptr ? message : "unknown error";
    while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ')) reason.pop_back();
    return reason;
}

// Signals that end the process while the temporary file exists.
constexpr int kDeadlySignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// The temporary file that a signal must remove before the process dies. A
// fixed buffer, because the signal handler may only read plain memory.
char pendingTemporary[4096];
volatile std::sig_atomic_t havePendingTemporary = 0;

// Runs on whichever thread the signal interrupts: only async-signal-safe calls.
extern "C" void removePendingTemporaryAndDie(int signalNumber) {
    if (havePendingTemporary != 0) ::unlink(pendingTemporary);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

void watchForSignals(const std::string& temporaryPath) {
    if (temporaryPath.size() >= sizeof pendingTemporary) return;
    std::memcpy(pendingTemporary, temporaryPath.c_str(), temporaryPath.size() + 1);
    havePendingTemporary = 1;
    for (int signalNumber : kDeadlySignals) std::signal(signalNumber, removePendingTemporaryAndDie);
}

void stopWatchingForSignals() noexcept { havePendingTemporary = 0; }

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

OutputFile::OutputFile(std::string path, const SF_INFO& format) : path_(std::move(path)) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_directory(path_, ec))
        throw ToolError("cannot write output " + inQuotes(path_) + ": " + std::strerror(EISDIR));

    SF_INFO info{};
    info.samplerate = format.samplerate;
    info.channels = format.channels;
    info.format = format.format;
    if (sf_format_check(&info) == SF_FALSE)
        throw ToolError("cannot write output " + inQuotes(path_) + ": libsndfile cannot write this input's format");

    // The temporary file lives in the destination's folder, so that the final
    // rename stays within one file system and is atomic.
    const fs::path destination(path_);
    if (destination.filename().empty() || destination.filename() == "." || destination.filename() == "..")
        throw ToolError("cannot write output " + inQuotes(path_) + ": not a file name");
    const fs::path folder = destination.has_parent_path() ? destination.parent_path() : fs::path(".");
    std::string hiddenName = ".";
    hiddenName += destination.filename().string();
    hiddenName += ".XXXXXX";
    const std::string pattern = (folder / hiddenName).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // Signals wait until the handler knows the file, so that no moment exists
    // in which a signal could leave it behind.
    sigset_t deadly, previous;
    sigemptyset(&deadly);
    for (int signalNumber : kDeadlySignals) sigaddset(&deadly, signalNumber);
    ::pthread_sigmask(SIG_BLOCK, &deadly, &previous);
    const int fd = ::mkstemp(name.data());
    const int error = errno;
    if (fd >= 0) {
        temporaryPath_ = name.data();
        watchForSignals(temporaryPath_);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (fd < 0) throw ToolError("cannot write output " + inQuotes(path_) + ": " + std::strerror(error));

    // mkstemp makes the file private; the result gets the usual permissions.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);

    file_ = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (file_ == nullptr) {
        const std::string reason = reasonFrom(sf_strerror(nullptr));
        ::close(fd);
        discard();
        throw ToolError("cannot write output " + inQuotes(path_) + ": " + reason);
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
    if (std::rename(temporaryPath_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        discard();
        throw ToolError("cannot write output " + inQuotes(path_) + ": " + std::strerror(error));
    }
    stopWatchingForSignals();
    committed_ = true;
}

void OutputFile::discard() noexcept {
    if (file_ != nullptr) sf_close(file_);
    file_ = nullptr;
    if (!temporaryPath_.empty()) ::unlink(temporaryPath_.c_str());
    stopWatchingForSignals();
}

DeadlySignalsBlocked::DeadlySignalsBlocked() noexcept {
    sigset_t deadly;
    sigemptyset(&deadly);
    for (int signalNumber : kDeadlySignals) sigaddset(&deadly, signalNumber);
    ::pthread_sigmask(SIG_BLOCK, &deadly, &previous_);
}

DeadlySignalsBlocked::~DeadlySignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace render
