#include "engine/AVAudioPlayerNode.hpp"

#include <algorithm>
#include <chrono>

#include "SpscQueue.hpp"
#include "foundation/ThreadContract.hpp"

namespace engine {
namespace {

constexpr std::size_t kMaxSegmentsInRing = 256;
constexpr AVAudioFrameCount kReadChunkFrames = 4096;
constexpr auto kReaderPollInterval = std::chrono::milliseconds(2);

}  // namespace

AVAudioPlayerNode::AVAudioPlayerNode()
    : ring_(std::size_t{2} * kRingFrames, 0.0f),
      segmentEnds_(std::make_unique<detail::SpscQueue<SegmentEnd>>(kMaxSegmentsInRing)),
      playedOut_(std::make_unique<detail::SpscQueue<std::uint64_t>>(kMaxSegmentsInRing)) {
    reader_ = std::thread([this] { readerLoop(); });
}

AVAudioPlayerNode::~AVAudioPlayerNode() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    reader_.join();
}

bool AVAudioPlayerNode::scheduleFile(const AVAudioFilePtr& file, CompletionHandler completion,
                                     foundation::NSError* outError) {
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
    if (!file || file->isOpenForWriting()) {
        if (outError != nullptr) {
            *outError = foundation::makeOSStatusError(kAudioFileNotOpenError, "No file open for reading to schedule.");
        }
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        Segment segment;
        segment.id = nextSegmentId_++;
        segment.file = file;
        segment.completion = std::move(completion);
        segment.length = file->length();
        pending_.push_back(std::move(segment));
    }
    wake_.notify_all();
    return true;
}

void AVAudioPlayerNode::play() noexcept { playing_.store(true, std::memory_order_release); }

void AVAudioPlayerNode::pause() noexcept { playing_.store(false, std::memory_order_release); }

void AVAudioPlayerNode::stop() {
    playing_.store(false, std::memory_order_release);
    {
        std::lock_guard lock(mutex_);
        RenderGate::Closed closed(gate_);
        resetRingLocked(false);
    }
    wake_.notify_all();
    progress_.notify_all();
}

void AVAudioPlayerNode::waitUntilBuffered(std::uint32_t frames) {
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
    std::unique_lock lock(mutex_);
    wake_.notify_all();
    progress_.wait_for(lock, std::chrono::seconds(1), [&] {
        const std::uint64_t buffered =
            writeIndex_.load(std::memory_order_acquire) - readIndex_.load(std::memory_order_acquire);
        return buffered >= frames || pending_.empty() || !isPlaying() || quit_;
    });
}

void AVAudioPlayerNode::resetRingLocked(bool keepSegments) {
    // Segments the render thread has already reported as played out finish normally.
    collectPlayedOut();
    if (keepSegments) {
        for (auto it = inRing_.rbegin(); it != inRing_.rend(); ++it) pending_.push_front(std::move(*it));
        for (Segment& s : pending_) s.position = 0;
    } else {
        for (Segment& s : inRing_) toDeliver_.push_back(std::move(s.completion));
        for (Segment& s : pending_) toDeliver_.push_back(std::move(s.completion));
        pending_.clear();
    }
    inRing_.clear();
    segmentEnds_->clear();
    playedOut_->clear();
    writeIndex_.store(0, std::memory_order_relaxed);
    readIndex_.store(0, std::memory_order_relaxed);
}

void AVAudioPlayerNode::collectPlayedOut() {
    std::uint64_t id = 0;
    while (playedOut_->pop(id)) {
        // Segments end in order, so everything up to this id has played out.
        while (!inRing_.empty()) {
            Segment s = std::move(inRing_.front());
            inRing_.pop_front();
            toDeliver_.push_back(std::move(s.completion));
            if (s.id == id) break;
        }
    }
}

