// The host window and its model over the test units, driven through inspection and synthetic clicks.

#include <gtest/gtest.h>

#include <cmath>
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
    bool waitUntilShown(const std::string& key, bool shown = true) {
        const bool done = pumpUntil([&] { return shows(key) == shown; });
        fit();
        return done;
    }
    bool loaded() {
        const bool done = pumpUntil([&] { return model->loadFinished(); });
        fit();
        return done;
    }
    [[nodiscard]] nlohmann::json tree() { return host->inspect(); }
    [[nodiscard]] std::vector<std::string> texts() { return collectTexts(tree()); }
    [[nodiscard]] bool selectable(const std::string& text) {
        return findNode(tree(), "text", text).value_or(nlohmann::json::object()).value("selectable", false);
    }

    ManualValidation validation;
    std::shared_ptr<AudioUnitHostModel> model;
    std::shared_ptr<ContentView> content;
    std::unique_ptr<ui::ViewHost> host;
};

TEST(HostWindow, UnloadedShowsTheDashThenALoadedEffectItsEditorTheBadgeAfterValidationItsModalSheetAndPlayback) {
    WindowContent window;
    // The model loads in a main-queue job; until it runs, the window is unloaded.
    EXPECT_EQ(window.texts(), (std::vector<std::string>{"-", "No Audio Unit loaded.."}));
    EXPECT_TRUE(window.selectable("-"));
    const ui::Rect message = window.frame("No Audio Unit loaded..");
    const ui::Rect messageFrame = window.frame(ContentView::kMessageIdentifier);
    EXPECT_GE(messageFrame.width, 400);
    EXPECT_GE(messageFrame.height, 200);
    EXPECT_NEAR(message.center().x, messageFrame.center().x, 0.5);
    EXPECT_NEAR(message.center().y, messageFrame.center().y, 0.5);
    EXPECT_FALSE(window.shows(ValidationView::kBadgeIdentifier));
    EXPECT_FALSE(window.shows(ContentView::kPlayButtonIdentifier));
    // The inner stack's 20-point padding and the 10-point spacer below it.
    EXPECT_NEAR(window.host->idealSize().width, messageFrame.width + 4 * kMargin, 0.5);

    // The window sees the loaded view model before any validation result.
    std::vector<std::string> order;
    window.model->viewModel.subscribe([&](const AudioUnitViewModel&) { order.push_back("viewModel"); });
    window.model->validationResult.subscribe([&](const auto&) { order.push_back("validationResult"); });
    window.model->currentValidationData.subscribe([&](const auto&) { order.push_back("currentValidationData"); });
    ASSERT_TRUE(window.loaded());
    EXPECT_EQ(window.texts(), (std::vector<std::string>{"aufx dmds QVRN", "Audio Playback", "Play"}));
    EXPECT_TRUE(window.selectable("aufx dmds QVRN"));
    EXPECT_FALSE(window.shows("MIDI Input: Enabled"));
    EXPECT_FALSE(window.shows(ValidationView::kBadgeIdentifier)) << "no badge before validation has finished";

    const ui::Rect editor = frameInTree(window.tree(), "HostTestEditor").value_or(ui::Rect{});
    const ui::Rect padded = window.frame(ContentView::kEditorIdentifier);
    EXPECT_EQ(padded.width, kEditorSize.width + 2 * kMargin);
    EXPECT_EQ(padded.height, kEditorSize.height + 2 * kMargin);
    const ui::Image image = window.host->render(1, DunmarrowAUApp::kWindowBackground);
    EXPECT_EQ(image.pixel(int(editor.center().x), int(editor.center().y)), kEditorColour);

    testing::internal::CaptureStdout();
    window.validation.answer(kAudioComponentValidationResult_Failed, {{"Output", {"check: FAILED", "second line"}}});
    ASSERT_TRUE(window.waitUntilShown("Validation Failed"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "check: FAILED\nsecond line\n");
    EXPECT_EQ(window.validation.record->calls, 1);
    EXPECT_EQ(window.validation.record->options, (nlohmann::json{{"ForceValidation", true}}));
    EXPECT_EQ(window.validation.record->component, window.model->playEngine->avAudioUnit()->component());
    EXPECT_EQ(order, (std::vector<std::string>{"viewModel", "validationResult", "currentValidationData"}));
    EXPECT_FALSE(window.model->playEngine->isPlaying()) << "an effect does not start by itself";
    const ui::Rect badge = window.frame(ValidationView::kBadgeIdentifier);
    EXPECT_LT(window.frame("aufx dmds QVRN").maxY(), badge.y + 0.5);
    EXPECT_LT(badge.maxY(), window.frame(ContentView::kEditorIdentifier).y + 0.5);

    window.click(ValidationView::kBadgeIdentifier);
    ASSERT_TRUE(window.shows("Close"));
    const auto output = textUnder(window.tree(), ValidationView::kOutputIdentifier);
    ASSERT_TRUE(output);
    EXPECT_EQ(output->value("text", ""), "check: FAILED\nsecond line");
    EXPECT_TRUE(output->value("selectable", false));
    EXPECT_LT(window.frame("Close").maxY(), window.frame(ValidationView::kOutputIdentifier).y);
    window.click(ValidationView::kCloseIdentifier);
    EXPECT_FALSE(window.shows("Close"));
    // Open again, it survives the window content being evaluated again.
    window.click(ValidationView::kBadgeIdentifier);
    window.model->validationResult.set(kAudioComponentValidationResult_Passed);
    ASSERT_TRUE(window.waitUntilShown("Validation Passed"));
    EXPECT_TRUE(window.shows("Close"));
    window.click(ValidationView::kCloseIdentifier);

    window.click(ContentView::kPlayButtonIdentifier);
    EXPECT_TRUE(window.model->playEngine->isPlaying()) << "the click waits for the engine's step";
    ASSERT_TRUE(window.waitUntilShown("Stop"));
    window.click(ContentView::kPlayButtonIdentifier);
    EXPECT_FALSE(window.model->playEngine->isPlaying());
    ASSERT_TRUE(window.waitUntilShown("Play"));
    window.model->playEngine->outputLossReason.set("the server went away");
    ASSERT_TRUE(window.waitUntilShown(ContentView::kOutputLostIdentifier));
    EXPECT_EQ(window.texts().back(), "Audio output lost: the server went away");
}

// The instrument feeds the mixer in stereo at the output rate; the file player is left out.
TEST(HostWindow, AFreeRunningInstrumentPlaysAtOnceAndShowsTheMIDILineWithoutPlaybackAsItsTypeDecides) {
    WindowContent window("aumu", "hins", "DmTs");
    ASSERT_TRUE(window.loaded());
    ASSERT_TRUE(window.waitUntilShown("MIDI Input: Enabled"));
    EXPECT_EQ(window.model->viewModel().message, "Successfully loaded (aumu hins DmTs)");
    EXPECT_FALSE(window.shows("Audio Playback"));
    EXPECT_FALSE(window.shows(ContentView::kPlayButtonIdentifier));
    EXPECT_TRUE(findByType(window.tree(), "AUViewControllerUI"));
    auto& engine = *window.model->playEngine;
    EXPECT_TRUE(engine.isPlaying());
    EXPECT_FALSE(engine.player->isPlaying());
    auto& graph = *engine.engine;
    const auto into = graph.inputConnectionPoint(*graph.mainMixerNode(), 0);
    ASSERT_TRUE(into);
    EXPECT_EQ(into->node, engine.unitNode());
    EXPECT_EQ(into->format->sampleRate(), graph.outputNode()->outputFormatForBus(0)->sampleRate());
    EXPECT_EQ(into->format->channelCount(), 2u);
    EXPECT_FALSE(graph.outputConnectionPoint(*engine.player, 0));
    EXPECT_FALSE(graph.inputConnectionPoint(*engine.unitNode(), 0));
    // Its declared MIDI output reaches the engine's midiOutBlock.
    std::vector<std::int64_t> calls;
    engine.midiOutBlock = [&](std::int64_t time, std::uint8_t cable, std::int64_t length, const std::uint8_t*) {
        calls.insert(calls.end(), {time, cable, length});
        return audiounit::OSStatus{0};
    };
    const std::uint8_t bytes[3] = {0x90, 60, 1};
    EXPECT_EQ(engine.avAudioUnit()->auAudioUnit()->MIDIOutputEventBlock()(12, 1, 3, bytes), 0);
    EXPECT_EQ(calls, (std::vector<std::int64_t>{12, 1, 3}));

    struct Row {
        const char* type;
        bool audio, midi, freeRunning;
    };
    for (const Row row : {Row{"aufx", true, false, false}, Row{"aumf", true, true, false},
                          Row{"aumu", false, true, true}, Row{"aumi", false, true, true},
                          Row{"augn", false, false, true}, Row{"aufxx", false, false, false},
                          Row{"a\xC3\xBC" "fx", false, false, false}, Row{"a\xFC" "fx", false, false, false}}) {
        EXPECT_EQ(AudioUnitHostModel::typeWantsAudio(row.type), row.audio) << row.type;
        EXPECT_EQ(AudioUnitHostModel::typeWantsMIDI(row.type), row.midi) << row.type;
        EXPECT_EQ(AudioUnitHostModel::typeIsFreeRunning(row.type), row.freeRunning) << row.type;
    }
}

TEST(HostWindow, TheBadgeIsGreenForPassedAndRedForEveryOtherResultAndAnInvalidatedUnitShowsTheCrashedLayoutOnce) {
    auto window = std::make_unique<WindowContent>();
    ASSERT_TRUE(window->loaded());
    for (const std::uint32_t result : {0u, 0xFFFFFFFFu, 1u}) {
        window->model->validationResult.set(static_cast<AudioComponentValidationResult>(result));
        const std::string expected = result == 1 ? "Validation Passed" : "Validation Failed";
        ASSERT_TRUE(window->waitUntilShown(expected)) << result;
        const ui::Rect badge = window->frame(ValidationView::kBadgeIdentifier);
        const ui::Rect text = window->frame(expected);
        EXPECT_NEAR(text.x - badge.x, 4, 0.01);
        EXPECT_NEAR(badge.maxY() - text.maxY(), 4, 0.01);
        // The fill, sampled in the padding at mid-height (clear of the corners and the glyphs).
        const ui::Image image = window->host->render(2, DunmarrowAUApp::kWindowBackground);
        const ui::Color fill = image.pixel(int(std::lround((badge.x + 2) * 2)), int(std::lround(badge.center().y * 2)));
        expectColour(fill, result == 1 ? ui::Color::green() : ui::Color::red());
        expectColour(darkestPixel(image, text, 2), ui::Color::black(), 0.15);
    }
    // The results above were set without output: the sheet says so.
    using nlohmann::json;
    EXPECT_EQ(validationOutputText(json{{"Output", {"first line", "second line"}}}), "first line\nsecond line");
    EXPECT_EQ(validationOutputText(json{{"Output", {"only"}}, {"Other", 3}}), "only");
    EXPECT_EQ(validationOutputText(json{{"Output", json::array()}}), "");
    for (const json& unusable :
         {json::array({"a"}), json{{"Other", {"a"}}}, json{{"Output", "one line"}}, json{{"Output", {"a", 2}}}})
        EXPECT_EQ(validationOutputText(unusable), "Validation probably crashed") << unusable.dump();
    window->click(ValidationView::kBadgeIdentifier);
    const auto output = textUnder(window->tree(), ValidationView::kOutputIdentifier);
    ASSERT_TRUE(output);
    EXPECT_EQ(output->value("text", ""), "Validation probably crashed");
    window->click(ValidationView::kCloseIdentifier);

    auto& model = *window->model;
    auto& center = foundation::NotificationCenter::defaultCenter();
    const std::string name = audiounit::kAudioComponentInstanceInvalidationNotification;

    center.post(name);
    center.post(name, foundation::NotificationObject(std::make_shared<int>(3)));
    pumpFor(std::chrono::milliseconds(20));
    EXPECT_FALSE(model.audioUnitCrashed());
    const std::shared_ptr<audiounit::AUAudioUnit> unit = model.playEngine->avAudioUnit()->auAudioUnit();
    std::thread([&] { center.post(name, foundation::NotificationObject(unit)); }).join();
    ASSERT_TRUE(window->waitUntilShown(ContentView::kCrashedIdentifier));
    center.post(name, foundation::NotificationObject(unit));
    pumpFor(std::chrono::milliseconds(20));
    EXPECT_EQ(model.audioUnitCrashed.publications(), 1u);

    EXPECT_EQ(window->texts(), (std::vector<std::string>{"(aufx dmds QVRN)", "crashed!", "Validation Passed",
                                                         "Audio Playback", "Play"}));
    const ui::Rect open = window->frame("(aufx dmds QVRN)");
    const ui::Rect crashed = window->frame("crashed!");
    EXPECT_NEAR(crashed.x - open.maxX(), 2, 0.01);
    EXPECT_NEAR(crashed.center().y, open.center().y, 0.01);
    EXPECT_TRUE(window->selectable("crashed!"));
    EXPECT_LT(crashed.maxY(), window->frame(ValidationView::kBadgeIdentifier).y + 0.5);
    // The editor is gone, although the engine still holds the unit.
    EXPECT_FALSE(findByType(window->tree(), "AUViewControllerUI"));
    EXPECT_TRUE(model.playEngine->avAudioUnit());
    EXPECT_TRUE(model.viewModel().viewController);
    window->click(ValidationView::kBadgeIdentifier);
    EXPECT_TRUE(window->shows("Close"));

    // Once the model is gone, so is its observation.
    window.reset();
    center.post(name, foundation::NotificationObject(unit));
    pumpFor(std::chrono::milliseconds(20));
}

TEST(HostWindow, AFailedInstantiationSaysWhyInPlaceOfTheEditorAndChangesNothingElse) {
    TempDir folder;
    writeBrokenEffectBundle(folder.path());
    ::setenv("DUNMARROW_AUDIO_UNIT_PATH", folder.path().c_str(), 1);
    audiounit::AudioComponentRegistry::shared().rescan();
    WindowContent window;
    const bool loaded = window.loaded();
    ::setenv("DUNMARROW_AUDIO_UNIT_PATH", HOST_TEST_BUNDLES, 1);
    audiounit::AudioComponentRegistry::shared().rescan();
    ASSERT_TRUE(loaded);
    const std::string why = "Could not load (aufx dmds QVRN): The module " +
                            folder.path("HostTestEffect.auext/HostTestEffect.so") + " cannot be loaded: it is not an ELF file";
    EXPECT_EQ(window.texts(), (std::vector<std::string>{"aufx dmds QVRN", why, "Audio Playback", "Play"}));
    EXPECT_FALSE(window.shows(ValidationView::kBadgeIdentifier));
    EXPECT_EQ(window.validation.record->calls, 0);
    auto& engine = *window.model->playEngine;
    EXPECT_FALSE(engine.avAudioUnit());
    EXPECT_FALSE(window.model->viewModel().viewController);
    const auto into = engine.engine->inputConnectionPoint(*engine.engine->mainMixerNode(), 0);
    ASSERT_TRUE(into);
    EXPECT_EQ(into->node, engine.player);
    engine.startPlaying();
    EXPECT_FALSE(engine.isPlaying());
}

}  // namespace
