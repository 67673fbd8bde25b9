#include "UnitService.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AVAudioFormat.hpp"
#include "audiounit/remote/FieldReader.hpp"
#include "ui/ViewController.hpp"
#include "ui/Window.hpp"

using audiounit::AUAudioUnit;
using audiounit::AURenderEvent;
using audiounit::AudioBufferList;
using audiounit::OSStatus;
using nlohmann::json;
namespace remote = audiounit::remote;

namespace {

json errorFrom(const foundation::NSError& error, std::int32_t fallback) {
    return remote::errorJSON(error.code != 0 ? static_cast<std::int32_t>(error.code) : fallback,
                             error.description.empty() ? "refused" : error.description);
}

json busesOf(const audiounit::AUAudioUnitBusArrayPtr& array) {
    json list = json::array();
    if (!array) return list;
    for (const auto& bus : array->busses()) {
        const auto format = bus->format();
        list.push_back({{"sampleRate", format ? format->sampleRate() : 44100.0},
                        {"channels", format ? format->channelCount() : 2},
                        {"maximumChannelCount", bus->maximumChannelCount()},
                        {"name", bus->name()}});
    }
    return list;
}

json presetJSON(const audiounit::AUAudioUnitPresetPtr& preset) {
    if (!preset) return nullptr;
    return {{"number", preset->number()}, {"name", preset->name()}};
}

// The id a reply is addressed to: absent for a one-way packet; a packet whose
// "id" is not a whole number has no address at all.
std::optional<std::uint64_t> replyAddress(const json& packet, bool& addressable) {
    addressable = true;
    const auto id = packet.find("id");
    if (id == packet.end()) return std::nullopt;
    if (!id->is_number_unsigned()) {
        addressable = false;
        return std::nullopt;
    }
    return id->get<std::uint64_t>();
}

void logDropped(const std::string& why) {
    std::fprintf(stderr, "dunmarrow-auservice: dropped a request: %s\n", why.c_str());
}

// How long a packet may wait for the host to make room for it.
constexpr std::int64_t kSendTimeoutNanoseconds = 5'000'000'000;

// A reply or an event to the host; one it cannot take is dropped and logged.
void sendToHost(int socket, const json& packet) {
    const auto sent = remote::sendPacket(socket, packet, -1, kSendTimeoutNanoseconds);
    if (!sent && sent.status != remote::SendStatus::Closed)
        std::fprintf(stderr, "dunmarrow-auservice: could not send a packet to the host%s%s\n",
                     sent.why.empty() ? "" : ": ", sent.why.c_str());
}

// SCHED_FIFO priority of the render thread, when granted.
constexpr int kRenderThreadPriority = 10;

bool usesDescriptor(const std::string& op) { return op == "allocateRenderResources" || op == "snapshotEditor"; }

}  // namespace

UnitService::UnitService(int socket, std::shared_ptr<audiounit::AVAudioUnit> unit)
    : socket_(socket), avAudioUnit_(std::move(unit)), unit_(avAudioUnit_->auAudioUnit()) {
    if (const auto tree = unit_->parameterTree()) {
        // Thread: whichever changed the value here (main thread, or a thread of
        // the unit's own). Changes the host made carry this token and do not go back.
        mirrorToken_ = tree->tokenByAddingParameterAutomationObserver(
            [this](std::span<const audiounit::AUParameterAutomationEvent> events) {
                for (const auto& e : events) {
                    if (!std::isfinite(e.value)) continue;  // the protocol carries finite values only
                    sendEvent({{"event", "parameter"},
                               {"address", e.address},
                               {"value", e.value},
                               {"hostTime", e.hostTime},
                               {"eventType", static_cast<std::uint32_t>(e.eventType)}});
                }
            });
    }
    allValuesToken_ = unit_->observeAllParameterValues([this] { sendEvent({{"event", "allParameterValuesChanged"}}); });
}

UnitService::~UnitService() { stop(); }

void UnitService::stop() {
    deallocate();
    editorWindow_.reset();
    if (const auto tree = unit_->parameterTree(); tree && mirrorToken_) tree->removeParameterObserver(mirrorToken_);
    mirrorToken_ = {};
    if (allValuesToken_) unit_->removeAllParameterValuesObserver(allValuesToken_);
    allValuesToken_ = {};
}

