// The editor of an out-of-process unit: the host's view reserves the area, the
// service shows the effect's editor in a window of its own created as a child
// of the host's window, placed at the view's frame, drawn there, and gone when
// the service dies. Runs on a private Xvfb.

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <set>

#include "OopTestSupport.hpp"
#include "VirtualDisplay.hpp"
#include "audiounit/AUAudioUnitProxy.hpp"
#include "audiounitui/AUOutOfProcessViewController.hpp"
#include "audiounitui/AUViewController.hpp"
#include "ui/Window.hpp"

using namespace audiounit;
using namespace ooptest;

namespace {

std::vector<::Window> childrenOf(Display* display, ::Window window) {
    ::Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    std::vector<::Window> result;
    if (XQueryTree(display, window, &root, &parent, &children, &count) != 0) {
        result.assign(children, children + count);
        if (children) XFree(children);
    }
    return result;
}

bool contains(const std::vector<::Window>& list, unsigned long window) {
    return std::find(list.begin(), list.end(), window) != list.end();
}

}  // namespace

TEST(OutOfProcessEditor, TheServicesEditorIsAChildWindowAtTheViewsFrameAndGoesWithTheService) {
    testsupport::Xvfb xvfb;
    if (!xvfb.installed() || xvfb.display().empty()) GTEST_SKIP() << "no Xvfb";
    const auto node = instantiate(effectComponent(), kAudioComponentInstantiation_LoadOutOfProcess);
    ASSERT_TRUE(node);
    const auto proxy = std::dynamic_pointer_cast<AUAudioUnitProxy>(node->auAudioUnit());
    ASSERT_TRUE(proxy);
    EXPECT_TRUE(proxy->editorInfo().available);

    std::shared_ptr<ui::NSViewController> controller;
    requestViewController(*node, [&](std::shared_ptr<ui::NSViewController> c) { controller = std::move(c); });
    const auto remote = std::dynamic_pointer_cast<AUOutOfProcessViewController>(controller);
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->preferredContentSize(), (ui::Size{720, 600}));
    // Offscreen, the view only reserves its area.
    EXPECT_EQ(remote->view()->inspect()["type"], "ForeignWindowView");

    ui::Window::Options options;
    options.display = xvfb.display();
    options.size = {760, 640};
    options.scale = 1;
    auto window = ui::Window::create(options);
    ASSERT_TRUE(window);
    window->setRootView(ui::ViewControllerRepresentable(controller).padding(20));
    window->attachToMainRunLoop();
    window->show();
    ASSERT_TRUE(pumpUntil([&] { return remote->editorWindow() != 0; }, std::chrono::seconds(20)));
    const unsigned long editor = remote->editorWindow();

    testsupport::XClient client(xvfb.display());
    ASSERT_NE(client.display, nullptr);
    XWindowAttributes attributes{};
    ASSERT_TRUE(pumpUntil(
        [&] {
            if (!contains(childrenOf(client.display, window->windowId()), editor)) return false;
            XGetWindowAttributes(client.display, editor, &attributes);
            return attributes.map_state == IsViewable && attributes.x == 20 && attributes.y == 20;
        },
        std::chrono::seconds(10)));
    EXPECT_EQ(attributes.width, 720);
    EXPECT_EQ(attributes.height, 600);

    // The service draws its editor there: many colours, not an empty window.
    std::set<unsigned long> colours;
    ASSERT_TRUE(pumpUntil(
        [&] {
            XImage* image = XGetImage(client.display, editor, 0, 0, 720, 600, AllPlanes, ZPixmap);
            if (!image) return false;
            colours.clear();
            for (int y = 0; y < 600; y += 7)
                for (int x = 0; x < 720; x += 7) colours.insert(XGetPixel(image, x, y));
            XDestroyImage(image);
            return colours.size() > 8;
        },
        std::chrono::seconds(10)))
        << colours.size() << " colours";

    // The service dies: its window goes with it, the host's window stays.
    proxy->killServiceForTesting();
    ASSERT_TRUE(pumpUntil([&] { return !contains(childrenOf(client.display, window->windowId()), editor); },
                          std::chrono::seconds(10)));
    ASSERT_TRUE(pumpUntil([&] { return remote->editorWindow() == 0; }, std::chrono::seconds(5)));
    EXPECT_FALSE(window->isClosed());
}

