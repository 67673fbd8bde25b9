#include "audiounit/AUAudioUnitProxy.hpp"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <thread>

#include "audiounit/AUAudioUnitBus.hpp"
#include "audiounit/AudioComponentInstanceInvalidation.hpp"
#include "audiounit/remote/ServiceMessages.hpp"
#include "foundation/NotificationCenter.hpp"

extern char** environ;

namespace audiounit {

namespace fs = std::filesystem;
using foundation::NSError;
using nlohmann::json;

namespace {

void fail(NSError* outError, OSStatus status, std::string description) {
    if (outError) *outError = foundation::makeOSStatusError(status, std::move(description));
}

std::optional<fs::path> runningProgramFolder() {
    std::error_code ec;
    const auto self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return std::nullopt;
    return self.parent_path();
}

// How long the service may take to start and create its unit.
constexpr std::chrono::seconds kLaunchTimeout{20};
// How often the connection thread looks for a hung render cycle.
constexpr int kWatchPeriodMilliseconds = 25;
// What each byte of a request adds to the time its answer may take (1 s for 10 MB).
constexpr std::chrono::nanoseconds kWaitPerRequestByte{100};

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

// MARK: - Connection

// The control socket and the service process. Its thread reads every packet:
// replies go to the waiting request, events to the proxy; the thread also
// notices the socket hanging up and asks the proxy whether a render cycle is
// hung. Shared with that thread, so that it outlives the proxy if it must.
class AUAudioUnitProxy::Connection : public std::enable_shared_from_this<Connection> {
public:
    ~Connection() {
        if (socket_ >= 0) ::close(socket_);
    }

