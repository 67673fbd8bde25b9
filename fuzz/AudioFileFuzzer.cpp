// Audio files as dunmarrow-render reads them: the input's bytes are opened by
// the tool's own InputFile (through a file in memory), refused like the tool
// refuses them, rendered by the tool's file loop through an effect that passes
// its input through, and written in the input's format by the tool's
// OutputFile. Any input must give a clean ToolError or a whole render whose
// output peaks equal the input's.

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "FileRenderer.hpp"
#include "FuzzSupport.hpp"
#include "SoundFiles.hpp"
#include "ToolError.hpp"

namespace {

using namespace audiounit;

// Hands each cycle's input straight to the output, so that the file loop and
// the files alone are under test; stops after a bound, since compressed
// formats can say "more" for a long time with few bytes.
class PassThroughBackend final : public render::RenderBackend {
public:
    void prepare(const render::RenderSetup&) override {}
    OSStatus render(const AudioTimeStamp& timestamp, AUAudioFrameCount frameCount, AudioBufferList* output,
                    const AURenderPullInputBlock& pullInput) noexcept override {
        framesRendered_ += frameCount;
        if (framesRendered_ > kMaximumFrames) return kAudioUnitErr_TooManyFramesToProcess;
        AudioUnitRenderActionFlags flags = 0;
        return pullInput(&flags, &timestamp, frameCount, 0, output);
    }

private:
    static constexpr std::uint64_t kMaximumFrames = std::uint64_t{1} << 18;
    std::uint64_t framesRendered_ = 0;
};

// The input, as a file that only this process sees.
const std::string& inputPath(std::span<const std::uint8_t> bytes) {
    static const int fd = ::memfd_create("fuzz input", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    fuzzing::require(fd >= 0 && ::ftruncate(fd, 0) == 0, "cannot make the input file in memory");
    fuzzing::require(bytes.empty() || ::pwrite(fd, bytes.data(), bytes.size(), 0) ==
                                          static_cast<ssize_t>(bytes.size()),
                     "cannot write the input file in memory");
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto outputPath = fuzzing::scratchFolder() / "output";
    try {
        render::InputFile input(inputPath({data, size}));
        const SF_INFO& info = input.info();
        if (info.channels < 1 || info.channels > 2) return 0;  // the tool refuses these before rendering

        PassThroughBackend backend;
        render::OutputFile output(outputPath.string(), info);
        const render::RenderResult result = render::renderFile(input, output, backend, 512, nullptr);
        output.commit();

        const auto& in = result.inputPeak;
        const auto& out = result.outputPeak;
        fuzzing::require(std::isfinite(in.linear) && in.linear >= 0, "the input peak is not a level");
        fuzzing::require(in.linear == out.linear && in.nonFiniteSamples == out.nonFiniteSamples,
                         "passing the input through changed its peaks");
        fuzzing::require(in.nonFiniteSamples <= result.frames * info.channels,
                         "more non-finite samples than samples");
    } catch (const render::ToolError&) {
        // A clean refusal: what the tool prints as its one error line.
    }
    return 0;
}
