#pragma once
// The host window's content, top to bottom: the unit's title (bold) with the
// validation badge and the unit's editor (or the status message), or the
// crashed row; the playback controls for effect types ("Audio Playback" and a
// "Play"/"Stop" button); "Audio output lost: <why>" once the engine's output is
// lost; "MIDI Input: Enabled" for MIDI-taking types; a spacer.
// Evaluated again whenever a model field it reads is published. Main thread only.

#include <memory>

#include "AudioUnitHostModel.hpp"
#include "ModelWatch.hpp"
#include "ui/State.hpp"
#include "ui/View.hpp"

class ContentView final : public ui::Component {
public:
    static constexpr double kDefaultMargin = 10;
    // Accessibility identifiers of the parts tests and tools look for.
    static constexpr const char* kTitleIdentifier = "UnitTitle";
    static constexpr const char* kMessageIdentifier = "UnitMessage";
    static constexpr const char* kEditorIdentifier = "UnitEditor";
    static constexpr const char* kPlayButtonIdentifier = "PlayButton";
    static constexpr const char* kCrashedIdentifier = "CrashedRow";
    static constexpr const char* kOutputLostIdentifier = "OutputLost";

    explicit ContentView(std::shared_ptr<AudioUnitHostModel> model, double margin = kDefaultMargin);

    ui::View body() override;
    [[nodiscard]] std::string typeName() const override { return "ContentView"; }

    const std::shared_ptr<AudioUnitHostModel> hostModel;
    // Whether the validation sheet is shown; kept across evaluations of the body.
    const ui::State<bool> isSheetPresented{false};
    const double margin;

private:
    [[nodiscard]] ui::View unitSection();
    void togglePlayback() const;

    ModelWatch watch_{*this};
};