void UnitService::sendEvent(const json& event) {
    std::lock_guard lock(sendMutex_);
    sendToHost(socket_, event);
}

void UnitService::refuse(int socket, const json& packet, std::int32_t code, const std::string& description) {
    bool addressable = false;
    const auto id = replyAddress(packet, addressable);
    if (!id) return;
    sendToHost(socket, {{"reply", *id}, {"error", remote::errorJSON(code, description)}});
}

void UnitService::handle(const json& packet, int receivedFd) {
    // The descriptor is closed here unless the request takes it over.
    auto closeDescriptor = [&] {
        if (receivedFd >= 0) ::close(receivedFd);
        receivedFd = -1;
    };
    bool addressable = false;
    const auto id = replyAddress(packet, addressable);
    if (!addressable) {
        closeDescriptor();
        return logDropped("\"id\" is not a whole number from 0 to 18446744073709551615");
    }
    const auto op = packet.find("op");
    if (op == packet.end() || !op->is_string()) {
        closeDescriptor();
        if (!id) return logDropped("\"op\" is missing or not text");
        std::lock_guard lock(sendMutex_);
        sendToHost(socket_, {{"reply", *id},
                             {"error", remote::errorJSON(audiounit::kAudioUnitErr_InvalidParameter,
                                                         "malformed request: op is missing or not text")}});
        return;
    }
    const std::string name = op->get<std::string>();
    if (!usesDescriptor(name)) closeDescriptor();

    Outcome outcome;
    try {
        outcome = perform(name, packet, receivedFd);
    } catch (const std::exception& failure) {
        // What the unit itself threw; requests are read without throwing.
        outcome.error = remote::errorJSON(audiounit::kAudioUnitErr_FailedInitialization,
                                          std::string("the audio unit failed: ") + failure.what());
    }
    if (!id) {
        if (!outcome.error.is_null()) logDropped(outcome.error.value("description", std::string("refused")));
        return;  // one-way
    }
    json reply = {{"reply", *id}};
    if (outcome.error.is_null())
        reply["result"] = std::move(outcome.result);
    else
        reply["error"] = std::move(outcome.error);
    std::lock_guard lock(sendMutex_);
    sendToHost(socket_, reply);
}

void UnitService::handleBytes(std::span<const char> bytes, int receivedFd) {
    if (const auto packet = remote::parsePacket(bytes)) return handle(*packet, receivedFd);
    if (receivedFd >= 0) ::close(receivedFd);
    logDropped("not one JSON object within the size and nesting limits");
}

json UnitService::describe() {
    json description;
    if (const auto tree = unit_->parameterTree()) description["parameterTree"] = remote::describeParameterTree(*tree);
    description["inputBusses"] = busesOf(unit_->inputBusses());
    description["outputBusses"] = busesOf(unit_->outputBusses());
    description["channelCapabilities"] = unit_->channelCapabilities();
    description["MIDIOutputNames"] = unit_->MIDIOutputNames();
    json presets = json::array();
    for (const auto& preset : unit_->factoryPresets()) presets.push_back(presetJSON(preset));
    description["factoryPresets"] = std::move(presets);
    description["latency"] = unit_->latency();
    description["tailTime"] = unit_->tailTime();
    description["supportsUserPresets"] = unit_->supportsUserPresets();
    description["maximumFramesToRender"] = unit_->maximumFramesToRender();
    description["shouldBypassEffect"] = unit_->shouldBypassEffect();
    json editor = {{"available", false}};
    if (const auto controller = std::dynamic_pointer_cast<ui::NSViewController>(avAudioUnit_->principalObject())) {
        const auto size = controller->preferredContentSize();
        editor = {{"available", true}, {"width", size.width}, {"height", size.height}};
    }
    description["editor"] = std::move(editor);
    return description;
}

