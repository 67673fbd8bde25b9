#include "Validator.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>

#include "RenderRig.hpp"
#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AVAudioUnit.hpp"
#include "audiounit/AudioComponentValidation.hpp"
#include "foundation/RunLoop.hpp"

namespace validator {

using namespace audiounit;
using rtcheck::AllocationCounts;
using rtcheck::countsMalloc;

namespace {

constexpr double kSampleRates[] = {22050, 44100, 48000, 88200, 96000, 192000};
constexpr AUAudioFrameCount kCycleSizes[] = {1, 17, 64, 256, 1024};
// Frames rendered per combination of rate, cycle size and placement: enough to
// pass several cycles of every size, short enough for a sanitizer build.
constexpr AUAudioFrameCount kFramesPerRun = 2048;
// The largest cycle the validator asks for, as a host would before allocating.
constexpr AUAudioFrameCount kHostMaximumFrames = 4096;
constexpr auto kOpenTimeLimit = std::chrono::seconds(20);
constexpr AUAudioFrameCount kAutomationInterval = 32;
// Events the render block's queue takes per cycle, with room to spare.
constexpr std::size_t kMaximumEventsPerCycle = 400;

std::string number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string errorText(const foundation::NSError& error) {
    if (error.description.empty()) return error.localizedDescription();
    return error.description + " (" + std::to_string(error.code) + ")";
}

// MARK: Opening

struct OpenedUnit {
    std::shared_ptr<AVAudioUnit> unit;
    std::string error;  // empty when opened
    double milliseconds = 0;
};

// Instantiates the component and pumps the main run loop until the completion
// has run (the factory may run parts of its work on the main queue).
OpenedUnit openInstance(const AVAudioUnitComponentPtr& component) {
    struct Outcome {
        bool done = false;
        std::shared_ptr<AVAudioUnit> unit;
        std::optional<foundation::NSError> error;
    };
    auto outcome = std::make_shared<Outcome>();
    const auto start = std::chrono::steady_clock::now();
    AVAudioUnit::instantiate(component, kAudioComponentInstantiation_LoadInProcess,
                             [outcome](std::shared_ptr<AVAudioUnit> unit, std::optional<foundation::NSError> error) {
                                 outcome->unit = std::move(unit);
                                 outcome->error = std::move(error);
                                 outcome->done = true;
                             });
    const bool finished = foundation::RunLoop::main().runUntil([&] { return outcome->done; }, kOpenTimeLimit);
    OpenedUnit opened;
    opened.milliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!finished) {
        opened.error = "did not finish within " + std::to_string(kOpenTimeLimit.count()) + " s";
    } else if (outcome->error) {
        opened.error = errorText(*outcome->error);
    } else if (!outcome->unit || !outcome->unit->auAudioUnit()) {
        opened.error = "no audio unit was created";
    } else {
        opened.unit = outcome->unit;
    }
    return opened;
}

// MARK: Rendering

std::string describe(const RenderFault& fault) {
    const std::string where = "cycle of " + std::to_string(fault.cycleSize) +
                              (fault.cycleSize == 1 ? " frame " : " frames ") +
                              (fault.inPlace ? "in place" : "out of place");
    const std::string at = " at frame " + std::to_string(fault.frame) + " of channel " + std::to_string(fault.channel);
    switch (fault.kind) {
        case RenderFault::Kind::None: return "no fault";
        case RenderFault::Kind::Status: return where + ": render returned " + std::to_string(fault.status);
        case RenderFault::Kind::NaN: return where + ": NaN" + at;
        case RenderFault::Kind::Infinity: return where + ": infinity" + at;
        case RenderFault::Kind::Subnormal: return where + ": subnormal value " + number(fault.value) + at;
        case RenderFault::Kind::Changed:
            return where + ": output " + number(fault.value) + " instead of input " + number(fault.expected) + at;
        case RenderFault::Kind::NoBuffer: return where + ": the output list has no sample memory";
    }
    return "unknown fault";
}

AUAudioChannelCount channelsOf(const AUAudioUnitBusArrayPtr& busses) {
    if (!busses || busses->count() == 0) return 0;
    const auto bus = (*busses)[0];
    const auto format = bus ? bus->format() : nullptr;
    return format ? format->channelCount() : 0;
}

// Sets every bus to the standard format at `sampleRate`, keeping its channel
// count, and allocates render resources.
bool prepareAt(AUAudioUnit& unit, double sampleRate, std::string& error) {
    if (unit.renderResourcesAllocated()) unit.deallocateRenderResources();
    for (const auto& busses : {unit.inputBusses(), unit.outputBusses()}) {
        if (!busses) continue;
        for (const auto& bus : busses->busses()) {
            const auto current = bus->format();
            const auto format = AVAudioFormat::makeStandard(sampleRate, current ? current->channelCount() : 2);
            foundation::NSError problem;
            if (!bus->setFormat(format, &problem)) {
                error = "the bus refuses the format at " + number(sampleRate) + " Hz: " +
                        errorText(problem);
                return false;
            }
        }
    }
    foundation::NSError problem;
    if (!unit.allocateRenderResources(&problem)) {
        error = "allocating render resources failed: " + errorText(problem);
        return false;
    }
    return true;
}

bool isWritable(const AUParameter& parameter) {
    return (parameter.flags() & kAudioUnitParameterFlag_MeterReadOnly) == 0;
}

bool isStepped(const AUParameter& parameter) {
    return parameter.unit() == kAudioUnitParameterUnit_Indexed ||
           parameter.unit() == kAudioUnitParameterUnit_Boolean || parameter.valueStrings().has_value();
}

AUValue randomValue(const AUParameter& parameter, std::mt19937& generator) {
    std::uniform_real_distribution<float> position(0.0f, 1.0f);
    AUValue value = parameter.minValue() + position(generator) * (parameter.maxValue() - parameter.minValue());
    if (isStepped(parameter)) value = std::round(value);
    return std::clamp(value, parameter.minValue(), parameter.maxValue());
}

bool withinRange(const AUParameter& parameter, AUValue value) {
    return std::isfinite(value) && value >= parameter.minValue() && value <= parameter.maxValue();
}

std::string formatText(const AVAudioFormatPtr& format) {
    if (!format) return "no format";
    return std::to_string(format->channelCount()) + " ch " + number(format->sampleRate()) + " Hz" +
           (format->isStandard() ? "" : " (not deinterleaved 32-bit float)");
}

bool channelPairSupported(NSInteger wantedIn, NSInteger wantedOut, NSInteger in, NSInteger out) {
    if (wantedIn == -1 && wantedOut == -1) return in == out;
    const bool inMatches = wantedIn < 0 || wantedIn == in;
    const bool outMatches = wantedOut < 0 || wantedOut == out;
    return inMatches && outMatches;
}

}  // namespace

