// The principal class as the editor's view controller: when it builds, its sizes, what it follows.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "AudioUnitViewController.hpp"
#include "BundleTestSupport.hpp"
#include "DunmarrowAUExtensionAudioUnit.hpp"
#include "ParameterDefinitions.hpp"
#include "foundation/RunLoop.hpp"
#include "ui/ViewController.hpp"

using namespace audiounit;
using namespace bundletest;

namespace {

std::map<std::string, double> controlValues(const ui::NSView& view) {
    std::map<std::string, double> values;
    forEachNode(const_cast<ui::NSView&>(view).inspect(), [&](const nlohmann::json& node) {
        const std::string type = node.value("type", "");
        if (type == "Slider") values[node.value("identifier", "")] = node.at("value").get<double>();
        if (type == "Toggle") values["Live Safe"] = node.at("isOn").get<bool>() ? 1 : 0;
    });
    return values;
}

int hostingViewCount(const ui::NSView& view) {
    int count = 0;
    for (const auto& sub : view.subviews()) count += sub->host() ? 1 : 0;
    return count;
}

}  // namespace

TEST(AudioUnitViewControllerEditor, TheFactoryCallBuildsOneEditorThatFollowsTheUnitAndABareUnitNone) {
    auto controller = std::make_shared<AudioUnitViewController>();
    const auto unit = createUnit(*controller);
    ASSERT_NE(unit, nullptr);

    // The queued build loaded the view (one editor), then replaced that editor.
    ASSERT_TRUE(controller->isViewLoaded());
    const auto view = controller->view();
    EXPECT_EQ(view->frame(), (ui::Rect{0, 0, 720, 600}));
    EXPECT_EQ(controller->preferredContentSize(), (ui::Size{720, 600}));
    ASSERT_NE(controller->editorHostingController(), nullptr);
    EXPECT_EQ(hostingViewCount(*view), 1);
    EXPECT_EQ(controller->children().size(), 1u);
    EXPECT_EQ(controller->children().front(), controller->editorHostingController());
    EXPECT_EQ(view->subviews().front(), controller->editorHostingController()->view());
    EXPECT_EQ(view->subviews().front()->frame(), (ui::Rect{0, 0, 720, 600}));

    // A factory preset moves every control (each set away from it first).
    const auto tree = unit->parameterTree();
    const auto away = [](const ParameterRow& row) {
        return row.glassTeeth == row.maxValue ? row.minValue : row.maxValue;
    };
    for (const ParameterRow& row : kParameters) tree->parameterWithAddress(row.address)->setValue(away(row));
    drainMainQueue();
    const auto moved = controlValues(*view);
    for (const ParameterRow& row : kParameters) EXPECT_EQ(moved.at(row.name), away(row)) << row.name;

    unit->setCurrentPreset(unit->factoryPresets()[1]);
    drainMainQueue();
    const auto preset = controlValues(*view);
    for (const ParameterRow& row : kParameters)
        EXPECT_FLOAT_EQ(preset.at(row.name), row.glassTeeth) << row.name;

    // A unit without a parameter tree leaves no editor.
    const auto bare = AUAudioUnit::create<DunmarrowAUExtensionAudioUnit>(kDunmarrow, kAudioComponentInstantiation_None);
    ASSERT_NE(bare, nullptr);
    controller->configureEditorView(bare);
    EXPECT_EQ(controller->editorHostingController(), nullptr);
    EXPECT_EQ(hostingViewCount(*view), 0);
    EXPECT_TRUE(controller->children().empty());
}

TEST(AudioUnitViewControllerEditor, BuildingTwiceLeavesOneHostingViewAndAHostSizeIsKept) {
    auto controller = std::make_shared<AudioUnitViewController>();
    // A host that sized the view before the unit existed keeps its size.
    controller->view()->setFrame({0, 0, 800, 500});
    const auto unit = createUnit(*controller);
    ASSERT_NE(unit, nullptr);
    const auto first = controller->editorHostingController();
    controller->configureEditorView(unit);
    controller->viewDidLoad();
    const auto view = controller->view();
    EXPECT_EQ(hostingViewCount(*view), 1);
    EXPECT_EQ(controller->children().size(), 1u);
    EXPECT_NE(controller->editorHostingController(), first);
    EXPECT_EQ(first->parent(), nullptr);
    EXPECT_EQ(first->view()->superview(), nullptr);
    EXPECT_EQ(view->frame(), (ui::Rect{0, 0, 800, 500}));
    // The editor fills the view the host made, and follows it when it changes.
    EXPECT_EQ(view->subviews().front()->frame(), (ui::Rect{0, 0, 800, 500}));
    view->setFrame({0, 0, 1440, 1200});
    EXPECT_EQ(view->subviews().front()->frame(), (ui::Rect{0, 0, 1440, 1200}));

    // A view squeezed to 1 x 1 or less gets the preferred size back.
    view->setFrame({0, 0, 1, 300});
    controller->viewWillAppear();
    EXPECT_EQ(view->frame(), (ui::Rect{0, 0, 720, 600}));
}
