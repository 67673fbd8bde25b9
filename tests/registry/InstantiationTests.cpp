// Instantiation through the registry: loading real modules built for the
// tests, the threads each step runs on, and every way loading can fail.

#include <elf.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <future>
#include <mutex>

#include "FileContents.hpp"
#include "RegistryTestSupport.hpp"
#include "TestPrincipal.hpp"
#include "audiounit/AVAudioUnit.hpp"

using namespace audiounit;
using namespace registrytest;
using foundation::NSError;

namespace {

const fs::path testBundles = REGISTRY_TEST_BUNDLES;

fs::path moduleOf(const std::string& kind) {
    return testBundles / ("RegistryTest" + kind + ".auext") / ("RegistryTest" + kind + ".so");
}

AudioComponentDescription testDescription(const char (&subtype)[5]) {
    return {kAudioUnitType_Effect, fourCharCode(subtype), fourCharCode("DmTs"), 0, 0};
}

// Stands in for the main run loop: jobs are queued and run by the test's
// thread while it waits.
class MainQueue {
public:
    void post(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        wake_.notify_one();
    }
    // Runs jobs until `done` holds; false after ten seconds without it.
    bool runUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::unique_lock lock(mutex_);
        while (!done()) {
            if (!wake_.wait_until(lock, deadline, [this] { return !jobs_.empty(); })) return false;
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
};

struct Outcome {
    std::shared_ptr<AVAudioUnit> unit;
    std::optional<NSError> error;
    std::thread::id completedOn;
    int completions = 0;
};

// Instantiates with the main-thread executor pointed at a MainQueue that this
// (the test's) thread runs, and returns what the completion received.
template <typename Target>
Outcome instantiateOnMainQueue(Target target, AudioComponentInstantiationOptions options) {
    auto queue = std::make_shared<MainQueue>();
    AVAudioUnit::setMainThreadExecutor([queue](std::function<void()> job) { queue->post(std::move(job)); });
    auto outcome = std::make_shared<Outcome>();
    AVAudioUnit::instantiate(std::move(target), options,
                             [outcome](std::shared_ptr<AVAudioUnit> unit, std::optional<NSError> error) {
                                 outcome->unit = std::move(unit);
                                 outcome->error = std::move(error);
                                 outcome->completedOn = std::this_thread::get_id();
                                 ++outcome->completions;
                             });
    EXPECT_TRUE(queue->runUntil([&] { return outcome->completions > 0; })) << "no completion";
    AVAudioUnit::setMainThreadExecutor(nullptr);
    return *outcome;
}

// Every error case from one registry of test bundles.
class InstantiationFailures : public ::testing::Test {
protected:
    AVAudioUnitComponentPtr component(const char (&subtype)[5]) {
        auto found = registry_.findComponent(testDescription(subtype));
        EXPECT_NE(found, nullptr) << subtype;
        return found;
    }
    void expectError(const Outcome& outcome, std::int64_t code, const std::string& description) {
        EXPECT_EQ(outcome.unit, nullptr);
        ASSERT_TRUE(outcome.error.has_value());
        EXPECT_EQ(*outcome.error, foundation::makeOSStatusError(static_cast<std::int32_t>(code), description));
        EXPECT_EQ(outcome.completedOn, std::this_thread::get_id());
        EXPECT_EQ(outcome.completions, 1);
    }

