#include "audiounit/AVAudioUnit.hpp"

#include "ModuleFileCheck.hpp"
#include "audiounit/AUAudioUnitProxy.hpp"

#include <dlfcn.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace audiounit {

namespace fs = std::filesystem;
using foundation::NSError;

namespace {

NSError makeError(OSStatus status, std::string description) {
    return foundation::makeOSStatusError(status, std::move(description));
}

bool isSet(const NSError& error) { return !error.domain.empty() || error.code != 0 || !error.description.empty(); }

std::string inQuotes(const std::string& text) { return "\"" + text + "\""; }

// The platform's loading thread: runs instantiation steps one after another,
// off the main thread, so that factories may wait for the main queue.
class LoadingQueue {
public:
    ~LoadingQueue() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

    void async(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
            if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        }
        wake_.notify_one();
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        while (true) {
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;  // jobs still queued at exit are dropped
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

LoadingQueue& loadingQueue() {
    static LoadingQueue queue;
    return queue;
}

std::mutex executorMutex;
AVAudioUnit::MainThreadExecutor mainThreadExecutor;

void runOnMainThread(std::function<void()> job) {
    AVAudioUnit::MainThreadExecutor executor;
    {
        std::lock_guard lock(executorMutex);
        executor = mainThreadExecutor;
    }
    if (executor)
        executor(std::move(job));
    else
        job();
}

std::mutex modulesMutex;
std::map<fs::path, std::shared_ptr<const AudioUnitModule>>& loadedModules() {
    static std::map<fs::path, std::shared_ptr<const AudioUnitModule>> modules;
    return modules;
}

// One instantiation on its way through the threads.
struct Instantiation {
    AVAudioUnitComponentPtr component;
    AudioComponentInstantiationOptions options;
    AVAudioUnit::CompletionHandler completion;
    std::shared_ptr<const AudioUnitModule> module;
    std::shared_ptr<AUAudioUnitFactory> principalObject;
};
using InstantiationPtr = std::shared_ptr<Instantiation>;

// Hands the outcome to the main thread. A principal object left over from a
// failed instantiation is released there too, since it may be a UI object.
void complete(const InstantiationPtr& job, std::shared_ptr<AVAudioUnit> unit, std::optional<NSError> error) {
    runOnMainThread([job, unit = std::move(unit), error = std::move(error),
                     leftover = std::move(job->principalObject)]() mutable {
        if (job->completion) job->completion(std::move(unit), std::move(error));
        leftover.reset();
    });
}

// Loading thread: the principal object exists; ask it for the unit.
void callFactory(const InstantiationPtr& job) {
    const AVAudioUnitComponent& component = *job->component;
    NSError error;
    std::shared_ptr<AUAudioUnit> unit;
    try {
        unit = job->principalObject->createAudioUnit(component.audioComponentDescription, &error);
    } catch (const std::exception& failure) {
        complete(job, nullptr,
                 makeError(kAudioUnitErr_FailedInitialization,
                           "The factory of " + inQuotes(component.name) + " failed: " + failure.what()));
        return;
    } catch (...) {
        complete(job, nullptr,
                 makeError(kAudioUnitErr_FailedInitialization,
                           "The factory of " + inQuotes(component.name) + " failed with an unknown exception"));
        return;
    }
    if (!unit) {
        if (!isSet(error))
            error = makeError(kAudioUnitErr_FailedInitialization,
                              "The factory of " + inQuotes(component.name) + " returned no audio unit");
        complete(job, nullptr, std::move(error));
        return;
    }
    auto node = std::make_shared<AVAudioUnit>(job->component, job->options, job->module,
                                              std::move(job->principalObject), std::move(unit));
    complete(job, std::move(node), std::nullopt);
}

// Main thread: create the principal object, then go back to the loading thread.
void createPrincipalObject(const InstantiationPtr& job) {
    const std::string& className = job->component->principalClassName;
    try {
        job->principalObject = job->module->descriptor().createPrincipalObject();
    } catch (const std::exception& failure) {
        complete(job, nullptr,
                 makeError(kAudioUnitErr_FailedInitialization,
                           "Creating the principal class " + inQuotes(className) + " failed: " + failure.what()));
        return;
    } catch (...) {
        complete(job, nullptr,
                 makeError(kAudioUnitErr_FailedInitialization,
                           "Creating the principal class " + inQuotes(className) + " failed with an unknown exception"));
        return;
    }
    if (!job->principalObject) {
        complete(job, nullptr,
                 makeError(kAudioUnitErr_FailedInitialization,
                           "The module " + job->component->modulePath.string() + " created no principal object"));
        return;
    }
    loadingQueue().async([job] { callFactory(job); });
}

// Loading thread: load the module and check that it serves the component.
void loadModule(const InstantiationPtr& job) {
    NSError error;
    job->module = AudioUnitModule::load(job->component->modulePath, &error);
    if (!job->module) {
        complete(job, nullptr, std::move(error));
        return;
    }
    const std::string provided = job->module->principalClassName();
    if (provided != job->component->principalClassName) {
        complete(job, nullptr,
                 makeError(kAudioUnitErr_FailedInitialization,
                           "The module " + job->component->modulePath.string() + " provides the principal class " +
                               inQuotes(provided) + ", but its bundle names " +
                               inQuotes(job->component->principalClassName)));
        return;
    }
    runOnMainThread([job] { createPrincipalObject(job); });
}

// Loading thread: start the unit's service process and wait for its proxy.
void launchService(const InstantiationPtr& job) {
    NSError error;
    auto proxy = AUAudioUnitProxy::launch(job->component, job->options, &error);
    if (!proxy) {
        complete(job, nullptr, std::move(error));
        return;
    }
    auto node = std::make_shared<AVAudioUnit>(job->component, job->options, nullptr, nullptr, std::move(proxy));
    complete(job, std::move(node), std::nullopt);
}

}  // namespace

AudioUnitModule::AudioUnitModule(fs::path path, void* handle, const AudioUnitModuleDescriptor* descriptor)
    : path_(std::move(path)), handle_(handle), descriptor_(descriptor) {}

std::shared_ptr<const AudioUnitModule> AudioUnitModule::load(const fs::path& path, NSError* outError) {
    const auto fail = [outError](OSStatus status, std::string description) {
        if (outError) *outError = makeError(status, std::move(description));
        return nullptr;
    };

    std::error_code fileError;
    if (fs::status(path, fileError).type() == fs::file_type::not_found)
        return fail(kAudioUnitErr_InvalidFilePath, "The module file " + path.string() + " does not exist");
    // The loader ends the process over a file it cannot map (one cut short);
    // such a file, or anything but a module for this machine, is refused here.
    if (const auto problem = moduleFileProblem(path))
        return fail(kAudioUnitErr_InvalidFilePath, "The module " + path.string() + " cannot be loaded: it " + *problem);
    const fs::path key = fs::weakly_canonical(path, fileError);

    std::lock_guard lock(modulesMutex);
    auto& modules = loadedModules();
    if (const auto loaded = modules.find(key); loaded != modules.end()) return loaded->second;

    // Modules are never closed (see the header), so a handle that fails the
    // checks below stays open too; it costs nothing more than its mapping.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        return fail(kAudioUnitErr_InvalidFilePath,
                    "The module " + path.string() + " cannot be loaded: " + (reason ? reason : "unknown reason"));
    }
    dlerror();
    void* symbol = dlsym(handle, kAudioUnitModuleEntryName);
    if (!symbol)
        return fail(kAudioUnitErr_MissingKey,
                    "The module " + path.string() + " does not export " + kAudioUnitModuleEntryName);

