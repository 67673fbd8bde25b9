// The application's window on a private virtual X server: fitted to its
// content, named, drawn, and driven by real X input from another client; and
// the DunmarrowAU program choosing between its window and the headless mode.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "DunmarrowAUApp.hpp"
#include "HostTestSupport.hpp"
#include "ValidationView.hpp"
#include "WindowTestSupport.hpp"
#include "foundation/RunLoop.hpp"
// X11 last: its macros (None, Bool) clash with names in the headers above.
#include "VirtualDisplay.hpp"

using namespace hosttest;

namespace {

using testsupport::XClient;
using testsupport::Xvfb;

class HostWindowOnX : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server.installed()) GTEST_SKIP() << "Xvfb is not installed; the X window tests need it";
        ASSERT_FALSE(server.display().empty()) << "Xvfb did not report a display";
    }
    Xvfb server;
};

bool waitFor(const std::function<bool()>& done) { return pumpUntil(done, std::chrono::seconds(10)); }

TEST_F(HostWindowOnX, TheWindowFitsItsContentAndTakesRealClicks) {
    ManualValidation validation;
    AudioUnitHostModel::Configuration configuration;
    configuration.engine = engineConfiguration();
    configuration.validate = validation.function();
    DunmarrowAUApp app("aufx", "dmds", "QVRN", std::move(configuration));
    std::string error;
    auto created = DunmarrowAUApp::createWindow(server.display(), &error);
    ASSERT_NE(created, nullptr) << error;
    ui::Window& window = app.openWindow(std::move(created));
    window.show();
    XClient client(server.display());
    ASSERT_NE(client.display, nullptr);
    const auto host = window.contentView()->host();
    const auto id = window.windowId();

    EXPECT_EQ(client.name(id), "DunmarrowAU");
    ASSERT_TRUE(waitFor([&] { return app.hostModel->loadFinished(); }));
    validation.answer(kAudioComponentValidationResult_Passed, {{"Output", {"ok"}}});
    ASSERT_TRUE(waitFor([&] { return host->frameOf("Validation Passed").has_value(); }));
    // Fitted to the content once the badge is there (a main-queue job after the change).
    const auto fitted = [&] {
        const ui::Size ideal = host->idealSize();
        return ui::Size{std::ceil(ideal.width), std::ceil(ideal.height)};
    };
    ASSERT_TRUE(waitFor([&] { return window.size() == fitted(); })) << window.size() << " for " << fitted();

    // On screen: the green badge and the editor's own colour.
    const ui::Rect badge = *host->frameOf(ValidationView::kBadgeIdentifier);
    const ui::Rect editor = frameInTree(host->inspect(), "HostTestEditor").value_or(ui::Rect{});
    ASSERT_TRUE(waitFor([&] { return client.colour(id, editor.center()) == kEditorColour; }));
    expectColour(client.colour(id, {badge.x + 2, badge.center().y}), ui::Color::green());

    // Play and Stop through real button events.
    client.click(id, host->frameOf("Play")->center());
    ASSERT_TRUE(waitFor([&] { return host->frameOf("Stop").has_value(); }));
    EXPECT_TRUE(app.hostModel->playEngine->isPlaying());
    client.click(id, host->frameOf("Stop")->center());
    ASSERT_TRUE(waitFor([&] { return host->frameOf("Play").has_value(); }));
    EXPECT_FALSE(app.hostModel->playEngine->isPlaying());

    // The sheet opens on the badge and closes on "Close".
    client.click(id, badge.center());
    ASSERT_TRUE(waitFor([&] { return host->frameOf(ValidationView::kCloseIdentifier).has_value(); }));
    client.click(id, host->frameOf(ValidationView::kCloseIdentifier)->center());
    ASSERT_TRUE(waitFor([&] { return !host->frameOf(ValidationView::kCloseIdentifier).has_value(); }));

    // A closed window ends the application's run at once.
    window.close();
    app.runUntilWindowCloses();
    EXPECT_TRUE(window.isClosed());
}

struct ProgramRun {
    int status = -1;
    std::string output;
};

// Runs the program in the background with `environment` prefixed; `whileRunning`
// runs meanwhile.
ProgramRun runProgram(const std::string& environment, const std::string& arguments,
                      const std::function<void()>& whileRunning = {}) {
    const std::string command = environment + " DUNMARROW_AUDIO_UNIT_PATH='" + HOST_TEST_BUNDLES + "' '" +
                                HOST_TEST_PROGRAM + "' " + arguments + " 2>&1";
    ProgramRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    std::thread helper;
    if (whileRunning) helper = std::thread(whileRunning);
    std::array<char, 4096> chunk{};
    std::size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) run.output.append(chunk.data(), got);
    if (helper.joinable()) helper.join();
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST_F(HostWindowOnX, TheProgramOpensItsWindowWhereADisplayExistsAndEndsWhenItCloses) {
    bool sawWindow = false;
    const auto run = runProgram("DISPLAY='" + server.display() + "'", "", [&] {
        XClient client(server.display());
        if (client.display == nullptr) return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::vector<unsigned long> windows;
        while (windows.empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            windows = client.windowsNamed("DunmarrowAU");
        }
        if (windows.empty()) return;
        sawWindow = true;
        // Let it load and validate, then close it as a window manager would.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        client.requestClose(windows.front());
    });
    ASSERT_TRUE(sawWindow) << run.output;
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.find("running headless"), std::string::npos) << run.output;
}

TEST(HostProgram, FallsBackToHeadlessWhenTheDisplayCannotBeOpened) {
    const auto run = runProgram("DISPLAY=':999999'", "");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("DunmarrowAU: cannot open X display \":999999\"; running headless\n"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("Successfully loaded (aufx dmds QVRN)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Output peak level: "), std::string::npos) << run.output;
}

}  // namespace
