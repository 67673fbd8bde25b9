#pragma once
// Audio-unit editors as view controllers.
//
// Main thread only, except where a member says otherwise.

#include <functional>
#include <memory>
#include <vector>

#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AUAudioUnitFactory.hpp"
#include "audiounit/AVAudioUnit.hpp"
#include "ui/ViewController.hpp"

namespace audiounit {

// The base of a module's principal class that is both the unit's factory and
// its editor: the platform creates it, calls its factory, and hands it to the
// host as the unit's view controller.
class AUViewController : public ui::NSViewController, public AUAudioUnitFactory {
public:
    AUViewController() = default;
    ~AUViewController() override = default;
};

// An editor for any unit, built from its parameter tree: one row per
// parameter with its name, a slider over its range and its value text. It
// follows changes made elsewhere and writes what the user moves.
class AUGenericViewController : public ui::NSHostingController {
public:
    AUGenericViewController();
    ~AUGenericViewController() override;

    [[nodiscard]] const std::shared_ptr<AUAudioUnit>& auAudioUnit() const noexcept { return auAudioUnit_; }
    // Shows the given unit's parameters (none for null).
    void setAuAudioUnit(std::shared_ptr<AUAudioUnit> unit);

private:
    struct Rows;
    std::shared_ptr<AUAudioUnit> auAudioUnit_;
    std::shared_ptr<Rows> rows_;
};

using ViewControllerCompletion = std::function<void(std::shared_ptr<ui::NSViewController> viewController)>;

// The unit's own editor: its module's principal object when that is a view
// controller; for a unit out of process, an AUOutOfProcessViewController when
// the service has an editor; else nothing. The completion runs before this returns.
void requestViewController(const AVAudioUnit& unit, const ViewControllerCompletion& completion);

}  // namespace audiounit
