#include "audiounit/remote/RemoteUnitChannel.hpp"

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

namespace audiounit::remote {

namespace {

std::size_t roundUp(std::size_t value, std::size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// Keeps layouts within what a host could sensibly ask for.
constexpr std::uint32_t kLargestFrameCount = kMaximumFramesToRenderLimit;
constexpr std::uint32_t kLargestChannelCount = 64;

}  // namespace

CycleLayout CycleLayout::make(std::uint32_t maximumFrames, std::uint32_t inputChannels,
                              std::uint32_t outputChannels) noexcept {
    CycleLayout layout;
    layout.maximumFrames = maximumFrames;
    layout.inputChannels = inputChannels;
    layout.outputChannels = outputChannels;
    layout.eventsOffset = roundUp(sizeof(CycleHeader), 64);
    layout.inputOffset = roundUp(layout.eventsOffset + sizeof(AURenderEvent) * kMaxCycleEvents, 64);
    const std::size_t channelBytes = roundUp(sizeof(float) * maximumFrames, 64);
    layout.outputOffset = layout.inputOffset + channelBytes * inputChannels;
    layout.totalBytes = roundUp(layout.outputOffset + channelBytes * outputChannels, 4096);
    // Channels are addressed with a stride of maximumFrames floats; keep the
    // stride equal to the rounded size.
    layout.maximumFrames = static_cast<std::uint32_t>(channelBytes / sizeof(float));
    return layout;
}

nlohmann::json CycleLayout::toJSON() const {
    return {{"maximumFrames", maximumFrames},
            {"inputChannels", inputChannels},
            {"outputChannels", outputChannels},
            {"bytes", totalBytes}};
}

std::optional<CycleLayout> CycleLayout::fromJSON(const nlohmann::json& description) {
    if (!description.is_object()) return std::nullopt;
    auto number = [&](const char* key) -> std::optional<std::uint64_t> {
        const auto it = description.find(key);
        if (it == description.end() || !it->is_number_unsigned()) return std::nullopt;
        return it->get<std::uint64_t>();
    };
    const auto frames = number("maximumFrames");
    const auto inputs = number("inputChannels");
    const auto outputs = number("outputChannels");
    const auto bytes = number("bytes");
    if (!frames || !inputs || !outputs || !bytes || *frames == 0 || *frames > kLargestFrameCount ||
        *inputs > kLargestChannelCount || *outputs > kLargestChannelCount)
        return std::nullopt;
    auto layout = make(static_cast<std::uint32_t>(*frames), static_cast<std::uint32_t>(*inputs),
                       static_cast<std::uint32_t>(*outputs));
    if (layout.totalBytes != *bytes || layout.maximumFrames != *frames) return std::nullopt;
    return layout;
}

// MARK: - Shared memory

SharedMemory::~SharedMemory() { release(); }

SharedMemory::SharedMemory(SharedMemory&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void SharedMemory::release() noexcept {
    if (data_ != nullptr) ::munmap(data_, size_);
    if (fd_ >= 0) ::close(fd_);
    data_ = nullptr;
    fd_ = -1;
    size_ = 0;
}

SharedMemory SharedMemory::create(std::size_t bytes, std::string* error) {
    const int fd = ::memfd_create("dunmarrow-render", MFD_CLOEXEC);
    if (fd < 0) {
        if (error) *error = std::string("memfd_create: ") + std::strerror(errno);
        return {};
    }
    if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        if (error) *error = std::string("ftruncate: ") + std::strerror(errno);
        ::close(fd);
        return {};
    }
    return adopt(fd, bytes, error);
}

SharedMemory SharedMemory::adopt(int fd, std::size_t bytes, std::string* error) {
    SharedMemory memory;
    memory.fd_ = fd;
    // A file shorter than the mapping would fault on the first access past its end.
    struct stat status{};
    if (::fstat(fd, &status) != 0 || status.st_size < 0 || static_cast<std::size_t>(status.st_size) < bytes) {
        if (error) *error = "the shared memory is smaller than its description";
        return {};
    }
    void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        if (error) *error = std::string("mmap: ") + std::strerror(errno);
        return {};  // `memory` closes the descriptor
    }
    // Touch every page now, so that the render thread never faults one in.
    if (::mlock(data, bytes) != 0) {
        auto* bytesPointer = static_cast<volatile std::byte*>(data);
        for (std::size_t i = 0; i < bytes; i += 4096) bytesPointer[i] = bytesPointer[i];
    }
    memory.data_ = static_cast<std::byte*>(data);
    memory.size_ = bytes;
    return memory;
}

// MARK: - Futex

void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, std::int64_t timeoutNanoseconds) noexcept {
    timespec timeout{};
    timespec* limit = nullptr;
    if (timeoutNanoseconds >= 0) {
        timeout.tv_sec = static_cast<time_t>(timeoutNanoseconds / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(timeoutNanoseconds % 1'000'000'000);
        limit = &timeout;
    }
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT, expected, limit, nullptr, 0);
}

void futexWake(std::atomic<std::uint32_t>& word) noexcept {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

std::int64_t monotonicNanoseconds() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// MARK: - Control packets

namespace {

// Waits until `socket` can take a packet or `deadline` (monotonic ns; negative:
// none) passes. False on a timeout.
bool waitWritable(int socket, std::int64_t deadline) {
    while (true) {
        int timeout = -1;
        if (deadline >= 0) {
            const std::int64_t remaining = deadline - monotonicNanoseconds();
            if (remaining <= 0) return false;
            timeout = static_cast<int>(std::min<std::int64_t>((remaining + 999'999) / 1'000'000, 60'000));
        }
        pollfd fd{socket, POLLOUT, 0};
        const int ready = ::poll(&fd, 1, timeout);
        if (ready > 0) return true;  // writable, or an error the send will report
        if (ready < 0 && errno != EINTR) return true;
    }
}

// A sealed memfd holding `text`, or -1 with `why` set.
int sealedCopy(const std::string& text, std::string& why) {
    const int fd = ::memfd_create("dunmarrow-packet", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
        why = std::string("memfd_create: ") + std::strerror(errno);
        return -1;
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            why = std::string("cannot write the packet: ") + std::strerror(n < 0 ? errno : EIO);
            ::close(fd);
            return -1;
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        why = std::string("cannot seal the packet: ") + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

// The packet a {"largePacket": bytes} header announced, read from the sealed
// memfd that came with it. Null when the file is not such a memfd of exactly
// that size, or does not hold a JSON object.
std::optional<nlohmann::json> readLargePacket(int fd, const nlohmann::json& size) {
    if (fd < 0 || !size.is_number_unsigned()) return std::nullopt;
    const auto bytes = size.get<std::uint64_t>();
    if (bytes <= kMaxInlinePacketBytes || bytes > kMaxLargePacketBytes) return std::nullopt;
    // Sealed against shrinking and writing: what is read is what was sent, and
    // only a memfd can carry seals (never a pipe or a device that could block).
    const int seals = ::fcntl(fd, F_GET_SEALS);
    struct stat status{};
    if (seals < 0 || (seals & (F_SEAL_SHRINK | F_SEAL_WRITE)) != (F_SEAL_SHRINK | F_SEAL_WRITE) ||
        ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) != bytes)
        return std::nullopt;
    std::string text(bytes, '\0');
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::pread(fd, text.data() + done, bytes - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        done += static_cast<std::size_t>(n);
    }
    return parsePacket(text);
}

}  // namespace

SendResult sendPacket(int socket, const nlohmann::json& packet, int passFd, std::int64_t timeoutNanoseconds) {
    std::string text = packet.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (text.size() > kMaxLargePacketBytes) return {SendStatus::TooLarge, std::to_string(text.size()) + " bytes"};
    if (!nestingWithinLimit(text))
        return {SendStatus::Failed, "it is nested more than " + std::to_string(kMaxPacketNesting) + " deep"};
    return sendPacketText(socket, std::move(text), passFd, timeoutNanoseconds);
}

SendResult sendPacketText(int socket, std::string text, int passFd, std::int64_t timeoutNanoseconds) {
    const std::int64_t deadline = timeoutNanoseconds >= 0 ? monotonicNanoseconds() + timeoutNanoseconds : -1;
    if (text.size() > kMaxLargePacketBytes) return {SendStatus::TooLarge, std::to_string(text.size()) + " bytes"};
    const std::size_t payloadBytes = text.size();
    // A large packet goes in a memfd, announced by a small one; the memfd is
    // the first descriptor, the caller's the second.
    int fds[2] = {-1, passFd};
    int fdCount = passFd >= 0 ? 1 : 0;
    if (text.size() > kMaxInlinePacketBytes) {
        std::string why;
        fds[0] = sealedCopy(text, why);
        if (fds[0] < 0) return {SendStatus::Failed, why};
        fdCount = passFd >= 0 ? 2 : 1;
        text = nlohmann::json{{"largePacket", text.size()}}.dump();
    } else {
        fds[0] = passFd;
    }
    iovec vector{text.data(), text.size()};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 2)] = {};
    if (fdCount > 0) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * static_cast<std::size_t>(fdCount));
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * static_cast<std::size_t>(fdCount));
        std::memcpy(CMSG_DATA(header), fds, sizeof(int) * static_cast<std::size_t>(fdCount));
    }
    const int ownFd = fdCount > 0 && fds[0] != passFd ? fds[0] : -1;
    SendResult result{SendStatus::Sent, {}, payloadBytes};
    while (true) {
        const ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(text.size())) break;
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (waitWritable(socket, deadline)) continue;
            result = {SendStatus::TimedOut, {}, 0};
        } else if (sent < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) {
            result = {SendStatus::Closed, {}, 0};
        } else {
            result = {SendStatus::Failed, sent < 0 ? std::strerror(errno) : "the packet was cut short", 0};
        }
        break;
    }
    if (ownFd >= 0) ::close(ownFd);
    return result;
}

