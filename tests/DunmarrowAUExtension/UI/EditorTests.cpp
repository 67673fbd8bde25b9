// The editor against a real platform tree: the parameter mirror and its slider, the main view
// through layout and pixels, and registering the editor's font.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "DunmarrowAUExtensionMainView.hpp"
#include "FontLoader.hpp"
#include "ObservableAUParameter.hpp"
#include "ParameterDefinitions.hpp"
#include "ParameterSlider.hpp"
#include "TempDir.hpp"
#include "foundation/RunLoop.hpp"
#include "ui/Fonts.hpp"
#include "ui/ViewHost.hpp"

using namespace audiounit;
using EditingState = ObservableAUParameter::EditingState;
using ui::Rect;

namespace {

using SentEvents = std::vector<std::pair<AUParameterAutomationEventType, AUValue>>;

class ObservableAUParameterTest : public ::testing::Test {
protected:
    void SetUp() override {
        tree = createParameterTree(parameterTreeSpec());
        tree->tokenByAddingParameterAutomationObserver([this](std::span<const AUParameterAutomationEvent> events) {
            std::lock_guard lock(mutex);
            for (const auto& e : events) sent.emplace_back(e.eventType, e.value);
        });
        root = ObservableAUParameterGroup::make(*tree);
        drive = root->lookupNode("global")->lookupParameter("drive");
        platformDrive = tree->parameterWithIdentifiers({"global", "drive"});
        drainMainQueue();
        (void)takeSent();
    }

    static void drainMainQueue() {
        while (foundation::RunLoop::main().runOnce()) {
        }
    }
    SentEvents takeSent() {
        std::lock_guard lock(mutex);
        return std::exchange(sent, {});
    }
    // Compared as printed, so that a NaN sent matches a NaN expected.
    void expectSent(const SentEvents& expected) {
        EXPECT_EQ(testing::PrintToString(takeSent()), testing::PrintToString(expected));
    }

    std::unique_ptr<ui::ViewHost> makeSlider(bool compact) {
        auto host = std::make_unique<ui::ViewHost>(ui::View(std::make_shared<ParameterSlider>(drive, compact)),
                                                   ui::Size{300, 80});
        host->layoutIfNeeded();
        return host;
    }