    const auto entry = reinterpret_cast<AudioUnitModuleEntryFunction>(symbol);
    const AudioUnitModuleDescriptor* descriptor = entry(kAudioUnitModuleABIVersion);
    if (!descriptor)
        return fail(kAudioUnitErr_FailedInitialization, "The module " + path.string() +
                                                            " does not support module ABI version " +
                                                            std::to_string(kAudioUnitModuleABIVersion));
    if (descriptor->abiVersion != kAudioUnitModuleABIVersion)
        return fail(kAudioUnitErr_FailedInitialization,
                    "The module " + path.string() + " was built for module ABI version " +
                        std::to_string(descriptor->abiVersion) + ", but this host uses version " +
                        std::to_string(kAudioUnitModuleABIVersion));
    if (!descriptor->principalClassName || !descriptor->createPrincipalObject)
        return fail(kAudioUnitErr_FailedInitialization,
                    "The module " + path.string() + " describes no principal class");

    auto module = std::make_shared<const AudioUnitModule>(key, handle, descriptor);
    modules.emplace(key, module);
    return module;
}

AVAudioUnit::AVAudioUnit(AVAudioUnitComponentPtr component, AudioComponentInstantiationOptions options,
                         std::shared_ptr<const AudioUnitModule> module,
                         std::shared_ptr<AUAudioUnitFactory> principalObject, std::shared_ptr<AUAudioUnit> auAudioUnit)
    : component_(std::move(component)),
      options_(options),
      module_(std::move(module)),
      principalObject_(std::move(principalObject)),
      auAudioUnit_(std::move(auAudioUnit)) {}

void AVAudioUnit::setMainThreadExecutor(MainThreadExecutor executor) {
    std::lock_guard lock(executorMutex);
    mainThreadExecutor = std::move(executor);
}

void AVAudioUnit::instantiate(const AudioComponentDescription& description,
                              AudioComponentInstantiationOptions options, CompletionHandler completion) {
    loadingQueue().async([description, options, completion = std::move(completion)]() mutable {
        AVAudioUnitComponentPtr component = AudioComponentRegistry::shared().findComponent(description);
        if (!component) {
            auto job = std::make_shared<Instantiation>();
            job->completion = std::move(completion);
            complete(job, nullptr,
                     makeError(kAudioUnitErr_ExtensionNotFound,
                               "No installed audio unit matches " + describeAudioComponent(description)));
            return;
        }
        instantiate(std::move(component), options, std::move(completion));
    });
}

void AVAudioUnit::instantiate(AVAudioUnitComponentPtr component, AudioComponentInstantiationOptions options,
                              CompletionHandler completion) {
    auto job = std::make_shared<Instantiation>();
    job->options = options;
    job->completion = std::move(completion);
    if (!component) {
        complete(job, nullptr, makeError(kAudioUnitErr_ExtensionNotFound, "No component to instantiate"));
        return;
    }
    job->component = std::move(component);
    const bool outOfProcess = (options & kAudioComponentInstantiation_LoadOutOfProcess) != 0 &&
                              (options & kAudioComponentInstantiation_LoadInProcess) == 0;
    if (outOfProcess) {
        loadingQueue().async([job] { launchService(job); });
        return;
    }
    loadingQueue().async([job] { loadModule(job); });
}

}  // namespace audiounit
