#pragma once
// The audio engine: a graph of nodes pulled by one output.
//
// Every engine has a main mixer and an output node; the main mixer is
// connected to the output at the hardware format when it is created. The
// output goes to a JACK client (own client, two output ports, connected to the
// physical playback ports where there are any) when a JACK server runs;
// otherwise to a real-time clock thread that renders into nothing (so playing,
// stopping and meters still work), which it says in one line on standard
// output; or, in manual rendering mode, into buffers the caller asks for, as
// fast as the machine renders. A JACK server that shuts down or stops
// answering (every wait on it has a time limit) loses the output for good:
// outputLossReason says why.
//
// Threads: the graph calls (attach, connect, prepare, start, stop, ...) come
// from one thread at a time (the main thread or the serial state-change queue)
// and may be made while the engine runs. The render thread (JACK's process
// callback, the clock thread, or the caller of renderOffline) never waits for
// them: while the graph changes it renders silence.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/AVAudioMixerNode.hpp"
#include "engine/AVAudioNode.hpp"
#include "engine/AVAudioOutputNode.hpp"
#include "engine/RenderGate.hpp"

namespace engine {

class AVAudioPlayerNode;
class JackAudioOutput;
class ClockAudioOutput;

// Where the output goes.
enum class AVAudioEngineOutputKind { Undecided, Jack, SilentClock, Offline };

struct AVAudioEngineOptions {
    std::string clientName = "DunmarrowAU";      // the JACK client's name
    bool useJack = true;                          // false: never try JACK (the silent clock instead)
    bool connectToPhysicalPorts = true;           // connect the JACK ports to the playback ports
    AUAudioFrameCount maximumFramesToRender = 4096;  // largest cycle any node sees
    double clockSampleRate = 48000;               // hardware format of the silent clock
    AUAudioFrameCount clockPeriodFrames = 256;    // frames per tick of the silent clock
};

// One end of a connection.
struct AVAudioConnectionPoint {
    AVAudioNodePtr node;
    AVAudioNodeBus bus = 0;
    AVAudioFormatPtr format;  // the connection's format
};

// The message the engine prints when it falls back to the silent clock for
// want of a JACK server. (A server that does not answer in time gets a line of
// the same form saying so.)
inline constexpr const char* kSilentClockMessage = "Audio output: no JACK server running; rendering to a silent clock";

class AVAudioEngine {
public:
    AVAudioEngine();
    explicit AVAudioEngine(AVAudioEngineOptions options);
    ~AVAudioEngine();
    AVAudioEngine(const AVAudioEngine&) = delete;
    AVAudioEngine& operator=(const AVAudioEngine&) = delete;

    // Adds a node to the graph. Attaching a node twice, a null node or a node of
    // another engine does nothing.
    void attach(const AVAudioNodePtr& node);
    // Removes a node and every connection to or from it and releases its render
    // resources. The main mixer and the output node cannot be detached.
    void detach(const AVAudioNodePtr& node);
    [[nodiscard]] std::vector<AVAudioNodePtr> attachedNodes() const;

    // Connects output bus 0 of `from` to `to` at `format` (null: the hardware
    // format). The destination bus is 0, or the mixer's next free input bus. A
    // connection already leaving `from` bus 0 or entering that destination bus
    // is replaced. False, with the error filled, when a node is not attached, a
    // bus does not exist, the format is not standard, or, while running, the
    // graph cannot be prepared for the new connection (the connection stays).
    bool connect(const AVAudioNodePtr& from, const AVAudioNodePtr& to, const AVAudioFormatPtr& format,
                 foundation::NSError* outError = nullptr);
    bool connect(const AVAudioNodePtr& from, AVAudioNodeBus fromBus, const AVAudioNodePtr& to, AVAudioNodeBus toBus,
                 const AVAudioFormatPtr& format, foundation::NSError* outError = nullptr);
    // Removes every connection into the node.
    void disconnectNodeInput(const AVAudioNodePtr& node);
    void disconnectNodeInput(const AVAudioNodePtr& node, AVAudioNodeBus bus);
    // Removes every connection out of the node.
    void disconnectNodeOutput(const AVAudioNodePtr& node);

    [[nodiscard]] std::optional<AVAudioConnectionPoint> inputConnectionPoint(const AVAudioNode& node,
                                                                             AVAudioNodeBus bus) const;
    [[nodiscard]] std::optional<AVAudioConnectionPoint> outputConnectionPoint(const AVAudioNode& node,
                                                                              AVAudioNodeBus bus) const;

