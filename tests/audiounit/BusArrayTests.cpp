#include <gtest/gtest.h>

#include "TestUnit.hpp"

using namespace audiounit;
using testunits::makeUnit;

TEST(BusArray, HoldsBussesInOrderWithIndexAndType) {
    auto unit = makeUnit();
    ASSERT_TRUE(unit);
    auto format = AVAudioFormat::makeStandard(48000, 1);
    auto a = AUAudioUnitBus::make(format);
    auto b = AUAudioUnitBus::make(format);
    auto array = AUAudioUnitBusArray::make(unit, AUAudioUnitBusTypeOutput, {a, nullptr, b});
    EXPECT_EQ(array->count(), 2);
    EXPECT_EQ((*array)[0], a);
    EXPECT_EQ(array->objectAtIndexedSubscript(1), b);
    EXPECT_EQ((*array)[2], nullptr);
    EXPECT_EQ((*array)[-1], nullptr);
    EXPECT_EQ(b->index(), 1);
    EXPECT_EQ(b->busType(), AUAudioUnitBusTypeOutput);
    EXPECT_EQ(array->ownerAudioUnit(), unit);

    array->replaceBusses({b});
    EXPECT_EQ(array->count(), 1);
    EXPECT_EQ(b->index(), 0);

    // A bus outliving its unit still takes formats. (Refused while allocated:
    // EffectAudioUnit.AllocationChannelsLevelsAndTheMaximumCycle.)
    const auto bus = (*unit->inputBusses())[0];
    unit.reset();
    EXPECT_TRUE(bus->setFormat(AVAudioFormat::makeStandard(96000, 2)));
}
