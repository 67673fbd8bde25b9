// dunmarrow-validate [--verbose] TYPE SUBTYPE MANUFACTURER: checks the
// installed audio unit with these four-character codes and prints one line per
// check. The bundles the registry skipped go to standard error with --verbose,
// or when nothing matches. Exit status: 0 every check passed, 1 a check
// failed, 2 the component could not be found or opened.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Validator.hpp"
#include "audiounit/AVAudioUnit.hpp"
#include "audiounit/AudioComponentRegistry.hpp"
#include "audiounit/AudioComponentValidation.hpp"
#include "foundation/RunLoop.hpp"

using namespace audiounit;

namespace {

constexpr const char* kHelp =
    "Usage: dunmarrow-validate [--verbose] TYPE SUBTYPE MANUFACTURER\n"
    "\n"
    "Finds the installed audio unit with these four-character codes through the\n"
    "component registry (DUNMARROW_AUDIO_UNIT_PATH names more folders to search),\n"
    "runs the validation checks on it and prints one line per check and a verdict.\n"
    "Exit status: 0 every check passed, 1 a check failed, 2 the unit could not be\n"
    "found or opened.\n"
    "\n"
    "Options:\n"
    "  --verbose       list the bundles the registry skipped, and why, on standard error\n"
    "  -h, --help      show this help\n"
    "  --version       show the version\n";

void printSkippedBundles() {
    for (const auto& problem : AudioComponentRegistry::shared().scanProblems())
        std::fprintf(stderr, "dunmarrow-validate: %s\n", problem.description().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> codes;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--verbose") {
            verbose = true;
        } else if (argument == "--help" || argument == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (argument == "--version") {
            std::puts("dunmarrow-validate " DUNMARROW_VERSION);
            return 0;
        } else {
            codes.emplace_back(argv[i]);
        }
    }
    if (codes.size() != 3) {
        std::fprintf(stderr,
                     "usage: dunmarrow-validate [--verbose] TYPE SUBTYPE MANUFACTURER (four-character codes)\n");
        return kAudioComponentValidatorExitCouldNotOpen;
    }
    validator::Validator report(nullptr, stdout);
    AudioComponentDescription description;
    const auto type = fourCharCodeFromString(codes[0]);
    const auto subtype = fourCharCodeFromString(codes[1]);
    const auto manufacturer = fourCharCodeFromString(codes[2]);
    if (!type || !subtype || !manufacturer) {
        report.line("FAIL open (cold): " + codes[0] + " " + codes[1] + " " + codes[2] +
                    " are not three four-character codes");
        report.line(validator::couldNotOpenSummary());
        return kAudioComponentValidatorExitCouldNotOpen;
    }
    description.componentType = *type;
    description.componentSubType = *subtype;
    description.componentManufacturer = *manufacturer;

    const auto component = AudioComponentRegistry::shared().findComponent(description);
    // What the scan passed over may be the unit itself.
    if (verbose || !component) printSkippedBundles();
    if (!component) {
        report.line("FAIL open (cold): No installed audio unit matches " + describeAudioComponent(description));
        report.line(validator::couldNotOpenSummary());
        return kAudioComponentValidatorExitCouldNotOpen;
    }

    // Instantiation's main-thread steps run here, on the main run loop, which
    // the validator pumps while it waits.
    AVAudioUnit::setMainThreadExecutor(
        [](std::function<void()> job) { foundation::RunLoop::main().perform(std::move(job)); });
    const int status = validator::Validator(component, stdout).run();
    // Ends without running destructors: a unit that hung while opening may
    // still be busy on the loading thread, and modules stay loaded anyway.
    std::fflush(stdout);
    std::_Exit(status);
}
