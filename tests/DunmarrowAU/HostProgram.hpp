#pragma once
// The DunmarrowAU program as a child process of the host tests.

#include <map>
#include <string>
#include <vector>

#include "RunProgram.hpp"

namespace hosttest {

// The test units are on its search path unless `environment` names others.
inline testsupport::StartedProgram startHost(const std::vector<std::string>& arguments,
                                             std::map<std::string, std::string> environment,
                                             const std::filesystem::path& scratch = {}) {
    std::vector<std::string> command{HOST_TEST_PROGRAM};
    command.insert(command.end(), arguments.begin(), arguments.end());
    environment.try_emplace("DUNMARROW_AUDIO_UNIT_PATH", HOST_TEST_BUNDLES);
    testsupport::ProgramOptions options;
    options.environment = std::move(environment);
    options.scratch = scratch;
    return testsupport::startProgram(command, options);
}

// Without a display unless `environment` gives one.
inline testsupport::ProgramRun runHost(const std::vector<std::string>& arguments,
                                       std::map<std::string, std::string> environment = {}) {
    environment.try_emplace("DISPLAY", testsupport::kUnset);
    return testsupport::waitForProgram(startHost(arguments, std::move(environment)));
}

}  // namespace hosttest
