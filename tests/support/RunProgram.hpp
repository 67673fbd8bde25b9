#pragma once
// Starts a program and collects what it said (through files, so a talkative
// program never blocks on a full pipe) and how it ended. A program still running
// at its time limit has hung: it is killed and the test fails.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
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
    // Where stdout, stderr and stdin live; a fresh folder, removed afterwards, when empty.
    std::filesystem::path scratch;
    // The folder the program starts in; this process's when empty.
    std::filesystem::path workingDirectory;
};

inline constexpr const char* kUnset = "\x01unset";

// A program started by startProgram, to be waited for with waitForProgram.
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
    if (!options.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
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

inline ProgramRun waitForProgram(const StartedProgram& started) {
    ProgramRun run;
    if (started.pid > 0) {
        // Waits on a process descriptor; where the system has none, polls.
        const auto limit = std::chrono::steady_clock::now() + started.timeLimit;
        int status = 0;
        pid_t ended = 0;
        pollfd process{static_cast<int>(::syscall(SYS_pidfd_open, started.pid, 0)), POLLIN, 0};
        if (process.fd >= 0) {
            ::poll(&process, 1, int(std::chrono::milliseconds(started.timeLimit).count()));
            ::close(process.fd);
        }
        while ((ended = ::waitpid(started.pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
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

// Runs a program to its end: command[0] is its path, the rest its arguments.
inline ProgramRun runProgram(const std::vector<std::string>& command, const ProgramOptions& options = {}) {
    return waitForProgram(startProgram(command, options));
}

}  // namespace testsupport
