#pragma once
// The base of every node in an engine's graph.
//
// A node renders by pull: its render() fills an output buffer list and pulls
// whatever it needs from the nodes connected to its inputs. The engine owns the
// connections; a node learns them (and its formats and the largest cycle) in
// prepareForRender(), which the engine calls on the main thread while the render
// thread is kept out (RenderGate), and never while a cycle runs.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audiounit/AVAudioFormat.hpp"
#include "audiounit/RenderContract.hpp"
#include "foundation/NSError.hpp"
#include "foundation/ThreadContract.hpp"

namespace engine {

using AVAudioNodeBus = std::uint32_t;
using audiounit::AudioBufferList;
using audiounit::AudioTimeStamp;
using audiounit::AUAudioFrameCount;
using audiounit::AVAudioFormatPtr;
using audiounit::OSStatus;

class AVAudioEngine;
class AVAudioNode;

// What the render side of a node needs to know about one input bus.
struct AVAudioNodeInput {
    AVAudioNode* source = nullptr;  // null when the bus is not connected
    AVAudioFormatPtr format;        // the connection's format
};

// Everything a node is prepared with.
struct AVAudioNodeRenderSetup {
    std::vector<AVAudioNodeInput> inputs;  // one per input bus that exists, in bus order
    AVAudioFormatPtr outputFormat;         // the output connection's format; null when not connected
    AUAudioFrameCount maximumFramesToRender = 0;
};

class AVAudioNode {
public:
    virtual ~AVAudioNode() = default;
    AVAudioNode(const AVAudioNode&) = delete;
    AVAudioNode& operator=(const AVAudioNode&) = delete;

    // The engine this node is attached to, or null. Main thread.
    [[nodiscard]] AVAudioEngine* engine() const noexcept { return engine_; }
    [[nodiscard]] virtual AVAudioNodeBus numberOfInputs() const noexcept = 0;
    [[nodiscard]] virtual AVAudioNodeBus numberOfOutputs() const noexcept { return 1; }
    // Formats of the connections on a bus, null when unconnected. Main thread.
    [[nodiscard]] AVAudioFormatPtr inputFormatForBus(AVAudioNodeBus bus) const;
    [[nodiscard]] virtual AVAudioFormatPtr outputFormatForBus(AVAudioNodeBus bus) const;

protected:
    AVAudioNode() = default;

    // Main thread, render thread kept out. Sizes everything render() touches.
    // Returns false (error filled) when the node cannot render these formats.
    virtual bool prepareForRender(const AVAudioNodeRenderSetup& setup, foundation::NSError* outError) = 0;
    // Main thread, render thread kept out: the node leaves the engine.
    virtual void releaseRenderResources() {}

    // Render thread: fills `frames` frames of every buffer of `output`, whose
    // buffers the caller has pointed at memory for at least `frames` floats.
    // Must not lock, allocate, free or block.
    virtual OSStatus render(const AudioTimeStamp& timestamp, AUAudioFrameCount frames,
                            AudioBufferList& output) noexcept = 0;

    // Lets one node pull another. Render thread.
    static OSStatus renderNode(AVAudioNode& node, const AudioTimeStamp& timestamp, AUAudioFrameCount frames,
                               AudioBufferList& output) noexcept {
        DUNMARROW_ASSERT_RENDER_THREAD();
        return node.render(timestamp, frames, output);
    }
    // Zeroes `frames` frames of every buffer. Render thread.
    static void fillSilence(AudioBufferList& output, AUAudioFrameCount frames) noexcept;

private:
    friend class AVAudioEngine;
    AVAudioEngine* engine_ = nullptr;
};

using AVAudioNodePtr = std::shared_ptr<AVAudioNode>;

}  // namespace engine
