#include "audiounit/AUAudioUnit.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace audiounit {

using foundation::NSError;

namespace {

// Flush-to-zero and denormals-are-zero for the duration of a render cycle, so
// that decaying filters never compute with subnormals; the caller's mode is
// restored afterwards.
class FlushDenormalsScope {
public:
    FlushDenormalsScope() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        saved_ = _mm_getcsr();
        _mm_setcsr(saved_ | 0x8040u);  // FTZ | DAZ
#elif defined(__aarch64__)
        std::uint64_t fpcr;
        __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
        saved_ = fpcr;
        fpcr |= (std::uint64_t{1} << 24);  // FZ
        __asm__ __volatile__("msr fpcr, %0" : : "r"(fpcr));
#endif
    }
    ~FlushDenormalsScope() {
#if defined(__x86_64__) || defined(__i386__)
        _mm_setcsr(saved_);
#elif defined(__aarch64__)
        __asm__ __volatile__("msr fpcr, %0" : : "r"(saved_));
#endif
    }
    FlushDenormalsScope(const FlushDenormalsScope&) = delete;
    FlushDenormalsScope& operator=(const FlushDenormalsScope&) = delete;

private:
#if defined(__aarch64__)
    std::uint64_t saved_ = 0;
#else
    unsigned int saved_ = 0;
#endif
};

void fail(NSError* outError, OSStatus status, std::string description) {
    if (outError) *outError = foundation::makeOSStatusError(status, std::move(description));
}

void failPOSIX(NSError* outError, int code, std::string description) {
    if (outError) *outError = NSError{foundation::NSPOSIXErrorDomain, code, std::move(description)};
}

// Sample time of a cycle as an integer; 0 when it is not a usable number.
AUEventSampleTime cycleStartOf(const AudioTimeStamp& timestamp) noexcept {
    const double t = timestamp.mSampleTime;
    if (!std::isfinite(t) || std::fabs(t) > 9.0e18) return 0;
    return static_cast<AUEventSampleTime>(t);
}

std::optional<std::uint32_t> jsonUInt32(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_unsigned()) return std::nullopt;
    const auto v = it->get<std::uint64_t>();
    if (v > 0xFFFFFFFFu) return std::nullopt;
    return static_cast<std::uint32_t>(v);
}

std::optional<AUParameterAddress> parseAddress(const std::string& text) {
    AUParameterAddress address = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, address);
    if (text.empty() || result.ec != std::errc{} || result.ptr != end) return std::nullopt;
    return address;
}

