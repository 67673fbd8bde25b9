// Pixels of the rendered image: fills, gradients, strokes, clipping, text, scale.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TempDir.hpp"
#include "ui/View.hpp"
#include "ui/ViewHost.hpp"

namespace {

using namespace ui;

void expectColor(const Color& actual, const Color& expected, double tolerance = 1.5 / 255) {
    EXPECT_NEAR(actual.r, expected.r, tolerance) << "red";
    EXPECT_NEAR(actual.g, expected.g, tolerance) << "green";
    EXPECT_NEAR(actual.b, expected.b, tolerance) << "blue";
    EXPECT_NEAR(actual.a, expected.a, tolerance) << "alpha";
}

// Source-over of a colour with opacity onto an opaque backdrop, per component.
Color over(Color top, Color backdrop) {
    return {top.r * top.a + backdrop.r * (1 - top.a), top.g * top.a + backdrop.g * (1 - top.a),
            top.b * top.a + backdrop.b * (1 - top.a), 1};
}

TEST(Render, FillsBlendInSRGBOverTheBackdropAndOpacityAndOffsetApply) {
    ViewHost host(ZStack({Color::black(), Rectangle().fill(Color::white().opacity(0.12)).frame(10, 10)}), {20, 20});
    const Image image = host.render(1);
    expectColor(image.pixel(0, 0), Color::black());
    expectColor(image.pixel(10, 10), over(Color::white().opacity(0.12), Color::black()));

    // Opacity fades and offset moves what is drawn.
    ViewHost moved(ZStack(Alignment::topLeading(), {Color::black(), View(Color::white()).frame(10, 10).offset(20, 0).opacity(0.5)}),
                   {40, 10});
    const Image faded = moved.render(1);
    expectColor(faded.pixel(5, 5), Color::black());
    expectColor(faded.pixel(25, 5), over(Color::white().opacity(0.5), Color::black()));
}

TEST(Render, LinearGradientRunsFromLeadingToTrailing) {
    const Color from = Color::sRGB(0.28, 0, 0.015), to = Color::sRGB(0.62, 0, 0.03);
    ViewHost host(Rectangle().fill(LinearGradient{from, to, UnitPoint::leading(), UnitPoint::trailing()}), {200, 8});
    const Image image = host.render(1);
    for (int x : {0, 50, 100, 150, 199}) {
        const double t = (x + 0.5) / 200;
        expectColor(image.pixel(x, 4), Color{from.r + (to.r - from.r) * t, 0, from.b + (to.b - from.b) * t, 1}, 2.0 / 255);
    }
}

TEST(Render, ShapesStrokeInsideTheirBoundsFillTheirOutlineAndClip) {
    ViewHost host(View(Color::black()).frame(40, 40).border(Shape{}, Color::white(), 2), {40, 40});
    const Image image = host.render(1);
    expectColor(image.pixel(0, 20), Color::white());
    expectColor(image.pixel(1, 20), Color::white());
    expectColor(image.pixel(2, 20), Color::black());
    expectColor(image.pixel(39, 20), Color::white());
    expectColor(image.pixel(20, 20), Color::black());

    // A rounded rectangle leaves its corners empty; a clip shape cuts.
    ViewHost rounded(RoundedRectangle(10).fill(Color::red()).frame(60, 40), {60, 40});
    const Image filled = rounded.render(1);
    EXPECT_EQ(filled.pixel(0, 0).a, 0);
    EXPECT_EQ(filled.pixel(59, 39).a, 0);
    expectColor(filled.pixel(30, 0), Color::red());
    expectColor(filled.pixel(0, 20), Color::red());

    ViewHost clipped(View(Color::green()).clipShape(Shape{ShapeKind::roundedRectangle, 8}).frame(40, 40), {40, 40});
    const Image cut = clipped.render(1);
    EXPECT_EQ(cut.pixel(0, 0).a, 0);
    expectColor(cut.pixel(20, 20), Color::green());
}

TEST(Render, DeviceScaleMultipliesPixelsNotPoints) {
    ViewHost host(HStack(VerticalAlignment::center, 0, {View(Color::white()).frame(10, 10), View(Color::black()).frame(10, 10)}), {20, 10});
    const Image image = host.render(2);
    EXPECT_EQ(image.width(), 40);
    EXPECT_EQ(image.height(), 20);
    expectColor(image.pixel(19, 10), Color::white());
    expectColor(image.pixel(20, 10), Color::black());
}

TEST(Render, TextDrawsInItsForegroundAndGradientFillsItsGlyphs) {
    ViewHost host(ZStack({Color::black(), Text("MMMM").font(Font::system(30, FontWeight::black)).foregroundStyle(Color::white())}),
                  {120, 50});
    const Image image = host.render(1);
    int lit = 0;
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 120; ++x)
            if (image.pixel(x, y).r > 0.9) ++lit;
    EXPECT_GT(lit, 200);

    const LinearGradient fade{Color::white().opacity(0.72), Color::gray().opacity(0.42), UnitPoint::top(), UnitPoint::bottom()};
    ViewHost gradient(ZStack({Color::black(), Text("MMMM").font(Font::system(30, FontWeight::black)).foregroundStyle(fade)}),
                      {120, 50});
    const Image g = gradient.render(1);
    double brightest = 0;
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 120; ++x) brightest = std::max(brightest, g.pixel(x, y).r);
    EXPECT_GT(brightest, 0.3);
    EXPECT_LT(brightest, 0.73);
}

TEST(Render, WritesAPNGThroughATemporaryName) {
    ViewHost host(Color::red(), {16, 16});
    testsupport::TempDir folder;
    const auto& dir = folder.path();
    const auto path = folder.path("out.png");
    std::string error;
    ASSERT_TRUE(host.render(2).writePNG(path, &error)) << error;
    std::ifstream file(path, std::ios::binary);
    char magic[8] = {};
    file.read(magic, 8);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator{}), 1);
    EXPECT_FALSE(host.render(1).writePNG((dir / "missing" / "x.png").string(), &error));
    EXPECT_NE(error.find("cannot write"), std::string::npos);
}

}  // namespace
