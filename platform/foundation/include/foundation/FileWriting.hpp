#pragma once
// Writing a file so that nothing the user had is lost. What stands at the
// path decides how:
// - nothing, or a regular file: the contents go to a temporary file beside it,
//   which is renamed over it when complete, so that readers never see half of
//   it and a failure leaves what was there. A replaced file's permission bits,
//   owner and group carry over (owner and group where the process may set them);
// - a symbolic link: followed to its end, whose file is replaced as above; the
//   link stays;
// - a character device or a FIFO (/dev/null, a pipe to another program): written
//   in place, never replaced;
// - anything else (a folder, a socket, a block device): refused.
// Thread: any.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

// Where and how a path is written.
struct WriteTarget {
    enum class Kind {
        File,    // a new file under a temporary name, renamed to `path` when complete
        Stream,  // a character device or a FIFO, opened at `path` and written in place
    };
    Kind kind = Kind::File;
    // A file's final name, after following links; a stream's path as given.
    std::filesystem::path path;
    // A file that exists: the permission bits, owner and group its replacement keeps.
    bool replacesFile = false;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
};

// Looks at what stands at `path`. Absent, with `reason` set (when not null) to
// one phrase such as "Is a directory", when the path cannot be written.
std::optional<WriteTarget> writeTargetFor(const std::filesystem::path& path, std::string* reason = nullptr);

// Creates the temporary file for a Kind::File target in its folder, with a
// name that fits any name the folder takes (".NAME.XXXXXX", NAME shortened
// when that would be too long), already carrying the permissions the final
// file gets. Returns the open descriptor (close-on-exec) and sets `temporary`;
// -1 with `reason` set when it cannot be created.
int createTemporaryFile(const WriteTarget& target, std::filesystem::path& temporary, std::string* reason = nullptr);

// False with `error` set (when not null) to "cannot write PATH: REASON" if the
// file could not be written. A FIFO is written only when a program is already
// reading it; this never waits for one.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view contents, std::string* error = nullptr);

}  // namespace foundation
