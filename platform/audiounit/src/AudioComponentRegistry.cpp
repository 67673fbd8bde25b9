#include "audiounit/AudioComponentRegistry.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string_view>
#include <system_error>

#include "foundation/FileReading.hpp"

namespace audiounit {

namespace fs = std::filesystem;
using nlohmann::json;

std::string AVAudioUnitComponent::versionString() const {
    return std::to_string(version >> 16) + "." + std::to_string((version >> 8) & 0xFFu) + "." +
           std::to_string(version & 0xFFu);
}

bool audioComponentMatches(const AudioComponentDescription& component,
                           const AudioComponentDescription& query) noexcept {
    const auto fieldMatches = [](OSType have, OSType want) { return want == 0 || have == want; };
    return fieldMatches(component.componentType, query.componentType) &&
           fieldMatches(component.componentSubType, query.componentSubType) &&
           fieldMatches(component.componentManufacturer, query.componentManufacturer) &&
           (component.componentFlags & query.componentFlagsMask) ==
               (query.componentFlags & query.componentFlagsMask);
}

std::string audioComponentTypeName(OSType type) {
    switch (type) {
        case fourCharCode("aufx"): return "Effect";
        case fourCharCode("aumf"): return "Music Effect";
        case fourCharCode("aumu"): return "Music Device";
        case fourCharCode("aumi"): return "MIDI Processor";
        case fourCharCode("augn"): return "Generator";
        case fourCharCode("auou"): return "Output";
        case fourCharCode("aumx"): return "Mixer";
        case fourCharCode("aupn"): return "Panner";
        case fourCharCode("aufc"): return "Format Converter";
        case fourCharCode("auol"): return "Offline Effect";
        default: return fourCharCodeString(type);
    }
}

std::string AudioComponentScanProblem::description() const {
    return "skipped " + path.string() + ": " + reason;
}

std::string describeAudioComponent(const AudioComponentDescription& description) {
    const auto code = [](OSType value) { return value == 0 ? std::string("0") : fourCharCodeString(value); };
    return "type " + code(description.componentType) + ", subtype " + code(description.componentSubType) +
           ", manufacturer " + code(description.componentManufacturer);
}

namespace {

// A check of a manifest failed; the text says what and where.
struct ManifestError {
    std::string reason;
};

// A text from a manifest in quotes, its control characters escaped as JSON
// does, so that a message quoting it stays one whole line.
std::string inQuotes(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

const json& requireField(const json& object, const char* field, const std::string& where) {
    const auto found = object.find(field);
    if (found == object.end()) throw ManifestError{where + "missing field " + inQuotes(field)};
    return *found;
}

std::string requireText(const json& object, const char* field, const std::string& where = {}) {
    const json& value = requireField(object, field, where);
    if (!value.is_string() || value.get_ref<const std::string&>().empty())
        throw ManifestError{where + "field " + inQuotes(field) + " must be a non-empty text"};
    const auto& text = value.get_ref<const std::string&>();
    // Names go on to C strings (file names, the module's class name), which
    // would end at a NUL.
    if (text.find('\0') != std::string::npos)
        throw ManifestError{where + "field " + inQuotes(field) + " must not contain a NUL character, as " +
                            inQuotes(text) + " does"};
    return text;
}

// Four printable ASCII characters packed into a code.
OSType requireCode(const json& object, const char* field, const std::string& where) {
    const json& value = requireField(object, field, where);
    if (!value.is_string()) throw ManifestError{where + "field " + inQuotes(field) + " must be a text"};
    const auto& text = value.get_ref<const std::string&>();
    const bool printableASCII = std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte <= 0x7E;
    });
    const auto code = fourCharCodeFromString(text);
    if (!code || !printableASCII)
        throw ManifestError{where + "field " + inQuotes(field) + " must be exactly four ASCII characters, not " +
                            inQuotes(text)};
    return *code;
}

std::uint32_t optionalUInt32(const json& object, const char* field, const std::string& where, bool required) {
    const auto found = object.find(field);
    if (found == object.end()) {
        if (required) throw ManifestError{where + "missing field " + inQuotes(field)};
        return 0;
    }
    if (!found->is_number_unsigned() || found->get<std::uint64_t>() > 0xFFFFFFFFu)
        throw ManifestError{where + "field " + inQuotes(field) + " must be a whole number from 0 to 4294967295"};
    return static_cast<std::uint32_t>(found->get<std::uint64_t>());
}

std::string manufacturerNameFrom(const std::string& name, OSType manufacturer) {
    const auto colon = name.find(':');
    if (colon == std::string::npos || colon == 0) return fourCharCodeString(manufacturer);
    return name.substr(0, colon);
}

// A manifest larger than this is refused unread.
constexpr std::size_t kMaximumManifestBytes = 1024 * 1024;

// Reads and checks one bundle's manifest; throws ManifestError.
std::vector<AVAudioUnitComponent> readBundle(const fs::path& bundle, const fs::path& manifestPath) {
    // Never waits: a FIFO or device in place of the manifest is refused.
    std::string readError;
    const auto contents = foundation::readRegularFile(manifestPath, kMaximumManifestBytes, &readError);
    if (!contents) throw ManifestError{readError};

    json manifest;
    try {
        manifest = json::parse(*contents);
    } catch (const json::exception& error) {  // malformed, or a number beyond any double
        throw ManifestError{std::string("is not valid JSON: ") + error.what()};
    }
    if (!manifest.is_object()) throw ManifestError{"must hold a JSON object"};

    const std::string bundleIdentifier = requireText(manifest, "BundleIdentifier");
    requireText(manifest, "Name");
    const std::string principalClass = requireText(manifest, "PrincipalClass");
    const std::string moduleName = requireText(manifest, "Module");
    if (moduleName.find('/') != std::string::npos || moduleName == "." || moduleName == "..")
        throw ManifestError{"field \"Module\" must be a file name inside the bundle, not " + inQuotes(moduleName)};
    const fs::path modulePath = bundle / moduleName;
    std::error_code error;
    const auto moduleStatus = fs::status(modulePath, error);
    if (moduleStatus.type() == fs::file_type::not_found)
        throw ManifestError{"module file " + inQuotes(moduleName) + " is not in the bundle"};
    if (error)
        throw ManifestError{"module file " + inQuotes(moduleName) + " cannot be read: " + error.message()};
    if (moduleStatus.type() != fs::file_type::regular)
        throw ManifestError{"module file " + inQuotes(moduleName) + " is not a regular file"};

    const json& list = requireField(manifest, "AudioComponents", {});
    if (!list.is_array() || list.empty())
        throw ManifestError{"field \"AudioComponents\" must be a non-empty array"};

    std::vector<AVAudioUnitComponent> components;
    for (std::size_t index = 0; index < list.size(); ++index) {
        const std::string where = "AudioComponents[" + std::to_string(index) + "]: ";
        const json& entry = list[index];
        if (!entry.is_object()) throw ManifestError{where + "must be a JSON object"};

        AVAudioUnitComponent component;
        component.audioComponentDescription.componentType = requireCode(entry, "type", where);
        component.audioComponentDescription.componentSubType = requireCode(entry, "subtype", where);
        component.audioComponentDescription.componentManufacturer = requireCode(entry, "manufacturer", where);
        component.audioComponentDescription.componentFlags = optionalUInt32(entry, "flags", where, false);
        component.name = requireText(entry, "name", where);
        component.version = optionalUInt32(entry, "version", where, true);
        if (const auto tags = entry.find("tags"); tags != entry.end()) {
            const bool allTexts = tags->is_array() && std::all_of(tags->begin(), tags->end(),
                                                                  [](const json& tag) { return tag.is_string(); });
            if (!allTexts) throw ManifestError{where + "field \"tags\" must be an array of texts"};
            for (const json& tag : *tags) component.allTagNames.push_back(tag.get<std::string>());
        }
        component.manufacturerName =
            manufacturerNameFrom(component.name, component.audioComponentDescription.componentManufacturer);
        component.typeName = audioComponentTypeName(component.audioComponentDescription.componentType);
        component.bundlePath = bundle;
        component.modulePath = modulePath;
        component.principalClassName = principalClass;
        component.bundleIdentifier = bundleIdentifier;
        components.push_back(std::move(component));
    }
    return components;
}

// The bundle folders directly inside `folder`, in name order. A folder that
// does not exist has none; one that cannot be read, or a bundle whose type
// cannot be known (a symbolic-link loop), goes to `problems`.
std::vector<fs::path> bundlesIn(const fs::path& folder, std::vector<AudioComponentScanProblem>& problems) {
    std::vector<fs::path> bundles;
    std::error_code error;
    fs::directory_iterator it(folder, error);
    for (const fs::directory_iterator end; !error && it != end; it.increment(error)) {
        if (it->path().extension() != ".auext") continue;
        std::error_code typeError;
        if (it->is_directory(typeError))
            bundles.push_back(it->path());
        else if (typeError)
            problems.push_back({it->path(), "cannot be read: " + typeError.message()});
    }
    if (error && error != std::errc::no_such_file_or_directory)
        problems.push_back({folder, "cannot be read: " + error.message()});
    std::sort(bundles.begin(), bundles.end());
    return bundles;
}

fs::path runningProgramFolder() {
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : program.parent_path();
}

}  // namespace

