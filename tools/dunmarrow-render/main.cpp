// dunmarrow-render: renders an audio file through the effect, offline.
//
//   dunmarrow-render [options] INPUT OUTPUT
//   dunmarrow-render [--preset P] [--set ID=V]... --list-presets | --list-parameters
//
// Finds the effect through the component registry like any host, reads INPUT
// (any file libsndfile reads, mono or stereo), renders it through the effect's
// render block in host-sized cycles and writes OUTPUT in INPUT's format.
// OUTPUT appears only when it is complete. Errors are one line on standard
// error, "dunmarrow-render: ...", with exit status 1 (2 for a wrong command
// line, a preset or parameter that does not exist, or a value that is not a
// number in range).

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FileRenderer.hpp"
#include "ProgressBar.hpp"
#include "RegistryBackend.hpp"
#include "RenderBackend.hpp"
#include "SoundFiles.hpp"
#include "Termination.hpp"
#include "ToolError.hpp"

namespace {

using render::ToolError;

constexpr int kUsageError = 2;
constexpr std::uint32_t kDefaultBlock = 512;
constexpr std::uint32_t kMaximumBlock = 16384;

constexpr const char* kHelp =
    "Usage: dunmarrow-render [options] INPUT OUTPUT\n"
    "\n"
    "Renders INPUT through the Dunmarrow effect and writes OUTPUT in INPUT's\n"
    "format (file type, sample format, rate and channels). INPUT may be any file\n"
    "libsndfile reads, mono or stereo. OUTPUT is written under a temporary name\n"
    "and appears only when complete.\n"
    "\n"
    "The effect is found through the component registry (type aufx, subtype\n"
    "dmds, manufacturer QVRN); DUNMARROW_AUDIO_UNIT_PATH names more folders to\n"
    "search. Presets and settings apply from the first sample.\n"
    "\n"
    "OUTPUT may also be a character device or a FIFO, written in place; a symbolic\n"
    "link is followed and the file it leads to replaced. The tool waits at most\n"
    "DUNMARROW_RENDER_TIME_LIMIT seconds (default 30) for the effect to load and\n"
    "for a program to open a FIFO for reading.\n"
    "\n"
    "Options:\n"
    "  --preset P          start from preset P: a factory preset by number or\n"
    "                      name, or a user preset by name\n"
    "  --set ID=VALUE      set the parameter ID (see --list-parameters) to VALUE,\n"
    "                      after the preset; may be repeated. Values outside a\n"
    "                      parameter's range are clamped to it\n"
    "  --block N           frames per render cycle, 1 to 16384 (default 512)\n"
    "  --bypass            render with the effect bypassed (output equals input)\n"
    "  --peaks             print the input and output peak levels in dBFS when done\n"
    "  --list-presets      list the factory and user presets, render nothing\n"
    "  --list-parameters   list the parameters with their ranges, defaults and\n"
    "                      values (after --preset and --set), render nothing\n"
    "  --verbose           list the bundles the registry skipped, and why\n"
    "  -h, --help          show this help\n"
    "  --version           show the version\n";

struct Setting {
    std::string identifier;
    std::string value;
};

struct Options {
    std::string input;
    std::string output;
    std::uint32_t block = kDefaultBlock;
    bool bypass = false;
    bool peaks = false;
    bool help = false;
    bool version = false;
    std::optional<std::string> preset;
    std::vector<Setting> settings;
    bool listPresets = false;
    bool listParameters = false;
    bool verbose = false;
};

std::uint32_t parseBlock(std::string_view text) {
    const std::string value(text);
    char* end = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(value.c_str(), &end, 10);
    if (value.empty() || value[0] == '-' || *end != '\0' || errno != 0 || n < 1 || n > kMaximumBlock)
        throw ToolError("--block needs a frame count from 1 to " + std::to_string(kMaximumBlock) + ", not '" +
                            value + "'",
                        kUsageError);
    return static_cast<std::uint32_t>(n);
}

Setting parseSetting(std::string_view text) {
    const auto equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0)
        throw ToolError("--set needs IDENTIFIER=VALUE, not '" + std::string(text) + "'", kUsageError);
    return {std::string(text.substr(0, equals)), std::string(text.substr(equals + 1))};
}

