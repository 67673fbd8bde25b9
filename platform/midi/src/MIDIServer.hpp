#pragma once
// The process-wide MIDI server behind MIDIServices.hpp: the object model
// (clients, ports, sources, connections) guarded by one mutex, the routing
// table that receiving threads read without locks, and the notification queue.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "foundation/DispatchQueue.hpp"
#include "midi/MIDIServices.hpp"
#include "midi/UMPTranslation.hpp"

namespace midi::detail {

class JackMIDIBackend;

struct PortState {
    MIDIPortRef ref;
    MIDIClientRef client;
    MIDIProtocolID protocol;
    MIDIReceiveBlock receive;
};

struct Receiver {
    PortState* port;
    void* refCon;
};

struct Route;

// Translation and event-list buffers of one source. Used by one receiving
// thread at a time; everything is allocated up front.
class SourceStream {
public:
    SourceStream();
    // Translates the bytes and appends them to the lists of the protocols the
    // route's receivers want; full lists are delivered at once.
    void add(const Route& route, std::span<const std::uint8_t> bytes, MIDITimeStamp time) noexcept;
    // Delivers what has been gathered to the route's receivers and empties the lists.
    void flush(const Route& route) noexcept;

private:
    static constexpr std::size_t kListBytes = 16 * 1024;
    struct Pending {
        MIDI1ToUMPTranslator translator;
        std::unique_ptr<std::uint64_t[]> storage;  // 8-byte aligned list memory
        MIDIEventList* list = nullptr;
        MIDIEventPacket* current = nullptr;
    };
    void deliver(const Route& route, Pending& pending) noexcept;
    Pending pending_[2];  // [0] MIDI 1.0 protocol, [1] MIDI 2.0 protocol
};

// One source and the ports it feeds, as the receiving threads see it.
struct Route {
    MIDIEndpointRef source = 0;
    void* jackInput = nullptr;  // our JACK input port for a JACK source
    SourceStream* stream = nullptr;
    std::vector<Receiver> receivers;
    bool isVirtual = false;
    bool wantsProtocol[2] = {false, false};
};

struct RoutingTable {
    std::vector<Route> routes;
    // Keeps what the routes point to alive for as long as the table exists.
    std::vector<std::shared_ptr<PortState>> ports;
    std::vector<std::shared_ptr<SourceStream>> streams;

    [[nodiscard]] const Route* find(MIDIEndpointRef source) const noexcept {
        for (const auto& route : routes)
            if (route.source == source) return &route;
        return nullptr;
    }
};

// How many table readers the calling thread holds; set-up calls from inside a
// receive block would wait for themselves.
inline thread_local int threadReaderDepth = 0;

class MIDIServer {
public:
    enum class SourceKind { Virtual, Jack };

    struct Source {
        MIDIEndpointRef ref;
        std::string name;
        SourceKind kind;
        MIDIClientRef owner = 0;  // virtual sources
        OSStatus connectFailure = noErr;
        bool present = true;      // false once removed; kept while connections remain
        void* jackInput = nullptr;
        std::shared_ptr<SourceStream> stream;
    };

    struct Connection {
        MIDIPortRef port;
        MIDIEndpointRef source;
        void* refCon;
    };

    static MIDIServer& shared();

    // Reads the routing table without locking; the table stays valid while the reader lives.
    class TableReader {
    public:
        // The reader count goes up before the table is loaded, and the writer
        // swaps the table before it reads the count (both sequentially
        // consistent), so a writer that sees no readers knows that nobody can
        // still be using the table it swapped out.
        explicit TableReader(MIDIServer& server) noexcept : server_(server) {
            ++threadReaderDepth;
            server_.readers_.fetch_add(1, std::memory_order_seq_cst);
            table_ = server_.table_.load(std::memory_order_seq_cst);
        }
        ~TableReader() {
            server_.readers_.fetch_sub(1, std::memory_order_release);
            --threadReaderDepth;
        }
        TableReader(const TableReader&) = delete;
        TableReader& operator=(const TableReader&) = delete;
        [[nodiscard]] const RoutingTable& table() const noexcept { return *table_; }

