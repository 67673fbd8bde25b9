// Layout through the inspection dump: stacks, frames, padding, geometry reader.

#include <gtest/gtest.h>

#include "ui/View.hpp"
#include "ui/ViewHost.hpp"

namespace {

using namespace ui;

// The frame of the view with identifier (or text) `key`; an empty rectangle, and a failure, when none.
Rect frameById(ViewHost& host, const std::string& key) {
    const auto frame = host.frameOf(key);
    EXPECT_TRUE(frame) << key;
    return frame.value_or(Rect{});
}

Rect frameOf(const nlohmann::json& node) {
    const auto& f = node.at("frame");
    return {f.at("x").get<double>(), f.at("y").get<double>(), f.at("width").get<double>(), f.at("height").get<double>()};
}

TEST(Layout, StacksPlaceFixedChildrenWithSpacingAndCentre) {
    ViewHost host(VStack(HorizontalAlignment::center, 5, {
                      Rectangle().frame(100, 20).accessibilityIdentifier("a"),
                      Rectangle().frame(50, 30).accessibilityIdentifier("b"),
                  }).accessibilityIdentifier("stack"),
                  {300, 200});
    EXPECT_EQ(frameById(host, "stack"), (Rect{100, 72.5, 100, 55}));
    EXPECT_EQ(frameById(host, "a"), (Rect{100, 72.5, 100, 20}));
    EXPECT_EQ(frameById(host, "b"), (Rect{125, 97.5, 50, 30}));

    // The default spacing is 8, and empty views take no place.
    ViewHost row(HStack({Rectangle().frame(10, 10).accessibilityIdentifier("a"), EmptyView(),
                          Rectangle().frame(10, 10).accessibilityIdentifier("b")})
                      .accessibilityIdentifier("row"),
                  {100, 100});
    EXPECT_EQ(frameById(row, "row").width, 28);
    EXPECT_EQ(frameById(row, "b").x - frameById(row, "a").x, 18);
}

TEST(Layout, FlexibleChildrenShareWhatIsLeftAndSpacerTakesTheRest) {
    ViewHost host(HStack(VerticalAlignment::center, 0, {
                      Rectangle().frame(100, 10).accessibilityIdentifier("fixed"),
                      Rectangle().accessibilityIdentifier("flexA"),
                      Rectangle().accessibilityIdentifier("flexB"),
                  }),
                  {400, 50});
    EXPECT_EQ(frameById(host, "fixed"), (Rect{0, 20, 100, 10}));
    EXPECT_EQ(frameById(host, "flexA"), (Rect{100, 0, 150, 50}));
    EXPECT_EQ(frameById(host, "flexB"), (Rect{250, 0, 150, 50}));

    ViewHost spaced(HStack(VerticalAlignment::top, 0, {
                        Rectangle().frame(40, 10).accessibilityIdentifier("left"),
                        Spacer(),
                        Rectangle().frame(60, 10).accessibilityIdentifier("right"),
                    }).frame(FlexibleFrame{.maxWidth = infinity}),
                    {300, 10});
    EXPECT_EQ(frameById(spaced, "left").x, 0);
    EXPECT_EQ(frameById(spaced, "right").x, 240);
}

TEST(Layout, PaddingByEdgeAndOffsetAndScaleMoveFramesInWindowPoints) {
    ViewHost host(Rectangle()
                      .frame(100, 50)
                      .accessibilityIdentifier("inner")
                      .padding(Edge::horizontal, 10)
                      .padding(Edge::top, 4)
                      .accessibilityIdentifier("padded")
                      .frame({}, {}, Alignment::topLeading()),
                  {120, 54});
    EXPECT_EQ(frameById(host, "padded"), (Rect{0, 0, 120, 54}));
    EXPECT_EQ(frameById(host, "inner"), (Rect{10, 4, 100, 50}));

    ViewHost moved(Rectangle().frame(100, 60).accessibilityIdentifier("r").offset(0, -4), {100, 60});
    EXPECT_EQ(frameById(moved, "r"), (Rect{0, -4, 100, 60}));

    // Scaled by 2 about the centre of a 100 x 60 view placed at (50, 20) in a 200 x 100 window.
    ViewHost scaled(Rectangle().frame(100, 60).accessibilityIdentifier("r").scaleEffect(2), {200, 100});
    EXPECT_EQ(frameById(scaled, "r"), (Rect{0, -10, 200, 120}));
}

TEST(Layout, FlexibleFrameHonoursMinimumIdealAndMaximum) {
    // At least 400 x 200, content centred.
    ViewHost host(Text("No Audio Unit loaded..").accessibilityIdentifier("t")
                      .frame(FlexibleFrame{.minWidth = 400, .minHeight = 200}).accessibilityIdentifier("box"),
                  {600, 500});
    const Rect box = frameById(host, "box");
    EXPECT_EQ(box.width, 400);
    EXPECT_EQ(box.height, 200);
    const Rect text = frameById(host, "t");
    EXPECT_NEAR(text.x + text.width / 2, box.x + 200, 1e-3);

    // Maximum width unbounded: takes the whole offer.
    ViewHost wide(Text("x").frame(FlexibleFrame{.maxWidth = infinity}).accessibilityIdentifier("w"), {634, 100});
    EXPECT_EQ(frameById(wide, "w").width, 634);

    // The ideal size is what the view asks for when offered nothing.
    ViewHost ideal(GeometryReader([](Size) { return View(); }).frame(FlexibleFrame{.idealWidth = 720, .idealHeight = 600}),
                   {100, 100});
    EXPECT_EQ(ideal.idealSize(), (Size{720, 600}));
}

TEST(Layout, GeometryReaderGetsTheOfferedSizeAndScalesACanvasUniformly) {
    Size seen;
    auto canvas = [&](Size available) {
        seen = available;
        const double s = std::min(available.width / 720, available.height / 600);
        return ZStack({
            Color::black(),
            Rectangle().frame(634, 100).accessibilityIdentifier("header").frame(720, 600).scaleEffect(s),
        }).frame(available.width, available.height);
    };
    ViewHost host(GeometryReader(canvas).frame(FlexibleFrame{.idealWidth = 720, .idealHeight = 600}), {1440, 1200});
    EXPECT_EQ(frameById(host, "header"), (Rect{86, 500, 1268, 200}));
    EXPECT_EQ(seen, (Size{1440, 1200}));

    host.setSize({360, 600});
    const Rect half = frameById(host, "header");
    EXPECT_EQ(half, (Rect{21.5, 275, 317, 50}));
}

TEST(Layout, ZStackAlignsBottomTrailingAndBackgroundTakesTheContentSize) {
    ViewHost host(ZStack(Alignment::bottomTrailing(), {
                      Rectangle().frame(200, 100).accessibilityIdentifier("big"),
                      Rectangle().frame(20, 10).accessibilityIdentifier("small").padding(EdgeInsets{0, 0, 4, 12}),
                  }),
                  {200, 100});
    EXPECT_EQ(frameById(host, "small"), (Rect{168, 86, 20, 10}));

    ViewHost layered(Rectangle().frame(50, 20).padding(10)
                         .background(RoundedRectangle(22).fill(Color::white().opacity(0.025)).accessibilityIdentifier("bg")),
                     {70, 40});
    EXPECT_EQ(frameById(layered, "bg"), (Rect{0, 0, 70, 40}));
}

TEST(Layout, TextMeasuresWithPangoAndShrinksToItsMinimumScale) {
    ViewHost host(VStack({Text("Drive: 65.00").font(Font::system(11, FontWeight::medium)).accessibilityIdentifier("t"),
                          Text("Drive: 65.00").font(Font::system(22, FontWeight::medium)).accessibilityIdentifier("big")}),
                  {400, 200});
    const Rect small = frameById(host, "t");
    const Rect big = frameById(host, "big");
    EXPECT_GT(small.width, 40);
    EXPECT_LT(small.width, 110);
    EXPECT_GT(small.height, 11);
    EXPECT_LT(small.height, 18);
    EXPECT_NEAR(big.width / small.width, 2, 0.1);

    // One line, shrinking to at most 75 % of the size when the width is short.
    ViewHost narrow(Text("Drive: 65.00").font(Font::system(22)).lineLimit(1).minimumScaleFactor(0.75)
                        .accessibilityIdentifier("t").frame(big.width * 0.8, {}),
                    {400, 100});
    const nlohmann::json text = narrow.inspect();  // the frame's child is the text
    EXPECT_NEAR(text.at("children")[0].at("fontScale").get<double>(), 0.8, 0.02);
    EXPECT_LE(frameById(narrow, "t").width, big.width * 0.8 + 1e-6);

    // Tracking widens the text by about one amount per character.
    ViewHost tracked(VStack({Text("ABCDEFGHIJ").accessibilityIdentifier("plain"),
                             Text("ABCDEFGHIJ").tracking(2).accessibilityIdentifier("tracked")}),
                     {400, 100});
    EXPECT_NEAR(frameById(tracked, "tracked").width - frameById(tracked, "plain").width, 20, 2.5);
}

TEST(Layout, InspectionListsTypesTextsAndIdentifiers) {
    ViewHost host(VStack({Text("IN"), Slider(Binding<double>::constant(0.5), 0, 1).accessibilityIdentifier("Drive")}), {200, 100});
    const nlohmann::json tree = host.inspect();
    EXPECT_EQ(tree.at("type"), "VStack");
    ASSERT_EQ(tree.at("children").size(), 2u);
    EXPECT_EQ(tree["children"][0].at("type"), "Text");
    EXPECT_EQ(tree["children"][0].at("text"), "IN");
    EXPECT_EQ(tree["children"][1].at("type"), "Slider");
    EXPECT_EQ(tree["children"][1].at("identifier"), "Drive");
    EXPECT_FALSE(tree["children"][0].contains("identifier"));
    EXPECT_EQ(frameOf(tree["children"][1]).width, 200);
}

TEST(Layout, HStackAlignsTextsOnTheirFirstBaseline) {
    ViewHost host(HStack(VerticalAlignment::firstTextBaseline, 2, {
                      Text("D").font(Font::system(64)).accessibilityIdentifier("first"),
                      Text("unmarro").font(Font::system(52)).accessibilityIdentifier("middle"),
                  }),
                  {400, 200});
    const Rect first = frameById(host, "first");
    const Rect middle = frameById(host, "middle");
    // Baselines sit at about 0.93 of the font size below each top.
    EXPECT_NEAR(first.y + 64 * 0.93, middle.y + 52 * 0.93, 1.5);
    EXPECT_NEAR(middle.x - first.maxX(), 2, 1e-6);
}

}  // namespace
