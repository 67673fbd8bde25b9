// A module for the registry tests. One source, built once per kind of module:
// the kind (a compile definition) decides how the module and its factory
// behave.

#include <stdexcept>

#include "TestPrincipal.hpp"
#include "audiounit/AudioUnitModuleEntry.hpp"

using namespace audiounit;

namespace {

// Stands in for an audio unit: only ever handled through the pointer.
struct PlaceholderUnit {
    int marker = 7;
};

class RegistryTestPrincipal final : public TestPrincipal {
public:
    std::shared_ptr<AUAudioUnit> createAudioUnit(const AudioComponentDescription& componentDescription,
                                                 foundation::NSError* outError) override {
        factoryCalledOn = std::this_thread::get_id();
        ++factoryCalls;
        factoryDescription = componentDescription;
#if defined(REGISTRY_TEST_MODULE_FactoryError)
        if (outError) *outError = foundation::NSError{"RegistryTestDomain", 42, "The test factory refuses"};
        return nullptr;
#elif defined(REGISTRY_TEST_MODULE_Throws)
        (void)outError;
        throw std::runtime_error("test factory exploded");
#else
        (void)outError;
        auto placeholder = std::make_shared<PlaceholderUnit>();
        audioUnit = std::shared_ptr<AUAudioUnit>(placeholder, reinterpret_cast<AUAudioUnit*>(placeholder.get()));
        return audioUnit;
#endif
    }
};

}  // namespace

#if defined(REGISTRY_TEST_MODULE_WrongABI)
// An entry from a future version of the module ABI.
DUNMARROW_AUDIO_UNIT_MODULE_EXPORT const AudioUnitModuleDescriptor* DunmarrowAudioUnitModuleEntry(
    std::uint32_t) noexcept {
    static const AudioUnitModuleDescriptor descriptor{99, "RegistryTestPrincipal", nullptr};
    return &descriptor;
}
#elif defined(REGISTRY_TEST_MODULE_Refuses)
// An entry that serves no host of this version.
DUNMARROW_AUDIO_UNIT_MODULE_EXPORT const AudioUnitModuleDescriptor* DunmarrowAudioUnitModuleEntry(
    std::uint32_t) noexcept {
    return nullptr;
}
#elif defined(REGISTRY_TEST_MODULE_NoEntry)
// No entry at all; something for the module to hold.
int registryTestModuleWithoutEntry() { return RegistryTestPrincipal().factoryCalls; }
#else
DUNMARROW_AUDIO_UNIT_MODULE(RegistryTestPrincipal)
#endif
