// dunmarrow-render end to end, as a child process: the files it leaves, its
// exit status and its exact messages.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AudioFileIO.hpp"
#include "RunProgram.hpp"
#include "TempDir.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::Audio;
using testsupport::fileContents;
using testsupport::ProgramRun;
using testsupport::readAudio;
using testsupport::writeAudio;
using Args = std::vector<std::string>;
using Environment = std::map<std::string, std::string>;
using Names = std::set<std::string>;

const std::string kTool = DUNMARROW_RENDER_PATH;

Args operator+(Args a, const Args& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A test signal: a chord of sines at different levels per channel, a burst of
// pseudo-random noise and a few extreme values (full scale, tiny, zero).
std::vector<float> testSignal(int channels, std::int64_t frames, float level) {
    std::vector<float> s(static_cast<std::size_t>(frames * channels));
    std::uint32_t noise = 12345;
    for (std::int64_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            const double t = static_cast<double>(i) / 44100.0;
            double v = 0.5 * std::sin(2 * M_PI * (110.0 + 55.0 * c) * t) + 0.25 * std::sin(2 * M_PI * 1234.5 * t);
            noise = noise * 1664525u + 1013904223u;
            if (i > frames / 2 && i < frames / 2 + 2000) v += 0.2 * (static_cast<double>(noise >> 8) / 8388608.0 - 1.0);
            s[static_cast<std::size_t>(i * channels + c)] = static_cast<float>(v * level / 0.95);
        }
    }
    if (frames > 10) {
        s[0] = 0.0f;
        s[static_cast<std::size_t>(3 * channels)] = level;
        s[static_cast<std::size_t>(5 * channels)] = -level;
        s[static_cast<std::size_t>(7 * channels)] = 1e-30f * level;
    }
    return s;
}

class RenderTool : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directory(work_); }

    // Runs the tool with user presets kept in this test's own folder and
    // numbers written with a decimal point.
    testsupport::ProgramOptions options(Environment environment = {}) const {
        environment.try_emplace("XDG_DATA_HOME", (root_ / "data").string());
        environment.try_emplace("LC_ALL", "C");
        testsupport::ProgramOptions options;
        options.environment = environment;
        options.timeLimit = std::chrono::seconds(60);
        return options;
    }
    ProgramRun run(const Args& args, const Environment& environment = {}, const std::string& program = kTool) const {
        return testsupport::runProgram(Args{program} + args, options(environment));
    }

    // The names in the work folder: what the tool leaves behind.
    Names workFiles() const {
        Names names;
        for (const auto& entry : fs::directory_iterator(work_)) names.insert(entry.path().filename().string());
        return names;
    }
    std::string in(const std::string& name) const { return (work_ / name).string(); }
    void writeDry(int channels = 2, std::int64_t frames = 1000, const std::string& name = "dry.wav") const {
        writeAudio(in(name), SF_FORMAT_WAV | SF_FORMAT_FLOAT, channels, 44100, testSignal(channels, frames, 0.5f));
    }

    testsupport::TempDir temporary_;
    const fs::path root_ = temporary_.path(), work_ = root_ / "work";
};

