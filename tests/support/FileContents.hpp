#pragma once
// A whole file as text, for tests that check what a program wrote. Empty when
// the file cannot be read.

#include <cstdio>
#include <filesystem>
#include <string>

namespace testsupport {

inline std::string fileContents(const std::filesystem::path& path) {
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, got);
        std::fclose(f);
    }
    return text;
}

}  // namespace testsupport
