// AudioComponentValidateWithResults and the validator it runs, against test
// effects that pass, that carry one fault each, that hang and that crash, and
// against the real effect when its bundle is in the build; and the validator's
// render rig on a unit whose output is not a normal number.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <future>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "RunProgram.hpp"
#include "audiounit/AudioComponentRegistry.hpp"
#include "audiounit/AudioComponentValidation.hpp"

using namespace audiounit;

namespace {

struct Validation {
    AudioComponentValidationResult result = kAudioComponentValidationResult_Unknown;
    std::vector<std::string> lines;
    double seconds = 0;
};

AudioComponentDescription testDescription(const char (&subtype)[5]) {
    return {kAudioUnitType_Effect, fourCharCode(subtype), fourCharCode("DmVt"), 0, 0};
}

AVAudioUnitComponentPtr testComponent(const char (&subtype)[5]) {
    static AudioComponentRegistry registry({VALIDATION_TEST_BUNDLES});
    return registry.findComponent(testDescription(subtype));
}

// Validates and waits for the handler, which must come exactly once, on
// another thread, with the validator's lines under "Output".
Validation validate(const AVAudioUnitComponentPtr& component, nlohmann::json options = {{"ForceValidation", true}}) {
    struct Shared {
        std::promise<void> done;
        AudioComponentValidationResult result = kAudioComponentValidationResult_Unknown;
        nlohmann::json results;
        int calls = 0;
        bool onCallingThread = false;
    };
    auto shared = std::make_shared<Shared>();
    const auto caller = std::this_thread::get_id();
    const auto start = std::chrono::steady_clock::now();
    const OSStatus status = AudioComponentValidateWithResults(
        component, options, [shared, caller](AudioComponentValidationResult result, nlohmann::json results) {
            shared->result = result;
            shared->results = std::move(results);
            shared->onCallingThread = std::this_thread::get_id() == caller;
            if (++shared->calls == 1) shared->done.set_value();
        });
    EXPECT_EQ(status, noErr);
    if (status != noErr) return {};
    EXPECT_EQ(shared->done.get_future().wait_for(std::chrono::seconds(180)), std::future_status::ready);
    // Give a second call, were there one, the chance to show itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(shared->calls, 1);
    EXPECT_FALSE(shared->onCallingThread);
    Validation v{shared->result, {}, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
    const auto output = shared->results.find("Output");
    EXPECT_TRUE(shared->results.is_object() && output != shared->results.end() && output->is_array())
        << shared->results.dump();
    if (output != shared->results.end() && output->is_array())
        for (const auto& line : *output) v.lines.push_back(line.get<std::string>());
    return v;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& start, const std::string& end = "") {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.starts_with(start) && l.ends_with(end); });
}

class Validator : public ::testing::Test {
protected:
    void SetUp() override { ::setenv(kAudioComponentValidatorEnvironmentVariable, VALIDATION_TEST_VALIDATOR, 1); }
    void TearDown() override { ::unsetenv(kAudioComponentValidatorEnvironmentVariable); }
};

TEST_F(Validator, AGoodEffectPassesEveryCheckOnItsOwnLine) {
    const auto component = testComponent("good");
    ASSERT_TRUE(component);
    const auto v = validate(component);
    EXPECT_EQ(v.result, kAudioComponentValidationResult_Passed) << joined(v.lines);
    // Every check passed, in this order, each once.
    const std::vector<std::string> checks{
        "PASS open (cold): ",
        "PASS open (warm): ",
        "PASS registration: \"Dunmarrow Tests: ValidationTestGood\" aufx good DmVt, version 1.1.2, " +
            component->bundlePath.string(),
        "PASS busses: 1 input, 1 output",
        "PASS default formats: input 0 2 ch 44100 Hz, output 0 2 ch 44100 Hz",
        "PASS channel capabilities: [1, 1, 2, 2]",
        "PASS parameter addresses unique: 2 parameters",
        "PASS parameter identifiers unique: 2 parameters",
        "PASS parameter main.gain (address 0): range 0 to 2, default 1, texts \"0\", \"2\"",
        "PASS parameter main.polarity (address 1): range 0 to 1, default 0, texts \"Normal\", \"Inverted\"",
        "PASS factory preset 0 \"Unity\": selected, 2 values within range",
        "PASS factory preset 1 \"Half, inverted\": selected, 2 values within range",
        "PASS render at 22050 Hz: cycles of 1, 17, 64, 256, 1024, 4096 frames, in place and out of place, output finite",
        "PASS render at 44100 Hz: ",
        "PASS render at 48000 Hz: ",
        "PASS render at 88200 Hz: ",
        "PASS render at 96000 Hz: ",
        "PASS render at 192000 Hz: cycles of 1, 17, 64, 256, 1024, 4096 frames, in place and out of place, output finite",
        "PASS too many frames: a cycle of 4097 frames returned -10874",
        "PASS bypass: 2048 frames of input rendered unchanged",
        "PASS parameter automation: 2 parameters, new values every 32 frames over 8192 frames, output finite",
        "PASS no allocation on the render thread: ",
        "PASS fullState round trip: 2 values restored in a second instance",
        "Validation passed: 23 checks",
    };
    ASSERT_EQ(v.lines.size(), checks.size()) << joined(v.lines);
    for (std::size_t i = 0; i < checks.size(); ++i) EXPECT_TRUE(v.lines[i].starts_with(checks[i])) << v.lines[i];
    EXPECT_TRUE(v.lines[0].ends_with(" ms")) << v.lines[0];  // opening is timed
}

