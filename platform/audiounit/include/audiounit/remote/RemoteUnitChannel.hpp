#pragma once
// What a host process and the audio-unit service process share when a unit
// runs out of process.
//
// Control: one SOCK_SEQPACKET socket pair; each packet is one JSON object. A
// request carries "id" and "op" and gets exactly one packet back with "reply"
// (the same id) and either "result" or "error" ({"code", "description"}). A
// packet with "op" and no "id" is one-way (parameter changes). The service
// also sends packets with "event" (a parameter changed there, all values
// changed). File descriptors (the render memory) travel as SCM_RIGHTS with a
// request. A packet longer than kMaxInlinePacketBytes travels in a sealed
// memfd, announced by the packet {"largePacket": <bytes>} with the memfd as
// its first descriptor (the request's own, if any, second). Control traffic
// runs on non-real-time threads only.
//
// Render: one shared-memory area (memfd, mapped by both) made when render
// resources are allocated: a cycle header with two futex words, the cycle's
// events, and one buffer per channel for input and output. One cycle is in
// flight at most: the host writes the cycle, increments `request` and wakes
// the service; the service renders, stores `reply` = `request` and wakes the
// host. The host never writes a new cycle while `reply` != `request`, so the
// two sides never touch the buffers at the same time.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "audiounit/AUParameters.hpp"
#include "audiounit/RenderContract.hpp"

namespace audiounit::remote {

// The most events one cycle carries across; later ones are dropped and counted.
inline constexpr std::uint32_t kMaxCycleEvents = 512;
// The largest control packet sent inline, well within every socket buffer.
inline constexpr std::size_t kMaxInlinePacketBytes = 64u << 10;
// The largest control packet at all (a state, an editor's inspection).
inline constexpr std::size_t kMaxLargePacketBytes = 16u << 20;
// The deepest nesting of objects and arrays in a packet, so that nothing that
// walks a received value recursively can run out of stack.
inline constexpr std::size_t kMaxPacketNesting = 128;
// The file descriptor the service finds its control socket on.
inline constexpr int kServiceSocketFd = 3;

struct alignas(64) CycleHeader {
    // Futex words, each on its own cache line.
    alignas(64) std::atomic<std::uint32_t> request{0};
    alignas(64) std::atomic<std::uint32_t> reply{0};
    // The cycle, written by the host before it increments `request`.
    alignas(64) std::uint32_t frameCount = 0;
    std::uint32_t eventCount = 0;
    std::uint32_t hasPullInput = 0;  // 0: the unit's input is not connected
    std::uint32_t actionFlags = 0;
    std::int32_t pullStatus = 0;     // what the host's pull-input callback returned
    std::int32_t status = 0;         // the unit's render status, written by the service
    std::int64_t outputBusNumber = 0;
    AudioTimeStamp timestamp;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t), "futex words must be plain 32-bit words");

// Where things lie in the area, for a maximum frame count and channel counts.
struct CycleLayout {
    std::uint32_t maximumFrames = 0;
    std::uint32_t inputChannels = 0;
    std::uint32_t outputChannels = 0;
    std::size_t eventsOffset = 0;
    std::size_t inputOffset = 0;
    std::size_t outputOffset = 0;
    std::size_t totalBytes = 0;

    static CycleLayout make(std::uint32_t maximumFrames, std::uint32_t inputChannels,
                            std::uint32_t outputChannels) noexcept;
    [[nodiscard]] nlohmann::json toJSON() const;
    // Null when the description is malformed or too large.
    static std::optional<CycleLayout> fromJSON(const nlohmann::json& description);
};

// The mapped area as both sides see it. Render thread: the accessors neither
// lock nor allocate.
class CycleArea {
public:
    CycleArea() = default;
    CycleArea(std::byte* base, const CycleLayout& layout) noexcept : base_(base), layout_(layout) {}
    [[nodiscard]] CycleHeader& header() const noexcept { return *reinterpret_cast<CycleHeader*>(base_); }
    [[nodiscard]] AURenderEvent* events() const noexcept {
        return reinterpret_cast<AURenderEvent*>(base_ + layout_.eventsOffset);
    }
    [[nodiscard]] float* input(std::uint32_t channel) const noexcept {
        return reinterpret_cast<float*>(base_ + layout_.inputOffset) + std::size_t{channel} * layout_.maximumFrames;
    }
    [[nodiscard]] float* output(std::uint32_t channel) const noexcept {
        return reinterpret_cast<float*>(base_ + layout_.outputOffset) + std::size_t{channel} * layout_.maximumFrames;
    }
    [[nodiscard]] const CycleLayout& layout() const noexcept { return layout_; }
    [[nodiscard]] explicit operator bool() const noexcept { return base_ != nullptr; }

private:
    std::byte* base_ = nullptr;
    CycleLayout layout_;
};

