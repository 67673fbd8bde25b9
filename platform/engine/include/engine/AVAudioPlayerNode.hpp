#pragma once
// A node that plays audio files, one after another, streaming them from disk.
//
// A reader thread owned by the player reads the scheduled files and fills a
// pre-allocated lock-free ring buffer; the render thread only copies out of the
// ring, so rendering never touches the disk, a lock or the heap. Scheduled files
// play back to back in the order they were scheduled. Each file's completion
// handler runs exactly once, on the player's reader thread (never the render
// thread): after the file's last frame has been rendered, or when stop()
// discards it.
//
// The file's frames are played at the rate of the player's output connection;
// connect the player at the file's processing format (the mixer converts rates).
// Channels are mapped to the connection's channel count: fewer channels wrap
// round (mono feeds every channel), extra channels are dropped.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/AVAudioFile.hpp"
#include "engine/AVAudioNode.hpp"
#include "engine/RenderGate.hpp"

namespace engine {

namespace detail {
template <typename T>
class SpscQueue;
}

class AVAudioPlayerNode final : public AVAudioNode {
public:
    // Runs on the player's reader thread. It may call back into the player
    // (schedule another file, stop) but must not wait for the render thread,
    // and must not release the last reference to the player.
    using CompletionHandler = std::function<void()>;

    // Frames the ring holds per channel (about 1.4 s at 48 kHz).
    static constexpr std::uint32_t kRingFrames = 1u << 16;

    AVAudioPlayerNode();
    ~AVAudioPlayerNode() override;

    [[nodiscard]] AVAudioNodeBus numberOfInputs() const noexcept override { return 0; }

    // Queues the whole file after anything already scheduled. Main thread (any
    // non-render thread). False, with the error filled, for a null file or one
    // opened for writing; the completion is then not called.
    bool scheduleFile(const AVAudioFilePtr& file, CompletionHandler completion,
                      foundation::NSError* outError = nullptr);

    // Starts or resumes rendering the scheduled audio.
    void play() noexcept;
    // Holds the position; renders silence until play().
    void pause() noexcept;
    // Stops and discards everything scheduled; every pending completion runs
    // (on the reader thread, shortly after).
    void stop();
    [[nodiscard]] bool isPlaying() const noexcept { return playing_.load(std::memory_order_acquire); }

    // Waits (not on the render thread) until the ring holds at least `frames`
    // frames, everything scheduled is in the ring, the player is not playing, or
    // a second has passed. The offline renderer calls it before each cycle, as
    // it renders faster than real time.
    void waitUntilBuffered(std::uint32_t frames);

    // Frames rendered from scheduled files since the last stop. Any thread.
    [[nodiscard]] std::uint64_t renderedFrames() const noexcept {
        return readIndex_.load(std::memory_order_acquire);
    }

protected:
    bool prepareForRender(const AVAudioNodeRenderSetup& setup, foundation::NSError* outError) override;
    OSStatus render(const AudioTimeStamp& timestamp, AUAudioFrameCount frames,
                    AudioBufferList& output) noexcept override;

private:
    struct Segment {
        std::uint64_t id = 0;
        AVAudioFilePtr file;
        CompletionHandler completion;
        AVAudioFramePosition position = 0;
        AVAudioFramePosition length = 0;
    };
    // Where in the ring a segment ends: rendered up to endIndex means played out.
    struct SegmentEnd {
        std::uint64_t id;
        std::uint64_t endIndex;
    };

    void readerLoop();
    bool fillRing(std::unique_lock<std::mutex>& lock);
    void collectPlayedOut();
    // Resets the ring; with keepSegments the scheduled files start again from
    // their beginning, otherwise their completions are queued for delivery.
    // Reader mutex held, render gate closed.
    void resetRingLocked(bool keepSegments);

    std::atomic<bool> playing_{false};
    RenderGate gate_;

    // Ring: planar, ringChannels_ x kRingFrames. Indices count frames since the
    // last reset; the reader owns writeIndex_, the render thread readIndex_.
    std::vector<float> ring_;
    std::uint32_t ringChannels_ = 2;
    std::atomic<std::uint64_t> writeIndex_{0};
    std::atomic<std::uint64_t> readIndex_{0};
    std::unique_ptr<detail::SpscQueue<SegmentEnd>> segmentEnds_;      // reader -> render
    std::unique_ptr<detail::SpscQueue<std::uint64_t>> playedOut_;    // render -> reader

    // Reader state, under mutex_.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable progress_;
    std::deque<Segment> pending_;  // not yet fully in the ring; front is being read
    std::deque<Segment> inRing_;   // fully in the ring, not yet played out
    std::vector<CompletionHandler> toDeliver_;
    std::vector<float> readScratch_;
    std::uint64_t nextSegmentId_ = 1;
    bool quit_ = false;
    std::thread reader_;
};

using AVAudioPlayerNodePtr = std::shared_ptr<AVAudioPlayerNode>;

}  // namespace engine
