#pragma once
// Writing a whole file so that readers never see half of it and a failure
// leaves what was there before: the contents go to a temporary file beside
// the target, which is then renamed over it. Thread: any.

#include <filesystem>
#include <string>
#include <string_view>

namespace foundation {

// False with `error` set (when not null) if the file could not be written.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view contents, std::string* error = nullptr);

}  // namespace foundation
