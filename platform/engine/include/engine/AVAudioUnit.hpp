#pragma once
// The node that hosts an audio unit in the graph.
//
// The node drives its unit through AVAudioUnitInterface, the handful of calls a
// host needs: set the bus formats, set the largest cycle, allocate and
// deallocate render resources, and the render block. On prepare (and whenever
// its connections change while the engine runs) the node sets the unit's input
// bus 0 to the format of the connection into the node and its output bus 0 to
// the format of the connection out of it, then allocates render resources. On
// render it calls the unit's render block with a pull-input callback that
// renders the node connected to its input (none when nothing is connected, as
// for an instrument).

#include <atomic>
#include <functional>
#include <memory>

#include "audiounit/AVAudioPCMBuffer.hpp"
#include "audiounit/RenderContract.hpp"
#include "engine/AVAudioNode.hpp"

namespace engine {

// What the unit node needs of a unit. Every member must be set except `unit`.
// All calls come from the main thread, never while the unit renders.
struct AVAudioUnitInterface {
    // Sets input bus 0 (input null: the node has no input connection; leave the
    // input bus as it is) and output bus 0. Called only while deallocated.
    std::function<bool(const AVAudioFormatPtr& input, const AVAudioFormatPtr& output, foundation::NSError* outError)>
        setBusFormats;
    std::function<void(AUAudioFrameCount frames)> setMaximumFramesToRender;
    std::function<bool(foundation::NSError* outError)> allocateRenderResources;
    std::function<void()> deallocateRenderResources;
    // The unit's render block, fetched after each allocation and then called on
    // the render thread.
    std::function<audiounit::AURenderBlock()> renderBlock;
    // The unit object itself, kept alive by the node.
    std::shared_ptr<void> unit;
};

class AVAudioUnit final : public AVAudioNode {
public:
    explicit AVAudioUnit(AVAudioUnitInterface unitInterface);
    ~AVAudioUnit() override;

    [[nodiscard]] AVAudioNodeBus numberOfInputs() const noexcept override { return 1; }
    [[nodiscard]] const AVAudioUnitInterface& unitInterface() const noexcept { return interface_; }
    // The unit object, as the type it was given as (unchecked: ask for that type).
    template <typename Unit>
    [[nodiscard]] std::shared_ptr<Unit> unitAs() const noexcept {
        return std::static_pointer_cast<Unit>(interface_.unit);
    }
    [[nodiscard]] bool renderResourcesAllocated() const noexcept { return allocated_; }
    // Status of the last render call (noErr before any). Any thread.
    [[nodiscard]] OSStatus lastRenderStatus() const noexcept {
        return lastStatus_.load(std::memory_order_relaxed);
    }

protected:
    bool prepareForRender(const AVAudioNodeRenderSetup& setup, foundation::NSError* outError) override;
    void releaseRenderResources() override;
    OSStatus render(const AudioTimeStamp& timestamp, AUAudioFrameCount frames,
                    AudioBufferList& output) noexcept override;

private:
    AVAudioUnitInterface interface_;
    audiounit::AURenderBlock renderBlock_;
    audiounit::AURenderPullInputBlock pullInput_;
    AVAudioNode* inputSource_ = nullptr;
    AVAudioFormatPtr inputFormat_;
    AVAudioFormatPtr outputFormat_;
    AUAudioFrameCount maximumFrames_ = 0;
    audiounit::AVAudioPCMBufferPtr inputScratch_;  // for pull lists that come without memory
    bool allocated_ = false;
    std::atomic<OSStatus> lastStatus_{audiounit::noErr};
};

using AVAudioUnitPtr = std::shared_ptr<AVAudioUnit>;

// The interface over an audio-unit object with the platform's members:
// inputBusses()/outputBusses() returning a pointer to a bus array with count()
// and operator[] giving busses with setFormat(format, error);
// setMaximumFramesToRender(frames); allocateRenderResources(error);
// deallocateRenderResources(); renderBlock() returning an AURenderBlock.
template <typename Unit>
AVAudioUnitInterface makeAVAudioUnitInterface(const std::shared_ptr<Unit>& unit) {
    AVAudioUnitInterface i;
    Unit* u = unit.get();
    i.setBusFormats = [u](const AVAudioFormatPtr& input, const AVAudioFormatPtr& output,
                          foundation::NSError* outError) -> bool {
        if (input) {
            const auto inputs = u->inputBusses();
            if (inputs && inputs->count() > 0 && !(*inputs)[0]->setFormat(input, outError)) return false;
        }
        const auto outputs = u->outputBusses();
        if (!outputs || outputs->count() == 0) {
            if (outError != nullptr) {
                *outError = foundation::makeOSStatusError(audiounit::kAudioUnitErr_InvalidElement,
                                                          "The audio unit has no output bus.");
            }
            return false;
        }
        return (*outputs)[0]->setFormat(output, outError);
    };
    i.setMaximumFramesToRender = [u](AUAudioFrameCount frames) { u->setMaximumFramesToRender(frames); };
    i.allocateRenderResources = [u](foundation::NSError* outError) { return u->allocateRenderResources(outError); };
    i.deallocateRenderResources = [u] { u->deallocateRenderResources(); };
    i.renderBlock = [u] { return audiounit::AURenderBlock(u->renderBlock()); };
    i.unit = unit;
    return i;
}

}  // namespace engine
