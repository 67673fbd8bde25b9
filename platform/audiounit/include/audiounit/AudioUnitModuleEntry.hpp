#pragma once
// The one entry an audio-unit module exports, and the macro that defines it.
//
// A module is a shared object inside a bundle folder. It is built with hidden
// visibility and exports a single C symbol, DunmarrowAudioUnitModuleEntry. The
// host looks that symbol up, calls it with the module ABI version it speaks and
// receives a descriptor of the module's principal class. Everything after that
// crosses the boundary as platform types (AUAudioUnitFactory, AUAudioUnit,
// ...), which host and module share through the platform's shared libraries;
// the ABI version therefore also stands for the layout of those types and is
// raised whenever they change incompatibly.
//
// A module defines its entry with one line in one of its source files:
//
//     DUNMARROW_AUDIO_UNIT_MODULE(AudioUnitViewController)
//
// where the class derives from audiounit::AUAudioUnitFactory and is default
// constructible. The class name given there must equal the bundle manifest's
// "PrincipalClass". In CMake, dunmarrow_audio_unit_bundle (cmake/Dunmarrow.cmake)
// builds such a module into its bundle folder.
//
// Because modules are built with hidden visibility, each module has its own
// copy of whatever an inline function of a header holds. State that host and
// modules must share (singletons, registries) therefore lives in the platform
// libraries' own source files, never in inline functions of headers.

#include <cstdint>
#include <memory>

#include "audiounit/AUAudioUnitFactory.hpp"

namespace audiounit {

// Raised whenever the descriptor or the platform types modules use change in a
// way that a module built against the old headers cannot follow.
inline constexpr std::uint32_t kAudioUnitModuleABIVersion = 1;

// The name of the entry symbol.
inline constexpr const char* kAudioUnitModuleEntryName = "DunmarrowAudioUnitModuleEntry";

// What a module tells the host about itself. `abiVersion` stays the first
// member in every version so that any host can read it.
struct AudioUnitModuleDescriptor {
    std::uint32_t abiVersion;
    // The principal class's name, as the manifest names it.
    const char* principalClassName;
    // Creates the principal object. Thread: the main thread. May throw; the
    // host turns an exception into an instantiation error.
    std::shared_ptr<AUAudioUnitFactory> (*createPrincipalObject)();
};

// The entry's type. Returns the module's descriptor, or null when the module
// cannot serve a host speaking `hostABIVersion`. Thread: the loading thread.
using AudioUnitModuleEntryFunction = const AudioUnitModuleDescriptor* (*)(std::uint32_t hostABIVersion) noexcept;

}  // namespace audiounit

// Marks the module's entry as the one symbol the module exports.
#define DUNMARROW_AUDIO_UNIT_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

// Defines the module's entry for the principal class `PrincipalClass`.
#define DUNMARROW_AUDIO_UNIT_MODULE(PrincipalClass)                                                      \
    DUNMARROW_AUDIO_UNIT_MODULE_EXPORT const ::audiounit::AudioUnitModuleDescriptor*                     \
    DunmarrowAudioUnitModuleEntry(std::uint32_t hostABIVersion) noexcept {                               \
        static const ::audiounit::AudioUnitModuleDescriptor descriptor{                                  \
            ::audiounit::kAudioUnitModuleABIVersion, #PrincipalClass,                                    \
            []() -> std::shared_ptr<::audiounit::AUAudioUnitFactory> {                                   \
                return std::make_shared<PrincipalClass>();                                               \
            }};                                                                                          \
        return hostABIVersion == ::audiounit::kAudioUnitModuleABIVersion ? &descriptor : nullptr;        \
    }