// A shared mapping of a memfd; unmapped and closed with the object.
class SharedMemory {
public:
    SharedMemory() = default;
    ~SharedMemory();
    SharedMemory(SharedMemory&& other) noexcept;
    SharedMemory& operator=(SharedMemory&& other) noexcept;
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    // A new zeroed area of `bytes`; empty with `error` set on failure.
    static SharedMemory create(std::size_t bytes, std::string* error);
    // Maps an area received from the other side (takes over `fd`).
    static SharedMemory adopt(int fd, std::size_t bytes, std::string* error);

    [[nodiscard]] std::byte* data() const noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] int fd() const noexcept { return fd_; }
    [[nodiscard]] explicit operator bool() const noexcept { return data_ != nullptr; }

private:
    void release() noexcept;
    int fd_ = -1;
    std::byte* data_ = nullptr;
    std::size_t size_ = 0;
};

// Futex wait and wake on a word that both processes map (never the private
// flavour). Real-time safe: one system call, no lock, no allocation.
// Waits while *word == expected, at most `timeoutNanoseconds` (negative: no
// limit). Returns when woken, on a timeout or a spurious wake-up; callers
// re-check the word and the clock.
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, std::int64_t timeoutNanoseconds) noexcept;
void futexWake(std::atomic<std::uint32_t>& word) noexcept;
// CLOCK_MONOTONIC in nanoseconds (a vDSO call: no system call, no allocation).
[[nodiscard]] std::int64_t monotonicNanoseconds() noexcept;

// Control packets.
enum class SendStatus {
    Sent,
    TooLarge,  // above kMaxLargePacketBytes: nothing was sent
    TimedOut,  // the other side took nothing for the whole timeout
    Closed,    // the other side is gone
    Failed,    // this side could not send it (see why)
};
struct SendResult {
    SendStatus status = SendStatus::Sent;
    std::string why;
    std::size_t bytes = 0;  // the packet's length, when sent
    [[nodiscard]] explicit operator bool() const noexcept { return status == SendStatus::Sent; }
};
// Sends one packet (with `passFd` as SCM_RIGHTS when >= 0), waiting at most
// `timeoutNanoseconds` (negative: no limit) for room in the socket.
SendResult sendPacket(int socket, const nlohmann::json& packet, int passFd = -1, std::int64_t timeoutNanoseconds = -1);
// The same for packet text taken as it is, unchecked (for tests that send
// what a misbehaving side would).
SendResult sendPacketText(int socket, std::string text, int passFd = -1, std::int64_t timeoutNanoseconds = -1);
enum class ReceiveResult { Packet, Closed, Failed };
// Receives one packet; a descriptor that came with it goes to `receivedFd`
// (else -1; without `receivedFd` it is closed). A packet that is not a JSON
// object within the limits, or a large packet without its sealed memfd, is Failed.
ReceiveResult receivePacket(int socket, nlohmann::json& packet, int* receivedFd = nullptr);
// The control packet in `bytes` (one JSON object nested at most
// kMaxPacketNesting deep), or null.
[[nodiscard]] std::optional<nlohmann::json> parsePacket(std::span<const char> bytes);
// Whether the JSON text's objects and arrays nest at most kMaxPacketNesting deep.
[[nodiscard]] bool nestingWithinLimit(std::span<const char> text) noexcept;

// A parameter tree as data: nested {"kind": "group", "children": [...]} and
// parameter objects with every property and the current value (a value that
// is not finite is sent as the minimum). decodeParameterTree
// (ServiceMessages.hpp) reads it back.
[[nodiscard]] nlohmann::json describeParameterTree(const AUParameterTree& tree);

// The error part of a reply.
[[nodiscard]] nlohmann::json errorJSON(std::int32_t code, const std::string& description);

}  // namespace audiounit::remote
