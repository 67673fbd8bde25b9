// The JACK output on a private dummy-driver server: client, ports, playback links, the exact signal.

#include <gtest/gtest.h>

#include <algorithm>

#include "EngineTestSupport.hpp"
#include "JackRecorder.hpp"
#include "JackTestServer.hpp"
#include "engine/JackAudioOutput.hpp"

using namespace enginetest;

namespace {

TEST(JackOutput, PlaysTheFileToAClientOfAPrivateServer) {
    if (testsupport::JackTestServer::jackdPath().empty()) GTEST_SKIP() << "jackd is not installed";
    testsupport::JackTestServer server;
    ASSERT_TRUE(server.ready()) << "the private JACK server did not come up";

    TempDir dir;
    const Channels samples = sine(2, 9600, 750.0, 48000.0, 0.5f);
    auto file = writeAndOpen(dir, "tone.wav", 48000, samples);
    ASSERT_TRUE(file);

    engine::AVAudioEngineOptions options;
    options.clientName = "DunmarrowAU";
    engine::AVAudioEngine e(options);
    const auto hardware = e.outputNode()->outputFormatForBus(0);
    ASSERT_EQ(e.outputKind(), engine::AVAudioEngineOutputKind::Jack);
    EXPECT_EQ(hardware->sampleRate(), 48000.0);
    EXPECT_EQ(hardware->channelCount(), 2u);
    engine::JackAudioOutput* jack = e.jackOutput();
    ASSERT_NE(jack, nullptr);
    EXPECT_EQ(jack->portNames(), (std::vector<std::string>{"DunmarrowAU:out_1", "DunmarrowAU:out_2"}));

    auto player = std::make_shared<engine::AVAudioPlayerNode>();
    chain(e, {player, e.mainMixerNode()}, file->processingFormat());
    foundation::NSError error;
    ASSERT_TRUE(e.start(&error)) << error.localizedDescription();

    // Without real-time scheduling a loaded machine may make JACK skip our cycle and drop a period;
    // one whole playback proves the path exact, so a dropped period earns another attempt.
    std::string failure;
    bool exact = false;
    for (int attempt = 0; attempt < 3 && !exact; ++attempt) {
        testsupport::JackRecorder recorder(48000 * 4);
        ASSERT_TRUE(recorder.ok());
        for (std::size_t i = 0; i < 2 && attempt == 0; ++i) {
            const char** links = jack_port_get_connections(jack_port_by_name(recorder.client(), jack->portNames()[i].c_str()));
            ASSERT_NE(links, nullptr);
            EXPECT_EQ(std::string(links[0]), "system:playback_" + std::to_string(i + 1));
            jack_free(static_cast<void*>(links));
        }
        ASSERT_TRUE(recorder.listenTo("DunmarrowAU:out_1"));
        std::atomic<int> completions{0};
        ASSERT_TRUE(player->scheduleFile(file, [&] { completions.fetch_add(1); }));
        player->play();
        ASSERT_TRUE(waitFor([&] { return completions.load() == 1; }, std::chrono::seconds(5)));
        ASSERT_TRUE(waitFor([&] { return recorder.recorded() > 48000; }, std::chrono::seconds(5)));

        // The sine starts at 0, so the first non-zero sample is the file's second.
        const auto got = recorder.samples().begin();
        const auto start = std::find_if(got + 1, got + long(recorder.recorded()), [](float s) { return s != 0.0f; }) - 1;
        ASSERT_LT(start - got + samples[0].size(), recorder.recorded());
        const auto [fileAt, playedAt] = std::mismatch(samples[0].begin(), samples[0].end(), start);
        exact = fileAt == samples[0].end();
        if (!exact)
            failure = "attempt " + std::to_string(attempt + 1) + ": frame " + std::to_string(fileAt - samples[0].begin()) +
                      " is " + std::to_string(*playedAt) + ", the file has " + std::to_string(*fileAt);
    }
    EXPECT_TRUE(exact) << failure;
    e.stop();
    EXPECT_FALSE(e.isRunning());
}

}  // namespace
