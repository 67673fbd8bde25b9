#include "audiounit/AUAudioUnitBusArray.hpp"

#include "audiounit/AUAudioUnit.hpp"

namespace audiounit {

std::shared_ptr<AUAudioUnitBusArray> AUAudioUnitBusArray::make(const std::shared_ptr<AUAudioUnit>& owner,
                                                               AUAudioUnitBusType busType,
                                                               std::vector<AUAudioUnitBusPtr> busses) {
    std::shared_ptr<AUAudioUnitBusArray> array(new AUAudioUnitBusArray(owner, busType));
    array->replaceBusses(std::move(busses));
    return array;
}

void AUAudioUnitBusArray::adopt(const AUAudioUnitBusPtr& bus, NSInteger index) const {
    bus->setIndexAndType(index, busType_);
    // The bus asks the owner before it takes a new format; the owner is held
    // weakly so that the bus does not keep the unit alive.
    bus->setFormatValidator([owner = owner_](const AUAudioUnitBus& b, const AVAudioFormat& format,
                                             foundation::NSError* outError) {
        const auto unit = owner.lock();
        return !unit || unit->shouldChangeToFormat(format, b, outError);
    });
}

NSInteger AUAudioUnitBusArray::count() const {
    std::lock_guard lock(mutex_);
    return static_cast<NSInteger>(busses_.size());
}

AUAudioUnitBusPtr AUAudioUnitBusArray::objectAtIndexedSubscript(NSInteger index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || static_cast<std::size_t>(index) >= busses_.size()) return nullptr;
    return busses_[static_cast<std::size_t>(index)];
}

std::vector<AUAudioUnitBusPtr> AUAudioUnitBusArray::busses() const {
    std::lock_guard lock(mutex_);
    return busses_;
}

void AUAudioUnitBusArray::replaceBusses(std::vector<AUAudioUnitBusPtr> busses) {
    std::erase(busses, nullptr);
    for (std::size_t i = 0; i < busses.size(); ++i) adopt(busses[i], static_cast<NSInteger>(i));
    std::lock_guard lock(mutex_);
    busses_ = std::move(busses);
}

}  // namespace audiounit