bool nestingWithinLimit(std::span<const char> text) noexcept {
    std::size_t depth = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxPacketNesting) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

std::optional<nlohmann::json> parsePacket(std::span<const char> bytes) {
    if (!nestingWithinLimit(bytes)) return std::nullopt;
    auto packet = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (packet.is_discarded() || !packet.is_object()) return std::nullopt;
    return packet;
}

ReceiveResult receivePacket(int socket, nlohmann::json& packet, int* receivedFd) {
    if (receivedFd) *receivedFd = -1;
    thread_local std::vector<char> buffer(kMaxInlinePacketBytes + 1);
    iovec vector{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received;
    do {
        received = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (received < 0 && errno == EINTR);
    if (received == 0) return ReceiveResult::Closed;
    if (received < 0) return errno == ECONNRESET ? ReceiveResult::Closed : ReceiveResult::Failed;
    // The first two descriptors count (a large packet's memfd, then the
    // request's own); any others are closed.
    int fds[2] = {-1, -1};
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
            if (fds[0] < 0)
                fds[0] = fd;
            else if (fds[1] < 0)
                fds[1] = fd;
            else
                ::close(fd);
        }
    }
    auto closeAll = [&] {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    };
    // A packet longer than the buffer (only a large packet's header may cross
    // inline, and it is small) is malformed.
    if ((message.msg_flags & MSG_TRUNC) != 0 || static_cast<std::size_t>(received) > kMaxInlinePacketBytes) {
        closeAll();
        return ReceiveResult::Failed;
    }
    auto parsed = parsePacket(std::span<const char>(buffer.data(), static_cast<std::size_t>(received)));
    if (parsed && parsed->size() == 1 && parsed->contains("largePacket")) {
        parsed = readLargePacket(fds[0], (*parsed)["largePacket"]);
        if (fds[0] >= 0) ::close(fds[0]);
        fds[0] = std::exchange(fds[1], -1);
    }
    if (!parsed) {
        closeAll();
        return ReceiveResult::Failed;
    }
    packet = std::move(*parsed);
    if (receivedFd) {
        *receivedFd = std::exchange(fds[0], -1);
    }
    closeAll();
    return ReceiveResult::Packet;
}