    AUParameterTreePtr tree;
    std::shared_ptr<ObservableAUParameterGroup> root;
    std::shared_ptr<ObservableAUParameter> drive;
    AUParameterPtr platformDrive;
    std::mutex mutex;
    SentEvents sent;
};

constexpr auto kTouch = AUParameterAutomationEventType::Touch;
constexpr auto kValue = AUParameterAutomationEventType::Value;
constexpr auto kRelease = AUParameterAutomationEventType::Release;

TEST(TextConversions, FloatDescriptionAndTypedValues) {
    for (const auto& [value, text] : {std::pair{65.0f, "65.0"}, {0.8f, "0.8"}, {0.0f, "0.0"}, {-3.0f, "-3.0"}, {12.25f, "12.25"}})
        EXPECT_EQ(floatDescription(value), text);
    // Typed values: the whole text in the C locale.
    for (const auto& [text, value] : {std::pair{" 42 \n", 42.0f}, {"1e2", 100.0f}, {"-0.5", -0.5f}})
        EXPECT_EQ(parseTypedValue(text), value) << text;
    EXPECT_TRUE(std::isinf(*parseTypedValue("inf")));
    for (const char* text : {"", "   ", "abc", "12abc", "1,5"}) EXPECT_FALSE(parseTypedValue(text)) << text;
}

TEST_F(ObservableAUParameterTest, AGestureSendsTouchValuesThenReleaseWithTheFinalValue) {
    drive->setValue(50);
    (void)takeSent();
    testing::internal::CaptureStdout();
    drive->onEditingChanged(true);
    EXPECT_EQ(drive->editingState(), EditingState::began);
    drive->setValue(53);
    EXPECT_EQ(drive->editingState(), EditingState::active);
    drive->setValue(57);
    drive->setValue(60);
    drive->onEditingChanged(false);
    EXPECT_EQ(drive->editingState(), EditingState::inactive);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Param was set 53.0\nParam was set 57.0\nParam was set 60.0\nParam was set 60.0\n");
    expectSent({{kTouch, 53}, {kValue, 57}, {kValue, 60}, {kRelease, 60}});
    EXPECT_EQ(platformDrive->value(), 60.0f);

    // A gesture without a value still releases the current one.
    testing::internal::CaptureStdout();
    drive->onEditingChanged(true);
    drive->onEditingChanged(false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Param was set 60.0\n");
    expectSent({{kRelease, 60}});

    // The same value twice is sent twice; our own writes do not come back through the main queue.
    testing::internal::CaptureStdout();
    drive->setValue(65);
    drive->setValue(65);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Param was set 65.0\nParam was set 65.0\n");
    expectSent({{kValue, 65}, {kValue, 65}});
    EXPECT_FALSE(foundation::RunLoop::main().runOnce());
}

TEST_F(ObservableAUParameterTest, AHostChangeMovesTheIdleValueWithoutEchoAndIsIgnoredDuringADrag) {
    int notifications = 0;
    auto scope = std::make_shared<ui::ObservationScope>([&] { ++notifications; });
    ui::withObservationTracking(scope, [&] { (void)drive->value(); });
    testing::internal::CaptureStdout();
    // The host writes from another originator, as automation would.
    platformDrive->setValue(72.5f, AUParameterObserverToken{});
    EXPECT_NE(drive->value(), 72.5f);  // nothing moves before the main queue runs
    (void)takeSent();  // the host's own write
    drainMainQueue();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(drive->value(), 72.5f);
    EXPECT_EQ(drive->editingState(), EditingState::inactive);
    EXPECT_GE(notifications, 1);
    EXPECT_TRUE(takeSent().empty());

    testing::internal::CaptureStdout();
    drive->onEditingChanged(true);
    drive->setValue(55);
    platformDrive->setValue(80.0f, AUParameterObserverToken{});
    drainMainQueue();
    EXPECT_EQ(drive->value(), 55.0f);
    EXPECT_EQ(drive->editingState(), EditingState::active);
    drive->onEditingChanged(false);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(platformDrive->value(), 55.0f);
}

TEST_F(ObservableAUParameterTest, TheSliderShowsItsTextsAndSendsATypedValueClampedAsTouchThenRelease) {
    for (const char* text : {"Drive: 65.00", "0.00", "100.00", "Drive"}) EXPECT_TRUE(makeSlider(false)->frameOf(text)) << text;
    EXPECT_FALSE(makeSlider(true)->frameOf("100.00"));
    auto host = makeSlider(false);
    double clickTime = 0;
    // NaN passes the clamp; the kernel turns a NaN target into its neutral setting.
    for (const auto& [typed, value, printed] : {std::tuple{"150", 100.0f, "100.0"}, {"nan", NAN, "nan"}, {"30", 30.0f, "30.0"}}) {
        SCOPED_TRACE(typed);
        testing::internal::CaptureStdout();
        const auto line = host->frameOf("Drive: " + formatParameterValue(*drive, drive->value()));
        ASSERT_TRUE(line);
        clickTime += 10;  // a new double click each time
        host->click(line->center(), clickTime);
        host->click(line->center(), clickTime + 0.1);
        host->layoutIfNeeded();
        host->keyDown(ui::Key::selectAll);
        host->typeText(typed);
        host->keyDown(ui::Key::returnKey);
        host->layoutIfNeeded();
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Param was set " + std::string(printed) + "\nParam was set " + printed + "\n");
        expectSent({{kTouch, value}, {kRelease, value}});
        EXPECT_EQ(drive->editingState(), EditingState::inactive);
    }
    EXPECT_TRUE(host->frameOf("Drive: 30.00"));
}

TEST_F(ObservableAUParameterTest, AGoneParameterKeepsItsValueAndALaterChildReplacesAnEarlierOne) {
    auto lonely = AUParameterTree::createParameter("mix", "Mix", 99, 0, 1, kAudioUnitParameterUnit_Generic,
                                                   std::nullopt, 0, std::nullopt, std::nullopt);
    auto node = ObservableAUParameter::make(lonely);
    lonely.reset();
    EXPECT_EQ(node->parameter(), nullptr);
    testing::internal::CaptureStdout();
    node->setValue(0.8f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Param was set 0.8\n");
    EXPECT_EQ(node->value(), 0.8f);
    node->applyHostUpdate(99, 0.1f);
    EXPECT_EQ(node->value(), 0.8f);

    auto first = AUParameterTree::createParameter("a", "First", 1, 0, 1, 0, std::nullopt, 0, std::nullopt, std::nullopt);
    auto second = AUParameterTree::createParameter("a", "Second", 2, 0, 1, 0, std::nullopt, 0, std::nullopt, std::nullopt);
    auto group = AUParameterTree::createTree({first, second});
    auto mirror = ObservableAUParameterGroup::make(*group);
    EXPECT_EQ(mirror->children().size(), 1u);
    EXPECT_EQ(mirror->lookupParameter("a")->displayName(), "Second");
}

using ObservableAUParameterDeathTest = ObservableAUParameterTest;

TEST_F(ObservableAUParameterDeathTest, LookupErrorsStopWithTheirMessages) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto global = root->lookupNode("global");
    EXPECT_EXIT(
        {
            // The hint line goes to standard output; route it where the matcher sees it.
            fflush(stdout);
            dup2(2, 1);
            (void)global->lookupNode("nope");
        },
        testing::KilledBySignal(SIGABRT),
        "Parameter Group ObservableAUParameterGroup doesn't have a child node named nope, did you mean one of: "
        "\n bite\nbody\ncab\ncrush\ndecimation\ndensity\ndoubleTrack\ndrive\ngain\ngrind\nliveSafe\n"
        "stereoSpread\ntight\ntouch\n");
    auto empty = ObservableAUParameterGroup::make(*AUParameterTree::createTree({}));
    auto odd = AUParameterTree::createTree({AUParameterNode::make()});
    const std::pair<std::function<void()>, const char*> deaths[] = {
        {[&] { (void)drive->lookupNode("x"); },
         "Calling subscript is only supported on ObservableAUParameterGroups, you called it on ObservableAUParameter"},
        {[&] { (void)root->lookupParameter("global"); }, "Parameter node named global cannot be converted to the requested type"},
        {[&] { (void)empty->lookupNode("x"); }, "This group has no children"},
        {[&] { (void)ObservableAUParameterGroup::make(*odd); }, "Unexpected AUParameterNode subclass"},
    };
    for (const auto& [call, message] : deaths) EXPECT_DEATH(call(), message);
}

class MainViewTest : public ObservableAUParameterTest {
protected:
    void SetUp() override {
        ObservableAUParameterTest::SetUp();
        view = std::make_shared<DunmarrowAUExtensionMainView>(
            root, [this]() -> std::optional<std::pair<float, float>> { return levels; });
        testing::internal::CaptureStdout();  // the font loader's line, parameter writes
    }
    void TearDown() override { testing::internal::GetCapturedStdout(); }

    ui::ViewHost& host(ui::Size size) {
        host_ = std::make_unique<ui::ViewHost>(ui::View(view), size);
        host_->layoutIfNeeded();
        return *host_;
    }

    std::optional<std::pair<float, float>> levels{std::pair{0.0f, 0.0f}};
    std::shared_ptr<DunmarrowAUExtensionMainView> view;
    std::unique_ptr<ui::ViewHost> host_;
};

TEST_F(MainViewTest, ShowsEveryTextAtTheDesignSizeAndScalesUniformly) {
    auto& h = host({720, 600});
    EXPECT_EQ(*h.frameOf("canvas"), (Rect{0, 0, 720, 600}));
    for (const char* text : {"D", "unmarro", "w", "HIGH-GAIN GUITAR DISTORTION", "LIVE SAFE", "IN", "OUT",
                             "DECIMATION", "DOUBLE TRACK", "STEREO SPREAD", "DRIVE", "TOUCH", "TIGHT", "BODY",
                             "CAB", "BITE", "GRIND", "CRUSH", "DENSITY", "OUTPUT",
                             "8X OVERSAMPLED DIGITAL DISTORTION", "Drive: 65.00"}) {
        EXPECT_TRUE(h.frameOf(text)) << text;
    }
    // Columns side by side under the meters, the left one starting at the canvas's padding.
    const Rect driveLabel = *h.frameOf("DRIVE"), bite = *h.frameOf("BITE");
    EXPECT_NEAR(driveLabel.center().x, 28 + 146 + (634 - 28 - 606) / 2.0 + 14, 20);
    EXPECT_NEAR(bite.center().x - driveLabel.center().x, 292 + 22, 1);
    EXPECT_LT(h.frameOf("IN")->maxY(), h.frameOf("DECIMATION")->y);
    EXPECT_LT(h.frameOf("DECIMATION")->maxY(), driveLabel.y);
    EXPECT_GT(h.frameOf("LIVE SAFE")->x, 360);

    const Rect footer = *h.frameOf("8X OVERSAMPLED DIGITAL DISTORTION");
    auto& narrow = host({360, 600});
    EXPECT_EQ(*narrow.frameOf("canvas"), (Rect{0, 150, 360, 300}));
    const Rect narrowFooter = *narrow.frameOf("8X OVERSAMPLED DIGITAL DISTORTION");
    EXPECT_NEAR(narrowFooter.y, 150 + footer.y / 2, 0.01);
    auto image = narrow.render(1, ui::Color::white());
    for (int y : {2, 100, 148, 452, 598}) {
        const auto c = image.pixel(180, y);
        EXPECT_LT(c.r + c.g + c.b, 0.01) << "letterbox at y " << y;
    }
}

// An effect unit whose meters read fixed levels, different for input and output.
class FixedLevelsUnit final : public DunmarrowAUExtensionAudioUnit {
public:
    using DunmarrowAUExtensionAudioUnit::DunmarrowAUExtensionAudioUnit;
    float inputLevel() const override { return 0.5f; }
    float outputLevel() const override { return 0.25f; }
};

TEST_F(MainViewTest, MetersShowTheUnitsInputAndOutputRiseAtOnceDecayAndFillTheirBars) {
    foundation::NSError error;
    auto unit = AUAudioUnit::create<FixedLevelsUnit>(DunmarrowAUExtensionAudioUnit::kComponentDescription,
                                                     kAudioComponentInstantiation_None, &error);
    ASSERT_TRUE(unit) << error.localizedDescription();
    auto unitView = std::make_shared<DunmarrowAUExtensionMainView>(root, unit);
    unitView->updateMeters();
    EXPECT_FLOAT_EQ(unitView->inputLevel(), 0.5f);
    EXPECT_FLOAT_EQ(unitView->outputLevel(), 0.25f);

    EXPECT_EQ(DunmarrowAUExtensionMainView::meterFraction(std::numeric_limits<float>::quiet_NaN()), 0.0);
    EXPECT_EQ(DunmarrowAUExtensionMainView::meterFraction(-1.0f), 0.0);

    auto& h = host({720, 600});
    EXPECT_EQ(h.frameOf("OUT bar")->width, 0);
    // A rise shows at once; a fall decays by 0.86 a tick; without levels to read, both decay.
    levels = std::pair{0.0f, 0.3f};
    view->updateMeters();
    levels = std::pair{0.5f, 0.0f};
    view->updateMeters();
    EXPECT_FLOAT_EQ(view->inputLevel(), 0.5f);
    for (int tick = 0; tick < 30; ++tick) view->updateMeters();
    EXPECT_NEAR(view->inputLevel(), 0.5f, 1e-6) << "a steady reading holds";
    EXPECT_NEAR(view->outputLevel(), 0.3 * std::pow(0.86, 31), 1e-6);
    levels.reset();
    view->updateMeters();
    EXPECT_FLOAT_EQ(view->inputLevel(), 0.5f * 0.86f);

    levels = std::pair{1.3f, std::numeric_limits<float>::infinity()};
    view->updateMeters();
    h.layoutIfNeeded();
    const Rect in = *h.frameOf("IN bar"), out = *h.frameOf("OUT bar");
    EXPECT_EQ(in.width, 292 - 28 - 28 - 8);
    EXPECT_EQ(out.width, in.width);
    // A full bar runs from dark to bright red.
    auto image = h.render(2);
    const auto start = image.pixel(static_cast<int>((in.x + 6) * 2), static_cast<int>(in.center().y * 2));
    const auto end = image.pixel(static_cast<int>((in.maxX() - 6) * 2), static_cast<int>(in.center().y * 2));
    EXPECT_NEAR(start.r, 0.28, 0.04);
    EXPECT_NEAR(end.r, 0.62, 0.04);
    EXPECT_LT(start.g + start.b, 0.05);
    EXPECT_LT(end.g, 0.02);
}

TEST_F(MainViewTest, FirstAppearanceRegistersTheFontOnceStartsTheMeterTimerAndTheLiveSafeSwitchWritesOneOrZero) {
    auto liveSafe = root->lookupNode("global")->lookupParameter("liveSafe");
    liveSafe->setValue(0.4f);
    (void)testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    auto& h = host({720, 600});
    levels = std::pair{0.9f, 0.4f};
    EXPECT_TRUE(foundation::RunLoop::main().runUntil([&] { return view->inputLevel() == 0.9f; }, std::chrono::seconds(2)));
    EXPECT_FLOAT_EQ(view->outputLevel(), 0.4f);
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_EQ(out.rfind("FontLoader: ", 0), 0u) << out;
    EXPECT_EQ(out.find("FontLoader: ", 1), std::string::npos) << out;

    h.click(h.frameOf("LIVE SAFE")->center());
    EXPECT_EQ(liveSafe->value(), 1.0f);
    h.click(h.frameOf("LIVE SAFE")->center());
    EXPECT_EQ(liveSafe->value(), 0.0f);
}

std::string registerFrom(const foundation::Bundle& bundle) {
    testing::internal::CaptureStdout();
    registerEditorFont(bundle);
    return testing::internal::GetCapturedStdout();
}

// The platform's refusals and their codes: FontRegistration.ARegisteredFamilyReplacesTheFallbackAndBadFilesGiveErrors.
TEST(FontLoader, RegistersTheShippedFontAndReportsEveryOtherOutcome) {
    testsupport::TempDir bundle;
    const auto font = bundle.path() / "Resources" / "Glimra.otf";
    std::filesystem::create_directories(font.parent_path());
    EXPECT_EQ(registerFrom(foundation::Bundle(bundle.path())),
              "FontLoader: Glimra.otf not found in extension bundle: " + bundle.path().string() + "\n");
    // Without a bundle, the one holding the code: the test executable's folder.
    const auto own = foundation::Bundle::forAddress(reinterpret_cast<const void*>(static_cast<void (*)()>(&registerEditorFont)));
    ASSERT_TRUE(own);
    testing::internal::CaptureStdout();
    registerEditorFont();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "FontLoader: Glimra.otf not found in extension bundle: " + own->bundlePath().string() + "\n");

    std::ofstream(font) << "not a font";
    const std::string printed = registerFrom(foundation::Bundle(bundle.path()));
    EXPECT_EQ(printed.rfind("FontLoader: failed to register Glimra: Error Domain=", 0), 0u) << printed;

    std::filesystem::copy_file(DUNMARROW_GLIMRA_FONT, font, std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(registerFrom(foundation::Bundle(bundle.path())), "FontLoader: Glimra registered from: " + font.string() + "\n");
    EXPECT_EQ(ui::resolvedFontFamily(ui::Font::custom("Glimra", 64)), "Glimra");
}

}  // namespace
