#pragma once
// The unit's editor as the host holds it until the window embeds it: an opaque
// reference. It is the module's principal object when the module has one (the
// window casts it to its view-controller type), else an AUGenericViewController,
// the stand-in editor over the unit's parameters.

#include <memory>

#include "audiounit/AUAudioUnit.hpp"

using NSViewControllerPtr = std::shared_ptr<void>;

class AUGenericViewController {
public:
    [[nodiscard]] const std::shared_ptr<audiounit::AUAudioUnit>& auAudioUnit() const noexcept { return auAudioUnit_; }
    void setAuAudioUnit(std::shared_ptr<audiounit::AUAudioUnit> unit) { auAudioUnit_ = std::move(unit); }

private:
    std::shared_ptr<audiounit::AUAudioUnit> auAudioUnit_;
};
