// The DunmarrowAU program run headless, end to end, as a child process: the
// test effect (a gain of 0.5 under the effect's codes) loaded, validated and
// rendered offline over the looped file.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <sstream>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "HeadlessRunner.hpp"
#include "HostTestSupport.hpp"
#include "WindowTestSupport.hpp"

using namespace hosttest;

namespace {

struct ProgramRun {
    int status = -1;
    std::string output;
};

ProgramRun runProgram(const std::string& arguments, const std::string& bundles = HOST_TEST_BUNDLES) {
    // No display: whatever the environment has, these runs are headless.
    const std::string command = std::string("env -u DISPLAY DUNMARROW_AUDIO_UNIT_PATH='") + bundles + "' '" +
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

TEST(Headless, WithoutADisplayPlaysThroughTheOutputAndSaysSo) {
    const auto run = runProgram("--seconds 0.3");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("DunmarrowAU: no X display (DISPLAY is not set); running headless\n"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("Successfully loaded (aufx dmds QVRN)"), std::string::npos);
    EXPECT_NE(run.output.find("Output peak level: "), std::string::npos);
}

TEST(Headless, WritesTheWindowWithTheEditorAsPNGAndInspectionOnceValidated) {
    TempDir folder;
    const auto png = folder.path() / "window.png";
    const auto json = folder.path() / "window.json";
    const auto run = runProgram("--headless --seconds 0.2 --screenshot '" + png.string() + "' --inspect '" +
                                json.string() + "'");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Window written to " + png.string() + "\n"), std::string::npos) << run.output;
    // The snapshot follows the verdict, and shows it on the badge. (The test
    // effect has no bypass of its own, so the validator fails it.)
    const std::string verdict =
        run.output.find("\nValidation Passed\n") != std::string::npos ? "Validation Passed" : "Validation Failed";
    EXPECT_LT(run.output.find("\n" + verdict + "\n"), run.output.find("Window written to")) << run.output;

    std::ifstream jsonFile(json);
    const auto tree = nlohmann::json::parse(jsonFile, nullptr, false);
    ASSERT_FALSE(tree.is_discarded());
    EXPECT_EQ(stringField(tree, "type"), "ContentView");
    EXPECT_EQ(collectTexts(tree), (std::vector<std::string>{"aufx dmds QVRN", verdict, "Audio Playback", "Play"}));
    const auto editor = frameInTree(tree, "HostTestEditor");
    ASSERT_TRUE(editor);
    EXPECT_EQ(editor->width, kEditorSize.width);

    // The PNG is the window at its laid-out size: the root's frame, rounded up.
    std::ifstream pngFile(png, std::ios::binary);
    std::array<unsigned char, 24> header{};
    pngFile.read(reinterpret_cast<char*>(header.data()), header.size());
    ASSERT_EQ(pngFile.gcount(), 24);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(header.data()) + 1, 3), "PNG");
    const auto big = [&](std::size_t at) {
        return (std::uint32_t(header[at]) << 24) | (std::uint32_t(header[at + 1]) << 16) |
               (std::uint32_t(header[at + 2]) << 8) | std::uint32_t(header[at + 3]);
    };
    const auto& frame = tree.at("frame");
    EXPECT_EQ(big(16), std::uint32_t(std::ceil(frame.at("width").get<double>())));
    EXPECT_EQ(big(20), std::uint32_t(std::ceil(frame.at("height").get<double>())));
    // No temporary files left beside them.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), std::filesystem::directory_iterator()), 2);
}

TEST(Headless, AnUnwritableSnapshotIsAnErrorLine) {
    const auto run = runProgram("--headless --seconds 0.2 --screenshot /nonexistent-folder/window.png");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("DunmarrowAU: "), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Window written to"), std::string::npos) << run.output;
}

TEST(Headless, AUnitThatCannotBeMadeEndsWithTheReasonAndNoWordOfSuccess) {
    // The registry knows the component, but its module is no library.
    TempDir folder;
    std::filesystem::copy(std::string(HOST_TEST_BUNDLES) + "/HostTestEffect.auext", folder.path() / "HostTestEffect.auext",
                          std::filesystem::copy_options::recursive);
    std::filesystem::remove(folder.path() / "HostTestEffect.auext" / "HostTestEffect.so");
    std::ofstream(folder.path() / "HostTestEffect.auext" / "HostTestEffect.so") << "not a library";
    const auto run = runProgram("--headless --seconds 0.2", folder.path().string());
    EXPECT_EQ(run.status, 1) << run.output;
    const auto printed = lines(run.output);
    ASSERT_FALSE(printed.empty());
    EXPECT_EQ(printed.back().rfind("DunmarrowAU: the audio unit could not be instantiated (", 0), 0u) << run.output;
    EXPECT_NE(printed.back().find("HostTestEffect.so"), std::string::npos) << run.output;
    EXPECT_NE(printed.back().find("; nothing to validate or play"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Successfully loaded"), std::string::npos) << run.output;
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
