// The editor's main view through the layout dump and rendered pixels: texts,
// the uniform scaling of the canvas, meter ballistics and the bar fill, the
// Live Safe switch's binding; and registering the editor's font from a bundle.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "DunmarrowAUExtensionMainView.hpp"
#include "FontLoader.hpp"
#include "ParameterDefinitions.hpp"
#include "TempDir.hpp"
#include "foundation/RunLoop.hpp"
#include "ui/Fonts.hpp"
#include "ui/ViewHost.hpp"

using namespace audiounit;
using ui::Rect;

namespace {

class MainViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        tree = createParameterTree(parameterTreeSpec());
        root = ObservableAUParameterGroup::make(*tree);
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

    AUParameterTreePtr tree;
    std::shared_ptr<ObservableAUParameterGroup> root;
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
    const Rect drive = *h.frameOf("DRIVE"), bite = *h.frameOf("BITE");
    EXPECT_NEAR(drive.center().x, 28 + 146 + (634 - 28 - 606) / 2.0 + 14, 20);
    EXPECT_NEAR(bite.center().x - drive.center().x, 292 + 22, 1);
    EXPECT_NEAR(h.frameOf("IN")->center().y, h.frameOf("OUT")->center().y, 0.5);
    EXPECT_LT(h.frameOf("IN")->maxY(), h.frameOf("DECIMATION")->y);
    EXPECT_LT(h.frameOf("DECIMATION")->maxY(), drive.y);
    EXPECT_LT(h.frameOf("CAB")->maxY(), h.frameOf("8X OVERSAMPLED DIGITAL DISTORTION")->y);
    // The switch sits at the header's bottom right.
    EXPECT_GT(h.frameOf("LIVE SAFE")->x, 360);

    // The canvas scales uniformly and centres.
    const Rect footer = *h.frameOf("8X OVERSAMPLED DIGITAL DISTORTION");
    auto& big = host({1440, 1200});
    EXPECT_EQ(*big.frameOf("canvas"), (Rect{0, 0, 1440, 1200}));
    const Rect bigFooter = *big.frameOf("8X OVERSAMPLED DIGITAL DISTORTION");
    EXPECT_NEAR(bigFooter.width, footer.width * 2, 0.01);
    EXPECT_NEAR(bigFooter.x, footer.x * 2, 0.01);

    auto& narrow = host({360, 600});
    EXPECT_EQ(*narrow.frameOf("canvas"), (Rect{0, 150, 360, 300}));
    const Rect narrowFooter = *narrow.frameOf("8X OVERSAMPLED DIGITAL DISTORTION");
    EXPECT_NEAR(narrowFooter.y, 150 + footer.y / 2, 0.01);
    // Black above and below the canvas.
    auto image = narrow.render(1, ui::Color::white());
    for (int y : {2, 100, 148, 452, 598}) {
        const auto c = image.pixel(180, y);
        EXPECT_LT(c.r + c.g + c.b, 0.01) << y;
    }
}

// An effect unit whose meters read fixed levels, different for input and output.
class FixedLevelsUnit final : public DunmarrowAUExtensionAudioUnit {
public:
    using DunmarrowAUExtensionAudioUnit::DunmarrowAUExtensionAudioUnit;
    float inputLevel() const override { return 0.5f; }
    float outputLevel() const override { return 0.25f; }
};

TEST_F(MainViewTest, MetersShowTheUnitsInputAndOutputRiseAtOnceAndDecay) {
    // The view over a unit reads its input into IN and its output into OUT.
    foundation::NSError error;
    auto unit = AUAudioUnit::create<FixedLevelsUnit>(DunmarrowAUExtensionAudioUnit::kComponentDescription,
                                                     kAudioComponentInstantiation_None, &error);
    ASSERT_TRUE(unit) << error.localizedDescription();
    auto unitView = std::make_shared<DunmarrowAUExtensionMainView>(root, unit);
    unitView->updateMeters();
    EXPECT_FLOAT_EQ(unitView->inputLevel(), 0.5f);
    EXPECT_FLOAT_EQ(unitView->outputLevel(), 0.25f);

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

    EXPECT_EQ(DunmarrowAUExtensionMainView::meterFraction(1.3f), 1.0);
    EXPECT_EQ(DunmarrowAUExtensionMainView::meterFraction(std::numeric_limits<float>::infinity()), 1.0);
    EXPECT_EQ(DunmarrowAUExtensionMainView::meterFraction(std::numeric_limits<float>::quiet_NaN()), 0.0);
    EXPECT_EQ(DunmarrowAUExtensionMainView::meterFraction(-1.0f), 0.0);
}

