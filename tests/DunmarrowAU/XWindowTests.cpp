// The application's window on Xvfb, seen by another client; the program opening it and ending on close.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "DunmarrowAUApp.hpp"
#include "HostProgram.hpp"
#include "HostTestSupport.hpp"
#include "WindowTestSupport.hpp"
// X11 last: its macros (None, Bool) clash with names in the headers above.
#include "VirtualDisplay.hpp"

using namespace hosttest;

namespace {

TEST(HostWindowOnX, TheWindowIsNamedAndFitsItsContentAndTheProgramOpensItWhereADisplayExists) {
    testsupport::Xvfb server;
    if (!server.installed()) GTEST_SKIP() << "Xvfb is not installed; the X window tests need it";
    ASSERT_FALSE(server.display().empty()) << "Xvfb did not report a display";
    testsupport::XClient client(server.display());
    ASSERT_NE(client.display, nullptr);
    {
        ManualValidation validation;  // never answered: no badge
        AudioUnitHostModel::Configuration configuration;
        configuration.engine = engineConfiguration();
        configuration.validate = validation.function();
        DunmarrowAUApp app("aufx", "dmds", "QVRN", std::move(configuration));
        std::string error;
        auto created = DunmarrowAUApp::createWindow(server.display(), &error);
        ASSERT_NE(created, nullptr) << error;
        ui::Window& window = app.openWindow(std::move(created));
        window.show();
        const auto host = window.contentView()->host();
        const auto id = window.windowId();

        EXPECT_EQ(client.name(id), "DunmarrowAU");
        ASSERT_TRUE(pumpUntil([&] { return app.hostModel->loadFinished(); }));
        // Fitted to the loaded content (a main-queue job after the change).
        const auto fitted = [&] {
            const ui::Size ideal = host->idealSize();
            return ui::Size{std::ceil(ideal.width), std::ceil(ideal.height)};
        };
        ASSERT_TRUE(pumpUntil([&] { return window.size() == fitted(); })) << window.size() << " for " << fitted();

        window.close();
        app.runUntilWindowCloses();
        EXPECT_TRUE(window.isClosed());
    }

    // The program opens its window; closed as a window manager would, it ends.
    const auto started = startHost({}, {{"DISPLAY", server.display()}});
    std::vector<unsigned long> windows;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (windows.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        windows = client.windowsNamed("DunmarrowAU");
    }
    if (!windows.empty()) {
        std::this_thread::sleep_for(std::chrono::seconds(2));  // let it load and validate
        client.requestClose(windows.front());
    } else {
        ::kill(-started.pid, SIGTERM);
    }
    const auto run = testsupport::waitForProgram(started);
    ASSERT_FALSE(windows.empty()) << run.out << run.err;
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out.find("running headless"), std::string::npos) << run.out;
}

}  // namespace
