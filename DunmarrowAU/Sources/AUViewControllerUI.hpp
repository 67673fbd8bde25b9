#pragma once
// Embeds an audio unit's own editor, a view controller the unit supplies, in
// the host window's view tree. Creating the embedding hands over the
// controller; updating does nothing; size, layout and teardown are the
// embedding's defaults (the controller's preferred size when offered nothing).
// Main thread only.

#include <memory>

#include "ui/View.hpp"
#include "ui/ViewController.hpp"

class AUViewControllerUI final : public ui::Component {
public:
    explicit AUViewControllerUI(std::shared_ptr<ui::NSViewController> controller)
        : auViewController(std::move(controller)) {}

    ui::View body() override { return ui::ViewControllerRepresentable(auViewController); }
    [[nodiscard]] std::string typeName() const override { return "AUViewControllerUI"; }

    // Only ever created with a controller present.
    const std::shared_ptr<ui::NSViewController> auViewController;
};