TEST_F(MainViewTest, BarFillFollowsTheClampedLevelInARedGradient) {
    auto& h = host({720, 600});
    EXPECT_EQ(h.frameOf("OUT bar")->width, 0);
    levels = std::pair{1.3f, std::numeric_limits<float>::infinity()};
    view->updateMeters();
    h.layoutIfNeeded();
    const Rect in = *h.frameOf("IN bar"), out = *h.frameOf("OUT bar");
    EXPECT_EQ(in.width, 292 - 28 - 28 - 8);
    EXPECT_EQ(out.width, in.width);

    levels = std::pair{0.5f, 0.0f};
    for (int tick = 0; tick < 5; ++tick) view->updateMeters();
    h.layoutIfNeeded();
    // Still decaying from 1.3: 1.3 * 0.86^5 is above the new reading of 0.5.
    EXPECT_NEAR(h.frameOf("IN bar")->width, in.width * 1.3 * std::pow(0.86, 5), 0.5);

    // The filled bar runs from dark red to brighter red, left to right, on black.
    levels = std::pair{1.0f, 1.0f};
    view->updateMeters();
    auto image = h.render(2);
    const Rect bar = *h.frameOf("IN bar");
    const auto start = image.pixel(static_cast<int>((bar.x + 6) * 2), static_cast<int>(bar.center().y * 2));
    const auto end = image.pixel(static_cast<int>((bar.maxX() - 6) * 2), static_cast<int>(bar.center().y * 2));
    EXPECT_NEAR(start.r, 0.28, 0.04);
    EXPECT_NEAR(end.r, 0.62, 0.04);
    EXPECT_LT(start.g + start.b, 0.05);
    EXPECT_LT(end.g, 0.02);
    const auto corner = image.pixel(2, 2);
    EXPECT_LT(corner.r + corner.g + corner.b, 0.01);
}

TEST_F(MainViewTest, LiveSafeSwitchWritesOneOrZeroAndAnOpenFieldSurvivesMeterTicks) {
    auto liveSafe = root->lookupNode("global")->lookupParameter("liveSafe");
    auto platform = tree->parameterWithIdentifiers({"global", "liveSafe"});
    liveSafe->setValue(0.4f);
    auto& h = host({720, 600});
    h.click(h.frameOf("LIVE SAFE")->center());
    EXPECT_EQ(liveSafe->value(), 1.0f);
    EXPECT_EQ(platform->value(), 1.0f);
    h.click(h.frameOf("LIVE SAFE")->center());
    EXPECT_EQ(liveSafe->value(), 0.0f);

    // An open typed-value field survives the meter ticks re-evaluating the main body.
    const Rect line = *h.frameOf("Drive: 65.00");
    h.click(line.center(), 1.0);
    h.click(line.center(), 1.1);
    h.layoutIfNeeded();
    ASSERT_TRUE(h.hasKeyboardFocus());
    levels = std::pair{0.7f, 0.7f};
    view->updateMeters();
    h.layoutIfNeeded();
    EXPECT_TRUE(h.hasKeyboardFocus());
    EXPECT_FALSE(h.frameOf("Drive: 65.00"));
}

TEST_F(MainViewTest, FirstAppearanceRegistersFontOnceAndStartsTheMeterTimer) {
    (void)testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    auto& h = host({720, 600});
    h.layoutIfNeeded();
    levels = std::pair{0.9f, 0.4f};
    const bool ticked = foundation::RunLoop::main().runUntil([&] { return view->inputLevel() == 0.9f; },
                                                           std::chrono::seconds(2));
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(ticked);
    EXPECT_FLOAT_EQ(view->outputLevel(), 0.4f);
    EXPECT_EQ(out.rfind("FontLoader: ", 0), 0u) << out;
    EXPECT_EQ(out.find("FontLoader: ", 1), std::string::npos) << out;
}

std::string registerFrom(const foundation::Bundle& bundle) {
    testing::internal::CaptureStdout();
    registerEditorFont(bundle);
    return testing::internal::GetCapturedStdout();
}

TEST(FontLoader, RegistersTheShippedFontOnceAndReportsEveryOtherOutcome) {
    testsupport::TempDir bundle;
    const auto font = bundle.path() / "Resources" / "Glimra.otf";
    std::filesystem::create_directories(font.parent_path());
    EXPECT_EQ(registerFrom(foundation::Bundle(bundle.path())),
              "FontLoader: Glimra.otf not found in extension bundle: " + bundle.path().string() + "\n");
    // Without a bundle given, the one holding the code: the test executable's folder, without the font.
    const auto own = foundation::Bundle::forAddress(reinterpret_cast<const void*>(static_cast<void (*)()>(&registerEditorFont)));
    ASSERT_TRUE(own);
    testing::internal::CaptureStdout();
    registerEditorFont();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "FontLoader: Glimra.otf not found in extension bundle: " + own->bundlePath().string() + "\n");

    std::ofstream(font) << "not a font";
    std::string printed = registerFrom(foundation::Bundle(bundle.path()));
    EXPECT_EQ(printed.rfind("FontLoader: failed to register Glimra: Error Domain=", 0), 0u) << printed;
    EXPECT_NE(printed.find("Code=103"), std::string::npos) << printed;

    std::filesystem::copy_file(DUNMARROW_GLIMRA_FONT, font, std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(registerFrom(foundation::Bundle(bundle.path())), "FontLoader: Glimra registered from: " + font.string() + "\n");
    EXPECT_EQ(ui::resolvedFontFamily(ui::Font::custom("Glimra", 64)), "Glimra");
    // A second registration of the same file is refused with an error.
    printed = registerFrom(foundation::Bundle(bundle.path()));
    EXPECT_EQ(printed.rfind("FontLoader: failed to register Glimra: Error Domain=", 0), 0u) << printed;
    EXPECT_NE(printed.find("Code=105"), std::string::npos) << printed;
}

}  // namespace
