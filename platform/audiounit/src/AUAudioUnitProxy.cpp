#include "audiounit/AUAudioUnitProxy.hpp"

#include <cmath>

#include "ControlMirror.hpp"
#include "RemoteRenderCycle.hpp"
#include "ServiceConnection.hpp"
#include "audiounit/AUAudioUnitBus.hpp"
#include "audiounit/AudioComponentInstanceInvalidation.hpp"
#include "foundation/NotificationCenter.hpp"

namespace audiounit {

using foundation::NSError;
using nlohmann::json;
using remote::failWith;

namespace {

// How long the service may take to start and create its unit.
constexpr std::chrono::seconds kLaunchTimeout{20};

}  // namespace

// MARK: - Construction

AUAudioUnitProxy::AUAudioUnitProxy(ConstructionKey key)
    : AUAudioUnit(key),
      connection_(std::make_shared<remote::ServiceConnection>(kDefaultHangTimeout)),
      control_(std::make_unique<remote::ControlMirror>(connection_)),
      render_(std::make_unique<remote::RemoteRenderCycle>(*connection_)) {}

AUAudioUnitProxy::~AUAudioUnitProxy() { connection_->shutdown(); }

std::shared_ptr<AUAudioUnitProxy> AUAudioUnitProxy::launch(const AVAudioUnitComponentPtr& component,
                                                           AudioComponentInstantiationOptions options,
                                                           NSError* outError) {
    if (!component) {
        failWith(outError, kAudioUnitErr_ExtensionNotFound, "No component to instantiate");
        return nullptr;
    }
    auto proxy = AUAudioUnit::create<AUAudioUnitProxy>(component->audioComponentDescription, options, outError);
    if (!proxy || !proxy->connect(component, outError)) return nullptr;
    return proxy;
}

bool AUAudioUnitProxy::connect(const AVAudioUnitComponentPtr& component, NSError* outError) {
    const auto program = audioUnitServiceProgram();
    if (!program) {
        failWith(outError, kAudioUnitErr_FailedInitialization,
                 std::string("The audio-unit service ") + kAudioUnitServiceProgramName + " is not installed");
        return false;
    }
    // The connection's thread reaches the proxy weakly: it must not keep it alive.
    const std::weak_ptr<AUAudioUnitProxy> weak = std::static_pointer_cast<AUAudioUnitProxy>(shared_from_this());
    // Connection thread: a parameter change or all values changed, from the service.
    connection_->onEvent = [weak](const remote::ServiceMessage& event) {
        const auto self = weak.lock();
        if (!self) return;
        if (const auto* changed = std::get_if<remote::ParameterChangedEvent>(&event)) {
            self->control_->applyParameterChange(self->parameterTree(), *changed);
        } else if (std::holds_alternative<remote::AllParameterValuesChangedEvent>(event)) {
            self->postAllParameterValuesChanged();
        }
    };
    // Connection thread.
    connection_->isRenderHung = [weak] {
        const auto self = weak.lock();
        return self && self->render_->hung(self->connection_->hangTimeout());
    };
    // The thread that noticed: the connection's, or one whose request timed out.
    connection_->onEnd = [weak] {
        if (const auto self = weak.lock()) {
            std::shared_ptr<AUAudioUnit> unit = self;
            foundation::NotificationCenter::defaultCenter().post(kAudioComponentInstanceInvalidationNotification, unit);
        }
    };
    if (!connection_->start(*program, *component, outError)) return false;
    const auto result = connection_->requestWithin({{"op", "describe"}}, kLaunchTimeout, outError);
    if (!result) return false;
    remote::UnitDescription description;
    std::string problem;
    if (!remote::decodeUnitDescription(*result, description, problem)) {
        // No unit exists yet to invalidate; the proxy's end stops the service.
        failWith(outError, kAudioUnitErr_FailedInitialization,
                 "The audio unit's service described the unit badly: " + problem);
        return false;
    }
    if (!control_->adopt(std::move(description), shared_from_this(), outError)) return false;
    if (const auto& tree = control_->description().parameterTree) setParameterTree(tree);
    return true;
}

// MARK: - The service

bool AUAudioUnitProxy::isServiceAlive() const noexcept { return connection_->alive(); }
pid_t AUAudioUnitProxy::servicePID() const noexcept { return connection_->pid(); }
void AUAudioUnitProxy::killServiceForTesting() { connection_->killService(); }
std::uint64_t AUAudioUnitProxy::missedCycleCount() const noexcept { return render_->missedCycleCount(); }
std::uint64_t AUAudioUnitProxy::droppedEventCount() const noexcept { return render_->droppedEventCount(); }
void AUAudioUnitProxy::setRenderDeadline(std::chrono::nanoseconds deadline) noexcept { render_->setDeadline(deadline); }
void AUAudioUnitProxy::setHangTimeout(std::chrono::milliseconds timeout) noexcept {
    connection_->setHangTimeout(timeout);
}

// MARK: - Properties

AUAudioUnitBusArrayPtr AUAudioUnitProxy::inputBusses() const { return control_->inputBusses(); }
AUAudioUnitBusArrayPtr AUAudioUnitProxy::outputBusses() const { return control_->outputBusses(); }
std::vector<NSInteger> AUAudioUnitProxy::channelCapabilities() const {
    return control_->description().channelCapabilities;
}
std::vector<std::string> AUAudioUnitProxy::MIDIOutputNames() const { return control_->description().midiOutputNames; }
double AUAudioUnitProxy::latency() const { return control_->description().latency; }
double AUAudioUnitProxy::tailTime() const { return control_->description().tailTime; }
bool AUAudioUnitProxy::supportsUserPresets() const { return control_->description().supportsUserPresets; }
std::vector<AUAudioUnitPresetPtr> AUAudioUnitProxy::factoryPresets() const { return control_->factoryPresets(); }
AUAudioUnitProxy::EditorInfo AUAudioUnitProxy::editorInfo() const {
    const auto& described = control_->description();
    return {described.editorAvailable, described.editorWidth, described.editorHeight};
}

bool AUAudioUnitProxy::shouldChangeToFormat(const AVAudioFormat& format, const AUAudioUnitBus& bus,
                                            NSError* outError) {
    if (!AUAudioUnit::shouldChangeToFormat(format, bus, outError)) return false;
    if (!format.isStandard()) {
        failWith(outError, kAudioUnitErr_FormatNotSupported, "Out-of-process units take the standard format only");
        return false;
    }
    return control_->setBusFormat(format, bus, outError);
}

AUAudioFrameCount AUAudioUnitProxy::maximumFramesToRender() const { return control_->maximumFramesToRender(); }
void AUAudioUnitProxy::setMaximumFramesToRender(AUAudioFrameCount frames) {
    control_->setMaximumFramesToRender(frames);
}
bool AUAudioUnitProxy::shouldBypassEffect() const { return control_->shouldBypassEffect(); }
void AUAudioUnitProxy::setShouldBypassEffect(bool bypass) { control_->setShouldBypassEffect(bypass); }

AUAudioUnitPresetPtr AUAudioUnitProxy::currentPreset() const { return control_->currentPreset(); }

void AUAudioUnitProxy::setCurrentPreset(AUAudioUnitPresetPtr preset) {
    if (preset && preset->number() < 0) {
        // User presets live on this side, in this host's folder; the base
        // applies their values through the tree, which reaches the service.
        AUAudioUnit::setCurrentPreset(std::move(preset));
        return;
    }
    control_->setFactoryPreset(preset);
}

json AUAudioUnitProxy::fullState() const {
    if (auto state = control_->fullState()) return std::move(*state);
    return AUAudioUnit::fullState();
}

bool AUAudioUnitProxy::setFullState(const json& state, NSError* outError) {
    return control_->setFullState(state, outError);
}

// MARK: - Editor

unsigned long AUAudioUnitProxy::openEditor(unsigned long parentWindow, const std::string& display, int width,
                                           int height, double scale, NSError* outError) {
    unsigned long window = 0;
    if (!connection_->requestChecked({{"op", "openEditor"},
                         {"parent", parentWindow},
                         {"display", display},
                         {"width", width},
                         {"height", height},
                         {"scale", scale > 0 ? scale : 1.0}},
                        [&](const json& result, std::string& problem) {
                            return remote::decodeEditorWindow(result, window, problem);
                        },
                        outError))
        return 0;
    return window;
}

void AUAudioUnitProxy::closeEditor() { connection_->request({{"op", "closeEditor"}}); }

std::optional<AUAudioUnitProxy::EditorSnapshot> AUAudioUnitProxy::snapshotEditor(double width, double height,
                                                                                 double originX, double originY,
                                                                                 double scale, bool withPixels,
                                                                                 NSError* outError) {
    if (!(width > 0 && height > 0 && scale > 0 && width * scale <= 16384 && height * scale <= 16384)) {
        failWith(outError, kAudioUnitErr_InvalidPropertyValue, "no such editor size");
        return std::nullopt;
    }
    EditorSnapshot snapshot;
    snapshot.pixelWidth = static_cast<int>(std::ceil(width * scale));
    snapshot.pixelHeight = static_cast<int>(std::ceil(height * scale));
    snapshot.stride = snapshot.pixelWidth * 4;
    // The pixels come back through memory the service writes into.
    remote::SharedMemory memory;
    if (withPixels) {
        std::string why;
        memory = remote::SharedMemory::create(std::size_t(snapshot.stride) * std::size_t(snapshot.pixelHeight), &why);
        if (!memory) {
            failWith(outError, kAudioUnitErr_FailedInitialization, why);
            return std::nullopt;
        }
    }
    if (!connection_->requestChecked({{"op", "snapshotEditor"},
                         {"width", width},
                         {"height", height},
                         {"originX", originX},
                         {"originY", originY},
                         {"scale", scale},
                         {"pixels", withPixels}},
                        [&](const json& result, std::string& problem) {
                            return remote::decodeEditorInspection(result, snapshot.inspection, problem);
                        },
                        outError, withPixels ? memory.fd() : -1))
        return std::nullopt;
    if (withPixels) {
        const auto* begin = reinterpret_cast<const std::uint8_t*>(memory.data());
        snapshot.pixels.assign(begin, begin + memory.size());
    }
    return snapshot;
}

// MARK: - Render resources

bool AUAudioUnitProxy::allocateRenderResources(NSError* outError) {
    const auto input = inputBusses()->count() > 0 ? (*inputBusses())[0]->format() : nullptr;
    const auto output = outputBusses()->count() > 0 ? (*outputBusses())[0]->format() : nullptr;
    if (!output) {
        failWith(outError, kAudioUnitErr_FailedInitialization, "a bus has no format");
        return false;
    }
    const AUAudioFrameCount maximumFrames = maximumFramesToRender();
    if (maximumFrames == 0) {
        failWith(outError, kAudioUnitErr_FailedInitialization, "the maximum frame count is 0");
        return false;
    }
    if (!isServiceAlive()) {
        failWith(outError, kAudioComponentErr_InstanceInvalidated, "The audio unit's service has ended");
        return false;
    }
    if (!render_->allocate(maximumFrames, input ? input->channelCount() : 0, output->channelCount(),
                           output->sampleRate(), outError))
        return false;
    if (!AUAudioUnit::allocateRenderResources(outError)) {
        deallocateRenderResources();
        return false;
    }
    return true;
}

void AUAudioUnitProxy::deallocateRenderResources() {
    AUAudioUnit::deallocateRenderResources();
    render_->deallocate();
}

AUInternalRenderBlock AUAudioUnitProxy::internalRenderBlock() {
    // Render thread: see RemoteRenderCycle::render. The parts live as long
    // as the proxy, which outlives its render block's use.
    return [render = render_.get(), control = control_.get()](
               AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp, AUAudioFrameCount frameCount,
               NSInteger outputBusNumber, AudioBufferList* outputData, const AURenderEvent* events,
               const AURenderPullInputBlock* pullInputBlock) {
        return render->render(control->maximumFramesToRender(), actionFlags, timestamp, frameCount,
                              outputBusNumber, outputData, events, pullInputBlock);
    };
}

}  // namespace audiounit