    bool start(const fs::path& program, const AVAudioUnitComponent& component, NSError* outError) {
        int sockets[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0) {
            fail(outError, kAudioUnitErr_FailedInitialization,
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
        posix_spawn_file_actions_adddup2(&actions, sockets[1], remote::kServiceSocketFd);
        const int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(sockets[1]);
        if (spawned != 0) {
            pid_ = -1;
            fail(outError, kAudioUnitErr_FailedInitialization,
                 "The audio-unit service " + program.string() + " could not be started: " + std::strerror(spawned));
            return false;
        }
        thread_ = std::thread([self = shared_from_this()] { self->run(); });
        return true;
    }

    [[nodiscard]] bool alive() const noexcept { return alive_.load(std::memory_order_acquire); }
    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    [[nodiscard]] bool onConnectionThread() const { return std::this_thread::get_id() == threadId_.load(); }

    // Sends a request and waits for its reply: the result, or absent with
    // outError set (the service's error, a timeout, the service gone, or a
    // request this side could not send).
    std::optional<json> request(json packet, std::chrono::nanoseconds timeout, NSError* outError, int passFd = -1) {
        if (!alive()) {
            failEnded(outError);
            return std::nullopt;
        }
        if (onConnectionThread()) {
            fail(outError, kAudioUnitErr_CannotDoInCurrentContext,
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
        remote::SendResult sent;
        {
            std::lock_guard lock(sendMutex_);
            sent = remote::sendPacket(socket_, packet, passFd, timeout.count());
        }
        if (!sent) {
            {
                std::lock_guard lock(mutex_);
                pending_.erase(id);
            }
            sendFailed(sent, outError);
            return std::nullopt;
        }
        // A large request may take its time to read and apply: the wait
        // grows with its size.
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
                fail(outError, kAudioComponentErr_InstanceTimedOut, "The audio unit's service did not answer in time");
                end(true, "it did not answer in time");
            } else {
                failEnded(outError);
            }
            return std::nullopt;
        }
        if (reply->failed) {
            fail(outError, reply->errorCode, reply->errorDescription);
            return std::nullopt;
        }
        return std::move(reply->result);
    }

    // A packet without an answer (parameter changes). Any non-real-time thread.
    void send(const json& packet, std::chrono::nanoseconds timeout) {
        if (!alive()) return;
        remote::SendResult sent;
        {
            std::lock_guard lock(sendMutex_);
            sent = remote::sendPacket(socket_, packet, -1, timeout.count());
        }
        if (!sent) sendFailed(sent, nullptr);
    }

    // The service sent something malformed: it is stopped like one that died.
    // Any thread.
    void malformed(const std::string& problem) {
        end(true, "it sent a malformed message (" + problem + ")");
    }

    // Stops the service at once, unless it was collected already (its pid
    // may belong to another process by now).
    void killService() {
        std::lock_guard lock(reapMutex_);
        if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
    }

    // The proxy's side: events, the hang check and the end. Set before start.
    std::function<void(const remote::ServiceMessage&)> onEvent;
    std::function<bool()> isRenderHung;
    std::function<void()> onEnd;

    // Marks the service gone (stopping it first when `kill`), wakes every
    // waiting request and tells the proxy, once. `reason` says why, for the
    // log and for requests that fail from then on.
    void end(bool kill, const std::string& reason) {
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

    // Stops the thread (joining it unless called on it) and the service:
    // closing the socket ends it; one that lingers is killed. Called by the
    // proxy's destructor.
    void shutdown() {
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

private:
    void failEnded(NSError* outError) {
        std::string reason;
        {
            std::lock_guard lock(mutex_);
            reason = endReason_;
        }
        fail(outError, kAudioComponentErr_InstanceInvalidated,
             reason.empty() || reason == "it ended" ? std::string("The audio unit's service has ended")
                                                    : "The audio unit's service was stopped: " + reason);
    }

    // A packet this side could not send. Only a service that takes nothing
    // for the whole timeout is stopped (it hangs); a packet too large or a
    // failure on this side is the request's error, not the service's.
    void sendFailed(const remote::SendResult& sent, NSError* outError) {
        switch (sent.status) {
            case remote::SendStatus::Sent: break;
            case remote::SendStatus::TooLarge:
                fail(outError, kAudioUnitErr_InvalidPropertyValue,
                     "The request is too large for the audio unit's service (" + sent.why + "; at most " +
                         std::to_string(remote::kMaxLargePacketBytes >> 20) + " MiB)");
                break;
            case remote::SendStatus::TimedOut:
                fail(outError, kAudioComponentErr_InstanceTimedOut, "The audio unit's service took no request in time");
                end(true, "it took no request in time");
                break;
            case remote::SendStatus::Closed:
                end(true, "it ended");
                failEnded(outError);
                break;
            case remote::SendStatus::Failed:
                fail(outError, kAudioUnitErr_FailedInitialization,
                     "The request could not be sent to the audio unit's service: " + sent.why);
                break;
        }
    }

    void run() {
        threadId_.store(std::this_thread::get_id());
        while (!stopping_.load(std::memory_order_acquire)) {
            pollfd fd{socket_, POLLIN, 0};
            const int ready = ::poll(&fd, 1, kWatchPeriodMilliseconds);
            if (stopping_.load(std::memory_order_acquire)) break;
            if (ready > 0 && (fd.revents & POLLIN) != 0) {
                json packet;
                int receivedFd = -1;
                const auto result = remote::receivePacket(socket_, packet, &receivedFd);
                if (receivedFd >= 0) ::close(receivedFd);
                if (result == remote::ReceiveResult::Closed) {
                    finish("it ended");
                    return;
                }
                if (result == remote::ReceiveResult::Failed) {
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

    // The service hung up or hangs: make sure it is gone (one whose socket
    // closed may still be on its way out) and collect it.
    void finish(const std::string& reason) {
        end(true, reason);
        reap(std::chrono::milliseconds(2000));
    }

    // A reply goes to its request, an event to the proxy. False when the
    // packet was malformed and the service is stopped.
    bool dispatch(const json& packet) {
        remote::ServiceMessage message;
        std::string problem;
        if (!remote::decodeServiceMessage(packet, message, problem)) {
            malformed(problem);
            return false;
        }
        if (auto* reply = std::get_if<remote::ServiceReply>(&message)) {
            {
                std::lock_guard lock(mutex_);
                const auto it = pending_.find(reply->id);
                // Requests that gave up are no longer waiting; a reply to one
                // can only come from a service already being stopped.
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

    // Waits for the service's exit status (killing it after `patience`), so
    // that no zombie stays behind.
    void reap(std::chrono::milliseconds patience) {
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

    int socket_ = -1;
    pid_t pid_ = -1;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
    std::atomic<bool> alive_{true};
    std::atomic<bool> stopping_{false};
    std::mutex sendMutex_;
    std::mutex mutex_;
    std::condition_variable replied_;
    std::map<std::uint64_t, std::optional<remote::ServiceReply>> pending_;
    std::string endReason_;
    std::uint64_t nextId_ = 1;
    std::mutex reapMutex_;
    bool reaped_ = false;
};

// MARK: - Construction

AUAudioUnitProxy::AUAudioUnitProxy(ConstructionKey key) : AUAudioUnit(key) {}

AUAudioUnitProxy::~AUAudioUnitProxy() {
    if (connection_) connection_->shutdown();
}

std::shared_ptr<AUAudioUnitProxy> AUAudioUnitProxy::launch(const AVAudioUnitComponentPtr& component,
                                                           AudioComponentInstantiationOptions options,
                                                           NSError* outError) {
    if (!component) {
        fail(outError, kAudioUnitErr_ExtensionNotFound, "No component to instantiate");
        return nullptr;
    }
    auto proxy = AUAudioUnit::create<AUAudioUnitProxy>(component->audioComponentDescription, options, outError);
    if (!proxy || !proxy->connect(component, outError)) return nullptr;
    return proxy;
}

bool AUAudioUnitProxy::connect(const AVAudioUnitComponentPtr& component, NSError* outError) {
    const auto program = audioUnitServiceProgram();
    if (!program) {
        fail(outError, kAudioUnitErr_FailedInitialization,
             std::string("The audio-unit service ") + kAudioUnitServiceProgramName + " is not installed");
        return false;
    }
    auto connection = std::make_shared<Connection>();
    // The connection's thread reaches the proxy weakly: it must not keep it alive.
    const std::weak_ptr<AUAudioUnitProxy> weak = std::static_pointer_cast<AUAudioUnitProxy>(shared_from_this());
    connection->onEvent = [weak](const remote::ServiceMessage& event) {
        if (const auto self = weak.lock()) self->handleEvent(event);
    };
    connection->isRenderHung = [weak] {
        const auto self = weak.lock();
        return self && self->renderCycleHung();
    };
    connection->onEnd = [weak] {
        if (const auto self = weak.lock()) self->serviceEnded();
    };
    connection_ = connection;
    if (!connection->start(*program, *component, outError)) return false;
    const auto result = connection->request({{"op", "describe"}}, kLaunchTimeout, outError);
    if (!result) return false;
    remote::UnitDescription description;
    std::string problem;
    if (!remote::decodeUnitDescription(*result, description, problem)) {
        // No unit exists yet to invalidate; the proxy's end stops the service.
        fail(outError, kAudioUnitErr_FailedInitialization, "The audio unit's service described the unit badly: " + problem);
        return false;
    }
    return adoptDescription(std::move(description), outError);
}

bool AUAudioUnitProxy::adoptDescription(remote::UnitDescription description, NSError* outError) {
    auto makeBusses = [&](const std::vector<remote::BusDescription>& described,
                          AUAudioUnitBusType type) -> AUAudioUnitBusArrayPtr {
        std::vector<AUAudioUnitBusPtr> busses;
        for (const auto& b : described) {
            auto bus = AUAudioUnitBus::make(AVAudioFormat::makeStandard(b.sampleRate, b.channels));
            if (!bus) return nullptr;
            bus->setMaximumChannelCount(b.maximumChannelCount);
            bus->setName(b.name);
            busses.push_back(std::move(bus));
        }
        return AUAudioUnitBusArray::make(shared_from_this(), type, std::move(busses));
    };
    inputBusses_ = makeBusses(description.inputBusses, AUAudioUnitBusTypeInput);
    outputBusses_ = makeBusses(description.outputBusses, AUAudioUnitBusTypeOutput);
    if (!inputBusses_ || !outputBusses_) {
        fail(outError, kAudioUnitErr_FailedInitialization, "The audio unit's service described the unit badly: busses");
        return false;
    }
    channelCapabilities_ = std::move(description.channelCapabilities);
    midiOutputNames_ = std::move(description.midiOutputNames);
    for (const auto& preset : description.factoryPresets)
        factoryPresets_.push_back(AUAudioUnitPreset::make(preset.number, preset.name));
    latency_ = description.latency;
    tailTime_ = description.tailTime;
    supportsUserPresets_ = description.supportsUserPresets;
    maximumFrames_.store(description.maximumFramesToRender);
    bypass_.store(description.shouldBypassEffect);
    editorInfo_ = {description.editorAvailable, description.editorWidth, description.editorHeight};

    if (auto tree = std::move(description.parameterTree)) {
        const std::weak_ptr<Connection> connection = connection_;
        // Changes made on this side go to the service. Thread: whichever wrote the value.
        mirrorToken_ = tree->tokenByAddingParameterAutomationObserver(
            [connection](std::span<const AUParameterAutomationEvent> events) {
                const auto c = connection.lock();
                if (!c) return;
                for (const auto& e : events)
                    c->send({{"op", "setParameter"},
                             {"address", e.address},
                             {"value", e.value},
                             {"hostTime", e.hostTime},
                             {"eventType", static_cast<std::uint32_t>(e.eventType)}},
                            kDefaultHangTimeout);
            });
        // Value texts are the unit's own.
        const std::weak_ptr<AUAudioUnitProxy> weak = std::static_pointer_cast<AUAudioUnitProxy>(shared_from_this());
        tree->setImplementorStringFromValueCallback([weak](AUParameter& parameter, std::optional<AUValue> value) {
            json packet = {{"op", "stringFromValue"}, {"address", parameter.address()}};
            if (value) packet["value"] = *value;
            std::string text;
            if (const auto self = weak.lock();
                self && self->requestChecked(std::move(packet), [&](const json& result, std::string& problem) {
                    return remote::decodeValueText(result, text, problem);
                }))
                return text;
            // The service is gone or busy: a plain number.
            const AUValue v = value ? *value : parameter.storedValue();
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%g", static_cast<double>(v));
            return std::string(buffer);
        });
        tree->setImplementorValueFromStringCallback([weak](AUParameter& parameter, const std::string& text) {
            AUValue value = 0;
            if (const auto self = weak.lock();
                self && self->requestChecked({{"op", "valueFromString"}, {"address", parameter.address()}, {"text", text}},
                                             [&](const json& result, std::string& problem) {
                                                 return remote::decodeParameterValue(result, value, problem);
                                             }))
                return value;
            const float typed = std::strtof(text.c_str(), nullptr);
            return std::clamp(std::isfinite(typed) ? typed : 0.0f, parameter.minValue(), parameter.maxValue());
        });
        setParameterTree(std::move(tree));
    }
    return true;
}

bool AUAudioUnitProxy::requestChecked(json packet, const std::function<bool(const json&, std::string&)>& decode,
                                      NSError* outError, int passFd) const {
    const auto result = request(std::move(packet), outError, passFd);
    if (!result) return false;
    std::string problem;
    if (decode(*result, problem)) return true;
    connection_->malformed(problem);
    fail(outError, kAudioComponentErr_InstanceInvalidated,
         "The audio unit's service was stopped: it sent a malformed message (" + problem + ")");
    return false;
}

std::optional<json> AUAudioUnitProxy::request(json packet, NSError* outError, int passFd) const {
    if (!connection_) {
        fail(outError, kAudioComponentErr_InstanceInvalidated, "The audio unit has no service");
        return std::nullopt;
    }
    const auto timeout = std::chrono::nanoseconds(hangTimeoutNanoseconds_.load(std::memory_order_relaxed));
    return connection_->request(std::move(packet), std::max<std::chrono::nanoseconds>(timeout, std::chrono::milliseconds(100)),
                                outError, passFd);
}

// MARK: - Events from the service

// Connection thread.
void AUAudioUnitProxy::handleEvent(const remote::ServiceMessage& event) {
    if (const auto* changed = std::get_if<remote::ParameterChangedEvent>(&event)) {
        const auto tree = parameterTree();
        if (!tree) return;  // still being built from the description
        const auto parameter = tree->parameterWithAddress(changed->address);
        if (!parameter) {
            connection_->malformed("a change of parameter " + std::to_string(changed->address) +
                                   ", which the unit does not have");
            return;
        }
        // Written with the mirror's own token, so that it does not go back.
        parameter->setValue(changed->value, mirrorToken_, changed->hostTime, changed->eventType);
    } else if (std::holds_alternative<remote::AllParameterValuesChangedEvent>(event)) {
        postAllParameterValuesChanged();
    }
}

// The thread that noticed: the connection's, or one whose request timed out.
void AUAudioUnitProxy::serviceEnded() {
    std::shared_ptr<AUAudioUnit> self = shared_from_this();
    foundation::NotificationCenter::defaultCenter().post(kAudioComponentInstanceInvalidationNotification, self);
}

bool AUAudioUnitProxy::isServiceAlive() const noexcept { return connection_ && connection_->alive(); }
pid_t AUAudioUnitProxy::servicePID() const noexcept { return connection_ ? connection_->pid() : -1; }

void AUAudioUnitProxy::killServiceForTesting() {
    if (connection_) connection_->killService();
}

// MARK: - Properties

bool AUAudioUnitProxy::shouldChangeToFormat(const AVAudioFormat& format, const AUAudioUnitBus& bus,
                                            NSError* outError) {
    if (!AUAudioUnit::shouldChangeToFormat(format, bus, outError)) return false;
    if (!format.isStandard()) {
        fail(outError, kAudioUnitErr_FormatNotSupported, "Out-of-process units take the standard format only");
        return false;
    }
    return request({{"op", "setBusFormat"},
                    {"busType", bus.busType() == AUAudioUnitBusTypeInput ? "input" : "output"},
                    {"index", bus.index()},
                    {"sampleRate", format.sampleRate()},
                    {"channels", format.channelCount()}},
                   outError)
        .has_value();
}

AUAudioFrameCount AUAudioUnitProxy::maximumFramesToRender() const { return maximumFrames_.load(); }

void AUAudioUnitProxy::setMaximumFramesToRender(AUAudioFrameCount frames) {
    if (frames > kMaximumFramesToRenderLimit) return;  // refused, as every unit refuses it
    maximumFrames_.store(frames);
    request({{"op", "setMaximumFramesToRender"}, {"frames", frames}});
}

bool AUAudioUnitProxy::shouldBypassEffect() const { return bypass_.load(); }

void AUAudioUnitProxy::setShouldBypassEffect(bool bypass) {
    bypass_.store(bypass);
    request({{"op", "setShouldBypassEffect"}, {"bypass", bypass}});
}

AUAudioUnitPresetPtr AUAudioUnitProxy::currentPreset() const {
    std::optional<remote::PresetDescription> preset;
    if (!requestChecked({{"op", "currentPreset"}}, [&](const json& result, std::string& problem) {
            return remote::decodeCurrentPreset(result, preset, problem);
        }))
        return nullptr;
    return preset ? AUAudioUnitPreset::make(preset->number, preset->name) : nullptr;
}

void AUAudioUnitProxy::setCurrentPreset(AUAudioUnitPresetPtr preset) {
    if (preset && preset->number() < 0) {
        // User presets live on this side, in this host's folder; the base
        // applies their values through the tree, which reaches the service.
        AUAudioUnit::setCurrentPreset(std::move(preset));
        return;
    }
    json packet = {{"op", "setCurrentPreset"}, {"preset", nullptr}};
    if (preset) packet["preset"] = {{"number", preset->number()}, {"name", preset->name()}};
    request(std::move(packet));
}

json AUAudioUnitProxy::fullState() const {
    json state;
    if (requestChecked({{"op", "fullState"}}, [&](const json& result, std::string& problem) {
            if (!remote::decodeFullState(result, problem)) return false;
            state = result;
            return true;
        }))
        return state;
    return AUAudioUnit::fullState();
}

bool AUAudioUnitProxy::setFullState(const json& state, NSError* outError) {
    return request({{"op", "setFullState"}, {"state", state}}, outError).has_value();
}

// MARK: - Editor

unsigned long AUAudioUnitProxy::openEditor(unsigned long parentWindow, const std::string& display, int width,
                                           int height, double scale, NSError* outError) {
    unsigned long window = 0;
    if (!requestChecked({{"op", "openEditor"},
                         {"parent", parentWindow},
                         {"display", display},
                         {"width", width},
                         {"height", height},
                         {"scale", scale > 0 ? scale : 1.0}},
                        [&](const json& result, std::string& problem) {
                            return remote::decodeEditorWindow(result, window, problem);
                        },
                        outError))
        return 0;
    return window;
}

void AUAudioUnitProxy::closeEditor() { request({{"op", "closeEditor"}}); }

std::optional<AUAudioUnitProxy::EditorSnapshot> AUAudioUnitProxy::snapshotEditor(double width, double height,
                                                                                 double originX, double originY,
                                                                                 double scale, bool withPixels,
                                                                                 NSError* outError) {
    if (!(width > 0 && height > 0 && scale > 0 && width * scale <= 16384 && height * scale <= 16384)) {
        if (outError) *outError = foundation::makeOSStatusError(kAudioUnitErr_InvalidPropertyValue, "no such editor size");
        return std::nullopt;
    }
    EditorSnapshot snapshot;
    snapshot.pixelWidth = static_cast<int>(std::ceil(width * scale));
    snapshot.pixelHeight = static_cast<int>(std::ceil(height * scale));
    snapshot.stride = snapshot.pixelWidth * 4;
    // The pixels come back through memory the service writes into.
    remote::SharedMemory memory;
    if (withPixels) {
        std::string why;
        memory = remote::SharedMemory::create(std::size_t(snapshot.stride) * std::size_t(snapshot.pixelHeight), &why);
        if (!memory) {
            if (outError) *outError = foundation::makeOSStatusError(kAudioUnitErr_FailedInitialization, why);
            return std::nullopt;
        }
    }
    if (!requestChecked({{"op", "snapshotEditor"},
                         {"width", width},
                         {"height", height},
                         {"originX", originX},
                         {"originY", originY},
                         {"scale", scale},
                         {"pixels", withPixels}},
                        [&](const json& result, std::string& problem) {
                            return remote::decodeEditorInspection(result, snapshot.inspection, problem);
                        },
                        outError, withPixels ? memory.fd() : -1))
        return std::nullopt;
    if (withPixels) {
        const auto* begin = reinterpret_cast<const std::uint8_t*>(memory.data());
        snapshot.pixels.assign(begin, begin + memory.size());
    }
    return snapshot;
}

// MARK: - Render resources

bool AUAudioUnitProxy::allocateRenderResources(NSError* outError) {
    const auto input = inputBusses_->count() > 0 ? (*inputBusses_)[0]->format() : nullptr;
    const auto output = outputBusses_->count() > 0 ? (*outputBusses_)[0]->format() : nullptr;
    if (!output) {
        fail(outError, kAudioUnitErr_FailedInitialization, "a bus has no format");
        return false;
    }
    const AUAudioFrameCount maximumFrames = maximumFramesToRender();
    if (maximumFrames == 0) {
        fail(outError, kAudioUnitErr_FailedInitialization, "the maximum frame count is 0");
        return false;
    }
    if (!isServiceAlive()) {
        fail(outError, kAudioComponentErr_InstanceInvalidated, "The audio unit's service has ended");
        return false;
    }
    const auto layout = remote::CycleLayout::make(maximumFrames, input ? input->channelCount() : 0,
                                                  output->channelCount());
    std::string why;
    auto memory = remote::SharedMemory::create(layout.totalBytes, &why);
    if (!memory) {
        fail(outError, kAudioUnitErr_FailedInitialization, "Cannot make the render memory: " + why);
        return false;
    }
    // The header's atomics begin their life here; the service only maps them.
    ::new (static_cast<void*>(memory.data())) remote::CycleHeader();
    // Everything the render thread uses is made here.
    std::vector<float> privateOutput(std::size_t{layout.maximumFrames} * std::max(1u, layout.outputChannels));
    AudioBufferListStorage pullList(std::max(1u, layout.inputChannels));
    pullList->mNumberBuffers = layout.inputChannels;
    std::vector<AURenderEvent> carriedEvents(remote::kMaxCycleEvents);

    if (!request({{"op", "allocateRenderResources"}, {"layout", layout.toJSON()}}, outError, memory.fd())) return false;

    {
        std::lock_guard lock(renderMutex_);
        area_ = remote::CycleArea(memory.data(), layout);
        memory_ = std::move(memory);
        sequence_ = area_.header().request.load(std::memory_order_relaxed);
        privateOutput_ = std::move(privateOutput);
        pullList_ = std::move(pullList);
        carriedEvents_ = std::move(carriedEvents);
        carriedEventCount_ = 0;
        pendingSince_.store(0, std::memory_order_relaxed);
        if (renderDeadline_.count() > 0) {
            deadlineNanoseconds_ = renderDeadline_.count();
        } else {
            const double cycle = 1e9 * maximumFrames / std::max(1.0, output->sampleRate());
            deadlineNanoseconds_ = std::max<std::int64_t>(static_cast<std::int64_t>(cycle), kMinimumRenderDeadline.count());
        }
    }
    if (!AUAudioUnit::allocateRenderResources(outError)) {
        deallocateRenderResources();
        return false;
    }
    return true;
}

void AUAudioUnitProxy::deallocateRenderResources() {
    AUAudioUnit::deallocateRenderResources();
    request({{"op", "deallocateRenderResources"}});
    std::lock_guard lock(renderMutex_);
    area_ = {};
    memory_ = {};
    pendingSince_.store(0, std::memory_order_relaxed);
}

// Connection thread: a cycle handed over longer ago than the hang timeout and
// still unanswered in the shared memory means a hung service.
bool AUAudioUnitProxy::renderCycleHung() {
    const std::int64_t since = pendingSince_.load(std::memory_order_acquire);
    if (since == 0) return false;
    if (remote::monotonicNanoseconds() - since < hangTimeoutNanoseconds_.load(std::memory_order_relaxed)) return false;
    std::lock_guard lock(renderMutex_);
    if (!area_) return false;
    const auto& header = area_.header();
    return header.reply.load(std::memory_order_acquire) != header.request.load(std::memory_order_acquire);
}

AUInternalRenderBlock AUAudioUnitProxy::internalRenderBlock() {
    return [this](AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                  AUAudioFrameCount frameCount, NSInteger outputBusNumber, AudioBufferList* outputData,
                  const AURenderEvent* events, const AURenderPullInputBlock* pullInputBlock) {
        return renderCycle(actionFlags, timestamp, frameCount, outputBusNumber, outputData, events, pullInputBlock);
    };
}

void AUAudioUnitProxy::countMissedCycle() noexcept { missedCycles_.fetch_add(1, std::memory_order_relaxed); }

void AUAudioUnitProxy::silence(AudioBufferList* outputData, AUAudioFrameCount frameCount) noexcept {
    for (auto& buffer : outputData->buffers()) {
        if (buffer.mData != nullptr) std::memset(buffer.mData, 0, std::size_t{frameCount} * sizeof(float));
    }
}

// Render thread. No lock, no allocation; the one wait is the futex wait for
// the service's answer, bounded by the deadline.
OSStatus AUAudioUnitProxy::renderCycle(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                                       AUAudioFrameCount frameCount, NSInteger outputBusNumber,
                                       AudioBufferList* outputData, const AURenderEvent* events,
                                       const AURenderPullInputBlock* pullInputBlock) noexcept {
    if (outputData == nullptr || !area_) return kAudioUnitErr_InvalidParameter;
    const remote::CycleLayout& layout = area_.layout();
    if (frameCount > maximumFrames_.load(std::memory_order_relaxed) || frameCount > layout.maximumFrames)
        return kAudioUnitErr_TooManyFramesToProcess;

    // Output buffers without memory render into ours.
    std::uint32_t channel = 0;
    for (auto& buffer : outputData->buffers()) {
        if (buffer.mData == nullptr && channel < std::max(1u, layout.outputChannels))
            buffer.mData = privateOutput_.data() + std::size_t{channel} * layout.maximumFrames;
        buffer.mDataByteSize = frameCount * sizeof(float);
        ++channel;
    }

    remote::CycleHeader& header = area_.header();
    if (!connection_->alive() || header.reply.load(std::memory_order_acquire) != sequence_) {
        // Gone, or still busy with a cycle it missed: silence, and no new cycle.
        // The cycle's events go with the next one the service gets (past
        // their time, so at its start): a lost note-off would hang a note.
        for (const AURenderEvent* event = events; event != nullptr; event = event->head.next) {
            if (carriedEventCount_ == carriedEvents_.size()) {
                droppedEvents_.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            carriedEvents_[carriedEventCount_++] = *event;
        }
        silence(outputData, frameCount);
        countMissedCycle();
        return noErr;
    }
    pendingSince_.store(0, std::memory_order_relaxed);

    // The input, pulled straight into shared memory.
    header.hasPullInput = 0;
    header.pullStatus = noErr;
    if (pullInputBlock != nullptr && *pullInputBlock && layout.inputChannels > 0) {
        AudioBufferList& list = *pullList_.get();
        list.mNumberBuffers = layout.inputChannels;
        for (std::uint32_t c = 0; c < layout.inputChannels; ++c) {
            list.mBuffers[c].mNumberChannels = 1;
            list.mBuffers[c].mDataByteSize = frameCount * sizeof(float);
            list.mBuffers[c].mData = area_.input(c);
        }
        AudioUnitRenderActionFlags pullFlags = 0;
        header.pullStatus = (*pullInputBlock)(&pullFlags, timestamp, frameCount, 0, &list);
        header.hasPullInput = 1;
        if (header.pullStatus == noErr) {
            for (std::uint32_t c = 0; c < layout.inputChannels; ++c) {
                const void* source = list.mBuffers[c].mData;
                if (source == nullptr) {
                    std::memset(area_.input(c), 0, std::size_t{frameCount} * sizeof(float));
                } else if (source != area_.input(c)) {
                    std::memcpy(area_.input(c), source, std::size_t{frameCount} * sizeof(float));
                }
            }
        }
    }

    // Events carried from skipped cycles, then the cycle's own, flattened.
    std::uint32_t count = 0;
    for (std::size_t i = 0; i < carriedEventCount_ && count < remote::kMaxCycleEvents; ++i) {
        AURenderEvent& copy = area_.events()[count++];
        copy = carriedEvents_[i];
        copy.head.next = nullptr;
    }
    carriedEventCount_ = 0;
    for (const AURenderEvent* event = events; event != nullptr; event = event->head.next) {
        if (count == remote::kMaxCycleEvents) {
            droppedEvents_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        AURenderEvent& copy = area_.events()[count++];
        copy = *event;
        copy.head.next = nullptr;
    }
    header.eventCount = count;
    header.frameCount = frameCount;
    header.actionFlags = actionFlags != nullptr ? *actionFlags : 0;
    header.outputBusNumber = outputBusNumber;
    header.timestamp = timestamp != nullptr ? *timestamp : AudioTimeStamp{};
    header.timestamp.mFlags = timestamp != nullptr ? (timestamp->mFlags | (1u << 31)) : 0;  // bit 31: present

    // Hand it over and wait, at most until the deadline.
    const std::uint32_t sequence = ++sequence_;
    const std::int64_t start = remote::monotonicNanoseconds();
    const std::int64_t deadline = start + deadlineNanoseconds_;
    pendingSince_.store(start, std::memory_order_release);
    header.request.store(sequence, std::memory_order_release);
    remote::futexWake(header.request);
    while (true) {
        const std::uint32_t answered = header.reply.load(std::memory_order_acquire);
        if (answered == sequence) break;
        const std::int64_t remaining = deadline - remote::monotonicNanoseconds();
        if (remaining <= 0 || !connection_->alive()) {
            silence(outputData, frameCount);
            countMissedCycle();
            return noErr;
        }
        remote::futexWait(header.reply, answered, remaining);
    }
    pendingSince_.store(0, std::memory_order_relaxed);

    channel = 0;
    for (auto& buffer : outputData->buffers()) {
        if (channel >= layout.outputChannels) break;
        std::memcpy(buffer.mData, area_.output(channel), std::size_t{frameCount} * sizeof(float));
        ++channel;
    }
    if (actionFlags != nullptr) *actionFlags = header.actionFlags;
    return header.status;
}

}  // namespace audiounit
