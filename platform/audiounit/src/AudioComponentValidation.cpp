#include "audiounit/AudioComponentValidation.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

extern char** environ;

namespace audiounit {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kDefaultTimeLimitSeconds = 60.0;
// More output than any validation produces; the rest is dropped.
constexpr std::size_t kMaximumOutputBytes = 4u << 20;

struct ValidationOutcome {
    AudioComponentValidationResult result = kAudioComponentValidationResult_Unknown;
    std::vector<std::string> lines;
};

// Results of earlier validations in this process, by component and module
// file (its path and modification time), for calls without ForceValidation.
using CacheKey = std::tuple<std::string, std::string, std::int64_t, OSType, OSType, OSType>;

std::mutex& cacheMutex() {
    static std::mutex mutex;
    return mutex;
}
std::map<CacheKey, ValidationOutcome>& cache() {
    static std::map<CacheKey, ValidationOutcome> entries;
    return entries;
}

CacheKey cacheKeyOf(const AVAudioUnitComponent& component) {
    std::error_code error;
    const auto modified = std::filesystem::last_write_time(component.modulePath, error);
    const std::int64_t stamp = error ? 0 : static_cast<std::int64_t>(modified.time_since_epoch().count());
    const auto& d = component.audioComponentDescription;
    return {component.bundlePath.string(), component.modulePath.string(), stamp, d.componentType, d.componentSubType,
            d.componentManufacturer};
}

std::filesystem::path validatorPath() {
    if (const char* named = std::getenv(kAudioComponentValidatorEnvironmentVariable); named && *named)
        return named;
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return kAudioComponentValidatorProgramName;
    return self.parent_path() / kAudioComponentValidatorProgramName;
}

// The child's environment: ours, with the component's bundle folder first on
// the audio-unit search path.
std::vector<std::string> childEnvironment(const AVAudioUnitComponent& component) {
    const std::string prefix = std::string(kAudioUnitPathEnvironmentVariable) + "=";
    std::string searchPath = component.bundlePath.parent_path().string();
    std::vector<std::string> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (text.starts_with(prefix)) {
            const auto rest = text.substr(prefix.size());
            if (!rest.empty()) searchPath.append(":").append(rest);
        } else {
            environment.emplace_back(text);
        }
    }
    environment.push_back(prefix + searchPath);
    return environment;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

// Waits for the child until the deadline; its wait status, or absent.
std::optional<int> waitUntil(pid_t child, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) return status;
        if (done < 0 && errno != EINTR) return std::nullopt;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ValidationOutcome runValidator(const AVAudioUnitComponent& component, double timeLimitSeconds) {
    ValidationOutcome outcome;
    const auto program = validatorPath();
    const auto& d = component.audioComponentDescription;
    std::vector<std::string> arguments{program.string(), fourCharCodeString(d.componentType),
                                       fourCharCodeString(d.componentSubType),
                                       fourCharCodeString(d.componentManufacturer)};
    std::vector<std::string> environment = childEnvironment(component);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    auto cannotStart = [&](int error) {
        outcome.result = kAudioComponentValidationResult_Unknown;
        outcome.lines.push_back("The validator " + program.string() + " could not be started: " +
                                std::strerror(error));
        return outcome;
    };

    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return cannotStart(errno);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so that a hung validator is stopped with every
    // process it started; default signal handling and an empty mask.
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t defaultSignals;
    sigemptyset(&defaultSignals);
    sigaddset(&defaultSignals, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &defaultSignals);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t child = -1;
    const int spawnError = ::posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipeEnds[1]);
    if (spawnError != 0) {
        ::close(pipeEnds[0]);
        return cannotStart(spawnError);
    }

    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeLimitSeconds));
    std::string output;
    bool endOfOutput = false;
    while (!endOfOutput && Clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd source{pipeEnds[0], POLLIN, 0};
        const int ready = ::poll(&source, 1, static_cast<int>(std::max<long long>(1, std::min<long long>(left, 100))));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        char chunk[4096];
        const ssize_t count = ::read(pipeEnds[0], chunk, sizeof chunk);
        if (count > 0) {
            if (output.size() < kMaximumOutputBytes) output.append(chunk, static_cast<std::size_t>(count));
        } else if (count == 0 || errno != EINTR) {
            endOfOutput = true;
        }
    }
    std::optional<int> status = waitUntil(child, deadline);
    ::close(pipeEnds[0]);

    outcome.lines = splitLines(output);
    if (!status) {
        ::kill(-child, SIGKILL);
        ::kill(child, SIGKILL);
        int ignored = 0;
        while (::waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
        }
        outcome.result = kAudioComponentValidationResult_TimedOut;
        outcome.lines.push_back("Validation timed out after " + secondsText(timeLimitSeconds) +
                                " s; the validator was stopped");
        return outcome;
    }
    if (WIFSIGNALED(*status)) {
        const int signal = WTERMSIG(*status);
        outcome.result = kAudioComponentValidationResult_Failed;
        outcome.lines.push_back("Validation crashed: the validator was ended by signal " + std::to_string(signal) +
                                " (" + strsignal(signal) + ")");
        return outcome;
    }
    const int exitStatus = WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    const bool summaryPassed =
        !outcome.lines.empty() && std::string_view(outcome.lines.back()).starts_with(kAudioComponentValidationPassedSummary);
    if (exitStatus == kAudioComponentValidatorExitPassed && summaryPassed) {
        outcome.result = kAudioComponentValidationResult_Passed;
    } else if (exitStatus == kAudioComponentValidatorExitCouldNotOpen) {
        outcome.result = kAudioComponentValidationResult_UnauthorizedError_Open;
    } else {
        outcome.result = kAudioComponentValidationResult_Failed;
        if (exitStatus == kAudioComponentValidatorExitPassed)
            outcome.lines.push_back("The validator exited without its summary line");
        else if (exitStatus != kAudioComponentValidatorExitFailed)
            outcome.lines.push_back("The validator exited with status " + std::to_string(exitStatus));
    }
    return outcome;
}

