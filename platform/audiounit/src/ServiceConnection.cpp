#include "ServiceConnection.hpp"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "audiounit/AUAudioUnitProxy.hpp"
#include "foundation/ThreadContract.hpp"

extern char** environ;

namespace audiounit {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> runningProgramFolder() {
    std::error_code ec;
    const auto self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return std::nullopt;
    return self.parent_path();
}

}  // namespace

std::optional<fs::path> audioUnitServiceProgram() {
    if (const char* chosen = std::getenv("DUNMARROW_AUDIO_UNIT_SERVICE"); chosen != nullptr && chosen[0] != '\0') {
        if (::access(chosen, X_OK) == 0) return fs::path(chosen);
        return std::nullopt;
    }
    std::vector<fs::path> candidates;
    if (const auto folder = runningProgramFolder()) {
        candidates.push_back(*folder / kAudioUnitServiceProgramName);
        candidates.push_back(*folder / DUNMARROW_SERVICE_FROM_BIN_DIR / kAudioUnitServiceProgramName);
    }
    candidates.push_back(fs::path(DUNMARROW_SERVICE_INSTALL_DIR) / kAudioUnitServiceProgramName);
    for (const auto& candidate : candidates) {
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

}  // namespace audiounit

namespace audiounit::remote {

using foundation::NSError;
using nlohmann::json;

namespace {

// How often the connection thread looks for a hung render cycle.
constexpr int kWatchPeriodMilliseconds = 25;
// What each byte of a request adds to the time its answer may take (1 s for 10 MB).
constexpr std::chrono::nanoseconds kWaitPerRequestByte{100};
// The shortest time a request waits for its answer, whatever the hang timeout.
constexpr std::chrono::milliseconds kMinimumRequestTimeout{100};

}  // namespace

void failWith(NSError* outError, OSStatus status, std::string description) {
    if (outError) *outError = foundation::makeOSStatusError(status, std::move(description));
}

ServiceConnection::ServiceConnection(std::chrono::nanoseconds hangTimeout)
    : hangTimeoutNanoseconds_(hangTimeout.count()) {}

ServiceConnection::~ServiceConnection() {
    if (socket_ >= 0) ::close(socket_);
}

bool ServiceConnection::start(const fs::path& program, const AVAudioUnitComponent& component, NSError* outError) {
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0) {
        failWith(outError, kAudioUnitErr_FailedInitialization,
                 std::string("Cannot make the service's socket: ") + std::strerror(errno));
        return false;
    }
    socket_ = sockets[0];

    const auto& d = component.audioComponentDescription;
    std::vector<std::string> arguments = {program.string(),
                                          "--bundle",
                                          component.bundlePath.string(),
                                          "--component",
                                          std::to_string(d.componentType) + ":" + std::to_string(d.componentSubType) +
                                              ":" + std::to_string(d.componentManufacturer)};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the copy.
    posix_spawn_file_actions_adddup2(&actions, sockets[1], kServiceSocketFd);
    const int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(sockets[1]);
    if (spawned != 0) {
        pid_ = -1;
        failWith(outError, kAudioUnitErr_FailedInitialization,
                 "The audio-unit service " + program.string() + " could not be started: " + std::strerror(spawned));
        return false;
    }
    alive_.store(true, std::memory_order_release);
    thread_ = std::thread([self = shared_from_this()] { self->run(); });
    return true;
}

bool ServiceConnection::onConnectionThread() const { return std::this_thread::get_id() == threadId_.load(); }

std::optional<json> ServiceConnection::request(json packet, NSError* outError, int passFd) {
    return requestWithin(std::move(packet), std::max<std::chrono::nanoseconds>(hangTimeout(), kMinimumRequestTimeout),
                         outError, passFd);
}

std::optional<json> ServiceConnection::requestWithin(json packet, std::chrono::nanoseconds timeout,
                                                     NSError* outError, int passFd) {
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
    if (!alive()) {
        failEnded(outError);
        return std::nullopt;
    }
    if (onConnectionThread()) {
        failWith(outError, kAudioUnitErr_CannotDoInCurrentContext,
                 "A request to the audio unit's service cannot wait on the thread that reads its answers");
        return std::nullopt;
    }
    std::uint64_t id;
    {
        std::lock_guard lock(mutex_);
        id = nextId_++;
        pending_.emplace(id, std::nullopt);
    }
    packet["id"] = id;
    SendResult sent;
    {
        std::lock_guard lock(sendMutex_);
        sent = sendPacket(socket_, packet, passFd, timeout.count());
    }
    if (!sent) {
        {
            std::lock_guard lock(mutex_);
            pending_.erase(id);
        }
        sendFailed(sent, outError);
        return std::nullopt;
    }
    // A large request may take its time to read and apply: the wait grows
    // with its size.
    timeout += std::chrono::nanoseconds(static_cast<std::int64_t>(sent.bytes) * kWaitPerRequestByte.count());
    std::unique_lock lock(mutex_);
    const bool answered = replied_.wait_for(lock, timeout, [&] {
        return !alive() || pending_[id].has_value();
    }) && pending_[id].has_value();
    auto reply = std::move(pending_[id]);
    pending_.erase(id);
    lock.unlock();
    if (!answered) {
        if (alive()) {
            failWith(outError, kAudioComponentErr_InstanceTimedOut, "The audio unit's service did not answer in time");
            end(true, "it did not answer in time");
        } else {
            failEnded(outError);
        }
        return std::nullopt;
    }
    if (reply->failed) {
        failWith(outError, reply->errorCode, reply->errorDescription);
        return std::nullopt;
    }
    return std::move(reply->result);
}

bool ServiceConnection::requestChecked(json packet, const std::function<bool(const json&, std::string&)>& decode,
                                       NSError* outError, int passFd) {
    const auto result = request(std::move(packet), outError, passFd);
    if (!result) return false;
    std::string problem;
    if (decode(*result, problem)) return true;
    malformed(problem);
    failWith(outError, kAudioComponentErr_InstanceInvalidated,
             "The audio unit's service was stopped: it sent a malformed message (" + problem + ")");
    return false;
}

void ServiceConnection::send(const json& packet, std::chrono::nanoseconds timeout) {
    if (!alive()) return;
    SendResult sent;
    {
        std::lock_guard lock(sendMutex_);
        sent = sendPacket(socket_, packet, -1, timeout.count());
    }
    if (!sent) sendFailed(sent, nullptr);
}

void ServiceConnection::malformed(const std::string& problem) {
    end(true, "it sent a malformed message (" + problem + ")");
}

void ServiceConnection::killService() {
    std::lock_guard lock(reapMutex_);
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
}

void ServiceConnection::end(bool kill, const std::string& reason) {
    // The first reason stays: the end that stops the service comes before
    // the hang-up its stopping causes.
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        if (alive_.exchange(false, std::memory_order_acq_rel)) {
            endReason_ = reason;
            first = true;
        }
    }
    if (kill) killService();
    if (first) {
        if (reason != "it ended")
            std::fprintf(stderr, "AUAudioUnitProxy: stopped the audio unit's service: %s\n", reason.c_str());
        replied_.notify_all();
        if (onEnd) onEnd();
    }
}

