// View controllers, hosting views and a controller embedded in a view tree.

#include <gtest/gtest.h>

#include "ui/ViewController.hpp"

namespace {

using namespace ui;

class RecordingController final : public NSHostingController {
public:
    explicit RecordingController(View root) : NSHostingController(std::move(root)) {}
    void viewDidLoad() override { calls.push_back("viewDidLoad"); }
    void viewWillAppear() override { calls.push_back("viewWillAppear"); }
    std::vector<std::string> calls;
};

TEST(Controllers, AViewLoadsOnceAndInspectionInputAndDrawingReachItInsideItsSuperview) {
    int taps = 0;
    auto parent = std::make_shared<NSViewController>();
    auto child = std::make_shared<RecordingController>(Text("tap me").onTapGesture([&] { ++taps; }));
    child->setPreferredContentSize({720, 600});
    EXPECT_FALSE(child->isViewLoaded());
    auto view = child->view();
    EXPECT_EQ(child->view(), view);
    EXPECT_EQ(child->calls, std::vector<std::string>{"viewDidLoad"});
    EXPECT_EQ(view->frame(), (Rect{0, 0, 720, 600}));

    parent->addChild(child);
    EXPECT_EQ(child->parent(), parent.get());
    const auto root = parent->view();
    root->setFrame({0, 0, 400, 300});
    view->setFrame({100, 50, 200, 100});
    root->addSubview(view);
    const nlohmann::json tree = root->inspect();
    EXPECT_EQ(tree.at("children")[0].at("type"), "NSHostingView");
    EXPECT_EQ(tree.at("children")[0].at("children")[0].at("text"), "tap me");
    root->pointerDown({200, 100});  // the middle of the view, where its text is
    root->pointerUp({200, 100});
    EXPECT_EQ(taps, 1);
    root->pointerDown({10, 10});
    root->pointerUp({10, 10});
    EXPECT_EQ(taps, 1);

    auto red = std::make_shared<NSHostingController>(View(Color::sRGB(1, 0, 0)));
    red->view()->setFrame({300, 200, 100, 100});
    root->addSubview(red->view());
    const Image image = root->render(2, Color::black());
    EXPECT_EQ(image.pixel(599, 399).r, 0);
    EXPECT_EQ(image.pixel(600, 400).r, 1);

    // Pinned to its superview's edges, a view follows its size.
    view->setPinnedToSuperviewEdges(true);
    root->setFrame({0, 0, 360, 300});
    EXPECT_EQ(view->frame(), (Rect{0, 0, 360, 300}));
    EXPECT_EQ(view->host()->size(), (Size{360, 300}));
    child->removeFromParent();
    view->removeFromSuperview();
    EXPECT_TRUE(parent->children().empty());
    EXPECT_EQ(root->subviews().size(), 1u);
    EXPECT_EQ(view->superview(), nullptr);
}

TEST(Controllers, RepresentableEmbedsAControllerInAViewTreeWithPaddingAndKeys) {
    State<std::string> typed(std::string(""));
    State<bool> focused(false);
    auto editor = std::make_shared<RecordingController>(
        TextField("", typed.binding()).focused(focused.binding()).accessibilityIdentifier("field").frame(100, {}));
    editor->setPreferredContentSize({300, 200});
    ViewHost window(VStack({Text("title").accessibilityIdentifier("title"), ViewControllerRepresentable(editor).padding(10)}),
                    {400, 400});
    const nlohmann::json tree = window.inspect();
    const auto& padding = tree.at("children")[1];
    const auto& embedded = padding.at("children")[0];
    EXPECT_EQ(embedded.at("type"), "ViewControllerRepresentable");
    EXPECT_EQ(embedded.at("frame").at("width"), 380);
    EXPECT_EQ(editor->calls, (std::vector<std::string>{"viewDidLoad", "viewWillAppear"}));
    const auto& hostingView = embedded.at("children")[0];
    EXPECT_EQ(hostingView.at("frame"), embedded.at("frame"));

    ASSERT_FALSE(window.frameOf("field"));  // the outer host does not see inside the embedded view
    const auto& fieldJson = hostingView.at("children")[0].at("children")[0];
    EXPECT_EQ(fieldJson.at("identifier"), "field");
    const Point p{fieldJson["frame"]["x"].get<double>() + 5, fieldJson["frame"]["y"].get<double>() + 5};
    window.click(p);
    EXPECT_TRUE(focused.peek());
    window.typeText("42");
    EXPECT_EQ(typed.peek(), "42");
    window.click(window.frameOf("title")->center());
    EXPECT_FALSE(focused.peek());
}

}  // namespace
