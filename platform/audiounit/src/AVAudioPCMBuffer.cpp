#include "audiounit/AVAudioPCMBuffer.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace audiounit {

std::shared_ptr<AVAudioPCMBuffer> AVAudioPCMBuffer::make(AVAudioFormatPtr format, AVAudioFrameCount frameCapacity) {
    if (!format) return nullptr;
    const AudioStreamBasicDescription& d = format->streamDescription();
    const std::uint32_t bufferCount = format->isInterleaved() ? 1 : d.mChannelsPerFrame;
    const std::uint64_t bytesPerBuffer = std::uint64_t{d.mBytesPerFrame} * frameCapacity;
    if (bytesPerBuffer > std::numeric_limits<std::uint32_t>::max()) return nullptr;

    // Each buffer starts on a 64-byte boundary, so vector loops over one channel stay aligned.
    constexpr std::size_t kAlignment = 64;
    const std::size_t stride = (std::max<std::size_t>(bytesPerBuffer, 1) + kAlignment - 1) / kAlignment * kAlignment;

    std::shared_ptr<AVAudioPCMBuffer> buffer(new AVAudioPCMBuffer());
    buffer->format_ = std::move(format);
    buffer->frameCapacity_ = frameCapacity;
    buffer->memory_ = std::make_unique<std::byte[]>(stride * bufferCount + kAlignment);
    auto base = reinterpret_cast<std::uintptr_t>(buffer->memory_.get());
    base = (base + kAlignment - 1) / kAlignment * kAlignment;

    buffer->readOnlyList_ = AudioBufferListStorage(bufferCount);
    buffer->mutableList_ = AudioBufferListStorage(bufferCount);
    const bool isFloat = buffer->format_->commonFormat() == AVAudioCommonFormat::PCMFormatFloat32;
    for (std::uint32_t i = 0; i < bufferCount; ++i) {
        void* data = reinterpret_cast<void*>(base + stride * i);
        const std::uint32_t channels = buffer->format_->isInterleaved() ? d.mChannelsPerFrame : 1;
        buffer->readOnlyList_->buffers()[i] = AudioBuffer{channels, 0, data};
        buffer->mutableList_->buffers()[i] = AudioBuffer{channels, 0, data};
        if (isFloat) buffer->floatChannels_.push_back(static_cast<float*>(data));
    }
    return buffer;
}

void AVAudioPCMBuffer::setFrameLength(AVAudioFrameCount frames) noexcept {
    frameLength_ = std::min(frames, frameCapacity_);
    const std::uint32_t bytes = frameLength_ * format_->streamDescription().mBytesPerFrame;
    for (AudioBuffer& b : readOnlyList_->buffers()) b.mDataByteSize = bytes;
    for (AudioBuffer& b : mutableList_->buffers()) b.mDataByteSize = bytes;
}

std::size_t AVAudioPCMBuffer::stride() const noexcept {
    return format_->isInterleaved() ? format_->channelCount() : 1;
}

}  // namespace audiounit
