// dunmarrow-auservice: serves one audio unit to the host process that started
// it. Usage (by the platform, not by people):
//
//   dunmarrow-auservice --bundle <NAME.auext folder> --component <type>:<subtype>:<manufacturer>
//
// with the control socket on descriptor 3 and the codes as decimal numbers.
// Ends when the host closes the socket, and with the host.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>

#include "UnitService.hpp"
#include "audiounit/AudioComponentRegistry.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/RunLoop.hpp"

namespace {

std::optional<audiounit::AudioComponentDescription> parseComponent(const std::string& text) {
    audiounit::AudioComponentDescription description{};
    unsigned long long type = 0, subtype = 0, manufacturer = 0;
    if (std::sscanf(text.c_str(), "%llu:%llu:%llu", &type, &subtype, &manufacturer) != 3) return std::nullopt;
    description.componentType = static_cast<std::uint32_t>(type);
    description.componentSubType = static_cast<std::uint32_t>(subtype);
    description.componentManufacturer = static_cast<std::uint32_t>(manufacturer);
    return description;
}

}  // namespace

int main(int argc, char** argv) {
    // The service lives no longer than its host.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::signal(SIGPIPE, SIG_IGN);

    std::filesystem::path bundle;
    std::optional<audiounit::AudioComponentDescription> description;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--bundle") bundle = argv[i + 1];
        if (option == "--component") description = parseComponent(argv[i + 1]);
    }
    const int socket = audiounit::remote::kServiceSocketFd;
    if (::fcntl(socket, F_SETFD, FD_CLOEXEC) != 0) {
        std::fprintf(stderr, "dunmarrow-auservice: no control socket on descriptor %d\n", socket);
        return 2;
    }

    // Requests that arrive before the unit exists wait for it.
    std::deque<std::pair<nlohmann::json, int>> waiting;
    std::unique_ptr<UnitService> service;
    std::optional<std::pair<std::int32_t, std::string>> failure;
    auto& runLoop = foundation::RunLoop::main();

    auto refuseWaiting = [&] {
        for (auto& [packet, fd] : waiting) {
            if (fd >= 0) ::close(fd);
            UnitService::refuse(socket, packet, failure->first, failure->second);
        }
        waiting.clear();
    };

    runLoop.addReadSource(socket, [&] {
        nlohmann::json packet;
        int fd = -1;
        const auto result = audiounit::remote::receivePacket(socket, packet, &fd);
        if (result == audiounit::remote::ReceiveResult::Closed) {
            runLoop.stop();
            return;
        }
        if (result != audiounit::remote::ReceiveResult::Packet) {
            if (fd >= 0) ::close(fd);
            std::fprintf(stderr, "dunmarrow-auservice: dropped a packet that is not one JSON object within the size "
                                 "and nesting limits\n");
            return;
        }
        if (service) {
            service->handle(packet, fd);
        } else {
            waiting.emplace_back(std::move(packet), fd);
            if (failure) refuseWaiting();
        }
    });

    audiounit::AVAudioUnit::setMainThreadExecutor(
        [](std::function<void()> job) { foundation::DispatchQueue::main().async(std::move(job)); });

    audiounit::AVAudioUnitComponentPtr component;
    if (description && !bundle.empty()) {
        audiounit::AudioComponentRegistry registry({bundle.parent_path()});
        for (const auto& candidate : registry.componentsMatchingDescription(*description)) {
            if (!component || [&] { std::error_code ec; return std::filesystem::equivalent(candidate->bundlePath, bundle, ec); }()) component = candidate;
        }
    }
    if (!component) {
        failure.emplace(audiounit::kAudioUnitErr_ExtensionNotFound,
                        "The audio-unit service found no component in " + bundle.string());
    } else {
        audiounit::AVAudioUnit::instantiate(
            component,
            static_cast<audiounit::AudioComponentInstantiationOptions>(audiounit::kAudioComponentInstantiation_LoadInProcess |
                                                                       audiounit::kAudioComponentInstantiation_LoadedRemotely),
            // Main thread.
            [&](std::shared_ptr<audiounit::AVAudioUnit> unit, std::optional<foundation::NSError> error) {
                if (!unit) {
                    failure.emplace(error ? static_cast<std::int32_t>(error->code) : audiounit::kAudioUnitErr_FailedInitialization,
                                    error ? error->description : "the unit could not be created");
                    refuseWaiting();
                    return;
                }
                service = std::make_unique<UnitService>(socket, std::move(unit));
                for (auto& [packet, fd] : waiting) service->handle(packet, fd);
                waiting.clear();
            });
    }
    runLoop.run();

    if (service) service->stop();
    std::fflush(stdout);
    // Modules may have left callbacks with the platform; end without running
    // static destructors over them.
    std::_Exit(0);
}
