// Synthetic input through the host's single input path.

#include <gtest/gtest.h>

#include <vector>

#include "ui/View.hpp"
#include "ui/ViewHost.hpp"

namespace {

using namespace ui;

Point centre(ViewHost& host, const std::string& key) {
    auto frame = host.frameOf(key);
    EXPECT_TRUE(frame.has_value()) << key;
    return frame ? frame->center() : Point{};
}

TEST(Input, SliderDragReportsEditingOnceEachSideAndWritesValues) {
    State<double> value(50);
    std::vector<bool> editing;
    std::vector<double> written;
    Binding<double> binding([&] { return value.peek(); }, [&](double v) { written.push_back(v); value.set(v); });
    ViewHost host(Slider(binding, 0, 100, [&](bool e) { editing.push_back(e); }).accessibilityIdentifier("Drive").frame(214, {}),
                  {214, 20});
    // The thumb travels between 7 and 207 points.
    host.pointerDown({57, 10});
    EXPECT_EQ(editing, std::vector<bool>{true});
    EXPECT_DOUBLE_EQ(value.peek(), 25);
    host.pointerDragged({107, 10});
    host.pointerDragged({107, 10});
    host.pointerDragged({500, 40});  // beyond the end: clamped to the maximum
    EXPECT_DOUBLE_EQ(value.peek(), 100);
    host.pointerUp({500, 40});
    EXPECT_EQ(editing, (std::vector<bool>{true, false}));
    EXPECT_EQ(written, (std::vector<double>{25, 50, 100}));
    EXPECT_EQ(host.inspect().at("children")[0].at("value"), 100);
}

TEST(Input, SliderDragSurvivesTheViewBeingRebuilt) {
    State<double> value(0);
    std::vector<bool> editing;
    ViewHost host(Dynamic([&] {
                      // Reading the value makes this body depend on it: each change rebuilds the slider.
                      return VStack({Text("v " + std::to_string(int(value.get()))),
                                     Slider(value.binding(), 0, 200, [&](bool e) { editing.push_back(e); }).frame(214, {})});
                  }),
                  {214, 60});
    const auto before = host.frameOf("v 0");
    ASSERT_TRUE(before);
    const double y = before->maxY() + 8 + 10;
    host.pointerDown({7, y});
    host.pointerDragged({57, y});
    host.pointerDragged({107, y});
    host.pointerUp({107, y});
    EXPECT_DOUBLE_EQ(value.peek(), 100);
    EXPECT_EQ(editing, (std::vector<bool>{true, false}));
    EXPECT_TRUE(host.frameOf("v 100"));
}

TEST(Input, TapCountTwoFiresOnTheSecondClickOfADoubleClickOnly) {
    int doubles = 0, singles = 0;
    ViewHost host(VStack({Text("Drive: 65.00").onTapGesture(2, [&] { ++doubles; }),
                          Text("single").onTapGesture([&] { ++singles; })}),
                  {200, 100});
    const Point p = centre(host, "Drive: 65.00");
    host.click(p, 10.0);
    EXPECT_EQ(doubles, 0);
    host.click({p.x + 1, p.y}, 10.3);
    EXPECT_EQ(doubles, 1);
    host.click(p, 20.0);
    host.click(p, 20.9);  // too slow for a double click
    EXPECT_EQ(doubles, 1);
    host.click(centre(host, "single"), 30.0);
    EXPECT_EQ(singles, 1);
    // Released outside the view: no tap.
    host.pointerDown(centre(host, "single"), 40.0);
    host.pointerUp({1000, 1000});
    EXPECT_EQ(singles, 1);
}

// A field bound to state, with submit, exit and focus loss recorded.
struct FieldFixture {
    State<std::string> text{std::string("65.00")};
    State<bool> focused{false};
    std::vector<std::string> events;
    ViewHost host;

