#include "UnitService.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AVAudioFormat.hpp"
#include "ui/ViewController.hpp"
#include "ui/Window.hpp"

using audiounit::AUAudioUnit;
using audiounit::AURenderEvent;
using audiounit::AudioBufferList;
using audiounit::OSStatus;
using nlohmann::json;
namespace remote = audiounit::remote;

namespace {

// A request the unit refused, in reply form.
struct Refusal {
    std::int32_t code;
    std::string description;
};

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

}  // namespace

UnitService::UnitService(int socket, std::shared_ptr<audiounit::AVAudioUnit> unit)
    : socket_(socket), avAudioUnit_(std::move(unit)), unit_(avAudioUnit_->auAudioUnit()) {
    if (const auto tree = unit_->parameterTree()) {
        // Thread: whichever changed the value here (main thread, or a thread of
        // the unit's own). Changes the host made carry this token and do not go back.
        mirrorToken_ = tree->tokenByAddingParameterAutomationObserver(
            [this](std::span<const audiounit::AUParameterAutomationEvent> events) {
                for (const auto& e : events)
                    sendEvent({{"event", "parameter"},
                               {"address", e.address},
                               {"value", e.value},
                               {"hostTime", e.hostTime},
                               {"eventType", static_cast<std::uint32_t>(e.eventType)}});
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
    remote::sendPacket(socket_, event);
}

void UnitService::refuse(int socket, const json& packet, std::int32_t code, const std::string& description) {
    if (!packet.contains("id")) return;
    remote::sendPacket(socket, {{"reply", packet["id"]}, {"error", remote::errorJSON(code, description)}});
}

void UnitService::handle(const json& packet, int receivedFd) {
    const std::string op = packet.value("op", "");
    json reply = {{"reply", packet.value("id", std::uint64_t{0})}};
    try {
        json result = perform(op, packet, receivedFd);
        if (result.is_object() && result.contains("__error"))
            reply["error"] = result["__error"];
        else
            reply["result"] = std::move(result);
    } catch (const std::exception& failure) {
        reply["error"] = remote::errorJSON(audiounit::kAudioUnitErr_InvalidPropertyValue,
                                           std::string("malformed request: ") + failure.what());
    }
    if (!packet.contains("id")) return;  // one-way
    std::lock_guard lock(sendMutex_);
    remote::sendPacket(socket_, reply);
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

json UnitService::perform(const std::string& op, const json& packet, int receivedFd) {
    auto failure = [](std::int32_t code, const std::string& text) { return json{{"__error", remote::errorJSON(code, text)}}; };
    auto parameterAt = [&]() -> audiounit::AUParameterPtr {
        const auto tree = unit_->parameterTree();
        return tree ? tree->parameterWithAddress(packet.at("address").get<audiounit::AUParameterAddress>()) : nullptr;
    };
    foundation::NSError error;

    if (op == "describe") return describe();
    if (op == "setParameter") {
        if (const auto parameter = parameterAt()) {
            const auto type = packet.value("eventType", std::uint32_t{0});
            parameter->setValue(packet.at("value").get<audiounit::AUValue>(), mirrorToken_,
                                packet.value("hostTime", std::uint64_t{0}),
                                type <= 2 ? static_cast<audiounit::AUParameterAutomationEventType>(type)
                                          : audiounit::AUParameterAutomationEventType::Value);
        }
        return nullptr;
    }
    if (op == "stringFromValue") {
        const auto parameter = parameterAt();
        if (!parameter) return failure(audiounit::kAudioUnitErr_InvalidParameter, "no such parameter");
        std::optional<audiounit::AUValue> value;
        if (packet.contains("value") && packet["value"].is_number()) value = packet["value"].get<audiounit::AUValue>();
        return parameter->stringFromValue(value);
    }
    if (op == "valueFromString") {
        const auto parameter = parameterAt();
        if (!parameter) return failure(audiounit::kAudioUnitErr_InvalidParameter, "no such parameter");
        return parameter->valueFromString(packet.at("text").get<std::string>());
    }
    if (op == "setBusFormat") {
        const auto array = packet.at("busType").get<std::string>() == "input" ? unit_->inputBusses() : unit_->outputBusses();
        const auto index = packet.at("index").get<audiounit::NSInteger>();
        const auto bus = array && index >= 0 && index < array->count() ? (*array)[index] : nullptr;
        if (!bus) return failure(audiounit::kAudioUnitErr_InvalidElement, "no such bus");
        const auto format = audiounit::AVAudioFormat::makeStandard(packet.at("sampleRate").get<double>(),
                                                                   packet.at("channels").get<audiounit::AVAudioChannelCount>());
        if (!format) return failure(audiounit::kAudioUnitErr_FormatNotSupported, "unusable format");
        if (!bus->setFormat(format, &error)) return json{{"__error", errorFrom(error, audiounit::kAudioUnitErr_FormatNotSupported)}};
        return nullptr;
    }
    if (op == "setMaximumFramesToRender") {
        unit_->setMaximumFramesToRender(packet.at("frames").get<audiounit::AUAudioFrameCount>());
        return nullptr;
    }
    if (op == "setShouldBypassEffect") {
        unit_->setShouldBypassEffect(packet.at("bypass").get<bool>());
        return nullptr;
    }
    if (op == "allocateRenderResources") {
        json refusal;
        if (!allocate(packet, receivedFd, refusal)) return json{{"__error", refusal}};
        return nullptr;
    }
    if (op == "deallocateRenderResources") {
        deallocate();
        return nullptr;
    }
    if (op == "currentPreset") return presetJSON(unit_->currentPreset());
    if (op == "setCurrentPreset") {
        const auto& preset = packet.at("preset");
        unit_->setCurrentPreset(preset.is_object() ? audiounit::AUAudioUnitPreset::make(preset.at("number").get<audiounit::NSInteger>(),
                                                                                       preset.at("name").get<std::string>())
                                                   : nullptr);
        return nullptr;
    }
    if (op == "fullState") return unit_->fullState();
    if (op == "setFullState") {
        if (!unit_->setFullState(packet.at("state"), &error))
            return json{{"__error", errorFrom(error, audiounit::kAudioUnitErr_InvalidPropertyValue)}};
        return nullptr;
    }
    if (op == "openEditor") {
        const auto controller = std::dynamic_pointer_cast<ui::NSViewController>(avAudioUnit_->principalObject());
        if (!controller) return failure(audiounit::kAudioUnitErr_InvalidProperty, "the audio unit has no editor");
        editorWindow_.reset();
        ui::Window::Options options;
        options.parent = packet.at("parent").get<unsigned long>();
        options.display = packet.value("display", std::string());
        options.scale = std::clamp(packet.value("scale", 1.0), 0.25, 8.0);
        options.size = {packet.at("width").get<double>() / options.scale, packet.at("height").get<double>() / options.scale};
        std::string why;
        editorWindow_ = ui::Window::create(options, &why);
        if (!editorWindow_) return failure(audiounit::kAudioUnitErr_FailedInitialization, "cannot show the editor: " + why);
        editorWindow_->setContentViewController(controller);
        editorWindow_->show();
        editorWindow_->attachToMainRunLoop();
        return editorWindow_->windowId();
    }
    if (op == "snapshotEditor") return snapshotEditor(packet, receivedFd);
    if (op == "closeEditor") {
        editorWindow_.reset();
        return nullptr;
    }
    return failure(audiounit::kAudioUnitErr_InvalidProperty, "unknown request \"" + op + "\"");
}

json UnitService::snapshotEditor(const json& packet, int receivedFd) {
    // Read without throwing, so that the host's memory for the pixels is owned
    // (and closed on every path) before anything can fail.
    const auto number = [&](const char* key) {
        const auto it = packet.find(key);
        return it != packet.end() && it->is_number() ? it->get<double>() : 0.0;
    };
    const double width = number("width"), height = number("height"), scale = number("scale");
    const auto pixels = packet.find("pixels");
    const bool withPixels = pixels != packet.end() && pixels->is_boolean() && pixels->get<bool>();
    remote::SharedMemory memory;
    std::string why;
    const bool sizeValid = width > 0 && height > 0 && scale > 0 && width * scale <= 16384 && height * scale <= 16384;
    const int pixelWidth = sizeValid ? static_cast<int>(std::ceil(width * scale)) : 0;
    const int pixelHeight = sizeValid ? static_cast<int>(std::ceil(height * scale)) : 0;
    const std::size_t bytes = std::size_t(pixelWidth) * 4 * std::size_t(pixelHeight);
    if (receivedFd >= 0) memory = remote::SharedMemory::adopt(receivedFd, bytes, &why);
    auto failure = [](std::int32_t code, const std::string& text) { return json{{"__error", remote::errorJSON(code, text)}}; };
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
    result["inspection"] = view->inspect({number("originX"), number("originY")}, scale);
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
    return result;
}

bool UnitService::allocate(const json& packet, int receivedFd, json& refusal) {
    deallocate();
    const auto layout = remote::CycleLayout::fromJSON(packet.value("layout", json()));
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