Options parseCommandLine(int argc, char** argv) {
    Options options;
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            operands.emplace_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--bypass") {
            options.bypass = true;
        } else if (arg == "--peaks") {
            options.peaks = true;
        } else if (arg == "--list-presets") {
            options.listPresets = true;
        } else if (arg == "--list-parameters") {
            options.listParameters = true;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--preset") {
            if (i + 1 >= argc) throw ToolError("--preset needs a preset name or number", kUsageError);
            options.preset = argv[++i];
        } else if (arg.starts_with("--preset=")) {
            options.preset = std::string(arg.substr(9));
        } else if (arg == "--set") {
            if (i + 1 >= argc) throw ToolError("--set needs IDENTIFIER=VALUE", kUsageError);
            options.settings.push_back(parseSetting(argv[++i]));
        } else if (arg.starts_with("--set=")) {
            options.settings.push_back(parseSetting(arg.substr(6)));
        } else if (arg == "--block") {
            if (i + 1 >= argc) throw ToolError("--block needs a frame count", kUsageError);
            options.block = parseBlock(argv[++i]);
        } else if (arg.starts_with("--block=")) {
            options.block = parseBlock(arg.substr(8));
        } else {
            throw ToolError("unknown option '" + std::string(arg) + "' (see --help)", kUsageError);
        }
    }
    if (options.help || options.version) return options;
    if (options.listPresets || options.listParameters) {
        if (!operands.empty())
            throw ToolError("--list-presets and --list-parameters take no INPUT or OUTPUT", kUsageError);
        return options;
    }
    if (operands.size() != 2) throw ToolError("expected INPUT and OUTPUT (see --help)", kUsageError);
    options.input = operands[0];
    options.output = operands[1];
    return options;
}

std::string peakText(const render::Peak& peak) {
    if (peak.nonFiniteSamples > 0)
        return "not finite (the file holds " + std::to_string(peak.nonFiniteSamples) + " non-finite samples)";
    if (!(peak.linear > 0.0f)) return "-inf dBFS";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f dBFS", 20.0 * std::log10(static_cast<double>(peak.linear)));
    return text;
}

// Loads the effect and applies the preset, then the settings, as a host would
// before it allocates render resources.
std::unique_ptr<render::RegistryBackend> loadEffect(const Options& options, std::chrono::seconds timeLimit) {
    // The platform starts threads while it loads the effect; they must never
    // take a signal meant to remove the output's temporary file.
    const render::DeadlySignalsBlocked onlyThisThreadTakesSignals;
    if (options.verbose) render::printSkippedBundles();
    // The loading thread, or this one running the effect's code on the main
    // queue, may never come back; the limit holds either way.
    const render::TimeLimit loading(timeLimit, render::RegistryBackend::loadingTimeOutMessage(timeLimit));
    auto effect = render::RegistryBackend::load(render::kDunmarrowComponent, timeLimit);
    if (options.preset) effect->selectPreset(*options.preset);
    for (const Setting& setting : options.settings) effect->setParameter(setting.identifier, setting.value);
    return effect;
}

int run(int argc, char** argv) {
    const Options options = parseCommandLine(argc, argv);
    if (options.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (options.version) {
        std::puts("dunmarrow-render " DUNMARROW_VERSION);
        return 0;
    }
    const std::chrono::seconds timeLimit = render::waitTimeLimit();
    if (options.listPresets || options.listParameters) {
        const auto effect = loadEffect(options, timeLimit);
        if (options.listPresets) std::fputs(effect->presetListing().c_str(), stdout);
        if (options.listParameters) std::fputs(effect->parameterListing().c_str(), stdout);
        return 0;
    }

    render::InputFile input(options.input);
    const SF_INFO& info = input.info();
    if (info.channels < 1 || info.channels > 2)
        throw ToolError("input '" + options.input + "' has " + std::to_string(info.channels) +
                        " channels; only mono and stereo are supported");

    // Everything that can refuse the command line is settled before the
    // output file exists.
    const auto effect = loadEffect(options, timeLimit);
    render::RenderSetup setup;
    setup.sampleRate = info.samplerate;
    setup.channelCount = static_cast<std::uint32_t>(info.channels);
    setup.maximumFrames = options.block;
    setup.bypass = options.bypass;
    effect->prepare(setup);

    render::OutputFile output(options.output, info, timeLimit);
    render::ProgressBar bar(std::filesystem::path(options.input).filename().string(), input.declaredFrames(),
                            render::ProgressBar::isTerminal(stderr));
    const render::RenderResult result = render::renderFile(
        input, output, *effect, options.block, [&bar](std::int64_t done) { bar.update(done); });
    output.commit();
    bar.finish();

    if (options.peaks) {
        std::printf("input peak:  %s\n", peakText(result.inputPeak).c_str());
        std::printf("output peak: %s\n", peakText(result.outputPeak).c_str());
    }
    return 0;
}

}  // namespace

// A failure ends the program without running destructors: a thread of the
// effect's that never came back must not hold the exit up.
int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const ToolError& e) {
        render::exitWithError(e.what(), e.exitStatus());
    } catch (const std::exception& e) {
        render::exitWithError(e.what(), 1);
    }
}
