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

TEST(Input, SliderDragReportsEditingOnceEachSideWritesValuesAndSurvivesTheViewBeingRebuilt) {
    State<double> value(50);
    std::vector<bool> editing;
    std::vector<double> written;
    Binding<double> binding([&] { return value.get(); }, [&](double v) { written.push_back(v); value.set(v); });
    ViewHost host(Dynamic([&] {
                      return VStack(HorizontalAlignment::leading, 0, {
                          Text("v " + std::to_string(int(value.get()))).frame({}, 20),
                          Slider(binding, 0, 100, [&](bool e) { editing.push_back(e); }).frame(214, 20)});
                  }),
                  {214, 40});
    // The thumb travels between 7 and 207 points.
    host.pointerDown({57, 30});
    EXPECT_EQ(editing, std::vector<bool>{true});
    EXPECT_DOUBLE_EQ(value.peek(), 25);
    host.pointerDragged({107, 30});
    host.pointerDragged({107, 30});
    host.pointerDragged({500, 60});  // beyond the end: clamped to the maximum
    EXPECT_DOUBLE_EQ(value.peek(), 100);
    host.pointerUp({500, 60});
    EXPECT_EQ(editing, (std::vector<bool>{true, false}));
    EXPECT_EQ(written, (std::vector<double>{25, 50, 100}));
    EXPECT_TRUE(host.frameOf("v 100"));
}

TEST(Input, TapsDoubleClicksTogglesAndButtonsActOnReleaseInsideAndASheetIsModal) {
    int doubles = 0, singles = 0;
    State<bool> on(false), presented(false);
    ViewHost host(VStack({Text("Drive: 65.00").onTapGesture(2, [&] { ++doubles; }),
                          Text("single").onTapGesture([&] { ++singles; }),
                          Toggle("LIVE SAFE", on.binding()).accessibilityIdentifier("switch"),
                          Button("Open", [&] { presented.set(true); })})
                      .sheet(presented.binding(),
                             [&] { return VStack({Text("Close").onTapGesture([&] { presented.set(false); })}); }),
                  {200, 120});
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
    host.pointerDown(centre(host, "single"), 40.0);
    host.pointerUp({1000, 1000});
    EXPECT_EQ(singles, 1);

    host.click(centre(host, "switch"));
    EXPECT_TRUE(on.peek());
    host.pointerDown(centre(host, "switch"));
    host.pointerUp({1000, 1000});
    EXPECT_TRUE(on.peek());
    host.click(centre(host, "switch"));
    EXPECT_FALSE(on.peek());
    EXPECT_EQ(host.frameOf("switch")->height, 18);

    EXPECT_FALSE(host.frameOf("Close"));
    host.click(centre(host, "Open"));
    ASSERT_TRUE(host.frameOf("Close"));
    EXPECT_EQ(host.inspect().at("type"), "Sheet");
    host.click(centre(host, "single"));  // covered by the sheet
    EXPECT_EQ(singles, 1);
    host.click(centre(host, "Close"));
    EXPECT_FALSE(host.frameOf("Close"));
    host.click(centre(host, "single"));
    EXPECT_EQ(singles, 2);
}

