// A test-only unit that fails on command, for the out-of-process tests (never
// the effect). A gain effect with two parameters: "gain" (address 1) and
// "command" (address 0): writing 1 ends the process at once (a crash), 2 makes
// every later render cycle hang, 3 makes the next render cycle take 200 ms (a
// late answer). Parameter events for "gain" in a cycle apply to the whole cycle.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstdlib>

#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AUAudioUnitBusArray.hpp"
#include "audiounit/AudioUnitModuleEntry.hpp"

using namespace audiounit;

namespace {

class CrashingTestUnit final : public AUAudioUnit {
public:
    explicit CrashingTestUnit(ConstructionKey key) : AUAudioUnit(key) {}

    AUAudioUnitBusArrayPtr inputBusses() const override { return inputs_; }
    AUAudioUnitBusArrayPtr outputBusses() const override { return outputs_; }

    // Render thread.
    AUInternalRenderBlock internalRenderBlock() override {
        return [this](AudioUnitRenderActionFlags* flags, const AudioTimeStamp* timestamp, AUAudioFrameCount frames,
                      NSInteger, AudioBufferList* output, const AURenderEvent* events,
                      const AURenderPullInputBlock* pullInput) -> OSStatus {
            while (hang_.load(std::memory_order_relaxed)) ::pause();  // until a signal ends the process
            if (slowOnce_.exchange(false, std::memory_order_relaxed))
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            for (const AURenderEvent* event = events; event != nullptr; event = event->head.next)
                if (event->head.eventType == AURenderEventParameter && event->parameter.parameterAddress == 1)
                    gain_.store(event->parameter.value, std::memory_order_relaxed);
            if (pullInput == nullptr || !*pullInput) return kAudioUnitErr_NoConnection;
            const OSStatus status = (*pullInput)(flags, timestamp, frames, 0, output);
            if (status != noErr) return status;
            const float gain = gain_.load(std::memory_order_relaxed);
            for (auto& buffer : output->buffers()) {
                auto* samples = static_cast<float*>(buffer.mData);
                for (AUAudioFrameCount i = 0; i < frames; ++i) samples[i] *= gain;
            }
            return noErr;
        };
    }

    void installTree() {
        auto command = AUParameterTree::createParameter("command", "Command", 0, 0, 3, kAudioUnitParameterUnit_Indexed,
                                                        std::nullopt, kAudioUnitParameterFlag_IsWritable, std::nullopt,
                                                        std::nullopt);
        auto gain = AUParameterTree::createParameter("gain", "Gain", 1, 0, 1, kAudioUnitParameterUnit_LinearGain,
                                                     std::nullopt, kAudioUnitParameterFlag_IsWritable, std::nullopt,
                                                     std::nullopt);
        auto tree = AUParameterTree::createTree({command, gain});
        gain->setValue(0.5f);
        tree->setImplementorValueObserver([this](AUParameter& parameter, AUValue value) {
            if (parameter.address() == 1) gain_.store(value, std::memory_order_relaxed);
            if (parameter.address() == 0 && value == 1) ::kill(::getpid(), SIGKILL);
            if (parameter.address() == 0 && value == 2) hang_.store(true, std::memory_order_relaxed);
            if (parameter.address() == 0 && value == 3) slowOnce_.store(true, std::memory_order_relaxed);
        });
        setParameterTree(tree);
    }

protected:
    bool initWithComponentDescription(const AudioComponentDescription& description,
                                      AudioComponentInstantiationOptions options,
                                      foundation::NSError* outError) override {
        if (!AUAudioUnit::initWithComponentDescription(description, options, outError)) return false;
        const auto format = AVAudioFormat::makeStandard(44100, 2);
        inputs_ = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeInput, {AUAudioUnitBus::make(format)});
        outputs_ = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeOutput, {AUAudioUnitBus::make(format)});
        return true;
    }

private:
    AUAudioUnitBusArrayPtr inputs_;
    AUAudioUnitBusArrayPtr outputs_;
    std::atomic<float> gain_{0.5f};
    std::atomic<bool> hang_{false};
    std::atomic<bool> slowOnce_{false};
};

class CrashingTestFactory final : public AUAudioUnitFactory {
public:
    std::shared_ptr<AUAudioUnit> createAudioUnit(const AudioComponentDescription& description,
                                                 foundation::NSError* outError) override {
        auto unit = AUAudioUnit::create<CrashingTestUnit>(description, kAudioComponentInstantiation_None, outError);
        if (unit) unit->installTree();
        return unit;
    }
};

}  // namespace

DUNMARROW_AUDIO_UNIT_MODULE(CrashingTestFactory)
