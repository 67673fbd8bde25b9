#include "JackMIDIBackend.hpp"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "MIDIServer.hpp"
#include "foundation/TimeLimit.hpp"

namespace midi::detail {

namespace {

void silent(const char*) {}

std::string serverDidNotAnswer() {
    return "the JACK server did not answer within " + std::to_string(JackMIDIBackend::kServerTimeLimit.count()) +
           " seconds";
}

}  // namespace

// What libjack's threads reach: the callbacks' argument. Owned by the backend
// while the client can still be closed; once the client is abandoned, libjack
// may call in at any later time, so it is kept (never freed) for the rest of
// the process. The MIDI server it refers to lives as long as the process.
struct JackMIDIBackend::Link {
    MIDIServer& server;
    std::uint64_t generation;
    jack_client_t* client = nullptr;
    std::atomic<bool> serverGone{false};
    std::atomic<bool> abandoned{false};
    // The notification callbacks in progress, and whether the client is being
    // closed (or abandoned): closing waits for them, because libjack cancels
    // its threads asynchronously when it closes a client whose server has
    // gone, and a callback cut off inside the MIDI server's queue would leave
    // it locked.
    std::atomic<int> callbacksInProgress{0};
    std::atomic<bool> closing{false};
};

struct JackMIDIBackend::Callbacks {
    // JACK's real-time process thread: reads every connected source's input
    // port and delivers its events. No lock, no allocation, no blocking. A
    // closing client reads nothing: the table may hold another client's ports.
    static int process(jack_nframes_t frames, void* arg) noexcept {
        auto& link = *static_cast<Link*>(arg);
        jack_client_t* client = link.client;
        const MIDIServer::TableReader reader(link.server);
        if (link.closing.load(std::memory_order_seq_cst)) return 0;
        const jack_nframes_t cycleStart = jack_last_frame_time(client);
        for (const Route& route : reader.table().routes) {
            if (route.jackInput == nullptr || route.receivers.empty()) continue;
            void* buffer = jack_port_get_buffer(static_cast<jack_port_t*>(route.jackInput), frames);
            if (buffer == nullptr) continue;
            const std::uint32_t count = jack_midi_get_event_count(buffer);
            for (std::uint32_t i = 0; i < count; ++i) {
                jack_midi_event_t event;
                if (jack_midi_event_get(&event, buffer, i) != 0) continue;
                const jack_time_t micros = jack_frames_to_time(client, cycleStart + event.time);
                route.stream->add(route, std::span<const std::uint8_t>(event.buffer, event.size),
                                  static_cast<MIDITimeStamp>(micros) * 1000u);
            }
            route.stream->flush(route);
        }
        return 0;
    }

    // Marks a notification callback as running; false once the client is
    // closing, when the callback must return at once. The callbacks are not
    // noexcept: a cancellation that reaches one before this mark unwinds
    // through it harmlessly, where a noexcept frame would end the process.
    struct InProgress {
        explicit InProgress(Link& link) : link_(link) {
            link_.callbacksInProgress.fetch_add(1, std::memory_order_acq_rel);
        }
        ~InProgress() { link_.callbacksInProgress.fetch_sub(1, std::memory_order_acq_rel); }
        InProgress(const InProgress&) = delete;
        InProgress& operator=(const InProgress&) = delete;
        [[nodiscard]] bool closing() const { return link_.closing.load(std::memory_order_acquire); }
        Link& link_;
    };

    // JACK's notification thread: only queue work for the MIDI notification thread.
    static void portRegistration(jack_port_id_t, int, void* arg) {
        auto& link = *static_cast<Link*>(arg);
        const InProgress running(link);
        if (running.closing()) return;
        const auto generation = link.generation;
        MIDIServer& server = link.server;
        server.onNotificationThread([&server, generation] { server.rescanJack(generation); });
    }

    static void clientRegistration(const char*, int, void* arg) { portRegistration(0, 0, arg); }

