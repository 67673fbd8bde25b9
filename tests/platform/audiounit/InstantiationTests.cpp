// Instantiation through the registry: loading real modules built for the
// tests, the threads each step runs on, and every way loading can fail.

#include <elf.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstddef>
#include <fstream>
#include <future>

#include "FileContents.hpp"
#include "MainQueueInstantiation.hpp"
#include "TempDir.hpp"
#include "TestPrincipal.hpp"

using namespace audiounit;
namespace fs = std::filesystem;
using foundation::NSError;
using testsupport::instantiateOnMainQueue;

namespace {

const fs::path testBundles = REGISTRY_TEST_BUNDLES;

fs::path moduleOf(const std::string& kind) {
    return testBundles / ("RegistryTest" + kind + ".auext") / ("RegistryTest" + kind + ".so");
}

AudioComponentDescription testDescription(const char (&subtype)[5]) {
    return {kAudioUnitType_Effect, fourCharCode(subtype), fourCharCode("DmTs"), 0, 0};
}

}  // namespace

TEST(AVAudioUnit, InstantiatesThroughTheSharedRegistryOnTheRightThreadsOrFailsOnceWithItsError) {
    ::setenv(kAudioUnitPathEnvironmentVariable, testBundles.c_str(), 1);
    AudioComponentRegistry::shared().rescan();

    const auto outcome = instantiateOnMainQueue(testDescription("good"), kAudioComponentInstantiation_LoadInProcess);
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
    EXPECT_EQ(unit.auAudioUnit(), principal->audioUnit);

    // Loaded in process as asked; a second instantiation has its own principal object, same module.
    EXPECT_EQ(unit.instantiationOptions(), kAudioComponentInstantiation_LoadInProcess);
    const auto second = instantiateOnMainQueue(unit.component());
    ASSERT_NE(second.unit, nullptr);
    ASSERT_NE(unit.module(), nullptr);
    EXPECT_EQ(second.unit->module(), unit.module());
    EXPECT_NE(second.unit->principalObject(), unit.principalObject());
    EXPECT_NE(second.unit->auAudioUnit(), unit.auAudioUnit());
    EXPECT_EQ(second.unit->instantiationOptions(), kAudioComponentInstantiation_None);

    // Every way instantiation fails, each once on the main thread with its error.
    AudioComponentRegistry& registry = AudioComponentRegistry::shared();
    const auto failure = &foundation::makeOSStatusError;
    // A module of the test bundles, and how a failure names it.
    const auto component = [&](const char(&subtype)[5]) { return registry.findComponent(testDescription(subtype)); };
    const auto theModule = [&](const char(&subtype)[5]) { return "The module " + component(subtype)->modulePath.string(); };
    struct Case {
        AVAudioUnitComponentPtr component;  // none: the description of no installed unit
        NSError error;
    };
    const std::vector<Case> cases = {
        {nullptr, failure(kAudioUnitErr_ExtensionNotFound,
                          "No installed audio unit matches type aufx, subtype none, manufacturer DmTs")},
        {component("nent"),
         failure(kAudioUnitErr_MissingKey, theModule("nent") + " does not export DunmarrowAudioUnitModuleEntry")},
        {component("abi9"), failure(kAudioUnitErr_FailedInitialization,
                                    theModule("abi9") + " was built for module ABI version 99, but this host uses version 1")},
        {component("rfus"),
         failure(kAudioUnitErr_FailedInitialization, theModule("rfus") + " does not support module ABI version 1")},
        {component("clas"), failure(kAudioUnitErr_FailedInitialization,
                                    theModule("clas") + " provides the principal class \"TestModulePrincipal\", but "
                                                        "its bundle names \"SomeOtherClass\"")},
        // A factory's own error reaches the host unchanged.
        {component("ferr"), NSError{"TestModuleDomain", 42, "The test factory refuses"}},
        {component("thrw"), failure(kAudioUnitErr_FailedInitialization,
                                    "The factory of \"Dunmarrow Tests: RegistryTestThrows\" failed: test factory exploded")},
    };
    EXPECT_EQ(instantiateOnMainQueue(AVAudioUnitComponentPtr{}).error,
              failure(kAudioUnitErr_ExtensionNotFound, "No component to instantiate"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error.description);
        const auto failed = c.component ? instantiateOnMainQueue(c.component) : instantiateOnMainQueue(testDescription("none"));
        EXPECT_EQ(failed.unit, nullptr);
        EXPECT_EQ(failed.error, c.error);
        EXPECT_EQ(failed.completedOn, mainThread);
        EXPECT_EQ(failed.completions, 1);
    }

    // Without an executor, every step runs on the loading thread.
    std::promise<std::pair<std::shared_ptr<AVAudioUnit>, std::thread::id>> done;
    AVAudioUnit::instantiate(component("good"), kAudioComponentInstantiation_None,
                             [&done](std::shared_ptr<AVAudioUnit> made, std::optional<NSError> error) {
                                 EXPECT_FALSE(error.has_value());
                                 done.set_value({std::move(made), std::this_thread::get_id()});
                             });
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto [loaded, completedOn] = future.get();
    ASSERT_NE(loaded, nullptr);
    auto* loadedPrincipal = dynamic_cast<TestPrincipal*>(loaded->principalObject().get());
    ASSERT_NE(loadedPrincipal, nullptr);
    EXPECT_NE(completedOn, mainThread);
    EXPECT_EQ(loadedPrincipal->constructedOn, completedOn);
    EXPECT_EQ(loadedPrincipal->factoryCalledOn, completedOn);
}

