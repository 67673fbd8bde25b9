// dunmarrow-render end to end: the tool runs as a child process on files
// written here, and the tests check the files it leaves, its exit status and
// its exact messages.

#include <gtest/gtest.h>

#include "FileContents.hpp"
#include <sndfile.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string kTool = DUNMARROW_RENDER_PATH;

struct RunResult {
    int status = -1;        // exit status, or -1 when killed by a signal
    int signal = 0;         // the signal that ended it, or 0
    std::string out;
    std::string err;
};

using Environment = std::map<std::string, std::string>;

// Starts the tool (or another copy of it) with stdout and stderr sent to files
// in `scratch` and the given variables added to (or replacing those of) this
// process's environment.
pid_t spawnTool(const std::vector<std::string>& args, const fs::path& scratch, const Environment& environment = {},
                const std::string& program = kTool) {
    std::vector<std::string> argvStrings{program};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argvStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> environmentStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (!environment.contains(entry.substr(0, entry.find('=')))) environmentStrings.push_back(entry);
    }
    for (const auto& [name, value] : environment) environmentStrings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& e : environmentStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (scratch / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (scratch / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << "cannot start " << program;
    return rc == 0 ? pid : -1;
}

RunResult waitForTool(pid_t pid, const fs::path& scratch) {
    RunResult result;
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return result;
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = testsupport::fileContents(scratch / "stdout");
    result.err = testsupport::fileContents(scratch / "stderr");
    return result;
}

struct Audio {
    SF_INFO info{};
    std::vector<float> samples;  // interleaved
};

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
        s[static_cast<std::size_t>(7 * channels)] = 1e-30f;
    }
    return s;
}

void writeAudio(const fs::path& path, int format, int channels, int rate, const std::vector<float>& samples) {
    SF_INFO info{};
    info.format = format;
    info.channels = channels;
    info.samplerate = rate;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    ASSERT_EQ(sf_writef_float(f, samples.data(), static_cast<sf_count_t>(samples.size() / channels)),
              static_cast<sf_count_t>(samples.size() / channels));
    ASSERT_EQ(sf_close(f), 0);
}

Audio readAudio(const fs::path& path) {
    Audio a;
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &a.info);
    EXPECT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    if (f == nullptr) return a;
    a.samples.resize(static_cast<std::size_t>(a.info.frames * a.info.channels));
    EXPECT_EQ(sf_readf_float(f, a.samples.data(), a.info.frames), a.info.frames);
    sf_close(f);
    return a;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

class RenderTool : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "dunmarrow-render-test.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        work_ = root_ / "work";
        scratch_ = root_ / "scratch";
        fs::create_directory(work_);
        fs::create_directory(scratch_);
    }
    void TearDown() override {
        if (!root_.empty()) {
            std::error_code ec;
            fs::permissions(work_, fs::perms::owner_all, fs::perm_options::add, ec);
            fs::remove_all(root_, ec);
        }
    }

    // Runs the tool with user presets kept in this test's own folder and
    // numbers written with a decimal point.
    RunResult run(const std::vector<std::string>& args, Environment environment = {},
                  const std::string& program = kTool) {
        environment.try_emplace("XDG_DATA_HOME", (root_ / "data").string());
        environment.try_emplace("LC_ALL", "C");
        return waitForTool(spawnTool(args, scratch_, environment, program), scratch_);
    }

    // The names in the work folder: what the tool leaves behind.
    std::set<std::string> workFiles() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(work_)) names.insert(entry.path().filename().string());
        return names;
    }

    fs::path in(const std::string& name) const { return work_ / name; }

    fs::path root_, work_, scratch_;
};

// --- Success ---------------------------------------------------------------

class BypassAtBlockSize : public RenderTool, public ::testing::WithParamInterface<int> {};

