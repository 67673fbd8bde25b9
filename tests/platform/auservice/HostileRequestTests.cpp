// The service program against a hostile host, spoken to directly over its socket.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "audiounit/remote/RemoteUnitChannel.hpp"

extern char** environ;

using nlohmann::json;
namespace remote = audiounit::remote;

namespace {

// dunmarrow-auservice serving the crashing test unit on one end of a socket pair.
class ServiceProcess {
public:
    ServiceProcess() {
        int sockets[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0) return;
        std::string bundle = std::string(OOP_TEST_BUNDLES) + "/CrashingTestUnit.auext";
        const char* argv[] = {OOP_SERVICE, "--bundle", bundle.c_str(), "--component", "1635083896:1668445032:1148015731", nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, sockets[1], remote::kServiceSocketFd);
        if (::posix_spawn(&pid_, OOP_SERVICE, &actions, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(sockets[1]);
        socket_ = sockets[0];
    }
    ~ServiceProcess() {
        ::close(socket_);
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
    }

    void send(const std::string& text) const {  // with a descriptor the request does not use
        const int fd = ::memfd_create("hostile", MFD_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(remote::sendPacket(socket_, json::parse(text), fd, 2'000'000'000));
        ::close(fd);
    }
    std::optional<json> next() const {
        pollfd fd{socket_, POLLIN, 0};
        json packet;
        if (::poll(&fd, 1, 20'000) <= 0 || remote::receivePacket(socket_, packet) != remote::ReceiveResult::Packet)
            return std::nullopt;
        return packet;
    }
    bool answers() const {
        send(R"({"id": 1, "op": "describe"})");
        const auto reply = next();
        return reply && (*reply)["reply"] == 1 && reply->contains("result");
    }
    [[nodiscard]] std::size_t openDescriptors() const {
        const auto folder = "/proc/" + std::to_string(pid_) + "/fd";
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
    }

private:
    pid_t pid_ = -1;
    int socket_ = -1;
};

}  // namespace

// Every request comes with a descriptor it does not use: none may stay open.
TEST(HostileRequests, EachGetsItsErrorOrIsDroppedAndTheServiceAnswersOn) {
    ServiceProcess service;
    ASSERT_TRUE(service.answers());
    const std::size_t descriptors = service.openDescriptors();
    const std::string format = R"({"id": 7, "op": "setBusFormat", "busType": "output", "index": 0, )";
    const std::string bad = "-10878 malformed request: ";
    // A request and its reply ("code description", "0 ok"), or "" when no reply can be addressed.
    const std::pair<std::string, std::string> requests[] = {
        {R"({"id": 1.5, "op": "describe"})", ""},
        {R"({"op": "setParameter", "address": "x", "value": 1, "hostTime": 0, "eventType": 0})", ""},
        {R"({"id": 7, "op": 5})", bad + "op is missing or not text"},
        {R"({"id": 7, "op": "nonsense"})", "-10879 unknown request \"nonsense\""},
        {format + R"("sampleRate": 48000, "channels": 4294967298})",
         bad + "channels is not a whole number from 1 to 64"},
        {format + R"("sampleRate": 1e-300, "channels": 2})", bad + "sampleRate is not a number from 1000 to 1536000"},
        {format + R"("sampleRate": 768000, "channels": 2})", "0 ok"},
        {R"({"id": 7, "op": "setBusFormat", "busType": "sideways", "index": 0, "sampleRate": 48000, "channels": 2})",
         bad + "busType is not \"input\" or \"output\""},
        {R"({"id": 7, "op": "setMaximumFramesToRender", "frames": 200000000})",
         bad + "frames is not a whole number from 1 to 65536"},
        {R"({"id": 7, "op": "setShouldBypassEffect", "bypass": "yes"})", bad + "bypass is not true or false"},
        {R"({"id": 7, "op": "setCurrentPreset", "preset": 5})", bad + "preset is not an object"},
        {R"({"id": 7, "op": "valueFromString", "address": 1, "text": 5})", bad + "text is not text"},
        {R"({"id": 7, "op": "allocateRenderResources", "layout": 5})", "-10878 no usable render memory"},
        {R"({"id": 7, "op": "setFullState"})", bad + "state is missing"},
        {R"({"id": 7, "op": "snapshotEditor", "width": 8, "height": 8, "scale": 1, "originX": 0, "originY": 0, "pixels": true})",
         "-10851 no memory for the pixels: the shared memory is smaller than its description"},
    };
    for (const auto& [request, expected] : requests) {
        SCOPED_TRACE(request);
        service.send(request);
        if (expected.empty()) {
            ASSERT_TRUE(service.answers());  // its reply is the first to come
            continue;
        }
        const auto reply = service.next();
        ASSERT_TRUE(reply);
        EXPECT_EQ((*reply)["reply"], 7);
        const json error = reply->value("error", json{{"code", 0}, {"description", "ok"}});
        EXPECT_EQ(std::to_string(error["code"].get<int>()) + " " + error["description"].get<std::string>(), expected);
    }
    ASSERT_TRUE(service.answers());
    EXPECT_EQ(service.openDescriptors(), descriptors);
}
