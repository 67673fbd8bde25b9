#pragma once
// What the dynamic loader would trip over in a module file, found before it
// is asked to load it: the loader maps the file's segments as the program
// headers describe them, and a file cut short there ends the process with
// SIGBUS instead of an error.

#include <filesystem>
#include <optional>
#include <string>

namespace audiounit {

// Nothing when `path` is a regular file holding an ELF shared object for this
// machine (class, byte order, machine) whose program headers and segments lie
// within the file; otherwise why not, as a phrase ("is not an ELF file", "is
// truncated: ..."). Opens the file without waiting. Thread: any.
[[nodiscard]] std::optional<std::string> moduleFileProblem(const std::filesystem::path& path);

}  // namespace audiounit
