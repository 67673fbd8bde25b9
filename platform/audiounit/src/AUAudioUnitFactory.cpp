#include "audiounit/AUAudioUnitFactory.hpp"

namespace audiounit {

// Defined here so that the class's type information lives once, in this
// library, and casts across module boundaries compare against that copy.
AUAudioUnitFactory::~AUAudioUnitFactory() = default;

}  // namespace audiounit
