#pragma once
// The host's side of an audio unit that runs in a service process of its own
// (instantiation with kAudioComponentInstantiation_LoadOutOfProcess).
//
// The proxy is an AUAudioUnit like any other: busses and formats, maximum
// frames, bypass, render resources, factory and current presets, fullState,
// the parameter tree with observers and value texts, MIDI through the render
// events. Everything but audio goes over the control socket (see
// remote/RemoteUnitChannel.hpp) from the calling (non-real-time) thread and
// waits for the service's answer. Audio crosses in shared memory made when
// render resources are allocated.
//
// The render thread copies the cycle (pulled input, events, frame count, time
// stamp) into shared memory, wakes the service and waits for its answer on a
// futex with a deadline. That bounded wait is the only blocking the render
// thread does: it takes no lock and allocates and frees nothing. A missing or
// late answer yields silence for the cycle and counts a missed cycle; while an
// answer is still outstanding no new cycle is handed over.
//
// The parameter tree is a mirror built from the service's description: a
// change on either side reaches the other side's observers once and is never
// echoed back (each side writes what it receives with its own mirror token as
// originator). Changes from the service are delivered on the proxy's
// connection thread; a proxy request made from that thread (from inside a
// parameter observer) fails at once instead of waiting for itself.
//
// When the service ends (its socket hangs up), stops answering control
// requests, leaves a render cycle unanswered for longer than the hang timeout,
// or sends anything malformed (every field the proxy reads is checked for
// type and range, see remote/ServiceMessages.hpp), the proxy stops the
// service, renders silence from then on and posts
// kAudioComponentInstanceInvalidationNotification once, with the proxy (as
// std::shared_ptr<AUAudioUnit>) as object, on the thread that noticed. A
// request the proxy cannot send (too large, or failing on this side) fails
// alone; the service goes on.
//
// The proxy is a composition of three parts, private to this library (src/):
// the service connection (the process, its socket, requests with time
// limits, the connection thread), the mirrored control state (description,
// parameter tree, presets, state) and the render cycle (shared memory, futex
// handshake, missed cycles).

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AudioComponentRegistry.hpp"

namespace audiounit {

namespace remote {
class ServiceConnection;
class ControlMirror;
class RemoteRenderCycle;
}  // namespace remote

// The service program's file name.
inline constexpr const char* kAudioUnitServiceProgramName = "dunmarrow-auservice";

// Where the service program is: $DUNMARROW_AUDIO_UNIT_SERVICE when set (tests
// put a stand-in there), else beside the running program (the build tree's
// bin/, or a bundle folder holding a link to it), else in ../libexec/dunmarrow
// from the running program's folder (an installed bin/), else in the
// installation's libexec/dunmarrow. Null when none exists.
[[nodiscard]] std::optional<std::filesystem::path> audioUnitServiceProgram();

class AUAudioUnitProxy final : public AUAudioUnit {
public:
    // What the service reports about the unit's own editor.
    struct EditorInfo {
        bool available = false;
        double width = 0;
        double height = 0;
    };
    // The editor drawn offscreen by the service: premultiplied 32-bit ARGB in
    // native byte order, `stride` bytes a row (no pixels when not asked for),
    // and its inspection.
    struct EditorSnapshot {
        int pixelWidth = 0;
        int pixelHeight = 0;
        int stride = 0;
        std::vector<std::uint8_t> pixels;
        nlohmann::json inspection;
    };

    explicit AUAudioUnitProxy(ConstructionKey key);
    ~AUAudioUnitProxy() override;

    // Starts the service for `component`, waits for it to create the unit and
    // builds the mirror. Null with outError set when the service cannot be
    // started or the unit cannot be created there (the service's error).
    // Thread: any but the main thread of an application whose factories need
    // the main queue (instantiation calls it on the loading thread).
    static std::shared_ptr<AUAudioUnitProxy> launch(const AVAudioUnitComponentPtr& component,
                                                    AudioComponentInstantiationOptions options,
                                                    foundation::NSError* outError);

    // MARK: AUAudioUnit

