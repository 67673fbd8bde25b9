#pragma once
// The principal class of the test modules as both the modules and the tests see
// it: the tests reach it by casting the principal object across the module
// boundary, the way a host reaches an effect's view controller.

#include <memory>
#include <thread>

#include "audiounit/AUAudioUnitFactory.hpp"

class TestPrincipal : public audiounit::AUAudioUnitFactory {
public:
    // Written by the module on the threads it runs on; read once the instantiation has completed.
    std::thread::id constructedOn = std::this_thread::get_id();
    std::thread::id factoryCalledOn;
    int factoryCalls = 0;
    audiounit::AudioComponentDescription factoryDescription;
    std::shared_ptr<audiounit::AUAudioUnit> audioUnit;
};
