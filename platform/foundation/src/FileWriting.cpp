#include "foundation/FileWriting.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace foundation {
namespace {

namespace fs = std::filesystem;

// Links followed before giving up, as the kernel does.
constexpr int kMaximumLinks = 40;

std::string systemReason(int error) { return std::strerror(error); }

// The end of the chain of symbolic links that starts at `path`: the first
// name that is not a link (or does not exist). Empty after too many links.
fs::path endOfLinks(fs::path path) {
    for (int hops = 0; hops <= kMaximumLinks; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::error_code error;
        const fs::path target = fs::read_symlink(path, error);
        if (error) return path;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return {};
}

// Six characters that make a temporary name unlikely to be taken.
std::string randomSuffix() {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[6];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        static std::atomic<unsigned> counter{0};
        auto mix = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                   (static_cast<std::uint64_t>(::getpid()) << 32) ^ counter.fetch_add(0x9E3779B9u);
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>(mix);
            mix = mix * 6364136223846793005u + 1442695040888963407u;
        }
    }
    std::string suffix;
    for (unsigned char b : bytes) suffix += kLetters[b % (sizeof kLetters - 1)];
    return suffix;
}

bool writeAll(int fd, std::string_view contents) {
    while (!contents.empty()) {
        const ssize_t written = ::write(fd, contents.data(), contents.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        contents.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

std::optional<WriteTarget> writeTargetFor(const fs::path& path, std::string* reason) {
    const auto refuse = [reason](std::string why) -> std::optional<WriteTarget> {
        if (reason) *reason = std::move(why);
        return std::nullopt;
    };
    if (path.empty()) return refuse(systemReason(ENOENT));

    WriteTarget target;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
            target.kind = WriteTarget::Kind::Stream;
            target.path = path;
            return target;
        }
        if (S_ISDIR(st.st_mode)) return refuse(systemReason(EISDIR));
        if (S_ISSOCK(st.st_mode)) return refuse("it is a socket, not a file, a character device or a FIFO");
        if (S_ISBLK(st.st_mode)) return refuse("it is a block device, not a file, a character device or a FIFO");
        if (!S_ISREG(st.st_mode)) return refuse("it is not a file, a character device or a FIFO");
        target.replacesFile = true;
        target.mode = st.st_mode & 07777;
        target.owner = st.st_uid;
        target.group = st.st_gid;
    } else if (errno != ENOENT) {
        return refuse(systemReason(errno));
    }
    // A regular file, nothing, or a link to nothing: the file at the end of
    // the links is (re)placed, so that the links stay.
    target.path = endOfLinks(path);
    if (target.path.empty()) return refuse(systemReason(ELOOP));
    const fs::path name = target.path.filename();
    if (name.empty() || name == "." || name == "..") return refuse("not a file name");
    return target;
}

int createTemporaryFile(const WriteTarget& target, fs::path& temporary, std::string* reason) {
    const fs::path folder = target.path.has_parent_path() ? target.path.parent_path() : fs::path(".");
    // ".NAME.XXXXXX", with NAME cut (at a character boundary) so that the
    // whole fits the longest name the folder takes.
    long longestName = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (longestName <= 0) longestName = NAME_MAX;
    std::string name = target.path.filename().string();
    const std::size_t room = static_cast<std::size_t>(longestName) > 8 ? static_cast<std::size_t>(longestName) - 8 : 1;
    if (name.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
        name.resize(cut);
    }

    // A replacement starts private and gets the old file's permissions before
    // any byte is written; a new file gets the usual ones through the umask.
    const mode_t creationMode = target.replacesFile ? 0600 : 0666;
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        const fs::path candidate = folder / ("." + name + "." + randomSuffix());
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, creationMode);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (target.replacesFile) {
            mode_t mode = target.mode;
            // Set-id bits stay only with the owner and group they were meant for.
            if (::fchown(fd, target.owner, target.group) != 0) mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
            if (::fchmod(fd, mode) != 0) {
                error = errno;
                ::close(fd);
                ::unlink(candidate.c_str());
                break;
            }
        }
        temporary = candidate;
        return fd;
    }
    if (reason) *reason = systemReason(error);
    return -1;
}

bool writeFileAtomically(const fs::path& path, std::string_view contents, std::string* error) {
    const auto fail = [&](const std::string& reason) {
        if (error) *error = "cannot write " + path.string() + ": " + reason;
        return false;
    };
    std::string reason;
    const auto target = writeTargetFor(path, &reason);
    if (!target) return fail(reason);

    if (target->kind == WriteTarget::Kind::Stream) {
        // Non-blocking, so that a FIFO nobody reads is an error, not a wait.
        const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return fail(errno == ENXIO ? "no program is reading it" : systemReason(errno));
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        const bool written = writeAll(fd, contents);
        const int writeError = errno;
        const bool closed = ::close(fd) == 0;
        if (!written || !closed) return fail(systemReason(written ? errno : writeError));
        return true;
    }

    fs::path temporary;
    const int fd = createTemporaryFile(*target, temporary, &reason);
    if (fd < 0) return fail(reason);
    const bool written = writeAll(fd, contents);
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        const int savedError = written ? errno : writeError;
        ::unlink(temporary.c_str());
        return fail(systemReason(savedError));
    }
    if (std::rename(temporary.c_str(), target->path.c_str()) != 0) {
        const int renameError = errno;
        ::unlink(temporary.c_str());
        return fail(systemReason(renameError));
    }
    return true;
}

}  // namespace foundation