// 10007 frames: no block size divides it, so the last cycle is short. Float
// files may exceed full scale; integer samples survive the trip through
// floats unchanged up to 24 bits. --peaks prints both peaks in dBFS, or says
// how many samples are not finite. The effect changes the sound, and the file
// holds no PEAK chunk: it carries the time of writing, so that two renders of
// the same input would differ.
TEST_F(RenderTool, BypassKeepsEverySampleAndEveryFormatKeepsItsKindAtEveryBlockSize) {
    struct Case {
        const char* extension;
        int format, channels, rate, block;
        float level;  // the signal's peak; 0: silence
        std::string peak;
    };
    const std::string notFinite = "not finite (the file holds 3 non-finite samples)";
    const Case cases[] = {{"wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 48000, 1, 1.5f, "3.5 dBFS"},
                          {"wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 48000, 16384, 1.5f, notFinite},
                          {"aif", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, 44100, 64, 0.9f, "-0.9 dBFS"},
                          {"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, 48000, 512, 0.9f, "-0.9 dBFS"},
                          {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 96000, 4096, 0.9f, "-0.9 dBFS"},
                          {"caf", SF_FORMAT_CAF | SF_FORMAT_FLOAT | SF_ENDIAN_BIG, 1, 22050, 1000, 0.0f, "-inf dBFS"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.extension << " " << c.channels << " ch, block " << c.block);
        const Names names{std::string("dry.") + c.extension, std::string("wet.") + c.extension,
                          std::string("fx.") + c.extension};
        const std::string dry = in(*names.begin()), fx = in(*std::next(names.begin())), wet = in(*names.rbegin());
        auto signal = testSignal(c.channels, 10007, c.level);
        if (c.peak == notFinite) signal[100] = signal[200] = std::nanf(""), signal[300] = -INFINITY;
        writeAudio(dry, c.format, c.channels, c.rate, signal);
        const ProgramRun r = run({"--bypass", "--peaks", "--block", std::to_string(c.block), dry, wet});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");  // no progress bar when stderr is not a terminal
        EXPECT_EQ(r.out, "input peak:  " + c.peak + "\noutput peak: " + c.peak + "\n");
        ASSERT_EQ(run({dry, fx}).status, 0);
        const Audio input = readAudio(dry), bypassed = readAudio(wet);
        EXPECT_EQ(bypassed.samples.size(), input.samples.size());
        EXPECT_EQ(std::memcmp(bypassed.samples.data(), input.samples.data(), input.samples.size() * sizeof(float)), 0);
        const Audio processed = readAudio(fx);
        EXPECT_TRUE(c.level == 0 || !(processed.samples == input.samples)) << "the effect changed nothing";
        EXPECT_EQ(fileContents(fx).find("PEAK"), std::string::npos);
        for (const Audio& out : {bypassed, processed}) {
            EXPECT_EQ(out.info.format, input.info.format);
            EXPECT_EQ(out.info.samplerate, input.info.samplerate);
            EXPECT_EQ(out.info.channels, input.info.channels);
            EXPECT_EQ(out.info.frames, 10007);
        }
        EXPECT_EQ(workFiles(), names);
        for (const auto& file : {dry, wet, fx}) fs::remove(file);
    }
}

// Every refusal is one line on standard error and a status (2 for the command
// line, 1 otherwise), before any output exists: every file is left as it was.
TEST_F(RenderTool, RefusalsAreOneLineAndLeaveEveryFileAsItWas) {
    const ProgramRun help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: dunmarrow-render [options] INPUT OUTPUT\n")) << help.out;

    writeDry();
    writeDry(3, 1000, "three.wav");
    std::ofstream(in("notes.txt")) << "not audio at all, just some words in a file\n";
    std::ofstream(in("wet.wav")) << "keep me";
    const std::string dry = in("dry.wav"), wet = in("wet.wav");
    const auto cannot = [&](const std::string& what, const std::string& name, const std::string& why) {
        return "cannot " + what + " '" + in(name) + "': " + why;
    };
    struct Case {
        Args args;
        int status;
        std::string message;
        Environment environment{};
    };
    const Case cases[] = {
        {{}, 2, "expected INPUT and OUTPUT (see --help)"},
        {{"--block", "0", dry, wet}, 2, "--block needs a frame count from 1 to 16384, not '0'"},
        {{"--loud", dry, wet}, 2, "unknown option '--loud' (see --help)"},
        {{"--list-presets", "a.wav"}, 2, "--list-presets and --list-parameters take no INPUT or OUTPUT"},
        {{dry, wet, "--preset"}, 2, "--preset needs a preset name or number"},
        {{dry, wet, "--set"}, 2, "--set needs IDENTIFIER=VALUE"},
        {{"--set", "drive=1e39", dry, wet}, 2, "cannot set drive to '1e39': out of range"},
        {{"--set", "drive=-inf", dry, wet}, 2, "cannot set drive to '-inf': infinite"},
        {{"--set", "drive", dry, wet}, 2, "--set needs IDENTIFIER=VALUE, not 'drive'"},
        {{"--set", "=5", dry, wet}, 2, "--set needs IDENTIFIER=VALUE, not '=5'"},
        {{"--list-presets"}, 2, "DUNMARROW_RENDER_TIME_LIMIT needs whole seconds from 1 to 86400, not 'soon'",
         {{"DUNMARROW_RENDER_TIME_LIMIT", "soon"}}},
        {{in("nothing.wav"), wet}, 1, cannot("open input", "nothing.wav", "No such file or directory")},
        {{in("notes.txt"), wet}, 1, cannot("read input", "notes.txt", "Format not recognised")},
        {{in("three.wav"), wet}, 1, "input '" + in("three.wav") + "' has 3 channels; only mono and stereo are supported"},
        {{dry, in("missing/wet.wav")}, 1, cannot("write output", "missing/wet.wav", "No such file or directory")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const ProgramRun r = run(c.args, c.environment);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, "dunmarrow-render: " + c.message + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(workFiles(), (Names{"dry.wav", "three.wav", "notes.txt", "wet.wav"}));
        EXPECT_EQ(fileContents(wet), "keep me");
    }
}

// A regular file (or the file a link leads to) is replaced through a
// temporary name and keeps its mode (and owner, for root); a FIFO or a
// character device is written in place; anything else is refused. Whatever
// stood at the output stays of its kind.
TEST_F(RenderTool, WhatStandsAtTheOutputDecidesHowItIsWritten) {
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, testSignal(2, 3000, 0.5f));
    ASSERT_EQ(run({"--bypass", in("dry.wav"), in("expected.wav")}).status, 0);
    const std::string expected = fileContents(in("expected.wav"));
    const bool root = geteuid() == 0;
    const auto makeFile = [root](const fs::path& path, mode_t mode) {
        std::ofstream(path) << "old";
        chmod(path.c_str(), mode);
        if (root) {
            ASSERT_EQ(chown(path.c_str(), 1234, 5678), 0);
        }
    };
    struct Case {
        std::string output;                         // its name in the work folder
        std::function<void(const fs::path&)> make;  // what stands there beforehand
        std::string refusal;                        // why the tool refuses it, if it does
    };
    const Case cases[] = {
        {"private.wav", [&](const fs::path& p) { makeFile(p, 0600); }, ""},
        {"link.wav",
         [&](const fs::path& p) {
             makeFile(in("linked.wav"), 0640);
             fs::create_symlink("linked.wav", p);
         },
         ""},
        {"dangling.wav", [](const fs::path& p) { fs::create_symlink("made.wav", p); }, ""},
        {std::string(251, 'n') + ".wav", [](const fs::path&) {}, ""},
        {"fifo", [](const fs::path& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }, ""},
        // Only root makes device nodes.
        {"null", [root](const fs::path& p) { ASSERT_TRUE(!root || mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0); }, ""},
        {"folder", [](const fs::path& p) { fs::create_directory(p); }, "Is a directory"},
        {"socket", [](const fs::path& p) { ASSERT_EQ(mknod(p.c_str(), S_IFSOCK | 0644, 0), 0); },
         "it is a socket, not a file, a character device or a FIFO"},
        {"loop", [](const fs::path& p) { fs::create_symlink(p.filename(), p); }, "Too many levels of symbolic links"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        const std::string output = in(c.output);
        c.make(output);
        struct stat before {}, replaced {}, after {};
        lstat(output.c_str(), &before);
        const bool hadFile = stat(output.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode);
        // The reader is there before the tool; the file fits in the FIFO's buffer.
        const int reader = S_ISFIFO(before.st_mode) ? open(output.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        const ProgramRun r = run({"--bypass", in("dry.wav"), output});
        std::string readBack;
        char chunk[4096];
        for (ssize_t got = 0; reader >= 0 && (got = read(reader, chunk, sizeof chunk)) > 0;) readBack.append(chunk, got);
        if (reader >= 0) close(reader);
        EXPECT_EQ(r.status, c.refusal.empty() ? 0 : 1);
        EXPECT_EQ(r.err, c.refusal.empty() ? "" : "dunmarrow-render: cannot write output '" + output + "': " + c.refusal + "\n");
        lstat(output.c_str(), &after);
        EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode == 0 ? S_IFREG : before.st_mode & S_IFMT);
        EXPECT_TRUE(reader < 0 || readBack == expected) << readBack.size() << " bytes read";
        if (c.refusal.empty() && (S_ISREG(after.st_mode) || S_ISLNK(after.st_mode))) {
            EXPECT_TRUE(fileContents(output) == expected);
            stat(output.c_str(), &after);
            EXPECT_TRUE(!hadFile || (after.st_mode == replaced.st_mode && after.st_uid == replaced.st_uid &&
                                     after.st_gid == replaced.st_gid));
        }
        for (const std::string& name : workFiles()) EXPECT_NE(name[0], '.') << "left behind: " << name;
    }
}

// A signal, or the file size limit, while the temporary file exists: no
// output and no temporary file left; a signal the parent ignores (as nohup
// leaves SIGHUP) stays ignored and the render completes.
TEST_F(RenderTool, SignalsAndTheFileSizeLimitLeaveNothingBehind) {
    // A long input at a small block size renders for long enough to be caught.
    writeDry(2, 44100 * 60);
    // SIGQUIT and the like would leave a core file.
    struct rlimit noCore {};
    getrlimit(RLIMIT_CORE, &noCore);
    noCore.rlim_cur = 0;
    setrlimit(RLIMIT_CORE, &noCore);

    struct Case {
        int signal;                // sent once the temporary file exists; 0: none
        bool ignoredByParent;
        rlim_t fileSizeLimit = 0;  // as `ulimit -f` sets it, in bytes; 0: none
    };
    std::vector<Case> cases{{SIGHUP, true}, {0, false, 64 * 1024}};
    for (int number : {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM,
                       SIGPROF, SIGIO, SIGPWR, SIGRTMIN, SIGRTMAX})
        cases.push_back({number, false});

    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.signal != 0 ? strsignal(c.signal) : "file size limit") +
                     (c.ignoredByParent ? ", ignored by the parent" : ""));
        // Dispositions set to ignore, and limits, pass to the child.
        struct rlimit limit {};
        getrlimit(RLIMIT_FSIZE, &limit);
        const struct rlimit unlimited = limit;
        if (c.fileSizeLimit != 0) limit.rlim_cur = c.fileSizeLimit;
        setrlimit(RLIMIT_FSIZE, &limit);
        if (c.ignoredByParent) signal(c.signal, SIG_IGN);
        const auto started = testsupport::startProgram({kTool, "--block", "16", in("dry.wav"), in("wet.wav")}, options());
        setrlimit(RLIMIT_FSIZE, &unlimited);
        if (c.ignoredByParent) signal(c.signal, SIG_DFL);
        ASSERT_GT(started.pid, 0);

        if (c.signal != 0) {
            bool sawTemporary = false;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!sawTemporary && std::chrono::steady_clock::now() < deadline) {
                for (const std::string& name : workFiles()) sawTemporary |= name.starts_with(".wet.wav.");
                if (!sawTemporary) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            kill(started.pid, c.signal);
            ASSERT_TRUE(sawTemporary) << "the render finished before the test saw its temporary file";
        }
        const ProgramRun r = testsupport::waitForProgram(started);
        if (c.ignoredByParent) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(readAudio(in("wet.wav")).info.frames, 44100 * 60);
            fs::remove(in("wet.wav"));
        } else if (c.fileSizeLimit != 0) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "dunmarrow-render: cannot write output '" + in("wet.wav") + "': File too large\n");
        } else {
            EXPECT_EQ(r.signal, c.signal);
        }
        EXPECT_EQ(workFiles(), Names{"dry.wav"});
        for (const std::string& name : workFiles())
            if (name != "dry.wav") fs::remove(in(name));  // so that the next case starts clean
    }
}

