#pragma once
// The host tests' main bundle and unit search path, and helpers to wait and instantiate.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "AudioUnitHostModel.hpp"
#include "TempDir.hpp"
#include "HostTestUnits.hpp"
#include "SimplePlayEngine.hpp"

namespace hosttest {

using testsupport::TempDir;

// A copy of the test effect's bundle whose module is no library: found, but cannot be made.
void writeBrokenEffectBundle(const std::filesystem::path& folder);

// The main bundle every test runs with (CFBundleName "HostTests", Resources/Synth.aif).
const std::filesystem::path& testMainBundle();

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));
void pumpFor(std::chrono::milliseconds duration);

// Without JACK, with a MIDI manager of its own.
SimplePlayEngine::Configuration engineConfiguration();

// Waits for the instantiation; returns the editor.
NSViewControllerPtr instantiate(SimplePlayEngine& engine, const std::string& type, const std::string& subType,
                                const std::string& manufacturer);

std::shared_ptr<HostTestPrincipal> principalOf(const SimplePlayEngine& engine);

}  // namespace hosttest
