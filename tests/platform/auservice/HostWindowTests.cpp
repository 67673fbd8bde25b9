// The host's window on Xvfb with the effect out of process: the editor is a child window of the service's.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <set>

#include "ContentView.hpp"
#include "DunmarrowAUApp.hpp"
#include "HostTestSupport.hpp"
#include "ValidationView.hpp"
#include "audiounit/AUAudioUnitProxy.hpp"
#include "WindowTestSupport.hpp"
// X11 last: its macros (None, Bool) clash with names in the headers above.
#include "VirtualDisplay.hpp"

using namespace hosttest;
using namespace std::chrono_literals;

namespace {

std::vector<std::pair<unsigned long, ui::Rect>> shownChildren(Display* display, unsigned long window) {
    ::Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    std::vector<std::pair<unsigned long, ui::Rect>> shown;
    if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) return shown;
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes a{};
        if (XGetWindowAttributes(display, children[i], &a) != 0 && a.map_state == IsViewable)
            shown.push_back({children[i], ui::Rect{double(a.x), double(a.y), double(a.width), double(a.height)}});
    }
    if (children) XFree(children);
    return shown;
}

}  // namespace

TEST(HostWindowWithTheEditorOutOfProcess, TheEditorIsAServiceWindowUnderTheSheetAndGoesWithTheService) {
    testsupport::Xvfb server;
    if (!server.installed()) GTEST_SKIP() << "Xvfb is not installed; the X window tests need it";
    ASSERT_FALSE(server.display().empty()) << "Xvfb did not report a display";
    ManualValidation validation;
    AudioUnitHostModel::Configuration configuration;
    configuration.engine = engineConfiguration();
    configuration.engine.instantiationOptions = audiounit::kAudioComponentInstantiation_LoadOutOfProcess;
    configuration.validate = validation.function();
    DunmarrowAUApp app(std::move(configuration));
    std::string error;
    auto created = DunmarrowAUApp::createWindow(server.display(), &error);
    ASSERT_NE(created, nullptr) << error;
    ui::Window& window = app.openWindow(std::move(created));
    window.show();
    testsupport::XClient client(server.display());
    ASSERT_NE(client.display, nullptr);
    const auto host = window.contentView()->host();
    const auto id = window.windowId();
    ASSERT_TRUE(pumpUntil([&] { return app.hostModel->loadFinished(); }, 20s));
    validation.answer(kAudioComponentValidationResult_Passed, {{"Output", {"ok"}}});
    const auto proxy = std::dynamic_pointer_cast<audiounit::AUAudioUnitProxy>(app.hostModel->playEngine->avAudioUnit.get()->auAudioUnit());
    ASSERT_TRUE(proxy);
    const auto drive = proxy->parameterTree()->parameterWithIdentifiers({"global", "drive"});

    // The service's editor stands at the view's frame once the window has its final layout.
    ui::Rect area;
    const auto editorShown = [&] {
        const auto view = findByType(host->inspect(), "ForeignWindowView");
        if (!view || !host->frameOf(ValidationView::kBadgeIdentifier)) return false;
        const auto& f = view->at("frame");
        area = {f.at("x").get<double>(), f.at("y").get<double>(), f.at("width").get<double>(), f.at("height").get<double>()};
        const auto shown = shownChildren(client.display, id);
        if (shown.size() != 1) return false;
        const ui::Rect& at = shown.front().second;  // whole pixels
        return std::abs(at.x - area.x) < 1 && std::abs(at.y - area.y) < 1 && std::abs(at.maxX() - area.maxX()) < 1 &&
               std::abs(at.maxY() - area.maxY()) < 1;
    };
    ASSERT_TRUE(pumpUntil(editorShown, 20s)) << "the editor is not shown at " << area;
    // The service draws it there: many colours, not an empty window.
    const auto drawn = [&] {
        std::set<unsigned long> colours;
        for (double y = area.y; y < area.maxY(); y += 23)
            for (double x = area.x; x < area.maxX(); x += 23) colours.insert(client.pixel(id, int(x), int(y)));
        return colours.size() > 8;
    };
    ASSERT_TRUE(pumpUntil(drawn, 10s));
    const auto slider = frameInTree(host->inspect(), "Drive");
    ASSERT_TRUE(slider && area.contains(slider->center()));
    const ui::Point onSlider{slider->x + slider->width / 4, slider->center().y};
    const float driveBefore = drive->value();

    // The sheet hides the editor's window (the host's sheet is modal): "Close" takes the click where the
    // editor was; the editor comes back at its frame and takes clicks again.
    client.click(id, host->frameOf(ValidationView::kBadgeIdentifier)->center());
    ASSERT_TRUE(pumpUntil([&] { return host->frameOf(ValidationView::kCloseIdentifier) && shownChildren(client.display, id).empty(); }, 10s));
    const ui::Rect close = *host->frameOf(ValidationView::kCloseIdentifier);
    ASSERT_TRUE(area.contains(close.center())) << "the test wants the sheet's button over the editor";
    client.clickThrough(id, close.center());
    ASSERT_TRUE(pumpUntil([&] { return !host->frameOf(ValidationView::kCloseIdentifier); }, 10s));
    ASSERT_TRUE(pumpUntil(editorShown, 10s));
    client.clickThrough(id, onSlider);
    EXPECT_TRUE(pumpUntil([&] { return drive->value() != driveBefore; }, 10s));

    proxy->killServiceForTesting();
    EXPECT_TRUE(pumpUntil([&] { return shownChildren(client.display, id).empty() && host->frameOf(ContentView::kCrashedIdentifier); }, 10s));
}
