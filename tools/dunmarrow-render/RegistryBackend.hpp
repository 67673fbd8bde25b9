#pragma once
// The effect as any host meets it: found in the component registry by its
// component description, instantiated through the platform, configured
// through its parameter tree and presets, and rendered through the unit's
// render block. The tool links nothing of the effect; it loads the effect's
// bundle at run time.

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "RenderBackend.hpp"
#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AVAudioUnit.hpp"
#include "audiounit/AudioComponentDescription.hpp"

namespace render {

// The effect the tool renders through.
inline constexpr audiounit::AudioComponentDescription kDunmarrowComponent{
    audiounit::fourCharCode("aufx"), audiounit::fourCharCode("dmds"), audiounit::fourCharCode("QVRN"), 0, 0};

// Prints what the shared registry's scan skipped, one line each
// ("dunmarrow-render: skipped PATH: REASON") on standard error; scans first if
// need be. Prints once per process, however often it is called.
void printSkippedBundles();

class RegistryBackend final : public RenderBackend {
public:
    // Finds the first installed component matching `description` in the shared
    // registry and instantiates it in this process. Points the platform's
    // main-thread executor at the main queue, and the calling thread becomes
    // the main thread: it runs the main run loop until the platform has
    // delivered the unit (the effect's factory runs its body there). Throws
    // ToolError when nothing matches (after printSkippedBundles()), loading
    // fails or takes longer than `timeout`.
    static std::unique_ptr<RegistryBackend> load(const audiounit::AudioComponentDescription& description,
                                                 std::chrono::seconds timeout = std::chrono::seconds(30));
    // What load() says when `timeout` has passed.
    static std::string loadingTimeOutMessage(std::chrono::seconds timeout);

    // Deallocates the unit's render resources if they were allocated.
    ~RegistryBackend() override;
    RegistryBackend(const RegistryBackend&) = delete;
    RegistryBackend& operator=(const RegistryBackend&) = delete;

    [[nodiscard]] audiounit::AUAudioUnit& audioUnit() const noexcept { return *unit_; }
    [[nodiscard]] const audiounit::AVAudioUnit& node() const noexcept { return *node_; }

    // Selects a preset by what the user typed: a whole number names a factory
    // preset by number; anything else a factory preset by name, else a user
    // preset by name (names compared ignoring case). A factory preset is
    // assigned as the unit's current preset; a user preset's saved state is
    // restored, as hosts do. Throws ToolError: with the command-line status
    // for a preset that does not exist, and saying which file and why for a
    // user preset that cannot be read or used (also when no preset has the
    // name but some user preset file cannot be read).
    void selectPreset(std::string_view nameOrNumber);

    // Sets a parameter, found by its identifier ("drive") or key path
    // ("global.drive"), through the parameter tree. The text is a decimal
    // number (for an on/off parameter also "on" or "off"); it is held to the
    // parameter's range. Throws ToolError (command-line status) for an
    // unknown identifier, a text that is not a number, an infinity or a
    // number beyond the range of any value.
    void setParameter(std::string_view identifier, std::string_view valueText);

    // The factory presets, then the user presets, one per line; control
    // characters in names are shown escaped (\n, \x1b, \u009b).
    [[nodiscard]] std::string presetListing() const;
    // One line per parameter in tree order: identifier, name, range, default
    // and current value as the effect writes them.
    [[nodiscard]] std::string parameterListing() const;

    // Sets both busses to the standard format at the set-up's rate and channel
    // count, the maximum frame count and bypass, then allocates render
    // resources. Throws ToolError when the unit refuses any of it.
    void prepare(const RenderSetup& setup) override;
    // Renders one cycle through the unit's render block, output bus 0.
    audiounit::OSStatus render(const audiounit::AudioTimeStamp& timestamp, audiounit::AUAudioFrameCount frameCount,
                               audiounit::AudioBufferList* output,
                               const audiounit::AURenderPullInputBlock& pullInput) noexcept override;

private:
    explicit RegistryBackend(std::shared_ptr<audiounit::AVAudioUnit> node);

    std::shared_ptr<audiounit::AVAudioUnit> node_;
    std::shared_ptr<audiounit::AUAudioUnit> unit_;
    // Each parameter's value as the unit came from its factory: its default.
    std::map<audiounit::AUParameterAddress, audiounit::AUValue> defaults_;
    const audiounit::AURenderBlock* renderBlock_ = nullptr;
};

}  // namespace render
