// dunmarrow-snapshot end to end: the editor it builds through the registry and
// the unit's view controller, checked in its inspection dump and its PNG at
// the design size, doubled and halved, and its command-line errors.

#include <gtest/gtest.h>

#include "FileContents.hpp"
#include <cairo.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>
#include <chrono>
#include <future>
#include <thread>

// X11 last: its macros clash with names in the headers above.
#include "VirtualDisplay.hpp"

namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;
    std::string err;
};

// Runs the tool through the shell with standard error captured.
ToolRun runSnapshot(const std::string& arguments, const fs::path& scratch) {
    const fs::path errPath = scratch / "stderr";
    const std::string command = std::string("'") + DUNMARROW_SNAPSHOT_PATH + "' " + arguments + " 2>'" +
                                errPath.string() + "' >/dev/null";
    const int raw = std::system(command.c_str());
    ToolRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.err = testsupport::fileContents(errPath);
    return run;
}

struct Node {
    std::string type, text, identifier, fontFamily;
    double x = 0, y = 0, width = 0, height = 0;
};

std::vector<Node> flatten(const nlohmann::json& root) {
    std::vector<Node> nodes;
    std::function<void(const nlohmann::json&)> walk = [&](const nlohmann::json& j) {
        const auto& f = j.at("frame");
        nodes.push_back({j.value("type", ""), j.value("text", ""), j.value("identifier", ""),
                         j.value("fontFamily", ""), f.at("x").get<double>(), f.at("y").get<double>(),
                         f.at("width").get<double>(), f.at("height").get<double>()});
        for (const auto& child : j.value("children", nlohmann::json::array())) walk(child);
    };
    walk(root);
    return nodes;
}

std::optional<Node> find(const std::vector<Node>& nodes, const std::string& key) {
    for (const auto& n : nodes)
        if (n.identifier == key || n.text == key) return n;
    return std::nullopt;
}

// The RGB of one pixel of a PNG.
unsigned pixel(cairo_surface_t* image, int x, int y) {
    const unsigned char* row = cairo_image_surface_get_data(image) + y * cairo_image_surface_get_stride(image);
    std::uint32_t argb = 0;
    std::memcpy(&argb, row + 4 * x, 4);
    return argb & 0xFFFFFF;
}

class SnapshotTool : public ::testing::Test {
protected:
    void SetUp() override {
        scratch = fs::temp_directory_path() / ("dunmarrow-snapshot-test-" + std::to_string(::getpid()));
        fs::create_directories(scratch);
    }
    void TearDown() override { fs::remove_all(scratch); }

    std::vector<Node> snapshot(const std::string& size, cairo_surface_t** image = nullptr) {
        const fs::path png = scratch / (size + ".png"), json = scratch / (size + ".json");
        const ToolRun run = runSnapshot("--size " + size + " --png '" + png.string() + "' --inspect '" + json.string() + "'",
                                    scratch);
        EXPECT_EQ(run.status, 0) << run.err;
        const auto root = nlohmann::json::parse(testsupport::fileContents(json), nullptr, false);
        EXPECT_FALSE(root.is_discarded()) << "no inspection dump for " << size;
        if (image) *image = cairo_image_surface_create_from_png(png.c_str());
        return root.is_discarded() ? std::vector<Node>{} : flatten(root);
    }

    fs::path scratch;
};

TEST_F(SnapshotTool, DesignSizeShowsTheWholeEditorInItsOwnFont) {
    cairo_surface_t* image = nullptr;
    const auto nodes = snapshot("720x600", &image);
    ASSERT_FALSE(nodes.empty());
    // The root is the controller's view at the size given, the editor inside it.
    EXPECT_EQ(nodes.front().width, 720);
    EXPECT_EQ(nodes.front().height, 600);
    const auto canvas = find(nodes, "canvas");
    ASSERT_TRUE(canvas);
    EXPECT_EQ(canvas->x, 0);
    EXPECT_EQ(canvas->y, 0);
    EXPECT_EQ(canvas->width, 720);
    EXPECT_EQ(canvas->height, 600);
    for (const char* text : {"Drive: 65.00", "Output: 0.80", "0.00", "100.00", "LIVE SAFE", "8X OVERSAMPLED DIGITAL DISTORTION"})
        EXPECT_TRUE(find(nodes, text)) << text;
    // The columns' sliders: 292 points apart plus 22 between the columns.
    EXPECT_NEAR(find(nodes, "Bite")->x - find(nodes, "Drive")->x, 292 + 22, 0.5);
    // The title is set in the display face the bundle registers, not a fallback.
    const auto title = find(nodes, "unmarro");
    ASSERT_TRUE(title);
    EXPECT_EQ(title->fontFamily, "Glimra");

    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(image), 720);
    EXPECT_EQ(pixel(image, 1, 1), 0x000000u);
    EXPECT_EQ(pixel(image, 718, 598), 0x000000u);
    // The title's letters are drawn: bright pixels across its middle.
    int bright = 0;
    const int y = int(title->y + title->height / 2);
    for (int x = int(title->x); x < int(title->x + title->width); ++x)
        if ((pixel(image, x, y) & 0xFF) > 0x60) ++bright;
    EXPECT_GT(bright, 10);
    cairo_surface_destroy(image);
}

