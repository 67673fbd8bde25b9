// DunmarrowAU: the host application. Finds the effect by its codes, loads,
// validates and plays it, and shows its editor in the window. Without a usable
// X display, or when asked to, it runs headless.

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "DunmarrowAUApp.hpp"
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
    if (options->version) {
        std::cout << "DunmarrowAU " DUNMARROW_VERSION << std::endl;
        return 0;
    }
    if (options->wantsWindow()) {
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr || *display == '\0') {
            std::cout << "DunmarrowAU: no X display (DISPLAY is not set); running headless" << std::endl;
        } else {
            if (auto window = DunmarrowAUApp::createWindow({}, &error)) {
                becomeMainThread();
                DunmarrowAUApp app;
                app.openWindow(std::move(window));
                app.runUntilWindowCloses();
                return 0;
            }
            std::cout << "DunmarrowAU: " << error << "; running headless" << std::endl;
        }
    }
    return runHeadless(*options, DunmarrowAUApp::kType, DunmarrowAUApp::kSubType, DunmarrowAUApp::kManufacturer,
                       AudioUnitHostModel::Configuration());
}