TEST_P(BypassAtBlockSize, FloatWavComesOutBitForBit) {
    // 10007 frames: no block size divides it, so the last cycle is short.
    const auto signal = testSignal(2, 10007, 1.5f);  // float files may exceed full scale
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 48000, signal);

    const RunResult r = run({"--bypass", "--block", std::to_string(GetParam()), in("dry.wav"), in("wet.wav")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");  // no progress bar when stderr is not a terminal
    EXPECT_EQ(r.out, "");

    const Audio out = readAudio(in("wet.wav"));
    EXPECT_EQ(out.info.frames, 10007);
    EXPECT_TRUE(sameBits(out.samples, signal));
    EXPECT_EQ(workFiles(), (std::set<std::string>{"dry.wav", "wet.wav"}));
}

INSTANTIATE_TEST_SUITE_P(Blocks, BypassAtBlockSize, ::testing::Values(1, 64, 512, 4096, 16384));

struct FormatCase {
    const char* name;
    int format;
    int channels;
    int rate;
};

class FormatIsKept : public RenderTool, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FormatIsKept, OutputHasTheInputsFormatAndBypassKeepsEverySample) {
    const FormatCase& fc = GetParam();
    const std::string inputName = std::string("dry.") + fc.name;
    const std::string outputName = std::string("wet.") + fc.name;
    writeAudio(in(inputName), fc.format, fc.channels, fc.rate, testSignal(fc.channels, 5000, 0.9f));

    const Audio dry = readAudio(in(inputName));
    ASSERT_EQ(run({"--bypass", in(inputName), in(outputName)}).status, 0);
    const Audio wet = readAudio(in(outputName));
    EXPECT_EQ(wet.info.format, dry.info.format);
    EXPECT_EQ(wet.info.samplerate, dry.info.samplerate);
    EXPECT_EQ(wet.info.channels, dry.info.channels);
    EXPECT_EQ(wet.info.frames, dry.info.frames);
    // Integer samples survive the trip through floats unchanged up to 24 bits.
    EXPECT_TRUE(sameBits(wet.samples, dry.samples));

