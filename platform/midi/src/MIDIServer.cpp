#include "MIDIServer.hpp"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "JackMIDIBackend.hpp"

namespace midi::detail {

namespace {

union NotificationStorage {
    MIDINotification header;
    MIDIObjectAddRemoveNotification addRemove;
    MIDIIOErrorNotification ioError;
};

int protocolIndex(MIDIProtocolID protocol) { return protocol == kMIDIProtocol_2_0 ? 1 : 0; }

void printLine(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

}  // namespace

// ---- SourceStream ----

SourceStream::SourceStream()
    : pending_{Pending{MIDI1ToUMPTranslator(kMIDIProtocol_1_0), {}, nullptr, nullptr},
               Pending{MIDI1ToUMPTranslator(kMIDIProtocol_2_0), {}, nullptr, nullptr}} {
    for (int i = 0; i < 2; ++i) {
        Pending& p = pending_[i];
        p.storage = std::make_unique<std::uint64_t[]>(kListBytes / sizeof(std::uint64_t));
        p.list = reinterpret_cast<MIDIEventList*>(p.storage.get());
        p.current = MIDIEventListInit(p.list, i == 1 ? kMIDIProtocol_2_0 : kMIDIProtocol_1_0);
    }
}

void SourceStream::add(const Route& route, std::span<const std::uint8_t> bytes, MIDITimeStamp time) noexcept {
    for (int i = 0; i < 2; ++i) {
        if (!route.wantsProtocol[i]) continue;
        Pending& p = pending_[i];
        p.translator.feed(bytes, [&](const std::uint32_t* words, std::size_t count) {
            auto* packet = MIDIEventListAdd(p.list, kListBytes, p.current, time, count, words);
            if (packet == nullptr) {  // full: hand over what is there and start again
                deliver(route, p);
                packet = MIDIEventListAdd(p.list, kListBytes, p.current, time, count, words);
            }
            if (packet != nullptr) p.current = packet;
        });
    }
}

void SourceStream::flush(const Route& route) noexcept {
    for (auto& p : pending_) deliver(route, p);
}

void SourceStream::deliver(const Route& route, Pending& p) noexcept {
    if (p.list->numPackets == 0) return;
    const MIDIProtocolID protocol = p.list->protocol;
    for (const Receiver& receiver : route.receivers)
        if (receiver.port->protocol == protocol) receiver.port->receive(p.list, receiver.refCon);
    p.current = MIDIEventListInit(p.list, protocol);
}

// ---- MIDIServer ----

MIDIServer& MIDIServer::shared() {
    // Never destroyed: JACK's threads and the notification thread may still
    // run while the process exits.
    static MIDIServer* const server = new MIDIServer();
    return *server;
}

MIDIServer::MIDIServer() : currentTable_(std::make_unique<RoutingTable>()) {
    table_.store(currentTable_.get(), std::memory_order_seq_cst);
}

MIDIObjectRef MIDIServer::newRef() { return nextRef_++; }

MIDIServer::Source* MIDIServer::findSource(MIDIEndpointRef ref) {
    for (auto& source : sources_)
        if (source.ref == ref) return &source;
    return nullptr;
}

void MIDIServer::publishTableLocked() {
    if (threadReaderDepth > 0)
        foundation::fatalError("a MIDI set-up function was called from a MIDI receive block");
    auto table = std::make_unique<RoutingTable>();
    for (const auto& source : sources_) {
        if (!source.present) continue;
        Route route;
        route.source = source.ref;
        route.jackInput = source.jackInput;
        route.stream = source.stream.get();
        route.isVirtual = source.kind == SourceKind::Virtual;
        for (const auto& connection : connections_) {
            if (connection.source != source.ref) continue;
            const auto port = ports_.find(connection.port);
            if (port == ports_.end()) continue;
            route.receivers.push_back(Receiver{port->second.get(), connection.refCon});
            route.wantsProtocol[protocolIndex(port->second->protocol)] = true;
            table->ports.push_back(port->second);
        }
        table->streams.push_back(source.stream);
        table->routes.push_back(std::move(route));
    }
    table_.exchange(table.get(), std::memory_order_seq_cst);
    while (readers_.load(std::memory_order_seq_cst) != 0)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    currentTable_ = std::move(table);  // frees the table nobody reads any more
}

void MIDIServer::onNotificationThread(foundation::Job job) { notifications_.async(std::move(job)); }

void MIDIServer::post(const void* message, std::size_t size) {
    NotificationStorage storage{};
    std::memcpy(&storage, message, std::min(size, sizeof storage));
    notifications_.async([this, storage] {
        std::vector<std::shared_ptr<MIDINotifyBlock>> blocks;
        {
            const std::lock_guard lock(mutex_);
            for (const auto& [ref, client] : clients_)
                if (client.second && *client.second) blocks.push_back(client.second);
        }
        for (const auto& block : blocks) (*block)(&storage.header);
    });
}

void MIDIServer::postAddRemove(MIDINotificationMessageID id, MIDIEndpointRef child) {
    const MIDIObjectAddRemoveNotification message{
        id, sizeof(MIDIObjectAddRemoveNotification), 0, kMIDIObjectType_Other, child, kMIDIObjectType_Source};
    post(&message, sizeof message);
}

void MIDIServer::postChanges(const std::vector<MIDIObjectAddRemoveNotification>& changes) {
    if (changes.empty()) return;
    for (const auto& change : changes) post(&change, sizeof change);
    const MIDINotification setupChanged{kMIDIMsgSetupChanged, sizeof(MIDINotification)};
    post(&setupChanged, sizeof setupChanged);
}

// -- clients and ports --

OSStatus MIDIServer::createClient(std::string_view name, MIDIClientRef* outClient, MIDINotifyBlock notify) {
    if (outClient == nullptr) return paramErr;
    const std::lock_guard lock(mutex_);
    const auto ref = newRef();
    clients_.emplace(ref, std::make_pair(std::string(name),
                                         std::make_shared<MIDINotifyBlock>(std::move(notify))));
    if (!jack_) openJackLocked(std::string(name), false);
    *outClient = ref;
    return noErr;
}

OSStatus MIDIServer::disposeClient(MIDIClientRef client) {
    std::vector<MIDIObjectAddRemoveNotification> removed;
    {
        const std::lock_guard lock(mutex_);
        if (clients_.erase(client) == 0) return kMIDIInvalidClient;
        std::vector<MIDIPortRef> ports;
        for (const auto& [ref, port] : ports_)
            if (port->client == client) ports.push_back(ref);
        for (const auto ref : ports) {
            ports_.erase(ref);
            std::erase_if(connections_, [ref](const Connection& c) { return c.port == ref; });
        }
        for (auto& source : sources_) {
            if (source.kind != SourceKind::Virtual || source.owner != client || !source.present) continue;
            source.present = false;
            removed.push_back({kMIDIMsgObjectRemoved, sizeof(MIDIObjectAddRemoveNotification), 0,
                               kMIDIObjectType_Other, source.ref, kMIDIObjectType_Source});
        }
        publishTableLocked();
        for (auto& source : sources_) releaseJackInputIfUnusedLocked(source);
    }
    postChanges(removed);
    // Wait for a notification already being delivered to the disposed client.
    if (!notifications_.isCurrent()) notifications_.sync([] {});
    return noErr;
}

OSStatus MIDIServer::createInputPort(MIDIClientRef client, std::string_view, MIDIProtocolID protocol,
                                     MIDIPortRef* outPort, MIDIReceiveBlock receive) {
    if (outPort == nullptr || !receive) return paramErr;
    if (protocol != kMIDIProtocol_1_0 && protocol != kMIDIProtocol_2_0) return paramErr;
    const std::lock_guard lock(mutex_);
    if (clients_.find(client) == clients_.end()) return kMIDIInvalidClient;
    const auto ref = newRef();
    ports_.emplace(ref, std::make_shared<PortState>(PortState{ref, client, protocol, std::move(receive)}));
    *outPort = ref;
    return noErr;
}

OSStatus MIDIServer::disposePort(MIDIPortRef port) {
    const std::lock_guard lock(mutex_);
    if (ports_.erase(port) == 0) return kMIDIInvalidPort;
    std::erase_if(connections_, [port](const Connection& c) { return c.port == port; });
    publishTableLocked();
    for (auto& source : sources_) releaseJackInputIfUnusedLocked(source);
    return noErr;
}

// -- sources and connections --

ItemCount MIDIServer::numberOfSources() {
    const std::lock_guard lock(mutex_);
    return static_cast<ItemCount>(
        std::count_if(sources_.begin(), sources_.end(), [](const Source& s) { return s.present; }));
}

MIDIEndpointRef MIDIServer::source(ItemCount index) {
    const std::lock_guard lock(mutex_);
    for (const auto& source : sources_) {
        if (!source.present) continue;
        if (index == 0) return source.ref;
        --index;
    }
    return 0;
}

OSStatus MIDIServer::connect(MIDIPortRef port, MIDIEndpointRef sourceRef, void* refCon) {
    const std::lock_guard lock(mutex_);
    if (ports_.find(port) == ports_.end()) return kMIDIInvalidPort;
    Source* source = findSource(sourceRef);
    if (source == nullptr || !source->present) return kMIDIUnknownEndpoint;
    if (source->connectFailure != noErr) return source->connectFailure;
    for (auto& connection : connections_) {
        if (connection.port == port && connection.source == sourceRef) {
            connection.refCon = refCon;
            publishTableLocked();
            return noErr;
        }
    }
    if (source->kind == SourceKind::Jack && source->jackInput == nullptr) {
        if (!jack_) return kMIDIUnknownEndpoint;
        const OSStatus status = jack_->connect(source->name, source->ref, &source->jackInput);
        if (status != noErr) return status;
    }
    connections_.push_back(Connection{port, sourceRef, refCon});
    publishTableLocked();
    return noErr;
}

OSStatus MIDIServer::disconnect(MIDIPortRef port, MIDIEndpointRef sourceRef) {
    const std::lock_guard lock(mutex_);
    if (ports_.find(port) == ports_.end()) return kMIDIInvalidPort;
    const auto it = std::find_if(connections_.begin(), connections_.end(), [&](const Connection& c) {
        return c.port == port && c.source == sourceRef;
    });
    if (it == connections_.end()) return kMIDINoConnection;
    connections_.erase(it);
    publishTableLocked();
    if (Source* source = findSource(sourceRef)) releaseJackInputIfUnusedLocked(*source);
    return noErr;
}

void MIDIServer::releaseJackInputIfUnusedLocked(Source& source) {
    if (source.jackInput == nullptr) return;
    const bool used = source.present && std::any_of(connections_.begin(), connections_.end(), [&](const Connection& c) {
                          return c.source == source.ref;
                      });
    if (used) return;
    // The published table no longer refers to the port (callers publish first).
    if (jack_) jack_->release(source.jackInput);
    source.jackInput = nullptr;
}

OSStatus MIDIServer::name(MIDIObjectRef object, std::string* out) {
    if (out == nullptr) return paramErr;
    const std::lock_guard lock(mutex_);
    if (const Source* source = findSource(object)) {
        *out = source->name;
        return noErr;
    }
    if (const auto client = clients_.find(object); client != clients_.end()) {
        *out = client->second.first;
        return noErr;
    }
    return kMIDIObjectNotFound;
}

// -- virtual sources --

OSStatus MIDIServer::createVirtualSource(MIDIClientRef client, std::string_view sourceName,
                                         MIDIEndpointRef* out) {
    if (out == nullptr) return paramErr;
    MIDIEndpointRef ref = 0;
    {
        const std::lock_guard lock(mutex_);
        if (clients_.find(client) == clients_.end()) return kMIDIInvalidClient;
        ref = newRef();
        sources_.push_back(Source{ref, std::string(sourceName), SourceKind::Virtual, client, noErr, true,
                                  nullptr, std::make_shared<SourceStream>()});
        publishTableLocked();
    }
    *out = ref;
    postChanges({{kMIDIMsgObjectAdded, sizeof(MIDIObjectAddRemoveNotification), 0, kMIDIObjectType_Other,
                  ref, kMIDIObjectType_Source}});
    return noErr;
}

OSStatus MIDIServer::sendFromVirtualSource(MIDIEndpointRef source, std::span<const std::uint8_t> bytes,
                                           MIDITimeStamp time) noexcept {
    const TableReader reader(*this);
    const Route* route = reader.table().find(source);
    if (route == nullptr) return kMIDIUnknownEndpoint;
    if (!route->isVirtual) return kMIDIWrongEndpointType;
    if (route->receivers.empty()) return noErr;
    route->stream->add(*route, bytes, time == 0 ? MIDIGetCurrentHostTime() : time);
    route->stream->flush(*route);
    return noErr;
}

OSStatus MIDIServer::disposeVirtualSource(MIDIEndpointRef ref) {
    {
        const std::lock_guard lock(mutex_);
        Source* source = findSource(ref);
        if (source == nullptr || !source->present) return kMIDIUnknownEndpoint;
        if (source->kind != SourceKind::Virtual) return kMIDIWrongEndpointType;
        source->present = false;
        publishTableLocked();
    }
    postChanges({{kMIDIMsgObjectRemoved, sizeof(MIDIObjectAddRemoveNotification), 0, kMIDIObjectType_Other,
                  ref, kMIDIObjectType_Source}});
    return noErr;
}

OSStatus MIDIServer::setConnectFailure(MIDIEndpointRef ref, OSStatus status) {
    const std::lock_guard lock(mutex_);
    Source* source = findSource(ref);
    if (source == nullptr || !source->present) return kMIDIUnknownEndpoint;
    source->connectFailure = status;
    return noErr;
}

OSStatus MIDIServer::reportIOError(MIDIEndpointRef ref, OSStatus errorCode) {
    {
        const std::lock_guard lock(mutex_);
        const Source* source = findSource(ref);
        if (source == nullptr || !source->present) return kMIDIUnknownEndpoint;
    }
    const MIDIIOErrorNotification message{kMIDIMsgIOError, sizeof(MIDIIOErrorNotification), ref, errorCode};
    post(&message, sizeof message);
    return noErr;
}

// -- JACK --

void MIDIServer::openJackLocked(const std::string& clientName, bool announce) {
    std::string whyNot;
    jack_ = JackMIDIBackend::open(clientName, *this, ++jackGeneration_, whyNot);
    if (!jack_) {
        printLine(("MIDI input unavailable: " + whyNot).c_str());
        return;
    }
    std::vector<MIDIObjectAddRemoveNotification> changes;
    syncJackSourcesLocked(changes);
    // Sources present before the client existed are not news to it.
    if (announce) {
        // Posting takes no lock of ours; it only queues.
        postChanges(changes);
    }
}

void MIDIServer::syncJackSourcesLocked(std::vector<MIDIObjectAddRemoveNotification>& changes) {
    if (!jack_) return;
    const auto names = jack_->midiOutputPorts();
    bool changed = false;
    for (auto& source : sources_) {
        if (source.kind != SourceKind::Jack || !source.present) continue;
        if (std::find(names.begin(), names.end(), source.name) != names.end()) continue;
        source.present = false;
        changed = true;
        changes.push_back({kMIDIMsgObjectRemoved, sizeof(MIDIObjectAddRemoveNotification), 0,
                           kMIDIObjectType_Other, source.ref, kMIDIObjectType_Source});
    }
    for (const auto& portName : names) {
        const bool known = std::any_of(sources_.begin(), sources_.end(), [&](const Source& s) {
            return s.kind == SourceKind::Jack && s.present && s.name == portName;
        });
        if (known) continue;
        const auto ref = newRef();
        sources_.push_back(Source{ref, portName, SourceKind::Jack, 0, noErr, true, nullptr,
                                  std::make_shared<SourceStream>()});
        changed = true;
        changes.push_back({kMIDIMsgObjectAdded, sizeof(MIDIObjectAddRemoveNotification), 0,
                           kMIDIObjectType_Other, ref, kMIDIObjectType_Source});
    }
    if (!changed) return;
    publishTableLocked();
    for (auto& source : sources_)
        if (!source.present) releaseJackInputIfUnusedLocked(source);
}

void MIDIServer::dropJackLocked(std::vector<MIDIObjectAddRemoveNotification>& changes) {
    if (!jack_) return;
    for (auto& source : sources_) {
        if (source.kind != SourceKind::Jack) continue;
        if (source.present)
            changes.push_back({kMIDIMsgObjectRemoved, sizeof(MIDIObjectAddRemoveNotification), 0,
                               kMIDIObjectType_Other, source.ref, kMIDIObjectType_Source});
        source.present = false;
        source.jackInput = nullptr;  // closing the client takes its ports with it
    }
    publishTableLocked();
    jack_.reset();
}

void MIDIServer::rescanJack(std::uint64_t generation) {
    std::vector<MIDIObjectAddRemoveNotification> changes;
    {
        const std::lock_guard lock(mutex_);
        if (!jack_ || jack_->generation() != generation) return;
        syncJackSourcesLocked(changes);
    }
    postChanges(changes);
}

void MIDIServer::jackServerLost(std::uint64_t generation, const std::string& reason) {
    std::vector<MIDIObjectAddRemoveNotification> changes;
    {
        const std::lock_guard lock(mutex_);
        if (!jack_ || jack_->generation() != generation) return;
        dropJackLocked(changes);
    }
    printLine(("MIDI input unavailable: " + reason).c_str());
    postChanges(changes);
    const MIDIIOErrorNotification message{kMIDIMsgIOError, sizeof(MIDIIOErrorNotification), 0, kMIDIUnknownError};
    post(&message, sizeof message);
}

OSStatus MIDIServer::restart() {
    std::vector<MIDIObjectAddRemoveNotification> changes;
    {
        const std::lock_guard lock(mutex_);
        dropJackLocked(changes);
        if (clients_.empty()) {
            postChanges(changes);
            return noErr;
        }
        std::string whyNot;
        jack_ = JackMIDIBackend::open(clients_.begin()->second.first, *this, ++jackGeneration_, whyNot);
        if (!jack_) printLine(("MIDI input unavailable: " + whyNot).c_str());
        syncJackSourcesLocked(changes);
    }
    postChanges(changes);
    return noErr;
}

}  // namespace midi::detail

// ---- the public functions ----

namespace midi {

using detail::MIDIServer;

OSStatus MIDIClientCreateWithBlock(std::string_view name, MIDIClientRef* outClient, MIDINotifyBlock notifyBlock) {
    return MIDIServer::shared().createClient(name, outClient, std::move(notifyBlock));
}
OSStatus MIDIClientDispose(MIDIClientRef client) { return MIDIServer::shared().disposeClient(client); }
OSStatus MIDIInputPortCreateWithProtocol(MIDIClientRef client, std::string_view portName, MIDIProtocolID protocol,
                                         MIDIPortRef* outPort, MIDIReceiveBlock receiveBlock) {
    return MIDIServer::shared().createInputPort(client, portName, protocol, outPort, std::move(receiveBlock));
}
OSStatus MIDIPortDispose(MIDIPortRef port) { return MIDIServer::shared().disposePort(port); }
ItemCount MIDIGetNumberOfSources() { return MIDIServer::shared().numberOfSources(); }
MIDIEndpointRef MIDIGetSource(ItemCount index) { return MIDIServer::shared().source(index); }
OSStatus MIDIPortConnectSource(MIDIPortRef port, MIDIEndpointRef source, void* connectionRefCon) {
    return MIDIServer::shared().connect(port, source, connectionRefCon);
}
OSStatus MIDIPortDisconnectSource(MIDIPortRef port, MIDIEndpointRef source) {
    return MIDIServer::shared().disconnect(port, source);
}
OSStatus MIDIObjectGetStringProperty(MIDIObjectRef object, std::string_view propertyID, std::string* outValue) {
    if (propertyID != kMIDIPropertyName) return kMIDIUnknownProperty;
    return MIDIServer::shared().name(object, outValue);
}
OSStatus MIDIRestart() { return MIDIServer::shared().restart(); }

MIDITimeStamp MIDIGetCurrentHostTime() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<MIDITimeStamp>(now.tv_sec) * 1'000'000'000u + static_cast<MIDITimeStamp>(now.tv_nsec);
}

OSStatus MIDISourceCreate(MIDIClientRef client, std::string_view name, MIDIEndpointRef* outSource) {
    return MIDIServer::shared().createVirtualSource(client, name, outSource);
}
OSStatus MIDISourceSend(MIDIEndpointRef source, std::span<const std::uint8_t> bytes, MIDITimeStamp timeStamp) {
    return MIDIServer::shared().sendFromVirtualSource(source, bytes, timeStamp);
}
OSStatus MIDIEndpointDispose(MIDIEndpointRef endpoint) {
    return MIDIServer::shared().disposeVirtualSource(endpoint);
}
OSStatus MIDISourceSetConnectFailure(MIDIEndpointRef source, OSStatus status) {
    return MIDIServer::shared().setConnectFailure(source, status);
}
OSStatus MIDISourceReportIOError(MIDIEndpointRef source, OSStatus errorCode) {
    return MIDIServer::shared().reportIOError(source, errorCode);
}

}  // namespace midi
