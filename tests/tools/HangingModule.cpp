// An effect module whose loading never finishes, for the render tool's time
// limit: one copy hangs in a constructor the dynamic loader runs (on the
// loading thread), the other while its principal object is made (main thread).

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