// No effect to be found, an effect whose loading never finishes (in a module
// constructor, or while its principal object is made) and a FIFO nobody
// reads: each ends the tool with its error line and writes nothing.
TEST_F(RenderTool, AnEffectThatCannotBeLoadedOrAnUnreadFIFOEndsTheToolWithItsErrorLine) {
    if (fs::exists(fs::path(DUNMARROW_AUDIO_UNIT_INSTALL_DIR) / "DunmarrowAUExtension.auext"))
        GTEST_SKIP() << "the effect is installed on this machine";
    // A copy of the tool away from the build's lib/ folder, with an empty
    // home, finds only the effects named here.
    const std::string program = (root_ / "bin" / "dunmarrow-render").string();
    fs::create_directories(root_ / "bin");
    fs::copy_file(kTool, program);
    fs::create_directories(root_ / "home");
    const auto only = [&](const std::string& folder, const char* limit) {
        return Environment{{"HOME", (root_ / "home").string()}, {"DUNMARROW_AUDIO_UNIT_PATH", folder},
                           {"DUNMARROW_RENDER_TIME_LIMIT", limit}};
    };
    const std::string hanging = std::string(RENDER_TEST_HANGING_BUNDLES) + "/";
    writeDry();
    ASSERT_EQ(mkfifo(in("unread").c_str(), 0644), 0);

    const std::string missing =
        "cannot find the effect: No installed audio unit matches type aufx, subtype dmds, manufacturer QVRN (build "
        "the target DunmarrowAUExtension, or name the folder holding DunmarrowAUExtension.auext in "
        "DUNMARROW_AUDIO_UNIT_PATH)";
    const std::string loading = "the effect did not finish loading within 1 second";
    struct Case {
        std::string program;
        Environment environment;
        Args args;
        std::string message;
    };
    const Case cases[] = {
        {program, only("", "30"), {in("dry.wav"), in("wet.wav")}, missing},
        {program, only(hanging + "Constructor", "1"), {in("dry.wav"), in("wet.wav")}, loading},
        {program, only(hanging + "PrincipalObject", "1"), {in("dry.wav"), in("wet.wav")}, loading},
        // Long enough for the real effect to load, in any build.
        {kTool, {{"DUNMARROW_RENDER_TIME_LIMIT", "3"}}, {in("dry.wav"), in("unread")},
         "cannot write output '" + in("unread") + "': no program opened it for reading within 3 seconds"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message + " " + c.environment.at("DUNMARROW_RENDER_TIME_LIMIT"));
        const ProgramRun r = run(c.args, c.environment, c.program);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "dunmarrow-render: " + c.message + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(workFiles(), (Names{"dry.wav", "unread"}));
        EXPECT_TRUE(fs::is_fifo(in("unread")));
    }
}