// Each faulty effect: the result, the lines that must be there (start and end),
// how many checks failed (-1: not counted) and the last line.
TEST_F(Validator, EachFaultIsReportedWithWhereItAppeared) {
    using Line = std::pair<std::string, std::string>;
    struct Case {
        const char subtype[5];
        nlohmann::json options;
        AudioComponentValidationResult result;
        std::vector<Line> lines;
        int failures;
        std::string last;
    };
    const nlohmann::json forced = {{"ForceValidation", true}};
    const Case cases[] = {
        // The last preset selected (half gain, inverted) is still in force, so
        // the very first sample differs from the input.
        {"nbyp", forced, kAudioComponentValidationResult_Failed,
         {{"FAIL bypass: cycle of 256 frames out of place: output ", " at frame 0 of channel 0"}}, 1,
         "Validation failed: 1 of 23 checks failed: bypass"},
        {"nans", forced, kAudioComponentValidationResult_Failed,
         {{"FAIL render at 22050 Hz: cycle of 1 frame in place: NaN at frame 0 of channel 0", ""},
          {"FAIL render at 192000 Hz: cycle of 1 frame in place: NaN", ""},
          {"FAIL bypass: cycle of 256 frames out of place: NaN at frame 0", ""},
          {"FAIL parameter automation: cycle of 256 frames out of place: NaN", ""},
          {"PASS fullState round trip", ""}},
         8,
         "Validation failed: 8 of 23 checks failed: render at 22050 Hz, render at 44100 Hz, render at 48000 Hz, "
         "render at 88200 Hz, render at 96000 Hz, render at 192000 Hz, bypass, parameter automation"},
        {"allo", forced, kAudioComponentValidationResult_Failed,
         {{"FAIL no allocation on the render thread: ", ", the first during render at 22050 Hz"}}, 1,
         "Validation failed: 1 of 23 checks failed: no allocation on the render thread"},
        // What the validator printed before it hung or crashed is kept.
        {"hang", {{"ForceValidation", true}, {"TimeOut", 3}}, kAudioComponentValidationResult_TimedOut,
         {{"PASS open (cold): ", ""}, {"PASS fact", ""}}, -1,
         "Validation timed out after 3 s; the validator was stopped"},
        {"crsh", forced, kAudioComponentValidationResult_Failed, {{"PASS open (cold): ", ""}}, -1,
         "Validation crashed: the validator was ended by signal 6 (Aborted)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subtype);
        const auto component = testComponent(c.subtype);
        ASSERT_TRUE(component);
        const auto v = validate(component, c.options);
        EXPECT_EQ(v.result, c.result);
        if (c.result == kAudioComponentValidationResult_TimedOut) {
            EXPECT_LT(v.seconds, 30.0);
        }
        for (const auto& [start, end] : c.lines) EXPECT_TRUE(hasLine(v.lines, start, end)) << start << joined(v.lines);
        if (c.failures >= 0) {
            EXPECT_EQ(std::count_if(v.lines.begin(), v.lines.end(), [](const auto& l) { return l.starts_with("FAIL "); }),
                      c.failures);
        }
        ASSERT_FALSE(v.lines.empty());
        EXPECT_EQ(v.lines.back(), c.last);
    }
}

TEST_F(Validator, AComponentThatCannotBeOpenedIsReportedAsSuch) {
    // Described by a bundle that does not exist: the validator finds nothing.
    auto missing = std::make_shared<AVAudioUnitComponent>(*testComponent("good"));
    missing->audioComponentDescription = testDescription("gone");
    missing->bundlePath = std::filesystem::path(VALIDATION_TEST_BUNDLES) / "Missing.auext";
    const auto v = validate(missing);
    EXPECT_EQ(v.result, kAudioComponentValidationResult_UnauthorizedError_Open);
    EXPECT_EQ(v.lines, (std::vector<std::string>{
                           "FAIL open (cold): No installed audio unit matches type aufx, subtype gone, manufacturer DmVt",
                           "Validation failed: the component could not be opened"}));
}

TEST_F(Validator, AValidatorThatCannotBeStartedIsNeverAPassAndResultsAreKeptUntilForced) {
    const auto component = testComponent("good");
    ASSERT_EQ(validate(component).result, kAudioComponentValidationResult_Passed);
    const std::string nowhere = std::string(VALIDATION_TEST_BUNDLES) + "/no-such-validator";
    ::setenv(kAudioComponentValidatorEnvironmentVariable, nowhere.c_str(), 1);
    // Without ForceValidation the earlier result of the same module stands.
    const auto cached = validate(component, nlohmann::json::object());
    EXPECT_EQ(cached.result, kAudioComponentValidationResult_Passed);
    EXPECT_TRUE(hasLine(cached.lines, "Validation passed"));
    const auto forced = validate(component);
    EXPECT_EQ(forced.result, kAudioComponentValidationResult_Unknown);
    EXPECT_EQ(forced.lines, std::vector<std::string>{"The validator " + nowhere +
                                                     " could not be started: No such file or directory"});
}

TEST_F(Validator, TheValidatorIsFoundBesideTheRunningProgram) {
    ::unsetenv(kAudioComponentValidatorEnvironmentVariable);
    const auto beside = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "dunmarrow-validate";
    if (!std::filesystem::exists(beside)) GTEST_SKIP() << "no validator beside " << beside;
    EXPECT_EQ(validate(testComponent("good")).result, kAudioComponentValidationResult_Passed);
}

TEST_F(Validator, BadArgumentsAreRefusedWithoutACall) {
    const auto handler = [](AudioComponentValidationResult, nlohmann::json) { ADD_FAILURE() << "called"; };
    EXPECT_EQ(AudioComponentValidateWithResults(nullptr, {}, handler), kAudioUnitErr_InvalidParameter);
    EXPECT_EQ(AudioComponentValidateWithResults(testComponent("good"), nlohmann::json::array(), handler),
              kAudioUnitErr_InvalidParameter);
    EXPECT_EQ(AudioComponentValidateWithResults(testComponent("good"), {}, nullptr), kAudioUnitErr_InvalidParameter);
}

// The tool on its own: its exit status says passed (0), failed (1) or could not open (2).
TEST_F(Validator, TheToolExitsWithZeroOneOrTwo) {
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"aufx", "good", "DmVt"}, 0}, {{"aufx", "nbyp", "DmVt"}, 1}, {{"aufx", "zzzz", "DmVt"}, 2},
        {{"aufx", "toolong", "DmVt"}, 2}, {{"aufx"}, 2},
    };
    testsupport::ProgramOptions options;
    options.environment["DUNMARROW_AUDIO_UNIT_PATH"] = VALIDATION_TEST_BUNDLES;
    for (const auto& [codes, status] : cases) {
        std::vector<std::string> command{VALIDATION_TEST_VALIDATOR};
        command.insert(command.end(), codes.begin(), codes.end());
        const auto run = testsupport::runProgram(command, options);
        EXPECT_EQ(run.status, status) << codes[1 % codes.size()] << run.err;
        if (codes.size() == 3 && codes[1] == "zzzz") {
            EXPECT_EQ(run.out, "FAIL open (cold): No installed audio unit matches type aufx, subtype zzzz, manufacturer DmVt\n"
                               "Validation failed: the component could not be opened\n");
        }
    }
}

TEST_F(Validator, TheEffectPasses) {
    AudioComponentRegistry registry({VALIDATION_TEST_LIB_DIR});
    const auto effect = registry.findComponent({kAudioUnitType_Effect, fourCharCode("dmds"), fourCharCode("QVRN"), 0, 0});
    if (!effect) GTEST_SKIP() << "the effect's bundle is not in " << VALIDATION_TEST_LIB_DIR << " in this build";
    const auto v = validate(effect);
    EXPECT_EQ(v.result, kAudioComponentValidationResult_Passed) << joined(v.lines);
    EXPECT_TRUE(hasLine(v.lines, "PASS bypass"));
    EXPECT_TRUE(hasLine(v.lines, "PASS no allocation on the render thread"));
}

}  // namespace
