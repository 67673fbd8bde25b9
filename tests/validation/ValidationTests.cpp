// AudioComponentValidateWithResults and the validator it runs, against test
// effects that pass, that carry one fault each, that hang and that crash, and
// against the real effect when its bundle is in the build.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "audiounit/AudioComponentRegistry.hpp"
#include "audiounit/AudioComponentValidation.hpp"

using namespace audiounit;

namespace {

struct Validation {
    AudioComponentValidationResult result = kAudioComponentValidationResult_Unknown;
    nlohmann::json results;
    std::vector<std::string> lines;
    int handlerCalls = 0;
    bool handlerOnCallingThread = false;
    double seconds = 0;
};

AudioComponentDescription testDescription(const char (&subtype)[5]) {
    return {kAudioUnitType_Effect, fourCharCode(subtype), fourCharCode("DmVt"), 0, 0};
}

AVAudioUnitComponentPtr testComponent(const char (&subtype)[5]) {
    static AudioComponentRegistry registry({VALIDATION_TEST_BUNDLES});
    return registry.findComponent(testDescription(subtype));
}

// Validates and waits for the handler (which must come exactly once).
Validation validate(const AVAudioUnitComponentPtr& component, nlohmann::json options = {{"ForceValidation", true}}) {
    struct Shared {
        std::promise<void> done;
        Validation validation;
    };
    auto shared = std::make_shared<Shared>();
    const auto caller = std::this_thread::get_id();
    const auto start = std::chrono::steady_clock::now();
    const OSStatus status = AudioComponentValidateWithResults(
        component, options, [shared, caller](AudioComponentValidationResult result, nlohmann::json results) {
            auto& v = shared->validation;
            v.result = result;
            v.results = std::move(results);
            v.handlerOnCallingThread = std::this_thread::get_id() == caller;
            if (++v.handlerCalls == 1) shared->done.set_value();
        });
    EXPECT_EQ(status, noErr);
    if (status != noErr) return {};
    EXPECT_EQ(shared->done.get_future().wait_for(std::chrono::seconds(180)), std::future_status::ready);
    // Give a second call, were there one, the chance to show itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Validation v = shared->validation;
    v.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(v.handlerCalls, 1);
    EXPECT_FALSE(v.handlerOnCallingThread);
    const auto output = v.results.find("Output");
    EXPECT_TRUE(v.results.is_object() && output != v.results.end() && output->is_array()) << v.results.dump();
    if (output != v.results.end() && output->is_array())
        for (const auto& line : *output) v.lines.push_back(line.get<std::string>());
    return v;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

bool hasLineStartingWith(const std::vector<std::string>& lines, const std::string& start) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(start); });
}

std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines, const std::string& start) {
    std::vector<std::string> found;
    for (const auto& line : lines)
        if (line.starts_with(start)) found.push_back(line);
    return found;
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
    ASSERT_FALSE(v.lines.empty());

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
    // Opening is timed in milliseconds.
    EXPECT_TRUE(v.lines[0].ends_with(" ms")) << v.lines[0];
}

TEST_F(Validator, AnEffectThatIgnoresBypassFailsTheBypassCheckAlone) {
    const auto v = validate(testComponent("nbyp"));
    EXPECT_EQ(v.result, kAudioComponentValidationResult_Failed);
    const auto failures = linesStartingWith(v.lines, "FAIL ");
    ASSERT_EQ(failures.size(), 1u) << joined(v.lines);
    // The last preset selected (half gain, inverted) is still in force, so the
    // very first sample differs from the input.
    EXPECT_TRUE(failures[0].starts_with("FAIL bypass: cycle of 256 frames out of place: output ")) << failures[0];
    EXPECT_TRUE(failures[0].ends_with(" at frame 0 of channel 0")) << failures[0];
    ASSERT_FALSE(v.lines.empty());
    EXPECT_EQ(v.lines.back(), "Validation failed: 1 of 23 checks failed: bypass");
}

TEST_F(Validator, NaNOutputFailsEveryRenderCheckWithWhereItAppeared) {
    const auto v = validate(testComponent("nans"));
    EXPECT_EQ(v.result, kAudioComponentValidationResult_Failed);
    EXPECT_TRUE(hasLineStartingWith(v.lines, "FAIL render at 22050 Hz: cycle of 1 frame in place: NaN at frame 0 "
                                             "of channel 0"))
        << joined(v.lines);
    EXPECT_TRUE(hasLineStartingWith(v.lines, "FAIL render at 192000 Hz: cycle of 1 frame in place: NaN"));
    EXPECT_TRUE(hasLineStartingWith(v.lines, "FAIL bypass: cycle of 256 frames out of place: NaN at frame 0"));
    EXPECT_TRUE(hasLineStartingWith(v.lines, "FAIL parameter automation: cycle of 256 frames out of place: NaN"));
    EXPECT_TRUE(hasLineStartingWith(v.lines, "PASS fullState round trip"));
    ASSERT_FALSE(v.lines.empty());
    EXPECT_EQ(v.lines.back(),
              "Validation failed: 8 of 23 checks failed: render at 22050 Hz, render at 44100 Hz, render at 48000 Hz, "
              "render at 88200 Hz, render at 96000 Hz, render at 192000 Hz, bypass, parameter automation");
}

