// dunmarrow-snapshot end to end: the editor it builds through the registry and
// the unit's view controller, in its inspection dump and PNG at the size given
// and in its window, and its command-line errors. How the editor lays itself
// out and scales is judged in the editor's own tests.

#include <cairo.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <tuple>
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

// The first node of an inspection dump showing `text`, or null.
const nlohmann::json* find(const nlohmann::json& node, const std::string& text) {
    if (node.value("text", "") == text) return &node;
    if (node.contains("children"))
        for (const auto& child : node.at("children"))
            if (const auto* found = find(child, text)) return found;
    return nullptr;
}

// The RGB of one pixel of a PNG.
unsigned pixel(cairo_surface_t* image, int x, int y) {
    const unsigned char* row = cairo_image_surface_get_data(image) + y * cairo_image_surface_get_stride(image);
    std::uint32_t argb = 0;
    std::memcpy(&argb, row + 4 * x, 4);
    return argb & 0xFFFFFF;
}

// The root is the view at the size given, on black; the title is set in the
// display face the bundle registers, not a fallback. With --window the editor
// appears in a top-level window titled "Dunmarrow", drawn as the PNG has it,
// and closing the window ends the tool cleanly.
TEST(SnapshotTool, TheEditorFillsTheSizeGivenOnBlackAndItsWindowShowsThePNG) {
    testsupport::TempDir scratch;
    const fs::path image = scratch.path() / "editor.png", json = scratch.path() / "editor.json";
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> png(nullptr, cairo_surface_destroy);
    nlohmann::json design;
    for (const auto& [size, width, height] : {std::tuple{"360x600", 360, 600}, std::tuple{"720x600", 720, 600}}) {
        SCOPED_TRACE(size);
        const ProgramRun run = testsupport::runProgram({kTool, "--size", size, "--png", image, "--inspect", json});
        ASSERT_EQ(run.status, 0) << run.err;
        design = nlohmann::json::parse(fileContents(json));
        EXPECT_EQ(design.at("frame").at("width"), width);
        EXPECT_EQ(design.at("frame").at("height"), height);
        png.reset(cairo_image_surface_create_from_png(image.c_str()));
        ASSERT_EQ(cairo_surface_status(png.get()), CAIRO_STATUS_SUCCESS);
        EXPECT_EQ(cairo_image_surface_get_width(png.get()), width);
        EXPECT_EQ(pixel(png.get(), width - 2, height - 2), 0x000000u);
    }
    const auto* title = find(design, "unmarro");
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->value("fontFamily", ""), "Glimra");
    const auto* subtitle = find(design, "HIGH-GAIN GUITAR DISTORTION");
    ASSERT_NE(subtitle, nullptr);

    testsupport::Xvfb server;
    if (!server.installed()) GTEST_SKIP() << "Xvfb is not installed; the window needs it";
    ASSERT_FALSE(server.display().empty());

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

    // The title band, pixel for pixel as in the PNG, once the window shows it:
    // text offscreen is laid out as on screen (and the title is drawn).
    const auto& frame = subtitle->at("frame");
    const int bandHeight = int(frame.at("y").get<double>() + frame.at("height").get<double>());
    std::vector<unsigned long> expected, shown;
    for (int y = 0; y < bandHeight; ++y)
        for (int x = 0; x < 720; ++x) expected.push_back(pixel(png.get(), x, y));
    EXPECT_TRUE(std::any_of(expected.begin(), expected.end(), [](unsigned long p) { return (p & 0xFF) > 0x60; }));
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         shown != expected && std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        shown.clear();
        // Only a window on screen has pixels to read.
        XWindowAttributes now{};
        if (XGetWindowAttributes(client.display, editor, &now) == 0 || now.map_state != IsViewable) continue;
        if (XImage* grab = XGetImage(client.display, editor, 0, 0, 720, unsigned(bandHeight), AllPlanes, ZPixmap)) {
            for (int y = 0; y < bandHeight; ++y)
                for (int x = 0; x < 720; ++x) shown.push_back(XGetPixel(grab, x, y) & 0xFFFFFF);
            XDestroyImage(grab);
        }
    }
    EXPECT_TRUE(shown == expected) << "the window's title band differs from the PNG";

    client.requestClose(editor);
    const ProgramRun run = testsupport::waitForProgram(started);
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST(SnapshotTool, WrongCommandLinesAndUnwritableFilesAreOneLineErrors) {
    testsupport::TempDir scratch;
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
