#pragma once
// The effect's input bus: the platform bus object published to hosts, and the
// buffer each render cycle's input is pulled into.

#include <cstdint>

#include "audiounit/AUAudioUnitBus.hpp"
#include "audiounit/AVAudioFormat.hpp"
#include "audiounit/AVAudioPCMBuffer.hpp"
#include "audiounit/RenderContract.hpp"

struct BufferedInputBus {
    audiounit::AUAudioUnitBusPtr platformBus;
    audiounit::AUAudioFrameCount frameCapacity = 0;
    audiounit::AVAudioPCMBufferPtr pullBuffer;
    // pullBuffer's own list: its data pointers always address pullBuffer's memory.
    const audiounit::AudioBufferList* pulledBufferList = nullptr;
    // pullBuffer's writable list, handed to the host's pull-input callback, which may repoint it.
    audiounit::AudioBufferList* renderBufferList = nullptr;
    std::uint32_t bytesPerFrame = 0;

    // Main thread, from the unit's constructor. Creates the platform bus with
    // the default format and channel limit; drops any pull buffer.
    void setupBus(audiounit::AVAudioFormatPtr defaultFormat, audiounit::AUAudioChannelCount maxChannels);

    // Called when render resources are allocated, never while rendering: sizes
    // the pull buffer for the bus's current format and the given frame limit.
    void allocateBuffer(audiounit::AUAudioFrameCount maxFrames);

    // Render thread. True when a cycle of frameCount frames can be pulled: the
    // buffer is allocated and large enough and the bus format has not changed
    // its frame size since allocation.
    [[nodiscard]] bool isUsable(audiounit::AUAudioFrameCount frameCount) const noexcept;

    // Render thread. Restores renderBufferList from pulledBufferList (undoing the
    // previous pull's repointing) with byte sizes for frameCount frames. False
    // when the bus is unusable or a pulled buffer has no data.
    bool prepareBufferList(audiounit::AUAudioFrameCount frameCount) noexcept;
};
