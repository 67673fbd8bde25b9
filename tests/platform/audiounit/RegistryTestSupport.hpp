#pragma once
// Bundle folders written by the tests into a fresh temporary folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "TempDir.hpp"

namespace registrytest {

namespace fs = std::filesystem;

using ScratchFolder = testsupport::TempDir;

inline void writeFile(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

// A manifest for one component, with the given codes and names.
inline std::string manifest(const std::string& type, const std::string& subtype, const std::string& manufacturer,
                            const std::string& name, const std::string& module = "Module.so",
                            const std::string& extraComponentFields = "") {
    return R"({"BundleIdentifier": "org.dunmarrow.tests.)" + subtype + R"(", "Name": "Bundle )" + subtype +
           R"(", "Module": ")" + module + R"(", "PrincipalClass": "RegistryTestPrincipal",
  "AudioComponents": [{"type": ")" + type + R"(", "subtype": ")" + subtype + R"(", "manufacturer": ")" +
           manufacturer + R"(", "name": ")" + name + R"(", "version": 65536)" + extraComponentFields + "}]}";
}

// A bundle folder `folder/name.auext` with the manifest and a module file
// copied from `moduleSource` (or an empty one).
inline fs::path makeBundle(const fs::path& folder, const std::string& name, const std::string& manifestText,
                           const fs::path& moduleSource = {}, const std::string& moduleName = "Module.so") {
    const fs::path bundle = folder / (name + ".auext");
    fs::create_directories(bundle / "Resources");
    writeFile(bundle / "Info.json", manifestText);
    if (moduleSource.empty())
        writeFile(bundle / moduleName, "");
    else
        fs::copy_file(moduleSource, bundle / moduleName, fs::copy_options::overwrite_existing);
    return bundle;
}

// Sets an environment variable for one scope, restoring the old value after.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace registrytest
