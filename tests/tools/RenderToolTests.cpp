// dunmarrow-render end to end: the tool runs as a child process on files
// written here, and the tests check the files it leaves, its exit status and
// its exact messages.

#include <gtest/gtest.h>

#include "FileContents.hpp"
#include <sndfile.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
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

// Waits for the tool to end; one still running after `limit` has hung: it is
// killed and the test fails.
RunResult waitForTool(pid_t pid, const fs::path& scratch, std::chrono::seconds limit = std::chrono::seconds(120)) {
    RunResult result;
    int status = 0;
    if (pid < 0) return result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pid_t ended = 0;
    while ((ended = waitpid(pid, &status, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the tool did not end within " << limit.count() << " s";
            kill(pid, SIGKILL);
            ended = waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (ended != pid) return result;
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

    auto broken = testSignal(1, 3000, 0.5f);
    broken[100] = broken[200] = std::nanf("");
    broken[300] = -INFINITY;
    writeAudio(in("broken.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 44100, broken);
    const RunResult nonFinite = run({"--bypass", "--peaks", in("broken.wav"), in("still.wav")});
    EXPECT_EQ(nonFinite.out, "input peak:  not finite (the file holds 3 non-finite samples)\n"
                             "output peak: not finite (the file holds 3 non-finite samples)\n");
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

TEST_F(RenderTool, WhatStandsAtTheOutputDecidesHowItIsWritten) {
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, testSignal(2, 3000, 0.5f));
    ASSERT_EQ(run({"--bypass", in("dry.wav"), in("expected.wav")}).status, 0);
    const std::string expected = testsupport::fileContents(in("expected.wav"));
    const bool root = geteuid() == 0;
    const auto makeFile = [](const fs::path& path, mode_t mode) {
        std::ofstream(path) << "old";
        chmod(path.c_str(), mode);
        if (geteuid() == 0) {
            ASSERT_EQ(chown(path.c_str(), 1234, 5678), 0);
        }
    };
    const auto modeOf = [](const fs::path& path) {
        struct stat st {};
        stat(path.c_str(), &st);
        return st.st_mode;
    };
    const auto expectKeptFrom = [&](const fs::path& path, mode_t mode) {
        EXPECT_TRUE(testsupport::fileContents(path) == expected);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        if (root) {
            EXPECT_EQ(st.st_uid, 1234u);
            EXPECT_EQ(st.st_gid, 5678u);
        }
    };
    const auto kept = [&](mode_t kind) {
        return [&, kind](const fs::path& path) { EXPECT_EQ(modeOf(path) & S_IFMT, kind); };
    };
    const std::string notWritten = ", not a file, a character device or a FIFO";
    std::error_code ignored;

    struct Case {
        std::string output;                          // its name in the work folder
        std::function<void(const fs::path&)> make;   // what stands at the output beforehand
        std::function<void(const fs::path&)> check;  // what stands there afterwards
        std::string refusal;                         // why the tool refuses it, if it does
        bool readsBack = false;                      // a program reads the output
        bool needsRoot = false;
    };
    const std::vector<Case> cases{
        {"private.wav", [&](const fs::path& p) { makeFile(p, 0600); },
         [&](const fs::path& p) { expectKeptFrom(p, 0600); }, ""},
        {"link.wav",
         [&](const fs::path& p) {
             makeFile(in("linked.wav"), 0640);
             fs::create_symlink("linked.wav", p);
         },
         [&](const fs::path& p) {
             EXPECT_EQ(fs::read_symlink(p, ignored), "linked.wav");
             expectKeptFrom(in("linked.wav"), 0640);
         },
         ""},
        {"dangling.wav", [](const fs::path& p) { fs::create_symlink("made.wav", p); },
         [&](const fs::path& p) {
             EXPECT_EQ(fs::read_symlink(p, ignored), "made.wav");
             EXPECT_TRUE(testsupport::fileContents(in("made.wav")) == expected);
         },
         ""},
        {std::string(251, 'n') + ".wav", [](const fs::path&) {},
         [&](const fs::path& p) { EXPECT_TRUE(testsupport::fileContents(p) == expected); }, ""},
        {"fifo", [](const fs::path& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); },
         kept(S_IFIFO), "", true},
        {"null", [](const fs::path& p) { ASSERT_EQ(mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0); },
         kept(S_IFCHR), "", false, true},
        {"folder", [](const fs::path& p) { fs::create_directory(p); }, kept(S_IFDIR), "Is a directory"},
        {"socket",
         [](const fs::path& p) {
             const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             std::strncpy(address.sun_path, p.c_str(), sizeof address.sun_path - 1);
             ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << p;
             close(fd);
         },
         kept(S_IFSOCK), "it is a socket" + notWritten},
        {"disk", [](const fs::path& p) { ASSERT_EQ(mknod(p.c_str(), S_IFBLK | 0600, makedev(7, 0)), 0); },
         kept(S_IFBLK), "it is a block device" + notWritten, false, true},
        {"loop",
         [](const fs::path& p) {
             fs::create_symlink("loop2", p);
             fs::create_symlink(p.filename(), p.parent_path() / "loop2");
         },
         [](const fs::path& p) { EXPECT_TRUE(fs::is_symlink(p)); }, "Too many levels of symbolic links"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        if (c.needsRoot && !root) continue;  // only root makes device nodes
        const fs::path output = in(c.output);
        c.make(output);
        // The reader is there before the tool; the file fits in the FIFO's buffer.
        const int reader = c.readsBack ? open(output.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        const RunResult r = run({"--bypass", in("dry.wav"), output});
        std::string readBack;
        char chunk[4096];
        for (ssize_t got = 0; reader >= 0 && (got = read(reader, chunk, sizeof chunk)) > 0;) readBack.append(chunk, got);
        if (reader >= 0) close(reader);
        if (c.refusal.empty()) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "dunmarrow-render: cannot write output '" + output.string() + "': " + c.refusal + "\n");
        }
        if (c.readsBack) {
            EXPECT_TRUE(readBack == expected) << readBack.size() << " bytes read";
        }
        c.check(output);
        for (const std::string& name : workFiles()) EXPECT_NE(name[0], '.') << "left behind: " << name;
    }
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

TEST_F(RenderTool, SignalsAndTheFileSizeLimitLeaveNothingBehind) {
    // A long input at a small block size renders for long enough to be caught
    // while its temporary file exists.
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 44100, testSignal(2, 44100 * 60, 0.5f));
    // SIGQUIT and the like would leave a core file.
    struct rlimit noCore {};
    getrlimit(RLIMIT_CORE, &noCore);
    noCore.rlim_cur = 0;
    setrlimit(RLIMIT_CORE, &noCore);

    struct Case {
        int signal;                // sent once the temporary file exists; 0: none
        bool ignoredByParent;      // as nohup leaves SIGHUP
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
        const pid_t pid = spawnTool({"--block", "16", in("dry.wav"), in("wet.wav")}, scratch_);
        setrlimit(RLIMIT_FSIZE, &unlimited);
        if (c.ignoredByParent) signal(c.signal, SIG_DFL);
        ASSERT_GT(pid, 0);

        if (c.signal != 0) {
            bool sawTemporary = false;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!sawTemporary && std::chrono::steady_clock::now() < deadline) {
                for (const std::string& name : workFiles()) sawTemporary |= name.rfind(".wet.wav.", 0) == 0;
                if (!sawTemporary) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            kill(pid, c.signal);
            ASSERT_TRUE(sawTemporary) << "the render finished before the test saw its temporary file";
        }
        const RunResult r = waitForTool(pid, scratch_);
        if (c.ignoredByParent) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(readAudio(in("wet.wav")).info.frames, 44100 * 60);
            fs::remove(in("wet.wav"));
        } else if (c.fileSizeLimit != 0) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "dunmarrow-render: cannot write output '" + in("wet.wav").string() + "': File too large\n");
        } else {
            EXPECT_EQ(r.signal, c.signal);
        }
        EXPECT_EQ(workFiles(), (std::set<std::string>{"dry.wav"}));
        for (const std::string& name : workFiles()) {
            if (name != "dry.wav") fs::remove(in(name));  // so that the next case starts clean
        }
    }
}

TEST_F(RenderTool, EveryTimeLimitEndsTheToolWithItsErrorLine) {
    if (fs::exists(fs::path(DUNMARROW_AUDIO_UNIT_INSTALL_DIR) / "DunmarrowAUExtension.auext"))
        GTEST_SKIP() << "the effect is installed on this machine";
    // A copy of the tool away from the build's lib/ folder finds only the
    // stand-ins named here.
    const fs::path program = root_ / "bin" / "dunmarrow-render";
    fs::create_directories(program.parent_path());
    fs::copy_file(kTool, program);
    fs::create_directories(root_ / "home");
    const auto standIn = [&](const char* hang) {
        return Environment{{"HOME", (root_ / "home").string()},
                           {"DUNMARROW_AUDIO_UNIT_PATH", std::string(RENDER_TEST_HANGING_BUNDLES) + "/" + hang},
                           {"DUNMARROW_RENDER_TIME_LIMIT", "1"}};
    };
    writeAudio(in("dry.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 44100, testSignal(2, 1000, 0.5f));
    ASSERT_EQ(mkfifo(in("unread").c_str(), 0644), 0);

    struct Case {
        const char* name;
        std::string program;
        Environment environment;
        fs::path output;
        std::string message;
    };
    const std::string loading = "the effect did not finish loading within 1 second";
    const std::vector<Case> cases{
        {"a module constructor that never returns", program, standIn("Constructor"), in("wet.wav"), loading},
        {"a principal object that is never made", program, standIn("PrincipalObject"), in("wet.wav"), loading},
        // Long enough for the real effect to load, in any build.
        {"a FIFO nobody reads", kTool, {{"DUNMARROW_RENDER_TIME_LIMIT", "3"}}, in("unread"),
         "cannot write output '" + in("unread").string() + "': no program opened it for reading within 3 seconds"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult r = waitForTool(spawnTool({in("dry.wav"), c.output}, scratch_, c.environment, c.program),
                                        scratch_, std::chrono::seconds(30));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "dunmarrow-render: " + c.message + "\n");
        EXPECT_EQ(workFiles(), (std::set<std::string>{"dry.wav", "unread"}));
        EXPECT_TRUE(fs::is_fifo(in("unread")));
    }
    EXPECT_EQ(run({"--list-presets"}, {{"DUNMARROW_RENDER_TIME_LIMIT", "soon"}}).err,
              "dunmarrow-render: DUNMARROW_RENDER_TIME_LIMIT needs whole seconds from 1 to 86400, not 'soon'\n");
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

TEST_F(RenderTool, UserPresetFilesThatCannotBeUsedAreNamedWithTheReason) {
    const fs::path folder = root_ / "data" / "dunmarrow" / "presets" / "aufx-dmds-QVRN";
    const fs::path file = folder / "user-1.json";
    const auto preset = [&](const std::string& name, const std::string& gain) {
        return [&, name, gain](const fs::path& path) {
            std::ofstream(path) << R"({"type": )" << fourCharCode("aufx") << R"(, "subtype": )" << fourCharCode("dmds")
                                << R"(, "manufacturer": )" << fourCharCode("QVRN")
                                << R"(, "version": 1, "preset": {"number": -1, "name": ")" << name
                                << R"("}, "parameters": {"4": )" << gain << "}}";
        };
    };
    const std::string unreadable = "unknown preset 'Mine', and a user preset file could not be read (" + file.string();
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
        std::vector<std::string> args;
        std::string out;
        std::string err;  // empty: status 0
    };
    const std::vector<Case> cases{
        {"folder", [](const fs::path& p) { fs::create_directory(p); }, {"--preset", "Mine", "--list-presets"}, "",
         unreadable + ": Is a directory)"},
        {"fifo", [](const fs::path& p) { mkfifo(p.c_str(), 0644); }, {"--preset", "Mine", "--list-presets"}, "",
         unreadable + ": not a regular file)"},
        {"not JSON", [](const fs::path& p) { std::ofstream(p) << "{"; }, {"--preset", "Mine", "--list-presets"}, "",
         unreadable + ": not JSON)"},
        {"a value no number holds", preset("Mine", "1e400"), {"--preset", "Mine", "--list-presets"}, "",
         unreadable + ": the value of gain (address 4) is not finite)"},
        {"a parameter the effect lacks", preset("Mine", R"(1, "99": 1)"), {"--preset", "mine", "--list-presets"}, "",
         "cannot load the user preset 'Mine' from " + file.string() + ": no parameter at address 99"},
        {"a value beyond the range", preset("Hot", "1e6"), {"--preset", "hot", "--list-parameters"},
         "gain          Output         0 to 1    0.80     1.00\n", ""},
        {"control characters in the name", preset(R"(Bad\u001b[2J\nName\u0085\u007f)", "1"), {"--list-presets"},
         std::string(kFactoryPresets) + "User presets:\n  -1  Bad\\x1b[2J\\nName\\u0085\\x7f\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(folder);
        fs::create_directories(folder);
        c.make(file);
        const RunResult r = run(c.args);
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
        EXPECT_EQ(r.err, c.err.empty() ? "" : "dunmarrow-render: " + c.err + "\n");
        EXPECT_TRUE(r.out.ends_with(c.out)) << r.out;
        EXPECT_EQ(r.out.empty(), c.out.empty());
    }
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
        {{"--set", "drive=1e39"}, "cannot set drive to '1e39': out of range"},
        {{"--set", "drive=-inf"}, "cannot set drive to '-inf': infinite"},
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
