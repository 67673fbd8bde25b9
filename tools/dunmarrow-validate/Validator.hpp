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
#include <string>
#include <vector>

#include "audiounit/AudioComponentRegistry.hpp"

namespace validator {

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
    void pass(const std::string& check, const std::string& detail);
    void fail(const std::string& check, const std::string& detail);
    void summary();

    audiounit::AVAudioUnitComponentPtr component_;
    std::FILE* out_;
    int checks_ = 0;
    std::vector<std::string> failed_;
};

// The summary printed when a component cannot be opened.
[[nodiscard]] std::string couldNotOpenSummary();

}  // namespace validator
