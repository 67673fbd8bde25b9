// The host tests' module, built as a gain effect, an instrument and an effect that cannot allocate.

#include <algorithm>

#include "FakeUnitModule.hpp"
#include "HostTestUnits.hpp"
#include "ui/ViewController.hpp"

using namespace audiounit;

namespace {

#if defined(HOST_TEST_INSTRUMENT)
constexpr bool kTakesInput = false;
#else
constexpr bool kTakesInput = true;
#endif

class HostTestUnit final : public testsupport::FakeUnit {
public:
    explicit HostTestUnit(ConstructionKey key) : FakeUnit(key, kTakesInput) {}

    std::shared_ptr<hosttest::UnitCounters> counters;

#if defined(HOST_TEST_INSTRUMENT)
    std::vector<std::string> MIDIOutputNames() const override { return {"Test MIDI Out"}; }
#elif defined(HOST_TEST_FAILS_ALLOCATION)
    bool allocateRenderResources(foundation::NSError* outError) override {
        if (outError != nullptr)
            *outError = foundation::makeOSStatusError(kAudioUnitErr_FailedInitialization, "The test unit refuses");
        return false;
    }
#endif

protected:
    // Render thread: keeps the last MIDI word for the tests; the instrument is silent.
    OSStatus render(const testsupport::RenderCycle& cycle) noexcept override {
        for (const AURenderEvent* e = cycle.events; e != nullptr; e = e->head.next) {
            if (e->head.eventType != AURenderEventMIDIEventList) continue;
            counters->lastMIDIWord.store(e->MIDIEventsList.eventList.packet[0].words[0], std::memory_order_relaxed);
        }
        if (!kTakesInput) {
            for (auto& buffer : cycle.output->buffers())
                if (buffer.mData != nullptr) std::fill_n(static_cast<float*>(buffer.mData), cycle.frames, 0.0f);
            return noErr;
        }
        if (const OSStatus status = pullInput(cycle); status != noErr) return status;
        writeInputTimes(cycle, hosttest::kEffectGain);
        return noErr;
    }
};

#ifdef HOST_TEST_INSTRUMENT
// The instrument has no editor of its own: hosts show the generic one.
class HostTestFactory final : public hosttest::HostTestPrincipal {
#else
// The effect's principal object is also its editor: one colour at a fixed preferred size.
class HostTestFactory final : public hosttest::HostTestPrincipal, public ui::NSViewController {
public:
    HostTestFactory() { setPreferredContentSize(hosttest::kEditorSize); }
    void loadView() override {
        setView(std::make_shared<ui::NSView>(std::make_shared<ui::ViewHost>(
            ui::View(hosttest::kEditorColour).accessibilityIdentifier("HostTestEditor"), hosttest::kEditorSize)));
    }
#endif
public:
    std::shared_ptr<AUAudioUnit> createAudioUnit(const AudioComponentDescription& description,
                                                 foundation::NSError* outError) override {
        auto unit = AUAudioUnit::create<HostTestUnit>(description, kAudioComponentInstantiation_None, outError);
        if (!unit) return nullptr;
        unit->counters = counters;
        audioUnit = unit;
        return unit;
    }
};

}  // namespace

DUNMARROW_AUDIO_UNIT_MODULE(HostTestFactory)