TEST(Input, AFieldTakesFocusByClickOrBindingEditsAtItsCaretAndLosesFocusElsewhereOrWhenItGoes) {
    State<std::string> text{std::string("65.00")};
    State<bool> focused{false}, shown{true};
    std::vector<std::string> events;
    Binding<bool> focus([&] { return focused.get(); }, [&](bool f) {
        events.push_back(f ? "focus" : "blur");
        focused.set(f);
    });
    ViewHost host(Dynamic([&] {
                      return VStack({shown.get() ? TextField("", text.binding())
                                                       .focused(focus)
                                                       .onSubmit([&] { events.push_back("submit " + text.peek()); })
                                                       .onExitCommand([&] { events.push_back("exit " + text.peek()); })
                                                       .accessibilityIdentifier("field")
                                                       .frame(88, {})
                                                 : EmptyView(),
                                     Rectangle().frame(88, 40).accessibilityIdentifier("elsewhere")});
                  }),
                  {200, 100});
    host.click(centre(host, "field"));
    ASSERT_TRUE(host.hasKeyboardFocus());
    const struct {
        std::vector<Key> keys;
        const char* typed;
        const char* after;
    } edits[] = {
        {{Key::end, Key::backspace, Key::backspace}, "", "65."},
        {{Key::home, Key::deleteForward}, "", "5."},
        {{Key::right}, "x", "5x."},
        {{Key::left, Key::left, Key::backspace}, "", "5x."},  // at the start: nothing deleted
        {{Key::selectAll, Key::backspace}, "é1", "é1"},
        {{Key::left, Key::backspace}, "", "1"},  // multi-byte characters move as one
        {{Key::selectAll}, "abc", "abc"},
    };
    for (const auto& edit : edits) {
        for (const Key key : edit.keys) host.keyDown({key});
        host.typeText(edit.typed);
        EXPECT_EQ(text.peek(), edit.after) << edit.typed;
    }
    host.keyDown({Key::escape});
    EXPECT_TRUE(host.hasKeyboardFocus());
    host.click(centre(host, "elsewhere"));
    EXPECT_FALSE(host.hasKeyboardFocus());
    host.typeText("zzz");  // keys without a focused field go nowhere
    EXPECT_EQ(text.peek(), "abc");

    // Focused through its binding, the field's text is selected.
    focused.set(true);
    host.layoutIfNeeded();
    EXPECT_TRUE(host.hasKeyboardFocus());
    host.typeText("150");
    host.keyDown({Key::returnKey});
    focused.set(false);
    host.layoutIfNeeded();
    EXPECT_FALSE(host.hasKeyboardFocus());
    host.click(centre(host, "field"));
    shown.set(false);  // a focused field that goes gives its focus up through its binding
    host.layoutIfNeeded();
    EXPECT_FALSE(host.hasKeyboardFocus());
    EXPECT_EQ(events, (std::vector<std::string>{"focus", "exit abc", "blur", "submit 150", "focus", "blur"}));
}

TEST(Input, ScrollViewsScrollWithinBoundsAndSelectableTextSelectsByDragOrDoubleClickAndCopies) {
    std::vector<View> rows;
    for (int i = 0; i < 20; ++i)
        rows.push_back(Text("row " + std::to_string(i)).frame({}, 20).accessibilityIdentifier("row " + std::to_string(i)));
    ViewHost host(ScrollView(VStack(HorizontalAlignment::leading, 0, rows)).frame(100, 100), {100, 100});
    host.scrollWheel({50, 50}, 30);
    EXPECT_EQ(host.frameOf("row 0")->y, -30);
    host.scrollWheel({50, 50}, 10000);
    EXPECT_EQ(host.frameOf("row 19")->maxY(), 100);
    host.scrollWheel({50, 50}, -10000);
    EXPECT_EQ(host.frameOf("row 0")->y, 0);

    ViewHost texts(VStack({Text("Validation output line").textSelection(true).accessibilityIdentifier("out"), Text("plain")}),
                   {300, 100});
    const Rect out = *texts.frameOf("out");
    texts.pointerDown({out.x + 1, out.center().y}, 1.0);
    texts.pointerDragged({out.maxX() - 1, out.center().y});
    texts.pointerUp({out.maxX() - 1, out.center().y});
    texts.keyDown(Key::copy);
    EXPECT_EQ(Pasteboard::general().string(), "Validation output line");
    Pasteboard::general().setString("");
    texts.click(out.center(), 5.0);
    texts.click(out.center(), 5.1);
    texts.keyDown(Key::copy);
    EXPECT_EQ(Pasteboard::general().string(), "Validation output line");
    texts.click(texts.frameOf("plain")->center(), 9.0);
    Pasteboard::general().setString("kept");
    texts.keyDown(Key::copy);
    EXPECT_EQ(Pasteboard::general().string(), "kept");
}

}  // namespace