    FieldFixture()
        : host(VStack({TextField("", text.binding())
                           .font(Font::system(11, FontWeight::medium))
                           .multilineTextAlignment(TextAlignment::center)
                           .focused(Binding<bool>([this] { return focused.get(); },
                                                  [this](bool f) {
                                                      events.push_back(f ? "focus" : "blur");
                                                      focused.set(f);
                                                  }))
                           .onSubmit([this] { events.push_back("submit " + text.peek()); })
                           .onExitCommand([this] { events.push_back("exit " + text.peek()); })
                           .accessibilityIdentifier("field")
                           .frame(88, {}),
                       Rectangle().frame(88, 40).accessibilityIdentifier("elsewhere")}),
               {200, 100}) {}
};

TEST(Input, CaretEditingWithBackspaceDeleteArrowsAndSelectAll) {
    FieldFixture f;
    f.host.click(centre(f.host, "field"));
    ASSERT_TRUE(f.host.hasKeyboardFocus());
    EXPECT_EQ(f.events, (std::vector<std::string>{"focus"}));
    f.host.keyDown({Key::end});
    f.host.keyDown({Key::backspace});
    f.host.keyDown({Key::backspace});
    EXPECT_EQ(f.text.peek(), "65.");
    f.host.keyDown({Key::home});
    f.host.keyDown({Key::deleteForward});
    EXPECT_EQ(f.text.peek(), "5.");
    f.host.keyDown({Key::right});
    f.host.typeText("x");
    EXPECT_EQ(f.text.peek(), "5x.");
    f.host.keyDown({Key::left});
    f.host.keyDown({Key::left});
    f.host.keyDown({Key::backspace});  // at the start: nothing to delete
    EXPECT_EQ(f.text.peek(), "5x.");
    f.host.keyDown({Key::selectAll});
    f.host.typeText(" 42 ");
    EXPECT_EQ(f.text.peek(), " 42 ");
    f.host.keyDown({Key::selectAll});
    f.host.keyDown({Key::backspace});
    EXPECT_EQ(f.text.peek(), "");
    f.host.typeText("é1");  // multi-byte characters move as one
    f.host.keyDown({Key::left});
    f.host.keyDown({Key::backspace});
    EXPECT_EQ(f.text.peek(), "1");
}

TEST(Input, FocusComesByBindingOrClickAndGoesByClickingElsewhereAndEscapeRunsTheExitCommand) {
    FieldFixture f;
    f.host.layoutIfNeeded();
    EXPECT_FALSE(f.host.hasKeyboardFocus());
    // Focused through its binding, the field's text is selected.
    f.focused.set(true);
    f.host.layoutIfNeeded();
    EXPECT_TRUE(f.host.hasKeyboardFocus());
    f.host.typeText("150");
    EXPECT_EQ(f.text.peek(), "150");
    f.host.keyDown({Key::returnKey});
    EXPECT_EQ(f.events, (std::vector<std::string>{"submit 150"}));
    f.focused.set(false);
    f.host.layoutIfNeeded();
    EXPECT_FALSE(f.host.hasKeyboardFocus());
    f.events.clear();

    f.host.click(centre(f.host, "field"));
    f.host.keyDown({Key::selectAll});
    f.host.typeText("abc");
    f.host.keyDown({Key::escape});
    EXPECT_EQ(f.events.back(), "exit abc");
    EXPECT_TRUE(f.host.hasKeyboardFocus());
    f.host.click(centre(f.host, "elsewhere"));
    EXPECT_FALSE(f.host.hasKeyboardFocus());
    EXPECT_EQ(f.events, (std::vector<std::string>{"focus", "exit abc", "blur"}));
    EXPECT_FALSE(f.focused.peek());
    // Keys without a focused field go nowhere.
    f.host.typeText("zzz");
    EXPECT_EQ(f.text.peek(), "abc");
}

TEST(Input, FieldThatDisappearsLosesFocusThroughItsBinding) {
    State<bool> editing(true);
    State<std::string> text(std::string("1"));
    State<bool> focused(false);
    int blurs = 0;
    Binding<bool> focusBinding([&] { return focused.get(); },
                               [&](bool f) {
                                   if (!f) ++blurs;
                                   focused.set(f);
                               });
    ViewHost host(Dynamic([&] {
                      if (!editing.get()) return Text("shown");
                      return TextField("", text.binding()).focused(focusBinding).onSubmit([&] { editing.set(false); })
                          .onAppear([&] { focused.set(true); });
                  }),
                  {100, 30});
    host.layoutIfNeeded();
    EXPECT_TRUE(host.hasKeyboardFocus());
    host.keyDown({Key::returnKey});
    host.layoutIfNeeded();
    EXPECT_FALSE(host.hasKeyboardFocus());
    EXPECT_EQ(blurs, 1);
    EXPECT_TRUE(host.frameOf("shown"));
}

TEST(Input, ToggleAndButtonActOnReleaseInside) {
    State<bool> on(false);
    int presses = 0;
    ViewHost host(VStack({Toggle("LIVE SAFE", on.binding()).accessibilityIdentifier("switch"),
                          Button("Play", [&] { ++presses; })}),
                  {200, 100});
    host.click(centre(host, "switch"));
    EXPECT_TRUE(on.peek());
    EXPECT_EQ(host.inspect().at("children")[0].at("isOn"), true);
    host.click(centre(host, "switch"));
    EXPECT_FALSE(on.peek());
    host.click(centre(host, "Play"));
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(host.frameOf("switch")->height, 18);
}

TEST(Input, SheetIsModalAndCloses) {
    State<bool> presented(false);
    int behind = 0;
    ViewHost host(VStack({Button("Open", [&] { presented.set(true); }), Text("behind").onTapGesture([&] { ++behind; })})
                      .sheet(presented.binding(),
                             [&] {
                                 return VStack({Text("Close").padding(4).onTapGesture([&] { presented.set(!presented.peek()); }),
                                                ScrollView(VStack(HorizontalAlignment::leading, 10, {Text("Validation probably crashed")}).padding())})
                                     .padding();
                             }),
                  {400, 300});
    EXPECT_FALSE(host.frameOf("Close"));
    host.click(centre(host, "Open"));
    ASSERT_TRUE(host.frameOf("Close"));
    EXPECT_TRUE(host.frameOf("Validation probably crashed"));
    const nlohmann::json tree = host.inspect();
    EXPECT_EQ(tree.at("type"), "Sheet");
    EXPECT_EQ(tree.at("children").size(), 2u);
    host.click(centre(host, "behind"));  // covered by the sheet
    EXPECT_EQ(behind, 0);
    host.click(centre(host, "Close"));
    EXPECT_FALSE(presented.peek());
    EXPECT_FALSE(host.frameOf("Close"));
    host.click(centre(host, "behind"));
    EXPECT_EQ(behind, 1);
}

TEST(Input, ScrollViewScrollsItsContentWithinBounds) {
    std::vector<View> rows;
    for (int i = 0; i < 20; ++i) rows.push_back(Text("row " + std::to_string(i)).frame({}, 20).accessibilityIdentifier("row " + std::to_string(i)));
    ViewHost host(ScrollView(VStack(HorizontalAlignment::leading, 0, rows)).frame(100, 100), {100, 100});
    EXPECT_EQ(host.frameOf("row 0")->y, 0);
    host.scrollWheel({50, 50}, 30);
    EXPECT_EQ(host.frameOf("row 0")->y, -30);
    host.scrollWheel({50, 50}, 10000);
    EXPECT_EQ(host.frameOf("row 19")->maxY(), 100);
    host.scrollWheel({50, 50}, -10000);
    EXPECT_EQ(host.frameOf("row 0")->y, 0);
}

}  // namespace

