// Layout through the inspection dump: stacks, frames, padding, geometry reader.

#include <gtest/gtest.h>

#include "ui/View.hpp"
#include "ui/ViewHost.hpp"

namespace {

using namespace ui;

Rect frameById(ViewHost& host, const std::string& key) {
    const auto frame = host.frameOf(key);
    EXPECT_TRUE(frame) << key;
    return frame.value_or(Rect{});
}

View box(double width, double height, const char* id) { return Rectangle().frame(width, height).accessibilityIdentifier(id); }

// A canvas drawn at 720 x 600 and scaled uniformly into whatever the reader offers.
View scaledCanvas() {
    return GeometryReader([](Size available) {
        const double s = std::min(available.width / 720, available.height / 600);
        return ZStack({Color::black(), box(634, 100, "header").frame(720, 600).scaleEffect(s)})
            .frame(available.width, available.height);
    });
}

struct LayoutCase {
    const char* what;
    View view;
    Size window;
    std::vector<std::pair<std::string, Rect>> frames;
};

TEST(Layout, ViewsGetTheFramesTheirStacksFramesAndModifiersGiveThem) {
    const LayoutCase cases[] = {
        {"a stack places fixed children with its spacing and centres them",
         VStack(HorizontalAlignment::center, 5, {box(100, 20, "a"), box(50, 30, "b")}).accessibilityIdentifier("stack"),
         {300, 200},
         {{"stack", {100, 72.5, 100, 55}}, {"a", {100, 72.5, 100, 20}}, {"b", {125, 97.5, 50, 30}}}},
        {"the default spacing is 8 and empty views take no place",
         HStack({box(10, 10, "a"), EmptyView(), box(10, 10, "b")}).accessibilityIdentifier("row"),
         {100, 100},
         {{"row", {36, 45, 28, 10}}, {"a", {36, 45, 10, 10}}, {"b", {54, 45, 10, 10}}}},
        {"trailing alignment", VStack(HorizontalAlignment::trailing, 0, {box(100, 10, "wide"), box(40, 10, "narrow")}),
         {100, 20},
         {{"narrow", {60, 10, 40, 10}}}},
        {"flexible children share what is left",
         HStack(VerticalAlignment::center, 0, {box(100, 10, "fixed"), Rectangle().accessibilityIdentifier("flexA"),
                                               Rectangle().accessibilityIdentifier("flexB")}),
         {400, 50},
         {{"fixed", {0, 20, 100, 10}}, {"flexA", {100, 0, 150, 50}}, {"flexB", {250, 0, 150, 50}}}},
        {"a spacer takes the rest",
         HStack(VerticalAlignment::top, 0, {box(40, 10, "left"), Spacer(), box(60, 10, "right")})
             .frame(FlexibleFrame{.maxWidth = infinity}),
         {300, 10},
         {{"left", {0, 0, 40, 10}}, {"right", {240, 0, 60, 10}}}},
        {"padding by edge",
         box(100, 50, "inner").padding(Edge::horizontal, 10).padding(Edge::top, 4).accessibilityIdentifier("padded")
             .frame({}, {}, Alignment::topLeading()),
         {120, 54},
         {{"padded", {0, 0, 120, 54}}, {"inner", {10, 4, 100, 50}}}},
        {"offset", box(100, 60, "r").offset(0, -4), {100, 60}, {{"r", {0, -4, 100, 60}}}},
        {"scale about the centre", box(100, 60, "r").scaleEffect(2), {200, 100}, {{"r", {0, -10, 200, 120}}}},
        {"a minimum size, content centred",
         box(40, 20, "t").frame(FlexibleFrame{.minWidth = 400, .minHeight = 200}).accessibilityIdentifier("box"),
         {600, 500},
         {{"box", {100, 150, 400, 200}}, {"t", {280, 240, 40, 20}}}},
        {"a z-stack aligned bottom trailing",
         ZStack(Alignment::bottomTrailing(), {box(200, 100, "big"), box(20, 10, "small").padding(EdgeInsets{0, 0, 4, 12})}),
         {200, 100},
         {{"small", {168, 86, 20, 10}}}},
        {"a background takes the content's size",
         Rectangle().frame(50, 20).padding(10).background(
             RoundedRectangle(22).fill(Color::white().opacity(0.025)).accessibilityIdentifier("bg")),
         {70, 40},
         {{"bg", {0, 0, 70, 40}}}},
        {"a geometry reader gets the offered size", scaledCanvas(), {1440, 1200}, {{"header", {86, 500, 1268, 200}}}},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.what);
        ViewHost host(c.view, c.window);
        for (const auto& [key, frame] : c.frames) EXPECT_EQ(frameById(host, key), frame) << key;
    }

    // The ideal size is what the view asks for when offered nothing.
    ViewHost ideal(GeometryReader([](Size) { return View(); }).frame(FlexibleFrame{.idealWidth = 720, .idealHeight = 600}),
                   {100, 100});
    EXPECT_EQ(ideal.idealSize(), (Size{720, 600}));
    ViewHost resized(scaledCanvas(), {1440, 1200});
    resized.setSize({360, 600});  // and scales its canvas uniformly
    EXPECT_EQ(frameById(resized, "header"), (Rect{21.5, 275, 317, 50}));
}

TEST(Layout, TextMeasuresWithPangoShrinksToItsMinimumScaleAndAlignsOnItsFirstBaseline) {
    ViewHost host(VStack({Text("Drive: 65.00").font(Font::system(11, FontWeight::medium)).accessibilityIdentifier("t"),
                          Text("Drive: 65.00").font(Font::system(22, FontWeight::medium)).accessibilityIdentifier("big")}),
                  {400, 200});
    const Rect small = frameById(host, "t");
    const Rect big = frameById(host, "big");
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

    // Baselines sit at about 0.93 of the font size below each top.
    ViewHost row(HStack(VerticalAlignment::firstTextBaseline, 2, {
                     Text("D").font(Font::system(64)).accessibilityIdentifier("first"),
                     Text("unmarro").font(Font::system(52)).accessibilityIdentifier("middle"),
                 }),
                 {400, 200});
    const Rect first = frameById(row, "first");
    const Rect middle = frameById(row, "middle");
    EXPECT_NEAR(first.y + 64 * 0.93, middle.y + 52 * 0.93, 1.5);
    EXPECT_NEAR(middle.x - first.maxX(), 2, 1e-6);
}

}  // namespace
