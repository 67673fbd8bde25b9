// dunmarrow-snapshot: builds the effect's editor the way a host does (the
// component registry, instantiation, the unit's own view controller) and
//   - writes it at a given size to a PNG and its laid-out view tree to JSON, or
//   - with --window, shows it in an X11 window until the window is closed.
//
//   dunmarrow-snapshot [--size WxH] [--scale S] [--png FILE] [--inspect FILE] [--window]
//
// Errors are one line on standard error, "dunmarrow-snapshot: ...", with exit
// status 1 (2 for a wrong command line).

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "audiounit/AVAudioUnit.hpp"
#include "audiounitui/AUViewController.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/FileWriting.hpp"
#include "foundation/RunLoop.hpp"
#include "ui/Window.hpp"

namespace {

constexpr int kUsageError = 2;
constexpr auto kLoadTimeout = std::chrono::seconds(30);

constexpr const char* kHelp =
    "Usage: dunmarrow-snapshot [--size WxH] [--scale S] [--png FILE] [--inspect FILE] [--window]\n"
    "\n"
    "Loads the Dunmarrow effect through the component registry (type aufx,\n"
    "subtype dmds, manufacturer QVRN; DUNMARROW_AUDIO_UNIT_PATH names more\n"
    "folders to search), builds its editor through its view controller and\n"
    "writes it out.\n"
    "\n"
    "Options:\n"
    "  --size WxH      the editor's size in points (default 720x600)\n"
    "  --scale S       pixels per point of the PNG, 0.25 to 8 (default 1)\n"
    "  --png FILE      write the editor as a PNG image\n"
    "  --inspect FILE  write the laid-out view tree as JSON: one object per\n"
    "                  view with type, text, identifier, frame and children\n"
    "  --window        show the editor in an X11 window instead, until closed\n"
    "  --help          show this text\n"
    "  --version       show the version\n";

struct Options {
    double width = 720;
    double height = 600;
    double scale = 1;
    std::string png;
    std::string inspect;
    bool window = false;
};

[[noreturn]] void fail(const std::string& message, int status = 1) {
    std::fprintf(stderr, "dunmarrow-snapshot: %s\n", message.c_str());
    std::exit(status);
}

std::optional<double> parseNumber(std::string_view text) {
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> std::string_view {
            if (i + 1 >= argc) fail(std::string(arg) + " needs a value", kUsageError);
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            std::exit(0);
        } else if (arg == "--version") {
            std::puts("dunmarrow-snapshot " DUNMARROW_VERSION);
            std::exit(0);
        } else if (arg == "--size") {
            const std::string_view size = value();
            const auto x = size.find('x');
            const auto w = x == std::string_view::npos ? std::nullopt : parseNumber(size.substr(0, x));
            const auto h = x == std::string_view::npos ? std::nullopt : parseNumber(size.substr(x + 1));
            if (!w || !h || *w < 1 || *h < 1 || *w > 8192 || *h > 8192)
                fail("--size wants WIDTHxHEIGHT in points, each 1 to 8192, not \"" + std::string(size) + "\"",
                     kUsageError);
            options.width = *w;
            options.height = *h;
        } else if (arg == "--scale") {
            const std::string_view text = value();
            const auto s = parseNumber(text);
            if (!s || *s < 0.25 || *s > 8) fail("--scale wants a number from 0.25 to 8, not \"" + std::string(text) + "\"", kUsageError);
            options.scale = *s;
        } else if (arg == "--png") {
            options.png = value();
        } else if (arg == "--inspect") {
            options.inspect = value();
        } else if (arg == "--window") {
            options.window = true;
        } else {
            fail("unknown option " + std::string(arg) + " (see --help)", kUsageError);
        }
    }
    if (!options.window && options.png.empty() && options.inspect.empty())
        fail("nothing to do: give --png, --inspect or --window (see --help)", kUsageError);
    return options;
}

// Runs the main queue until every job queued so far (and what those queue) has run.
void drainMainQueue() {
    for (int round = 0; round < 3; ++round) {
        bool reached = false;
        foundation::DispatchQueue::main().async([&] { reached = true; });
        foundation::RunLoop::main().runUntil([&] { return reached; }, kLoadTimeout);
    }
}

std::shared_ptr<audiounit::AVAudioUnit> loadEffect() {
    audiounit::AVAudioUnit::setMainThreadExecutor(
        [](std::function<void()> job) { foundation::DispatchQueue::main().async(std::move(job)); });
    const audiounit::AudioComponentDescription description{audiounit::fourCharCode("aufx"),
                                                           audiounit::fourCharCode("dmds"),
                                                           audiounit::fourCharCode("QVRN"), 0, 0};
    bool done = false;
    std::shared_ptr<audiounit::AVAudioUnit> loaded;
    std::string failure;
    audiounit::AVAudioUnit::instantiate(
        description, audiounit::kAudioComponentInstantiation_None,
        [&](std::shared_ptr<audiounit::AVAudioUnit> unit, std::optional<foundation::NSError> error) {
            loaded = std::move(unit);
            if (error) failure = error->localizedDescription();
            done = true;
        });
    if (!foundation::RunLoop::main().runUntil([&] { return done; }, kLoadTimeout))
        fail("loading the effect did not finish within 30 seconds");
    if (!loaded) fail("cannot load the effect: " + (failure.empty() ? std::string("no audio unit") : failure));
    return loaded;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    const auto unit = loadEffect();

    std::shared_ptr<ui::NSViewController> editor;
    audiounit::requestViewController(*unit, [&](std::shared_ptr<ui::NSViewController> c) { editor = std::move(c); });
    if (!editor) fail("the effect has no editor of its own");

    if (options.window) {
        std::string error;
        auto window = ui::Window::create({"Dunmarrow", {options.width, options.height}, 0, 0, {}}, &error);
        if (!window) fail(error);
        window->setContentViewController(editor);
        window->attachToMainRunLoop();
        window->show();
        drainMainQueue();
        foundation::RunLoop::main().runUntil([&] { return window->isClosed(); },
                                             std::chrono::hours(24 * 365));
        return 0;
    }

    // Sized as a host sizes an embedded editor, then shown once.
    const auto view = editor->view();
    view->setFrame({0, 0, options.width, options.height});
    editor->beginAppearance();
    drainMainQueue();

    if (!options.png.empty()) {
        std::string error;
        if (!view->render(options.scale, ui::Color::black()).writePNG(options.png, &error)) fail(error);
    }
    if (!options.inspect.empty()) {
        std::string error;
        if (!foundation::writeFileAtomically(options.inspect, view->inspect().dump(2) + "\n", &error)) fail(error);
    }
    return 0;
}
