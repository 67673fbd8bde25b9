#include "foundation/Bundle.hpp"

#include "foundation/FileReading.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <utility>

namespace foundation {

namespace fs = std::filesystem;

namespace {

bool isRegularFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

}  // namespace

std::optional<nlohmann::json> readInfoFile(const fs::path& path, std::string* error) {
    std::string reason;
    std::optional<nlohmann::json> object;
    if (const auto contents = readRegularFile(path, kMaximumInfoFileBytes, &reason)) {
        try {
            object = nlohmann::json::parse(*contents);
            if (!object->is_object()) {
                object.reset();
                reason = "must hold a JSON object";
            }
        } catch (const nlohmann::json::exception& parseError) {  // malformed, or a number beyond any double
            object.reset();
            reason = std::string("is not valid JSON: ") + parseError.what();
        }
    }
    if (!object && error != nullptr) *error = std::move(reason);
    return object;
}

// ---- Bundle ----

fs::path executablePath() {
    std::error_code ec;
    auto path = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : path;
}

bool Bundle::isBundleFolder(const fs::path& folder) { return isRegularFile(folder / "Info.json"); }

Bundle::Bundle(fs::path bundlePath) : path_(std::move(bundlePath)) {
    const auto info = infoPath();
    std::error_code ec;
    // No information file is no error; anything else there must be one.
    if (fs::symlink_status(info, ec).type() == fs::file_type::not_found) return;
    std::string error;
    if (auto object = readInfoFile(info, &error))
        info_ = std::move(*object);
    else
        infoError_ = info.string() + ": " + error;
}

Bundle Bundle::main() {
    if (const char* overridePath = std::getenv("DUNMARROW_MAIN_BUNDLE");
        overridePath != nullptr && *overridePath != '\0')
        return Bundle(fs::path(overridePath));
    return Bundle(executablePath().parent_path());
}

std::optional<Bundle> Bundle::forAddress(const void* address) {
    Dl_info info{};
    if (address == nullptr || ::dladdr(address, &info) == 0) return std::nullopt;
    fs::path module;
    if (info.dli_fname != nullptr && info.dli_fname[0] != '\0') {
        std::error_code ec;
        module = fs::canonical(info.dli_fname, ec);
        if (ec) module.clear();
    }
    // The executable's own entry may carry no usable name (an empty one, or the
    // name it was started with, relative to a directory since left).
    if (module.empty()) module = executablePath();
    if (module.empty()) return std::nullopt;
    const auto folder = module.parent_path();
    if (isBundleFolder(folder)) return Bundle(folder);
    if (isBundleFolder(folder.parent_path())) return Bundle(folder.parent_path());
    return Bundle(folder);
}

std::optional<fs::path> Bundle::urlForResource(std::string_view name,
                                               std::string_view extension) const {
    if (name.empty()) return std::nullopt;
    std::string fileName(name);
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    if (!extension.empty()) {
        fileName += '.';
        fileName += extension;
    }
    for (const auto& candidate : {resourcePath() / fileName, path_ / fileName})
        if (isRegularFile(candidate)) return candidate;
    return std::nullopt;
}

const nlohmann::json* Bundle::objectForInfoDictionaryKey(std::string_view key) const {
    const auto it = info_.find(key);
    return it == info_.end() ? nullptr : &*it;
}

std::optional<std::string> Bundle::stringForInfoDictionaryKey(std::string_view key) const {
    const auto* value = objectForInfoDictionaryKey(key);
    if (value == nullptr || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

}  // namespace foundation