void ServiceConnection::shutdown() {
    // The callbacks stay: they reach the proxy weakly and find it gone.
    stopping_.store(true, std::memory_order_release);
    if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
    if (thread_.joinable()) {
        if (onConnectionThread())
            thread_.detach();
        else
            thread_.join();
    }
    alive_.store(false, std::memory_order_release);
    reap(std::chrono::milliseconds(1000));
}

void ServiceConnection::failEnded(NSError* outError) {
    std::string reason;
    {
        std::lock_guard lock(mutex_);
        reason = endReason_;
    }
    failWith(outError, kAudioComponentErr_InstanceInvalidated,
             reason.empty() || reason == "it ended" ? std::string("The audio unit's service has ended")
                                                    : "The audio unit's service was stopped: " + reason);
}

// A packet this side could not send. Only a service that takes nothing for
// the whole timeout is stopped (it hangs); a packet too large or a failure on
// this side is the request's error, not the service's.
void ServiceConnection::sendFailed(const SendResult& sent, NSError* outError) {
    switch (sent.status) {
        case SendStatus::Sent: break;
        case SendStatus::TooLarge:
            failWith(outError, kAudioUnitErr_InvalidPropertyValue,
                     "The request is too large for the audio unit's service (" + sent.why + "; at most " +
                         std::to_string(kMaxLargePacketBytes >> 20) + " MiB)");
            break;
        case SendStatus::TimedOut:
            failWith(outError, kAudioComponentErr_InstanceTimedOut, "The audio unit's service took no request in time");
            end(true, "it took no request in time");
            break;
        case SendStatus::Closed:
            end(true, "it ended");
            failEnded(outError);
            break;
        case SendStatus::Failed:
            failWith(outError, kAudioUnitErr_FailedInitialization,
                     "The request could not be sent to the audio unit's service: " + sent.why);
            break;
    }
}

