#pragma once
// How the host model validates a component: a call with the platform's shape
// (component, options, a callback with the result code and a results
// dictionary), held as a replaceable function so that tests and builds
// without the validator can put their own in its place.

#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "audiounit/AudioComponentRegistry.hpp"

#if __has_include("audiounit/AudioComponentValidation.hpp")
#include "audiounit/AudioComponentValidation.hpp"
#define DUNMARROW_HOST_HAS_PLATFORM_VALIDATION 1
using AudioComponentValidationResult = audiounit::AudioComponentValidationResult;
using enum audiounit::AudioComponentValidationResult;
#else
// The platform's verdict; only kAudioComponentValidationResult_Passed is a pass.
enum AudioComponentValidationResult : std::uint32_t {
    kAudioComponentValidationResult_Unknown = 0,
    kAudioComponentValidationResult_Passed = 1,
    kAudioComponentValidationResult_Failed = 2,
    kAudioComponentValidationResult_TimedOut = 3,
    kAudioComponentValidationResult_UnauthorizedError_Open = 4,
    kAudioComponentValidationResult_UnauthorizedError_Init = 5,
};
#endif

// Called once, on any thread, with the verdict and the results dictionary.
using AudioComponentValidationCallback =
    std::function<void(AudioComponentValidationResult result, const nlohmann::json& results)>;
using AudioComponentValidateFunction =
    std::function<void(const audiounit::AVAudioUnitComponentPtr& component, const nlohmann::json& options,
                       AudioComponentValidationCallback callback)>;

// The validation the application uses by default: the platform's
// AudioComponentValidateWithResults, or, in a build without it, a stand-in
// that reports Unknown with no results ("Validation probably crashed").
[[nodiscard]] AudioComponentValidateFunction defaultAudioComponentValidate();

// The text the host shows for a results dictionary: the "Output" lines joined
// with one newline between neighbours, or "Validation probably crashed" when
// the results are not a non-empty dictionary whose "Output" is a list of texts.
[[nodiscard]] std::string validationOutputText(const nlohmann::json& results);

inline constexpr const char* kValidationProbablyCrashed = "Validation probably crashed";