constexpr const char* kFactoryPresets =
    "Factory presets:\n"
    "  0  Blackwall\n"
    "  1  Glass Teeth\n"
    "  2  Funeral Bloom\n";

// The values shown are those after the preset (by name in any case, or by
// number) and the settings: the defaults' lines with the last column changed.
TEST_F(RenderTool, ListsPresetsAndParameters) {
    const std::string defaults =
        "IDENTIFIER    NAME           RANGE     DEFAULT  VALUE\n"
        "drive         Drive          0 to 100  65       65\n"
        "tight         Tight          0 to 100  100      100\n"
        "touch         Touch          0 to 100  50       50\n"
        "body          Body           0 to 100  55       55\n"
        "bite          Bite           0 to 100  100      100\n"
        "grind         Grind          0 to 100  35       35\n"
        "crush         Crush          0 to 100  45       45\n"
        "density       Density        0 to 100  50       50\n"
        "cab           Cab            0 to 100  100      100\n"
        "decimation    Decimation     0 to 1    0.00     0.00\n"
        "doubleTrack   Double Track   0 to 1    0.00     0.00\n"
        "stereoSpread  Stereo Spread  0 to 1    0.00     0.00\n"
        "liveSafe      Live Safe      0 to 1    Off      Off\n"
        "gain          Output         0 to 1    0.80     0.80\n";
    std::string chosenValues = defaults.substr(0, defaults.find('\n') + 1);
    const char* values[] = {"52", "0", "0", "0", "39", "97", "100", "0", "0", "0.26", "0.00", "0.00", "On", "0.72"};
    for (std::size_t line = defaults.find('\n') + 1, i = 0; i < std::size(values); line = defaults.find('\n', line) + 1)
        chosenValues += defaults.substr(line, 48) + values[i++] + "\n";
    const Args choices{"--set", "liveSafe=on", "--set=global.decimation=0.257", "--set", "body=-5",
                       "--list-parameters", "--list-presets"};
    const ProgramRun chosen = run(Args{"--preset", "glass teeth"} + choices);
    EXPECT_EQ(chosen.status, 0);
    EXPECT_EQ(chosen.err, "");
    EXPECT_EQ(chosen.out, std::string(kFactoryPresets) + "User presets: none\n" + chosenValues);
    EXPECT_EQ(run(Args{"--preset=1"} + choices).out, chosen.out);
}