std::string dump(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

// MARK: - Construction

AUAudioUnit::AUAudioUnit(ConstructionKey) : scheduler_(std::make_shared<RenderEventScheduler>()) {
    renderBlock_ = [this](AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                          AUAudioFrameCount frameCount, NSInteger outputBusNumber, AudioBufferList* outputData,
                          const AURenderPullInputBlock* pullInputBlock) {
        return render(actionFlags, timestamp, frameCount, outputBusNumber, outputData, pullInputBlock);
    };

    // The scheduling blocks hold the queue, not the unit, so that a host may
    // keep them longer than the unit.
    auto scheduler = scheduler_;
    scheduleParameterBlock_ = [scheduler](AUEventSampleTime time, AUAudioFrameCount ramp,
                                          AUParameterAddress address, AUValue value) {
        AURenderEvent event{};
        event.parameter.eventSampleTime = time;
        event.parameter.eventType = ramp > 0 ? AURenderEventParameterRamp : AURenderEventParameter;
        event.parameter.rampDurationSampleFrames = ramp;
        event.parameter.parameterAddress = address;
        event.parameter.value = value;
        scheduler->enqueue(event);
    };
    scheduleMIDIEventBlock_ = [scheduler](AUEventSampleTime time, std::uint8_t cable, NSInteger length,
                                          const std::uint8_t* bytes) {
        if (bytes == nullptr || length < 1 || length > 3) return;
        AURenderEvent event{};
        event.MIDI.eventSampleTime = time;
        event.MIDI.eventType = AURenderEventMIDI;
        event.MIDI.length = static_cast<std::uint16_t>(length);
        event.MIDI.cable = cable;
        std::copy_n(bytes, length, event.MIDI.data);
        scheduler->enqueue(event);
    };
    scheduleMIDIEventListBlock_ = [scheduler](AUEventSampleTime time, std::uint8_t cable,
                                              const midi::MIDIEventList* list) -> OSStatus {
        if (list == nullptr) return kAudioUnitErr_InvalidParameter;
        for (std::uint32_t i = 0; i < list->numPackets; ++i) {
            if (list->packet[i].wordCount > 64) return kAudioUnitErr_InvalidParameter;
        }
        for (std::uint32_t i = 0; i < list->numPackets; ++i) {
            AURenderEvent event{};
            event.MIDIEventsList.eventSampleTime = time;
            event.MIDIEventsList.eventType = AURenderEventMIDIEventList;
            event.MIDIEventsList.cable = cable;
            event.MIDIEventsList.eventList.protocol = list->protocol;
            event.MIDIEventsList.eventList.numPackets = 1;
            event.MIDIEventsList.eventList.packet[0] = list->packet[i];
            if (!scheduler->enqueue(event)) return kAudioUnitErr_CannotDoInCurrentContext;
        }
        return noErr;
    };
}

AUAudioUnit::~AUAudioUnit() = default;

bool AUAudioUnit::initWithComponentDescription(const AudioComponentDescription& description,
                                               AudioComponentInstantiationOptions options, NSError* outError) {
    if (initialized_) {
        fail(outError, kAudioUnitErr_InvalidPropertyValue, "the audio unit is already initialised");
        return false;
    }
    if (description.componentType == 0 || description.componentSubType == 0 ||
        description.componentManufacturer == 0) {
        fail(outError, kAudioUnitErr_InvalidPropertyValue,
             "the component description needs a type, a subtype and a manufacturer");
        return false;
    }
    description_ = description;
    options_ = options;
    defaultInputBusses_ = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeInput);
    defaultOutputBusses_ = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeOutput);
    initialized_ = true;
    return true;
}

// MARK: - Busses

AUAudioUnitBusArrayPtr AUAudioUnit::inputBusses() const { return defaultInputBusses_; }
AUAudioUnitBusArrayPtr AUAudioUnit::outputBusses() const { return defaultOutputBusses_; }

bool AUAudioUnit::shouldChangeToFormat(const AVAudioFormat&, const AUAudioUnitBus&, NSError* outError) {
    if (renderResourcesAllocated()) {
        fail(outError, kAudioUnitErr_Initialized, "formats cannot change while render resources are allocated");
        return false;
    }
    return true;
}

// MARK: - Rendering

AUAudioFrameCount AUAudioUnit::maximumFramesToRender() const {
    return maximumFramesToRender_.load(std::memory_order_relaxed);
}
void AUAudioUnit::setMaximumFramesToRender(AUAudioFrameCount frames) {
    if (frames > kMaximumFramesToRenderLimit) return;
    maximumFramesToRender_.store(frames, std::memory_order_relaxed);
}
bool AUAudioUnit::shouldBypassEffect() const { return shouldBypassEffect_.load(std::memory_order_relaxed); }
void AUAudioUnit::setShouldBypassEffect(bool bypass) { shouldBypassEffect_.store(bypass, std::memory_order_relaxed); }

AUInternalRenderBlock AUAudioUnit::internalRenderBlock() { return {}; }

bool AUAudioUnit::allocateRenderResources(NSError* outError) {
    auto block = internalRenderBlock();
    if (!block) {
        fail(outError, kAudioUnitErr_FailedInitialization, "the audio unit has no render callback");
        return false;
    }
    if (maximumFramesToRender() == 0) {
        fail(outError, kAudioUnitErr_FailedInitialization, "the maximum frame count is 0");
        return false;
    }
    for (const auto& array : {inputBusses(), outputBusses()}) {
        if (!array) continue;
        for (const auto& bus : array->busses()) {
            if (!bus->format()) {
                fail(outError, kAudioUnitErr_FailedInitialization, "a bus has no format");
                return false;
            }
        }
    }
    cachedInternalRenderBlock_ = std::move(block);
    scheduler_->reset();
    setRenderResourcesAllocated(true);
    return true;
}

