#pragma once
// The notification the platform posts on the default notification centre when
// an audio-unit instance has died (its process ended or it was torn down). Its
// object is the AUAudioUnit concerned, posted as std::shared_ptr<AUAudioUnit>.
// Posted on whatever thread noticed the death.

namespace audiounit {

inline constexpr const char* kAudioComponentInstanceInvalidationNotification =
    "AudioComponentInstanceInvalidationNotification";

}  // namespace audiounit