    [[nodiscard]] AUAudioUnitBusArrayPtr inputBusses() const override;
    [[nodiscard]] AUAudioUnitBusArrayPtr outputBusses() const override;
    [[nodiscard]] std::vector<NSInteger> channelCapabilities() const override;
    bool shouldChangeToFormat(const AVAudioFormat& format, const AUAudioUnitBus& bus,
                              foundation::NSError* outError) override;
    [[nodiscard]] AUAudioFrameCount maximumFramesToRender() const override;
    void setMaximumFramesToRender(AUAudioFrameCount frames) override;
    [[nodiscard]] bool shouldBypassEffect() const override;
    void setShouldBypassEffect(bool bypass) override;
    [[nodiscard]] AUInternalRenderBlock internalRenderBlock() override;
    bool allocateRenderResources(foundation::NSError* outError = nullptr) override;
    void deallocateRenderResources() override;
    [[nodiscard]] std::vector<std::string> MIDIOutputNames() const override;
    [[nodiscard]] double latency() const override;
    [[nodiscard]] double tailTime() const override;
    [[nodiscard]] std::vector<AUAudioUnitPresetPtr> factoryPresets() const override;
    [[nodiscard]] AUAudioUnitPresetPtr currentPreset() const override;
    void setCurrentPreset(AUAudioUnitPresetPtr preset) override;
    [[nodiscard]] nlohmann::json fullState() const override;
    bool setFullState(const nlohmann::json& state, foundation::NSError* outError = nullptr) override;
    [[nodiscard]] bool supportsUserPresets() const override;

    // MARK: The service

    [[nodiscard]] bool isServiceAlive() const noexcept;
    [[nodiscard]] pid_t servicePID() const noexcept;
    // Render cycles answered with silence because the service was late, gone
    // or still busy with an earlier cycle. Any thread.
    [[nodiscard]] std::uint64_t missedCycleCount() const noexcept;
    // Events beyond kMaxCycleEvents in one cycle (with those carried from
    // cycles the service was too busy to take), dropped. Any thread.
    [[nodiscard]] std::uint64_t droppedEventCount() const noexcept;

    // How long the render thread waits for the service in a cycle. Zero (the
    // default) means the cycle's own duration (frames / sample rate), at least
    // kMinimumRenderDeadline: waiting longer would overrun the host's cycle
    // anyway, and a late answer costs one cycle of silence, not the host's
    // cycle. Offline hosts, which have no cycle budget, set a longer one. Set
    // while render resources are not allocated.
    void setRenderDeadline(std::chrono::nanoseconds deadline) noexcept;
    static constexpr std::chrono::nanoseconds kMinimumRenderDeadline = std::chrono::milliseconds(1);
    // How long a render cycle or a control request may stay unanswered before
    // the service counts as hung and is stopped (a request's time grows by
    // 0.1 s a megabyte of the request, for large states). Any thread.
    void setHangTimeout(std::chrono::milliseconds timeout) noexcept;
    static constexpr std::chrono::milliseconds kDefaultHangTimeout{2000};

    // The unit's own editor, shown by the service in an X11 window it creates
    // as a child of `parentWindow` on `display`, at the origin, `width` x
    // `height` pixels drawn at `scale` pixels per point. Returns the service's
    // window id, or 0 with outError set. Main thread.
    [[nodiscard]] EditorInfo editorInfo() const;
    unsigned long openEditor(unsigned long parentWindow, const std::string& display, int width, int height,
                             double scale = 1, foundation::NSError* outError = nullptr);
    void closeEditor();
    // The editor at `width` x `height` points drawn at `scale` pixels per
    // point (ceil(size * scale) pixels), with its inspection as if its origin
    // were `originX`, `originY` in a window of that scale. For hosts drawing
    // offscreen, where no window can be embedded. Main thread.
    std::optional<EditorSnapshot> snapshotEditor(double width, double height, double originX, double originY,
                                                 double scale, bool withPixels,
                                                 foundation::NSError* outError = nullptr);

    // Ends the service's process at once (a crash, as far as the proxy can
    // tell). For tests of what hosts see then.
    void killServiceForTesting();

private:
    bool connect(const AVAudioUnitComponentPtr& component, foundation::NSError* outError);

    // Made with the proxy, never replaced: the render block and the
    // connection thread's callbacks hold on to them for its life.
    std::shared_ptr<remote::ServiceConnection> connection_;
    std::unique_ptr<remote::ControlMirror> control_;
    std::unique_ptr<remote::RemoteRenderCycle> render_;
};

using AUAudioUnitProxyPtr = std::shared_ptr<AUAudioUnitProxy>;

}  // namespace audiounit
