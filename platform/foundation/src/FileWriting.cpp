#include "foundation/FileWriting.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace foundation {

bool writeFileAtomically(const std::filesystem::path& path, std::string_view contents, std::string* error) {
    auto fail = [&](const std::string& message) {
        if (error) *error = message;
        return false;
    };
    std::filesystem::path temporary = path;
    temporary += ".tmp-" + std::to_string(::getpid());
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return fail("cannot write " + path.string() + ": " + std::strerror(errno));
    const bool written = std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
    const int savedErrno = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::remove(temporary.c_str());
        return fail("cannot write " + path.string() + ": " + std::strerror(written ? errno : savedErrno));
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int renameErrno = errno;
        std::remove(temporary.c_str());
        return fail("cannot write " + path.string() + ": " + std::strerror(renameErrno));
    }
    return true;
}

}  // namespace foundation
