// AudioComponentValidateWithResults and the validator it runs, against test
// effects that pass, that carry faults, that hang and that crash.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
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
};

AVAudioUnitComponentPtr testComponent(const char (&subtype)[5]) {
    static AudioComponentRegistry registry({VALIDATION_TEST_BUNDLES});
    return registry.findComponent({kAudioUnitType_Effect, fourCharCode(subtype), fourCharCode("DmVt"), 0, 0});
}

// The handler must come exactly once, on another thread, with the validator's lines under "Output".
Validation validate(const AVAudioUnitComponentPtr& component, nlohmann::json options = {{"ForceValidation", true}}) {
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto done = std::make_shared<std::promise<Validation>>();
    const auto caller = std::this_thread::get_id();
    const OSStatus status = AudioComponentValidateWithResults(
        component, options, [calls, done, caller](AudioComponentValidationResult result, nlohmann::json results) {
            EXPECT_NE(std::this_thread::get_id(), caller);
            if (++*calls > 1) return;
            const auto output = results.is_object() ? results.value("Output", nlohmann::json()) : nlohmann::json();
            EXPECT_TRUE(output.is_array()) << results.dump();
            done->set_value({result, output.is_array() ? output.get<std::vector<std::string>>() : std::vector<std::string>{}});
        });
    EXPECT_EQ(status, noErr);
    auto future = done->get_future();
    if (status != noErr) return {};
    if (future.wait_for(std::chrono::seconds(180)) != std::future_status::ready) {
        ADD_FAILURE() << "no answer within 180 s";
        return {};
    }
    // Give a second call, were there one, the chance to show itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(*calls, 1);
    return future.get();
}

bool matches(const std::string& line, const std::string& pattern) {
    const auto star = pattern.find('*');
    if (star == std::string::npos) return line == pattern;
    return line.size() >= pattern.size() - 1 && line.starts_with(pattern.substr(0, star)) &&
           line.ends_with(pattern.substr(star + 1));
}

}  // namespace

