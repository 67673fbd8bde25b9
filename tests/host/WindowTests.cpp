// The host window: ContentView, ValidationView and the embedded editor, driven
// through inspection and synthetic clicks (the input path real windows use),
// over the host model with the test effect and a validation the test answers.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ContentView.hpp"
#include "DunmarrowAUApp.hpp"
#include "HostTestSupport.hpp"
#include "ValidationView.hpp"
#include "WindowTestSupport.hpp"
#include "audiounit/AudioComponentInstanceInvalidation.hpp"
#include "audiounit/AudioComponentRegistry.hpp"
#include "foundation/NotificationCenter.hpp"
#include "ui/ViewHost.hpp"

using namespace hosttest;

namespace {

constexpr double kMargin = ContentView::kDefaultMargin;

// The content of one window over a model whose validation answers when told.
class WindowContent {
public:
    explicit WindowContent(const std::string& type = "aufx", const std::string& subType = "dmds",
                           const std::string& manufacturer = "QVRN") {
        AudioUnitHostModel::Configuration configuration;
        configuration.engine = engineConfiguration();
        configuration.validate = validation.function();
        model = AudioUnitHostModel::make(type, subType, manufacturer, std::move(configuration));
        content = std::make_shared<ContentView>(model);
        host = std::make_unique<ui::ViewHost>(ui::View(content));
        fit();
    }
    ~WindowContent() {
        if (model->playEngine->isPlaying()) model->playEngine->stopPlaying();
    }

    void fit() { host->setSize(host->idealSize()); }
    [[nodiscard]] bool shows(const std::string& key) { return host->frameOf(key).has_value(); }
    [[nodiscard]] ui::Rect frame(const std::string& key) {
        const auto found = host->frameOf(key);
        EXPECT_TRUE(found) << "nothing shows " << key;
        return found.value_or(ui::Rect{});
    }
    void click(const std::string& key) { host->click(frame(key).center()); }
    // Pumps the main run loop until the window shows `key` (or no longer does).
    bool waitUntilShown(const std::string& key, bool shown = true) {
        return pumpUntil([&] { return shows(key) == shown; });
    }
    [[nodiscard]] nlohmann::json tree() { return host->inspect(); }

