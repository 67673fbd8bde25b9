#pragma once
// Bundles: folders holding an information file `Info.json` (a JSON object) and
// a `Resources/` folder. The main bundle is the running program's folder; a
// module's bundle is found from any address inside the module.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

// An Info.json larger than this is refused unread.
inline constexpr std::size_t kMaximumInfoFileBytes = 1024 * 1024;

// Reads an information file: the JSON object at `path`, if it is a regular
// file of at most kMaximumInfoFileBytes holding one. Nothing, with `error` set
// (when not null) to the reason, otherwise: readRegularFile's ("cannot be
// opened: ...", "is not a regular file", "is larger than N bytes", ...), "is not
// valid JSON: <the parser's words>" or "must hold a JSON object". Never waits:
// a FIFO or device in place of the file is refused at once.
// This is the one reader of Info.json files: bundles and the component
// registry both use it.
std::optional<nlohmann::json> readInfoFile(const std::filesystem::path& path, std::string* error = nullptr);

class Bundle {
public:
    // The bundle at a folder; reads its Info.json when there is one.
    explicit Bundle(std::filesystem::path bundlePath);

    // The running program's bundle: the folder named by the environment variable
    // DUNMARROW_MAIN_BUNDLE when set and not empty, else the executable's folder.
    static Bundle main();
    // The bundle of the executable or shared module containing `address`: the
    // module's folder when it holds Info.json, else that folder's parent when it
    // does, else the module's folder. Nothing when no module contains the address.
    static std::optional<Bundle> forAddress(const void* address);
    // True when the folder holds an Info.json file.
    static bool isBundleFolder(const std::filesystem::path& folder);

    [[nodiscard]] const std::filesystem::path& bundlePath() const noexcept { return path_; }
    [[nodiscard]] std::filesystem::path resourcePath() const { return path_ / "Resources"; }
    [[nodiscard]] std::filesystem::path infoPath() const { return path_ / "Info.json"; }

    // Resources/<name>.<extension>, else <name>.<extension> at the bundle's top,
    // if it is a regular file. An empty extension looks up `name` as it is; a
    // leading dot on the extension is allowed.
    [[nodiscard]] std::optional<std::filesystem::path> urlForResource(
        std::string_view name, std::string_view extension) const;

    // Info.json's top-level object; an empty object when the file is missing,
    // or cannot be used (infoError() then says why: "<path>: <reason>", with
    // readInfoFile's reason).
    [[nodiscard]] const nlohmann::json& infoDictionary() const noexcept { return info_; }
    [[nodiscard]] const std::string& infoError() const noexcept { return infoError_; }
    // The value for key, else null.
    [[nodiscard]] const nlohmann::json* objectForInfoDictionaryKey(std::string_view key) const;
    // The value for key when it is a string.
    [[nodiscard]] std::optional<std::string> stringForInfoDictionaryKey(std::string_view key) const;
    // Info.json's "CFBundleIdentifier" string.
    [[nodiscard]] std::optional<std::string> bundleIdentifier() const {
        return stringForInfoDictionaryKey("CFBundleIdentifier");
    }

private:
    std::filesystem::path path_;
    nlohmann::json info_ = nlohmann::json::object();
    std::string infoError_;
};

// The path of the running executable.
std::filesystem::path executablePath();

}  // namespace foundation
