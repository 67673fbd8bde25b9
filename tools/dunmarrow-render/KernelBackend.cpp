// The kernel behind its render path, set up in the order the audio unit uses
// when a host allocates render resources.

#include <array>
#include <cstdint>

#include "AUProcessHelper.hpp"
#include "BufferedInputBus.hpp"
#include "DunmarrowAUExtensionDSPKernel.hpp"
#include "RenderBackend.hpp"
#include "ToolError.hpp"
#include "audiounit/AVAudioFormat.hpp"

namespace render {
namespace {

// Parameter addresses and default values, as the parameter tree declares them.
// Until the tool drives the whole audio unit, it pushes them itself, as the
// tree does when it is installed.
struct ParameterDefault {
    std::uint64_t address;
    float value;
};
constexpr std::array<ParameterDefault, 14> kParameterDefaults{{
    {0, 65.0f},    // drive
    {1, 100.0f},   // tight
    {2, 100.0f},   // bite
    {3, 100.0f},   // cab
    {4, 0.8f},     // gain
    {5, 55.0f},    // body
    {6, 45.0f},    // crush
    {7, 50.0f},    // density
    {8, 35.0f},    // grind
    {9, 50.0f},    // touch
    {10, 0.0f},    // decimation
    {11, 0.0f},    // doubleTrack
    {12, 0.0f},    // stereoSpread
    {13, 0.0f},    // liveSafe
}};

// The bus accepts up to this many channels, as the audio unit's input bus does.
constexpr audiounit::AUAudioChannelCount kBusChannelLimit = 8;

class KernelBackend final : public RenderBackend {
public:
    void prepare(const RenderSetup& setup) override {
        auto format = audiounit::AVAudioFormat::makeStandard(setup.sampleRate, setup.channelCount);
        if (!format) throw ToolError("cannot render at " + std::to_string(setup.sampleRate) + " Hz");
        const auto channels = static_cast<std::int32_t>(setup.channelCount);

        inputBus_.setupBus(format, kBusChannelLimit);
        kernel_.setMaximumFramesToRender(setup.maximumFrames);
        inputBus_.allocateBuffer(setup.maximumFrames);
        kernel_.initialize(channels, channels, setup.sampleRate);
        helper_.setChannelCount(setup.channelCount, setup.channelCount);
        for (const ParameterDefault& p : kParameterDefaults) kernel_.setParameter(p.address, p.value);
        kernel_.setBypass(setup.bypass);
        initialized_ = true;
    }

    audiounit::OSStatus render(const audiounit::AudioTimeStamp& timestamp, audiounit::AUAudioFrameCount frameCount,
                               audiounit::AudioBufferList* output,
                               const audiounit::AURenderPullInputBlock& pullInput) noexcept override {
        audiounit::AudioUnitRenderActionFlags flags = 0;
        return helper_.renderBlock(&flags, &timestamp, frameCount, 0, output, nullptr, &pullInput);
    }

    ~KernelBackend() override {
        if (initialized_) kernel_.deinitialize();
    }

private:
    DunmarrowAUExtensionDSPKernel kernel_;
    BufferedInputBus inputBus_;
    AUProcessHelper helper_{kernel_, inputBus_};
    bool initialized_ = false;
};

}  // namespace

std::unique_ptr<RenderBackend> makeKernelBackend() { return std::make_unique<KernelBackend>(); }

}  // namespace render
