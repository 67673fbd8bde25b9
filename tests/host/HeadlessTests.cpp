// The DunmarrowAU program run headless, end to end, as a child process: the
// test effect (a gain of 0.5 under the effect's codes) loaded, validated and
// rendered offline over the looped file.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <sstream>

#include "HeadlessRunner.hpp"
#include "HostTestSupport.hpp"

using namespace hosttest;

namespace {

struct ProgramRun {
    int status = -1;
    std::string output;
};

ProgramRun runProgram(const std::string& arguments) {
    const std::string command = std::string("DUNMARROW_AUDIO_UNIT_PATH='") + HOST_TEST_BUNDLES + "' '" +
                                HOST_TEST_PROGRAM + "' " + arguments + " 2>&1";
    ProgramRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    std::array<char, 4096> chunk{};
    std::size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) run.output.append(chunk.data(), got);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

TEST(Headless, RendersTheLoopedFileThroughTheEffectIntoTheOutputFile) {
    TempDir folder;
    const auto output = folder.path() / "render.wav";
    // 7 s: longer than the 6 s file, so the loop comes round once.
    const auto run = runProgram("--headless --seconds 7 --output '" + output.string() + "'");
    ASSERT_EQ(run.status, 0) << run.output;
    const auto printed = lines(run.output);
    const auto position = [&](const std::string& line) {
        return std::find(printed.begin(), printed.end(), line) - printed.begin();
    };
    const auto loaded = position("Successfully loaded (aufx dmds QVRN)");
    ASSERT_LT(static_cast<std::size_t>(loaded), printed.size()) << run.output;
    auto verdict = position("Validation Passed");
    if (static_cast<std::size_t>(verdict) == printed.size()) verdict = position("Validation Failed");
    ASSERT_LT(static_cast<std::size_t>(verdict), printed.size()) << run.output;
    EXPECT_LT(loaded + 1, verdict) << "the validation output comes between";

    double rate = 0;
    const auto rendered = readSoundFile(output, &rate);
    const auto source = readSoundFile(HOST_TEST_SYNTH);
    ASSERT_EQ(rate, 44100.0);
    ASSERT_EQ(rendered.size(), 2u);
    ASSERT_EQ(rendered[0].size(), 7u * 44100u);
    const std::size_t length = source[0].size();
    float sourcePeak = 0;
    for (const auto& channel : source) {
        for (const float sample : channel) sourcePeak = std::max(sourcePeak, std::fabs(sample));
    }
    for (std::size_t c = 0; c < 2; ++c) {
        for (std::size_t i = 0; i < rendered[c].size(); ++i) {
            ASSERT_NEAR(rendered[c][i], source[c][i % length] * kEffectGain, 1e-6f)
                << "channel " << c << " frame " << i;
        }
    }
    char expectedInput[64];
    std::snprintf(expectedInput, sizeof expectedInput, "Input peak level: %.4f", static_cast<double>(sourcePeak));
    char expectedOutput[64];
    std::snprintf(expectedOutput, sizeof expectedOutput, "Output peak level: %.4f",
                  static_cast<double>(sourcePeak * kEffectGain));
    EXPECT_NE(run.output.find(expectedInput), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(expectedOutput), std::string::npos) << run.output;
}

TEST(Headless, PlaysThroughTheOutputAndSaysWhenRunWithoutAWindow) {
    const auto run = runProgram("--seconds 0.3 --screenshot shot.png");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("DunmarrowAU: no window in this build yet; running headless"), std::string::npos);
    EXPECT_NE(run.output.find("DunmarrowAU: --screenshot is not available yet"), std::string::npos);
    EXPECT_NE(run.output.find("Successfully loaded (aufx dmds QVRN)"), std::string::npos);
    EXPECT_NE(run.output.find("Output peak level: "), std::string::npos);
}

TEST(Headless, RefusesBadArguments) {
    std::string error;
    EXPECT_FALSE(parseHeadlessOptions({"--seconds", "-1"}, error));
    EXPECT_FALSE(parseHeadlessOptions({"--seconds", "abc"}, error));
    EXPECT_FALSE(parseHeadlessOptions({"--output"}, error));
    EXPECT_FALSE(parseHeadlessOptions({"--frobnicate"}, error));
    EXPECT_EQ(error, "unknown argument \"--frobnicate\"");
    const auto options = parseHeadlessOptions({"--headless", "--seconds", "2.5", "--output", "x.wav"}, error);
    ASSERT_TRUE(options);
    EXPECT_TRUE(options->headless);
    EXPECT_EQ(options->seconds, 2.5);
    EXPECT_EQ(options->output, "x.wav");
    EXPECT_EQ(runProgram("--bogus").status, 2);
}

}  // namespace