void AUAudioUnit::deallocateRenderResources() { setRenderResourcesAllocated(false); }

OSStatus AUAudioUnit::render(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                             AUAudioFrameCount frameCount, NSInteger outputBusNumber, AudioBufferList* outputData,
                             const AURenderPullInputBlock* pullInputBlock) noexcept {
    if (!renderResourcesAllocated() || !cachedInternalRenderBlock_) return kAudioUnitErr_Uninitialized;
    FlushDenormalsScope flushDenormals;
    const AURenderEvent* events = nullptr;
    if (timestamp != nullptr) events = scheduler_->beginCycle(cycleStartOf(*timestamp), frameCount);
    const OSStatus status =
        cachedInternalRenderBlock_(actionFlags, timestamp, frameCount, outputBusNumber, outputData, events,
                                   pullInputBlock);
    if (timestamp != nullptr) scheduler_->endCycle();
    return status;
}

// MARK: - Parameters

AUParameterTreePtr AUAudioUnit::parameterTree() const {
    std::lock_guard lock(mutex_);
    return parameterTree_;
}

bool AUAudioUnit::setParameterTree(AUParameterTreePtr tree) {
    std::lock_guard lock(mutex_);
    if (parameterTree_) return parameterTree_ == tree;
    parameterTree_ = std::move(tree);
    return true;
}

AUObservationToken AUAudioUnit::observeAllParameterValues(std::function<void()> handler) {
    if (!handler) return {};
    std::lock_guard lock(mutex_);
    auto list = allValuesObservers_ ? std::make_shared<std::vector<AllValuesObserver>>(*allValuesObservers_)
                                    : std::make_shared<std::vector<AllValuesObserver>>();
    const AUObservationToken token{nextObservationToken_++};
    list->push_back({token, std::move(handler)});
    allValuesObservers_ = std::move(list);
    return token;
}

void AUAudioUnit::removeAllParameterValuesObserver(AUObservationToken token) {
    std::lock_guard lock(mutex_);
    if (!allValuesObservers_) return;
    auto list = std::make_shared<std::vector<AllValuesObserver>>(*allValuesObservers_);
    std::erase_if(*list, [&](const AllValuesObserver& o) { return o.token == token; });
    allValuesObservers_ = std::move(list);
}

void AUAudioUnit::postAllParameterValuesChanged() {
    std::shared_ptr<const std::vector<AllValuesObserver>> list;
    {
        std::lock_guard lock(mutex_);
        list = allValuesObservers_;
    }
    if (!list) return;
    for (const auto& observer : *list) observer.handler();
}

// MARK: - Presets

AUAudioUnitPresetPtr AUAudioUnit::currentPreset() const {
    std::lock_guard lock(mutex_);
    return currentPreset_;
}

void AUAudioUnit::setCurrentPreset(AUAudioUnitPresetPtr preset) {
    if (!preset) {
        std::lock_guard lock(mutex_);
        currentPreset_ = nullptr;
        return;
    }
    if (preset->number() >= 0) {
        for (const auto& factory : factoryPresets()) {
            if (factory && factory->number() == preset->number()) {
                std::lock_guard lock(mutex_);
                currentPreset_ = factory;
                return;
            }
        }
        return;
    }
    const auto state = presetStateFor(preset);
    if (!state) return;
    const auto checked = checkState(*state, nullptr);
    if (!checked) return;
    for (const auto& [parameter, value] : checked->values) parameter->setValue(value);
    std::lock_guard lock(mutex_);
    currentPreset_ = preset;
}

// MARK: - State

nlohmann::json AUAudioUnit::fullState() const {
    nlohmann::json state = nlohmann::json::object();
    state["type"] = description_.componentType;
    state["subtype"] = description_.componentSubType;
    state["manufacturer"] = description_.componentManufacturer;
    state["version"] = kStateVersion;
    const auto preset = currentPreset();
    if (preset) {
        state["preset"] = {{"number", preset->number()}, {"name", preset->name()}};
    } else {
        state["preset"] = nullptr;
    }
    nlohmann::json values = nlohmann::json::object();
    if (const auto tree = parameterTree()) {
        for (const auto& parameter : tree->allParameters()) {
            const std::string key = std::to_string(parameter->address());
            if (!values.contains(key)) values[key] = static_cast<double>(parameter->value());
        }
    }
    state["parameters"] = std::move(values);
    return state;
}