namespace {

void collectTexts(const nlohmann::json& node, std::vector<std::string>& texts) {
    if (node.contains("text") && node["text"].is_string()) texts.push_back(node["text"].get<std::string>());
    if (node.contains("children"))
        for (const auto& child : node["children"]) collectTexts(child, texts);
}

std::shared_ptr<ui::NSViewController> editorOf(const AVAudioUnit& node) {
    std::shared_ptr<ui::NSViewController> controller;
    requestViewController(node, [&](std::shared_ptr<ui::NSViewController> c) { controller = std::move(c); });
    // The effect's own controller sizes itself on the main queue.
    pumpUntil([] { return false; }, std::chrono::milliseconds(50));
    return controller;
}

}  // namespace

// Hosts that draw offscreen (headless screenshots) cannot embed a window: the
// view then shows the service's own rendering of the editor, which is the
// editor exactly as it draws in process, and inspects as the editor does.
TEST(OutOfProcessEditor, OffscreenTheViewShowsTheServicesRenderingAndInspection) {
    const auto remoteNode = instantiate(effectComponent(), kAudioComponentInstantiation_LoadOutOfProcess);
    const auto localNode = instantiate(effectComponent(), kAudioComponentInstantiation_LoadInProcess);
    ASSERT_TRUE(remoteNode && localNode);
    const auto remote = editorOf(*remoteNode);
    const auto local = editorOf(*localNode);
    ASSERT_TRUE(std::dynamic_pointer_cast<AUOutOfProcessViewController>(remote));
    ASSERT_TRUE(local);
    ASSERT_FALSE(std::dynamic_pointer_cast<AUOutOfProcessViewController>(local));

    // Half the preferred size at twice the pixels: the service lays out and
    // draws at the asked size and scale.
    remote->view()->setFrame({0, 0, 360, 300});
    local->view()->setFrame({0, 0, 360, 300});
    const ui::Image remoteImage = remote->view()->render(2);
    const ui::Image localImage = local->view()->render(2);
    ASSERT_EQ(remoteImage.width(), 720);
    ASSERT_EQ(remoteImage.height(), 600);
    ASSERT_EQ(localImage.width(), 720);
    int differing = 0;
    for (int y = 0; y < 600; y += 3)
        for (int x = 0; x < 720; x += 3)
            if (!(remoteImage.pixel(x, y) == localImage.pixel(x, y))) ++differing;
    EXPECT_EQ(differing, 0);

    // The inspection carries the editor's own tree below the view, placed
    // where the view is.
    const auto tree = remote->view()->inspect({5, 7}, 2);
    EXPECT_EQ(tree["type"], "ForeignWindowView");
    ASSERT_EQ(tree["children"].size(), 1u);
    const auto& editor = tree["children"][0];
    EXPECT_EQ(editor["frame"], (nlohmann::json{{"x", 5.0}, {"y", 7.0}, {"width", 720.0}, {"height", 600.0}}));
    std::vector<std::string> remoteTexts, localTexts;
    collectTexts(editor, remoteTexts);
    collectTexts(local->view()->inspect({5, 7}, 2), localTexts);
    EXPECT_EQ(remoteTexts, localTexts);
    EXPECT_NE(std::find(remoteTexts.begin(), remoteTexts.end(), "Drive: 65.00"), remoteTexts.end());

    // A parameter changed in the host shows in the next rendering.
    remoteNode->auAudioUnit()->parameterTree()->parameterWithAddress(0)->setValue(20.0f);  // drive
    ASSERT_TRUE(pumpUntil([&] {
        std::vector<std::string> texts;
        collectTexts(remote->view()->inspect(), texts);
        return std::find(texts.begin(), texts.end(), "Drive: 20.00") != texts.end();
    }));

    // Once the service is gone, only the reserved area remains.
    std::dynamic_pointer_cast<AUAudioUnitProxy>(remoteNode->auAudioUnit())->killServiceForTesting();
    ASSERT_TRUE(pumpUntil([&] { return remote->view()->inspect()["children"].empty(); }, std::chrono::seconds(10)));
    const ui::Color reserved = remote->view()->render(1).pixel(180, 150);
    EXPECT_NEAR(reserved.r, 0.12, 0.01);
    EXPECT_NEAR(reserved.g, 0.12, 0.01);
}
