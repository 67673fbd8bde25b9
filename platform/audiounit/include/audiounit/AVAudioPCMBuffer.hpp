#pragma once
// A buffer of PCM audio in a given format, with two buffer lists over the same
// sample memory: audioBufferList, whose data pointers always address the
// buffer's own memory, and mutableAudioBufferList, which callers may repoint.

#include <cstddef>
#include <memory>
#include <vector>

#include "audiounit/AVAudioFormat.hpp"
#include "audiounit/RenderContract.hpp"

namespace audiounit {

class AVAudioPCMBuffer {
public:
    // Null when the format is null or the capacity does not fit in memory terms
    // of 32-bit byte sizes.
    static std::shared_ptr<AVAudioPCMBuffer> make(AVAudioFormatPtr format, AVAudioFrameCount frameCapacity);

    [[nodiscard]] const AVAudioFormatPtr& format() const noexcept { return format_; }
    [[nodiscard]] AVAudioFrameCount frameCapacity() const noexcept { return frameCapacity_; }
    [[nodiscard]] AVAudioFrameCount frameLength() const noexcept { return frameLength_; }
    // Sets the valid frame count (clamped to the capacity) and the byte sizes of both lists.
    void setFrameLength(AVAudioFrameCount frames) noexcept;

    [[nodiscard]] const AudioBufferList* audioBufferList() const noexcept { return readOnlyList_.get(); }
    [[nodiscard]] AudioBufferList* mutableAudioBufferList() noexcept { return mutableList_.get(); }

    // Per-buffer float pointers for 32-bit float formats (one per channel when
    // deinterleaved), empty otherwise.
    [[nodiscard]] std::span<float* const> floatChannelData() const noexcept { return floatChannels_; }
    // Samples between two frames of one channel: 1 deinterleaved, the channel count interleaved.
    [[nodiscard]] std::size_t stride() const noexcept;

private:
    AVAudioPCMBuffer() = default;

    AVAudioFormatPtr format_;
    AVAudioFrameCount frameCapacity_ = 0;
    AVAudioFrameCount frameLength_ = 0;
    std::unique_ptr<std::byte[]> memory_;
    std::vector<float*> floatChannels_;
    AudioBufferListStorage readOnlyList_;
    AudioBufferListStorage mutableList_;
};

using AVAudioPCMBufferPtr = std::shared_ptr<AVAudioPCMBuffer>;

}  // namespace audiounit
