#pragma once
// The input or output busses of an audio unit, in order. The array tells each
// bus its index and type and installs its owner's format check on it, so that
// a bus refuses a new format while the owner's render resources are allocated.
//
// Threads: built and changed (replaceBusses) by the owner outside rendering;
// read from any thread.

#include <memory>
#include <mutex>
#include <vector>

#include "audiounit/AUAudioUnitBus.hpp"

namespace audiounit {

class AUAudioUnit;

class AUAudioUnitBusArray {
public:
    // An array of the owner's busses of one type. The owner is held weakly.
    static std::shared_ptr<AUAudioUnitBusArray> make(const std::shared_ptr<AUAudioUnit>& owner,
                                                     AUAudioUnitBusType busType,
                                                     std::vector<AUAudioUnitBusPtr> busses = {});

    [[nodiscard]] AUAudioUnitBusType busType() const noexcept { return busType_; }
    [[nodiscard]] std::shared_ptr<AUAudioUnit> ownerAudioUnit() const { return owner_.lock(); }

    [[nodiscard]] NSInteger count() const;
    // The bus at an index, or null when the index is out of range.
    [[nodiscard]] AUAudioUnitBusPtr objectAtIndexedSubscript(NSInteger index) const;
    [[nodiscard]] AUAudioUnitBusPtr operator[](NSInteger index) const { return objectAtIndexedSubscript(index); }
    [[nodiscard]] std::vector<AUAudioUnitBusPtr> busses() const;

    [[nodiscard]] bool isCountChangeable() const noexcept { return false; }
    // Replaces every bus (null entries are dropped).
    void replaceBusses(std::vector<AUAudioUnitBusPtr> busses);

private:
    AUAudioUnitBusArray(std::weak_ptr<AUAudioUnit> owner, AUAudioUnitBusType busType)
        : owner_(std::move(owner)), busType_(busType) {}
    void adopt(const AUAudioUnitBusPtr& bus, NSInteger index) const;

    std::weak_ptr<AUAudioUnit> owner_;
    AUAudioUnitBusType busType_;
    mutable std::mutex mutex_;
    std::vector<AUAudioUnitBusPtr> busses_;
};

using AUAudioUnitBusArrayPtr = std::shared_ptr<AUAudioUnitBusArray>;

}  // namespace audiounit
