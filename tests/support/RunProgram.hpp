#pragma once
// Runs a program, its output in files (a talkative one never blocks on a pipe); one past its time limit fails the test.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FileContents.hpp"
#include "TempDir.hpp"

extern char** environ;

namespace testsupport {

struct ProgramRun {
    int status = -1;  // exit status, or -1 when it was ended by a signal or never ran
    int signal = 0;   // the signal that ended it, or 0
    std::string out;
    std::string err;
};

struct ProgramOptions {
    // Added to, or replacing, this process's environment; a variable set to kUnset is removed.
    std::map<std::string, std::string> environment;
    std::chrono::seconds timeLimit{120};
    // Where stdin, stdout and stderr live; when empty, a fresh folder removed afterwards.
    std::filesystem::path scratch;
};

inline constexpr const char* kUnset = "\x01unset";

struct StartedProgram {
    pid_t pid = -1;
    std::filesystem::path scratch;
    std::shared_ptr<TempDir> ownScratch;
    std::chrono::seconds timeLimit{120};
};

// Null-terminated pointers into `strings`, as exec wants them.
inline std::vector<char*> execArguments(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

inline StartedProgram startProgram(const std::vector<std::string>& command, const ProgramOptions& options = {}) {
    StartedProgram started{.scratch = options.scratch, .ownScratch = nullptr, .timeLimit = options.timeLimit};
    if (started.scratch.empty()) {
        started.ownScratch = std::make_shared<TempDir>();
        started.scratch = started.ownScratch->path();
    }
    std::vector<std::string> arguments = command, environment;
    for (char** e = environ; *e != nullptr; ++e)
        if (!options.environment.contains(std::string(*e, std::strcspn(*e, "=")))) environment.emplace_back(*e);
    for (const auto& [name, value] : options.environment)
        if (value != kUnset) environment.push_back(name + "=" + value);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int written = O_WRONLY | O_CREAT | O_TRUNC;
    posix_spawn_file_actions_addopen(&actions, 0, (started.scratch / "stdin").c_str(), O_RDONLY | O_CREAT, 0644);
    posix_spawn_file_actions_addopen(&actions, 1, (started.scratch / "stdout").c_str(), written, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (started.scratch / "stderr").c_str(), written, 0644);
    // Its own process group, so that a hung program's children go with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    const int rc = posix_spawn(&started.pid, arguments.front().c_str(), &actions, &attributes,
                               execArguments(arguments).data(), execArguments(environment).data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << arguments.front() << ": " << std::strerror(rc);
        started.pid = -1;
    }
    return started;
}

// Reaps `pid` once it has ended, waiting at most `limit`; 0 when it is still running.
inline pid_t reapWithin(pid_t pid, int& status, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    pid_t ended = 0;
    while ((ended = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return ended;
}

inline ProgramRun waitForProgram(const StartedProgram& started) {
    ProgramRun run;
    if (started.pid > 0) {
        int status = 0;
        pid_t ended = reapWithin(started.pid, status, started.timeLimit);
        if (ended == 0) {
            ADD_FAILURE() << "the program did not end within " << started.timeLimit.count() << " s";
            ::kill(-started.pid, SIGKILL);
            ended = ::waitpid(started.pid, &status, 0);
        }
        if (ended == started.pid) {
            if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
            if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
        }
    }
    run.out = fileContents(started.scratch / "stdout");
    run.err = fileContents(started.scratch / "stderr");
    return run;
}

// command[0] is the program's path.
inline ProgramRun runProgram(const std::vector<std::string>& command, const ProgramOptions& options = {}) {
    return waitForProgram(startProgram(command, options));
}

}  // namespace testsupport
