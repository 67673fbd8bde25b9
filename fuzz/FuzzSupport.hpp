#pragma once
// What the fuzz targets share: a reader that takes typed values off the input
// bytes, the check that turns a broken promise into a finding, and a scratch
// folder for targets whose parser reads files.
//
// Every target defines LLVMFuzzerTestOneInput. Built with libFuzzer it is
// driven with new inputs; otherwise ReplayMain.cpp runs it over its corpus.

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

namespace fuzzing {

// A fault the sanitizers cannot see (a wrong result, a broken invariant):
// said in one line, then the process aborts, which both drivers report.
[[noreturn]] inline void fault(std::string_view what) {
    std::fprintf(stderr, "fuzz target: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

inline void require(bool holds, std::string_view what) {
    if (!holds) fault(what);
}

// Takes values off the front of the input; past its end every value is 0 and
// every byte run empty, so a short input is simply a short case.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
    ByteReader(const std::uint8_t* data, std::size_t size) noexcept : bytes_(data, size) {}

    [[nodiscard]] bool empty() const noexcept { return bytes_.empty(); }
    [[nodiscard]] std::size_t remaining() const noexcept { return bytes_.size(); }

    std::uint8_t byte() noexcept {
        if (bytes_.empty()) return 0;
        const std::uint8_t b = bytes_.front();
        bytes_ = bytes_.subspan(1);
        return b;
    }
    template <typename T>
    T value() noexcept {
        T result{};
        const std::size_t n = std::min(sizeof(T), bytes_.size());
        std::memcpy(&result, bytes_.data(), n);
        bytes_ = bytes_.subspan(n);
        return result;
    }
    // Up to `count` bytes.
    std::span<const std::uint8_t> take(std::size_t count) noexcept {
        const auto run = bytes_.first(std::min(count, bytes_.size()));
        bytes_ = bytes_.subspan(run.size());
        return run;
    }
    std::span<const std::uint8_t> rest() noexcept { return take(bytes_.size()); }

private:
    std::span<const std::uint8_t> bytes_;
};

inline std::string_view asText(std::span<const std::uint8_t> bytes) noexcept {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A folder of the process's own, made on first use and removed at exit.
inline const std::filesystem::path& scratchFolder() {
    struct Folder {
        std::filesystem::path path;
        Folder() {
            std::error_code error;
            const auto base = std::filesystem::temp_directory_path(error);
            std::string pattern = ((error ? std::filesystem::path("/tmp") : base) / "dunmarrow-fuzz-XXXXXX").string();
            if (::mkdtemp(pattern.data()) == nullptr) fault("cannot make a scratch folder");
            path = pattern;
        }
        ~Folder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const Folder folder;
    return folder.path;
}

// Writes `bytes` to `path`, replacing what is there.
inline void writeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) fault("cannot write " + path.string());
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) fault("cannot write " + path.string());
}

}  // namespace fuzzing
