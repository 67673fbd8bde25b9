#include "RemoteRenderCycle.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "ServiceConnection.hpp"
#include "audiounit/AUAudioUnitProxy.hpp"

namespace audiounit::remote {

using foundation::NSError;

namespace {

// How long the render thread spins on the reply before it sleeps: longer than
// the service takes to wake and render a cycle of a few hundred frames (a
// futex wake-up of this thread costs tens of microseconds on some virtual
// machines), a small part of such a cycle's real time when the service is slow.
constexpr std::int64_t kReplySpinNanoseconds = 100'000;

// A hint to the processor that this is a spin loop (lets the other hardware
// thread run, saves power); nothing where there is no such hint.
inline void pauseProcessor() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

bool RemoteRenderCycle::allocate(AUAudioFrameCount maximumFrames, std::uint32_t inputChannels,
                                 std::uint32_t outputChannels, double sampleRate, NSError* outError) {
    const auto layout = CycleLayout::make(maximumFrames, inputChannels, outputChannels);
    std::string why;
    auto memory = SharedMemory::create(layout.totalBytes, &why);
    if (!memory) {
        failWith(outError, kAudioUnitErr_FailedInitialization, "Cannot make the render memory: " + why);
        return false;
    }
    // The header's atomics begin their life here; the service only maps them.
    ::new (static_cast<void*>(memory.data())) CycleHeader();
    // Everything the render thread uses is made here.
    std::vector<float> privateOutput(std::size_t{layout.maximumFrames} * std::max(1u, layout.outputChannels));
    AudioBufferListStorage pullList(std::max(1u, layout.inputChannels));
    pullList->mNumberBuffers = layout.inputChannels;
    std::vector<AURenderEvent> carriedEvents(kMaxCycleEvents);

    if (!connection_.request({{"op", "allocateRenderResources"}, {"layout", layout.toJSON()}}, outError,
                             memory.fd()))
        return false;

    std::lock_guard lock(mutex_);
    area_ = CycleArea(memory.data(), layout);
    memory_ = std::move(memory);
    sequence_ = area_.header().request.load(std::memory_order_relaxed);
    privateOutput_ = std::move(privateOutput);
    pullList_ = std::move(pullList);
    carriedEvents_ = std::move(carriedEvents);
    carriedEventCount_ = 0;
    pendingSince_.store(0, std::memory_order_relaxed);
    if (renderDeadline_.count() > 0) {
        deadlineNanoseconds_ = renderDeadline_.count();
    } else {
        const double cycle = 1e9 * maximumFrames / std::max(1.0, sampleRate);
        deadlineNanoseconds_ = std::max<std::int64_t>(static_cast<std::int64_t>(cycle),
                                                      AUAudioUnitProxy::kMinimumRenderDeadline.count());
    }
    return true;
}

void RemoteRenderCycle::deallocate() {
    connection_.request({{"op", "deallocateRenderResources"}});
    std::lock_guard lock(mutex_);
    area_ = {};
    memory_ = {};
    pendingSince_.store(0, std::memory_order_relaxed);
}

bool RemoteRenderCycle::hung(std::chrono::nanoseconds hangTimeout) {
    const std::int64_t since = pendingSince_.load(std::memory_order_acquire);
    if (since == 0) return false;
    if (monotonicNanoseconds() - since < hangTimeout.count()) return false;
    std::lock_guard lock(mutex_);
    if (!area_) return false;
    const auto& header = area_.header();
    return header.reply.load(std::memory_order_acquire) != header.request.load(std::memory_order_acquire);
}

void RemoteRenderCycle::silence(AudioBufferList* outputData, AUAudioFrameCount frameCount) noexcept {
    for (auto& buffer : outputData->buffers()) {
        if (buffer.mData != nullptr) std::memset(buffer.mData, 0, std::size_t{frameCount} * sizeof(float));
    }
}

OSStatus RemoteRenderCycle::render(AUAudioFrameCount maximumFrames, AudioUnitRenderActionFlags* actionFlags,
                                   const AudioTimeStamp* timestamp, AUAudioFrameCount frameCount,
                                   NSInteger outputBusNumber, AudioBufferList* outputData,
                                   const AURenderEvent* events,
                                   const AURenderPullInputBlock* pullInputBlock) noexcept {
    if (outputData == nullptr || !area_) return kAudioUnitErr_InvalidParameter;
    const CycleLayout& layout = area_.layout();
    if (frameCount > maximumFrames || frameCount > layout.maximumFrames) return kAudioUnitErr_TooManyFramesToProcess;

    // Output buffers without memory render into ours.
    std::uint32_t channel = 0;
    for (auto& buffer : outputData->buffers()) {
        if (buffer.mData == nullptr && channel < std::max(1u, layout.outputChannels))
            buffer.mData = privateOutput_.data() + std::size_t{channel} * layout.maximumFrames;
        buffer.mDataByteSize = frameCount * sizeof(float);
        ++channel;
    }

    CycleHeader& header = area_.header();
    if (!connection_.alive() || header.reply.load(std::memory_order_acquire) != sequence_) {
        // Gone, or still busy with a cycle it missed: silence, and no new cycle.
        // The cycle's events go with the next one the service gets (past
        // their time, so at its start): a lost note-off would hang a note.
        for (const AURenderEvent* event = events; event != nullptr; event = event->head.next) {
            if (carriedEventCount_ == carriedEvents_.size()) {
                droppedEvents_.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            carriedEvents_[carriedEventCount_++] = *event;
        }
        silence(outputData, frameCount);
        countMissedCycle();
        return noErr;
    }
    pendingSince_.store(0, std::memory_order_relaxed);

    // The input, pulled straight into shared memory.
    header.hasPullInput = 0;
    header.pullStatus = noErr;
    if (pullInputBlock != nullptr && *pullInputBlock && layout.inputChannels > 0) {
        AudioBufferList& list = *pullList_.get();
        list.mNumberBuffers = layout.inputChannels;
        for (std::uint32_t c = 0; c < layout.inputChannels; ++c) {
            list.mBuffers[c].mNumberChannels = 1;
            list.mBuffers[c].mDataByteSize = frameCount * sizeof(float);
            list.mBuffers[c].mData = area_.input(c);
        }
        AudioUnitRenderActionFlags pullFlags = 0;
        header.pullStatus = (*pullInputBlock)(&pullFlags, timestamp, frameCount, 0, &list);
        header.hasPullInput = 1;
        if (header.pullStatus == noErr) {
            for (std::uint32_t c = 0; c < layout.inputChannels; ++c) {
                const void* source = list.mBuffers[c].mData;
                if (source == nullptr) {
                    std::memset(area_.input(c), 0, std::size_t{frameCount} * sizeof(float));
                } else if (source != area_.input(c)) {
                    std::memcpy(area_.input(c), source, std::size_t{frameCount} * sizeof(float));
                }
            }
        }
    }

    // Events carried from skipped cycles, then the cycle's own, flattened.
    std::uint32_t count = 0;
    for (std::size_t i = 0; i < carriedEventCount_ && count < kMaxCycleEvents; ++i) {
        AURenderEvent& copy = area_.events()[count++];
        copy = carriedEvents_[i];
        copy.head.next = nullptr;
    }
    carriedEventCount_ = 0;
    for (const AURenderEvent* event = events; event != nullptr; event = event->head.next) {
        if (count == kMaxCycleEvents) {
            droppedEvents_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        AURenderEvent& copy = area_.events()[count++];
        copy = *event;
        copy.head.next = nullptr;
    }
    header.eventCount = count;
    header.frameCount = frameCount;
    header.actionFlags = actionFlags != nullptr ? *actionFlags : 0;
    header.outputBusNumber = outputBusNumber;
    header.timestamp = timestamp != nullptr ? *timestamp : AudioTimeStamp{};
    header.timestamp.mFlags = timestamp != nullptr ? (timestamp->mFlags | (1u << 31)) : 0;  // bit 31: present

    // Hand it over and wait, at most until the deadline.
    const std::uint32_t sequence = ++sequence_;
    const std::int64_t start = monotonicNanoseconds();
    const std::int64_t deadline = start + deadlineNanoseconds_;
    pendingSince_.store(start, std::memory_order_release);
    header.request.store(sequence, std::memory_order_release);
    futexWake(header.request);
    // The service answers a short cycle within microseconds: spinning on the
    // reply word for a little while saves this thread's wake-up from a futex
    // wait, the larger part of the handshake. Past that it sleeps.
    const std::int64_t spinUntil = start + kReplySpinNanoseconds;
    while (true) {
        const std::uint32_t answered = header.reply.load(std::memory_order_acquire);
        if (answered == sequence) break;
        const std::int64_t now = monotonicNanoseconds();
        const std::int64_t remaining = deadline - now;
        if (remaining <= 0 || !connection_.alive()) {
            silence(outputData, frameCount);
            countMissedCycle();
            return noErr;
        }
        if (now < spinUntil) {
            for (int i = 0; i < 16; ++i) pauseProcessor();
            continue;
        }
        futexWait(header.reply, answered, remaining);
    }
    pendingSince_.store(0, std::memory_order_relaxed);

    channel = 0;
    for (auto& buffer : outputData->buffers()) {
        if (channel >= layout.outputChannels) break;
        std::memcpy(buffer.mData, area_.output(channel), std::size_t{frameCount} * sizeof(float));
        ++channel;
    }
    if (actionFlags != nullptr) *actionFlags = header.actionFlags;
    return header.status;
}

}  // namespace audiounit::remote