    private:
        MIDIServer& server_;
        const RoutingTable* table_;
    };

    // The API, one call each.
    OSStatus createClient(std::string_view name, MIDIClientRef* outClient, MIDINotifyBlock notify);
    OSStatus disposeClient(MIDIClientRef client);
    OSStatus createInputPort(MIDIClientRef client, std::string_view name, MIDIProtocolID protocol,
                             MIDIPortRef* outPort, MIDIReceiveBlock receive);
    OSStatus disposePort(MIDIPortRef port);
    ItemCount numberOfSources();
    MIDIEndpointRef source(ItemCount index);
    OSStatus connect(MIDIPortRef port, MIDIEndpointRef source, void* refCon);
    OSStatus disconnect(MIDIPortRef port, MIDIEndpointRef source);
    OSStatus name(MIDIObjectRef object, std::string* out);
    OSStatus restart();

    OSStatus createVirtualSource(MIDIClientRef client, std::string_view name, MIDIEndpointRef* out);
    OSStatus sendFromVirtualSource(MIDIEndpointRef source, std::span<const std::uint8_t> bytes,
                                   MIDITimeStamp time) noexcept;
    OSStatus disposeVirtualSource(MIDIEndpointRef source);
    OSStatus setConnectFailure(MIDIEndpointRef source, OSStatus status);
    OSStatus reportIOError(MIDIEndpointRef source, OSStatus errorCode);

    // On the notification thread, after JACK reported a change: brings the JACK
    // sources in line with the MIDI output ports JACK lists now.
    void rescanJack(std::uint64_t generation);
    // On the notification thread, after the JACK server went away or stopped
    // answering; `reason` says which, for the line printed.
    void jackServerLost(std::uint64_t generation, const std::string& reason);
    // Queues a job on the notification thread.
    void onNotificationThread(foundation::Job job);

private:
    MIDIServer();
    ~MIDIServer() = delete;  // lives as long as the process

    MIDIObjectRef newRef();
    Source* findSource(MIDIEndpointRef ref);
    // Connects to JACK when not connected; prints one line when there is no
    // server or it does not answer.
    void openJackLocked(const std::string& clientName, bool announce);
    // Adds and removes JACK sources to match JACK's ports; collects the notifications to post.
    void syncJackSourcesLocked(std::vector<MIDIObjectAddRemoveNotification>& changes);
    void dropJackLocked(std::vector<MIDIObjectAddRemoveNotification>& changes);
    void postChanges(const std::vector<MIDIObjectAddRemoveNotification>& changes);
    // Rebuilds the routing table from the model and retires the old one. Call with mutex_ held.
    void publishTableLocked();
    void releaseJackInputIfUnusedLocked(Source& source);
    void post(const void* message, std::size_t size);
    void postAddRemove(MIDINotificationMessageID id, MIDIEndpointRef child);

    std::mutex mutex_;
    MIDIObjectRef nextRef_ = 0x00A1'0000;
    std::map<MIDIClientRef, std::pair<std::string, std::shared_ptr<MIDINotifyBlock>>> clients_;
    std::map<MIDIPortRef, std::shared_ptr<PortState>> ports_;
    std::vector<Source> sources_;  // in order of appearance, removed ones included
    std::vector<Connection> connections_;
    std::unique_ptr<JackMIDIBackend> jack_;
    std::uint64_t jackGeneration_ = 0;

    std::unique_ptr<RoutingTable> currentTable_;
    std::atomic<const RoutingTable*> table_{nullptr};
    std::atomic<int> readers_{0};

    foundation::DispatchQueue notifications_{"org.dunmarrow.midi.notifications"};
};

}  // namespace midi::detail
