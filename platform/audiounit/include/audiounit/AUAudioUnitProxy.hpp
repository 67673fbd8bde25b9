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

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AudioComponentRegistry.hpp"
#include "audiounit/remote/RemoteUnitChannel.hpp"
#include "audiounit/remote/ServiceMessages.hpp"

namespace audiounit {

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

    [[nodiscard]] AUAudioUnitBusArrayPtr inputBusses() const override { return inputBusses_; }
    [[nodiscard]] AUAudioUnitBusArrayPtr outputBusses() const override { return outputBusses_; }
    [[nodiscard]] std::vector<NSInteger> channelCapabilities() const override { return channelCapabilities_; }
    bool shouldChangeToFormat(const AVAudioFormat& format, const AUAudioUnitBus& bus,
                              foundation::NSError* outError) override;
    [[nodiscard]] AUAudioFrameCount maximumFramesToRender() const override;
    void setMaximumFramesToRender(AUAudioFrameCount frames) override;
    [[nodiscard]] bool shouldBypassEffect() const override;
    void setShouldBypassEffect(bool bypass) override;
    [[nodiscard]] AUInternalRenderBlock internalRenderBlock() override;
    bool allocateRenderResources(foundation::NSError* outError = nullptr) override;
    void deallocateRenderResources() override;
    [[nodiscard]] std::vector<std::string> MIDIOutputNames() const override { return midiOutputNames_; }
    [[nodiscard]] double latency() const override { return latency_; }
    [[nodiscard]] double tailTime() const override { return tailTime_; }
    [[nodiscard]] std::vector<AUAudioUnitPresetPtr> factoryPresets() const override { return factoryPresets_; }
    [[nodiscard]] AUAudioUnitPresetPtr currentPreset() const override;
    void setCurrentPreset(AUAudioUnitPresetPtr preset) override;
    [[nodiscard]] nlohmann::json fullState() const override;
    bool setFullState(const nlohmann::json& state, foundation::NSError* outError = nullptr) override;
    [[nodiscard]] bool supportsUserPresets() const override { return supportsUserPresets_; }

    // MARK: The service

    [[nodiscard]] bool isServiceAlive() const noexcept;
    [[nodiscard]] pid_t servicePID() const noexcept;
    // Render cycles answered with silence because the service was late, gone
    // or still busy with an earlier cycle. Any thread.
    [[nodiscard]] std::uint64_t missedCycleCount() const noexcept {
        return missedCycles_.load(std::memory_order_relaxed);
    }
    // Events beyond kMaxCycleEvents in one cycle (with those carried from
    // cycles the service was too busy to take), dropped. Any thread.
    [[nodiscard]] std::uint64_t droppedEventCount() const noexcept {
        return droppedEvents_.load(std::memory_order_relaxed);
    }

    // How long the render thread waits for the service in a cycle. Zero (the
    // default) means the cycle's own duration (frames / sample rate), at least
    // kMinimumRenderDeadline: waiting longer would overrun the host's cycle
    // anyway, and a late answer costs one cycle of silence, not the host's
    // cycle. Offline hosts, which have no cycle budget, set a longer one. Set
    // while render resources are not allocated.
    void setRenderDeadline(std::chrono::nanoseconds deadline) noexcept { renderDeadline_ = deadline; }
    static constexpr std::chrono::nanoseconds kMinimumRenderDeadline = std::chrono::milliseconds(1);
    // How long a render cycle or a control request may stay unanswered before
    // the service counts as hung and is stopped (a request's time grows by
    // 0.1 s a megabyte of the request, for large states). Any thread.
    void setHangTimeout(std::chrono::milliseconds timeout) noexcept {
        hangTimeoutNanoseconds_.store(std::chrono::nanoseconds(timeout).count(), std::memory_order_relaxed);
    }
    static constexpr std::chrono::milliseconds kDefaultHangTimeout{2000};

    // The unit's own editor, shown by the service in an X11 window it creates
    // as a child of `parentWindow` on `display`, at the origin, `width` x
    // `height` pixels drawn at `scale` pixels per point. Returns the service's
    // window id, or 0 with outError set. Main thread.
    [[nodiscard]] EditorInfo editorInfo() const { return editorInfo_; }
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

    class Connection;

private:
    bool connect(const AVAudioUnitComponentPtr& component, foundation::NSError* outError);
    bool adoptDescription(remote::UnitDescription description, foundation::NSError* outError);
    void serviceEnded();
    void handleEvent(const remote::ServiceMessage& event);
    [[nodiscard]] bool renderCycleHung();
    std::optional<nlohmann::json> request(nlohmann::json packet, foundation::NSError* outError = nullptr,
                                          int passFd = -1) const;
    // A request whose result the proxy reads, checked by `decode` (one of the
    // decoders of remote/ServiceMessages.hpp). A result that fails the check
    // stops the service, as any malformed message does.
    bool requestChecked(nlohmann::json packet, const std::function<bool(const nlohmann::json&, std::string&)>& decode,
                        foundation::NSError* outError = nullptr, int passFd = -1) const;

    OSStatus renderCycle(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                         AUAudioFrameCount frameCount, NSInteger outputBusNumber, AudioBufferList* outputData,
                         const AURenderEvent* events, const AURenderPullInputBlock* pullInputBlock) noexcept;
    void silence(AudioBufferList* outputData, AUAudioFrameCount frameCount) noexcept;
    void countMissedCycle() noexcept;

    std::shared_ptr<Connection> connection_;
    AUAudioUnitBusArrayPtr inputBusses_;
    AUAudioUnitBusArrayPtr outputBusses_;
    std::vector<NSInteger> channelCapabilities_;
    std::vector<std::string> midiOutputNames_;
    std::vector<AUAudioUnitPresetPtr> factoryPresets_;
    double latency_ = 0;
    double tailTime_ = 0;
    bool supportsUserPresets_ = false;
    EditorInfo editorInfo_;
    std::atomic<AUAudioFrameCount> maximumFrames_{512};
    std::atomic<bool> bypass_{false};
    AUParameterObserverToken mirrorToken_;

    // Render state: made by allocateRenderResources, read by the render
    // thread, released by deallocateRenderResources (never while rendering).
    // renderMutex_ guards it against the connection thread's hang check, never
    // against the render thread.
    mutable std::mutex renderMutex_;
    remote::SharedMemory memory_;
    remote::CycleArea area_;
    std::uint32_t sequence_ = 0;
    std::int64_t deadlineNanoseconds_ = 0;
    std::chrono::nanoseconds renderDeadline_{0};
    std::vector<float> privateOutput_;  // for output buffers that come without memory
    AudioBufferListStorage pullList_;
    std::vector<AURenderEvent> carriedEvents_;  // events of cycles the service was too busy to take
    std::size_t carriedEventCount_ = 0;
    std::atomic<std::int64_t> pendingSince_{0};  // when the outstanding cycle was handed over; 0: none
    std::atomic<std::int64_t> hangTimeoutNanoseconds_{std::chrono::nanoseconds(kDefaultHangTimeout).count()};
    std::atomic<std::uint64_t> missedCycles_{0};
    std::atomic<std::uint64_t> droppedEvents_{0};
};

using AUAudioUnitProxyPtr = std::shared_ptr<AUAudioUnitProxy>;

}  // namespace audiounit
