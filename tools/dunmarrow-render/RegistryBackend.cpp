#include "RegistryBackend.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "ToolError.hpp"
#include "audiounit/AVAudioFormat.hpp"
#include "audiounit/AudioComponentRegistry.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/RunLoop.hpp"

namespace render {
namespace {

using namespace audiounit;
using foundation::NSError;

// Problems with what the user asked for exit like command-line mistakes.
constexpr int kUsageError = 2;

std::string lowercase(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return lower;
}

// A whole number, and nothing else.
std::optional<long long> parseInteger(std::string_view text) {
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    return value;
}

// A finite decimal number, and nothing else; independent of the locale.
std::optional<float> parseNumber(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    float value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::string plainNumber(AUValue value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
}

// Rows of cells as left-aligned columns two spaces apart.
std::string columns(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        text += line + "\n";
    }
    return text;
}

std::string errorText(const NSError& error) {
    return error.description.empty() ? error.localizedDescription() : error.description;
}

}  // namespace

void printSkippedBundles() {
    static bool printed = false;
    if (std::exchange(printed, true)) return;
    for (const auto& problem : AudioComponentRegistry::shared().scanProblems())
        std::fprintf(stderr, "dunmarrow-render: %s\n", problem.description().c_str());
}

std::unique_ptr<RegistryBackend> RegistryBackend::load(const AudioComponentDescription& description,
                                                       std::chrono::seconds timeout) {
    // Instantiation hands its main-thread steps to the main queue, which this
    // thread runs below while it waits.
    AVAudioUnit::setMainThreadExecutor(
        [](std::function<void()> job) { foundation::DispatchQueue::main().async(std::move(job)); });

    struct Outcome {
        bool done = false;
        std::shared_ptr<AVAudioUnit> node;
        std::optional<NSError> error;
    };
    // Shared with the completion, which might still come after a time-out.
    auto outcome = std::make_shared<Outcome>();
    AVAudioUnit::instantiate(description, kAudioComponentInstantiation_LoadInProcess,
                             [outcome](std::shared_ptr<AVAudioUnit> node, std::optional<NSError> error) {
                                 outcome->node = std::move(node);
                                 outcome->error = std::move(error);
                                 outcome->done = true;
                             });
    if (!foundation::RunLoop::main().runUntil([&outcome] { return outcome->done; }, timeout))
        throw ToolError("the effect did not finish loading within " + std::to_string(timeout.count()) + " seconds");

    if (outcome->error) {
        if (outcome->error->code == kAudioUnitErr_ExtensionNotFound) {
            // What the scan passed over may be the effect itself.
            printSkippedBundles();
            throw ToolError("cannot find the effect: " + errorText(*outcome->error) + " (build the target " +
                            "DunmarrowAUExtension, or name the folder holding DunmarrowAUExtension.auext in " +
                            kAudioUnitPathEnvironmentVariable + ")");
        }
        throw ToolError("cannot load the effect: " + errorText(*outcome->error));
    }
    if (!outcome->node || !outcome->node->auAudioUnit()) throw ToolError("cannot load the effect: no audio unit");
    return std::unique_ptr<RegistryBackend>(new RegistryBackend(std::move(outcome->node)));
}

RegistryBackend::RegistryBackend(std::shared_ptr<AVAudioUnit> node)
    : node_(std::move(node)), unit_(node_->auAudioUnit()) {
    if (const auto tree = unit_->parameterTree()) {
        for (const auto& parameter : tree->allParameters()) defaults_.emplace(parameter->address(), parameter->value());
    }
}

RegistryBackend::~RegistryBackend() {
    if (unit_->renderResourcesAllocated()) unit_->deallocateRenderResources();
}

void RegistryBackend::selectPreset(std::string_view nameOrNumber) {
    const auto factoryPresets = unit_->factoryPresets();
    if (const auto number = parseInteger(nameOrNumber)) {
        for (const auto& preset : factoryPresets) {
            if (preset->number() == *number) {
                unit_->setCurrentPreset(preset);
                return;
            }
        }
        throw ToolError("no factory preset has the number " + std::string(nameOrNumber) + " (see --list-presets)",
                        kUsageError);
    }

    const std::string wanted = lowercase(nameOrNumber);
    for (const auto& preset : factoryPresets) {
        if (lowercase(preset->name()) == wanted) {
            unit_->setCurrentPreset(preset);
            return;
        }
    }
    for (const auto& preset : unit_->userPresets()) {
        if (lowercase(preset->name()) != wanted) continue;
        NSError error;
        const auto state = unit_->presetStateFor(preset, &error);
        if (!state || !unit_->setFullState(*state, &error))
            throw ToolError("cannot load the user preset '" + preset->name() + "': " + errorText(error));
        return;
    }
    throw ToolError("unknown preset '" + std::string(nameOrNumber) + "' (see --list-presets)", kUsageError);
}

void RegistryBackend::setParameter(std::string_view identifier, std::string_view valueText) {
    const auto tree = unit_->parameterTree();
    AUParameterPtr parameter;
    if (tree) {
        parameter = tree->parameterForKeyPath(identifier);
        for (const auto& candidate : tree->allParameters()) {
            if (parameter) break;
            if (candidate->identifier() == identifier) parameter = candidate;
        }
    }
    if (!parameter)
        throw ToolError("unknown parameter '" + std::string(identifier) + "' (see --list-parameters)", kUsageError);

    std::optional<float> value = parseNumber(valueText);
    if (!value && parameter->unit() == kAudioUnitParameterUnit_Boolean) {
        const std::string word = lowercase(valueText);
        if (word == "on") value = 1.0f;
        if (word == "off") value = 0.0f;
    }
    if (!value)
        throw ToolError("cannot set " + std::string(identifier) + " to '" + std::string(valueText) +
                            "': not a number",
                        kUsageError);
    // The tree stores what it is given, as hosts expect; on the command line a
    // value outside the declared range is a slip, so it is held to the range.
    // A value that is not a number is refused above; infinities clamp.
    parameter->setValue(std::clamp(*value, parameter->minValue(), parameter->maxValue()));
}

std::string RegistryBackend::presetListing() const {
    std::string text = "Factory presets:\n";
    std::vector<std::vector<std::string>> rows;
    for (const auto& preset : unit_->factoryPresets()) rows.push_back({"", std::to_string(preset->number()), preset->name()});
    text += columns(rows);
    const auto userPresets = unit_->userPresets();
    if (userPresets.empty()) return text + "User presets: none\n";
    text += "User presets:\n";
    rows.clear();
    for (const auto& preset : userPresets) rows.push_back({"", std::to_string(preset->number()), preset->name()});
    return text + columns(rows);
}

std::string RegistryBackend::parameterListing() const {
    std::vector<std::vector<std::string>> rows{{"IDENTIFIER", "NAME", "RANGE", "DEFAULT", "VALUE"}};
    if (const auto tree = unit_->parameterTree()) {
        for (const auto& parameter : tree->allParameters()) {
            const auto fallback = defaults_.find(parameter->address());
            const AUValue defaultValue = fallback != defaults_.end() ? fallback->second : parameter->minValue();
            rows.push_back({parameter->identifier(), parameter->displayName(),
                            plainNumber(parameter->minValue()) + " to " + plainNumber(parameter->maxValue()),
                            parameter->stringFromValue(defaultValue), parameter->stringFromValue(parameter->value())});
        }
    }
    return columns(rows);
}

void RegistryBackend::prepare(const RenderSetup& setup) {
    const std::string what =
        std::to_string(setup.channelCount) + (setup.channelCount == 1 ? " channel" : " channels") + " at " +
        plainNumber(static_cast<AUValue>(setup.sampleRate)) + " Hz";
    const auto format = AVAudioFormat::makeStandard(setup.sampleRate, setup.channelCount);
    if (!format) throw ToolError("the effect cannot render " + what);

    NSError error;
    for (const auto& busses : {unit_->inputBusses(), unit_->outputBusses()}) {
        const auto bus = busses && busses->count() > 0 ? busses->objectAtIndexedSubscript(0) : nullptr;
        if (!bus) throw ToolError("the effect has no bus to render " + what);
        if (!bus->setFormat(format, &error)) throw ToolError("the effect cannot render " + what + ": " + errorText(error));
    }
    unit_->setMaximumFramesToRender(setup.maximumFrames);
    unit_->setShouldBypassEffect(setup.bypass);
    if (!unit_->allocateRenderResources(&error))
        throw ToolError("the effect cannot render " + what + ": " + errorText(error));
    renderBlock_ = &unit_->renderBlock();
}

audiounit::OSStatus RegistryBackend::render(const AudioTimeStamp& timestamp, AUAudioFrameCount frameCount,
                                            AudioBufferList* output,
                                            const AURenderPullInputBlock& pullInput) noexcept {
    if (renderBlock_ == nullptr) return kAudioUnitErr_Uninitialized;
    AudioUnitRenderActionFlags flags = 0;
    return (*renderBlock_)(&flags, &timestamp, frameCount, 0, output, &pullInput);
}

}  // namespace render
