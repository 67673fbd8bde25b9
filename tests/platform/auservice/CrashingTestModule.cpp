// A gain unit ("gain", address 1) whose "command" (address 0) crashes (1), hangs (2) or is late once (3).

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "FakeUnitModule.hpp"

using namespace audiounit;

namespace {

class CrashingTestUnit final : public testsupport::FakeUnit {
public:
    using FakeUnit::FakeUnit;

protected:
    void build() override {
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

    // Render thread; hangs or sleeps only when commanded to.
    OSStatus render(const testsupport::RenderCycle& cycle) noexcept override {
        while (hang_.load(std::memory_order_relaxed)) ::pause();  // until a signal ends the process
        if (slowOnce_.exchange(false, std::memory_order_relaxed))
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (const AURenderEvent* event = cycle.events; event != nullptr; event = event->head.next)
            if (event->head.eventType == AURenderEventParameter && event->parameter.parameterAddress == 1)
                gain_.store(event->parameter.value, std::memory_order_relaxed);
        if (const OSStatus status = pullInput(cycle); status != noErr) return status;
        writeInputTimes(cycle, gain_.load(std::memory_order_relaxed));
        return noErr;
    }

private:
    std::atomic<float> gain_{0.5f};
    std::atomic<bool> hang_{false};
    std::atomic<bool> slowOnce_{false};
};

using CrashingTestFactory = testsupport::FakeUnitFactory<CrashingTestUnit>;

}  // namespace

DUNMARROW_AUDIO_UNIT_MODULE(CrashingTestFactory)