std::vector<fs::path> AudioComponentRegistry::defaultSearchPath() {
    std::vector<fs::path> path;
    if (const char* list = std::getenv(kAudioUnitPathEnvironmentVariable)) {
        std::string_view rest(list);
        while (true) {
            const auto colon = rest.find(':');
            const auto entry = rest.substr(0, colon);
            if (!entry.empty()) path.emplace_back(entry);
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
    }
    if (const fs::path program = runningProgramFolder(); !program.empty()) {
        // A program of the build tree (bin/), or of an application bundle folder beside lib/.
        path.push_back((program / ".." / "lib").lexically_normal());
        // Installed under any prefix: a program in bin/, or the host application
        // in its bundle folder beside the installed bundles' folder.
        path.push_back((program / ".." / DUNMARROW_AUDIO_UNIT_INSTALL_LIBDIR).lexically_normal());
        path.push_back((program / ".." / "audiounits").lexically_normal());
    }
    if (const char* home = std::getenv("HOME"); home && *home)
        path.push_back(fs::path(home) / ".local" / "lib" / "dunmarrow" / "audiounits");
    path.emplace_back(DUNMARROW_AUDIO_UNIT_INSTALL_DIR);
    return path;
}

AudioComponentRegistry& AudioComponentRegistry::shared() {
    static AudioComponentRegistry registry;
    return registry;
}

AudioComponentRegistry::AudioComponentRegistry() = default;

AudioComponentRegistry::AudioComponentRegistry(std::vector<fs::path> searchPath)
    : fixedSearchPath_(std::move(searchPath)) {}

void AudioComponentRegistry::scanIfNeeded() {
    if (!scanned_) scan();
}

void AudioComponentRegistry::scan() {
    scanned_ = true;
    scannedFolders_ = fixedSearchPath_ ? *fixedSearchPath_ : defaultSearchPath();
    components_.clear();
    problems_.clear();

    const auto report = [this](const fs::path& path, std::string reason) {
        problems_.push_back({path, std::move(reason)});
    };

    std::set<fs::path> foldersSeen;
    for (const fs::path& folder : scannedFolders_) {
        std::error_code error;
        const fs::path canonical = fs::weakly_canonical(folder, error);
        if (!foldersSeen.insert(error ? folder : canonical).second) continue;  // listed twice
        for (const fs::path& bundle : bundlesIn(folder, problems_)) {
            const fs::path manifest = bundle / "Info.json";
            std::vector<AVAudioUnitComponent> found;
            try {
                found = readBundle(bundle, manifest);
            } catch (const ManifestError& failure) {
                report(manifest, failure.reason);
                continue;
            }
            for (std::size_t index = 0; index < found.size(); ++index) {
                AVAudioUnitComponent& component = found[index];
                const auto& description = component.audioComponentDescription;
                const auto earlier = std::find_if(components_.begin(), components_.end(), [&](const auto& other) {
                    const auto& known = other->audioComponentDescription;
                    return known.componentType == description.componentType &&
                           known.componentSubType == description.componentSubType &&
                           known.componentManufacturer == description.componentManufacturer;
                });
                if (earlier != components_.end()) {
                    report(manifest, "AudioComponents[" + std::to_string(index) + "]: " +
                                         describeAudioComponent(description) + " is already provided by " +
                                         (*earlier)->bundlePath.string());
                    continue;
                }
                components_.push_back(std::make_shared<const AVAudioUnitComponent>(std::move(component)));
            }
        }
    }
}

void AudioComponentRegistry::rescan() {
    std::lock_guard lock(mutex_);
    scan();
}

std::vector<AVAudioUnitComponentPtr> AudioComponentRegistry::componentsMatchingDescription(
    const AudioComponentDescription& description) {
    std::lock_guard lock(mutex_);
    scanIfNeeded();
    std::vector<AVAudioUnitComponentPtr> matching;
    for (const auto& component : components_)
        if (audioComponentMatches(component->audioComponentDescription, description)) matching.push_back(component);
    return matching;
}

AVAudioUnitComponentPtr AudioComponentRegistry::findComponent(const AudioComponentDescription& description) {
    auto matching = componentsMatchingDescription(description);
    return matching.empty() ? nullptr : matching.front();
}

std::vector<AVAudioUnitComponentPtr> AudioComponentRegistry::allComponents() {
    std::lock_guard lock(mutex_);
    scanIfNeeded();
    return components_;
}

std::vector<AudioComponentScanProblem> AudioComponentRegistry::scanProblems() {
    std::lock_guard lock(mutex_);
    scanIfNeeded();
    return problems_;
}

std::vector<fs::path> AudioComponentRegistry::scannedFolders() {
    std::lock_guard lock(mutex_);
    scanIfNeeded();
    return scannedFolders_;
}

AVAudioUnitComponentManager& AVAudioUnitComponentManager::sharedAudioUnitComponentManager() {
    static AVAudioUnitComponentManager manager(AudioComponentRegistry::shared());
    return manager;
}

std::vector<AVAudioUnitComponentPtr> AVAudioUnitComponentManager::componentsMatchingDescription(
    const AudioComponentDescription& description) const {
    return registry_.componentsMatchingDescription(description);
}

}  // namespace audiounit
