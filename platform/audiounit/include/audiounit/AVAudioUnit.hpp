#pragma once
// Instantiating an installed audio unit: the loaded module and the unit node a
// host receives.
//
// Instantiation runs in steps on three threads:
//   1. the platform's loading thread finds the component and loads its module:
//      it checks the module file first (the dynamic loader would end the
//      process with SIGBUS over a file cut short), opens it with RTLD_NOW |
//      RTLD_LOCAL, calls its entry and checks the ABI version and the
//      principal class's name against the manifest;
//   2. the main thread creates the module's principal object;
//   3. the loading thread calls the principal object's factory (which may run
//      its body synchronously on the main queue);
//   4. the main thread receives the completion, with the unit or an error.
// "The main thread" is whatever the main-thread executor runs jobs on (see
// setMainThreadExecutor). A host must keep its main thread free to run those
// jobs while it waits: with an executor that posts to the main queue, waiting
// for the completion by blocking the main thread would never end.
//
// With kAudioComponentInstantiation_LoadOutOfProcess (and not LoadInProcess)
// the unit runs in a service process of its own (dunmarrow-auservice) and
// auAudioUnit() is an AUAudioUnitProxy; module() and principalObject() are
// null then. Otherwise the module is loaded in process. The options are kept
// and reported by instantiationOptions(). Modules stay loaded for the rest
// of the process: callbacks a module left with the platform (observers, timers,
// queued jobs) may still point into its code after its last unit is gone.
//
// Errors (domain NSOSStatusErrorDomain), with their descriptions:
//   kAudioUnitErr_ExtensionNotFound     "No installed audio unit matches type aufx,
//                                       subtype dmds, manufacturer QVRN"
//   kAudioUnitErr_InvalidFilePath       "The module file PATH does not exist";
//                                       "The module PATH cannot be loaded: it " + why the
//                                       file check refused it (not a regular file, not
//                                       an ELF shared object of this machine, truncated:
//                                       "is truncated: segment N ends at byte E, but the
//                                       file has S bytes"), or + the loader's reason
//   kAudioUnitErr_MissingKey            "The module PATH does not export
//                                       DunmarrowAudioUnitModuleEntry"
//   kAudioUnitErr_FailedInitialization  "The module PATH does not support module ABI
//                                       version 1"; "... was built for module ABI version
//                                       N, but this host uses version 1"; "... provides
//                                       the principal class "A", but its bundle names "B"";
//                                       "Creating the principal class "A" failed: ...";
//                                       "The factory of "NAME" failed: ..." or "... returned
//                                       no audio unit"
//   the factory's own error, as the factory gave it.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "audiounit/AUAudioUnitFactory.hpp"
#include "audiounit/AudioComponentDescription.hpp"
#include "audiounit/AudioComponentRegistry.hpp"
#include "audiounit/AudioUnitModuleEntry.hpp"
#include "foundation/NSError.hpp"

namespace audiounit {

// A module loaded into this process. Loading the same file twice gives the
// same object.
class AudioUnitModule {
public:
    // Loads the module at `path` (or finds it loaded already) and checks its
    // entry. Returns null with outError filled on failure: a missing or
    // unloadable file (kAudioUnitErr_InvalidFilePath), a missing entry symbol
    // (kAudioUnitErr_MissingKey), or an ABI the module does not speak
    // (kAudioUnitErr_FailedInitialization). Thread: any.
    static std::shared_ptr<const AudioUnitModule> load(const std::filesystem::path& path,
                                                       foundation::NSError* outError);

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] const AudioUnitModuleDescriptor& descriptor() const { return *descriptor_; }
    [[nodiscard]] std::string principalClassName() const { return descriptor_->principalClassName; }

    // Opaque; only the loading code makes these.
    AudioUnitModule(std::filesystem::path path, void* handle, const AudioUnitModuleDescriptor* descriptor);
    AudioUnitModule(const AudioUnitModule&) = delete;
    AudioUnitModule& operator=(const AudioUnitModule&) = delete;

private:
    std::filesystem::path path_;
    void* handle_;  // never closed, see above
    const AudioUnitModuleDescriptor* descriptor_;
};

class AVAudioUnit {
public:
    // Receives the unit, or null and the error. Thread: the main thread.
    using CompletionHandler =
        std::function<void(std::shared_ptr<AVAudioUnit> audioUnit, std::optional<foundation::NSError> error)>;
    // Runs a job on the main thread, later or at once.
    using MainThreadExecutor = std::function<void(std::function<void()> job)>;

    // Finds the first installed component matching `description` in the
    // shared registry and instantiates it. Returns at once; `completion` runs
    // later on the main thread. Thread: any (usually the main thread).
    static void instantiate(const AudioComponentDescription& description, AudioComponentInstantiationOptions options,
                            CompletionHandler completion);
    // The same for a component already found (in any registry).
    static void instantiate(AVAudioUnitComponentPtr component, AudioComponentInstantiationOptions options,
                            CompletionHandler completion);

    // Where main-thread jobs of instantiation run. The default (and an empty
    // executor) runs each job at once on the thread that reaches it, which is
    // then the loading thread. The application points this at its main queue
    // at start-up, before the first instantiation. Thread: any.
    static void setMainThreadExecutor(MainThreadExecutor executor);

    // The audio unit the factory created.
    [[nodiscard]] const std::shared_ptr<AUAudioUnit>& auAudioUnit() const { return auAudioUnit_; }
    // The module's principal object; a host casts it to the view-controller
    // type to show the unit's own editor.
    [[nodiscard]] const std::shared_ptr<AUAudioUnitFactory>& principalObject() const { return principalObject_; }
    [[nodiscard]] const AVAudioUnitComponentPtr& component() const { return component_; }
    [[nodiscard]] const AudioComponentDescription& audioComponentDescription() const {
        return component_->audioComponentDescription;
    }
    [[nodiscard]] const std::string& name() const { return component_->name; }
    [[nodiscard]] const std::string& manufacturerName() const { return component_->manufacturerName; }
    [[nodiscard]] std::uint32_t version() const { return component_->version; }
    [[nodiscard]] AudioComponentInstantiationOptions instantiationOptions() const { return options_; }
    [[nodiscard]] const std::shared_ptr<const AudioUnitModule>& module() const { return module_; }

    // Opaque; only instantiation makes these.
    AVAudioUnit(AVAudioUnitComponentPtr component, AudioComponentInstantiationOptions options,
                std::shared_ptr<const AudioUnitModule> module, std::shared_ptr<AUAudioUnitFactory> principalObject,
                std::shared_ptr<AUAudioUnit> auAudioUnit);

private:
    AVAudioUnitComponentPtr component_;
    AudioComponentInstantiationOptions options_;
    std::shared_ptr<const AudioUnitModule> module_;
    std::shared_ptr<AUAudioUnitFactory> principalObject_;
    std::shared_ptr<AUAudioUnit> auAudioUnit_;
};

}  // namespace audiounit
