#pragma once
// The extension's principal class: the object the platform creates first when
// a host instantiates the effect. It plays two roles. As the audio-unit
// factory, createAudioUnit makes the effect's audio unit, gives it its
// parameter tree and keeps it. As the editor's view controller, its view hosts
// the effect's main view over an observable mirror of the unit's parameters,
// built once both the view and the unit exist (and built again, replacing the
// first, when both paths get there).
//
// Threads: the platform constructs the controller on the main thread and calls
// createAudioUnit on its loading thread, never on the main thread; the factory
// body itself runs on the main queue. Every other member is for the main thread.

#include <memory>

#include "audiounit/AUAudioUnit.hpp"
#include "audiounitui/AUViewController.hpp"
#include "ui/ViewController.hpp"

class AudioUnitViewController : public audiounit::AUViewController {
public:
    using Size = ui::Size;

    // The size the editor asks its host for, in points.
    static constexpr Size kPreferredEditorSize{720, 600};

    AudioUnitViewController();
    ~AudioUnitViewController() override;

    // Creates the effect's audio unit for the given component, installs its
    // parameter tree and starts re-announcing every parameter value whenever
    // the unit reports that all values changed at once (a restored state), so
    // that every parameter observer follows. Returns the unit, or null with
    // outError filled.
    //
    // Thread: any thread but the main thread. The body runs synchronously on
    // the main queue, so the call waits until the main run loop has run it;
    // calling it on the main thread is a programming error that stops the
    // process ("dispatch sync on the main queue from the main thread would
    // deadlock").
    std::shared_ptr<audiounit::AUAudioUnit> createAudioUnit(
        const audiounit::AudioComponentDescription& componentDescription, foundation::NSError* outError) override;

    // The unit the last factory call made, or null. Main thread.
    [[nodiscard]] std::shared_ptr<audiounit::AUAudioUnit> currentAudioUnit() const { return audioUnit; }
    [[nodiscard]] Size editorSize() const { return preferredEditorSize; }
    // The controller of the editor shown now, or null before the first build.
    [[nodiscard]] const std::shared_ptr<ui::NSHostingController>& editorHostingController() const {
        return hostingController;
    }

    // Main thread, around the view's life (the view layer calls them).
    void viewDidLoad() override;
    void viewWillAppear() override;

    // Asks for the editor's size; gives the view that size when its host left
    // it without one (1 x 1 or less), and keeps a size the host chose.
    void applyPreferredSize();
    // Replaces the editor with a fresh main view over `unit`'s parameters. A
    // unit without a parameter tree leaves no editor.
    void configureEditorView(const std::shared_ptr<audiounit::AUAudioUnit>& unit);

private:
    // Keeps a handler registered for a unit's all-values-changed notification
    // and removes it when released (if the unit still exists).
    class AllParameterValuesObservation {
    public:
        AllParameterValuesObservation(const std::shared_ptr<audiounit::AUAudioUnit>& unit,
                                      audiounit::AUObservationToken token)
            : unit_(unit), token_(token) {}
        ~AllParameterValuesObservation();
        AllParameterValuesObservation(const AllParameterValuesObservation&) = delete;
        AllParameterValuesObservation& operator=(const AllParameterValuesObservation&) = delete;

    private:
        std::weak_ptr<audiounit::AUAudioUnit> unit_;
        audiounit::AUObservationToken token_;
    };

    // The factory's body. Main thread.
    std::shared_ptr<audiounit::AUAudioUnit> makeAudioUnit(
        const audiounit::AudioComponentDescription& componentDescription, foundation::NSError* outError);

    std::shared_ptr<audiounit::AUAudioUnit> audioUnit;
    std::shared_ptr<ui::NSHostingController> hostingController;
    std::unique_ptr<AllParameterValuesObservation> observation;
    const Size preferredEditorSize = kPreferredEditorSize;
};
