// Observation: bodies evaluated again after a value they read changes, and only then.

#include <gtest/gtest.h>

#include "ui/View.hpp"
#include "ui/ViewHost.hpp"

namespace {

using namespace ui;

int counterEvaluations = 0;

class Counter final : public Component {
public:
    explicit Counter(ObservableValue<int>& source) : source_(source) {}
    View body() override {
        ++counterEvaluations;
        return VStack({Text("count " + std::to_string(source_.get())),
                       Text(pressed_.get() ? "pressed" : "idle").onTapGesture([this] { pressed_.set(true); })});
    }

private:
    ObservableValue<int>& source_;
    State<bool> pressed_{false};
};

class Parent final : public Component {
public:
    explicit Parent(ObservableValue<int>& s) : source(s) {}
    View body() override {
        ++evaluations;
        return VStack({Text(title.get()), View(keep<Counter>("counter", source))});
    }
    ObservableValue<int>& source;
    State<std::string> title{std::string("first")};
    int evaluations = 0;
};

TEST(State, BodiesAreEvaluatedAgainOnlyAfterAValueTheyReadChangesAndAKeptChildKeepsItsState) {
    ObservableValue<int> source(1), unrelated(0);
    auto parent = std::make_shared<Parent>(source);
    bool redrawRequested = false;
    ViewHost host(View(parent), {200, 100});
    host.setRedrawHandler([&] { redrawRequested = true; });
    host.layoutIfNeeded();
    const auto tree = host.inspect();
    EXPECT_EQ(tree.at("type"), "Parent");
    EXPECT_EQ(tree["children"][0]["children"][1].at("type"), "Counter");
    EXPECT_EQ(counterEvaluations, 1);

    unrelated.set(5);
    EXPECT_FALSE(redrawRequested);
    host.layoutIfNeeded();
    EXPECT_EQ(counterEvaluations, 1);

    source.set(2);  // the child alone, once for two changes
    source.set(3);
    EXPECT_TRUE(redrawRequested);
    EXPECT_TRUE(host.needsUpdate());
    EXPECT_TRUE(host.frameOf("count 3"));
    EXPECT_EQ(counterEvaluations, 2);
    EXPECT_EQ(parent->evaluations, 1);

    host.click(host.frameOf("idle").value_or(Rect{}).center());
    parent->title.set("second");
    EXPECT_TRUE(host.frameOf("second"));
    EXPECT_TRUE(host.frameOf("pressed"));
    EXPECT_EQ(parent->evaluations, 2);
}

TEST(State, AppearanceChangesAndGeometryReaderContentFollowTheStateTheyRead) {
    State<bool> shown(true), focused(false);
    State<int> n(1);
    int appeared = 0, disappeared = 0;
    std::vector<bool> changes;
    ViewHost host(Dynamic([&] {
                      return VStack({shown.get() ? Text("x").onAppear([&] { ++appeared; }).onDisappear([&] { ++disappeared; })
                                                 : EmptyView(),
                                     GeometryReader([&](Size s) {
                                         return Text(std::to_string(n.get()) + " in " + std::to_string(int(s.width)));
                                     }).frame(300, 20)});
                  }).onChange(focused, [&](const bool& now) { changes.push_back(now); }),
                  {300, 100});
    host.layoutIfNeeded();
    (void)host.render(1);
    EXPECT_EQ(appeared, 1);
    EXPECT_TRUE(changes.empty());  // the first value is not a change
    EXPECT_TRUE(host.frameOf("1 in 300"));
    n.set(2);
    EXPECT_TRUE(host.frameOf("2 in 300"));
    shown.set(false);
    host.layoutIfNeeded();
    EXPECT_EQ(disappeared, 1);
    shown.set(true);
    host.layoutIfNeeded();
    EXPECT_EQ(appeared, 2);
    for (const bool value : {true, true, false}) {  // the second is written, not changed
        focused.set(value);
        host.layoutIfNeeded();
    }
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
}

}  // namespace
