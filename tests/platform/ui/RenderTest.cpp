// Pixels of the rendered image: fills, gradients, strokes, clipping, text, scale.

#include <gtest/gtest.h>

#include <filesystem>

#include "FileContents.hpp"
#include "TempDir.hpp"
#include "ui/View.hpp"
#include "ui/ViewHost.hpp"

namespace {

using namespace ui;

void expectColor(const Color& actual, const Color& expected, double tolerance) {
    EXPECT_NEAR(actual.r, expected.r, tolerance) << "red";
    EXPECT_NEAR(actual.g, expected.g, tolerance) << "green";
    EXPECT_NEAR(actual.b, expected.b, tolerance) << "blue";
    EXPECT_NEAR(actual.a, expected.a, tolerance) << "alpha";
}

// Source-over of a colour with opacity onto black, per component.
Color overBlack(Color top) { return {top.r * top.a, top.g * top.a, top.b * top.a, 1}; }

// A linear gradient's colour a fraction t of the way.
Color mix(Color from, Color to, double t) {
    return {from.r + (to.r - from.r) * t, from.g + (to.g - from.g) * t, from.b + (to.b - from.b) * t, 1};
}

struct Pixel {
    int x, y;
    Color color;
};

struct RenderCase {
    const char* what;
    View view;
    Size size;
    double scale;
    std::vector<Pixel> pixels;
};

TEST(Render, ViewsDrawTheirFillsGradientsStrokesAndClipsAtTheDeviceScale) {
    const Color from = Color::sRGB(0.28, 0, 0.015), to = Color::sRGB(0.62, 0, 0.03), clear{0, 0, 0, 0};
    const RenderCase cases[] = {
        {"fills blend in sRGB over the backdrop",
         ZStack({Color::black(), Rectangle().fill(Color::white().opacity(0.12)).frame(10, 10)}), {20, 20}, 1,
         {{0, 0, Color::black()}, {10, 10, overBlack(Color::white().opacity(0.12))}}},
        {"opacity fades and offset moves what is drawn",
         ZStack(Alignment::topLeading(), {Color::black(), View(Color::white()).frame(10, 10).offset(20, 0).opacity(0.5)}),
         {40, 10}, 1,
         {{5, 5, Color::black()}, {25, 5, overBlack(Color::white().opacity(0.5))}}},
        {"a linear gradient runs from leading to trailing",
         Rectangle().fill(LinearGradient{from, to, UnitPoint::leading(), UnitPoint::trailing()}), {200, 8}, 1,
         {{0, 4, mix(from, to, 0.5 / 200)}, {100, 4, mix(from, to, 100.5 / 200)}, {199, 4, mix(from, to, 199.5 / 200)}}},
        {"a border strokes inside the bounds",
         View(Color::black()).frame(40, 40).border(Shape{}, Color::white(), 2), {40, 40}, 1,
         {{0, 20, Color::white()}, {1, 20, Color::white()}, {2, 20, Color::black()}, {39, 20, Color::white()},
          {20, 20, Color::black()}}},
        {"a rounded rectangle leaves its corners empty",
         RoundedRectangle(10).fill(Color::red()).frame(60, 40), {60, 40}, 1,
         {{0, 0, clear}, {59, 39, clear}, {30, 0, Color::red()}, {0, 20, Color::red()}}},
        {"a clip shape cuts", View(Color::green()).clipShape(Shape{ShapeKind::roundedRectangle, 8}).frame(40, 40),
         {40, 40}, 1, {{0, 0, clear}, {20, 20, Color::green()}}},
        {"the device scale multiplies pixels, not points",
         HStack(VerticalAlignment::center, 0, {View(Color::white()).frame(10, 10), View(Color::black()).frame(10, 10)}),
         {20, 10}, 2, {{19, 10, Color::white()}, {20, 10, Color::black()}, {39, 19, Color::black()}}},
    };
    for (const RenderCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Image image = ViewHost(c.view, c.size).render(c.scale);
        EXPECT_EQ(image.width(), int(c.size.width * c.scale));
        EXPECT_EQ(image.height(), int(c.size.height * c.scale));
        for (const Pixel& p : c.pixels) {
            SCOPED_TRACE(testing::Message() << "at " << p.x << ", " << p.y);
            expectColor(image.pixel(p.x, p.y), p.color, 2.0 / 255);
        }
    }
}

// A gradient fill of text: the glyphs are drawn, none brighter than the gradient's top.
TEST(Render, GradientFillsTheGlyphsOfText) {
    const LinearGradient fade{Color::white().opacity(0.72), Color::gray().opacity(0.42), UnitPoint::top(), UnitPoint::bottom()};
    ViewHost host(ZStack({Color::black(), Text("MMMM").font(Font::system(30, FontWeight::black)).foregroundStyle(fade)}),
                  {120, 50});
    const Image image = host.render(1);
    double brightest = 0;
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 120; ++x) brightest = std::max(brightest, image.pixel(x, y).r);
    EXPECT_GT(brightest, 0.3);
    EXPECT_LT(brightest, 0.73);
}

TEST(Render, WritesAPNGThroughATemporaryName) {
    ViewHost host(Color::red(), {16, 16});
    testsupport::TempDir folder;
    const auto path = folder.path("out.png");
    std::string error;
    ASSERT_TRUE(host.render(2).writePNG(path, &error)) << error;
    EXPECT_EQ(testsupport::fileContents(path).substr(1, 3), "PNG");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), std::filesystem::directory_iterator{}), 1);
    EXPECT_FALSE(host.render(1).writePNG((folder.path() / "missing" / "x.png").string(), &error));
    EXPECT_NE(error.find("cannot write"), std::string::npos);
}

}  // namespace
