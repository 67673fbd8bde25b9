// dunmarrow-snapshot end to end: the editor it builds through the registry and
// the unit's view controller, checked in its inspection dump and its PNG at
// the design size, doubled and halved, and its command-line errors.

#include <cairo.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "RunProgram.hpp"
#include "TempDir.hpp"
// X11 last: its macros clash with names in the headers above.
#include "VirtualDisplay.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::fileContents;
using testsupport::ProgramRun;
using Args = std::vector<std::string>;

const std::string kTool = DUNMARROW_SNAPSHOT_PATH;

Args operator+(Args a, const Args& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
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
    // The inspection dump's nodes at `size`, and the PNG when `image` is given.
    std::vector<Node> snapshot(const std::string& size, cairo_surface_t** image = nullptr) {
        const fs::path png = scratch.path() / (size + ".png"), json = scratch.path() / (size + ".json");
        const ProgramRun run = testsupport::runProgram({kTool, "--size", size, "--png", png, "--inspect", json});
        EXPECT_EQ(run.status, 0) << run.err;
        const auto root = nlohmann::json::parse(fileContents(json), nullptr, false);
        EXPECT_FALSE(root.is_discarded()) << "no inspection dump for " << size;
        if (image) *image = cairo_image_surface_create_from_png(png.c_str());
        return root.is_discarded() ? std::vector<Node>{} : flatten(root);
    }

    testsupport::TempDir scratch;
};

// The root is the controller's view at the size given; the canvas inside it
// scales uniformly and centres on black; the title is set in the display face
// the bundle registers, not a fallback. With --window the editor appears in a
// top-level window titled "Dunmarrow", drawn as the PNG has it, and closing
// the window ends the tool cleanly.
TEST_F(SnapshotTool, TheEditorFillsTheViewScalesUniformlyOnBlackAndItsWindowShowsThePNG) {
    cairo_surface_t* png = nullptr;
    std::vector<Node> designNodes;
    struct Case {
        const char* size;
        double width, height, canvasY, canvasHeight, scale;
    };
    for (const Case& c : {Case{"720x600", 720, 600, 0, 600, 1}, Case{"1440x1200", 1440, 1200, 0, 1200, 2},
                          Case{"360x600", 360, 600, 150, 300, 0.5}}) {
        SCOPED_TRACE(c.size);
        cairo_surface_t* image = nullptr;
        const auto nodes = snapshot(c.size, &image);
        ASSERT_FALSE(nodes.empty());
        EXPECT_EQ(std::pair(nodes.front().width, nodes.front().height), std::pair(c.width, c.height));
        const auto canvas = find(nodes, "canvas");
        ASSERT_TRUE(canvas);
        EXPECT_EQ(canvas->x, 0);
        EXPECT_EQ(canvas->y, c.canvasY);
        EXPECT_EQ(canvas->width, c.width);
        EXPECT_EQ(canvas->height, c.canvasHeight);
        // The columns' sliders: 292 points apart plus 22 between the columns.
        EXPECT_NEAR(find(nodes, "Bite")->x - find(nodes, "Drive")->x, c.scale * (292 + 22), 1);
        for (const char* text : {"Drive: 65.00", "Output: 0.80", "0.00", "100.00", "LIVE SAFE",
                                 "8X OVERSAMPLED DIGITAL DISTORTION"})
            EXPECT_TRUE(find(nodes, text)) << text;
        const auto title = find(nodes, "unmarro");
        ASSERT_TRUE(title);
        EXPECT_EQ(title->fontFamily, "Glimra");

        ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
        EXPECT_EQ(cairo_image_surface_get_width(image), c.width);
        EXPECT_EQ(pixel(image, 1, 1), 0x000000u);
        EXPECT_EQ(pixel(image, int(c.width) - 2, int(c.height) - 2), 0x000000u);
        if (c.scale != 1) {
            cairo_surface_destroy(image);
            continue;
        }
        // The title's letters are drawn: bright pixels across its middle.
        int bright = 0;
        const int y = int(title->y + title->height / 2);
        for (int x = int(title->x); x < int(title->x + title->width); ++x)
            if ((pixel(image, x, y) & 0xFF) > 0x60) ++bright;
        EXPECT_GT(bright, 10);
        png = image;
        designNodes = nodes;
    }
    ASSERT_NE(png, nullptr);
    const struct Image {
        cairo_surface_t* surface;
        ~Image() { cairo_surface_destroy(surface); }
    } keep{png};

    testsupport::Xvfb server;
    if (!server.installed()) GTEST_SKIP() << "Xvfb is not installed; the window needs it";
    ASSERT_FALSE(server.display().empty());
    const auto subtitle = find(designNodes, "HIGH-GAIN GUITAR DISTORTION");
    ASSERT_TRUE(subtitle);

    testsupport::ProgramOptions onDisplay;
    onDisplay.environment["DISPLAY"] = server.display();
    const auto started = testsupport::startProgram({kTool, "--window"}, onDisplay);
    // Whatever fails below, the tool does not outlive the test.
    const struct Stop {
        pid_t pid;
        ~Stop() { ::kill(-pid, SIGKILL); }
    } stop{started.pid};
    testsupport::XClient client(server.display());
    ASSERT_NE(client.display, nullptr);
    unsigned long editor = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!editor && std::chrono::steady_clock::now() < deadline) {
        const auto windows = client.windowsNamed("Dunmarrow");
        editor = windows.empty() ? 0 : windows.front();
        if (!editor) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_NE(editor, 0u) << "no editor window appeared; " << fileContents(started.scratch / "stderr");
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

    client.requestClose(editor);
    const ProgramRun run = testsupport::waitForProgram(started);
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(SnapshotTool, WrongCommandLinesAndUnwritableFilesAreOneLineErrors) {
    // A file in a folder that cannot take the temporary file is left as it was.
    const fs::path locked = scratch.path() / "locked", kept = locked / "kept.json";
    fs::create_directories(locked);
    std::ofstream(kept) << "old";
    ASSERT_EQ(::chmod(locked.c_str(), 0500), 0);
    const fs::path missing = scratch.path() / "missing" / "x.json";
    struct Case {
        Args args;
        int status;
        std::string message;  // the whole line, or its start ending in a space
    };
    std::vector<Case> cases{
        {{"--size", "0x600", "--png", "x.png"}, 2, "--size wants WIDTHxHEIGHT in points, each 1 to 8192, not \"0x600\""},
        {{}, 2, "nothing to do: give --png, --inspect or --window (see --help)"},
        {{"--frobnicate"}, 2, "unknown option --frobnicate (see --help)"},
        {{"--inspect", missing}, 1, "cannot write " + missing.string() + ": No such file or directory"},
    };
    if (::geteuid() != 0) cases.push_back({{"--inspect", kept}, 1, "cannot write "});  // root writes anywhere
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const ProgramRun run = testsupport::runProgram(Args{kTool} + c.args);
        EXPECT_EQ(run.status, c.status);
        // The first line: a sanitizer build may add its report below.
        const std::string first = run.err.substr(0, run.err.find('\n') + 1), line = "dunmarrow-snapshot: " + c.message;
        if (c.message.ends_with(' '))
            EXPECT_TRUE(first.starts_with(line)) << run.err;
        else
            EXPECT_EQ(first, line + "\n");
    }
    EXPECT_FALSE(fs::exists(missing.parent_path()));
    EXPECT_EQ(fileContents(kept), "old");
    EXPECT_EQ(fs::directory_iterator(locked)->path(), kept) << "nothing left beside it";
    fs::permissions(locked, fs::perms::owner_all);
}

}  // namespace
