#pragma once
// Shared set-up of the host tests (a main bundle with the audio file, the test units on the
// search path) and helpers to wait, instantiate, read sound files and render offline.

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

// A copy of the test effect's bundle whose module is no library: found, but cannot be made.
void writeBrokenEffectBundle(const std::filesystem::path& folder);

// The main bundle every test runs with (CFBundleName "HostTests", Resources/Synth.aif).
const std::filesystem::path& testMainBundle();

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));
void pumpFor(std::chrono::milliseconds duration);

// Without JACK, with a MIDI manager of its own; offline cycles of up to 512 frames.
SimplePlayEngine::Configuration engineConfiguration(bool offline = false);

// Waits for the instantiation; returns the editor.
NSViewControllerPtr instantiate(SimplePlayEngine& engine, const std::string& type, const std::string& subType,
                                const std::string& manufacturer);

std::shared_ptr<HostTestPrincipal> principalOf(const SimplePlayEngine& engine);

// Reads a sound file with libsndfile alone.
Channels readSoundFile(const std::filesystem::path& path, double* sampleRate = nullptr);

Channels renderOffline(SimplePlayEngine& engine, std::size_t frames);

}  // namespace hosttest