    AudioComponentRegistry registry_{{testBundles}};
};

std::string exportedSymbols(const fs::path& module) {
    const std::string command = std::string(REGISTRY_TEST_NM) + " -D --defined-only --format=just-symbols '" +
                                module.string() + "'";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return "popen failed";
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    EXPECT_EQ(::pclose(pipe), 0) << command;
    return output;
}

}  // namespace

TEST(AVAudioUnit, InstantiatesThroughTheSharedRegistryOnTheRightThreads) {
    ScopedEnvironment path(kAudioUnitPathEnvironmentVariable, testBundles.string());
    AudioComponentRegistry::shared().rescan();

    const Outcome outcome =
        instantiateOnMainQueue(testDescription("good"), kAudioComponentInstantiation_LoadInProcess);
    ASSERT_FALSE(outcome.error.has_value()) << outcome.error->localizedDescription();
    ASSERT_NE(outcome.unit, nullptr);
    const AVAudioUnit& unit = *outcome.unit;
    const auto mainThread = std::this_thread::get_id();
    EXPECT_EQ(outcome.completedOn, mainThread);

    // The principal object crossed the module boundary as its own type.
    auto* principal = dynamic_cast<TestPrincipal*>(unit.principalObject().get());
    ASSERT_NE(principal, nullptr);
    EXPECT_EQ(principal->constructedOn, mainThread);
    EXPECT_NE(principal->factoryCalledOn, mainThread);
    EXPECT_EQ(principal->factoryCalls, 1);
    EXPECT_EQ(principal->factoryDescription, testDescription("good"));
    ASSERT_NE(unit.auAudioUnit(), nullptr);
    EXPECT_EQ(unit.auAudioUnit(), principal->audioUnit);

    // Loaded in process as asked, and the request is kept.
    EXPECT_EQ(unit.instantiationOptions(), kAudioComponentInstantiation_LoadInProcess);
    EXPECT_EQ(unit.audioComponentDescription(), testDescription("good"));
    EXPECT_EQ(unit.name(), "Dunmarrow Tests: RegistryTestGood");
    EXPECT_EQ(unit.manufacturerName(), "Dunmarrow Tests");
    EXPECT_EQ(unit.version(), 65794u);
    EXPECT_EQ(unit.component()->versionString(), "1.1.2");
    EXPECT_EQ(unit.component()->allTagNames, (std::vector<std::string>{"Test", "Effects"}));
    EXPECT_EQ(unit.component()->bundleIdentifier, "org.dunmarrow.tests.RegistryTestGood");
    ASSERT_NE(unit.module(), nullptr);
    EXPECT_EQ(unit.module()->path(), fs::weakly_canonical(moduleOf("Good")));
    EXPECT_EQ(unit.module()->principalClassName(), "RegistryTestPrincipal");
    EXPECT_EQ(unit.module()->descriptor().abiVersion, kAudioUnitModuleABIVersion);

    // The bundle function copied the resources next to the module.
    EXPECT_TRUE(fs::is_regular_file(unit.component()->bundlePath / "Resources" / "TestResource.txt"));
}

TEST(AVAudioUnit, EachInstantiationHasItsOwnPrincipalObjectFromTheSameModule) {
    AudioComponentRegistry registry({testBundles});
    const auto component = registry.findComponent(testDescription("good"));
    ASSERT_NE(component, nullptr);
    const Outcome first = instantiateOnMainQueue(component, kAudioComponentInstantiation_LoadInProcess);
    const Outcome second = instantiateOnMainQueue(component, kAudioComponentInstantiation_None);
    ASSERT_NE(first.unit, nullptr);
    ASSERT_NE(second.unit, nullptr);
    EXPECT_EQ(first.unit->module(), second.unit->module());
    EXPECT_NE(first.unit->principalObject(), second.unit->principalObject());
    EXPECT_NE(first.unit->auAudioUnit(), second.unit->auAudioUnit());
    EXPECT_EQ(first.unit->instantiationOptions(), kAudioComponentInstantiation_LoadInProcess);
    EXPECT_EQ(second.unit->instantiationOptions(), kAudioComponentInstantiation_None);
}

TEST(AVAudioUnit, WithoutAnExecutorEveryStepRunsOnTheLoadingThread) {
    AudioComponentRegistry registry({testBundles});
    std::promise<std::pair<std::shared_ptr<AVAudioUnit>, std::thread::id>> done;
    AVAudioUnit::instantiate(registry.findComponent(testDescription("good")), kAudioComponentInstantiation_None,
                             [&done](std::shared_ptr<AVAudioUnit> unit, std::optional<NSError> error) {
                                 EXPECT_FALSE(error.has_value());
                                 done.set_value({std::move(unit), std::this_thread::get_id()});
                             });
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto [unit, completedOn] = future.get();
    ASSERT_NE(unit, nullptr);
    auto* principal = dynamic_cast<TestPrincipal*>(unit->principalObject().get());
    ASSERT_NE(principal, nullptr);
    EXPECT_NE(completedOn, std::this_thread::get_id());
    EXPECT_EQ(principal->constructedOn, completedOn);
    EXPECT_EQ(principal->factoryCalledOn, completedOn);
}

TEST_F(InstantiationFailures, NothingMatchingTheDescription) {
    ScopedEnvironment path(kAudioUnitPathEnvironmentVariable, testBundles.string());
    AudioComponentRegistry::shared().rescan();
    expectError(instantiateOnMainQueue(testDescription("none"), kAudioComponentInstantiation_None),
                kAudioUnitErr_ExtensionNotFound,
                "No installed audio unit matches type aufx, subtype none, manufacturer DmTs");
    expectError(instantiateOnMainQueue(AVAudioUnitComponentPtr{}, kAudioComponentInstantiation_None),
                kAudioUnitErr_ExtensionNotFound, "No component to instantiate");
}

TEST_F(InstantiationFailures, ModuleWithoutTheEntrySymbol) {
    const auto found = component("nent");
    expectError(instantiateOnMainQueue(found, kAudioComponentInstantiation_None), kAudioUnitErr_MissingKey,
                "The module " + found->modulePath.string() + " does not export DunmarrowAudioUnitModuleEntry");
}

TEST_F(InstantiationFailures, ModuleOfAnotherABIVersion) {
    const auto future = component("abi9");
    expectError(instantiateOnMainQueue(future, kAudioComponentInstantiation_None),
                kAudioUnitErr_FailedInitialization,
                "The module " + future->modulePath.string() +
                    " was built for module ABI version 99, but this host uses version 1");
    const auto refusing = component("rfus");
    expectError(instantiateOnMainQueue(refusing, kAudioComponentInstantiation_None),
                kAudioUnitErr_FailedInitialization,
                "The module " + refusing->modulePath.string() + " does not support module ABI version 1");
}

TEST_F(InstantiationFailures, ModuleProvidingAnotherPrincipalClass) {
    const auto found = component("clas");
    expectError(instantiateOnMainQueue(found, kAudioComponentInstantiation_None),
                kAudioUnitErr_FailedInitialization,
                "The module " + found->modulePath.string() +
                    " provides the principal class \"RegistryTestPrincipal\", but its bundle names \"SomeOtherClass\"");
}

TEST_F(InstantiationFailures, FactoryErrorsReachTheHostUnchanged) {
    const Outcome refused = instantiateOnMainQueue(component("ferr"), kAudioComponentInstantiation_None);
    EXPECT_EQ(refused.unit, nullptr);
    EXPECT_EQ(refused.error, (NSError{"RegistryTestDomain", 42, "The test factory refuses"}));

    expectError(instantiateOnMainQueue(component("thrw"), kAudioComponentInstantiation_None),
                kAudioUnitErr_FailedInitialization,
                "The factory of \"Dunmarrow Tests: RegistryTestThrows\" failed: test factory exploded");
}

TEST_F(InstantiationFailures, ModuleFileGoneOrNotAModule) {
    ScratchFolder scratch;
    const fs::path gone = makeBundle(scratch.path(), "Gone", manifest("aufx", "gone", "DmTs", "Gone"), moduleOf("Good"));
    const fs::path junk = makeBundle(scratch.path(), "Junk", manifest("aufx", "junk", "DmTs", "Junk"));
    AudioComponentRegistry registry({scratch.path()});
    const auto goneComponent = registry.findComponent(testDescription("gone"));
    const auto junkComponent = registry.findComponent(testDescription("junk"));
    ASSERT_NE(goneComponent, nullptr);
    ASSERT_NE(junkComponent, nullptr);
    fs::remove(gone / "Module.so");

    expectError(instantiateOnMainQueue(goneComponent, kAudioComponentInstantiation_None),
                kAudioUnitErr_InvalidFilePath,
                "The module file " + (gone / "Module.so").string() + " does not exist");
    expectError(instantiateOnMainQueue(junkComponent, kAudioComponentInstantiation_None),
                kAudioUnitErr_InvalidFilePath,
                "The module " + (junk / "Module.so").string() + " cannot be loaded: it is not an ELF file");
}

TEST(AudioUnitModule, FilesTheLoaderWouldTripOverAreRefusedBeforeItSeesThem) {
    // A real module's bytes, cut short or changed where the loader looks first.
    const std::string good = testsupport::fileContents(moduleOf("Good"));
    ASSERT_GT(good.size(), 12u * 1024u);
    const auto patched = [&](std::size_t offset, const std::string& bytes) {
        return std::string(good).replace(offset, bytes.size(), bytes);
    };
    struct Broken {
        std::string name;
        std::optional<std::string> contents;  // none: a FIFO
        std::string reasonStart;
        std::string reasonEnd;
    };
    const std::vector<Broken> broken = {
        {"text", "not a library", "it is not an ELF file", ""},
        {"empty", "", "it is not an ELF file", ""},
        {"fifo", std::nullopt, "it is not a regular file", ""},
        {"cut-40", good.substr(0, 40), "it is truncated: the ELF header ends at byte 64, but the file has 40 bytes",
         ""},
        {"cut-1k", good.substr(0, 1024), "it is truncated: segment ", ", but the file has 1024 bytes"},
        {"cut-4k", good.substr(0, 4096), "it is truncated: segment ", ", but the file has 4096 bytes"},
        {"cut-12k", good.substr(0, 12288), "it is truncated: segment ", ", but the file has 12288 bytes"},
        {"32-bit", patched(EI_CLASS, "\x01"), "it is a 32-bit ELF file, but this program loads 64-bit modules", ""},
        {"big-endian", patched(EI_DATA, "\x02"), "it is an ELF file of the other byte order", ""},
        {"executable", patched(offsetof(Elf64_Ehdr, e_type), std::string("\x02\x00", 2)),
         "it is an ELF file but not a shared object (type 2)", ""},
        {"other-machine", patched(offsetof(Elf64_Ehdr, e_machine), "\x34\x12"),
         "it is built for another machine (ELF machine 4660)", ""},
        {"headers-beyond-end", patched(offsetof(Elf64_Ehdr, e_phoff), "\xff\xff\xff\x7f"),
         "it is truncated: the program header table ends at byte ", ""},
    };
    ScratchFolder scratch;
    for (const Broken& entry : broken) {
        SCOPED_TRACE(entry.name);
        const fs::path path = scratch.path() / (entry.name + ".so");
        if (entry.contents)
            writeFile(path, *entry.contents);
        else
            ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
        NSError error;
        EXPECT_EQ(AudioUnitModule::load(path, &error), nullptr);
        EXPECT_EQ(error.code, kAudioUnitErr_InvalidFilePath);
        EXPECT_THAT(error.description,
                    ::testing::AllOf(::testing::StartsWith("The module " + path.string() + " cannot be loaded: " +
                                                           entry.reasonStart),
                                     ::testing::EndsWith(entry.reasonEnd)));
    }
}

TEST(AudioUnitModule, ExportsOnlyItsEntry) {
    for (const char* kind : {"Good", "FactoryError", "Throws", "WrongABI", "Refuses", "WrongClass"}) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(exportedSymbols(moduleOf(kind)), "DunmarrowAudioUnitModuleEntry\n");
    }
    EXPECT_EQ(exportedSymbols(moduleOf("NoEntry")), "");
}

TEST(AudioUnitModule, LoadingTheSameFileTwiceGivesTheSameModule) {
    NSError error;
    const auto first = AudioUnitModule::load(moduleOf("Good"), &error);
    const auto second = AudioUnitModule::load(testBundles / "RegistryTestGood.auext" / ".." /
                                                  "RegistryTestGood.auext" / "RegistryTestGood.so",
                                              &error);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(AudioUnitModule::load(testBundles / "missing.so", &error), nullptr);
    EXPECT_EQ(error.code, kAudioUnitErr_InvalidFilePath);
}