std::string couldNotOpenSummary() { return "Validation failed: the component could not be opened"; }

Validator::Validator(AVAudioUnitComponentPtr component, std::FILE* out)
    : component_(std::move(component)), out_(out) {}

void Validator::line(const std::string& text) {
    std::fputs(text.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void Validator::pass(const std::string& check, const std::string& detail) {
    ++checks_;
    line("PASS " + check + (detail.empty() ? "" : ": " + detail));
}

void Validator::fail(const std::string& check, const std::string& detail) {
    ++checks_;
    failed_.push_back(check);
    line("FAIL " + check + (detail.empty() ? "" : ": " + detail));
}

void Validator::summary() {
    if (failed_.empty()) {
        line(std::string(kAudioComponentValidationPassedSummary) + ": " + std::to_string(checks_) + " checks");
        return;
    }
    std::string names;
    for (const auto& name : failed_) names += (names.empty() ? "" : ", ") + name;
    line("Validation failed: " + std::to_string(failed_.size()) + " of " + std::to_string(checks_) +
         " checks failed: " + names);
}

// What the render checks share: the unit's limits as it reports them, and
// what they rendered and allocated between them.
struct RenderTally {
    AUAudioFrameCount maximumFrames = 0;
    AUAudioChannelCount inputChannels = 0;
    AUAudioChannelCount outputChannels = 0;
    bool canRender = false;
    AllocationCounts allocations;
    std::string firstAllocatingCheck;
    std::uint64_t renderedFrames = 0;

    void noteAllocations(const AllocationCounts& counts, const std::string& check) {
        allocations.allocations += counts.allocations;
        allocations.frees += counts.frees;
        if (counts.total() > 0 && firstAllocatingCheck.empty()) firstAllocatingCheck = check;
    }
};

int Validator::run() {
    if (!checkOpening()) return kAudioComponentValidatorExitCouldNotOpen;
    checkRegistration();
    checkBusses();
    checkFormats();
    checkParameters();
    checkFactoryPresets();
    checkRendering();
    checkState();
    summary();
    return failed_.empty() ? kAudioComponentValidatorExitPassed : kAudioComponentValidatorExitFailed;
}

void Validator::guarded(const std::string& check, const std::function<void()>& body) {
    try {
        body();
    } catch (const std::exception& error) {
        fail(check, std::string("threw: ") + error.what());
    } catch (...) {
        fail(check, "threw an exception");
    }
}

// MARK: Opening, cold (the module is loaded) and warm (it is loaded already).

bool Validator::checkOpening() {
    const OpenedUnit cold = openInstance(component_);
    if (!cold.unit) {
        fail("open (cold)", cold.error);
        line(couldNotOpenSummary());
        return false;
    }
    cold_ = cold.unit;
    pass("open (cold)", number(std::round(cold.milliseconds * 10) / 10) + " ms");
    const OpenedUnit warm = openInstance(component_);
    warm_ = warm.unit;
    if (warm.unit)
        pass("open (warm)", number(std::round(warm.milliseconds * 10) / 10) + " ms");
    else
        fail("open (warm)", warm.error);
    return true;
}

// MARK: Registration

void Validator::checkRegistration() {
    const auto& wanted = component_->audioComponentDescription;
    const auto& got = unit().componentDescription();
    const auto& registered = cold_->component()->audioComponentDescription;
    std::string problem;
    if (registered != wanted)
        problem = "instantiated " + describeAudioComponent(registered) + " for " + describeAudioComponent(wanted);
    else if (got.componentType != wanted.componentType || got.componentSubType != wanted.componentSubType ||
             got.componentManufacturer != wanted.componentManufacturer)
        problem = "the unit reports " + describeAudioComponent(got) + ", registered as " +
                  describeAudioComponent(wanted);
    else if (component_->name.empty())
        problem = "the component has no name";
    if (problem.empty())
        pass("registration", quoted(component_->name) + " " + fourCharCodeString(wanted.componentType) + " " +
                                 fourCharCodeString(wanted.componentSubType) + " " +
                                 fourCharCodeString(wanted.componentManufacturer) + ", version " +
                                 component_->versionString() + ", " + component_->bundlePath.string());
    else
        fail("registration", problem);
}

// MARK: Busses, default formats and channel capabilities

void Validator::checkBusses() {
    const auto& wanted = component_->audioComponentDescription;
    const auto inputs = unit().inputBusses();
    const auto outputs = unit().outputBusses();
    const NSInteger inputCount = inputs ? inputs->count() : 0;
    const NSInteger outputCount = outputs ? outputs->count() : 0;
    const bool takesAudio =
        wanted.componentType == kAudioUnitType_Effect || wanted.componentType == kAudioUnitType_MusicEffect;
    const std::string counts = std::to_string(inputCount) + " input, " + std::to_string(outputCount) + " output";
    if (outputCount < 1)
        fail("busses", counts + "; a unit needs an output bus");
    else if (takesAudio && inputCount < 1)
        fail("busses", counts + "; an effect needs an input bus");
    else
        pass("busses", counts);
}

void Validator::checkFormats() {
    const auto inputs = unit().inputBusses();
    const auto outputs = unit().outputBusses();
    {
        std::string detail;
        std::string problem;
        std::optional<double> rate;
        for (const auto& [busses, kind] : {std::pair{inputs, "input"}, std::pair{outputs, "output"}}) {
            if (!busses) continue;
            for (const auto& bus : busses->busses()) {
                const auto format = bus->format();
                const std::string name = std::string(kind) + " " + std::to_string(bus->index());
                detail += (detail.empty() ? "" : ", ") + name + " " + formatText(format);
                if (!format) {
                    if (problem.empty()) problem = name + " has no format";
                    continue;
                }
                if (!format->isStandard() && problem.empty())
                    problem = name + " is not deinterleaved 32-bit float";
                if (format->channelCount() > bus->maximumChannelCount() && problem.empty())
                    problem = name + " has more channels than its maximum";
                if (rate && *rate != format->sampleRate() && problem.empty())
                    problem = name + " runs at another sample rate than the other busses";
                rate = format->sampleRate();
            }
        }
        if (problem.empty())
            pass("default formats", detail);
        else
            fail("default formats", problem + " (" + detail + ")");
    }
    {
        const auto capabilities = unit().channelCapabilities();
        std::string listed;
        for (const auto value : capabilities) listed += (listed.empty() ? "" : ", ") + std::to_string(value);
        listed = "[" + listed + "]";
        const auto in = static_cast<NSInteger>(channelsOf(inputs));
        const auto out = static_cast<NSInteger>(channelsOf(outputs));
        if (capabilities.size() % 2 != 0) {
            fail("channel capabilities", listed + " is not a list of input and output pairs");
        } else if (std::any_of(capabilities.begin(), capabilities.end(), [](NSInteger v) { return v < -2; })) {
            fail("channel capabilities", listed + " holds a count below -2");
        } else {
            bool supported = capabilities.empty();
            for (std::size_t i = 0; i + 1 < capabilities.size(); i += 2)
                supported = supported || channelPairSupported(capabilities[i], capabilities[i + 1], in, out);
            if (supported)
                pass("channel capabilities", capabilities.empty() ? "any" : listed);
            else
                fail("channel capabilities", listed + " does not include the default " + std::to_string(in) +
                                                 " in, " + std::to_string(out) + " out");
        }
    }
}

// MARK: Parameters

void Validator::checkParameters() {
    const auto tree = unit().parameterTree();
    parameters_ = tree ? tree->allParameters() : std::vector<AUParameterPtr>{};
    std::map<AUParameterAddress, std::string> addresses;
    std::map<std::string, AUParameterAddress> identifiers;
    std::string duplicateAddress;
    std::string duplicateIdentifier;
    for (const auto& parameter : parameters_) {
        const auto key = parameter->keyPath();
        if (auto [found, added] = addresses.emplace(parameter->address(), key); !added && duplicateAddress.empty())
            duplicateAddress = "address " + std::to_string(parameter->address()) + " belongs to " +
                               found->second + " and " + key;
        if (auto [found, added] = identifiers.emplace(key, parameter->address());
            !added && duplicateIdentifier.empty())
            duplicateIdentifier = key + " names two parameters";
    }
    if (duplicateAddress.empty())
        pass("parameter addresses unique", std::to_string(parameters_.size()) + " parameters");
    else
        fail("parameter addresses unique", duplicateAddress);
    if (duplicateIdentifier.empty())
        pass("parameter identifiers unique", std::to_string(parameters_.size()) + " parameters");
    else
        fail("parameter identifiers unique", duplicateIdentifier);

    for (const auto& parameter : parameters_) {
        const std::string check =
            "parameter " + parameter->keyPath() + " (address " + std::to_string(parameter->address()) + ")";
        const AUValue low = parameter->minValue();
        const AUValue high = parameter->maxValue();
        const AUValue initial = parameter->value();
        std::string problem;
        if (!std::isfinite(low) || !std::isfinite(high) || !(low < high)) {
            problem = "range " + number(low) + " to " + number(high) + " is empty or not finite";
        } else if (!withinRange(*parameter, initial)) {
            problem = "default " + number(initial) + " outside range " + number(low) + " to " + number(high);
        } else if (parameter->valueStrings() &&
                   parameter->valueStrings()->size() != static_cast<std::size_t>(high - low) + 1) {
            problem = std::to_string(parameter->valueStrings()->size()) + " value strings for range " +
                      number(low) + " to " + number(high);
        }
        std::string texts;
        if (problem.empty()) {
            for (const double fraction : {0.0, 0.25, 0.5, 0.75, 1.0}) {
                AUValue sampled = low + static_cast<AUValue>(fraction) * (high - low);
                if (isStepped(*parameter)) sampled = std::round(sampled);
                const std::string text = parameter->stringFromValue(sampled);
                if (text.empty()) {
                    problem = "no value text for " + number(sampled);
                    break;
                }
                const AUValue back = parameter->valueFromString(text);
                if (!withinRange(*parameter, back)) {
                    problem = "the text " + quoted(text) + " for " + number(sampled) + " reads back as " +
                              number(back) + ", outside the range";
                    break;
                }
                if (fraction == 0.0 || fraction == 1.0) texts += (texts.empty() ? "" : ", ") + quoted(text);
            }
        }
        if (problem.empty())
            pass(check, "range " + number(low) + " to " + number(high) + ", default " + number(initial) +
                            ", texts " + texts);
        else
            fail(check, problem);
    }
}

// MARK: Factory presets

void Validator::checkFactoryPresets() {
    guarded("factory presets", [&] {
        const auto presets = unit().factoryPresets();
        if (presets.empty()) pass("factory presets", "none");
        for (std::size_t index = 0; index < presets.size(); ++index) {
            const auto& preset = presets[index];
            if (!preset) {
                fail("factory preset " + std::to_string(index), "the list holds no preset here");
                continue;
            }
            const std::string check = "factory preset " + std::to_string(preset->number()) + " " + quoted(preset->name());
            unit().setCurrentPreset(preset);
            const auto current = unit().currentPreset();
            std::string problem;
            if (preset->number() != static_cast<NSInteger>(index))
                problem = "numbered " + std::to_string(preset->number()) + " at position " + std::to_string(index);
            else if (!current || current->number() != preset->number())
                problem = "selecting it leaves preset " + (current ? std::to_string(current->number()) : "none") +
                          " current";
            for (const auto& parameter : parameters_) {
                if (!problem.empty()) break;
                const AUValue value = parameter->value();
                if (!withinRange(*parameter, value))
                    problem = parameter->keyPath() + " is " + number(value) + ", outside " +
                              number(parameter->minValue()) + " to " + number(parameter->maxValue());
            }
            if (problem.empty())
                pass(check, "selected, " + std::to_string(parameters_.size()) + " values within range");
            else
                fail(check, problem);
        }
    });
}

// MARK: Rendering

void Validator::checkRendering() {
    RenderTally tally;
    if (unit().renderResourcesAllocated()) unit().deallocateRenderResources();
    unit().setMaximumFramesToRender(kHostMaximumFrames);
    // A unit may keep a smaller limit; the checks follow what it reports.
    tally.maximumFrames = unit().maximumFramesToRender();
    tally.inputChannels = channelsOf(unit().inputBusses());
    tally.outputChannels = channelsOf(unit().outputBusses());
    tally.canRender = tally.maximumFrames > 0 && tally.outputChannels > 0;

    checkRenderAtSampleRates(tally);
    checkTooManyFrames(tally);
    checkBypass(tally);
    checkParameterAutomation(tally);
    if (unit().renderResourcesAllocated()) unit().deallocateRenderResources();

    if (tally.allocations.total() == 0)
        pass("no allocation on the render thread",
             std::to_string(tally.renderedFrames) + " frames rendered" +
                 (countsMalloc() ? "" : " (operator new and delete counted; malloc is not in this build)"));
    else
        fail("no allocation on the render thread",
             std::to_string(tally.allocations.allocations) + " allocations and " +
                 std::to_string(tally.allocations.frees) + " frees, the first during " + tally.firstAllocatingCheck);
}

// Noise at every sample rate, in cycles of every size, in place and out of place.
void Validator::checkRenderAtSampleRates(RenderTally& tally) {
    for (const double rate : kSampleRates) {
        const std::string check = "render at " + number(rate) + " Hz";
        guarded(check, [&] {
            if (!tally.canRender) {
                fail(check, tally.maximumFrames == 0 ? "the maximum frame count is 0" : "no output channels");
                return;
            }
            std::string error;
            if (!prepareAt(unit(), rate, error)) {
                fail(check, error);
                return;
            }
            std::vector<AUAudioFrameCount> sizes;
            for (const auto size : kCycleSizes)
                if (size <= tally.maximumFrames) sizes.push_back(size);
            sizes.push_back(tally.maximumFrames);
            RenderRig rig(unit(), tally.inputChannels, tally.outputChannels, tally.maximumFrames,
                          kFramesPerRun + tally.maximumFrames, static_cast<std::uint32_t>(rate));
            RenderFault fault;
            bool ok = true;
            const auto counts = onRenderThread([&] {
                for (const auto size : sizes) {
                    for (const bool inPlace : {true, false}) {
                        if (!ok) return;
                        ok = rig.render(size, inPlace, std::max<std::uint64_t>(kFramesPerRun, size), false, {},
                                        fault);
                    }
                }
            });
            tally.noteAllocations(counts, check);
            tally.renderedFrames += rig.renderedFrames();
            std::string listed;
            for (const auto size : sizes) listed += (listed.empty() ? "" : ", ") + std::to_string(size);
            if (ok)
                pass(check, "cycles of " + listed + " frames, in place and out of place, output finite");
            else
                fail(check, describe(fault));
        });
    }
}

// A cycle above the maximum is refused.
void Validator::checkTooManyFrames(RenderTally& tally) {
    guarded("too many frames", [&] {
        std::string error;
        if (!tally.canRender || !prepareAt(unit(), 44100, error)) {
            fail("too many frames", error.empty() ? "the unit cannot render" : error);
            return;
        }
        RenderRig rig(unit(), tally.inputChannels, tally.outputChannels, tally.maximumFrames + 1,
                      tally.maximumFrames + 1, 7);
        OSStatus status = noErr;
        const auto counts = onRenderThread([&] { status = rig.renderCycle(tally.maximumFrames + 1); });
        tally.noteAllocations(counts, "too many frames");
        const std::string detail = "a cycle of " + std::to_string(tally.maximumFrames + 1) + " frames returned " +
                                   std::to_string(status);
        if (status == kAudioUnitErr_TooManyFramesToProcess)
            pass("too many frames", detail);
        else
            fail("too many frames", detail + ", expected " + std::to_string(kAudioUnitErr_TooManyFramesToProcess));
    });
}

// Bypass passes the input through unchanged.
void Validator::checkBypass(RenderTally& tally) {
    guarded("bypass", [&] {
        std::string error;
        if (!tally.canRender || !prepareAt(unit(), 44100, error)) {
            fail("bypass", error.empty() ? "the unit cannot render" : error);
            return;
        }
        unit().setShouldBypassEffect(true);
        if (!unit().shouldBypassEffect()) {
            fail("bypass", "setting it does not read back");
            return;
        }
        const AUAudioFrameCount cycle = std::min<AUAudioFrameCount>(256, tally.maximumFrames);
        RenderRig rig(unit(), tally.inputChannels, tally.outputChannels, tally.maximumFrames, kFramesPerRun, 11);
        RenderFault fault;
        bool ok = true;
        const auto counts = onRenderThread([&] { ok = rig.render(cycle, false, kFramesPerRun, true, {}, fault); });
        tally.noteAllocations(counts, "bypass");
        tally.renderedFrames += rig.renderedFrames();
        unit().setShouldBypassEffect(false);
        if (ok)
            pass("bypass", std::to_string(kFramesPerRun) + " frames of input rendered unchanged");
        else
            fail("bypass", describe(fault));
    });
}

// Random parameter automation, every 32 frames, through the render block's events.
void Validator::checkParameterAutomation(RenderTally& tally) {
    guarded("parameter automation", [&] {
        std::string error;
        if (!tally.canRender || !prepareAt(unit(), 44100, error)) {
            fail("parameter automation", error.empty() ? "the unit cannot render" : error);
            return;
        }
        std::vector<AUParameterPtr> automated;
        for (const auto& parameter : parameters_)
            if (isWritable(*parameter)) automated.push_back(parameter);
        const AUAudioFrameCount cycle = std::min<AUAudioFrameCount>(256, tally.maximumFrames);
        const std::uint64_t total = 4 * kFramesPerRun;
        const std::size_t slotsPerCycle = (cycle + kAutomationInterval - 1) / kAutomationInterval;
        const std::size_t perSlot =
            automated.empty() ? 0 : std::min(automated.size(), std::max<std::size_t>(1, kMaximumEventsPerCycle / slotsPerCycle));
        // Every value decided before rendering, so the render thread only reads.
        struct Event {
            AUAudioFrameCount offset;
            AUParameterAddress address;
            AUValue value;
        };
        const std::size_t cycles = (total + cycle - 1) / cycle;
        std::vector<std::vector<Event>> events(cycles);
        std::size_t next = 0;
        for (auto& cycleEvents : events) {
            for (AUAudioFrameCount offset = 0; offset < cycle; offset += kAutomationInterval)
                for (std::size_t k = 0; k < perSlot; ++k) {
                    const auto& parameter = automated[next++ % automated.size()];
                    cycleEvents.push_back({offset, parameter->address(), randomValue(*parameter, generator_)});
                }
        }
        const auto& schedule = unit().scheduleParameterBlock();
        std::size_t cycleIndex = 0;
        const std::function<void(AUEventSampleTime)> beforeCycle = [&](AUEventSampleTime start) {
            if (cycleIndex >= events.size()) return;
            for (const auto& event : events[cycleIndex]) schedule(start + event.offset, 0, event.address, event.value);
            ++cycleIndex;
        };
        RenderRig rig(unit(), tally.inputChannels, tally.outputChannels, tally.maximumFrames, total, 13);
        RenderFault fault;
        bool ok = true;
        const auto counts = onRenderThread([&] { ok = rig.render(cycle, false, total, false, beforeCycle, fault); });
        tally.noteAllocations(counts, "parameter automation");
        tally.renderedFrames += rig.renderedFrames();
        const std::string detail = std::to_string(automated.size()) + " parameters, new values every " +
                                   std::to_string(kAutomationInterval) + " frames over " + std::to_string(total) +
                                   " frames";
        if (ok)
            pass("parameter automation", detail + ", output finite");
        else
            fail("parameter automation", describe(fault));
    });
}

// MARK: Saved state into a second instance

void Validator::checkState() {
    guarded("fullState round trip", [&] {
        if (!warm_) {
            fail("fullState round trip", "no second instance");
            return;
        }
        for (const auto& parameter : parameters_)
            if (isWritable(*parameter)) parameter->setValue(randomValue(*parameter, generator_));
        const auto state = unit().fullState();
        AUAudioUnit& second = *warm_->auAudioUnit();
        foundation::NSError problem;
        if (!second.setFullState(state, &problem)) {
            fail("fullState round trip", "the second instance refuses the state: " + errorText(problem));
            return;
        }
        const auto secondTree = second.parameterTree();
        std::string mismatch;
        for (const auto& parameter : parameters_) {
            const auto other = secondTree ? secondTree->parameterWithAddress(parameter->address()) : nullptr;
            if (!other) {
                mismatch = parameter->keyPath() + " is missing in the second instance";
                break;
            }
            if (other->value() != parameter->value()) {
                mismatch = parameter->keyPath() + " is " + number(other->value()) + " instead of " +
                           number(parameter->value());
                break;
            }
        }
        if (mismatch.empty() && second.fullState() != state) mismatch = "the second instance saves another state";
        if (mismatch.empty())
            pass("fullState round trip", std::to_string(parameters_.size()) + " values restored in a second instance");
        else
            fail("fullState round trip", mismatch);
    });
}

}  // namespace validator