bool AVAudioPlayerNode::fillRing(std::unique_lock<std::mutex>& lock) {
    (void)lock;
    bool progressed = false;
    while (!pending_.empty()) {
        Segment& segment = pending_.front();
        const std::uint64_t write = writeIndex_.load(std::memory_order_relaxed);
        if (segment.position >= segment.length) {
            if (!segmentEnds_->push(SegmentEnd{segment.id, write})) break;  // retried once the render side catches up
            inRing_.push_back(std::move(segment));
            pending_.pop_front();
            progressed = true;
            continue;
        }
        const std::uint64_t used = write - readIndex_.load(std::memory_order_acquire);
        const std::uint64_t space = kRingFrames - used;
        if (space == 0) break;
        const std::uint32_t fileChannels = segment.file->processingFormat()->channelCount();
        const auto wanted = static_cast<AVAudioFrameCount>(
            std::min<std::uint64_t>({space, kReadChunkFrames, static_cast<std::uint64_t>(segment.length - segment.position)}));
        if (readScratch_.size() < std::size_t{wanted} * fileChannels) readScratch_.resize(std::size_t{wanted} * fileChannels);
        const AVAudioFrameCount got = segment.file->readFrames(segment.position, wanted, readScratch_.data());
        if (got == 0) {
            // A read error or a file shorter than it claimed: end it here.
            segment.length = segment.position;
            continue;
        }
        for (std::uint32_t c = 0; c < ringChannels_; ++c) {
            const std::uint32_t from = c % fileChannels;
            float* channel = ring_.data() + std::size_t{c} * kRingFrames;
            for (AVAudioFrameCount i = 0; i < got; ++i) {
                channel[(write + i) % kRingFrames] = readScratch_[std::size_t{i} * fileChannels + from];
            }
        }
        writeIndex_.store(write + got, std::memory_order_release);
        segment.position += got;
        progressed = true;
    }
    return progressed;
}

void AVAudioPlayerNode::readerLoop() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
        collectPlayedOut();
        const bool progressed = fillRing(lock);
        if (progressed) progress_.notify_all();
        if (!toDeliver_.empty()) {
            std::vector<CompletionHandler> deliver;
            deliver.swap(toDeliver_);
            lock.unlock();
            for (CompletionHandler& completion : deliver) {
                if (completion) completion();
            }
            lock.lock();
            continue;
        }
        if (progressed) continue;
        progress_.notify_all();
        wake_.wait_for(lock, kReaderPollInterval);
    }
}

bool AVAudioPlayerNode::prepareForRender(const AVAudioNodeRenderSetup& setup, foundation::NSError*) {
    if (!setup.outputFormat) return true;
    const std::uint32_t channels = setup.outputFormat->channelCount();
    if (channels == ringChannels_) return true;
    std::lock_guard lock(mutex_);
    RenderGate::Closed closed(gate_);
    ring_.assign(std::size_t{channels} * kRingFrames, 0.0f);
    ringChannels_ = channels;
    resetRingLocked(true);
    return true;
}

OSStatus AVAudioPlayerNode::render(const AudioTimeStamp&, AUAudioFrameCount frames, AudioBufferList& output) noexcept {
    if (!playing_.load(std::memory_order_acquire) || !gate_.tryEnter()) {
        fillSilence(output, frames);
        return audiounit::noErr;
    }
    const std::uint64_t read = readIndex_.load(std::memory_order_relaxed);
    const std::uint64_t available = writeIndex_.load(std::memory_order_acquire) - read;
    const auto n = static_cast<AUAudioFrameCount>(std::min<std::uint64_t>(frames, available));
    const std::uint32_t start = static_cast<std::uint32_t>(read % kRingFrames);
    const std::uint32_t firstPart = std::min<std::uint32_t>(n, kRingFrames - start);
    const std::span<audiounit::AudioBuffer> buffers = output.buffers();
    for (std::size_t c = 0; c < buffers.size(); ++c) {
        auto* out = static_cast<float*>(buffers[c].mData);
        if (out == nullptr) continue;
        const float* channel = ring_.data() + (c % ringChannels_) * std::size_t{kRingFrames};
        std::copy_n(channel + start, firstPart, out);
        std::copy_n(channel, n - firstPart, out + firstPart);
        std::fill(out + n, out + frames, 0.0f);
    }
    const std::uint64_t newRead = read + n;
    readIndex_.store(newRead, std::memory_order_release);
    SegmentEnd end{};
    while (segmentEnds_->peek(end) && end.endIndex <= newRead) {
        if (!playedOut_->push(end.id)) break;  // reported next cycle
        segmentEnds_->pop(end);
    }
    gate_.leave();
    return audiounit::noErr;
}

}  // namespace engine