UnitService::Outcome UnitService::perform(const std::string& op, const json& packet, int receivedFd) {
    using namespace audiounit;
    remote::FieldReader request(packet);
    auto failure = [](std::int32_t code, const std::string& text) { return Outcome{nullptr, remote::errorJSON(code, text)}; };
    auto malformed = [&] { return failure(kAudioUnitErr_InvalidParameter, "malformed request: " + request.problem()); };
    auto parameterAt = [&]() -> AUParameterPtr {
        const auto address = request.integer<AUParameterAddress>("address");
        const auto tree = unit_->parameterTree();
        return request.ok() && tree ? tree->parameterWithAddress(address) : nullptr;
    };
    constexpr double kLargestFloat = std::numeric_limits<float>::max();
    foundation::NSError error;

    if (op == "describe") return {describe()};
    if (op == "setParameter") {
        const auto parameter = parameterAt();
        const double value = request.number("value", -kLargestFloat, kLargestFloat);
        const auto hostTime = request.integer<std::uint64_t>("hostTime");
        const auto type = request.integer<std::uint32_t>("eventType", 0, 2);
        if (!request.ok()) return malformed();
        if (!parameter) return failure(kAudioUnitErr_InvalidParameter, "no such parameter");
        parameter->setValue(static_cast<AUValue>(value), mirrorToken_, hostTime,
                            static_cast<AUParameterAutomationEventType>(type));
        return {};
    }
    if (op == "stringFromValue") {
        const auto parameter = parameterAt();
        std::optional<AUValue> value;
        if (request.has("value")) value = static_cast<AUValue>(request.number("value", -kLargestFloat, kLargestFloat));
        if (!request.ok()) return malformed();
        if (!parameter) return failure(kAudioUnitErr_InvalidParameter, "no such parameter");
        return {parameter->stringFromValue(value)};
    }
    if (op == "valueFromString") {
        const auto parameter = parameterAt();
        const std::string text = request.text("text");
        if (!request.ok()) return malformed();
        if (!parameter) return failure(kAudioUnitErr_InvalidParameter, "no such parameter");
        const AUValue value = parameter->valueFromString(text);
        // The reply carries finite numbers only.
        return {std::isfinite(value) ? value : parameter->minValue()};
    }
    if (op == "setBusFormat") {
        const std::string busType = request.text("busType");
        const auto index = request.integer<NSInteger>("index", 0);
        const double sampleRate =
            request.number("sampleRate", AVAudioFormat::kMinimumSampleRate, AVAudioFormat::kMaximumSampleRate);
        const auto channels = request.integer<AVAudioChannelCount>("channels", 1, AVAudioFormat::kMaxChannels);
        if (request.ok() && busType != "input" && busType != "output")
            request.fail("busType is not \"input\" or \"output\"");
        if (!request.ok()) return malformed();
        const auto array = busType == "input" ? unit_->inputBusses() : unit_->outputBusses();
        const auto bus = array && index < array->count() ? (*array)[index] : nullptr;
        if (!bus) return failure(kAudioUnitErr_InvalidElement, "no such bus");
        const auto format = AVAudioFormat::makeStandard(sampleRate, channels);
        if (!format) return failure(kAudioUnitErr_FormatNotSupported, "unusable format");
        if (!bus->setFormat(format, &error)) return {nullptr, errorFrom(error, kAudioUnitErr_FormatNotSupported)};
        return {};
    }
    if (op == "setMaximumFramesToRender") {
        // Refused before the unit allocates anything for it.
        const auto frames = request.integer<AUAudioFrameCount>("frames", 1, kMaximumFramesToRenderLimit);
        if (!request.ok()) return malformed();
        unit_->setMaximumFramesToRender(frames);
        return {};
    }
    if (op == "setShouldBypassEffect") {
        const bool bypass = request.boolean("bypass");
        if (!request.ok()) return malformed();
        unit_->setShouldBypassEffect(bypass);
        return {};
    }
    if (op == "allocateRenderResources") {
        json refusal;
        if (!allocate(packet, receivedFd, refusal)) return {nullptr, std::move(refusal)};
        return {};
    }
    if (op == "deallocateRenderResources") {
        deallocate();
        return {};
    }
    if (op == "currentPreset") return {presetJSON(unit_->currentPreset())};
    if (op == "setCurrentPreset") {
        // null: no preset
        const auto field = packet.find("preset");
        if (field == packet.end()) return failure(kAudioUnitErr_InvalidParameter, "malformed request: preset is missing");
        AUAudioUnitPresetPtr preset;
        if (!field->is_null()) {
            remote::FieldReader fields = request.nested(*field, "preset");
            const auto number = fields.integer<NSInteger>("number");
            const std::string name = fields.text("name");
            if (!request.ok()) return malformed();
            preset = AUAudioUnitPreset::make(number, name);
        }
        unit_->setCurrentPreset(preset);
        return {};
    }
    if (op == "fullState") return {unit_->fullState()};
    if (op == "setFullState") {
        const auto state = packet.find("state");
        if (state == packet.end()) return failure(kAudioUnitErr_InvalidParameter, "malformed request: state is missing");
        // The unit checks the state itself.
        if (!unit_->setFullState(*state, &error)) return {nullptr, errorFrom(error, kAudioUnitErr_InvalidPropertyValue)};
        return {};
    }
    if (op == "openEditor") {
        ui::Window::Options options;
        options.parent = request.integer<std::uint32_t>("parent", 1, (1u << 29) - 1);
        options.display = request.text("display");
        options.scale = std::clamp(request.number("scale", 0.01, 100), 0.25, 8.0);
        const double width = request.number("width", 1, 16384);
        const double height = request.number("height", 1, 16384);
        if (!request.ok()) return malformed();
        const auto controller = std::dynamic_pointer_cast<ui::NSViewController>(avAudioUnit_->principalObject());
        if (!controller) return failure(kAudioUnitErr_InvalidProperty, "the audio unit has no editor");
        editorWindow_.reset();
        options.size = {width / options.scale, height / options.scale};
        std::string why;
        editorWindow_ = ui::Window::create(options, &why);
        if (!editorWindow_) return failure(kAudioUnitErr_FailedInitialization, "cannot show the editor: " + why);
        editorWindow_->setContentViewController(controller);
        editorWindow_->show();
        editorWindow_->attachToMainRunLoop();
        return {editorWindow_->windowId()};
    }
    if (op == "snapshotEditor") return snapshotEditor(packet, receivedFd);
    if (op == "closeEditor") {
        editorWindow_.reset();
        return {};
    }
    return failure(kAudioUnitErr_InvalidProperty, "unknown request \"" + op + "\"");
}

