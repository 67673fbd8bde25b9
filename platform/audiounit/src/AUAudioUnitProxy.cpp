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
#include <cstring>
#include <map>
#include <new>
#include <thread>

#include "audiounit/AUAudioUnitBus.hpp"
#include "audiounit/AudioComponentInstanceInvalidation.hpp"
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

}  // namespace

std::optional<fs::path> audioUnitServiceProgram() {
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
        for (int fd : sockets) {
            int size = static_cast<int>(remote::kMaxPacketBytes + 4096);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
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
    // outError set (the service's error, a timeout, or the service gone).
    std::optional<json> request(json packet, std::chrono::nanoseconds timeout, NSError* outError, int passFd = -1) {
        if (!alive()) {
            fail(outError, kAudioComponentErr_InstanceInvalidated, "The audio unit's service has ended");
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
        bool sent;
        {
            std::lock_guard lock(sendMutex_);
            sent = remote::sendPacket(socket_, packet, passFd);
        }
        std::unique_lock lock(mutex_);
        const bool answered = sent && replied_.wait_for(lock, timeout, [&] {
            return !alive() || pending_[id].has_value();
        }) && pending_[id].has_value();
        auto reply = std::move(pending_[id]);
        pending_.erase(id);
        lock.unlock();
        if (!answered) {
            if (alive()) {
                fail(outError, kAudioComponentErr_InstanceTimedOut, "The audio unit's service did not answer in time");
                end(true);
            } else {
                fail(outError, kAudioComponentErr_InstanceInvalidated, "The audio unit's service has ended");
            }
            return std::nullopt;
        }
        if (const auto error = reply->find("error"); error != reply->end() && error->is_object()) {
            fail(outError, error->value("code", kAudioUnitErr_FailedInitialization),
                 error->value("description", std::string("The audio unit's service refused the request")));
            return std::nullopt;
        }
        const auto result = reply->find("result");
        return result == reply->end() ? json() : *result;
    }

    // A packet without an answer (parameter changes). Any non-real-time thread.
    void send(const json& packet) {
        if (!alive()) return;
        std::lock_guard lock(sendMutex_);
        remote::sendPacket(socket_, packet);
    }

    // The proxy's side: events, the hang check and the end. Set before start.
    std::function<void(const json&)> onEvent;
    std::function<bool()> isRenderHung;
    std::function<void()> onEnd;

    // Marks the service gone (stopping it first when `kill`), wakes every
    // waiting request and tells the proxy, once.
    void end(bool kill) {
        if (kill && pid_ > 0) ::kill(pid_, SIGKILL);
        if (alive_.exchange(false, std::memory_order_acq_rel)) {
            {
                std::lock_guard lock(mutex_);
            }
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
                    finish();
                    return;
                }
                if (result == remote::ReceiveResult::Packet) dispatch(packet);
                continue;
            }
            if (ready > 0 && (fd.revents & (POLLHUP | POLLERR)) != 0) {
                finish();
                return;
            }
            if (alive() && isRenderHung && isRenderHung()) {
                finish();
                return;
            }
        }
    }

    // The service hung up or hangs: make sure it is gone (one whose socket
    // closed may still be on its way out) and collect it.
    void finish() {
        end(true);
        reap(std::chrono::milliseconds(2000));
    }

    void dispatch(const json& packet) {
        if (const auto reply = packet.find("reply"); reply != packet.end() && reply->is_number_unsigned()) {
            {
                std::lock_guard lock(mutex_);
                const auto it = pending_.find(reply->get<std::uint64_t>());
                if (it != pending_.end()) it->second = packet;
            }
            replied_.notify_all();
            return;
        }
        if (packet.contains("event") && onEvent) onEvent(packet);
    }

    // Waits for the service's exit status (killing it after `patience`), so
    // that no zombie stays behind.
    void reap(std::chrono::milliseconds patience) {
        std::lock_guard lock(reapMutex_);
        if (pid_ <= 0 || reaped_) return;
        const auto deadline = std::chrono::steady_clock::now() + patience;
        int status = 0;
        while (true) {
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_ || (done < 0 && errno != EINTR)) break;
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        reaped_ = true;
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
    std::map<std::uint64_t, std::optional<json>> pending_;
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
    connection->onEvent = [weak](const json& event) {
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
    const auto description =
        connection->request({{"op", "describe"}}, kLaunchTimeout, outError);
    if (!description) return false;
    return adoptDescription(*description, outError);
}

bool AUAudioUnitProxy::adoptDescription(const json& description, NSError* outError) {
    auto refuse = [&](const std::string& why) {
        fail(outError, kAudioUnitErr_FailedInitialization, "The audio unit's service described the unit badly: " + why);
        return false;
    };
    if (!description.is_object()) return refuse("not an object");
    auto tree = remote::parameterTreeFromDescription(description.value("parameterTree", json()));
    if (description.contains("parameterTree") && !description["parameterTree"].is_null() && !tree)
        return refuse("parameter tree");

    auto makeBusses = [&](const char* key, AUAudioUnitBusType type) -> AUAudioUnitBusArrayPtr {
        std::vector<AUAudioUnitBusPtr> busses;
        for (const auto& b : description.value(key, json::array())) {
            const double sampleRate = b.value("sampleRate", 44100.0);
            const auto channels = b.value("channels", AVAudioChannelCount{2});
            auto bus = AUAudioUnitBus::make(AVAudioFormat::makeStandard(sampleRate, channels));
            if (!bus) return nullptr;
            bus->setMaximumChannelCount(b.value("maximumChannelCount", AUAudioChannelCount{0xFFFFFFFFu}));
            bus->setName(b.value("name", std::string()));
            busses.push_back(std::move(bus));
        }
        return AUAudioUnitBusArray::make(shared_from_this(), type, std::move(busses));
    };
    inputBusses_ = makeBusses("inputBusses", AUAudioUnitBusTypeInput);
    outputBusses_ = makeBusses("outputBusses", AUAudioUnitBusTypeOutput);
    if (!inputBusses_ || !outputBusses_) return refuse("busses");

    for (const auto& n : description.value("channelCapabilities", json::array()))
        if (n.is_number_integer()) channelCapabilities_.push_back(n.get<NSInteger>());
    for (const auto& n : description.value("MIDIOutputNames", json::array()))
        if (n.is_string()) midiOutputNames_.push_back(n.get<std::string>());
    for (const auto& p : description.value("factoryPresets", json::array()))
        if (p.is_object()) factoryPresets_.push_back(AUAudioUnitPreset::make(p.value("number", NSInteger{0}), p.value("name", std::string())));
    latency_ = description.value("latency", 0.0);
    tailTime_ = description.value("tailTime", 0.0);
    supportsUserPresets_ = description.value("supportsUserPresets", false);
    maximumFrames_.store(description.value("maximumFramesToRender", AUAudioFrameCount{512}));
    bypass_.store(description.value("shouldBypassEffect", false));
    if (const auto editor = description.find("editor"); editor != description.end() && editor->is_object()) {
        editorInfo_.available = editor->value("available", false);
        editorInfo_.width = editor->value("width", 0.0);
        editorInfo_.height = editor->value("height", 0.0);
    }

    if (tree) {
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
                             {"eventType", static_cast<std::uint32_t>(e.eventType)}});
            });
        // Value texts are the unit's own.
        const std::weak_ptr<AUAudioUnitProxy> weak = std::static_pointer_cast<AUAudioUnitProxy>(shared_from_this());
        tree->setImplementorStringFromValueCallback([weak](AUParameter& parameter, std::optional<AUValue> value) {
            json packet = {{"op", "stringFromValue"}, {"address", parameter.address()}};
            if (value) packet["value"] = *value;
            if (const auto self = weak.lock()) {
                if (const auto text = self->request(std::move(packet)); text && text->is_string())
                    return text->get<std::string>();
            }
            // The service is gone or busy: a plain number.
            const AUValue v = value ? *value : parameter.storedValue();
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%g", static_cast<double>(v));
            return std::string(buffer);
        });
        tree->setImplementorValueFromStringCallback([weak](AUParameter& parameter, const std::string& text) {
            if (const auto self = weak.lock()) {
                if (const auto value = self->request({{"op", "valueFromString"}, {"address", parameter.address()}, {"text", text}});
                    value && value->is_number())
                    return value->get<AUValue>();
            }
            return std::clamp(std::strtof(text.c_str(), nullptr), parameter.minValue(), parameter.maxValue());
        });
        setParameterTree(std::move(tree));
    }
    return true;
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
void AUAudioUnitProxy::handleEvent(const json& event) {
    const std::string name = event.value("event", "");
    if (name == "parameter") {
        const auto tree = parameterTree();
        const auto address = event.find("address");
        const auto value = event.find("value");
        if (!tree || address == event.end() || !address->is_number_unsigned() || value == event.end() ||
            !value->is_number())
            return;
        const auto parameter = tree->parameterWithAddress(address->get<AUParameterAddress>());
        if (!parameter) return;
        const auto type = event.value("eventType", std::uint32_t{0});
        // Written with the mirror's own token, so that it does not go back.
        parameter->setValue(value->get<AUValue>(), mirrorToken_, event.value("hostTime", std::uint64_t{0}),
                            type <= 2 ? static_cast<AUParameterAutomationEventType>(type)
                                      : AUParameterAutomationEventType::Value);
    } else if (name == "allParameterValuesChanged") {
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
    if (const pid_t pid = servicePID(); pid > 0 && isServiceAlive()) ::kill(pid, SIGKILL);
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
    maximumFrames_.store(frames);
    request({{"op", "setMaximumFramesToRender"}, {"frames", frames}});
}

bool AUAudioUnitProxy::shouldBypassEffect() const { return bypass_.load(); }

void AUAudioUnitProxy::setShouldBypassEffect(bool bypass) {
    bypass_.store(bypass);
    request({{"op", "setShouldBypassEffect"}, {"bypass", bypass}});
}

AUAudioUnitPresetPtr AUAudioUnitProxy::currentPreset() const {
    const auto preset = request({{"op", "currentPreset"}});
    if (!preset || !preset->is_object()) return nullptr;
    return AUAudioUnitPreset::make(preset->value("number", NSInteger{0}), preset->value("name", std::string()));
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
    auto state = request({{"op", "fullState"}});
    return state ? std::move(*state) : AUAudioUnit::fullState();
}

bool AUAudioUnitProxy::setFullState(const json& state, NSError* outError) {
    return request({{"op", "setFullState"}, {"state", state}}, outError).has_value();
}

// MARK: - Editor

unsigned long AUAudioUnitProxy::openEditor(unsigned long parentWindow, const std::string& display, int width,
                                           int height, double scale, NSError* outError) {
    const auto window = request({{"op", "openEditor"},
                                 {"parent", parentWindow},
                                 {"display", display},
                                 {"width", width},
                                 {"height", height},
                                 {"scale", scale > 0 ? scale : 1.0}},
                                outError);
    if (!window || !window->is_number_unsigned()) return 0;
    return window->get<unsigned long>();
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
    const auto result = request({{"op", "snapshotEditor"},
                                 {"width", width},
                                 {"height", height},
                                 {"originX", originX},
                                 {"originY", originY},
                                 {"scale", scale},
                                 {"pixels", withPixels}},
                                outError, withPixels ? memory.fd() : -1);
    if (!result || !result->is_object() || !result->contains("inspection")) return std::nullopt;
    snapshot.inspection = result->at("inspection");
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
