// The bundle as LV2 hosts see it, through the LV2 tools as child processes:
// lv2info, the triples (sordi), lv2_validate, lv2apply and lv2file against
// dunmarrow-render, and jalv on a private JACK server.

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "JackTestServer.hpp"
#include "AudioFileIO.hpp"
#include "DunmarrowLV2Ports.hpp"
#include "RunProgram.hpp"
#include "TempDir.hpp"

namespace {

namespace fs = std::filesystem;
using namespace dunmarrow_lv2;
using testsupport::fileContents;
using testsupport::ProgramRun;
using testsupport::readAudio;
using Args = std::vector<std::string>;

const fs::path kBundle = DUNMARROW_LV2_BUNDLE;

Args operator+(Args a, const Args& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string toolPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (const auto candidate = fs::path(folder) / name; ::access(candidate.c_str(), X_OK) == 0) return candidate;
    return {};
}

// LV2_PATH names the build's bundle folder. In a sanitizer build the plugin
// modules need the sanitizer's runtime loaded first, which the LV2 tools, not
// built with it, do not do themselves.
testsupport::ProgramOptions lv2Options() {
    testsupport::ProgramOptions options;
    options.environment["LV2_PATH"] = kBundle.parent_path().string();
#ifdef DUNMARROW_SANITIZER_RUNTIME
    options.environment["LD_PRELOAD"] = DUNMARROW_SANITIZER_RUNTIME;
    options.environment["ASAN_OPTIONS"] = "detect_leaks=0";
#endif
    return options;
}

ProgramRun run(const Args& command) { return testsupport::runProgram(command, lv2Options()); }

#define REQUIRE_TOOL(name)                                                                         \
    const std::string name##Tool = toolPath(#name);                                                \
    if (name##Tool.empty()) GTEST_SKIP() << #name " is not installed (scripts/install-deps has it)"

// The Turtle as sordi gives it: subject, then the last part of the predicate,
// to its objects (a literal as its text, an IRI by its last part).
using Facts = std::map<std::string, std::set<std::string>>;
std::map<std::string, Facts> readTriples(const std::string& ntriples) {
    std::map<std::string, Facts> triples;
    const std::regex triple(R"re(^(\S+) <[^>]*[#/]([^>#/]+)> (?:"((?:[^"\\]|\\.)*)"\S*|<[^>]*[#/]([^>#/]+)>|(\S+)) \.$)re");
    std::istringstream lines(ntriples);
    std::smatch m;
    for (std::string line; std::getline(lines, line);)
        if (std::regex_match(line, m, triple)) triples[m[1]][m[2]].insert(m[3].matched ? m[3] : m[4].matched ? m[4] : m[5]);
    return triples;
}

// The one object of a subject and predicate; "" (which no number reads) when there is none or several.
std::string only(const std::set<std::string>& objects) { return objects.size() == 1 ? *objects.begin() : ""; }

// What hosts show: lv2info lists each plugin with its UI, required feature,
// real-time capability and presets; in the triples each plugin names its
// maintainer, licence, release version and main port groups, and every port
// carries the symbol, name, range, default, unit and properties the port
// layout declares, and a comment if it is a control. The UI reads ui:scaleFactor.
TEST(LV2Tools, Lv2infoAndTheTriplesGiveEveryPluginAndPortAsDeclared) {
    REQUIRE_TOOL(lv2info);
    REQUIRE_TOOL(sordi);
    const ProgramRun ttl = run({sordiTool, kBundle / "dunmarrow.ttl"});
    ASSERT_EQ(ttl.status, 0) << ttl.err;
    auto triples = readTriples(ttl.out);
    EXPECT_TRUE(triples[std::string("<") + kUIURI + ">"]["supportedOption"].count("scaleFactor"));
    using Set = std::set<std::string>;
    for (const auto& [uri, channels] : {std::pair{kStereoPluginURI, 2u}, std::pair{kMonoPluginURI, 1u}}) {
        SCOPED_TRACE(uri);
        const ProgramRun info = run({lv2infoTool, uri});
        ASSERT_EQ(info.status, 0) << info.err;
        for (const char* text : {"urn:dunmarrow:ui", "ui#X11UI", "Required Features: http://lv2plug.in/ns/ext/urid#map",
                                 "lv2core#hardRTCapable", "Blackwall", "Glass Teeth", "Funeral Bloom"})
            EXPECT_NE(info.out.find(text), std::string::npos) << text << "\n" << info.out;

        Facts& plugin = triples[std::string("<") + uri + ">"];
        for (const char* key : {"maintainer", "license", "comment", "mainInput", "mainOutput"})
            EXPECT_EQ(plugin[key].size(), 1u) << key;
        EXPECT_EQ(std::stoi(only(plugin["minorVersion"])) % 2, 0) << "a release has an even minor version";
        std::map<std::uint32_t, Facts*> ports;  // by index
        for (const auto& node : plugin["port"]) ports[std::stoul(only(triples[node]["index"]))] = &triples[node];
        const PortLayout layout{channels};
        ASSERT_EQ(ports.size(), layout.portCount());
        const auto expectPort = [&](std::uint32_t index, const Facts& expected) -> Facts& {
            Facts& port = *ports[index];
            for (const auto& [key, values] : expected) EXPECT_EQ(port[key], values) << "port " << index << " " << key;
            EXPECT_EQ(port["comment"].size(), port["type"].count("ControlPort")) << "port " << index;
            return port;
        };
        // The mono plugin offers no Stereo Spread, which only acts between two channels.
        ASSERT_EQ(layout.parameters().size(), channels == 2 ? 14u : 13u);
        for (std::uint32_t i = 0; i < layout.parameterCount(); ++i) {
            const auto& p = *layout.parameters()[i];
            using dunmarrow_dsp::ParameterUnit;
            const Set unit = p.units == ParameterUnit::Percent   ? Set{"pc"}
                             : p.units == ParameterUnit::Boolean ? Set{}
                                                                 : Set{"coef"};
            Facts& port = expectPort(i, {{"symbol", {std::string(p.identifier)}}, {"name", {std::string(p.name)}},
                                        {"type", {"InputPort", "ControlPort"}}, {"unit", unit},
                                        {"portProperty", p.identifier == "liveSafe" ? Set{"toggled"} : Set{}}});
            for (const auto& [key, value] :
                 {std::pair{"minimum", p.minValue}, {"maximum", p.maxValue}, {"default", p.defaultValue}})
                EXPECT_FLOAT_EQ(std::stof(only(port[key])), value) << p.identifier << " " << key;
        }
        expectPort(layout.enabledPort(), {{"symbol", {"enabled"}}, {"designation", {"enabled"}},
                                          {"portProperty", {"toggled", "integer"}}, {"type", {"InputPort", "ControlPort"}}});
        expectPort(layout.inputLevelPort(), {{"symbol", {kInputLevelSymbol}}, {"name", {"Input Level"}},
                                             {"type", {"OutputPort", "ControlPort"}}, {"unit", {"coef"}}});
        expectPort(layout.outputLevelPort(), {{"symbol", {kOutputLevelSymbol}}, {"name", {"Output Level"}},
                                              {"type", {"OutputPort", "ControlPort"}}, {"unit", {"coef"}}});
        for (std::uint32_t c = 0; c < channels; ++c) {
            expectPort(layout.inputPort(c), {{"type", {"InputPort", "AudioPort"}}});
            expectPort(layout.outputPort(c), {{"type", {"OutputPort", "AudioPort"}}});
        }
    }
}

// Checked against the LV2 vocabularies lv2-dev installs.
TEST(LV2Tools, TheTurtlePassesLv2Validate) {
    REQUIRE_TOOL(lv2_validate);
    const ProgramRun result = run({lv2_validateTool, kBundle / "manifest.ttl", kBundle / "dunmarrow.ttl", kBundle / "presets.ttl"});
    // The exit status alone misses some errors: the summary line must say none.
    EXPECT_NE((result.out + result.err).find("Found 0 errors"), std::string::npos) << result.out << result.err;
}

// The DSP module runs in hosts without a display: it links no X11, Cairo or
// UI layer. Each module exports its entry and nothing else.
TEST(LV2Tools, TheDSPModuleLinksNoUICodeAndModulesExportOnlyTheirEntry) {
    REQUIRE_TOOL(readelf);
    const ProgramRun dsp = run({readelfTool, "-d", kBundle / "dunmarrow.so"});
    ASSERT_EQ(dsp.status, 0) << dsp.err;
    for (const char* library : {"libX11", "libcairo", "libpango", "libfontconfig", "libplatform_ui"})
        EXPECT_EQ(dsp.out.find(library), std::string::npos) << library << "\n" << dsp.out;
    EXPECT_NE(run({readelfTool, "-d", kBundle / "dunmarrow_ui.so"}).out.find("libplatform_ui"), std::string::npos);

    for (const auto& [module, entry] : {std::pair{"dunmarrow.so", "lv2_descriptor"}, std::pair{"dunmarrow_ui.so", "lv2ui_descriptor"}})
        EXPECT_EQ(run({toolPath("nm"), "-D", "--defined-only", "--format=just-symbols", kBundle / module}).out,
                  std::string(entry) + "\n");
}

// A float WAV file of a decaying two-tone signal.
void writeInput(const fs::path& path, int channels, int frames) {
    std::vector<float> samples(static_cast<std::size_t>(frames * channels));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const float t = static_cast<float>(i / channels) / 48000.0f, c = static_cast<float>(i % channels);
        samples[i] = 0.7f * std::exp(-1.6f * t) * std::sin(2.0f * 3.14159265f * (196.0f + 49.0f * c) * t);
    }
    testsupport::writeAudio(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, channels, 48000, samples);
}

// Offline hosts render a file as dunmarrow-render does for the same input,
// preset and settings, from the first sample. lv2apply takes a preset as its
// values; lv2file applies its preset and -p values after activate().
TEST(LV2FileHosts, Lv2applyAndLv2fileRenderAsDunmarrowRender) {
    REQUIRE_TOOL(lv2apply);
    REQUIRE_TOOL(lv2file);
    REQUIRE_TOOL(sordi);
    testsupport::TempDir temporary;
    const fs::path& folder = temporary.path();
    auto presets = readTriples(run({sordiTool, kBundle / "presets.ttl"}).out);
    using Settings = std::map<std::string, std::string>;
    struct Case {
        const std::string& tool;
        int channels;
        std::string preset, presetURI;
        Settings settings;
    };
    const Case cases[] = {
        {lv2applyTool, 1, "Funeral Bloom", "urn:dunmarrow:preset:mono:funeral-bloom", {}},
        {lv2applyTool, 2, "", "",
         {{"drive", "20"}, {"liveSafe", "1"}, {"gain", "0.5"}, {"doubleTrack", "0.7"}, {"stereoSpread", "0.6"}}},
        {lv2fileTool, 1, "Glass Teeth", "", {{"drive", "20"}, {"gain", "0.5"}, {"liveSafe", "1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << fs::path(c.tool).filename() << " " << c.channels << " ch " << c.preset
                                          << " " << c.settings.size() << " settings");
        const fs::path input = folder / "in.wav", viaLV2 = folder / "lv2.wav", viaRender = folder / "render.wav";
        writeInput(input, c.channels, 36000);
        Args host{c.tool}, render{DUNMARROW_RENDER_PATH};
        if (!c.preset.empty()) render = render + Args{"--preset", c.preset};
        if (c.tool == lv2fileTool && !c.preset.empty()) host = host + Args{"-P", c.preset};
        Settings controls = c.settings;
        for (const auto& port : presets["<" + c.presetURI + ">"]["port"])
            controls.emplace(only(presets[port]["symbol"]), only(presets[port]["value"]));
        EXPECT_EQ(controls.size() - c.settings.size(), c.presetURI.empty() ? 0u : c.channels == 2 ? 14u : 13u);
        for (const auto& [symbol, value] : controls)
            host = host + (c.tool == lv2fileTool ? Args{"-p", symbol + ":" + value} : Args{"-c", symbol, value});
        for (const auto& [symbol, value] : c.settings) render = render + Args{"--set", symbol + "=" + value};
        const ProgramRun a = run(host + Args{"-i", input, "-o", viaLV2, c.channels == 2 ? kStereoPluginURI : kMonoPluginURI});
        ASSERT_EQ(a.status, 0) << a.out << a.err;
        const ProgramRun b = run(render + Args{input, viaRender});
        ASSERT_EQ(b.status, 0) << b.err;
        // What the effect does to the signal is judged by the render tool's own tests.
        const auto x = readAudio(viaLV2).samples, y = readAudio(viaRender).samples;
        ASSERT_EQ(x.size(), y.size());
        ASSERT_EQ(x.size(), std::size_t(36000 * c.channels));
        double maxDifference = 0, squares = 0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double d = std::fabs(static_cast<double>(x[i]) - y[i]);
            maxDifference = std::max(maxDifference, d);
            squares += d * d;
        }
        EXPECT_LE(maxDifference, 1e-4);
        EXPECT_LE(std::sqrt(squares / static_cast<double>(x.size())), 1e-6);
    }
}

// A JACK client that plays a sine from "out" and keeps the peak of what reaches "in".
class JackProbe {
public:
    JackProbe() : client_(jack_client_open("dunmarrow-lv2-probe", JackNoStartServer, nullptr)) {
        if (client_ == nullptr) return;
        out_ = jack_port_register(client_, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        in_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, process, this);
        jack_activate(client_);
    }
    ~JackProbe() {
        if (client_ == nullptr) return;
        jack_deactivate(client_);
        jack_client_close(client_);
    }
    [[nodiscard]] bool ok() const { return client_ != nullptr; }
    // Fails until both ports exist; already connected counts as done.
    bool connect(const std::string& from, const std::string& to) {
        const int result = jack_connect(client_, from.c_str(), to.c_str());
        return result == 0 || result == EEXIST;
    }
    [[nodiscard]] float peak() const { return peak_.load(std::memory_order_relaxed); }

private:
    // JACK's process thread: no lock, no allocation, no wait.
    static int process(jack_nframes_t frames, void* arg) {
        auto& self = *static_cast<JackProbe*>(arg);
        auto* out = static_cast<float*>(jack_port_get_buffer(self.out_, frames));
        const auto* in = static_cast<const float*>(jack_port_get_buffer(self.in_, frames));
        float peak = self.peak_.load(std::memory_order_relaxed);
        for (jack_nframes_t i = 0; i < frames; ++i) {
            out[i] = 0.5f * std::sin(self.phase_);
            self.phase_ = std::fmod(self.phase_ + 0.03f, 6.2831853f);
            peak = std::max(peak, std::fabs(in[i]));
        }
        self.peak_.store(peak, std::memory_order_relaxed);
        return 0;
    }
    jack_client_t* client_;
    jack_port_t* out_ = nullptr;
    jack_port_t* in_ = nullptr;
    float phase_ = 0;
    std::atomic<float> peak_{0};
};

bool waitFor(const std::function<bool()>& done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

// jalv on a private JACK server plays the plugin at the Output level it is
// given. How control changes sound is judged in process; presets loaded by a
// host, through lv2file.
TEST(LV2Jalv, PlaysThePluginAtTheOutputLevelItIsGiven) {
    REQUIRE_TOOL(jalv);
    if (testsupport::JackTestServer::jackdPath().empty()) GTEST_SKIP() << "jackd is not installed";
    testsupport::JackTestServer server;
    ASSERT_TRUE(server.ready()) << "the private JACK server did not start";
    JackProbe probe;
    ASSERT_TRUE(probe.ok());
    // jalv in console mode with the build's bundle on its LV2 path. It reads
    // commands from a FIFO this side holds open, so it runs until stopped.
    testsupport::TempDir scratch;
    ASSERT_EQ(::mkfifo((scratch.path() / "stdin").c_str(), 0600), 0);
    const int commands = ::open((scratch.path() / "stdin").c_str(), O_RDWR);
    testsupport::ProgramOptions options = lv2Options();
    options.scratch = scratch.path();
    options.timeLimit = std::chrono::seconds(20);
    const auto started = testsupport::startProgram(
        {jalvTool, "-x", "-n", "dunmarrow-jalv", "-c", "gain=0.125", kStereoPluginURI}, options);
    ASSERT_GT(started.pid, 0);
    const struct Stop {
        const testsupport::StartedProgram& jalv;
        int commands;
        ~Stop() {
            ::kill(jalv.pid, SIGINT);
            testsupport::waitForProgram(jalv);
            ::close(commands);
        }
    } stop{started, commands};
    const auto output = [&] { return fileContents(scratch.path() / "stdout") + fileContents(scratch.path() / "stderr"); };
    for (const auto& [from, to] : {std::pair{"dunmarrow-lv2-probe:out", "dunmarrow-jalv:in_l"},
                                   {"dunmarrow-lv2-probe:out", "dunmarrow-jalv:in_r"},
                                   {"dunmarrow-jalv:out_l", "dunmarrow-lv2-probe:in"}})
        ASSERT_TRUE(waitFor([&] { return probe.connect(from, to); }, 20)) << from << " to " << to << "\n" << output();
    EXPECT_TRUE(waitFor([&] { return probe.peak() > 0.01f; }, 10)) << "peak " << probe.peak() << "\n" << output();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(probe.peak(), 0.125f * 1.05f) << "the Output given bounds the level";
}

}  // namespace
