#include "RegistryBackend.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "Termination.hpp"
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

// A decimal number, and nothing else; independent of the locale. Parsed as a
// double, so that a number beyond a float's range is told apart from text.
struct ParsedNumber {
    double value = 0;
    bool beyondRange = false;  // too large (or too small) for a double
};
std::optional<ParsedNumber> parseNumber(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    ParsedNumber number;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number.value);
    if (text.empty() || stop != end || (error != std::errc() && error != std::errc::result_out_of_range))
        return std::nullopt;
    number.beyondRange = error == std::errc::result_out_of_range;
    return number;
}

// A name from a file, as a terminal can show it: control characters (C0, DEL
// and C1) escaped, everything else as it is.
std::string printable(std::string_view name) {
    std::string text;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        char escape[8];
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\t') {
            text += "\\t";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            text += escape;
        } else if (c == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(name[i + 1]) <= 0x9F) {
            // U+0080 to U+009F in UTF-8; some terminals take them as commands.
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(name[++i]));
            text += escape;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
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
        throw ToolError(loadingTimeOutMessage(timeout));

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

std::string RegistryBackend::loadingTimeOutMessage(std::chrono::seconds timeout) {
    return "the effect did not finish loading within " + secondsText(timeout);
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
            throw ToolError("cannot load the user preset '" + printable(preset->name()) + "': " + errorText(error));
        return;
    }

    // No usable preset has the name; a user preset file that is not usable may.
    const auto unusable = unit_->unusableUserPresets();
    std::string unreadable;
    std::size_t unreadableCount = 0;
    for (const auto& file : unusable) {
        if (file.name && lowercase(*file.name) == wanted)
            throw ToolError("cannot load the user preset '" + printable(*file.name) + "' from " + file.path.string() +
                            ": " + file.reason);
        if (file.name) continue;
        unreadable += (unreadableCount++ == 0 ? "" : "; ") + file.path.string() + ": " + file.reason;
    }
    if (unreadableCount > 0)
        throw ToolError("unknown preset '" + std::string(nameOrNumber) + "', and " +
                        (unreadableCount == 1 ? std::string("a user preset file")
                                              : std::to_string(unreadableCount) + " user preset files") +
                        " could not be read (" + unreadable + ")");
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

    std::optional<ParsedNumber> number = parseNumber(valueText);
    if (!number && parameter->unit() == kAudioUnitParameterUnit_Boolean) {
        const std::string word = lowercase(valueText);
        if (word == "on") number = ParsedNumber{1.0};
        if (word == "off") number = ParsedNumber{0.0};
    }
    const auto refuse = [&](const char* why) {
        return ToolError("cannot set " + std::string(identifier) + " to '" + std::string(valueText) + "': " + why,
                         kUsageError);
    };
    if (!number || std::isnan(number->value)) throw refuse("not a number");
    if (std::isinf(number->value)) throw refuse("infinite");
    const double largest = std::numeric_limits<AUValue>::max();
    if (number->beyondRange || std::fabs(number->value) > largest) throw refuse("out of range");
    // The tree stores what it is given, as hosts expect; on the command line a
    // value outside the declared range is a slip, so it is held to the range.
    parameter->setValue(std::clamp(static_cast<AUValue>(number->value), parameter->minValue(), parameter->maxValue()));
}

std::string RegistryBackend::presetListing() const {
    std::string text = "Factory presets:\n";
    std::vector<std::vector<std::string>> rows;
    for (const auto& preset : unit_->factoryPresets())
        rows.push_back({"", std::to_string(preset->number()), printable(preset->name())});
    text += columns(rows);
    const auto userPresets = unit_->userPresets();
    if (userPresets.empty()) return text + "User presets: none\n";
    text += "User presets:\n";
    rows.clear();
    for (const auto& preset : userPresets) rows.push_back({"", std::to_string(preset->number()), printable(preset->name())});
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
