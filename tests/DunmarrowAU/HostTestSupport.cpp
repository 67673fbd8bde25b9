#include "HostTestSupport.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "audiounit/AVAudioUnit.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/RunLoop.hpp"

namespace hosttest {

namespace fs = std::filesystem;

namespace {

class HostTestEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        foundation::RunLoop::main().runOnce();  // this thread is the main thread
        bundle = std::make_unique<TempDir>();
        fs::create_directories(bundle->path() / "Resources");
        fs::copy_file(HOST_TEST_SYNTH, bundle->path() / "Resources" / "Synth.aif");
        std::ofstream(bundle->path() / "Info.json") << R"({"CFBundleName": "HostTests"})";
        ::setenv("DUNMARROW_MAIN_BUNDLE", bundle->path().c_str(), 1);
        ::setenv("DUNMARROW_AUDIO_UNIT_PATH", HOST_TEST_BUNDLES, 1);
        audiounit::AVAudioUnit::setMainThreadExecutor(
            [](std::function<void()> job) { foundation::DispatchQueue::main().async(std::move(job)); });
    }
    void TearDown() override { bundle.reset(); }

    static inline std::unique_ptr<TempDir> bundle;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new HostTestEnvironment);

}  // namespace

const fs::path& testMainBundle() { return HostTestEnvironment::bundle->path(); }

void writeBrokenEffectBundle(const fs::path& folder) {
    fs::copy(std::string(HOST_TEST_BUNDLES) + "/HostTestEffect.auext", folder / "HostTestEffect.auext",
             fs::copy_options::recursive);
    fs::remove(folder / "HostTestEffect.auext" / "HostTestEffect.so");
    std::ofstream(folder / "HostTestEffect.auext" / "HostTestEffect.so") << "not a library";
}

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return foundation::RunLoop::main().runUntil(done, timeout);
}

void pumpFor(std::chrono::milliseconds duration) {
    foundation::RunLoop::main().runUntil(foundation::Clock::now() + duration);
}

SimplePlayEngine::Configuration engineConfiguration() {
    SimplePlayEngine::Configuration configuration;
    configuration.engineOptions.useJack = false;
    configuration.midiManager = MIDIManager::make();
    // The tests look into the test units' principal objects, so in this process.
    configuration.instantiationOptions = audiounit::kAudioComponentInstantiation_LoadInProcess;
    return configuration;
}

NSViewControllerPtr instantiate(SimplePlayEngine& engine, const std::string& type, const std::string& subType,
                                const std::string& manufacturer) {
    bool done = false;
    NSViewControllerPtr result;
    engine.instantiateUnit(type, subType, manufacturer, [&](NSViewControllerPtr controller) {
        result = std::move(controller);
        done = true;
    });
    EXPECT_TRUE(pumpUntil([&] { return done; })) << "instantiation did not complete";
    return result;
}

std::shared_ptr<HostTestPrincipal> principalOf(const SimplePlayEngine& engine) {
    const auto& unit = engine.avAudioUnit.get();
    if (!unit) return nullptr;
    // The module's classes have hidden type information: cast statically, as a host does.
    return std::static_pointer_cast<HostTestPrincipal>(unit->principalObject());
}

}  // namespace hosttest
