// DunmarrowAU: the host application. Finds the effect by its codes, loads,
// validates and plays it. Until the window exists every run is headless.

#include <iostream>
#include <string>
#include <vector>

#include "HeadlessRunner.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string error;
    const auto options = parseHeadlessOptions(arguments, error);
    if (!options) {
        std::cerr << "DunmarrowAU: " << error << "\n" << headlessUsage() << std::endl;
        return 2;
    }
    if (options->help) {
        std::cout << headlessUsage() << std::endl;
        return 0;
    }
    if (!options->headless) std::cout << "DunmarrowAU: no window in this build yet; running headless" << std::endl;
    return runHeadless(*options, "aufx", "dmds", "QVRN", AudioUnitHostModel::Configuration());
}