    // Chooses the output (if not yet chosen) and prepares every node: formats
    // set, render resources allocated.
    bool prepare(foundation::NSError* outError = nullptr);
    // Prepares and starts rendering. False, with the error filled, when a node
    // cannot be prepared or the output cannot start. Starting a running engine
    // does nothing.
    bool start(foundation::NSError* outError = nullptr);
    // Stops rendering; the graph and the nodes' resources stay as they are.
    void stop();
    [[nodiscard]] bool isRunning() const noexcept { return running_.load(std::memory_order_acquire); }
    // Why the output was lost (its JACK server shut down or stopped
    // answering), or nothing while it works. A lost output stays lost: the
    // engine cannot start through it again.
    [[nodiscard]] std::optional<std::string> outputLossReason() const;

    [[nodiscard]] AVAudioMixerNodePtr mainMixerNode();
    [[nodiscard]] AVAudioOutputNodePtr outputNode();
    // The hardware format of the output (chooses the output if not yet chosen).
    [[nodiscard]] AVAudioFormatPtr outputHardwareFormat();
    [[nodiscard]] AVAudioEngineOutputKind outputKind() const;
    [[nodiscard]] AUAudioFrameCount maximumFramesToRender() const noexcept { return options_.maximumFramesToRender; }
    // The JACK output while the engine uses one, else null.
    [[nodiscard]] JackAudioOutput* jackOutput() const noexcept { return jack_.get(); }

    // Offline rendering. Only while stopped; switches the output to `format`
    // (standard, e.g. 48 kHz stereo) with cycles of at most `maximumFrameCount`
    // frames (at most the engine's maximumFramesToRender).
    bool enableManualRenderingMode(const AVAudioFormatPtr& format, AUAudioFrameCount maximumFrameCount,
                                   foundation::NSError* outError = nullptr);
    [[nodiscard]] bool isInManualRenderingMode() const;
    [[nodiscard]] AVAudioFormatPtr manualRenderingFormat() const;
    [[nodiscard]] AUAudioFrameCount manualRenderingMaximumFrameCount() const;
    // Renders `frames` frames into `output` (one buffer per channel with room for
    // the frames) on the calling thread, which is the render thread for the call.
    // Before the cycle it waits for playing file players to have their audio
    // read; the cycle itself takes no lock and allocates nothing. Returns
    // kAudioUnitErr_CannotDoInCurrentContext outside manual mode or while
    // stopped, kAudioUnitErr_TooManyFramesToProcess above the maximum,
    // kAudioUnitErr_InvalidParameter for a list without memory.
    OSStatus renderOffline(AUAudioFrameCount frames, AudioBufferList& output);
    // Renders `frames` frames offline into a new file (written under a temporary
    // name, renamed when complete). Main thread.
    bool renderOfflineToFile(const std::string& path, std::uint64_t frames, foundation::NSError* outError = nullptr);

private:
    friend class JackAudioOutput;
    friend class ClockAudioOutput;

    struct Connection {
        AVAudioNode* source;
        AVAudioNodeBus sourceBus;
        AVAudioNode* destination;
        AVAudioNodeBus destinationBus;
        AVAudioFormatPtr format;
    };

    // Render thread: one cycle of at most maximumFramesToRender frames.
    OSStatus renderCycle(AUAudioFrameCount frames, AudioBufferList& output) noexcept;

    void chooseOutputLocked();
    bool isAttachedLocked(const AVAudioNode* node) const;
    AVAudioNodePtr sharedNodeLocked(const AVAudioNode* node) const;
    // Called with the gate closed after the graph changed.
    bool graphChangedLocked(foundation::NSError* outError);
    bool prepareLocked(foundation::NSError* outError);
    AVAudioNodeRenderSetup setupForLocked(const AVAudioNode& node) const;

    AVAudioEngineOptions options_;
    mutable std::recursive_mutex mutex_;
    RenderGate gate_;
    std::vector<AVAudioNodePtr> nodes_;
    std::vector<Connection> connections_;
    std::vector<std::shared_ptr<AVAudioPlayerNode>> players_;
    AVAudioMixerNodePtr mainMixer_;
    AVAudioOutputNodePtr output_;
    bool mainMixerConnected_ = false;

    AVAudioEngineOutputKind kind_ = AVAudioEngineOutputKind::Undecided;
    AVAudioFormatPtr hardwareFormat_;
    AUAudioFrameCount manualMaximumFrames_ = 0;
    std::unique_ptr<JackAudioOutput> jack_;
    std::unique_ptr<ClockAudioOutput> clock_;

    bool prepared_ = false;
    std::atomic<bool> running_{false};
    double sampleTime_ = 0;  // render thread only
};

using AVAudioEnginePtr = std::shared_ptr<AVAudioEngine>;

}  // namespace engine