    // Rendered through the effect, the format is the same too.
    ASSERT_EQ(run({in(inputName), in("fx." + std::string(fc.name))}).status, 0);
    const Audio fx = readAudio(in("fx." + std::string(fc.name)));
    EXPECT_EQ(fx.info.format, dry.info.format);
    EXPECT_EQ(fx.info.samplerate, dry.info.samplerate);
    EXPECT_EQ(fx.info.channels, dry.info.channels);
    EXPECT_EQ(fx.info.frames, dry.info.frames);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FormatIsKept,
    ::testing::Values(FormatCase{"aif", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, 44100},
                      FormatCase{"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, 48000},
                      FormatCase{"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 96000},
                      FormatCase{"caf", SF_FORMAT_CAF | SF_FORMAT_FLOAT | SF_ENDIAN_BIG, 1, 22050}),
    [](const ::testing::TestParamInfo<FormatCase>& p) { return std::string(p.param.name); });

TEST_F(RenderTool, EffectRenderIsDeterministicAndChangesTheSignal) {
    const auto signal = testSignal(2, 20000, 0.5f);
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 44100, signal);

    ASSERT_EQ(run({in("dry.wav"), in("a.wav")}).status, 0);
    // A second apart at least, so that nothing time-dependent can hide in the file.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_EQ(run({in("dry.wav"), in("b.wav")}).status, 0);
    EXPECT_TRUE(testsupport::fileContents(in("a.wav")) == testsupport::fileContents(in("b.wav"))) << "two renders of the same input differ";

    const Audio wet = readAudio(in("a.wav"));
    ASSERT_EQ(wet.samples.size(), signal.size());
    double largestChange = 0;
    for (std::size_t i = 0; i < signal.size(); ++i) {
        ASSERT_TRUE(std::isfinite(wet.samples[i])) << "sample " << i;
        largestChange = std::max(largestChange, std::abs(static_cast<double>(wet.samples[i]) - signal[i]));
    }
    EXPECT_GT(largestChange, 0.01);
}

TEST_F(RenderTool, PeaksArePrintedInDecibels) {
    // Peak 0.5 in the input, exactly: -6.0 dBFS.
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 44100, testSignal(1, 3000, 0.5f));
    const RunResult r = run({"--bypass", "--peaks", in("dry.wav"), in("wet.wav")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "input peak:  -6.0 dBFS\noutput peak: -6.0 dBFS\n");

    writeAudio(in("silence.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 44100, std::vector<float>(100, 0.0f));
    const RunResult quiet = run({"--bypass", "--peaks", in("silence.wav"), in("still.wav")});
    EXPECT_EQ(quiet.out, "input peak:  -inf dBFS\noutput peak: -inf dBFS\n");
}

TEST_F(RenderTool, ReplacesAnExistingOutputOnlyWhenDone) {
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 44100, testSignal(2, 1000, 0.5f));
    std::ofstream(in("wet.wav")) << "old";
    ASSERT_EQ(run({"--bypass", in("dry.wav"), in("wet.wav")}).status, 0);
    EXPECT_EQ(readAudio(in("wet.wav")).info.frames, 1000);
    EXPECT_EQ(fs::status(in("wet.wav")).permissions() & fs::perms::owner_read, fs::perms::owner_read);
    EXPECT_EQ(workFiles(), (std::set<std::string>{"dry.wav", "wet.wav"}));
}

TEST_F(RenderTool, HelpAndCommandLineErrors) {
    const RunResult help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: dunmarrow-render [options] INPUT OUTPUT\n", 0), 0u) << help.out;

    const RunResult none = run({});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err, "dunmarrow-render: expected INPUT and OUTPUT (see --help)\n");

    const RunResult block = run({"--block", "0", "a.wav", "b.wav"});
    EXPECT_EQ(block.status, 2);
    EXPECT_EQ(block.err, "dunmarrow-render: --block needs a frame count from 1 to 16384, not '0'\n");

    const RunResult unknown = run({"--loud", "a.wav", "b.wav"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.err, "dunmarrow-render: unknown option '--loud' (see --help)\n");
}

// --- Failures: one line, non-zero status, nothing left behind ------------------

TEST_F(RenderTool, MissingInput) {
    const RunResult r = run({in("nothing.wav"), in("wet.wav")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dunmarrow-render: cannot open input '" + in("nothing.wav").string() +
                         "': No such file or directory\n");
    EXPECT_TRUE(workFiles().empty());
}

TEST_F(RenderTool, InputThatIsNotAudio) {
    std::ofstream(in("notes.txt")) << "not audio at all, just some words in a file\n";
    const RunResult r = run({in("notes.txt"), in("wet.wav")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dunmarrow-render: cannot read input '" + in("notes.txt").string() +
                         "': Format not recognised\n");
    EXPECT_EQ(workFiles(), (std::set<std::string>{"notes.txt"}));
}

TEST_F(RenderTool, OutputFolderThatDoesNotExist) {
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 44100, testSignal(2, 1000, 0.5f));
    const fs::path target = work_ / "missing" / "wet.wav";
    const RunResult r = run({in("dry.wav"), target});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dunmarrow-render: cannot write output '" + target.string() + "': No such file or directory\n");
    EXPECT_EQ(workFiles(), (std::set<std::string>{"dry.wav"}));
}

TEST_F(RenderTool, OutputThatIsAFolder) {
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 44100, testSignal(2, 1000, 0.5f));
    fs::create_directory(in("wet.wav"));
    const RunResult r = run({in("dry.wav"), in("wet.wav")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dunmarrow-render: cannot write output '" + in("wet.wav").string() + "': Is a directory\n");
    EXPECT_EQ(workFiles(), (std::set<std::string>{"dry.wav", "wet.wav"}));
    EXPECT_TRUE(fs::is_empty(in("wet.wav")));
}

TEST_F(RenderTool, ReadOnlyOutputFolder) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 44100, testSignal(2, 1000, 0.5f));
    const fs::path locked = work_ / "locked";
    fs::create_directory(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    const RunResult r = run({in("dry.wav"), locked / "wet.wav"});
    fs::permissions(locked, fs::perms::owner_all);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "dunmarrow-render: cannot write output '" + (locked / "wet.wav").string() + "': Permission denied\n");
    EXPECT_TRUE(fs::is_empty(locked));
}

TEST_F(RenderTool, ThreeChannels) {
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 3, 44100, testSignal(3, 1000, 0.5f));
    std::ofstream(in("wet.wav")) << "keep me";
    const RunResult r = run({in("dry.wav"), in("wet.wav")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dunmarrow-render: input '" + in("dry.wav").string() +
                         "' has 3 channels; only mono and stereo are supported\n");
    EXPECT_EQ(workFiles(), (std::set<std::string>{"dry.wav", "wet.wav"}));
    EXPECT_EQ(testsupport::fileContents(in("wet.wav")), "keep me");
}

TEST_F(RenderTool, StoppedBySignalMidwayLeavesNothing) {
    // A long input at a small block size renders for long enough to be caught
    // while its temporary file exists.
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 44100, testSignal(2, 44100 * 60, 0.5f));
    const pid_t pid = spawnTool({"--block", "16", in("dry.wav"), in("wet.wav")}, scratch_);
    ASSERT_GT(pid, 0);
    bool sawTemporary = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!sawTemporary && std::chrono::steady_clock::now() < deadline) {
        for (const std::string& name : workFiles()) sawTemporary |= name.rfind(".wet.wav.", 0) == 0;
        if (!sawTemporary) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid, SIGTERM);
    const RunResult r = waitForTool(pid, scratch_);
    ASSERT_TRUE(sawTemporary) << "the render finished before the test saw its temporary file";
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_EQ(workFiles(), (std::set<std::string>{"dry.wav"}));
}

