#include "DunmarrowAUApp.hpp"

#include <chrono>
#include <cmath>
#include <utility>

#include "audiounit/AVAudioUnit.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/FileWriting.hpp"
#include "foundation/RunLoop.hpp"
#include "ui/ViewHost.hpp"

namespace {

constexpr auto kDrainTimeout = std::chrono::seconds(10);

// Runs the main queue until every job queued so far, and what those queue in
// turn, has run.
void drainMainQueue() {
    for (int round = 0; round < 3; ++round) {
        bool reached = false;
        foundation::DispatchQueue::main().async([&reached] { reached = true; });
        foundation::RunLoop::main().runUntil([&reached] { return reached; }, kDrainTimeout);
    }
}

// The content's ideal size in whole points, so that nothing is cut off.
ui::Size fittedSize(ui::ViewHost& host) {
    const ui::Size ideal = host.idealSize();
    return {std::ceil(ideal.width), std::ceil(ideal.height)};
}

}  // namespace

void becomeMainThread() {
    foundation::RunLoop::main().runOnce();
    audiounit::AVAudioUnit::setMainThreadExecutor(
        [](std::function<void()> job) { foundation::DispatchQueue::main().async(std::move(job)); });
}

DunmarrowAUApp::DunmarrowAUApp(AudioUnitHostModel::Configuration configuration)
    : DunmarrowAUApp(kType, kSubType, kManufacturer, std::move(configuration)) {}

DunmarrowAUApp::DunmarrowAUApp(std::string type, std::string subType, std::string manufacturer,
                               AudioUnitHostModel::Configuration configuration)
    : hostModel(AudioUnitHostModel::make(std::move(type), std::move(subType), std::move(manufacturer),
                                         std::move(configuration))) {}

std::shared_ptr<ContentView> DunmarrowAUApp::makeContentView() const {
    return std::make_shared<ContentView>(hostModel);
}

DunmarrowAUApp::~DunmarrowAUApp() {
    hostModel->viewModel.unsubscribe(viewModelToken_);
    hostModel->audioUnitCrashed.unsubscribe(crashedToken_);
    hostModel->validationResult.unsubscribe(validationToken_);
    alive_.reset();
    window_.reset();
}

std::unique_ptr<ui::Window> DunmarrowAUApp::createWindow(const std::string& display, std::string* error) {
    // Any size: the application fits the window to its content.
    return ui::Window::create({kApplicationName, {400, 300}, 0, 0, display}, error);
}

ui::Window& DunmarrowAUApp::openWindow(std::unique_ptr<ui::Window> window) {
    window_ = std::move(window);
    window_->setRootView(ui::View(makeContentView()));
    const auto host = window_->contentView()->host();
    window_->setSize(fittedSize(*host));
    window_->attachToMainRunLoop();

    // Refit after any change that can change the content's size; as a main-queue
    // job, so after the content has been invalidated.
    auto refit = [this, alive = std::weak_ptr<int>(alive_)] {
        foundation::DispatchQueue::main().async([this, alive] {
            if (!alive.lock() || !window_ || window_->isClosed()) return;
            window_->setSize(fittedSize(*window_->contentView()->host()));
        });
    };
    viewModelToken_ = hostModel->viewModel.subscribe([refit](const AudioUnitViewModel&) { refit(); });
    crashedToken_ = hostModel->audioUnitCrashed.subscribe([refit](bool) { refit(); });
    validationToken_ = hostModel->validationResult.subscribe([refit](const auto&) { refit(); });
    return *window_;
}

void DunmarrowAUApp::runUntilWindowCloses() {
    if (!window_) return;
    window_->show();
    foundation::RunLoop::main().runUntil([this] { return window_->isClosed(); }, std::chrono::hours(24 * 365));
}

bool writeWindowSnapshot(const std::shared_ptr<ContentView>& content, const std::optional<std::string>& pngPath,
                         const std::optional<std::string>& inspectPath, std::string* error) {
    ui::ViewHost host{ui::View(content)};
    host.setSize(fittedSize(host));
    // Laying out shows the embedded editor, which builds its views in main-queue jobs.
    host.layoutIfNeeded();
    drainMainQueue();
    host.setSize(fittedSize(host));
    if (pngPath && !host.render(1, DunmarrowAUApp::kWindowBackground).writePNG(*pngPath, error)) return false;
    if (inspectPath && !foundation::writeFileAtomically(*inspectPath, host.inspect().dump(2) + "\n", error))
        return false;
    return true;
}
