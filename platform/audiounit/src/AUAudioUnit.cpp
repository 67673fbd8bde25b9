#include "audiounit/AUAudioUnit.hpp"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/FileWriting.hpp"
#include "foundation/ThreadContract.hpp"
#include "midi/MIDIEventListFunctions.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace audiounit {

using foundation::NSError;

namespace {

// Flush-to-zero and denormals-are-zero for the duration of a render cycle, so
// that decaying filters never compute with subnormals; the caller's mode is
// restored afterwards. This protects every unit the platform renders, whatever
// its own code does. A unit may guard itself as well (a kernel that other
// hosts call directly must), and then finds the mode already set.
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

// A user preset holds a few hundred bytes; anything much larger is not one.
constexpr std::size_t kLargestPresetFile = std::size_t{1} << 20;

// The whole of a user preset file, or absent with `reason` set. Only a regular
// file is read, so that a FIFO in the folder cannot block the caller.
std::optional<std::string> readPresetFile(const std::filesystem::path& path, std::string& reason) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        reason = std::strerror(errno);
        return std::nullopt;
    }
    std::string contents;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        reason = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        reason = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file";
    } else if (static_cast<std::uintmax_t>(st.st_size) > kLargestPresetFile) {
        reason = "larger than 1 MiB";
    } else {
        char buffer[4096];
        while (true) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) reason = std::strerror(errno);
            if (got <= 0) break;
            contents.append(buffer, static_cast<std::size_t>(got));
            if (contents.size() > kLargestPresetFile) {
                reason = "larger than 1 MiB";
                break;
            }
        }
    }
    ::close(fd);
    if (!reason.empty()) return std::nullopt;
    return contents;
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
        // Packets follow each other as long as their words, not as array elements.
        const midi::MIDIEventPacket* packet = &list->packet[0];
        for (std::uint32_t i = 0; i < list->numPackets; ++i, packet = midi::MIDIEventPacketNext(packet)) {
            if (packet->wordCount > midi::kMIDIEventPacketMaxWords) return kAudioUnitErr_InvalidParameter;
        }
        packet = &list->packet[0];
        for (std::uint32_t i = 0; i < list->numPackets; ++i, packet = midi::MIDIEventPacketNext(packet)) {
            AURenderEvent event{};
            event.MIDIEventsList.eventSampleTime = time;
            event.MIDIEventsList.eventType = AURenderEventMIDIEventList;
            event.MIDIEventsList.cable = cable;
            event.MIDIEventsList.eventList.protocol = list->protocol;
            event.MIDIEventsList.eventList.numPackets = 1;
            event.MIDIEventsList.eventList.packet[0].timeStamp = packet->timeStamp;
            event.MIDIEventsList.eventList.packet[0].wordCount = packet->wordCount;
            std::copy_n(packet->words, packet->wordCount, event.MIDIEventsList.eventList.packet[0].words);
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
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
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

void AUAudioUnit::deallocateRenderResources() {
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
    setRenderResourcesAllocated(false);
}

OSStatus AUAudioUnit::render(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                             AUAudioFrameCount frameCount, NSInteger outputBusNumber, AudioBufferList* outputData,
                             const AURenderPullInputBlock* pullInputBlock) noexcept {
    // Whoever calls the render block is the render thread for the cycle.
    const foundation::RenderThreadScope renderThread;
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
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
    if (!preset) {
        setCurrentPresetWithoutApplying(nullptr);
        return;
    }
    if (preset->number() >= 0) {
        for (const auto& factory : factoryPresets()) {
            if (factory && factory->number() == preset->number()) {
                applyFactoryPreset(*factory);
                setCurrentPresetWithoutApplying(factory);
                return;
            }
        }
        return;
    }
    if (!selectsUserPresets()) return;
    const auto state = presetStateFor(preset);
    if (!state) return;
    const auto checked = checkState(*state, nullptr);
    if (!checked) return;
    for (const auto& [parameter, value] : checked->values) parameter->setValue(value);
    setCurrentPresetWithoutApplying(std::move(preset));
}

void AUAudioUnit::applyFactoryPreset(const AUAudioUnitPreset& /*preset*/) {}

void AUAudioUnit::setCurrentPresetWithoutApplying(AUAudioUnitPresetPtr preset) {
    std::lock_guard lock(mutex_);
    currentPreset_ = std::move(preset);
}

// MARK: - State

nlohmann::json AUAudioUnit::fullState() const {
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
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
    std::string reason;
    auto checked = checkedState(state, reason);
    if (!checked) fail(outError, kAudioUnitErr_InvalidPropertyValue, "unusable state: " + reason);
    return checked;
}

std::optional<AUAudioUnit::CheckedState> AUAudioUnit::checkedState(const nlohmann::json& state,
                                                                   std::string& reason) const {
    auto refuse = [&](std::string why) -> std::optional<CheckedState> {
        reason = std::move(why);
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
        // Quoted as JSON, so that a key holding control characters stays on its line.
        if (!address) return refuse(dump(key) + " is not a parameter address");
        const auto parameter = tree ? tree->parameterWithAddress(*address) : nullptr;
        if (!parameter) return refuse("no parameter at address " + key);
        const std::string which = "the value of " + parameter->identifier() + " (address " + key + ")";
        if (!value.is_number()) return refuse(which + " is not a number");
        const double v = value.get<double>();
        if (!std::isfinite(v)) return refuse(which + " is not finite");
        // Stored data is held to the range, as values typed by a user are:
        // a damaged or hand-edited file must not drive the unit beyond it.
        const double held = std::min(std::max(v, static_cast<double>(parameter->minValue())),
                                     static_cast<double>(parameter->maxValue()));
        byAddress.emplace_back(*address, static_cast<AUValue>(held));
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
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
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
    std::string reason;
    const auto state = parseState(data, reason);
    if (!state) {
        fail(outError, kAudioUnitErr_InvalidPropertyValue, "unusable state: " + reason);
        return false;
    }
    return setFullState(*state, outError);
}

std::optional<nlohmann::json> AUAudioUnit::parseState(std::string_view data, std::string& reason) const {
    // The key read last is the one whose value failed, when a number overflows.
    std::string lastKey;
    const nlohmann::json::parser_callback_t rememberKeys = [&lastKey](int, nlohmann::json::parse_event_t event,
                                                                      nlohmann::json& parsed) {
        if (event == nlohmann::json::parse_event_t::key && parsed.is_string()) lastKey = parsed.get<std::string>();
        return true;
    };
    try {
        return nlohmann::json::parse(data.begin(), data.end(), rememberKeys);
    } catch (const nlohmann::json::out_of_range&) {
        const auto address = parseAddress(lastKey);
        const auto tree = parameterTree();
        const auto parameter = address && tree ? tree->parameterWithAddress(*address) : nullptr;
        reason = parameter ? "the value of " + parameter->identifier() + " (address " + lastKey + ") is not finite"
                           : "not JSON (a number is too large)";
    } catch (const nlohmann::json::exception&) {
        reason = "not JSON";
    }
    return std::nullopt;
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
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
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
    std::string error;
    if (!foundation::writeFileAtomically(userPresetPath(preset->number()), text, &error)) {
        failPOSIX(outError, EIO, error);
        return false;
    }
    return true;
}

bool AUAudioUnit::deleteUserPreset(const AUAudioUnitPresetPtr& preset, NSError* outError) {
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
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
    std::string reason;
    const auto text = readPresetFile(path, reason);
    if (!text) {
        failPOSIX(outError, ENOENT, "no user preset at " + path.string() + ": " + reason);
        return std::nullopt;
    }
    auto state = parseState(*text, reason);
    if (!state) {
        fail(outError, kAudioUnitErr_InvalidFile, path.string() + ": " + reason);
        return std::nullopt;
    }
    if (!checkedState(*state, reason)) {
        fail(outError, kAudioUnitErr_InvalidPropertyValue, path.string() + ": " + reason);
        return std::nullopt;
    }
    return state;
}

std::vector<AUAudioUnitPresetPtr> AUAudioUnit::userPresets() const { return scanUserPresets(nullptr); }

std::vector<AUAudioUnit::UnusableUserPreset> AUAudioUnit::unusableUserPresets() const {
    std::vector<UnusableUserPreset> unusable;
    scanUserPresets(&unusable);
    return unusable;
}

std::vector<AUAudioUnitPresetPtr> AUAudioUnit::scanUserPresets(std::vector<UnusableUserPreset>* unusable) const {
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
    std::vector<AUAudioUnitPresetPtr> presets;
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(userPresetsDirectory(), ec)) {
        const auto name = entry.path().filename().string();
        if (name.starts_with("user-") && name.ends_with(".json")) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        UnusableUserPreset problem{path, std::nullopt, {}};
        const auto text = readPresetFile(path, problem.reason);
        const auto state = text ? parseState(*text, problem.reason) : std::nullopt;
        if (state) {
            // The name, when the file gives one, lets a caller looking for it by name say why it is unusable.
            if (const auto preset = state->find("preset"); preset != state->end() && preset->is_object()) {
                if (const auto name = preset->find("name"); name != preset->end() && name->is_string())
                    problem.name = name->get<std::string>();
            }
            const auto checked = checkedState(*state, problem.reason);
            if (checked) {
                if (!checked->preset || checked->preset->number() >= 0)
                    problem.reason = "it names no user preset";
                else if (userPresetPath(checked->preset->number()).filename() != path.filename())
                    problem.reason = "its preset number " + std::to_string(checked->preset->number()) +
                                     " does not match its file name";
                else
                    presets.push_back(checked->preset);
            }
        }
        if (!problem.reason.empty() && unusable) unusable->push_back(std::move(problem));
    }
    std::sort(presets.begin(), presets.end(), [](const auto& a, const auto& b) { return a->number() > b->number(); });
    return presets;
}

}  // namespace audiounit