std::optional<AUAudioUnit::CheckedState> AUAudioUnit::checkState(const nlohmann::json& state,
                                                                 NSError* outError) const {
    auto refuse = [&](std::string why) -> std::optional<CheckedState> {
        fail(outError, kAudioUnitErr_InvalidPropertyValue, "unusable state: " + why);
        return std::nullopt;
    };
    if (!state.is_object()) return refuse("not an object");
    const auto version = state.find("version");
    if (version == state.end() || !version->is_number_integer() || version->get<std::int64_t>() != kStateVersion)
        return refuse("unknown version");
    if (jsonUInt32(state, "type") != description_.componentType ||
        jsonUInt32(state, "subtype") != description_.componentSubType ||
        jsonUInt32(state, "manufacturer") != description_.componentManufacturer)
        return refuse("saved by another component");

    CheckedState checked;
    if (const auto preset = state.find("preset"); preset != state.end()) {
        checked.hasPreset = true;
        if (!preset->is_null()) {
            if (!preset->is_object()) return refuse("preset is not an object");
            const auto number = preset->find("number");
            const auto name = preset->find("name");
            if (number == preset->end() || !number->is_number_integer() || name == preset->end() ||
                !name->is_string())
                return refuse("preset needs a number and a name");
            checked.preset = AUAudioUnitPreset::make(number->get<NSInteger>(), name->get<std::string>());
        }
    }

    const auto parameters = state.find("parameters");
    if (parameters == state.end() || !parameters->is_object()) return refuse("no parameter values");
    const auto tree = parameterTree();
    std::vector<std::pair<AUParameterAddress, AUValue>> byAddress;
    for (const auto& [key, value] : parameters->items()) {
        const auto address = parseAddress(key);
        if (!address) return refuse("\"" + key + "\" is not a parameter address");
        if (!tree || !tree->parameterWithAddress(*address)) return refuse("no parameter at address " + key);
        if (!value.is_number()) return refuse("the value at address " + key + " is not a number");
        const double v = value.get<double>();
        if (!std::isfinite(v) || std::fabs(v) > 3.0e38) return refuse("the value at address " + key + " is not finite");
        byAddress.emplace_back(*address, static_cast<AUValue>(v));
    }
    if (tree) {
        for (const auto& parameter : tree->allParameters()) {
            const auto it = std::find_if(byAddress.begin(), byAddress.end(),
                                         [&](const auto& entry) { return entry.first == parameter->address(); });
            if (it != byAddress.end()) checked.values.emplace_back(parameter, it->second);
        }
    }
    return checked;
}

bool AUAudioUnit::setFullState(const nlohmann::json& state, NSError* outError) {
    auto checked = checkState(state, outError);
    if (!checked) return false;
    // The preset first: selecting a factory preset sets its values, which the
    // saved values then overwrite where they differ.
    if (checked->hasPreset) setCurrentPreset(checked->preset);
    for (const auto& [parameter, value] : checked->values) parameter->setValue(value);
    postAllParameterValuesChanged();
    return true;
}

std::string AUAudioUnit::fullStateData() const { return dump(fullState()); }

bool AUAudioUnit::setFullStateData(std::string_view data, NSError* outError) {
    const auto state = nlohmann::json::parse(data.begin(), data.end(), nullptr, false);
    if (state.is_discarded()) {
        fail(outError, kAudioUnitErr_InvalidPropertyValue, "unusable state: not JSON");
        return false;
    }
    return setFullState(state, outError);
}

// MARK: - User presets

std::filesystem::path AUAudioUnit::userPresetsDirectory() const {
    {
        std::lock_guard lock(mutex_);
        if (userPresetsDirectory_) return *userPresetsDirectory_;
    }
    std::filesystem::path base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        base = std::filesystem::path(home) / ".local" / "share";
    } else {
        base = std::filesystem::temp_directory_path();
    }
    auto printable = [](FourCharCode code) {
        std::string text = fourCharCodeString(code);
        for (char& c : text) {
            if (c == '/' || c < 0x21 || c > 0x7E) c = '_';
        }
        return text;
    };
    return base / "dunmarrow" / "presets" /
           (printable(description_.componentType) + "-" + printable(description_.componentSubType) + "-" +
            printable(description_.componentManufacturer));
}

