#pragma once
// One audio unit served to a host over the control socket and the shared
// render memory (see audiounit/remote/RemoteUnitChannel.hpp).
//
// Threads: requests are handled on the main run loop, where the unit was made
// and its editor lives. Render cycles run on the service's render thread,
// which exists while render resources are allocated; it waits on the futex
// for the host's cycle and neither locks nor allocates. Parameter changes made
// here (the editor, presets) are sent to the host from the thread that made
// them.

#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include <nlohmann/json.hpp>

#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AVAudioUnit.hpp"
#include "audiounit/remote/RemoteUnitChannel.hpp"

namespace ui {
class Window;
}

class UnitService {
public:
    UnitService(int socket, std::shared_ptr<audiounit::AVAudioUnit> unit);
    ~UnitService();
    UnitService(const UnitService&) = delete;
    UnitService& operator=(const UnitService&) = delete;

    // Main thread: handles one packet (a request or a one-way change) and
    // sends the reply. `receivedFd` is a descriptor that came with it, or -1;
    // it is closed unless the request takes it over. Every field is checked
    // (type and range) before use: a malformed request gets an error reply,
    // or is dropped and logged when its "id" cannot address one. Never
    // throws; takes any packet, so tests and fuzz targets drive it directly.
    void handle(const nlohmann::json& packet, int receivedFd);
    // The same for a packet's bytes as they arrive: what is not one JSON
    // object within the limits is dropped and logged.
    void handleBytes(std::span<const char> bytes, int receivedFd);
    // Answers a request with an error (used before the unit exists).
    static void refuse(int socket, const nlohmann::json& packet, std::int32_t code, const std::string& description);
    // Stops rendering and closes the editor. Main thread.
    void stop();

private:
    // A request's result, or its error (null when it succeeded).
    struct Outcome {
        nlohmann::json result;
        nlohmann::json error = nullptr;
    };
    nlohmann::json describe();
    Outcome perform(const std::string& op, const nlohmann::json& packet, int receivedFd);
    // The editor drawn offscreen into the host's memory, and its inspection.
    Outcome snapshotEditor(const nlohmann::json& packet, int receivedFd);
    bool allocate(const nlohmann::json& packet, int receivedFd, nlohmann::json& error);
    void deallocate();
    void renderLoop() noexcept;
    void renderCycle() noexcept;
    void sendEvent(const nlohmann::json& event);

    int socket_;
    std::mutex sendMutex_;
    std::shared_ptr<audiounit::AVAudioUnit> avAudioUnit_;
    std::shared_ptr<audiounit::AUAudioUnit> unit_;
    audiounit::AUParameterObserverToken mirrorToken_;
    audiounit::AUObservationToken allValuesToken_;

    // Render state: made by allocate, used by the render thread only, released
    // by deallocate once the thread has stopped.
    audiounit::remote::SharedMemory memory_;
    audiounit::remote::CycleArea area_;
    audiounit::AudioBufferListStorage outputList_;
    audiounit::AURenderPullInputBlock pullInput_;
    audiounit::AURenderBlock renderBlock_;
    std::thread renderThread_;
    std::atomic<bool> rendering_{false};

    std::unique_ptr<ui::Window> editorWindow_;
};