TEST_F(SnapshotTool, TheCanvasScalesUniformlyAndCentresOnBlack) {
    auto doubled = snapshot("1440x1200");
    ASSERT_TRUE(find(doubled, "canvas"));
    EXPECT_EQ(find(doubled, "canvas")->width, 1440);
    EXPECT_EQ(find(doubled, "canvas")->height, 1200);
    EXPECT_NEAR(find(doubled, "Bite")->x - find(doubled, "Drive")->x, 2 * (292 + 22), 1);

    cairo_surface_t* image = nullptr;
    auto halved = snapshot("360x600", &image);
    const auto canvas = find(halved, "canvas");
    ASSERT_TRUE(canvas);
    EXPECT_EQ(canvas->width, 360);
    EXPECT_EQ(canvas->height, 300);
    EXPECT_EQ(canvas->x, 0);
    EXPECT_EQ(canvas->y, 150);
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    // Black above and below the canvas.
    EXPECT_EQ(pixel(image, 180, 20), 0x000000u);
    EXPECT_EQ(pixel(image, 180, 580), 0x000000u);
    cairo_surface_destroy(image);
}

TEST_F(SnapshotTool, WrongCommandLinesAndUnwritableFilesAreOneLineErrors) {
    ToolRun run = runSnapshot("--size 0x600 --png x.png", scratch);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "dunmarrow-snapshot: --size wants WIDTHxHEIGHT in points, each 1 to 8192, not \"0x600\"\n");
    run = runSnapshot("", scratch);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "dunmarrow-snapshot: nothing to do: give --png, --inspect or --window (see --help)\n");
    run = runSnapshot("--frobnicate", scratch);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "dunmarrow-snapshot: unknown option --frobnicate (see --help)\n");

    // A folder that does not exist: an error, and nothing left behind.
    run = runSnapshot("--inspect '" + (scratch / "missing" / "x.json").string() + "'", scratch);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("dunmarrow-snapshot: cannot write "), std::string::npos) << run.err;
    // A file in a folder that cannot take the temporary file is left as it was.
    const fs::path locked = scratch / "locked";
    fs::create_directories(locked);
    const fs::path kept = locked / "kept.json";
    std::ofstream(kept) << "old";
    ASSERT_EQ(::chmod(locked.c_str(), 0500), 0);
    run = runSnapshot("--inspect '" + kept.string() + "'", scratch);
    ::chmod(locked.c_str(), 0700);
    if (::geteuid() != 0) {
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(testsupport::fileContents(kept), "old");
    }
}

// With --window the editor appears in a top-level window titled "Dunmarrow"
// on the display, drawn as the PNG has it, and closing the window ends the
// tool cleanly.
TEST_F(SnapshotTool, WindowModeShowsTheEditorUntilTheWindowIsClosed) {
    testsupport::Xvfb server;
    if (!server.installed()) GTEST_SKIP() << "Xvfb is not installed; the window test needs it";
    ASSERT_FALSE(server.display().empty());
    cairo_surface_t* png = nullptr;
    const auto nodes = snapshot("720x600", &png);
    ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
    const auto subtitle = find(nodes, "HIGH-GAIN GUITAR DISTORTION");
    ASSERT_TRUE(subtitle);
    const std::string command = "DISPLAY=" + server.display() + " '" + DUNMARROW_SNAPSHOT_PATH + "' --window 2>'" +
                                (scratch / "stderr").string() + "' >/dev/null";
    auto finished = std::async(std::launch::async, [command] { return std::system(command.c_str()); });

    testsupport::XClient client(server.display());
    ASSERT_NE(client.display, nullptr);
    unsigned long editor = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!editor && std::chrono::steady_clock::now() < deadline) {
        const auto windows = client.windowsNamed("Dunmarrow");
        editor = windows.empty() ? 0 : windows.front();
        if (!editor) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_NE(editor, 0u) << "no editor window appeared; " << testsupport::fileContents(scratch / "stderr");
    XWindowAttributes attributes{};
    XGetWindowAttributes(client.display, editor, &attributes);
    EXPECT_EQ(attributes.width, 720);
    EXPECT_EQ(attributes.height, 600);

    // The title and subtitle, pixel for pixel, once the window shows them and
    // has stopped changing (three like grabs): text offscreen is laid out as on screen.
    const int bandHeight = int(subtitle->y + subtitle->height);
    std::vector<unsigned long> band, previous;
    int alike = 0;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         alike < 2 && std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(200))) {
        band.clear();
        // Only a window on screen has pixels to read.
        XWindowAttributes now{};
        if (XGetWindowAttributes(client.display, editor, &now) == 0 || now.map_state != IsViewable) continue;
        if (XImage* shown = XGetImage(client.display, editor, 0, 0, 720, unsigned(bandHeight), AllPlanes, ZPixmap)) {
            for (int y = 0; y < bandHeight; ++y)
                for (int x = 0; x < 720; ++x) band.push_back(XGetPixel(shown, x, y) & 0xFFFFFF);
            XDestroyImage(shown);
        }
        const bool drawn = std::any_of(band.begin(), band.end(), [](unsigned long p) { return (p & 0xFF) > 0x60; });
        alike = drawn && band == previous ? alike + 1 : 0;
        previous = band;
    }
    ASSERT_EQ(alike, 2) << "the window's title never settled";
    int differing = 0;
    for (int y = 0; y < bandHeight; ++y)
        for (int x = 0; x < 720; ++x) differing += band[std::size_t(y) * 720 + std::size_t(x)] != pixel(png, x, y);
    EXPECT_EQ(differing, 0) << "pixels of the title band differ between the window and the PNG";
    cairo_surface_destroy(png);

    client.requestClose(editor);
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const int raw = finished.get();
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << testsupport::fileContents(scratch / "stderr");
}

}  // namespace
