#pragma once
// The application: one host model for the effect ("aufx" "dmds" "QVRN") and
// one window whose content is ContentView. The window follows its content's
// ideal size as the model's state changes (unloaded, loaded, validated,
// crashed). Also renders the same content offscreen, for the headless mode's
// screenshot and inspection. Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "AudioUnitHostModel.hpp"
#include "ContentView.hpp"
#include "ui/Geometry.hpp"
#include "ui/Window.hpp"

class DunmarrowAUApp {
public:
    static constexpr const char* kType = "aufx";
    static constexpr const char* kSubType = "dmds";
    static constexpr const char* kManufacturer = "QVRN";
    // The X window's name: the window has no title of its own, and window
    // managers show the application's name for it.
    static constexpr const char* kApplicationName = "DunmarrowAU";
    // What the window paints behind its content (and the offscreen renders too).
    static constexpr ui::Color kWindowBackground = ui::Color::sRGB(0.93, 0.93, 0.93);

    // Creates the host model for the effect; it starts loading on its own.
    explicit DunmarrowAUApp(AudioUnitHostModel::Configuration configuration = {});
    // The same for other codes (the tests' units).
    DunmarrowAUApp(std::string type, std::string subType, std::string manufacturer,
                   AudioUnitHostModel::Configuration configuration);

    // Closes the window, if one is open.
    ~DunmarrowAUApp();
    DunmarrowAUApp(const DunmarrowAUApp&) = delete;
    DunmarrowAUApp& operator=(const DunmarrowAUApp&) = delete;

    const std::shared_ptr<AudioUnitHostModel> hostModel;

    // A window's content in its default state: sheet hidden, margin 10.
    [[nodiscard]] std::shared_ptr<ContentView> makeContentView() const;

    // Opens an X window for the application on `display` (empty: $DISPLAY),
    // not yet shown. Null with `error` set when the display cannot be opened.
    [[nodiscard]] static std::unique_ptr<ui::Window> createWindow(const std::string& display, std::string* error);
    // Makes `window` the application's one window: it shows a fresh
    // ContentView, is sized to it (and refitted as the content changes) and is
    // attached to the main run loop, but not yet shown.
    ui::Window& openWindow(std::unique_ptr<ui::Window> window);
    [[nodiscard]] ui::Window* window() const { return window_.get(); }
    // Shows the window and runs the main run loop until it is closed.
    void runUntilWindowCloses();

private:
    std::unique_ptr<ui::Window> window_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    Observable<AudioUnitViewModel, true>::Token viewModelToken_ = 0;
    Observable<bool>::Token crashedToken_ = 0;
    Observable<std::optional<AudioComponentValidationResult>>::Token validationToken_ = 0;
};

// Makes the calling thread the main thread (the one that pumps the main run
// loop) and has audio-unit instantiation complete there. Call first.
void becomeMainThread();

// Brings `content` up to date offscreen, its embedded editor included (the
// main queue runs until the jobs that build it have run), at its ideal size.
// Then writes it as PNG to `pngPath` and its laid-out view tree as JSON to
// `inspectPath`, each when given, each through a temporary file. False with
// `error` set when a file cannot be written.
bool writeWindowSnapshot(const std::shared_ptr<ContentView>& content, const std::optional<std::string>& pngPath,
                         const std::optional<std::string>& inspectPath, std::string* error);