    ManualValidation validation;
    std::shared_ptr<AudioUnitHostModel> model;
    std::shared_ptr<ContentView> content;
    std::unique_ptr<ui::ViewHost> host;
};

TEST(HostWindow, UnloadedShowsTheDashAndTheMessageOnly) {
    WindowContent window;
    // The model loads in a main-queue job; until it runs, the window is unloaded.
    EXPECT_EQ(collectTexts(window.tree()),
              (std::vector<std::string>{"-", "No Audio Unit loaded.."}));
    auto title = findByText(window.tree(), "-");
    ASSERT_TRUE(title);
    EXPECT_EQ(boolField(*title, "selectable"), true);
    const ui::Rect message = window.frame("No Audio Unit loaded..");
    const ui::Rect messageFrame = window.frame(ContentView::kMessageIdentifier);
    EXPECT_GE(messageFrame.width, 400);
    EXPECT_GE(messageFrame.height, 200);
    // Centred in its frame.
    EXPECT_NEAR(message.center().x, messageFrame.center().x, 0.5);
    EXPECT_NEAR(message.center().y, messageFrame.center().y, 0.5);
    EXPECT_FALSE(window.shows(ValidationView::kBadgeIdentifier));
    EXPECT_FALSE(window.shows(ContentView::kPlayButtonIdentifier));
    // The inner stack's 20-point padding and the 10-point spacer below it.
    EXPECT_NEAR(window.host->idealSize().width, messageFrame.width + 4 * kMargin, 0.5);
}

TEST(HostWindow, LoadedEffectShowsTitleEditorAndPlaybackAndTheBadgeOnlyAfterValidation) {
    WindowContent window;
    ASSERT_TRUE(pumpUntil([&] { return window.model->loadFinished(); }));
    window.fit();
    EXPECT_EQ(collectTexts(window.tree()), (std::vector<std::string>{"aufx dmds QVRN", "Audio Playback", "Play"}));
    EXPECT_FALSE(window.shows("MIDI Input: Enabled"));
    EXPECT_FALSE(window.shows(ValidationView::kBadgeIdentifier)) << "no badge before validation has finished";

    // The editor, embedded at its preferred size with 10 points of padding.
    const auto embedded = findByType(window.tree(), "AUViewControllerUI");
    ASSERT_TRUE(embedded);
    const ui::Rect editor = frameInTree(window.tree(), "HostTestEditor").value_or(ui::Rect{});
    EXPECT_EQ(editor.width, kEditorSize.width);
    EXPECT_EQ(editor.height, kEditorSize.height);
    const ui::Rect padded = window.frame(ContentView::kEditorIdentifier);
    EXPECT_EQ(padded.width, kEditorSize.width + 2 * kMargin);
    EXPECT_EQ(padded.height, kEditorSize.height + 2 * kMargin);
    const ui::Image image = window.host->render(1, DunmarrowAUApp::kWindowBackground);
    EXPECT_EQ(image.pixel(int(editor.center().x), int(editor.center().y)), kEditorColour);

    // The title is bold and selectable.
    auto title = findByText(window.tree(), "aufx dmds QVRN");
    ASSERT_TRUE(title);
    EXPECT_EQ(boolField(*title, "selectable"), true);

    window.validation.answer(kAudioComponentValidationResult_Passed, {{"Output", {"check one: passed", "done"}}});
    ASSERT_TRUE(window.waitUntilShown("Validation Passed"));
    window.fit();
    // Title, badge, editor in this order, top to bottom.
    const ui::Rect badge = window.frame(ValidationView::kBadgeIdentifier);
    EXPECT_LT(window.frame("aufx dmds QVRN").maxY(), badge.y + 0.5);
    EXPECT_LT(badge.maxY(), window.frame(ContentView::kEditorIdentifier).y + 0.5);
}

TEST(HostWindow, TheBadgeIsGreenForPassedAndRedForEveryOtherResult) {
    WindowContent window;
    ASSERT_TRUE(pumpUntil([&] { return window.model->loadFinished(); }));
    for (const std::uint32_t result : {1u, 0u, 2u, 3u, 4u, 0xFFFFFFFFu}) {
        window.model->validationResult.set(static_cast<AudioComponentValidationResult>(result));
        const std::string expected = result == 1 ? "Validation Passed" : "Validation Failed";
        ASSERT_TRUE(window.waitUntilShown(expected)) << result;
        window.fit();
        const ui::Rect badge = window.frame(ValidationView::kBadgeIdentifier);
        const ui::Rect text = window.frame(expected);
        // The text sits inside 4 points of padding.
        EXPECT_NEAR(text.x - badge.x, 4, 0.01);
        EXPECT_NEAR(badge.maxY() - text.maxY(), 4, 0.01);
        // The fill, sampled in the padding at mid-height (clear of the corners and the glyphs).
        const ui::Image image = window.host->render(2, DunmarrowAUApp::kWindowBackground);
        const ui::Color fill = image.pixel(int(std::lround((badge.x + 2) * 2)), int(std::lround(badge.center().y * 2)));
        expectColour(fill, result == 1 ? ui::Color::green() : ui::Color::red());
        // Black text: the darkest pixel inside the text is black.
        expectColour(darkestPixel(image, text, 2), ui::Color::black(), 0.15);
    }
}

TEST(HostWindow, ClickingTheBadgeOpensTheSheetAndCloseClosesIt) {
    WindowContent window;
    ASSERT_TRUE(pumpUntil([&] { return window.model->loadFinished(); }));
    window.validation.answer(kAudioComponentValidationResult_Failed, {{"Output", {"check: FAILED", "second line"}}});
    ASSERT_TRUE(window.waitUntilShown("Validation Failed"));
    window.fit();
    EXPECT_FALSE(window.shows(ValidationView::kCloseIdentifier));

    window.click(ValidationView::kBadgeIdentifier);
    EXPECT_TRUE(window.content->isSheetPresented.peek());
    ASSERT_TRUE(window.shows("Close"));
    auto output = textUnder(window.tree(), ValidationView::kOutputIdentifier);
    ASSERT_TRUE(output);
    EXPECT_EQ(stringField(*output, "text"), "check: FAILED\nsecond line");
    EXPECT_EQ(boolField(*output, "selectable"), true);
    ASSERT_TRUE(findByType(window.tree(), "ScrollView"));
    // "Close" above the output.
    EXPECT_LT(window.frame("Close").maxY(), window.frame(ValidationView::kOutputIdentifier).y);

    // The sheet is modal: the play button under it takes no click.
    window.click(ContentView::kPlayButtonIdentifier);
    EXPECT_FALSE(window.model->playEngine->isPlaying());

    window.click(ValidationView::kCloseIdentifier);
    EXPECT_FALSE(window.content->isSheetPresented.peek());
    EXPECT_FALSE(window.shows("Close"));

    window.click(ValidationView::kBadgeIdentifier);
    EXPECT_TRUE(window.content->isSheetPresented.peek());
    EXPECT_TRUE(window.shows("Close"));
    // The sheet state survives the window content being evaluated again.
    window.model->validationResult.set(kAudioComponentValidationResult_Passed);
    ASSERT_TRUE(window.waitUntilShown("Validation Passed"));
    EXPECT_TRUE(window.shows("Close"));
}

TEST(HostWindow, TheSheetSaysValidationProbablyCrashedWithoutOutput) {
    WindowContent window;
    ASSERT_TRUE(pumpUntil([&] { return window.model->loadFinished(); }));
    window.model->validationResult.set(kAudioComponentValidationResult_Failed);
    ASSERT_TRUE(window.waitUntilShown("Validation Failed"));
    window.fit();
    window.click(ValidationView::kBadgeIdentifier);
    auto output = textUnder(window.tree(), ValidationView::kOutputIdentifier);
    ASSERT_TRUE(output);
    EXPECT_EQ(stringField(*output, "text"), "Validation probably crashed");
}

TEST(HostWindow, PlayAndStopChangeTheEngineAndTheLabel) {
    WindowContent window;
    ASSERT_TRUE(pumpUntil([&] { return window.model->loadFinished(); }));
    window.fit();
    ASSERT_TRUE(window.shows("Play"));
    window.click(ContentView::kPlayButtonIdentifier);
    EXPECT_TRUE(window.model->playEngine->isPlaying()) << "the click waits for the engine's step";
    ASSERT_TRUE(window.waitUntilShown("Stop"));
    EXPECT_FALSE(window.shows("Play"));
    window.click(ContentView::kPlayButtonIdentifier);
    EXPECT_FALSE(window.model->playEngine->isPlaying());
    ASSERT_TRUE(window.waitUntilShown("Play"));
    // A start from elsewhere relabels the button too.
    window.model->playEngine->startPlaying();
    ASSERT_TRUE(window.waitUntilShown("Stop"));
    window.model->playEngine->stopPlaying();
    ASSERT_TRUE(window.waitUntilShown("Play"));
}

TEST(HostWindow, AFreeRunningInstrumentShowsStopAndTheMIDILineWithoutPlayback) {
    WindowContent window("aumu", "hins", "DmTs");
    ASSERT_TRUE(pumpUntil([&] { return window.model->loadFinished(); }));
    ASSERT_TRUE(window.waitUntilShown("MIDI Input: Enabled"));
    // An instrument is no effect: no playback controls, although it plays by itself.
    EXPECT_TRUE(window.model->playEngine->isPlaying());
    EXPECT_FALSE(window.shows("Audio Playback"));
    EXPECT_FALSE(window.shows(ContentView::kPlayButtonIdentifier));
    // Its editor is the generic one.
    EXPECT_TRUE(findByType(window.tree(), "AUViewControllerUI"));
}

TEST(HostWindow, AnInvalidatedInstanceShowsTheCrashedLayout) {
    WindowContent window;
    ASSERT_TRUE(pumpUntil([&] { return window.model->loadFinished(); }));
    window.validation.answer(kAudioComponentValidationResult_Passed, {{"Output", {"ok"}}});
    ASSERT_TRUE(window.waitUntilShown("Validation Passed"));
    ASSERT_TRUE(findByType(window.tree(), "AUViewControllerUI"));

    const std::shared_ptr<audiounit::AUAudioUnit> unit = window.model->playEngine->avAudioUnit()->auAudioUnit();
    std::thread([&] {
        foundation::NotificationCenter::defaultCenter().post(audiounit::kAudioComponentInstanceInvalidationNotification,
                                                             foundation::NotificationObject(unit));
    }).join();
    ASSERT_TRUE(window.waitUntilShown(ContentView::kCrashedIdentifier));
    window.fit();
    EXPECT_EQ(collectTexts(window.tree()), (std::vector<std::string>{"(aufx dmds QVRN)", "crashed!", "Validation Passed",
                                                                     "Audio Playback", "Play"}));
    // One row: the two texts side by side, 2 points apart, both selectable.
    const ui::Rect open = window.frame("(aufx dmds QVRN)");
    const ui::Rect crashed = window.frame("crashed!");
    EXPECT_NEAR(crashed.x - open.maxX(), 2, 0.01);
    EXPECT_NEAR(crashed.center().y, open.center().y, 0.01);
    EXPECT_EQ(boolField(findByText(window.tree(), "crashed!").value_or(nlohmann::json::object()), "selectable"), true);
    EXPECT_LT(crashed.maxY(), window.frame(ValidationView::kBadgeIdentifier).y + 0.5);
    // The editor is gone, although the engine still holds the unit.
    EXPECT_FALSE(findByType(window.tree(), "AUViewControllerUI"));
    EXPECT_FALSE(frameInTree(window.tree(), "HostTestEditor"));
    EXPECT_TRUE(window.model->playEngine->avAudioUnit());
    EXPECT_TRUE(window.model->viewModel().viewController);
    // The badge still opens the sheet.
    window.click(ValidationView::kBadgeIdentifier);
    EXPECT_TRUE(window.shows("Close"));
}

TEST(HostWindow, AFailedInstantiationSaysWhyInPlaceOfTheEditor) {
    // The registry knows the component, but its module is no library.
    TempDir folder;
    std::filesystem::copy(std::string(HOST_TEST_BUNDLES) + "/HostTestEffect.auext",
                          folder.path() / "HostTestEffect.auext", std::filesystem::copy_options::recursive);
    std::filesystem::remove(folder.path() / "HostTestEffect.auext" / "HostTestEffect.so");
    std::ofstream(folder.path() / "HostTestEffect.auext" / "HostTestEffect.so") << "not a library";
    ::setenv("DUNMARROW_AUDIO_UNIT_PATH", folder.path().c_str(), 1);
    audiounit::AudioComponentRegistry::shared().rescan();
    WindowContent window;
    const bool loaded = pumpUntil([&] { return window.model->loadFinished(); });
    ::setenv("DUNMARROW_AUDIO_UNIT_PATH", HOST_TEST_BUNDLES, 1);
    audiounit::AudioComponentRegistry::shared().rescan();
    ASSERT_TRUE(loaded);
    ASSERT_FALSE(window.model->playEngine->avAudioUnit());
    window.fit();
    const std::string why = "Could not load (aufx dmds QVRN): The module " +
                            (folder.path() / "HostTestEffect.auext" / "HostTestEffect.so").string() +
                            " cannot be loaded: it is not an ELF file";
    EXPECT_EQ(collectTexts(window.tree()), (std::vector<std::string>{"aufx dmds QVRN", why, "Audio Playback", "Play"}));
    EXPECT_GE(window.frame(ContentView::kMessageIdentifier).width, 400);
    EXPECT_GE(window.frame(ContentView::kMessageIdentifier).height, 200);
    EXPECT_FALSE(window.shows(ValidationView::kBadgeIdentifier));
    EXPECT_EQ(window.validation.calls(), 0);
}

}  // namespace