void AUAudioUnit::setUserPresetsDirectory(std::filesystem::path directory) {
    std::lock_guard lock(mutex_);
    userPresetsDirectory_ = std::move(directory);
}

std::filesystem::path AUAudioUnit::userPresetPath(NSInteger number) const {
    return userPresetsDirectory() / ("user" + std::to_string(number) + ".json");
}

bool AUAudioUnit::saveUserPreset(const AUAudioUnitPresetPtr& preset, NSError* outError) {
    if (!preset || preset->number() >= 0) {
        fail(outError, kAudioUnitErr_InvalidPropertyValue, "user presets need a negative number");
        return false;
    }
    nlohmann::json state = fullState();
    state["preset"] = {{"number", preset->number()}, {"name", preset->name()}};
    const std::string text = dump(state) + "\n";

    const auto directory = userPresetsDirectory();
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) {
        failPOSIX(outError, ec.value(), "cannot create " + directory.string() + ": " + ec.message());
        return false;
    }
    const auto path = userPresetPath(preset->number());
    static std::atomic<unsigned> counter{0};
    auto temporary = path;
    temporary += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::filesystem::remove(temporary, ec);
            failPOSIX(outError, EIO, "cannot write " + temporary.string());
            return false;
        }
    }
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        failPOSIX(outError, ec.value(), "cannot rename to " + path.string() + ": " + ec.message());
        return false;
    }
    return true;
}

bool AUAudioUnit::deleteUserPreset(const AUAudioUnitPresetPtr& preset, NSError* outError) {
    if (!preset || preset->number() >= 0) {
        fail(outError, kAudioUnitErr_InvalidPropertyValue, "user presets need a negative number");
        return false;
    }
    std::error_code ec;
    const auto path = userPresetPath(preset->number());
    if (!std::filesystem::remove(path, ec)) {
        failPOSIX(outError, ec ? ec.value() : ENOENT, "no user preset at " + path.string());
        return false;
    }
    const auto current = currentPreset();
    if (current && current->number() == preset->number()) {
        std::lock_guard lock(mutex_);
        currentPreset_ = nullptr;
    }
    return true;
}

std::optional<nlohmann::json> AUAudioUnit::presetStateFor(const AUAudioUnitPresetPtr& preset,
                                                          NSError* outError) const {
    if (!preset || preset->number() >= 0) {
        fail(outError, kAudioUnitErr_InvalidPropertyValue, "user presets need a negative number");
        return std::nullopt;
    }
    const auto path = userPresetPath(preset->number());
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        failPOSIX(outError, ENOENT, "no user preset at " + path.string());
        return std::nullopt;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    auto state = nlohmann::json::parse(buffer.str(), nullptr, false);
    if (state.is_discarded() || !checkState(state, outError)) {
        if (state.is_discarded()) fail(outError, kAudioUnitErr_InvalidFile, "the preset file is not JSON");
        return std::nullopt;
    }
    return state;
}

std::vector<AUAudioUnitPresetPtr> AUAudioUnit::userPresets() const {
    std::vector<AUAudioUnitPresetPtr> presets;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(userPresetsDirectory(), ec)) {
        const auto name = entry.path().filename().string();
        if (!name.starts_with("user-") || !name.ends_with(".json")) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream buffer;
        buffer << in.rdbuf();
        const auto state = nlohmann::json::parse(buffer.str(), nullptr, false);
        if (state.is_discarded()) continue;
        const auto checked = checkState(state, nullptr);
        if (!checked || !checked->preset || checked->preset->number() >= 0) continue;
        if (userPresetPath(checked->preset->number()).filename() != entry.path().filename()) continue;
        presets.push_back(checked->preset);
    }
    std::sort(presets.begin(), presets.end(), [](const auto& a, const auto& b) { return a->number() > b->number(); });
    return presets;
}

}  // namespace audiounit
