#include "audiounit/remote/RemoteUnitChannel.hpp"

#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace audiounit::remote {

namespace {

std::size_t roundUp(std::size_t value, std::size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// Keeps layouts within what a host could sensibly ask for.
constexpr std::uint32_t kLargestFrameCount = 1u << 16;
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

bool sendPacket(int socket, const nlohmann::json& packet, int passFd) {
    const std::string text = packet.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (text.size() > kMaxPacketBytes) return false;
    iovec vector{const_cast<char*>(text.data()), text.size()};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (passFd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &passFd, sizeof(int));
    }
    while (true) {
        const ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(text.size())) return true;
        if (sent < 0 && errno == EINTR) continue;
        return false;
    }
}

ReceiveResult receivePacket(int socket, nlohmann::json& packet, int* receivedFd) {
    if (receivedFd) *receivedFd = -1;
    thread_local std::vector<char> buffer(kMaxPacketBytes);
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
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
            if (receivedFd && *receivedFd < 0)
                *receivedFd = fd;
            else
                ::close(fd);
        }
    }
    if ((message.msg_flags & MSG_TRUNC) != 0) return ReceiveResult::Failed;
    packet = nlohmann::json::parse(buffer.data(), buffer.data() + received, nullptr, false);
    return packet.is_discarded() || !packet.is_object() ? ReceiveResult::Failed : ReceiveResult::Packet;
}

// MARK: - Parameter trees

namespace {

nlohmann::json describeNode(const AUParameterNodePtr& node) {
    if (const auto parameter = std::dynamic_pointer_cast<AUParameter>(node)) {
        nlohmann::json j = {{"kind", "parameter"},
                            {"identifier", parameter->identifier()},
                            {"name", parameter->displayName()},
                            {"address", parameter->address()},
                            {"min", parameter->minValue()},
                            {"max", parameter->maxValue()},
                            {"unit", parameter->unit()},
                            {"flags", parameter->flags()},
                            {"value", parameter->value()}};
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

std::vector<AUParameterNodePtr> nodesFrom(const nlohmann::json& list, int depth);

AUParameterNodePtr nodeFrom(const nlohmann::json& j, int depth) {
    if (!j.is_object() || depth > 16) return nullptr;
    const std::string kind = j.value("kind", "");
    if (kind == "group") {
        if (!j.contains("children")) return nullptr;
        auto children = nodesFrom(j["children"], depth + 1);
        return AUParameterTree::createGroup(j.value("identifier", ""), j.value("name", ""), std::move(children));
    }
    if (kind != "parameter") return AUParameterNode::make();
    const auto address = j.find("address");
    const auto min = j.find("min");
    const auto max = j.find("max");
    if (address == j.end() || !address->is_number_unsigned() || min == j.end() || !min->is_number() ||
        max == j.end() || !max->is_number())
        return nullptr;
    std::optional<std::string> unitName;
    if (j.contains("unitName") && j["unitName"].is_string()) unitName = j["unitName"].get<std::string>();
    std::optional<std::vector<std::string>> valueStrings;
    if (j.contains("valueStrings") && j["valueStrings"].is_array()) {
        valueStrings.emplace();
        for (const auto& text : j["valueStrings"])
            if (text.is_string()) valueStrings->push_back(text.get<std::string>());
    }
    std::optional<AUParameterAddressList> dependents;
    if (j.contains("dependentParameters") && j["dependentParameters"].is_array()) {
        dependents.emplace();
        for (const auto& a : j["dependentParameters"])
            if (a.is_number_unsigned()) dependents->push_back(a.get<AUParameterAddress>());
    }
    const auto unit = j.value("unit", std::uint32_t{0});
    const auto flags = j.value("flags", std::uint32_t{0});
    auto parameter = AUParameterTree::createParameter(
        j.value("identifier", ""), j.value("name", ""), address->get<AUParameterAddress>(), min->get<AUValue>(),
        max->get<AUValue>(), unit, std::move(unitName), flags, std::move(valueStrings), std::move(dependents));
    if (j.contains("value") && j["value"].is_number()) parameter->setValue(j["value"].get<AUValue>());
    return parameter;
}

std::vector<AUParameterNodePtr> nodesFrom(const nlohmann::json& list, int depth) {
    std::vector<AUParameterNodePtr> nodes;
    if (!list.is_array()) return nodes;
    for (const auto& child : list) {
        if (auto node = nodeFrom(child, depth)) nodes.push_back(std::move(node));
    }
    return nodes;
}

}  // namespace

nlohmann::json describeParameterTree(const AUParameterTree& tree) {
    nlohmann::json children = nlohmann::json::array();
    for (const auto& child : tree.children()) children.push_back(describeNode(child));
    return {{"children", std::move(children)}};
}

AUParameterTreePtr parameterTreeFromDescription(const nlohmann::json& description) {
    if (!description.is_object() || !description.contains("children") || !description["children"].is_array())
        return nullptr;
    return AUParameterTree::createTree(nodesFrom(description["children"], 0));
}

nlohmann::json errorJSON(std::int32_t code, const std::string& description) {
    return {{"code", code}, {"description", description}};
}

}  // namespace audiounit::remote
