#include "HeadlessRunner.hpp"

#include "ContentView.hpp"
#include "DunmarrowAUApp.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "audiounit/AVAudioPCMBuffer.hpp"
#include "engine/AVAudioFile.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/RunLoop.hpp"

namespace {

constexpr audiounit::AUAudioFrameCount kOfflineCycleFrames = 512;
constexpr auto kLoadTimeout = std::chrono::seconds(30);
constexpr auto kValidationTimeout = std::chrono::minutes(5);
constexpr auto kLoopTimeout = std::chrono::seconds(10);

void printLine(const std::string& line) { std::cout << line << std::endl; }

std::string levelText(float peak) {
    char text[64];
    if (peak > 0.0f) {
        std::snprintf(text, sizeof text, "%.4f (%.1f dBFS)", static_cast<double>(peak),
                      20.0 * std::log10(static_cast<double>(peak)));
    } else {
        std::snprintf(text, sizeof text, "%.4f (-inf dBFS)", static_cast<double>(peak));
    }
    return text;
}

// Renders the looped file offline into `path`. At the end of each pass the
// main run loop runs until the effect loop has scheduled the next one, so the
// passes follow each other without a gap whatever the threads' timing.
bool renderOffline(SimplePlayEngine& playEngine, const std::string& path, double seconds) {
    auto& engine = *playEngine.engine;
    const auto format = engine.manualRenderingFormat();
    const auto& file = playEngine.file.get();
    const auto passFrames = static_cast<std::uint64_t>(std::max<engine::AVAudioFramePosition>(file->length(), 1));
    const auto totalFrames = static_cast<std::uint64_t>(std::llround(seconds * format->sampleRate()));

    foundation::NSError error;
    auto output = engine::AVAudioFile::openForWriting(path, format, &error);
    if (!output) {
        printLine("DunmarrowAU: cannot write " + path + ": " + error.localizedDescription());
        return false;
    }
    auto buffer = audiounit::AVAudioPCMBuffer::make(format, kOfflineCycleFrames);
    auto& mainLoop = foundation::RunLoop::main();

    std::uint64_t rendered = 0;
    std::uint64_t passesWanted = 1;
    while (rendered < totalFrames) {
        // Wait until the pass this stretch plays from has been scheduled.
        if (!mainLoop.runUntil([&] { return playEngine.effectLoopPasses() >= passesWanted; }, kLoopTimeout)) {
            printLine("DunmarrowAU: the effect loop did not schedule the file again");
            output->discard();
            return false;
        }
        const std::uint64_t toPassEnd = passFrames - rendered % passFrames;
        const auto frames = static_cast<audiounit::AUAudioFrameCount>(
            std::min<std::uint64_t>({kOfflineCycleFrames, totalFrames - rendered, toPassEnd}));
        buffer->setFrameLength(frames);
        auto& list = *buffer->mutableAudioBufferList();
        const auto memory = buffer->floatChannelData();
        for (std::uint32_t c = 0; c < list.mNumberBuffers; ++c) list.mBuffers[c].mData = memory[c];
        const audiounit::OSStatus status = engine.renderOffline(frames, list);
        if (status != audiounit::noErr) {
            printLine("DunmarrowAU: offline rendering failed with status " + std::to_string(status));
            output->discard();
            return false;
        }
        std::array<const float*, 2> channels{static_cast<const float*>(list.mBuffers[0].mData),
                                             static_cast<const float*>(list.mBuffers[1].mData)};
        if (!output->writeFrames(channels, frames, &error)) {
            printLine("DunmarrowAU: cannot write " + path + ": " + error.localizedDescription());
            output->discard();
            return false;
        }
        rendered += frames;
        if (rendered % passFrames == 0) ++passesWanted;
    }
    if (!output->close(&error)) {
        printLine("DunmarrowAU: cannot write " + path + ": " + error.localizedDescription());
        return false;
    }
    return true;
}

}  // namespace

std::string headlessUsage() {
    return "Usage: DunmarrowAU [--headless] [--seconds N] [--output FILE] [--screenshot FILE.png] "
           "[--inspect FILE.json]\n"
           "\n"
           "Finds the Dunmarrow effect through the component registry, loads and validates it and\n"
           "shows its editor in a window, or, headless, plays the demo riff through it (through\n"
           "JACK when a server runs) and prints the validation and the peak levels.\n"
           "\n"
           "Options:\n"
           "  --headless      run without a window: load, validate and play the effect\n"
           "  --seconds N     play N seconds of the looped file (default 5)\n"
           "  --output FILE   render offline into FILE (.wav, .aif, .flac, .caf) instead of playing\n"
           "  --screenshot FILE.png   once validated, write the window (with the effect's editor) as PNG\n"
           "  --inspect FILE.json     once validated, write the window's laid-out view tree as JSON\n"
           "  -h, --help      show this help\n"
           "  --version       show the version\n"
           "\n"
           "Without --headless the window opens when an X display can be opened (--seconds then does\n"
           "nothing); --output, --screenshot and --inspect belong to the headless mode and imply it.";
}

