#include "BufferedInputBus.hpp"

#include <algorithm>

using namespace audiounit;

void BufferedInputBus::setupBus(AVAudioFormatPtr defaultFormat, AUAudioChannelCount maxChannels) {
    frameCapacity = 0;
    bytesPerFrame = 0;
    pulledBufferList = nullptr;
    renderBufferList = nullptr;
    pullBuffer.reset();
    platformBus = AUAudioUnitBus::make(std::move(defaultFormat));
    if (platformBus) platformBus->setMaximumChannelCount(maxChannels);
}

void BufferedInputBus::allocateBuffer(AUAudioFrameCount maxFrames) {
    frameCapacity = maxFrames;
    const AVAudioFormatPtr format = platformBus ? platformBus->format() : nullptr;
    bytesPerFrame = format ? format->streamDescription().mBytesPerFrame : 0;
    pullBuffer = AVAudioPCMBuffer::make(format, frameCapacity);
    pulledBufferList = pullBuffer ? pullBuffer->audioBufferList() : nullptr;
    renderBufferList = pullBuffer ? pullBuffer->mutableAudioBufferList() : nullptr;
}

bool BufferedInputBus::isUsable(AUAudioFrameCount frameCount) const noexcept {
    if (frameCount > frameCapacity) return false;
    if (!platformBus || pulledBufferList == nullptr || renderBufferList == nullptr) return false;
    const std::uint32_t currentBytesPerFrame = platformBus->formatBytesPerFrame();
    return currentBytesPerFrame != 0 && currentBytesPerFrame == bytesPerFrame;
}

bool BufferedInputBus::prepareBufferList(AUAudioFrameCount frameCount) noexcept {
    if (!isUsable(frameCount)) return false;
    renderBufferList->mNumberBuffers = pulledBufferList->mNumberBuffers;
    const auto source = pulledBufferList->buffers();
    const auto target = renderBufferList->buffers();
    for (std::uint32_t i = 0; i < source.size(); ++i) {
        target[i].mNumberChannels = source[i].mNumberChannels;
        target[i].mData = source[i].mData;
        target[i].mDataByteSize = bytesPerFrame * frameCount;
        if (source[i].mData == nullptr) return false;
    }
    return true;
}
