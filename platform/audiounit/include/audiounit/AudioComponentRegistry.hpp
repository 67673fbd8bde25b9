#pragma once
// The component registry: which audio units are installed, found by reading
// the manifests of bundle folders on a search path.
//
// A bundle is a folder NAME.auext holding Info.json (the manifest: which
// components the bundle provides and which module file and principal class
// serve them), the module, and Resources/. The search path, in order:
//   1. the folders listed in DUNMARROW_AUDIO_UNIT_PATH (colon-separated,
//      empty entries ignored), so a bundle there overrides an installed one;
//   2. ../lib beside the running program (where a build tree puts bundles);
//   3. ../<libdir>/dunmarrow/audiounits and ../audiounits beside the running
//      program (an installed program in bin/, or the installed host
//      application in its bundle folder), so an installation works from any
//      prefix;
//   4. ~/.local/lib/dunmarrow/audiounits, for units installed by one user;
//   5. the installation's <libdir>/dunmarrow/audiounits, fixed at build time.
// Folders that do not exist are passed over; a folder listed twice is read
// once. Within a folder bundles are read in name order. When two bundles
// provide the same type, subtype and manufacturer, the one found first wins
// and the later one is reported and ignored. A manifest that cannot be read or
// fails its checks, a bundle whose type cannot be known and a search folder
// that exists but cannot be read are skipped and kept with the reason in
// scanProblems() (the registry prints nothing: programs decide whether to show
// them). Scanning never blocks on a FIFO or device (only regular files are
// read; a manifest over 1 MiB is refused unread) and never fails as a whole.
//
// The manifest, Info.json (unknown fields are ignored):
//   {"BundleIdentifier": "org.dunmarrow.DunmarrowAUExtension",  non-empty text
//    "Name": "DunmarrowAUExtension",                            non-empty text
//    "Module": "DunmarrowAUExtension.so",   a regular file in the bundle folder
//    "PrincipalClass": "AudioUnitViewController",               non-empty text
//    "AudioComponents": [                                   a non-empty array
//      {"type": "aufx", "subtype": "dmds", "manufacturer": "QVRN",
//                                      each exactly four printable ASCII characters
//       "name": "Qvrn: Dunmarrow",     non-empty; the part before ':' is the
//                                      manufacturer's name
//       "version": 65536,              0xMMMMmmbb, a whole number below 2^32
//       "tags": ["Effects"],           optional, texts
//       "flags": 0}]}                  optional, a whole number below 2^32
// No text may hold a NUL character. A component that fails a check skips its
// whole bundle; one already provided by an earlier bundle is skipped alone.
//
// Threads: every member may be called from any thread; the registry locks
// internally. Scanning happens on first use and on rescan().

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audiounit/AudioComponentDescription.hpp"
#include "audiounit/RenderContract.hpp"

namespace audiounit {

// Instantiation errors beyond the render contract's codes.
inline constexpr OSStatus kAudioUnitErr_ExtensionNotFound = -66744;  // nothing matches the description
inline constexpr OSStatus kAudioUnitErr_InvalidFilePath = -66742;    // the module file is missing or unloadable
inline constexpr OSStatus kAudioUnitErr_MissingKey = -66741;         // the module lacks its entry symbol

// The environment variable that puts folders in front of the search path.
inline constexpr const char* kAudioUnitPathEnvironmentVariable = "DUNMARROW_AUDIO_UNIT_PATH";

// One installed component, as its bundle's manifest describes it.
struct AVAudioUnitComponent {
    // "Manufacturer: Product" by convention.
    std::string name;
    // The part of `name` before ": ", or the manufacturer code when there is none.
    std::string manufacturerName;
    // "Effect", "Music Effect", "Music Device", ... or the type code itself.
    std::string typeName;
    // 0xMMMMmmbb: major in the upper 16 bits, then minor and bug-fix bytes.
    std::uint32_t version = 0;
    std::vector<std::string> allTagNames;
    AudioComponentDescription audioComponentDescription;
    std::filesystem::path bundlePath;  // the NAME.auext folder
    std::filesystem::path modulePath;  // the module file inside it
    std::string principalClassName;
    std::string bundleIdentifier;

    // "major.minor.bugfix".
    [[nodiscard]] std::string versionString() const;
};

using AVAudioUnitComponentPtr = std::shared_ptr<const AVAudioUnitComponent>;

// True when `component` answers `query`: a zero type, subtype or manufacturer
// in the query matches anything, and the component's flags must equal the
// query's flags in the bits of the query's flags mask.
[[nodiscard]] bool audioComponentMatches(const AudioComponentDescription& component,
                                         const AudioComponentDescription& query) noexcept;

// Display name of a component type code ("Effect" for "aufx", ...).
[[nodiscard]] std::string audioComponentTypeName(OSType type);

// A description's codes as "type aufx, subtype dmds, manufacturer QVRN"; a zero
// code reads "0".
[[nodiscard]] std::string describeAudioComponent(const AudioComponentDescription& description);

// A manifest the last scan skipped or a component it ignored, and why.
struct AudioComponentScanProblem {
    std::filesystem::path path;  // the Info.json, bundle folder or search folder concerned
    std::string reason;

    // "skipped <path>: <reason>", one line.
    [[nodiscard]] std::string description() const;

    friend bool operator==(const AudioComponentScanProblem&, const AudioComponentScanProblem&) = default;
};

class AudioComponentRegistry {
public:
    // The process's registry, on the default search path.
    static AudioComponentRegistry& shared();

    // The default search path as the environment gives it now.
    static std::vector<std::filesystem::path> defaultSearchPath();

    // A registry on the default search path, read afresh at each scan.
    AudioComponentRegistry();
    // A registry on a fixed search path.
    explicit AudioComponentRegistry(std::vector<std::filesystem::path> searchPath);

    AudioComponentRegistry(const AudioComponentRegistry&) = delete;
    AudioComponentRegistry& operator=(const AudioComponentRegistry&) = delete;

    // Every component that matches, in search-path order.
    [[nodiscard]] std::vector<AVAudioUnitComponentPtr> componentsMatchingDescription(
        const AudioComponentDescription& description);
    // The first component that matches, or null.
    [[nodiscard]] AVAudioUnitComponentPtr findComponent(const AudioComponentDescription& description);
    [[nodiscard]] std::vector<AVAudioUnitComponentPtr> allComponents();
    // What the last scan skipped or ignored.
    [[nodiscard]] std::vector<AudioComponentScanProblem> scanProblems();
    // The folders the last scan looked in.
    [[nodiscard]] std::vector<std::filesystem::path> scannedFolders();

    // Forgets what was found and scans again (now, not lazily).
    void rescan();

private:
    void scanIfNeeded();  // with mutex_ held
    void scan();          // with mutex_ held

    std::optional<std::vector<std::filesystem::path>> fixedSearchPath_;
    std::mutex mutex_;
    bool scanned_ = false;
    std::vector<std::filesystem::path> scannedFolders_;
    std::vector<AVAudioUnitComponentPtr> components_;
    std::vector<AudioComponentScanProblem> problems_;
};

// The platform's face of the registry.
class AVAudioUnitComponentManager {
public:
    static AVAudioUnitComponentManager& sharedAudioUnitComponentManager();

    // Thread: any.
    [[nodiscard]] std::vector<AVAudioUnitComponentPtr> componentsMatchingDescription(
        const AudioComponentDescription& description) const;

private:
    explicit AVAudioUnitComponentManager(AudioComponentRegistry& registry) : registry_(registry) {}
    AudioComponentRegistry& registry_;
};

}  // namespace audiounit
