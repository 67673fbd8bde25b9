#pragma once
// Starts one of the project's programs (or any program) and collects what it
// said and how it ended, for tests that check a program's lines, files and
// exit status. Standard output and standard error go to files in a scratch
// folder, so a talkative program can never block on a full pipe; standard
// input reads from an empty file. A program still running at its time limit
// has hung: it is killed and the test fails.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "FileContents.hpp"

extern char** environ;

namespace testsupport {

struct ProgramRun {
    int status = -1;  // exit status, or -1 when it was ended by a signal or never ran
    int signal = 0;   // the signal that ended it, or 0
    std::string out;
    std::string err;
};

struct ProgramOptions {
    // Added to (or replacing those of) this process's environment; a variable
    // set to "\x01unset" is removed.
    std::map<std::string, std::string> environment;
    std::chrono::seconds timeLimit{120};
    // Where stdout, stderr and the empty stdin live; a folder of its own,
    // removed afterwards, when empty.
    std::filesystem::path scratch;
    // The folder the program starts in; this process's when empty.
    std::filesystem::path workingDirectory;
};

inline constexpr const char* kUnset = "\x01unset";

// A program started by startProgram, to be waited for with waitForProgram.
struct StartedProgram {
    pid_t pid = -1;
    std::filesystem::path scratch;
    bool ownsScratch = false;
    std::chrono::seconds timeLimit{120};
};

inline StartedProgram startProgram(const std::vector<std::string>& command, const ProgramOptions& options = {}) {
    StartedProgram started;
    started.timeLimit = options.timeLimit;
    started.scratch = options.scratch;
    if (started.scratch.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "dunmarrow-run-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "cannot make a scratch folder";
            return started;
        }
        started.scratch = pattern;
        started.ownsScratch = true;
    }
    std::vector<std::string> argvStrings = command;
    std::vector<char*> argv;
    for (std::string& a : argvStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> environmentStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (!options.environment.contains(entry.substr(0, entry.find('=')))) environmentStrings.push_back(entry);
    }
    for (const auto& [name, value] : options.environment)
        if (value != kUnset) environmentStrings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& e : environmentStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    const auto in = started.scratch / "stdin", out = started.scratch / "stdout", err = started.scratch / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY | O_CREAT, 0644);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!options.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
    // Its own process group, so that a hung program's children go with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    const int rc = posix_spawn(&started.pid, argvStrings.front().c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << argvStrings.front() << ": " << std::strerror(rc);
        started.pid = -1;
    }
    return started;
}

inline ProgramRun waitForProgram(const StartedProgram& started) {
    ProgramRun run;
    if (started.pid > 0) {
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + started.timeLimit;
        pid_t ended = 0;
        while ((ended = ::waitpid(started.pid, &status, WNOHANG)) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the program did not end within " << started.timeLimit.count() << " s";
                ::kill(-started.pid, SIGKILL);
                ended = ::waitpid(started.pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (ended == started.pid) {
            if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
            if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
        }
    }
    run.out = fileContents(started.scratch / "stdout");
    run.err = fileContents(started.scratch / "stderr");
    if (started.ownsScratch) {
        std::error_code ec;
        std::filesystem::remove_all(started.scratch, ec);
    }
    return run;
}

// Runs a program to its end: command[0] is its path, the rest its arguments.
inline ProgramRun runProgram(const std::vector<std::string>& command, const ProgramOptions& options = {}) {
    return waitForProgram(startProgram(command, options));
}

}  // namespace testsupport
