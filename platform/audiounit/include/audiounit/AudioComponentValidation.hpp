#pragma once
// Validation of an installed audio unit: the platform runs its validator tool
// (dunmarrow-validate) as a child process against a fresh instance of the
// component and reports the verdict and the tool's lines.
//
// The validator is the program named by DUNMARROW_VALIDATOR, else the
// dunmarrow-validate beside the running program. The child sees the
// component's own bundle folder first on its search path, so it opens exactly
// the bundle that was asked about. A child that crashes, hangs past the time
// limit or exits without its pass summary is never reported as a pass. It
// runs in a process group of its own, so that a hung validator is stopped with
// every process it started. The verdict, and the line added to the output:
//   exit 0 and a last line starting "Validation passed"   Passed
//   exit 1 (a check failed)                                Failed
//   exit 2 (the component could not be opened)             UnauthorizedError_Open
//   any other exit, or 0 without the summary               Failed, "The validator exited
//                                                          with status N" / "... without
//                                                          its summary line"
//   ended by a signal                                      Failed, "Validation crashed:
//                                                          the validator was ended by
//                                                          signal N (name)"
//   still running at the time limit (killed)               TimedOut, "Validation timed out
//                                                          after N s; the validator was
//                                                          stopped"
//   could not be started                                   Unknown, "The validator PATH
//                                                          could not be started: reason"
// A process keeps each verdict but Unknown per bundle and module file, and
// answers from it unless asked to force validation.

#include <cstdint>
#include <functional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "audiounit/AudioComponentRegistry.hpp"
#include "audiounit/RenderContract.hpp"

namespace audiounit {

enum AudioComponentValidationResult : std::uint32_t {
    kAudioComponentValidationResult_Unknown = 0,  // the validator could not be run
    kAudioComponentValidationResult_Passed = 1,
    kAudioComponentValidationResult_Failed = 2,    // a check failed, or the validator crashed
    kAudioComponentValidationResult_TimedOut = 3,  // killed at the time limit
    kAudioComponentValidationResult_UnauthorizedError_Open = 4,  // the component could not be opened
    kAudioComponentValidationResult_UnauthorizedError_Init = 5,  // not used here
};

// Option keys. "ForceValidation" (Boolean): run the validator even when this
// process has a result for the same component and module file already.
// "TimeOut" (seconds, a positive number): the time limit, 60 by default.
inline constexpr const char* kAudioComponentValidationParameter_ForceValidation = "ForceValidation";
inline constexpr const char* kAudioComponentValidationParameter_TimeOut = "TimeOut";
// The results key whose value is the array of the validator's output lines.
inline constexpr const char* kAudioComponentValidationResultsKey_Output = "Output";

// The environment variable naming the validator program.
inline constexpr const char* kAudioComponentValidatorEnvironmentVariable = "DUNMARROW_VALIDATOR";
// The validator's file name, looked for beside the running program.
inline constexpr const char* kAudioComponentValidatorProgramName = "dunmarrow-validate";
// How the validator's last line starts when every check passed. The result is
// Passed only when the validator exited with status 0 and printed it.
inline constexpr std::string_view kAudioComponentValidationPassedSummary = "Validation passed";
// Exit statuses of the validator.
inline constexpr int kAudioComponentValidatorExitPassed = 0;
inline constexpr int kAudioComponentValidatorExitFailed = 1;
inline constexpr int kAudioComponentValidatorExitCouldNotOpen = 2;

// Receives the verdict and the results: a JSON object whose "Output" is an
// array of texts, one per line of the validator's output (plus a last line of
// our own when the validator crashed, hung or could not be started).
// Thread: the validation's worker thread; called exactly once.
using AudioComponentValidationResultsHandler =
    std::function<void(AudioComponentValidationResult result, nlohmann::json results)>;

// Starts validating `component` on a worker thread and returns at once:
// noErr, or kAudioUnitErr_InvalidParameter (and no call of the handler) for a
// null component, an empty handler or options that are not an object (null
// counts as no options). Thread: any.
OSStatus AudioComponentValidateWithResults(const AVAudioUnitComponentPtr& component, const nlohmann::json& options,
                                           AudioComponentValidationResultsHandler handler);

}  // namespace audiounit
