#pragma once
// The host without a window: the same model, driven from the command line.
// Loads the effect, prints the loaded message, the validation output and the
// verdict in the badge's words, plays the looped file through the effect for a
// number of seconds (offline into a file, or through the engine's output) and
// prints the input and output peak levels.

#include <optional>
#include <string>
#include <vector>

#include "AudioUnitHostModel.hpp"

struct HeadlessOptions {
    bool headless = false;
    double seconds = 5.0;
    std::optional<std::string> output;      // render offline into this file
    std::optional<std::string> screenshot;  // the window offscreen, as PNG, once validated
    std::optional<std::string> inspect;     // the window's laid-out view tree, as JSON, once validated
    bool help = false;
    bool version = false;

    // Asked for the window: neither --headless nor an option of the headless mode.
    [[nodiscard]] bool wantsWindow() const {
        return !headless && !output && !screenshot && !inspect;
    }
};

// Parses the command line (without the program name). On a bad argument
// returns nothing and sets `error`.
[[nodiscard]] std::optional<HeadlessOptions> parseHeadlessOptions(const std::vector<std::string>& arguments,
                                                                  std::string& error);

[[nodiscard]] std::string headlessUsage();

// Runs the model headless on the main run loop of the calling thread (which
// becomes the main thread) for the codes given. Returns the process's exit
// status: 0 when the unit loaded and played, 1 otherwise (a lost audio output
// included, said in one line).
int runHeadless(const HeadlessOptions& options, const std::string& type, const std::string& subType,
                const std::string& manufacturer, AudioUnitHostModel::Configuration configuration);