UnitService::Outcome UnitService::snapshotEditor(const json& packet, int receivedFd) {
    // Read without throwing, so that the host's memory for the pixels is owned
    // (and closed on every path) before anything can fail.
    remote::FieldReader request(packet);
    const double width = request.number("width", 0, 16384);
    const double height = request.number("height", 0, 16384);
    const double scale = request.number("scale", 0, 64);
    const double originX = request.number("originX", -1e9, 1e9);
    const double originY = request.number("originY", -1e9, 1e9);
    const bool withPixels = request.boolean("pixels");
    remote::SharedMemory memory;
    std::string why;
    const bool sizeValid =
        request.ok() && width > 0 && height > 0 && scale > 0 && width * scale <= 16384 && height * scale <= 16384;
    const int pixelWidth = sizeValid ? static_cast<int>(std::ceil(width * scale)) : 0;
    const int pixelHeight = sizeValid ? static_cast<int>(std::ceil(height * scale)) : 0;
    const std::size_t bytes = std::size_t(pixelWidth) * 4 * std::size_t(pixelHeight);
    if (receivedFd >= 0) memory = remote::SharedMemory::adopt(receivedFd, bytes, &why);
    auto failure = [](std::int32_t code, const std::string& text) { return Outcome{nullptr, remote::errorJSON(code, text)}; };
    if (!request.ok())
        return failure(audiounit::kAudioUnitErr_InvalidParameter, "malformed request: " + request.problem());
    if (!sizeValid) return failure(audiounit::kAudioUnitErr_InvalidPropertyValue, "no such editor size");
    if (withPixels && !memory) return failure(audiounit::kAudioUnitErr_InvalidPropertyValue, "no memory for the pixels: " + why);
    const auto controller = std::dynamic_pointer_cast<ui::NSViewController>(avAudioUnit_->principalObject());
    if (!controller) return failure(audiounit::kAudioUnitErr_InvalidProperty, "the audio unit has no editor");

    // The editor's view at the asked size; an editor shown in a window gets
    // its own size back afterwards.
    const auto view = controller->view();
    const ui::Rect shownFrame = view->frame();
    view->setFrame({0, 0, width, height});
    json result;
    result["inspection"] = view->inspect({originX, originY}, scale);
    if (withPixels) {
        const ui::Image image = view->render(scale);
        cairo_surface_t* surface = image.surface();
        const unsigned char* source = cairo_image_surface_get_data(surface);
        const int sourceStride = cairo_image_surface_get_stride(surface);
        auto* target = reinterpret_cast<unsigned char*>(memory.data());
        const int rows = std::min(pixelHeight, image.height());
        const std::size_t rowBytes = std::size_t(std::min(pixelWidth, image.width())) * 4;
        for (int y = 0; y < rows; ++y)
            std::memcpy(target + std::size_t(y) * std::size_t(pixelWidth) * 4, source + std::size_t(y) * std::size_t(sourceStride), rowBytes);
    }
    if (!(shownFrame == view->frame())) view->setFrame(shownFrame);
    return {std::move(result)};
}

