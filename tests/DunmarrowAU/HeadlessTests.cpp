// The DunmarrowAU program run headless: the test effect (a gain) over the looped file, the display fallback, failures.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "AudioFileIO.hpp"
#include "HeadlessRunner.hpp"
#include "HostProgram.hpp"
#include "HostTestSupport.hpp"
#include "WindowTestSupport.hpp"

using namespace hosttest;

namespace {

TEST(Headless, RendersTheLoopedFileThroughTheEffectAndWritesTheWindowOnceValidated) {
    TempDir folder;
    const auto output = folder.path("render.wav"), png = folder.path("window.png"), json = folder.path("window.json");
    // 7 s: longer than the 6 s file, so the loop comes round once.
    const auto run = runHost({"--headless", "--seconds", "7", "--output", output, "--screenshot", png, "--inspect", json});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    // The test effect has no bypass of its own, so the validator may fail it.
    const std::string verdict =
        run.out.find("\nValidation Passed\n") != std::string::npos ? "Validation Passed" : "Validation Failed";
    const auto loaded = run.out.find("Successfully loaded (aufx dmds QVRN)\n");
    ASSERT_NE(loaded, std::string::npos) << run.out;
    const auto judged = run.out.find("\n" + verdict + "\n");
    EXPECT_LT(run.out.find('\n', loaded) + 1, judged) << "the validation output comes between";
    EXPECT_EQ(run.out.find("\n" + verdict + "\nWindow written to " + png + "\nWindow layout written to " + json + "\n"),
              judged)
        << run.out;

    const auto rendered = testsupport::readAudio(output), source = testsupport::readAudio(HOST_TEST_SYNTH);
    ASSERT_EQ(rendered.info.samplerate, 44100);
    ASSERT_EQ(rendered.info.channels, 2);
    ASSERT_EQ(source.info.channels, 2);
    ASSERT_EQ(rendered.info.frames, 7 * 44100);
    float sourcePeak = 0;
    for (const float sample : source.samples) sourcePeak = std::max(sourcePeak, std::fabs(sample));
    for (std::size_t i = 0; i < rendered.samples.size(); ++i)
        ASSERT_NEAR(rendered.samples[i], source.samples[i % source.samples.size()] * kEffectGain, 1e-6f) << i;
    for (const auto& [name, peak] : {std::pair{"Input", sourcePeak}, {"Output", sourcePeak * kEffectGain}}) {
        char line[64];
        std::snprintf(line, sizeof line, "\n%s peak level: %.4f (", name, static_cast<double>(peak));
        EXPECT_NE(run.out.find(line), std::string::npos) << line << " in\n" << run.out;
    }

    std::ifstream jsonFile(json);
    const auto tree = nlohmann::json::parse(jsonFile, nullptr, false);
    ASSERT_FALSE(tree.is_discarded());
    EXPECT_EQ(tree.value("type", ""), "ContentView");
    EXPECT_EQ(collectTexts(tree), (std::vector<std::string>{"aufx dmds QVRN", verdict, "Audio Playback", "Play"}));
    EXPECT_EQ(frameInTree(tree, "HostTestEditor").value_or(ui::Rect{}).width, kEditorSize.width);
    // The PNG's width and height: the root's frame, rounded up.
    const std::string header = testsupport::fileContents(png).substr(0, 24);
    ASSERT_EQ(header.substr(1, 3), "PNG");
    const auto big = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = at; i < at + 4; ++i) value = value << 8 | std::uint8_t(header[i]);
        return value;
    };
    EXPECT_EQ(big(16), std::uint32_t(std::ceil(tree.at("frame").at("width").get<double>())));
    EXPECT_EQ(big(20), std::uint32_t(std::ceil(tree.at("frame").at("height").get<double>())));
    // No temporary files left beside them.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), std::filesystem::directory_iterator()), 3);
}

TEST(Headless, AnUnusableDisplayIsSaidAndFailuresEndWithTheReasonAndTheirStatus) {
    // Without a usable display (and no file to write), played through the output.
    const std::pair<const char*, std::string> displays[] = {
        {testsupport::kUnset, "no X display (DISPLAY is not set)"}, {":999999", "cannot open X display \":999999\""}};
    for (const auto& [display, why] : displays) {
        const auto played = runHost({"--seconds", "0.3"}, {{"DISPLAY", display}});
        EXPECT_EQ(played.status, 0) << played.out << played.err;
        EXPECT_EQ(played.out.find("DunmarrowAU: " + why + "; running headless\n"), 0u) << played.out;
        EXPECT_NE(played.out.find("\nOutput peak level: "), std::string::npos) << played.out;
    }

    auto run = runHost({"--headless", "--seconds", "0.2", "--screenshot", "/nonexistent-folder/window.png"});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("\nDunmarrowAU: "), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Window written to"), std::string::npos) << run.out;

    TempDir folder;
    writeBrokenEffectBundle(folder.path());
    run = runHost({"--headless", "--seconds", "0.2"}, {{"DUNMARROW_AUDIO_UNIT_PATH", folder.path()}});
    EXPECT_EQ(run.status, 1) << run.out;
    const std::string prefix = "DunmarrowAU: the audio unit could not be instantiated (";
    const auto last = run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1);
    EXPECT_EQ(last.rfind(prefix, 0), 0u) << run.out;
    EXPECT_NE(last.find("HostTestEffect.so"), std::string::npos) << run.out;
    EXPECT_NE(last.find("; nothing to validate or play\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Successfully loaded"), std::string::npos) << run.out;

    EXPECT_EQ(runHost({"--bogus"}).status, 2);
    std::string error;
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--seconds", "-1"}, {"--seconds", "abc"}, {"--output"}, {"--frobnicate"}})
        EXPECT_FALSE(parseHeadlessOptions(bad, error)) << bad[0];
    EXPECT_EQ(error, "unknown argument \"--frobnicate\"");
}

}  // namespace