// --- Presets and parameters ----------------------------------------------------

constexpr const char* kFactoryPresets =
    "Factory presets:\n"
    "  0  Blackwall\n"
    "  1  Glass Teeth\n"
    "  2  Funeral Bloom\n";

// Glass Teeth, parameter by parameter, as --set options.
const std::vector<std::string> kGlassTeethByHand{
    "--set", "drive=51.93",      "--set", "tight=0",       "--set", "touch=0",
    "--set", "body=0",           "--set", "bite=38.72",    "--set", "grind=97.41",
    "--set", "crush=100",        "--set", "density=0",     "--set", "cab=0",
    "--set", "decimation=0",     "--set", "doubleTrack=0", "--set", "stereoSpread=0",
    "--set", "liveSafe=0",       "--set", "gain=0.72"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::uint32_t fourCharCode(const char (&text)[5]) {
    return (std::uint32_t(std::uint8_t(text[0])) << 24) | (std::uint32_t(std::uint8_t(text[1])) << 16) |
           (std::uint32_t(std::uint8_t(text[2])) << 8) | std::uint32_t(std::uint8_t(text[3]));
}

TEST_F(RenderTool, ListsPresetsAndParameters) {
    const RunResult presets = run({"--list-presets"});
    EXPECT_EQ(presets.status, 0) << presets.err;
    EXPECT_EQ(presets.err, "");
    EXPECT_EQ(presets.out, std::string(kFactoryPresets) + "User presets: none\n");

    const RunResult parameters = run({"--list-parameters"});
    EXPECT_EQ(parameters.status, 0) << parameters.err;
    EXPECT_EQ(parameters.out,
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
              "gain          Output         0 to 1    0.80     0.80\n");

    // The values shown are those after the preset and the settings.
    const RunResult chosen = run({"--preset", "Glass Teeth", "--set", "liveSafe=on", "--set", "global.decimation=0.257",
                                  "--set", "body=-5", "--list-parameters", "--list-presets"});
    EXPECT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_EQ(chosen.out, std::string(kFactoryPresets) +
                              "User presets: none\n"
                              "IDENTIFIER    NAME           RANGE     DEFAULT  VALUE\n"
                              "drive         Drive          0 to 100  65       52\n"
                              "tight         Tight          0 to 100  100      0\n"
                              "touch         Touch          0 to 100  50       0\n"
                              "body          Body           0 to 100  55       0\n"
                              "bite          Bite           0 to 100  100      39\n"
                              "grind         Grind          0 to 100  35       97\n"
                              "crush         Crush          0 to 100  45       100\n"
                              "density       Density        0 to 100  50       0\n"
                              "cab           Cab            0 to 100  100      0\n"
                              "decimation    Decimation     0 to 1    0.00     0.26\n"
                              "doubleTrack   Double Track   0 to 1    0.00     0.00\n"
                              "stereoSpread  Stereo Spread  0 to 1    0.00     0.00\n"
                              "liveSafe      Live Safe      0 to 1    Off      On\n"
                              "gain          Output         0 to 1    0.80     0.72\n");

    const RunResult operands = run({"--list-presets", "a.wav"});
    EXPECT_EQ(operands.status, 2);
    EXPECT_EQ(operands.err, "dunmarrow-render: --list-presets and --list-parameters take no INPUT or OUTPUT\n");
    EXPECT_TRUE(workFiles().empty());
}

TEST_F(RenderTool, APresetRendersAsItsValuesSetByHand) {
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 44100, testSignal(2, 20000, 0.5f));

    ASSERT_EQ(run({"--preset", "Glass Teeth", in("dry.wav"), in("named.wav")}).status, 0);
    ASSERT_EQ(run({"--preset=1", in("dry.wav"), in("numbered.wav")}).status, 0);
    const RunResult byHand = run(kGlassTeethByHand + std::vector<std::string>{in("dry.wav"), in("byhand.wav")});
    ASSERT_EQ(byHand.status, 0) << byHand.err;
    ASSERT_EQ(run({in("dry.wav"), in("default.wav")}).status, 0);

    const std::string named = testsupport::fileContents(in("named.wav"));
    EXPECT_TRUE(named == testsupport::fileContents(in("numbered.wav")));
    EXPECT_TRUE(named == testsupport::fileContents(in("byhand.wav"))) << "the preset differs from its values set one by one";
    EXPECT_FALSE(named == testsupport::fileContents(in("default.wav"))) << "the preset changed nothing";
}

