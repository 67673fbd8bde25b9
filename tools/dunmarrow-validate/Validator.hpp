#pragma once
// The checks of dunmarrow-validate, run against one installed component. Each
// check prints one line, "PASS <check>: <detail>" or "FAIL <check>: <detail>",
// and the run ends with a summary line: "Validation passed: N checks" or
// "Validation failed: M of N checks failed: <names>".
//
// Threads: run() is called on the process's main thread, which it keeps
// pumping the main run loop while units are instantiated. Rendering happens on
// a thread of its own, with allocation counting armed around the render calls.

#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "audiounit/AUParameters.hpp"
#include "audiounit/AVAudioUnit.hpp"
#include "audiounit/AudioComponentRegistry.hpp"

namespace validator {

struct RenderTally;

class Validator {
public:
    // Lines go to `out`, flushed one by one so that a crash loses none.
    Validator(audiounit::AVAudioUnitComponentPtr component, std::FILE* out);

    // Runs every check; the process exit status: 0 passed, 1 a check failed,
    // 2 the component could not be opened.
    int run();

    // Prints a line (and flushes); also used for lines outside the checks.
    void line(const std::string& text);

private:
    // The groups of checks, in the order run() takes them.
    // Opens a first (cold) and a second (warm) instance; false when the first
    // cannot be opened, after reporting it.
    bool checkOpening();
    void checkRegistration();
    void checkBusses();
    void checkFormats();
    // Collects the parameters every later group uses.
    void checkParameters();
    void checkFactoryPresets();
    void checkRendering();
    void checkState();

    // The render checks, each adding what it rendered and allocated to `tally`.
    void checkRenderAtSampleRates(RenderTally& tally);
    void checkTooManyFrames(RenderTally& tally);
    void checkBypass(RenderTally& tally);
    void checkParameterAutomation(RenderTally& tally);

    void pass(const std::string& check, const std::string& detail);
    void fail(const std::string& check, const std::string& detail);
    // Runs a check's body; an exception from the unit fails that check.
    void guarded(const std::string& check, const std::function<void()>& body);
    void summary();

    // The first instance, which the checks examine.
    [[nodiscard]] audiounit::AUAudioUnit& unit() const { return *cold_->auAudioUnit(); }

    audiounit::AVAudioUnitComponentPtr component_;
    std::FILE* out_;
    int checks_ = 0;
    std::vector<std::string> failed_;

    std::shared_ptr<audiounit::AVAudioUnit> cold_;
    std::shared_ptr<audiounit::AVAudioUnit> warm_;  // null when it could not be opened
    std::vector<audiounit::AUParameterPtr> parameters_;
    std::mt19937 generator_{20261206};
};

// The summary printed when a component cannot be opened.
[[nodiscard]] std::string couldNotOpenSummary();

}  // namespace validator