    // JACK's thread when the server goes away: only queue work.
    static void shutdown(jack_status_t, const char*, void* arg) {
        auto& link = *static_cast<Link*>(arg);
        link.serverGone.store(true, std::memory_order_release);
        const InProgress running(link);
        if (running.closing()) return;
        const auto generation = link.generation;
        MIDIServer& server = link.server;
        server.onNotificationThread(
            [&server, generation] { server.jackServerLost(generation, "the JACK server has shut down"); });
    }
};

JackMIDIBackend::JackMIDIBackend(std::unique_ptr<Link> link) : link_(std::move(link)) {}

std::uint64_t JackMIDIBackend::generation() const noexcept { return link_->generation; }

template <class Call>
auto JackMIDIBackend::askServer(Call call) -> std::optional<decltype(call())> {
    Link& link = *link_;
    if (link.abandoned.load(std::memory_order_acquire)) return std::nullopt;
    auto result = foundation::callWithTimeLimit(kServerTimeLimit, std::move(call));
    if (!result && !link.abandoned.exchange(true, std::memory_order_acq_rel)) {
        const auto generation = link.generation;
        MIDIServer& server = link.server;
        server.onNotificationThread(
            [&server, generation] { server.jackServerLost(generation, serverDidNotAnswer()); });
    }
    return result;
}

std::unique_ptr<JackMIDIBackend> JackMIDIBackend::open(const std::string& clientName, MIDIServer& server,
                                                       std::uint64_t generation, std::string& whyNot) {
    // libjack's own messages are process-wide and many (several lines for a
    // missing server alone); this layer says what matters in its own lines,
    // so they stay off for good.
    jack_set_error_function(silent);
    jack_set_info_function(silent);
    std::string name = clientName.empty() ? std::string("MIDI") : clientName;
    if (name.size() >= static_cast<std::size_t>(jack_client_name_size()))
        name.resize(static_cast<std::size_t>(jack_client_name_size()) - 1);
    // A client the server opens after the time limit is never used.
    const auto opened = foundation::callWithTimeLimit(kServerTimeLimit, [name] {
        jack_status_t status{};
        return jack_client_open(name.c_str(), JackNoStartServer, &status);
    });
    if (!opened || *opened == nullptr) {
        whyNot = opened ? "no JACK server is running" : serverDidNotAnswer();
        return nullptr;
    }

    std::unique_ptr<JackMIDIBackend> backend(new JackMIDIBackend(std::unique_ptr<Link>(new Link{server, generation, *opened})));
    jack_client_t* client = *opened;
    void* arg = backend->link_.get();
    if (jack_set_process_callback(client, Callbacks::process, arg) != 0 ||
        jack_set_port_registration_callback(client, Callbacks::portRegistration, arg) != 0 ||
        jack_set_client_registration_callback(client, Callbacks::clientRegistration, arg) != 0) {
        whyNot = "the JACK client could not be set up";
        return nullptr;  // the destructor closes the client
    }
    jack_on_info_shutdown(client, Callbacks::shutdown, arg);
    const auto activated = backend->askServer([client] { return jack_activate(client); });
    if (!activated || *activated != 0) {
        whyNot = activated ? "the JACK client could not be activated" : serverDidNotAnswer();
        return nullptr;
    }
    return backend;
}

JackMIDIBackend::~JackMIDIBackend() {
    Link& link = *link_;
    if (link.client == nullptr) return;
    link.closing.store(true, std::memory_order_seq_cst);
    // A callback that began before `closing` finishes its few steps (it
    // queues work and never waits on this thread or on the server).
    while (link.callbacksInProgress.load(std::memory_order_acquire) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    jack_client_t* client = link.client;
    // With the server gone there is nothing to deactivate; closing frees what is left.
    if (!link.serverGone.load(std::memory_order_acquire)) {
        (void)askServer([client] { return jack_deactivate(client); });
    }
    (void)askServer([client] { return jack_client_close(client); });
    // libjack may still call into an abandoned client: its link stays.
    if (link.abandoned.load(std::memory_order_acquire)) (void)link_.release();
}

std::vector<std::string> JackMIDIBackend::midiOutputPorts() const {
    // The port list is in memory the server shares with its clients: reading
    // it does not wait on the server.
    std::vector<std::string> names;
    if (link_->abandoned.load(std::memory_order_acquire)) return names;
    jack_client_t* client = link_->client;
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
    if (ports == nullptr) return names;
    for (const char** name = ports; *name != nullptr; ++name) {
        jack_port_t* port = jack_port_by_name(client, *name);
        if (port == nullptr || jack_port_is_mine(client, port)) continue;
        names.emplace_back(*name);
    }
    jack_free(static_cast<void*>(ports));
    return names;
}

OSStatus JackMIDIBackend::connect(const std::string& sourcePortName, MIDIEndpointRef source, void** outInput) {
    jack_client_t* client = link_->client;
    if (link_->abandoned.load(std::memory_order_acquire)) return kMIDIUnknownError;
    if (jack_port_by_name(client, sourcePortName.c_str()) == nullptr) return kMIDIUnknownEndpoint;
    const std::string portName = "in_" + std::to_string(source);
    const auto registered = askServer([client, portName] {
        return jack_port_register(client, portName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    });
    if (!registered || *registered == nullptr) return kMIDIUnknownError;
    jack_port_t* input = *registered;
    const std::string inputName = jack_port_name(input);
    const auto result = askServer(
        [client, sourcePortName, inputName] { return jack_connect(client, sourcePortName.c_str(), inputName.c_str()); });
    if (!result) return kMIDIUnknownError;  // abandoned: the port goes with the client
    if (*result != 0 && *result != EEXIST) {
        (void)askServer([client, input] { return jack_port_unregister(client, input); });
        return kMIDIUnknownError;
    }
    *outInput = input;
    return noErr;
}

void JackMIDIBackend::release(void* input) {
    if (input == nullptr) return;
    jack_client_t* client = link_->client;
    auto* port = static_cast<jack_port_t*>(input);
    (void)askServer([client, port] { return jack_port_unregister(client, port); });
}

}  // namespace midi::detail