std::optional<HeadlessOptions> parseHeadlessOptions(const std::vector<std::string>& arguments, std::string& error) {
    HeadlessOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto value = [&](std::string& out) {
            if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
                error = argument + " needs a value";
                return false;
            }
            out = arguments[++i];
            return true;
        };
        std::string text;
        if (argument == "--headless") {
            options.headless = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument == "--seconds") {
            if (!value(text)) return std::nullopt;
            std::size_t used = 0;
            double seconds = 0;
            try {
                seconds = std::stod(text, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != text.size() || !std::isfinite(seconds) || seconds <= 0 || seconds > 3600) {
                error = "--seconds needs a number of seconds above 0 and at most 3600, not \"" + text + "\"";
                return std::nullopt;
            }
            options.seconds = seconds;
        } else if (argument == "--output") {
            if (!value(text)) return std::nullopt;
            options.output = text;
        } else if (argument == "--screenshot") {
            if (!value(text)) return std::nullopt;
            options.screenshot = text;
        } else if (argument == "--inspect") {
            if (!value(text)) return std::nullopt;
            options.inspect = text;
        } else {
            error = "unknown argument \"" + argument + "\"";
            return std::nullopt;
        }
    }
    return options;
}

int runHeadless(const HeadlessOptions& options, const std::string& type, const std::string& subType,
                const std::string& manufacturer, AudioUnitHostModel::Configuration configuration) {
    becomeMainThread();
    auto& mainLoop = foundation::RunLoop::main();

    if (options.output) configuration.engine.offlineMaximumFrames = kOfflineCycleFrames;
    const auto model = AudioUnitHostModel::make(type, subType, manufacturer, std::move(configuration));
    // The loaded message as the window would show it, the moment it is published
    // (before the validation job runs). A unit that could not be made (no
    // editor either) is reported once, below, with the reason.
    model->viewModel.subscribe([](const AudioUnitViewModel& viewModel) {
        if (viewModel.viewController) printLine(viewModel.message);
    });

    if (!mainLoop.runUntil([&] { return model->loadFinished(); }, kLoadTimeout)) {
        printLine("DunmarrowAU: loading the audio unit did not finish");
        return 1;
    }
    if (!model->playEngine->avAudioUnit()) {
        const auto& why = model->playEngine->instantiationError;
        printLine("DunmarrowAU: the audio unit could not be instantiated" +
                  (why ? " (" + why->localizedDescription() + ")" : std::string()) + "; nothing to validate or play");
        return 1;
    }

    // validateAU prints the output itself; the verdict follows in the badge's words.
    if (!mainLoop.runUntil([&] { return model->validationResult().has_value(); }, kValidationTimeout)) {
        printLine("DunmarrowAU: validation did not finish");
        return 1;
    }
    printLine(*model->validationResult() == kAudioComponentValidationResult_Passed ? "Validation Passed"
                                                                                   : "Validation Failed");

    if (options.screenshot || options.inspect) {
        std::string error;
        if (!writeWindowSnapshot(std::make_shared<ContentView>(model), options.screenshot, options.inspect, &error)) {
            printLine("DunmarrowAU: " + error);
            return 1;
        }
        if (options.screenshot) printLine("Window written to " + *options.screenshot);
        if (options.inspect) printLine("Window layout written to " + *options.inspect);
    }

    auto& playEngine = *model->playEngine;
    playEngine.levelMeter()->reset();
    bool played = true;
    if (options.output) {
        playEngine.startPlaying();
        played = renderOffline(playEngine, *options.output, options.seconds);
        playEngine.stopPlaying();
        if (played) printLine("Rendered " + std::to_string(options.seconds) + " s into " + *options.output);
    } else {
        playEngine.startPlaying();
        mainLoop.runUntil(foundation::Clock::now() +
                          std::chrono::duration_cast<foundation::Clock::duration>(
                              std::chrono::duration<double>(options.seconds)));
        playEngine.stopPlaying();
    }
    if (const auto& lost = playEngine.outputLossReason(); !lost.empty()) {
        printLine("DunmarrowAU: the audio output was lost: " + lost);
        return 1;
    }
    printLine("Input peak level: " + levelText(playEngine.levelMeter()->inputPeak()));
    printLine("Output peak level: " + levelText(playEngine.levelMeter()->outputPeak()));
    return played ? 0 : 1;
}