bool UnitService::allocate(const json& packet, int receivedFd, json& refusal) {
    deallocate();
    const auto field = packet.find("layout");
    const auto layout = field != packet.end() ? remote::CycleLayout::fromJSON(*field) : std::nullopt;
    if (!layout || receivedFd < 0) {
        if (receivedFd >= 0) ::close(receivedFd);
        refusal = remote::errorJSON(audiounit::kAudioUnitErr_InvalidParameter, "no usable render memory");
        return false;
    }
    std::string why;
    auto memory = remote::SharedMemory::adopt(receivedFd, layout->totalBytes, &why);
    if (!memory) {
        refusal = remote::errorJSON(audiounit::kAudioUnitErr_FailedInitialization, "cannot map the render memory: " + why);
        return false;
    }
    foundation::NSError error;
    if (!unit_->allocateRenderResources(&error)) {
        refusal = errorFrom(error, audiounit::kAudioUnitErr_FailedInitialization);
        return false;
    }
    memory_ = std::move(memory);
    area_ = remote::CycleArea(memory_.data(), *layout);
    outputList_ = audiounit::AudioBufferListStorage(std::max(1u, layout->outputChannels));
    outputList_->mNumberBuffers = layout->outputChannels;
    renderBlock_ = unit_->renderBlock();
    // Render thread: hands the unit the input the host pulled.
    pullInput_ = [this](audiounit::AudioUnitRenderActionFlags*, const audiounit::AudioTimeStamp*,
                        audiounit::AUAudioFrameCount frameCount, audiounit::NSInteger,
                        AudioBufferList* inputData) -> OSStatus {
        const remote::CycleHeader& header = area_.header();
        if (header.hasPullInput == 0) return audiounit::kAudioUnitErr_NoConnection;
        if (header.pullStatus != audiounit::noErr) return header.pullStatus;
        if (inputData == nullptr) return audiounit::kAudioUnitErr_InvalidParameter;
        const std::uint32_t inputChannels = area_.layout().inputChannels;
        const std::uint32_t frames = std::min(frameCount, header.frameCount);
        for (std::uint32_t c = 0; c < inputData->mNumberBuffers; ++c) {
            auto& buffer = inputData->mBuffers[c];
            if (c >= inputChannels) {
                if (buffer.mData != nullptr) std::memset(buffer.mData, 0, std::size_t{frames} * sizeof(float));
                continue;
            }
            if (buffer.mData == nullptr)
                buffer.mData = area_.input(c);
            else
                std::memcpy(buffer.mData, area_.input(c), std::size_t{frames} * sizeof(float));
            buffer.mDataByteSize = frames * sizeof(float);
        }
        return audiounit::noErr;
    };
    rendering_.store(true, std::memory_order_release);
    renderThread_ = std::thread([this] { renderLoop(); });
    // The render thread is part of the host's real-time path (the host's audio
    // thread waits for it each cycle): it takes real-time scheduling where the
    // system grants it, above every ordinary thread and below audio servers,
    // and stays an ordinary thread elsewhere.
    sched_param scheduling{};
    scheduling.sched_priority = kRenderThreadPriority;
    (void)::pthread_setschedparam(renderThread_.native_handle(), SCHED_FIFO, &scheduling);
    return true;
}

