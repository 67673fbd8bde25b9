#include "engine/AVAudioEngine.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "ClockAudioOutput.hpp"
#include "audiounit/AVAudioPCMBuffer.hpp"
#include "engine/AVAudioFile.hpp"
#include "engine/AVAudioPlayerNode.hpp"
#include "engine/JackAudioOutput.hpp"

namespace engine {
namespace {

void fill(foundation::NSError* outError, audiounit::OSStatus code, std::string text) {
    if (outError != nullptr) *outError = foundation::makeOSStatusError(code, std::move(text));
}

}  // namespace

AVAudioEngine::AVAudioEngine() : AVAudioEngine(AVAudioEngineOptions{}) {}

AVAudioEngine::AVAudioEngine(AVAudioEngineOptions options) : options_(std::move(options)) {
    options_.maximumFramesToRender = std::max<AUAudioFrameCount>(options_.maximumFramesToRender, 16);
    mainMixer_ = std::make_shared<AVAudioMixerNode>();
    output_ = std::make_shared<AVAudioOutputNode>();
    attach(output_);
    attach(mainMixer_);
}

AVAudioEngine::~AVAudioEngine() {
    stop();
    std::lock_guard lock(mutex_);
    jack_.reset();
    clock_.reset();
    RenderGate::Closed closed(gate_);
    for (const AVAudioNodePtr& node : nodes_) {
        node->releaseRenderResources();
        node->engine_ = nullptr;
    }
}

void AVAudioEngine::attach(const AVAudioNodePtr& node) {
    std::lock_guard lock(mutex_);
    if (!node || node->engine_ != nullptr) return;
    node->engine_ = this;
    nodes_.push_back(node);
    if (auto player = std::dynamic_pointer_cast<AVAudioPlayerNode>(node)) players_.push_back(std::move(player));
}

void AVAudioEngine::detach(const AVAudioNodePtr& node) {
    std::lock_guard lock(mutex_);
    if (!node || node->engine_ != this || node == mainMixer_ || node == output_) return;
    RenderGate::Closed closed(gate_);
    std::erase_if(connections_, [&](const Connection& c) {
        return c.source == node.get() || c.destination == node.get();
    });
    node->releaseRenderResources();
    node->engine_ = nullptr;
    std::erase(nodes_, node);
    std::erase_if(players_, [&](const auto& player) { return player == node; });
    graphChangedLocked(nullptr);
}

std::vector<AVAudioNodePtr> AVAudioEngine::attachedNodes() const {
    std::lock_guard lock(mutex_);
    return nodes_;
}

bool AVAudioEngine::isAttachedLocked(const AVAudioNode* node) const { return node != nullptr && node->engine_ == this; }

AVAudioNodePtr AVAudioEngine::sharedNodeLocked(const AVAudioNode* node) const {
    for (const AVAudioNodePtr& n : nodes_) {
        if (n.get() == node) return n;
    }
    return nullptr;
}

bool AVAudioEngine::connect(const AVAudioNodePtr& from, const AVAudioNodePtr& to, const AVAudioFormatPtr& format,
                            foundation::NSError* outError) {
    std::lock_guard lock(mutex_);
    AVAudioNodeBus toBus = 0;
    if (auto* mixer = dynamic_cast<AVAudioMixerNode*>(to.get())) {
        // A source already feeding this mixer keeps its bus.
        auto existing = std::find_if(connections_.begin(), connections_.end(), [&](const Connection& c) {
            return c.source == from.get() && c.sourceBus == 0 && c.destination == to.get();
        });
        toBus = existing != connections_.end() ? existing->destinationBus : mixer->nextAvailableInputBus();
    }
    return connect(from, 0, to, toBus, format, outError);
}

bool AVAudioEngine::connect(const AVAudioNodePtr& from, AVAudioNodeBus fromBus, const AVAudioNodePtr& to,
                            AVAudioNodeBus toBus, const AVAudioFormatPtr& format, foundation::NSError* outError) {
    std::lock_guard lock(mutex_);
    if (!isAttachedLocked(from.get()) || !isAttachedLocked(to.get()) || from == to) {
        fill(outError, audiounit::kAudioUnitErr_InvalidElement, "Both nodes must be attached to this engine.");
        return false;
    }
    if (fromBus >= from->numberOfOutputs() || toBus >= to->numberOfInputs()) {
        fill(outError, audiounit::kAudioUnitErr_InvalidElement, "The node has no such bus.");
        return false;
    }
    AVAudioFormatPtr connectionFormat = format ? format : outputHardwareFormat();
    if (!connectionFormat || !connectionFormat->isStandard()) {
        fill(outError, audiounit::kAudioUnitErr_FormatNotSupported,
             "Connections take the standard (deinterleaved 32-bit float) format.");
        return false;
    }
    RenderGate::Closed closed(gate_);
    std::erase_if(connections_, [&](const Connection& c) {
        return (c.source == from.get() && c.sourceBus == fromBus) ||
               (c.destination == to.get() && c.destinationBus == toBus);
    });
    connections_.push_back(Connection{from.get(), fromBus, to.get(), toBus, std::move(connectionFormat)});
    return graphChangedLocked(outError);
}

void AVAudioEngine::disconnectNodeInput(const AVAudioNodePtr& node) {
    std::lock_guard lock(mutex_);
    if (!isAttachedLocked(node.get())) return;
    RenderGate::Closed closed(gate_);
    std::erase_if(connections_, [&](const Connection& c) { return c.destination == node.get(); });
    graphChangedLocked(nullptr);
}

void AVAudioEngine::disconnectNodeInput(const AVAudioNodePtr& node, AVAudioNodeBus bus) {
    std::lock_guard lock(mutex_);
    if (!isAttachedLocked(node.get())) return;
    RenderGate::Closed closed(gate_);
    std::erase_if(connections_,
                  [&](const Connection& c) { return c.destination == node.get() && c.destinationBus == bus; });
    graphChangedLocked(nullptr);
}

void AVAudioEngine::disconnectNodeOutput(const AVAudioNodePtr& node) {
    std::lock_guard lock(mutex_);
    if (!isAttachedLocked(node.get())) return;
    RenderGate::Closed closed(gate_);
    std::erase_if(connections_, [&](const Connection& c) { return c.source == node.get(); });
    graphChangedLocked(nullptr);
}

std::optional<AVAudioConnectionPoint> AVAudioEngine::inputConnectionPoint(const AVAudioNode& node,
                                                                          AVAudioNodeBus bus) const {
    std::lock_guard lock(mutex_);
    for (const Connection& c : connections_) {
        if (c.destination == &node && c.destinationBus == bus) {
            return AVAudioConnectionPoint{sharedNodeLocked(c.source), c.sourceBus, c.format};
        }
    }
    return std::nullopt;
}

std::optional<AVAudioConnectionPoint> AVAudioEngine::outputConnectionPoint(const AVAudioNode& node,
                                                                           AVAudioNodeBus bus) const {
    std::lock_guard lock(mutex_);
    for (const Connection& c : connections_) {
        if (c.source == &node && c.sourceBus == bus) {
            return AVAudioConnectionPoint{sharedNodeLocked(c.destination), c.destinationBus, c.format};
        }
    }
    return std::nullopt;
}

AVAudioNodeRenderSetup AVAudioEngine::setupForLocked(const AVAudioNode& node) const {
    AVAudioNodeRenderSetup setup;
    setup.maximumFramesToRender = options_.maximumFramesToRender;
    for (const Connection& c : connections_) {
        if (c.destination == &node) {
            if (setup.inputs.size() <= c.destinationBus) setup.inputs.resize(c.destinationBus + 1);
            setup.inputs[c.destinationBus] = AVAudioNodeInput{c.source, c.format};
        }
        if (c.source == &node && c.sourceBus == 0) setup.outputFormat = c.format;
    }
    if (setup.inputs.empty() && node.numberOfInputs() > 0) setup.inputs.resize(1);
    return setup;
}

bool AVAudioEngine::graphChangedLocked(foundation::NSError* outError) {
    // While running the nodes follow the graph at once; otherwise at the next prepare or start.
    if (running_.load(std::memory_order_acquire)) return prepareLocked(outError);
    prepared_ = false;
    return true;
}

bool AVAudioEngine::prepareLocked(foundation::NSError* outError) {
    RenderGate::Closed closed(gate_);
    for (const AVAudioNodePtr& node : nodes_) {
        if (!node->prepareForRender(setupForLocked(*node), outError)) {
            prepared_ = false;
            return false;
        }
    }
    prepared_ = true;
    return true;
}

bool AVAudioEngine::prepare(foundation::NSError* outError) {
    std::lock_guard lock(mutex_);
    chooseOutputLocked();
    return prepareLocked(outError);
}

void AVAudioEngine::chooseOutputLocked() {
    if (kind_ != AVAudioEngineOutputKind::Undecided) return;
    foundation::NSError error;
    error.description = "no JACK server running";
    if (options_.useJack) {
        jack_ = JackAudioOutput::open(*this, options_.clientName, &error);
        if (jack_) {
            kind_ = AVAudioEngineOutputKind::Jack;
            hardwareFormat_ = jack_->hardwareFormat();
            return;
        }
    }
    std::printf("Audio output: %s; rendering to a silent clock\n", error.description.c_str());
    std::fflush(stdout);
    kind_ = AVAudioEngineOutputKind::SilentClock;
    hardwareFormat_ = audiounit::AVAudioFormat::makeStandard(options_.clockSampleRate, 2);
    clock_ = std::make_unique<ClockAudioOutput>(*this, options_.clockSampleRate, options_.clockPeriodFrames);
}

bool AVAudioEngine::start(foundation::NSError* outError) {
    std::lock_guard lock(mutex_);
    if (running_.load(std::memory_order_acquire)) return true;
    chooseOutputLocked();
    if (!prepared_ && !prepareLocked(outError)) return false;
    switch (kind_) {
        case AVAudioEngineOutputKind::Jack:
            if (!jack_->start(options_.connectToPhysicalPorts, outError)) return false;
            break;
        case AVAudioEngineOutputKind::SilentClock:
            clock_->start();
            break;
        case AVAudioEngineOutputKind::Offline:
        case AVAudioEngineOutputKind::Undecided:
            break;
    }
    running_.store(true, std::memory_order_release);
    return true;
}

void AVAudioEngine::stop() {
    std::lock_guard lock(mutex_);
    if (!running_.load(std::memory_order_acquire)) return;
    if (jack_) jack_->stop();
    if (clock_) clock_->stop();
    running_.store(false, std::memory_order_release);
}

std::optional<std::string> AVAudioEngine::outputLossReason() const {
    std::lock_guard lock(mutex_);
    return jack_ ? jack_->lossReason() : std::nullopt;
}

AVAudioMixerNodePtr AVAudioEngine::mainMixerNode() {
    std::lock_guard lock(mutex_);
    if (!mainMixerConnected_) {
        mainMixerConnected_ = true;
        connect(mainMixer_, output_, outputHardwareFormat());
    }
    return mainMixer_;
}

AVAudioOutputNodePtr AVAudioEngine::outputNode() {
    std::lock_guard lock(mutex_);
    return output_;
}

AVAudioFormatPtr AVAudioEngine::outputHardwareFormat() {
    std::lock_guard lock(mutex_);
    chooseOutputLocked();
    return hardwareFormat_;
}

AVAudioEngineOutputKind AVAudioEngine::outputKind() const {
    std::lock_guard lock(mutex_);
    return kind_;
}

bool AVAudioEngine::enableManualRenderingMode(const AVAudioFormatPtr& format, AUAudioFrameCount maximumFrameCount,
                                              foundation::NSError* outError) {
    std::lock_guard lock(mutex_);
    if (running_.load(std::memory_order_acquire)) {
        fill(outError, audiounit::kAudioUnitErr_CannotDoInCurrentContext, "Stop the engine before switching modes.");
        return false;
    }
    if (!format || !format->isStandard() || maximumFrameCount == 0 ||
        maximumFrameCount > options_.maximumFramesToRender) {
        fill(outError, audiounit::kAudioUnitErr_FormatNotSupported,
             "Manual rendering needs a standard format and 1 to " + std::to_string(options_.maximumFramesToRender) +
                 " frames per cycle.");
        return false;
    }
    jack_.reset();
    clock_.reset();
    kind_ = AVAudioEngineOutputKind::Offline;
    hardwareFormat_ = format;
    manualMaximumFrames_ = maximumFrameCount;
    RenderGate::Closed closed(gate_);
    for (Connection& c : connections_) {
        if (c.destination == output_.get()) c.format = format;
    }
    prepared_ = false;
    return true;
}

bool AVAudioEngine::isInManualRenderingMode() const {
    std::lock_guard lock(mutex_);
    return kind_ == AVAudioEngineOutputKind::Offline;
}

AVAudioFormatPtr AVAudioEngine::manualRenderingFormat() const {
    std::lock_guard lock(mutex_);
    return kind_ == AVAudioEngineOutputKind::Offline ? hardwareFormat_ : nullptr;
}

AUAudioFrameCount AVAudioEngine::manualRenderingMaximumFrameCount() const {
    std::lock_guard lock(mutex_);
    return kind_ == AVAudioEngineOutputKind::Offline ? manualMaximumFrames_ : 0;
}

OSStatus AVAudioEngine::renderOffline(AUAudioFrameCount frames, AudioBufferList& output) {
    // The players to wait for, copied without allocating so that the wait runs
    // without the engine's lock (a completion handler may call the engine).
    constexpr std::size_t kMaximumPlayersWaitedFor = 16;
    std::array<std::shared_ptr<AVAudioPlayerNode>, kMaximumPlayersWaitedFor> players;
    {
        std::lock_guard lock(mutex_);
        if (kind_ != AVAudioEngineOutputKind::Offline || !running_.load(std::memory_order_acquire)) {
            return audiounit::kAudioUnitErr_CannotDoInCurrentContext;
        }
        if (frames > manualMaximumFrames_) return audiounit::kAudioUnitErr_TooManyFramesToProcess;
        for (const audiounit::AudioBuffer& b : output.buffers()) {
            if (b.mData == nullptr || b.mDataByteSize < frames * 4u) return audiounit::kAudioUnitErr_InvalidParameter;
        }
        std::copy_n(players_.begin(), std::min(players_.size(), players.size()), players.begin());
    }
    // Faster than real time, the file readers may lag: let them catch up first.
    for (const auto& player : players) {
        if (player && player->isPlaying()) player->waitUntilBuffered(AVAudioPlayerNode::kRingFrames / 2);
    }
    return renderCycle(frames, output);
}

bool AVAudioEngine::renderOfflineToFile(const std::string& path, std::uint64_t frames, foundation::NSError* outError) {
    const AVAudioFormatPtr format = manualRenderingFormat();
    if (!format || !isRunning()) {
        fill(outError, audiounit::kAudioUnitErr_CannotDoInCurrentContext,
             "Offline rendering needs manual rendering mode and a started engine.");
        return false;
    }
    auto file = AVAudioFile::openForWriting(path, format, outError);
    if (!file) return false;
    const AUAudioFrameCount cycle = manualRenderingMaximumFrameCount();
    auto buffer = audiounit::AVAudioPCMBuffer::make(format, cycle);
    for (std::uint64_t done = 0; done < frames;) {
        const auto n = static_cast<AUAudioFrameCount>(std::min<std::uint64_t>(cycle, frames - done));
        buffer->setFrameLength(n);
        const OSStatus status = renderOffline(n, *buffer->mutableAudioBufferList());
        if (status != audiounit::noErr) {
            fill(outError, status, "Offline rendering failed.");
            file->discard();
            return false;
        }
        if (!file->writeFromBuffer(*buffer, outError)) {
            file->discard();
            return false;
        }
        done += n;
    }
    return file->close(outError);
}

OSStatus AVAudioEngine::renderCycle(AUAudioFrameCount frames, AudioBufferList& output) noexcept {
    if (frames > options_.maximumFramesToRender || !gate_.tryEnter()) {
        AVAudioNode::fillSilence(output, frames);
        return audiounit::noErr;
    }
    AudioTimeStamp timestamp;
    timestamp.mSampleTime = sampleTime_;
    const OSStatus status = AVAudioNode::renderNode(*output_, timestamp, frames, output);
    gate_.leave();
    sampleTime_ += frames;
    return status;
}

}  // namespace engine