// Connection thread: reads packets until the service ends, is stopped or is
// found hung, or the proxy shuts the connection down.
void ServiceConnection::run() {
    threadId_.store(std::this_thread::get_id());
    while (!stopping_.load(std::memory_order_acquire)) {
        pollfd fd{socket_, POLLIN, 0};
        const int ready = ::poll(&fd, 1, kWatchPeriodMilliseconds);
        if (stopping_.load(std::memory_order_acquire)) break;
        if (ready > 0 && (fd.revents & POLLIN) != 0) {
            json packet;
            int receivedFd = -1;
            const auto result = receivePacket(socket_, packet, &receivedFd);
            if (receivedFd >= 0) ::close(receivedFd);
            if (result == ReceiveResult::Closed) {
                finish("it ended");
                return;
            }
            if (result == ReceiveResult::Failed) {
                malformed("a packet that is not one JSON object within the size and nesting limits");
                reap(std::chrono::milliseconds(2000));
                return;
            }
            if (!dispatch(packet)) {
                reap(std::chrono::milliseconds(2000));
                return;
            }
            continue;
        }
        if (ready > 0 && (fd.revents & (POLLHUP | POLLERR)) != 0) {
            finish("it ended");
            return;
        }
        if (alive() && isRenderHung && isRenderHung()) {
            finish("it left a render cycle unanswered");
            return;
        }
    }
}

// The service hung up or hangs: make sure it is gone (one whose socket closed
// may still be on its way out) and collect it.
void ServiceConnection::finish(const std::string& reason) {
    end(true, reason);
    reap(std::chrono::milliseconds(2000));
}

// Connection thread. A reply goes to its request, an event to the proxy.
// False when the packet was malformed and the service is stopped.
bool ServiceConnection::dispatch(const json& packet) {
    ServiceMessage message;
    std::string problem;
    if (!decodeServiceMessage(packet, message, problem)) {
        malformed(problem);
        return false;
    }
    if (auto* reply = std::get_if<ServiceReply>(&message)) {
        {
            std::lock_guard lock(mutex_);
            const auto it = pending_.find(reply->id);
            // Requests that gave up are no longer waiting; a reply to one can
            // only come from a service already being stopped.
            if (it == pending_.end() || it->second.has_value()) {
                problem = "a reply to request " + std::to_string(reply->id) + ", which is not waiting for one";
            } else {
                it->second = std::move(*reply);
            }
        }
        if (!problem.empty()) {
            malformed(problem);
            return false;
        }
        replied_.notify_all();
        return true;
    }
    if (onEvent) onEvent(message);
    return alive();
}

// Waits for the service's exit status (killing it after `patience`), so that
// no zombie stays behind.
void ServiceConnection::reap(std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (true) {
        {
            std::lock_guard lock(reapMutex_);
            if (pid_ <= 0 || reaped_) return;
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_ || (done < 0 && errno != EINTR)) {
                reaped_ = true;
                return;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                reaped_ = true;
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace audiounit::remote