// Per effect: lines that must come in this order ("*" is any text), the count of FAIL lines
// (-1: not counted; 0: the lines are all there is, then the verdict) and the last line.
TEST(Validator, EachCheckIsReportedOnItsOwnLineEachFaultWhereItAppearedAndAResultIsKeptUntilForced) {
    // The validator beside the running program, as a host finds it (the build's own if none is there).
    ::unsetenv(kAudioComponentValidatorEnvironmentVariable);
    if (!std::filesystem::exists(std::filesystem::read_symlink("/proc/self/exe").parent_path() / "dunmarrow-validate"))
        ::setenv(kAudioComponentValidatorEnvironmentVariable, VALIDATION_TEST_VALIDATOR, 1);
    struct Case {
        AVAudioUnitComponentPtr component;
        nlohmann::json options;
        AudioComponentValidationResult result;
        std::vector<std::string> lines;
        int failures;
        std::string last;
    };
    // Described by a bundle that does not exist: the validator finds nothing.
    const auto gone = std::make_shared<AVAudioUnitComponent>(*testComponent("good"));
    gone->audioComponentDescription.componentSubType = fourCharCode("gone");
    const nlohmann::json forced = {{"ForceValidation", true}};
    const std::string rendered = "cycles of 1, 17, 64, 256, 1024, 4096 frames, in place and out of place, output finite";
    const Case cases[] = {
        {testComponent("good"), forced, kAudioComponentValidationResult_Passed,
         {"PASS open (cold): * ms", "PASS open (warm): *",
          "PASS registration: \"Dunmarrow Tests: ValidationTestGood\" aufx good DmVt, version 1.1.2, " +
              std::string(VALIDATION_TEST_BUNDLES) + "/ValidationTestGood.auext",
          "PASS busses: 1 input, 1 output", "PASS default formats: input 0 2 ch 44100 Hz, output 0 2 ch 44100 Hz",
          "PASS channel capabilities: [1, 1, 2, 2]", "PASS parameter addresses unique: 2 parameters",
          "PASS parameter identifiers unique: 2 parameters",
          "PASS parameter main.gain (address 0): range 0 to 2, default 1, texts \"0\", \"2\"",
          "PASS parameter main.polarity (address 1): range 0 to 1, default 0, texts \"Normal\", \"Inverted\"",
          "PASS factory preset 0 \"Unity\": selected, 2 values within range",
          "PASS factory preset 1 \"Half, inverted\": selected, 2 values within range",
          "PASS render at 22050 Hz: " + rendered, "PASS render at 44100 Hz: " + rendered,
          "PASS render at 48000 Hz: " + rendered, "PASS render at 88200 Hz: " + rendered,
          "PASS render at 96000 Hz: " + rendered, "PASS render at 192000 Hz: " + rendered,
          "PASS too many frames: a cycle of 4097 frames returned -10874",
          "PASS bypass: 2048 frames of input rendered unchanged",
          "PASS parameter automation: 2 parameters, new values every 32 frames over 8192 frames, output finite",
          "PASS no allocation on the render thread: *",
          "PASS fullState round trip: 2 values restored in a second instance"},
         0, "Validation passed: 23 checks"},
        {testComponent("flty"), forced, kAudioComponentValidationResult_Failed,
         {"FAIL render at 22050 Hz: cycle of 1 frame in place: NaN at frame 0 of channel 0",
          "FAIL render at 192000 Hz: cycle of 1 frame in place: NaN*",
          "FAIL bypass: cycle of 256 frames out of place: output * at frame 0 of channel 0",
          "FAIL parameter automation: cycle of 256 frames out of place: NaN*",
          "FAIL no allocation on the render thread: *, the first during render at 22050 Hz",
          "PASS fullState round trip*"},
         9, "Validation failed: 9 of 23 checks failed: render at 22050 Hz, render at 44100 Hz, render at 48000 Hz, "
            "render at 88200 Hz, render at 96000 Hz, render at 192000 Hz, bypass, parameter automation, "
            "no allocation on the render thread"},
        // What the validator printed before it hung or crashed is kept.
        {testComponent("hang"), {{"ForceValidation", true}, {"TimeOut", 3}}, kAudioComponentValidationResult_TimedOut,
         {"PASS open (cold): *", "PASS fact*"}, -1, "Validation timed out after 3 s; the validator was stopped"},
        {testComponent("crsh"), forced, kAudioComponentValidationResult_Failed, {"PASS open (cold): *"}, -1,
         "Validation crashed: the validator was ended by signal 6 (Aborted)"},
        {gone, forced, kAudioComponentValidationResult_UnauthorizedError_Open,
         {"FAIL open (cold): No installed audio unit matches type aufx, subtype gone, manufacturer DmVt"}, 1,
         "Validation failed: the component could not be opened"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.last);
        const auto v = validate(c.component, c.options);
        EXPECT_EQ(v.result, c.result);
        auto at = v.lines.begin();
        for (const std::string& pattern : c.lines) {
            at = std::find_if(at, v.lines.end(), [&](const std::string& l) { return matches(l, pattern); });
            EXPECT_NE(at, v.lines.end()) << pattern << " in order in " << testing::PrintToString(v.lines);
        }
        if (c.failures >= 0) {
            EXPECT_EQ(std::count_if(v.lines.begin(), v.lines.end(), [](const auto& l) { return l.starts_with("FAIL "); }),
                      c.failures);
        }
        if (c.failures == 0) {
            EXPECT_EQ(v.lines.size(), c.lines.size() + 1) << testing::PrintToString(v.lines);
        }
        ASSERT_FALSE(v.lines.empty());
        EXPECT_EQ(v.lines.back(), c.last);
    }

    // Without ForceValidation the earlier result of the same module stands, even with no validator to start.
    const std::string nowhere = std::string(VALIDATION_TEST_BUNDLES) + "/no-such-validator";
    ::setenv(kAudioComponentValidatorEnvironmentVariable, nowhere.c_str(), 1);
    const auto cached = validate(testComponent("good"), nlohmann::json::object());
    EXPECT_EQ(cached.result, kAudioComponentValidationResult_Passed);
    EXPECT_TRUE(!cached.lines.empty() && cached.lines.back() == "Validation passed: 23 checks");
    const auto unstarted = validate(testComponent("good"));
    EXPECT_EQ(unstarted.result, kAudioComponentValidationResult_Unknown);
    EXPECT_EQ(unstarted.lines, std::vector<std::string>{"The validator " + nowhere +
                                                        " could not be started: No such file or directory"});
    ::unsetenv(kAudioComponentValidatorEnvironmentVariable);
}

TEST(Validator, BadArgumentsAreRefused) {
    const auto handler = [](AudioComponentValidationResult, nlohmann::json) { ADD_FAILURE() << "called"; };
    EXPECT_EQ(AudioComponentValidateWithResults(nullptr, {}, handler), kAudioUnitErr_InvalidParameter);
    EXPECT_EQ(AudioComponentValidateWithResults(testComponent("good"), nlohmann::json::array(), handler),
              kAudioUnitErr_InvalidParameter);
    EXPECT_EQ(AudioComponentValidateWithResults(testComponent("good"), {}, nullptr), kAudioUnitErr_InvalidParameter);
    // The tool: what is no code, or too few of them (the exit status of a verdict is the result above).
    for (const std::vector<std::string>& codes : {std::vector<std::string>{"aufx", "toolong", "DmVt"}, {"aufx"}}) {
        std::vector<std::string> command{VALIDATION_TEST_VALIDATOR};
        command.insert(command.end(), codes.begin(), codes.end());
        EXPECT_EQ(testsupport::runProgram(command).status, 2) << codes.size();
    }
}