TEST_F(RenderTool, UserPresetFilesThatCannotBeUsedAreNamedWithTheReason) {
    const fs::path folder = root_ / "data" / "dunmarrow" / "presets" / "aufx-dmds-QVRN", file = folder / "user-1.json";
    // A user preset as the platform saves it for the effect (aufx dmds QVRN).
    const auto preset = [](const std::string& name, const std::string& parameters) {
        return [name, parameters](const fs::path& path) {
            std::ofstream(path) << R"({"type": 1635083896, "subtype": 1684890739, "manufacturer": 1364611662, )"
                                << R"("version": 1, "preset": {"number": -1, "name": ")" << name
                                << R"("}, "parameters": {"4": )" << parameters << "}}";
        };
    };
    const std::string unreadable = "unknown preset 'Mine', and a user preset file could not be read (" + file.string();
    const Args mine{"--preset", "Mine", "--list-presets"};
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
        Args args;
        std::string out;
        std::string err;  // empty: status 0
    };
    const Case cases[]{
        {"fifo", [](const fs::path& p) { mkfifo(p.c_str(), 0644); }, mine, "", unreadable + ": not a regular file)"},
        {"not JSON", [](const fs::path& p) { std::ofstream(p) << "{"; }, mine, "", unreadable + ": not JSON)"},
        {"a parameter the effect lacks", preset("Mine", R"(1, "99": 1)"), {"--preset", "mine", "--list-presets"}, "",
         "cannot load the user preset 'Mine' from " + file.string() + ": no parameter at address 99"},
        {"control characters in the name", preset(R"(Bad\u001b[2J\nName\u0085\u007f)", "1"), {"--list-presets"},
         std::string(kFactoryPresets) + "User presets:\n  -1  Bad\\x1b[2J\\nName\\u0085\\x7f\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(folder);
        fs::create_directories(folder);
        c.make(file);
        const ProgramRun r = run(c.args);
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
        EXPECT_EQ(r.err, c.err.empty() ? "" : "dunmarrow-render: " + c.err + "\n");
        EXPECT_TRUE(r.out.ends_with(c.out)) << r.out;
        EXPECT_EQ(r.out.empty(), c.out.empty());
    }
}

}  // namespace