// MARK: - Parameter trees

namespace {

nlohmann::json describeNode(const AUParameterNodePtr& node) {
    if (const auto parameter = std::dynamic_pointer_cast<AUParameter>(node)) {
        const AUValue value = parameter->value();
        nlohmann::json j = {{"kind", "parameter"},
                            {"identifier", parameter->identifier()},
                            {"name", parameter->displayName()},
                            {"address", parameter->address()},
                            {"min", parameter->minValue()},
                            {"max", parameter->maxValue()},
                            {"unit", parameter->unit()},
                            {"flags", parameter->flags()},
                            {"value", std::isfinite(value) ? value : parameter->minValue()}};
        if (parameter->unitName()) j["unitName"] = *parameter->unitName();
        if (parameter->valueStrings()) j["valueStrings"] = *parameter->valueStrings();
        if (parameter->dependentParameters()) j["dependentParameters"] = *parameter->dependentParameters();
        return j;
    }
    nlohmann::json children = nlohmann::json::array();
    if (const auto group = std::dynamic_pointer_cast<AUParameterGroup>(node)) {
        for (const auto& child : group->children()) children.push_back(describeNode(child));
        return {{"kind", "group"}, {"identifier", group->identifier()}, {"name", group->displayName()},
                {"children", std::move(children)}};
    }
    return {{"kind", "node"}};
}

}  // namespace

nlohmann::json describeParameterTree(const AUParameterTree& tree) {
    nlohmann::json children = nlohmann::json::array();
    for (const auto& child : tree.children()) children.push_back(describeNode(child));
    return {{"children", std::move(children)}};
}

nlohmann::json errorJSON(std::int32_t code, const std::string& description) {
    return {{"code", code}, {"description", description}};
}

}  // namespace audiounit::remote