namespace {

using namespace ui;

TEST(Input, SelectableTextSelectsByDragAndCopies) {
    ViewHost host(VStack({Text("Validation output line").textSelection(true).accessibilityIdentifier("out"), Text("plain")}),
                  {300, 100});
    const Rect out = *host.frameOf("out");
    host.pointerDown({out.x + 1, out.center().y}, 1.0);
    host.pointerDragged({out.maxX() - 1, out.center().y});
    host.pointerUp({out.maxX() - 1, out.center().y});
    host.keyDown(Key::copy);
    EXPECT_EQ(Pasteboard::general().string(), "Validation output line");

    // A double click selects the whole text; a click elsewhere drops the selection.
    host.pointerDown(out.center(), 5.0);
    host.pointerUp(out.center());
    host.pointerDown(out.center(), 5.1);
    host.pointerUp(out.center());
    Pasteboard::general().setString("");
    host.keyDown(Key::copy);
    EXPECT_EQ(Pasteboard::general().string(), "Validation output line");
    host.click(host.frameOf("plain")->center(), 9.0);
    Pasteboard::general().setString("kept");
    host.keyDown(Key::copy);
    EXPECT_EQ(Pasteboard::general().string(), "kept");
    EXPECT_EQ(host.inspect().at("children")[0].at("selectable"), true);
}

}  // namespace
