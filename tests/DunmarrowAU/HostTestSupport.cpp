#include "HostTestSupport.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdlib>
#include <fstream>

#include "audiounit/AVAudioPCMBuffer.hpp"
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
        bundle_ = std::make_unique<TempDir>();
        fs::create_directories(bundle_->path() / "Resources");
        fs::copy_file(HOST_TEST_SYNTH, bundle_->path() / "Resources" / "Synth.aif");
        std::ofstream(bundle_->path() / "Info.json") << R"({"CFBundleName": "HostTests"})";
        ::setenv("DUNMARROW_MAIN_BUNDLE", bundle_->path().c_str(), 1);
        ::setenv("DUNMARROW_AUDIO_UNIT_PATH", HOST_TEST_BUNDLES, 1);
        audiounit::AVAudioUnit::setMainThreadExecutor(
            [](std::function<void()> job) { foundation::DispatchQueue::main().async(std::move(job)); });
        mainBundle = bundle_->path();
    }
    void TearDown() override { bundle_.reset(); }

    static inline fs::path mainBundle;

private:
    std::unique_ptr<TempDir> bundle_;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new HostTestEnvironment);

}  // namespace

const fs::path& testMainBundle() { return HostTestEnvironment::mainBundle; }

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

SimplePlayEngine::Configuration engineConfiguration(bool offline) {
    SimplePlayEngine::Configuration configuration;
    configuration.engineOptions.useJack = false;
    configuration.midiManager = MIDIManager::make();
    if (offline) configuration.offlineMaximumFrames = 512;
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

Channels readSoundFile(const fs::path& path, double* sampleRate) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    if (sampleRate != nullptr) *sampleRate = info.samplerate;
    Channels channels(static_cast<std::size_t>(info.channels), std::vector<float>(static_cast<std::size_t>(info.frames)));
    for (std::size_t f = 0; f < static_cast<std::size_t>(info.frames); ++f) {
        for (std::size_t c = 0; c < channels.size(); ++c) channels[c][f] = interleaved[f * channels.size() + c];
    }
    return channels;
}

Channels renderOffline(SimplePlayEngine& engine, std::size_t frames) {
    auto& audioEngine = *engine.engine;
    const auto format = audioEngine.manualRenderingFormat();
    auto buffer = audiounit::AVAudioPCMBuffer::make(format, 512);
    Channels result(format->channelCount());
    std::size_t done = 0;
    while (done < frames) {
        const auto count = static_cast<audiounit::AUAudioFrameCount>(std::min<std::size_t>(512, frames - done));
        buffer->setFrameLength(count);
        auto& list = *buffer->mutableAudioBufferList();
        const auto memory = buffer->floatChannelData();
        for (std::uint32_t c = 0; c < list.mNumberBuffers; ++c) list.mBuffers[c].mData = memory[c];
        const auto status = audioEngine.renderOffline(count, list);
        EXPECT_EQ(status, audiounit::noErr);
        if (status != audiounit::noErr) break;
        for (std::uint32_t c = 0; c < list.mNumberBuffers; ++c) {
            const auto* samples = static_cast<const float*>(list.mBuffers[c].mData);
            result[c].insert(result[c].end(), samples, samples + count);
        }
        done += count;
    }
    return result;
}

}  // namespace hosttest
