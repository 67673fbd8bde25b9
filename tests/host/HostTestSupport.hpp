#pragma once
// Shared set-up of the host tests: a main bundle with the audio file, the
// test units on the component search path, instantiation completing on the
// main queue, and helpers to wait, read sound files and capture output.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AudioUnitHostModel.hpp"
#include "TempDir.hpp"
#include "HostTestUnits.hpp"
#include "SimplePlayEngine.hpp"

namespace hosttest {

using Channels = std::vector<std::vector<float>>;  // [channel][frame]

using testsupport::TempDir;

// A copy of the test effect's bundle in `folder` whose module is no library:
// the registry knows the component, but it cannot be made.
void writeBrokenEffectBundle(const std::filesystem::path& folder);

// The main bundle every test runs with (CFBundleName "HostTests", Resources/Synth.aif).
const std::filesystem::path& testMainBundle();

// Pumps the main run loop until `done` or the timeout; returns done().
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Pumps the main run loop for a while.
void pumpFor(std::chrono::milliseconds duration);

// An engine set-up without JACK and with a MIDI manager of its own; offline
// when `offline` (cycles of up to 512 frames).
SimplePlayEngine::Configuration engineConfiguration(bool offline = false);

// Instantiates a unit into `engine` and waits for it; returns the editor.
NSViewControllerPtr instantiate(SimplePlayEngine& engine, const std::string& type, const std::string& subType,
                                const std::string& manufacturer);

// The principal object of the engine's unit as the test modules define it.
std::shared_ptr<HostTestPrincipal> principalOf(const SimplePlayEngine& engine);

// Reads a sound file with libsndfile alone.
Channels readSoundFile(const std::filesystem::path& path, double* sampleRate = nullptr);

// Renders `frames` frames from an engine in manual rendering mode.
Channels renderOffline(SimplePlayEngine& engine, std::size_t frames);

}  // namespace hosttest
