#include "ContentView.hpp"

#include <utility>

#include "AUViewControllerUI.hpp"
#include "ValidationView.hpp"

namespace {

constexpr double kMessageMinimumWidth = 400;
constexpr double kMessageMinimumHeight = 200;
constexpr double kCrashedRowSpacing = 2;

ui::View selectableText(std::string text) { return ui::Text(std::move(text)).textSelection(true); }

}  // namespace

ContentView::ContentView(std::shared_ptr<AudioUnitHostModel> model, double windowMargin)
    : hostModel(std::move(model)), margin(windowMargin) {
    watch_.watch(hostModel->viewModel);
    watch_.watch(hostModel->audioUnitCrashed);
    watch_.watch(hostModel->playEngine->isPlaying);
    watch_.watch(hostModel->playEngine->outputLossReason);
}

ui::View ContentView::unitSection() {
    const AudioUnitViewModel& viewModel = hostModel->viewModel();
    auto validation = keep<ValidationView>("validation", hostModel, isSheetPresented.binding());
    if (hostModel->audioUnitCrashed()) {
        return ui::VStack({
            ui::HStack(ui::VerticalAlignment::center, kCrashedRowSpacing,
                       {selectableText("(" + viewModel.title + ")"), selectableText("crashed!")})
                .accessibilityIdentifier(kCrashedIdentifier),
            ui::View(validation),
        });
    }
    ui::View unit =
        viewModel.viewController
            ? ui::View(std::make_shared<AUViewControllerUI>(viewModel.viewController))
                  .padding(margin)
                  .accessibilityIdentifier(kEditorIdentifier)
            : ui::Text(viewModel.message)
                  .frame(ui::FlexibleFrame{.minWidth = kMessageMinimumWidth, .minHeight = kMessageMinimumHeight})
                  .accessibilityIdentifier(kMessageIdentifier);
    return ui::VStack({
        selectableText(viewModel.title)
            .font(ui::Font::system(13, ui::FontWeight::bold))
            .accessibilityIdentifier(kTitleIdentifier),
        ui::View(validation),
        unit,
    });
}

ui::View ContentView::body() {
    const AudioUnitViewModel& viewModel = hostModel->viewModel();
    std::vector<ui::View> rows;
    rows.push_back(unitSection().padding(2 * margin));
    if (viewModel.showAudioControls) {
        rows.push_back(ui::Text("Audio Playback"));
        rows.push_back(ui::Button(hostModel->playEngine->isPlaying() ? "Stop" : "Play", [this] { togglePlayback(); })
                           .accessibilityIdentifier(kPlayButtonIdentifier));
    }
    if (const auto& lost = hostModel->playEngine->outputLossReason(); !lost.empty()) {
        rows.push_back(selectableText("Audio output lost: " + lost).accessibilityIdentifier(kOutputLostIdentifier));
    }
    if (viewModel.showMIDIContols) rows.push_back(ui::Text("MIDI Input: Enabled"));
    rows.push_back(ui::Spacer().frame(std::nullopt, margin));
    return ui::VStack(std::move(rows));
}

void ContentView::togglePlayback() const {
    // Both wait until the engine's state-change queue has run the step.
    auto& engine = *hostModel->playEngine;
    if (engine.isPlaying()) {
        engine.stopPlaying();
    } else {
        engine.startPlaying();
    }
}