TEST_F(RenderTool, TheSameChoicesRenderTheSameFile) {
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 48000, testSignal(2, 15000, 0.7f));
    const std::vector<std::string> choices{"--preset", "Funeral Bloom", "--set", "doubleTrack=0.4",
                                           "--set=stereoSpread=0.6", "--block", "300"};
    ASSERT_EQ(run(choices + std::vector<std::string>{in("dry.wav"), in("a.wav")}).status, 0);
    ASSERT_EQ(run(choices + std::vector<std::string>{in("dry.wav"), in("b.wav")}).status, 0);
    EXPECT_TRUE(testsupport::fileContents(in("a.wav")) == testsupport::fileContents(in("b.wav")));
    ASSERT_EQ(run({"--preset", "Funeral Bloom", in("dry.wav"), in("c.wav")}).status, 0);
    EXPECT_FALSE(testsupport::fileContents(in("a.wav")) == testsupport::fileContents(in("c.wav"))) << "the settings changed nothing";
}

TEST_F(RenderTool, UserPresetsAreChosenByName) {
    // A preset as the platform saves it, in the user's preset folder.
    const fs::path folder = root_ / "data" / "dunmarrow" / "presets" / "aufx-dmds-QVRN";
    fs::create_directories(folder);
    std::ofstream(folder / "user-3.json")
        << R"({"type": )" << fourCharCode("aufx") << R"(, "subtype": )" << fourCharCode("dmds")
        << R"(, "manufacturer": )" << fourCharCode("QVRN")
        << R"(, "version": 1, "preset": {"number": -3, "name": "Dry Bones"}, "parameters": {"0": 20, "1": 40,
          "2": 60, "3": 80, "4": 0.5, "5": 10, "6": 30, "7": 70, "8": 90, "9": 15, "10": 0.1, "11": 0.2,
          "12": 0.3, "13": 1}})";

    const RunResult list = run({"--list-presets"});
    EXPECT_EQ(list.out, std::string(kFactoryPresets) + "User presets:\n  -3  Dry Bones\n");

    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 44100, testSignal(2, 12000, 0.5f));
    const RunResult preset = run({"--preset", "dry bones", in("dry.wav"), in("preset.wav")});
    ASSERT_EQ(preset.status, 0) << preset.err;
    ASSERT_EQ(run({"--set", "drive=20", "--set", "tight=40", "--set", "bite=60", "--set", "cab=80", "--set", "gain=0.5",
                   "--set", "body=10", "--set", "crush=30", "--set", "density=70", "--set", "grind=90", "--set",
                   "touch=15", "--set", "decimation=0.1", "--set", "doubleTrack=0.2", "--set", "stereoSpread=0.3",
                   "--set", "liveSafe=1", in("dry.wav"), in("byhand.wav")})
                  .status,
              0);
    EXPECT_TRUE(testsupport::fileContents(in("preset.wav")) == testsupport::fileContents(in("byhand.wav")));
}

