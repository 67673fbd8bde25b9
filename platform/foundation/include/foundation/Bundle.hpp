#pragma once
// Bundles: folders holding an information file `Info.json` (a JSON object) and
// a `Resources/` folder. The main bundle is the running program's folder; a
// module's bundle is found from any address inside the module.

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace foundation {

// A JSON value as read from an information file.
struct InfoValue {
    enum class Kind { Null, Boolean, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0.0;
    std::string string;
    std::vector<InfoValue> array;
    std::vector<std::pair<std::string, InfoValue>> object;  // in file order

    // Defaulted below, where the type is complete: clang cannot make the
    // default constructor of a pair holding the type from inside it.
    InfoValue();
    [[nodiscard]] bool isString() const noexcept { return kind == Kind::String; }
    // The member named key of an object, else null.
    [[nodiscard]] const InfoValue* member(std::string_view key) const noexcept;
};
inline InfoValue::InfoValue() = default;

using InfoDictionary = std::map<std::string, InfoValue, std::less<>>;

// Parses one JSON document. On failure returns nothing and, when `error` is
// given, stores "line L column C: what was expected".
std::optional<InfoValue> parseJSON(std::string_view text, std::string* error = nullptr);

class Bundle {
public:
    // An Info.json larger than this is refused unread.
    static constexpr std::size_t kMaximumInfoFileBytes = 1024 * 1024;

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

    // The members of Info.json's top-level object; empty when the file is
    // missing, malformed or not an object (infoError() then says why).
    [[nodiscard]] const InfoDictionary& infoDictionary() const noexcept { return info_; }
    [[nodiscard]] const std::string& infoError() const noexcept { return infoError_; }
    [[nodiscard]] const InfoValue* objectForInfoDictionaryKey(std::string_view key) const;
    // The value for key when it is a string.
    [[nodiscard]] std::optional<std::string> stringForInfoDictionaryKey(std::string_view key) const;
    // Info.json's "CFBundleIdentifier" string.
    [[nodiscard]] std::optional<std::string> bundleIdentifier() const {
        return stringForInfoDictionaryKey("CFBundleIdentifier");
    }

private:
    std::filesystem::path path_;
    InfoDictionary info_;
    std::string infoError_;
};

// The path of the running executable.
std::filesystem::path executablePath();

}  // namespace foundation
