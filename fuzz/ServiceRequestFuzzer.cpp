// The audio-unit service's request handling, as a hostile host drives it: the
// input is a run of packets, one per line, each handed to the service as the
// bytes it would receive, some with a descriptor attached. The service must
// answer or drop every packet without ending, and once it stops it holds no
// descriptor a packet brought.

#include <dirent.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>

#include "EffectUnderTest.hpp"
#include "FuzzSupport.hpp"
#include "UnitService.hpp"
#include "audiounit/AVAudioUnit.hpp"

namespace {

std::size_t openDescriptors() {
    std::size_t count = 0;
    if (DIR* folder = ::opendir("/proc/self/fd")) {
        while (::readdir(folder) != nullptr) ++count;
        ::closedir(folder);
    }
    return count;
}

// Reads and forgets whatever the service sent, so that its sends never block.
void drain(int socket) {
    char buffer[65536];
    while (::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace fuzzing;
    static const auto avAudioUnit = [] {
        auto component = std::make_shared<audiounit::AVAudioUnitComponent>();
        component->name = "Fuzz: Effect";
        component->manufacturerName = "Fuzz";
        return std::make_shared<audiounit::AVAudioUnit>(component, audiounit::kAudioComponentInstantiation_LoadInProcess,
                                                        nullptr, nullptr, makeEffect());
    }();

    int sockets[2];
    require(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) == 0, "no socket pair");
    const std::size_t before = openDescriptors();
    {
        UnitService service(sockets[0], avAudioUnit);
        ByteReader reader(data, size);
        const bool attachDescriptors = (reader.byte() & 1) != 0;
        const auto text = asText(reader.rest());
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string_view::npos) end = text.size();
            const auto packet = text.substr(start, end - start);
            int fd = -1;
            if (attachDescriptors) {
                fd = ::memfd_create("fuzz", MFD_CLOEXEC);
                if (fd >= 0 && ::ftruncate(fd, 1 << 16) != 0) {
                    ::close(fd);
                    fd = -1;
                }
            }
            service.handleBytes({packet.data(), packet.size()}, fd);
            drain(sockets[1]);
            start = end + 1;
        }
        service.stop();
        drain(sockets[1]);
    }
    require(openDescriptors() == before, "the service kept a descriptor a packet brought");
    ::close(sockets[0]);
    ::close(sockets[1]);
    return 0;
}
