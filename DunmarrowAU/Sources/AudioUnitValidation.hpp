#pragma once
// How the host model validates a component: a call with the platform's shape
// (component, options, a callback with the result code and a results
// dictionary), held as a replaceable function so that tests can put their
// own in its place.

#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "audiounit/AudioComponentRegistry.hpp"

#include "audiounit/AudioComponentValidation.hpp"

// The platform's verdict; only kAudioComponentValidationResult_Passed is a pass.
using AudioComponentValidationResult = audiounit::AudioComponentValidationResult;
using enum audiounit::AudioComponentValidationResult;

// Called once, on any thread, with the verdict and the results dictionary.
using AudioComponentValidationCallback =
    std::function<void(AudioComponentValidationResult result, const nlohmann::json& results)>;
using AudioComponentValidateFunction =
    std::function<void(const audiounit::AVAudioUnitComponentPtr& component, const nlohmann::json& options,
                       AudioComponentValidationCallback callback)>;

// The validation the application uses by default: the platform's
// AudioComponentValidateWithResults.
[[nodiscard]] AudioComponentValidateFunction defaultAudioComponentValidate();

// The text the host shows for a results dictionary: the "Output" lines joined
// with one newline between neighbours, or "Validation probably crashed" when
// the results are not a non-empty dictionary whose "Output" is a list of texts.
[[nodiscard]] std::string validationOutputText(const nlohmann::json& results);

inline constexpr const char* kValidationProbablyCrashed = "Validation probably crashed";
