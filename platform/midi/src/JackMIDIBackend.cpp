#include "JackMIDIBackend.hpp"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstring>

#include "MIDIServer.hpp"

namespace midi::detail {

namespace {

jack_client_t* asClient(void* client) { return static_cast<jack_client_t*>(client); }

void silent(const char*) {}

}  // namespace

struct JackMIDIBackend::Callbacks {
    // JACK's real-time process thread: reads every connected source's input
    // port and delivers its events. No lock, no allocation, no blocking.
    static int process(jack_nframes_t frames, void* arg) noexcept {
        auto& backend = *static_cast<JackMIDIBackend*>(arg);
        jack_client_t* client = asClient(backend.client_);
        const MIDIServer::TableReader reader(backend.server_);
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
        explicit InProgress(JackMIDIBackend& backend) : backend_(backend) {
            backend_.callbacksInProgress_.fetch_add(1, std::memory_order_acq_rel);
        }
        ~InProgress() { backend_.callbacksInProgress_.fetch_sub(1, std::memory_order_acq_rel); }
        InProgress(const InProgress&) = delete;
        InProgress& operator=(const InProgress&) = delete;
        [[nodiscard]] bool closing() const { return backend_.closing_.load(std::memory_order_acquire); }
        JackMIDIBackend& backend_;
    };

    // JACK's notification thread: only queue work for the MIDI notification thread.
    static void portRegistration(jack_port_id_t, int, void* arg) {
        auto& backend = *static_cast<JackMIDIBackend*>(arg);
        const InProgress running(backend);
        if (running.closing()) return;
        const auto generation = backend.generation_;
        MIDIServer& server = backend.server_;
        server.onNotificationThread([&server, generation] { server.rescanJack(generation); });
    }

    static void clientRegistration(const char*, int, void* arg) { portRegistration(0, 0, arg); }

    // JACK's thread when the server goes away: only queue work.
    static void shutdown(jack_status_t, const char*, void* arg) {
        auto& backend = *static_cast<JackMIDIBackend*>(arg);
        backend.serverGone_.store(true, std::memory_order_release);
        const InProgress running(backend);
        if (running.closing()) return;
        const auto generation = backend.generation_;
        MIDIServer& server = backend.server_;
        server.onNotificationThread([&server, generation] { server.jackServerLost(generation); });
    }
};

JackMIDIBackend::JackMIDIBackend(MIDIServer& server, std::uint64_t generation)
    : server_(server), generation_(generation) {}

std::unique_ptr<JackMIDIBackend> JackMIDIBackend::open(const std::string& clientName, MIDIServer& server,
                                                       std::uint64_t generation) {
    // libjack's own messages are process-wide and many (several lines for a
    // missing server alone); this layer says what matters in its own lines,
    // so they stay off for good.
    jack_set_error_function(silent);
    jack_set_info_function(silent);
    jack_status_t status{};
    std::string name = clientName.empty() ? std::string("MIDI") : clientName;
    if (name.size() >= static_cast<std::size_t>(jack_client_name_size()))
        name.resize(static_cast<std::size_t>(jack_client_name_size()) - 1);
    jack_client_t* client = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (client == nullptr) return nullptr;

    std::unique_ptr<JackMIDIBackend> backend(new JackMIDIBackend(server, generation));
    backend->client_ = client;
    void* arg = backend.get();
    if (jack_set_process_callback(client, Callbacks::process, arg) != 0 ||
        jack_set_port_registration_callback(client, Callbacks::portRegistration, arg) != 0 ||
        jack_set_client_registration_callback(client, Callbacks::clientRegistration, arg) != 0) {
        return nullptr;  // the destructor closes the client
    }
    jack_on_info_shutdown(client, Callbacks::shutdown, arg);
    if (jack_activate(client) != 0) return nullptr;
    return backend;
}

JackMIDIBackend::~JackMIDIBackend() {
    if (client_ == nullptr) return;
    closing_.store(true, std::memory_order_release);
    // A callback that began before `closing_` finishes its few steps (it
    // queues work and never waits on this thread).
    while (callbacksInProgress_.load(std::memory_order_acquire) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // With the server gone there is nothing to deactivate; closing frees what is left.
    if (!serverGone_.load(std::memory_order_acquire)) jack_deactivate(asClient(client_));
    jack_client_close(asClient(client_));
}

std::vector<std::string> JackMIDIBackend::midiOutputPorts() const {
    std::vector<std::string> names;
    jack_client_t* client = asClient(client_);
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

OSStatus JackMIDIBackend::connect(const std::string& sourcePortName, MIDIEndpointRef source,
                                  void** outInput) {
    jack_client_t* client = asClient(client_);
    if (jack_port_by_name(client, sourcePortName.c_str()) == nullptr) return kMIDIUnknownEndpoint;
    const std::string portName = "in_" + std::to_string(source);
    jack_port_t* input =
        jack_port_register(client, portName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (input == nullptr) return kMIDIUnknownError;
    const int result = jack_connect(client, sourcePortName.c_str(), jack_port_name(input));
    if (result != 0 && result != EEXIST) {
        jack_port_unregister(client, input);
        return kMIDIUnknownError;
    }
    *outInput = input;
    return noErr;
}

void JackMIDIBackend::release(void* input) {
    if (input != nullptr) jack_port_unregister(asClient(client_), static_cast<jack_port_t*>(input));
}

}  // namespace midi::detail
