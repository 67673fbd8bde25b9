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