nlohmann::json resultsOf(const ValidationOutcome& outcome) {
    nlohmann::json lines = nlohmann::json::array();
    for (const auto& line : outcome.lines) lines.push_back(line);
    return nlohmann::json{{kAudioComponentValidationResultsKey_Output, std::move(lines)}};
}

}  // namespace

OSStatus AudioComponentValidateWithResults(const AVAudioUnitComponentPtr& component, const nlohmann::json& options,
                                           AudioComponentValidationResultsHandler handler) {
    if (!component || !handler || !(options.is_null() || options.is_object())) return kAudioUnitErr_InvalidParameter;
    bool force = false;
    double timeLimit = kDefaultTimeLimitSeconds;
    if (options.is_object()) {
        if (const auto entry = options.find(kAudioComponentValidationParameter_ForceValidation);
            entry != options.end() && entry->is_boolean())
            force = entry->get<bool>();
        if (const auto entry = options.find(kAudioComponentValidationParameter_TimeOut);
            entry != options.end() && entry->is_number()) {
            const double seconds = entry->get<double>();
            if (std::isfinite(seconds) && seconds > 0) timeLimit = seconds;
        }
    }
    // Works on its own copy of everything; nothing waits for it.
    std::thread([component, force, timeLimit, handler = std::move(handler)] {
        const CacheKey key = cacheKeyOf(*component);
        std::optional<ValidationOutcome> outcome;
        if (!force) {
            std::lock_guard lock(cacheMutex());
            if (const auto found = cache().find(key); found != cache().end()) outcome = found->second;
        }
        if (!outcome) {
            outcome = runValidator(*component, timeLimit);
            // A validator that could not be started is tried again next time.
            if (outcome->result != kAudioComponentValidationResult_Unknown) {
                std::lock_guard lock(cacheMutex());
                cache()[key] = *outcome;
            }
        }
        handler(outcome->result, resultsOf(*outcome));
    }).detach();
    return noErr;
}

}  // namespace audiounit
