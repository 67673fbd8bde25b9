#pragma once
// The host's view controller for the editor of a unit that runs out of
// process. Its view (a ui::ForeignWindowView) reserves the editor's area; the
// first time a window draws it, the controller asks the unit's service to
// show the editor in a window of its own, created as a child of that window,
// and the view keeps that window at its frame. When the service ends, its
// window goes with it and the view shows the empty area. Closing: the
// controller's end closes the editor in the service. Main thread only.

#include <memory>

#include "audiounit/AUAudioUnitProxy.hpp"
#include "foundation/NotificationCenter.hpp"
#include "ui/ForeignWindowView.hpp"
#include "ui/ViewController.hpp"

namespace audiounit {

class AUOutOfProcessViewController : public ui::NSViewController {
public:
    explicit AUOutOfProcessViewController(AUAudioUnitProxyPtr unit);
    ~AUOutOfProcessViewController() override;

    void loadView() override;
    [[nodiscard]] const AUAudioUnitProxyPtr& auAudioUnit() const noexcept { return unit_; }
    // The service's editor window, once shown (0 before, and after the service ended).
    [[nodiscard]] unsigned long editorWindow() const;

private:
    void placed(const ui::ForeignWindowView::Placement& placement);

    AUAudioUnitProxyPtr unit_;
    std::shared_ptr<ui::ForeignWindowView> view_;
    bool requested_ = false;
    foundation::ObserverToken invalidationToken_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace audiounit