TEST_F(Validator, AllocationOnTheRenderThreadIsCaught) {
    const auto v = validate(testComponent("allo"));
    EXPECT_EQ(v.result, kAudioComponentValidationResult_Failed);
    const auto failures = linesStartingWith(v.lines, "FAIL ");
    ASSERT_EQ(failures.size(), 1u) << joined(v.lines);
    EXPECT_TRUE(failures[0].starts_with("FAIL no allocation on the render thread: ")) << failures[0];
    EXPECT_TRUE(failures[0].ends_with(", the first during render at 22050 Hz")) << failures[0];
}

TEST_F(Validator, AHungValidationIsStoppedAndReportedAsTimedOut) {
    const auto v = validate(testComponent("hang"), {{"ForceValidation", true}, {"TimeOut", 3}});
    EXPECT_EQ(v.result, kAudioComponentValidationResult_TimedOut);
    EXPECT_LT(v.seconds, 30.0);
    // What the validator printed before it hung is kept.
    EXPECT_TRUE(hasLineStartingWith(v.lines, "PASS open (cold): ")) << joined(v.lines);
    EXPECT_TRUE(hasLineStartingWith(v.lines, "PASS fact"));
    EXPECT_FALSE(hasLineStartingWith(v.lines, "Validation passed"));
    ASSERT_FALSE(v.lines.empty());
    EXPECT_EQ(v.lines.back(), "Validation timed out after 3 s; the validator was stopped");
}

TEST_F(Validator, ACrashedValidationIsReportedAsCrashedAndFailed) {
    const auto v = validate(testComponent("crsh"));
    EXPECT_EQ(v.result, kAudioComponentValidationResult_Failed);
    EXPECT_TRUE(hasLineStartingWith(v.lines, "PASS open (cold): ")) << joined(v.lines);
    ASSERT_FALSE(v.lines.empty());
    EXPECT_EQ(v.lines.back(), "Validation crashed: the validator was ended by signal 6 (Aborted)");
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
    EXPECT_TRUE(cached.lines.back().starts_with("Validation passed"));

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

// The tool on its own: its exit status says passed, failed or could not open.
TEST_F(Validator, TheToolExitsWithZeroOneOrTwo) {
    const auto run = [](const std::string& codes) {
        const std::string command = std::string("DUNMARROW_AUDIO_UNIT_PATH=") + VALIDATION_TEST_BUNDLES + " " +
                                    VALIDATION_TEST_VALIDATOR + " " + codes + " 2>/dev/null";
        std::FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) return std::pair{-1, std::string()};
        std::string output;
        char chunk[4096];
        while (const std::size_t count = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, count);
        const int status = ::pclose(pipe);
        return std::pair{WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
    };
    EXPECT_EQ(run("aufx good DmVt").first, 0);
    EXPECT_EQ(run("aufx nbyp DmVt").first, 1);
    const auto [status, output] = run("aufx zzzz DmVt");
    EXPECT_EQ(status, 2);
    EXPECT_EQ(output, "FAIL open (cold): No installed audio unit matches type aufx, subtype zzzz, manufacturer DmVt\n"
                      "Validation failed: the component could not be opened\n");
    EXPECT_EQ(run("aufx toolong DmVt").first, 2);
    EXPECT_EQ(run("aufx").first, 2);
}

TEST_F(Validator, TheEffectPasses) {
    AudioComponentRegistry registry({VALIDATION_TEST_LIB_DIR});
    const auto effect = registry.findComponent({kAudioUnitType_Effect, fourCharCode("dmds"), fourCharCode("QVRN"), 0, 0});
    if (!effect) GTEST_SKIP() << "the effect's bundle is not in " << VALIDATION_TEST_LIB_DIR << " in this build";
    const auto v = validate(effect);
    EXPECT_EQ(v.result, kAudioComponentValidationResult_Passed) << joined(v.lines);
    EXPECT_TRUE(hasLineStartingWith(v.lines, "PASS bypass"));
    EXPECT_TRUE(hasLineStartingWith(v.lines, "PASS no allocation on the render thread"));
}

}  // namespace
