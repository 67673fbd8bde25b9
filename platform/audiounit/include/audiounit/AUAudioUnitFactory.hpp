#pragma once
// The interface of an audio-unit module's principal class: the object a host's
// instantiation creates first, and which then creates the audio unit itself.
// An effect's principal class is usually also its editor's view controller;
// hosts reach that role by casting the principal object to the view-controller
// type.

#include <memory>

#include "audiounit/AudioComponentDescription.hpp"
#include "foundation/NSError.hpp"

namespace audiounit {

class AUAudioUnit;

class AUAudioUnitFactory {
public:
    virtual ~AUAudioUnitFactory();

    AUAudioUnitFactory(const AUAudioUnitFactory&) = delete;
    AUAudioUnitFactory& operator=(const AUAudioUnitFactory&) = delete;

    // Creates the audio unit for the given component. Returns the unit, or null
    // with outError filled (when it is not null) to refuse.
    //
    // Thread: called by the platform on its loading thread, never on the main
    // thread, so an implementation may run its body synchronously on the main
    // queue. It must not wait for anything the loading thread itself would have
    // to deliver.
    virtual std::shared_ptr<AUAudioUnit> createAudioUnit(const AudioComponentDescription& componentDescription,
                                                         foundation::NSError* outError) = 0;

protected:
    AUAudioUnitFactory() = default;
};

}  // namespace audiounit