void UnitService::deallocate() {
    if (renderThread_.joinable()) {
        rendering_.store(false, std::memory_order_release);
        remote::futexWake(area_.header().request);
        renderThread_.join();
        unit_->deallocateRenderResources();
    }
    area_ = {};
    memory_ = {};
}

// Render thread: waits for the host's next cycle (waking now and then to see
// whether to stop), renders it and answers.
void UnitService::renderLoop() noexcept {
    remote::CycleHeader& header = area_.header();
    std::uint32_t answered = header.reply.load(std::memory_order_acquire);
    while (rendering_.load(std::memory_order_acquire)) {
        const std::uint32_t requested = header.request.load(std::memory_order_acquire);
        if (requested == answered) {
            remote::futexWait(header.request, requested, 100'000'000);
            continue;
        }
        renderCycle();
        answered = requested;
        header.reply.store(requested, std::memory_order_release);
        remote::futexWake(header.reply);
    }
}

// Render thread: the host's cycle through the unit's own render block. Its
// events are scheduled into the unit first, with their sample times, so that
// the unit's render block hands them over exactly as it would in process.
void UnitService::renderCycle() noexcept {
    remote::CycleHeader& header = area_.header();
    const auto& layout = area_.layout();
    const std::uint32_t frames = header.frameCount;
    if (frames > layout.maximumFrames) {
        header.status = audiounit::kAudioUnitErr_TooManyFramesToProcess;
        return;
    }
    const std::uint32_t eventCount = std::min(header.eventCount, remote::kMaxCycleEvents);
    for (std::uint32_t i = 0; i < eventCount; ++i) {
        const AURenderEvent& event = area_.events()[i];
        switch (event.head.eventType) {
            case audiounit::AURenderEventType::Parameter:
            case audiounit::AURenderEventType::ParameterRamp:
                unit_->scheduleParameterBlock()(event.parameter.eventSampleTime,
                                                event.parameter.rampDurationSampleFrames,
                                                event.parameter.parameterAddress, event.parameter.value);
                break;
            case audiounit::AURenderEventType::MIDI:
                unit_->scheduleMIDIEventBlock()(event.MIDI.eventSampleTime, event.MIDI.cable,
                                                std::min<audiounit::NSInteger>(event.MIDI.length, 3), event.MIDI.data);
                break;
            case audiounit::AURenderEventType::MIDIEventList:
                if (event.MIDIEventsList.eventList.numPackets == 1 &&
                    event.MIDIEventsList.eventList.packet[0].wordCount <= 64)
                    (void)unit_->scheduleMIDIEventListBlock()(event.MIDIEventsList.eventSampleTime,
                                                              event.MIDIEventsList.cable,
                                                              &event.MIDIEventsList.eventList);
                break;
            default: break;  // system exclusive does not cross
        }
    }
    AudioBufferList& output = *outputList_.get();
    for (std::uint32_t c = 0; c < layout.outputChannels; ++c) {
        output.mBuffers[c].mNumberChannels = 1;
        output.mBuffers[c].mDataByteSize = frames * sizeof(float);
        output.mBuffers[c].mData = area_.output(c);
    }
    audiounit::AudioTimeStamp timestamp = header.timestamp;
    const bool hasTimestamp = (timestamp.mFlags & (1u << 31)) != 0;
    timestamp.mFlags &= ~(1u << 31);
    audiounit::AudioUnitRenderActionFlags flags = header.actionFlags;
    const OSStatus status = renderBlock_(&flags, hasTimestamp ? &timestamp : nullptr, frames, header.outputBusNumber,
                                         &output, header.hasPullInput != 0 ? &pullInput_ : nullptr);
    // A unit that rendered in place left its own pointers.
    for (std::uint32_t c = 0; c < layout.outputChannels; ++c) {
        const void* rendered = output.mBuffers[c].mData;
        if (rendered != nullptr && rendered != area_.output(c))
            std::memcpy(area_.output(c), rendered, std::size_t{frames} * sizeof(float));
    }
    header.actionFlags = flags;
    header.status = status;
}
