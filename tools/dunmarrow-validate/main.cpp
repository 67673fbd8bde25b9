// dunmarrow-validate TYPE SUBTYPE MANUFACTURER: checks the installed audio
// unit with these four-character codes and prints one line per check.
// Exit status: 0 every check passed, 1 a check failed, 2 the component could
// not be found or opened.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Validator.hpp"
#include "audiounit/AVAudioUnit.hpp"
#include "audiounit/AudioComponentRegistry.hpp"
#include "audiounit/AudioComponentValidation.hpp"
#include "foundation/RunLoop.hpp"

using namespace audiounit;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: dunmarrow-validate TYPE SUBTYPE MANUFACTURER (four-character codes)\n");
        return kAudioComponentValidatorExitCouldNotOpen;
    }
    validator::Validator report(nullptr, stdout);
    AudioComponentDescription description;
    const auto type = fourCharCodeFromString(argv[1]);
    const auto subtype = fourCharCodeFromString(argv[2]);
    const auto manufacturer = fourCharCodeFromString(argv[3]);
    if (!type || !subtype || !manufacturer) {
        report.line(std::string("FAIL open (cold): ") + argv[1] + " " + argv[2] + " " + argv[3] +
                    " are not three four-character codes");
        report.line(validator::couldNotOpenSummary());
        return kAudioComponentValidatorExitCouldNotOpen;
    }
    description.componentType = *type;
    description.componentSubType = *subtype;
    description.componentManufacturer = *manufacturer;

    const auto component = AudioComponentRegistry::shared().findComponent(description);
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