TEST(AudioUnitModule, FilesTheLoaderWouldTripOverAreRefusedBeforeItSeesThemAndAFileLoadsOnce) {
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
        {"fifo", std::nullopt, "it is not a regular file", ""},
        {"cut-40", good.substr(0, 40), "it is truncated: the ELF header ends at byte 64, but the file has 40 bytes",
         ""},
        {"cut-4k", good.substr(0, 4096), "it is truncated: segment ", ", but the file has 4096 bytes"},
        {"32-bit", patched(EI_CLASS, "\x01"), "it is a 32-bit ELF file, but this program loads 64-bit modules", ""},
        {"big-endian", patched(EI_DATA, "\x02"), "it is an ELF file of the other byte order", ""},
        {"executable", patched(offsetof(Elf64_Ehdr, e_type), std::string("\x02\x00", 2)),
         "it is an ELF file but not a shared object (type 2)", ""},
        {"other-machine", patched(offsetof(Elf64_Ehdr, e_machine), "\x34\x12"),
         "it is built for another machine (ELF machine 4660)", ""},
        {"headers-beyond-end", patched(offsetof(Elf64_Ehdr, e_phoff), "\xff\xff\xff\x7f"),
         "it is truncated: the program header table ends at byte ", ""},
    };
    testsupport::TempDir scratch;
    for (const Broken& entry : broken) {
        SCOPED_TRACE(entry.name);
        const fs::path path = scratch.path() / (entry.name + ".so");
        if (entry.contents)
            std::ofstream(path, std::ios::binary) << *entry.contents;
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
    // The same file by another path is the same module, loaded once.
    NSError error;
    const auto first = AudioUnitModule::load(moduleOf("Good"), &error);
    const auto second = AudioUnitModule::load(testBundles / "RegistryTestGood.auext" / ".." /
                                                  "RegistryTestGood.auext" / "RegistryTestGood.so",
                                              &error);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    // As when a bundle's module is removed after the scan.
    EXPECT_EQ(AudioUnitModule::load(testBundles / "missing.so", &error), nullptr);
    EXPECT_EQ(error, foundation::makeOSStatusError(kAudioUnitErr_InvalidFilePath,
                                                   "The module file " + (testBundles / "missing.so").string() +
                                                       " does not exist"));
}
