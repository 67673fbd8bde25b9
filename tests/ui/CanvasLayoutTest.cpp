// A fixed 720 x 600 design canvas built like the effect's editor (nested
// stacks, frames, paddings, backgrounds, borders, a geometry reader scaling
// the canvas): the layer must give it exact sizes at every window size.

#include <gtest/gtest.h>

#include "ui/View.hpp"
#include "ui/ViewHost.hpp"

namespace {

using namespace ui;

constexpr double columnWidth = 292, columnSpacing = 22, effectsControlWidth = 180;
const Color accent = Color::sRGB(0.45, 0, 0.025);

View label(const std::string& text) {
    return Text(text).font(Font::system(11, FontWeight::black, FontDesign::monospaced)).tracking(2)
        .foregroundStyle(Color::white().opacity(0.82));
}

View slider(const std::string& name, double width) {
    return VStack(HorizontalAlignment::center, 1, {
        Slider(Binding<double>::constant(65), 0, 100).tint(accent).accessibilityIdentifier(name + " slider"),
        Text(name + ": 65.00").font(Font::system(10.5, FontWeight::medium)).lineLimit(1).minimumScaleFactor(0.75),
    }).padding(Edge::horizontal, 6).padding(Edge::vertical, 1).frame(width, {});
}

View meter(const std::string& name, double level) {
    const LinearGradient red{Color::sRGB(0.28, 0, 0.015), Color::sRGB(0.62, 0, 0.03), UnitPoint::leading(), UnitPoint::trailing()};
    return HStack(VerticalAlignment::center, 8, {
        Text(name).font(Font::system(10, FontWeight::bold, FontDesign::monospaced)).foregroundStyle(Color::white().opacity(0.68))
            .frame(28, {}, Alignment::trailing()),
        GeometryReader([=](Size track) {
            return ZStack(Alignment::leading(), {
                RoundedRectangle(4).fill(Color::black().opacity(0.78)),
                RoundedRectangle(4).fill(red).frame(track.width * std::clamp(level, 0.0, 1.0), {}).accessibilityIdentifier(name + " bar"),
            });
        }).frame({}, 8).border(Shape{ShapeKind::roundedRectangle, 4}, Color::white().opacity(0.1)),
    }).padding(Edge::horizontal, 14).accessibilityIdentifier(name);
}

View column(const std::vector<std::string>& names, const std::string& id) {
    std::vector<View> rows;
    for (const auto& name : names)
        rows.push_back(VStack(HorizontalAlignment::center, 2, {label(name), slider(name, 240)})
                           .padding(Edge::horizontal, 10).padding(Edge::vertical, 3)
                           .background(Shape{ShapeKind::roundedRectangle, 12}, Color::black().opacity(0.45))
                           .border(Shape{ShapeKind::roundedRectangle, 12}, Color::white().opacity(0.08)));
    return VStack(HorizontalAlignment::center, 6, rows)
        .padding(Edge::horizontal, 14).padding(Edge::vertical, 10)
        .background(Shape{ShapeKind::roundedRectangle, 20}, Color::black().opacity(0.55))
        .border(Shape{ShapeKind::roundedRectangle, 20}, Color::white().opacity(0.13))
        .frame(columnWidth, {}).accessibilityIdentifier(id);
}

View content(bool live) {
    const LinearGradient titleFill{Color::white().opacity(0.72), Color::gray().opacity(0.42), UnitPoint::top(), UnitPoint::bottom()};
    auto effect = [](const std::string& name) {
        return VStack(HorizontalAlignment::center, 1, {label(name), slider(name, 150)}).frame(effectsControlWidth, {});
    };
    auto divider = [] { return Rectangle().fill(Color::white().opacity(0.12)).frame(1, 38).padding(Edge::horizontal, 5); };
    return ZStack({
        View(Color::black()).ignoresSafeArea(),
        VStack(HorizontalAlignment::center, 5, {
            ZStack(Alignment::bottomTrailing(), {
                VStack(HorizontalAlignment::center, 5, {
                    HStack(VerticalAlignment::firstTextBaseline, 2, {
                        Text("D").font(Font::custom("Glimra", 64)),
                        Text("unmarro").font(Font::custom("Glimra", 52)),
                        Text("w").font(Font::custom("Glimra", 64)),
                    }).tracking(3).foregroundStyle(titleFill).frame({}, 72).offset(0, -4).accessibilityIdentifier("title"),
                    Text("HIGH-GAIN GUITAR DISTORTION").font(Font::system(9, FontWeight::semibold, FontDesign::rounded)).tracking(2)
                        .foregroundStyle(Color::gray()),
                }).frame(FlexibleFrame{.maxWidth = infinity}),
                Toggle("LIVE SAFE", Binding<bool>::constant(live)).font(Font::system(11, FontWeight::black, FontDesign::monospaced))
                    .tracking(1.4).foregroundStyle(Color::white().opacity(0.78)).tint(accent).padding(Edge::horizontal, 4)
                    .accessibilityIdentifier("LIVE SAFE").padding(Edge::trailing, 12).padding(Edge::bottom, 4),
            }).frame(2 * columnWidth + columnSpacing + 28, {}).accessibilityIdentifier("header"),
            VStack(HorizontalAlignment::center, 7, {
                HStack(VerticalAlignment::center, columnSpacing, {meter("IN", 1.3).frame(columnWidth, {}), meter("OUT", 0).frame(columnWidth, {})}),
                HStack(VerticalAlignment::center, 0, {effect("DECIMATION"), divider(), effect("DOUBLE TRACK"), divider(), effect("STEREO SPREAD")})
                    .padding(Edge::horizontal, 12).padding(Edge::vertical, 5)
                    .background(Shape{ShapeKind::roundedRectangle, 14}, Color::black().opacity(0.34))
                    .border(Shape{ShapeKind::roundedRectangle, 14}, Color::white().opacity(0.09)).accessibilityIdentifier("effects"),
                HStack(VerticalAlignment::top, columnSpacing, {column({"DRIVE", "TOUCH", "TIGHT", "BODY", "CAB"}, "left"),
                                                               column({"BITE", "GRIND", "CRUSH", "DENSITY", "OUTPUT"}, "right")}),
            }).padding(10)
                .background(Shape{ShapeKind::roundedRectangle, 22}, Color::white().opacity(0.025))
                .border(Shape{ShapeKind::roundedRectangle, 22}, Color::white().opacity(0.1)).accessibilityIdentifier("panel"),
            Text("8X OVERSAMPLED DIGITAL DISTORTION").font(Font::system(8, FontWeight::medium, FontDesign::monospaced)).tracking(1.5)
                .foregroundStyle(Color::gray().opacity(0.8)),
        }).padding(Edge::horizontal, 28).padding(Edge::vertical, 10),
    });
}

View canvas() {
    return GeometryReader([](Size available) {
        const double s = std::min(available.width / 720, available.height / 600);
        return ZStack({View(Color::black()).ignoresSafeArea(),
                       content(false).frame(720, 600).accessibilityIdentifier("canvas").scaleEffect(s)})
            .frame(available.width, available.height);
    }).frame(FlexibleFrame{.idealWidth = 720, .idealHeight = 600});
}

TEST(CanvasLayout, DesignSizesHoldAtTheBaseSize) {
    ViewHost host(canvas(), {720, 600});
    EXPECT_EQ(host.idealSize(), (Size{720, 600}));
    EXPECT_EQ(*host.frameOf("canvas"), (Rect{0, 0, 720, 600}));
    const Rect header = *host.frameOf("header");
    EXPECT_EQ(header.width, 634);
    EXPECT_EQ(header.x, 43);
    const Rect left = *host.frameOf("left"), right = *host.frameOf("right");
    EXPECT_EQ(left.width, 292);
    EXPECT_EQ(right.width, 292);
    EXPECT_EQ(right.x - left.maxX(), 22);
    EXPECT_EQ(left.y, right.y);
    const Rect in = *host.frameOf("IN"), out = *host.frameOf("OUT");
    EXPECT_EQ(in.x + 0, left.x);
    EXPECT_EQ(in.width, 292);
    EXPECT_EQ(out.x, right.x);
    // Everything fits in the canvas, the panel holds the columns with 10 to spare.
    const Rect panel = *host.frameOf("panel");
    EXPECT_EQ(panel.width, 626);
    EXPECT_EQ(left.x - panel.x, 10);
    EXPECT_GE(panel.y, header.maxY());
    EXPECT_LE(panel.maxY(), 600);
    // The switch sits 12 from the header's trailing edge and 4 from its bottom.
    const Rect toggle = *host.frameOf("LIVE SAFE");
    EXPECT_NEAR(header.maxX() - toggle.maxX(), 12, 1e-9);
    EXPECT_NEAR(header.maxY() - toggle.maxY(), 4, 1e-9);
    // Each slider in a column row gets the 240 points it is framed to, less its padding.
    EXPECT_EQ(host.frameOf("DRIVE slider")->width, 240 - 12);
    EXPECT_EQ(host.frameOf("DECIMATION slider")->width, 150 - 12);
    // The full meter bar takes the whole track; the empty one has no width.
    EXPECT_EQ(host.frameOf("IN bar")->width, 292 - 28 - 28 - 8);
    EXPECT_EQ(host.frameOf("OUT bar")->width, 0);
}

TEST(CanvasLayout, CanvasScalesUniformlyAndCentresOnBlack) {
    ViewHost big(canvas(), {1440, 1200});
    EXPECT_EQ(big.frameOf("header")->width, 1268);
    EXPECT_EQ(*big.frameOf("canvas"), (Rect{0, 0, 1440, 1200}));

    ViewHost narrow(canvas(), {360, 600});
    EXPECT_EQ(*narrow.frameOf("canvas"), (Rect{0, 150, 360, 300}));
    EXPECT_EQ(narrow.frameOf("left")->width, 146);
    const Image image = narrow.render(1);
    for (int y : {2, 100, 460, 597}) {
        const Color c = image.pixel(180, y);
        EXPECT_EQ(c.r + c.g + c.b, 0) << y;
        EXPECT_EQ(c.a, 1) << y;
    }
}

TEST(CanvasLayout, MeterBarShowsTheRedGradientAtScaleTwo) {
    ViewHost host(canvas(), {720, 600});
    const Rect bar = *host.frameOf("IN bar");
    const Image image = host.render(2);
    const Color start = image.pixel(int((bar.x + 6) * 2), int(bar.center().y * 2));
    const Color end = image.pixel(int((bar.maxX() - 6) * 2), int(bar.center().y * 2));
    EXPECT_NEAR(start.r, 0.28 + (0.62 - 0.28) * 6 / bar.width, 0.02);
    EXPECT_NEAR(end.r, 0.62 - (0.62 - 0.28) * 6 / bar.width, 0.02);
    EXPECT_LT(start.g, 0.01);
    EXPECT_GT(end.r, start.r);
}

}  // namespace
