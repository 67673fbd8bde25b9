#pragma once
// The out-of-process proxy's link to its service: the service process, the
// control socket, requests that wait for their replies within a time limit,
// and the connection thread, which reads every packet (replies go to the
// waiting request, events to the proxy), notices the socket hanging up and
// asks the proxy whether a render cycle is hung.
//
// Shared with its thread, so that it outlives the proxy if it must; the
// proxy's callbacks reach the proxy weakly.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "audiounit/AudioComponentRegistry.hpp"
#include "audiounit/remote/RemoteUnitChannel.hpp"
#include "foundation/NSError.hpp"
#include "audiounit/remote/ServiceMessages.hpp"

namespace audiounit::remote {

// Sets *outError, when asked for, to an OSStatus error.
void failWith(foundation::NSError* outError, OSStatus status, std::string description);

class ServiceConnection : public std::enable_shared_from_this<ServiceConnection> {
public:
    // `hangTimeout`: see setHangTimeout.
    explicit ServiceConnection(std::chrono::nanoseconds hangTimeout);
    ~ServiceConnection();
    ServiceConnection(const ServiceConnection&) = delete;
    ServiceConnection& operator=(const ServiceConnection&) = delete;

    // Starts `program` as the service for `component` and the connection
    // thread. The callbacks below are set first. Thread: the launching one.
    bool start(const std::filesystem::path& program, const AVAudioUnitComponent& component,
               foundation::NSError* outError);

    // The service was started and has not ended. Any thread, the render
    // thread included (one atomic load).
    [[nodiscard]] bool alive() const noexcept { return alive_.load(std::memory_order_acquire); }
    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    [[nodiscard]] bool onConnectionThread() const;

    // How long a control request may stay unanswered before the service
    // counts as hung (the proxy's render cycles use it too). Any thread.
    void setHangTimeout(std::chrono::nanoseconds timeout) noexcept {
        hangTimeoutNanoseconds_.store(timeout.count(), std::memory_order_relaxed);
    }
    [[nodiscard]] std::chrono::nanoseconds hangTimeout() const noexcept {
        return std::chrono::nanoseconds(hangTimeoutNanoseconds_.load(std::memory_order_relaxed));
    }

    // Sends a request and waits for its reply, at most the hang timeout (and
    // never less than 0.1 s): the result, or absent with outError set (the
    // service's error, a timeout, the service gone, or a request this side
    // could not send). `passFd` goes with the packet when not -1. Thread: any
    // but the connection thread (where it fails at once rather than wait for
    // itself) and the render thread.
    std::optional<nlohmann::json> request(nlohmann::json packet, foundation::NSError* outError = nullptr,
                                          int passFd = -1);
    // The same with a time limit of its own.
    std::optional<nlohmann::json> requestWithin(nlohmann::json packet, std::chrono::nanoseconds timeout,
                                                foundation::NSError* outError, int passFd = -1);
    // A request whose result the caller reads, checked by `decode` (one of
    // the decoders of remote/ServiceMessages.hpp). A result that fails the
    // check stops the service, as any malformed message does.
    bool requestChecked(nlohmann::json packet,
                        const std::function<bool(const nlohmann::json&, std::string&)>& decode,
                        foundation::NSError* outError = nullptr, int passFd = -1);

    // A packet without an answer (parameter changes). Any non-real-time thread.
    void send(const nlohmann::json& packet, std::chrono::nanoseconds timeout);

    // The service sent something malformed: it is stopped like one that died.
    // Any thread.
    void malformed(const std::string& problem);

    // Stops the service at once, unless it was collected already (its pid
    // may belong to another process by now). Any thread.
    void killService();

    // The proxy's side, set before start. Connection thread: a service event
    // (it must not make a request of the service). Connection thread: whether
    // a render cycle is hung. The thread that noticed the end, once.
    std::function<void(const ServiceMessage&)> onEvent;
    std::function<bool()> isRenderHung;
    std::function<void()> onEnd;

    // Marks the service gone (stopping it first when `kill`), wakes every
    // waiting request and tells the proxy, once. `reason` says why, for the
    // log and for requests that fail from then on. Any thread.
    void end(bool kill, const std::string& reason);

    // Stops the thread (joining it unless called on it) and the service:
    // closing the socket ends it; one that lingers is killed. Called by the
    // proxy's destructor.
    void shutdown();

private:
    void failEnded(foundation::NSError* outError);
    void sendFailed(const SendResult& sent, foundation::NSError* outError);
    void run();
    void finish(const std::string& reason);
    bool dispatch(const nlohmann::json& packet);
    void reap(std::chrono::milliseconds patience);

    int socket_ = -1;
    pid_t pid_ = -1;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
    std::atomic<bool> alive_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<std::int64_t> hangTimeoutNanoseconds_;
    std::mutex sendMutex_;
    std::mutex mutex_;
    std::condition_variable replied_;
    std::map<std::uint64_t, std::optional<ServiceReply>> pending_;
    std::string endReason_;
    std::uint64_t nextId_ = 1;
    std::mutex reapMutex_;
    bool reaped_ = false;
};

}  // namespace audiounit::remote