TEST_F(RenderTool, ChoicesThatDoNotExistAreRefusedBeforeAnyAudio) {
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 44100, testSignal(2, 1000, 0.5f));
    std::ofstream(in("wet.wav")) << "keep me";
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases{
        {{"--preset", "Velvet"}, "unknown preset 'Velvet' (see --list-presets)"},
        {{"--preset", "5"}, "no factory preset has the number 5 (see --list-presets)"},
        {{"--set", "volume=3"}, "unknown parameter 'volume' (see --list-parameters)"},
        {{"--set", "drive=loud"}, "cannot set drive to 'loud': not a number"},
        {{"--set", "gain="}, "cannot set gain to '': not a number"},
        {{"--set", "drive"}, "--set needs IDENTIFIER=VALUE, not 'drive'"},
        {{"--set", "=5"}, "--set needs IDENTIFIER=VALUE, not '=5'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const RunResult r = run(c.args + std::vector<std::string>{in("dry.wav"), in("wet.wav")});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "dunmarrow-render: " + c.message + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(workFiles(), (std::set<std::string>{"dry.wav", "wet.wav"}));
        EXPECT_EQ(testsupport::fileContents(in("wet.wav")), "keep me");
    }
    EXPECT_EQ(run({in("dry.wav"), in("wet.wav"), "--preset"}).err,
              "dunmarrow-render: --preset needs a preset name or number\n");
    EXPECT_EQ(run({in("dry.wav"), in("wet.wav"), "--set"}).err, "dunmarrow-render: --set needs IDENTIFIER=VALUE\n");
    EXPECT_EQ(testsupport::fileContents(in("wet.wav")), "keep me");
}

TEST_F(RenderTool, AMissingEffectIsAClearErrorAndWritesNothing) {
    if (fs::exists(fs::path(DUNMARROW_AUDIO_UNIT_INSTALL_DIR) / "DunmarrowAUExtension.auext"))
        GTEST_SKIP() << "the effect is installed on this machine";
    // A copy of the tool away from the build's lib/ folder, with an empty home.
    const fs::path program = root_ / "bin" / "dunmarrow-render";
    fs::create_directories(program.parent_path());
    fs::copy_file(kTool, program);
    fs::create_directories(root_ / "home");
    const Environment alone{{"HOME", (root_ / "home").string()}, {"DUNMARROW_AUDIO_UNIT_PATH", ""}};
    const std::string message =
        "dunmarrow-render: cannot find the effect: No installed audio unit matches type aufx, subtype dmds, "
        "manufacturer QVRN (build the target DunmarrowAUExtension, or name the folder holding "
        "DunmarrowAUExtension.auext in DUNMARROW_AUDIO_UNIT_PATH)\n";

    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 44100, testSignal(2, 1000, 0.5f));
    const RunResult r = run({in("dry.wav"), in("wet.wav")}, alone, program.string());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(workFiles(), (std::set<std::string>{"dry.wav"}));

    const RunResult list = run({"--list-presets"}, alone, program.string());
    EXPECT_EQ(list.status, 1);
    EXPECT_EQ(list.err, message);
    EXPECT_EQ(list.out, "");
}

}  // namespace
