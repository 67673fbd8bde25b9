// The module's one exported symbol: the entry through which hosts create the
// extension's principal class.

#include "AudioUnitViewController.hpp"
#include "audiounit/AudioUnitModuleEntry.hpp"

DUNMARROW_AUDIO_UNIT_MODULE(AudioUnitViewController)
