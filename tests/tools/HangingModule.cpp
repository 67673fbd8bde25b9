// An effect module whose loading never finishes, for the render tool's time
// limit. Built twice: one copy hangs while the dynamic loader runs its
// constructors (on the platform's loading thread), the other while its
// principal object is made (on the main thread).

#include <unistd.h>

#include "audiounit/AudioUnitModuleEntry.hpp"

namespace {

[[noreturn]] void hangForever() {
    for (;;) ::pause();
}

#if defined(HANGS_IN_Constructor)
[[gnu::constructor]] void hangWhileLoading() { hangForever(); }
#endif

class HangingPrincipal final : public audiounit::AUAudioUnitFactory {
public:
#if defined(HANGS_IN_PrincipalObject)
    HangingPrincipal() { hangForever(); }
#endif
    std::shared_ptr<audiounit::AUAudioUnit> createAudioUnit(const audiounit::AudioComponentDescription&,
                                                            foundation::NSError*) override {
        return nullptr;
    }
};

}  // namespace

DUNMARROW_AUDIO_UNIT_MODULE(HangingPrincipal)
