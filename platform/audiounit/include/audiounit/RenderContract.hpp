#pragma once
// The render contract between a host and an audio unit: buffer lists, time
// stamps, the timed render-event list, status codes and the callback types.
// Plain data with the platform's layouts; nothing here allocates.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <span>

#include "midi/MIDIEventList.hpp"

namespace audiounit {

using OSStatus = std::int32_t;
using NSInteger = std::int64_t;
using AUAudioFrameCount = std::uint32_t;
using AUAudioChannelCount = std::uint32_t;
using AVAudioFrameCount = std::uint32_t;
using AVAudioChannelCount = std::uint32_t;
using AUParameterAddress = std::uint64_t;
using AUValue = float;
using AUEventSampleTime = std::int64_t;
using AudioUnitRenderActionFlags = std::uint32_t;

// The largest maximum frame count a unit takes (maximumFramesToRender): larger
// ones are refused before anything is allocated for them.
inline constexpr AUAudioFrameCount kMaximumFramesToRenderLimit = 1u << 16;

// Status codes.
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus kAudioUnitErr_InvalidProperty = -10879;
inline constexpr OSStatus kAudioUnitErr_InvalidParameter = -10878;
inline constexpr OSStatus kAudioUnitErr_InvalidElement = -10877;
inline constexpr OSStatus kAudioUnitErr_NoConnection = -10876;
inline constexpr OSStatus kAudioUnitErr_FailedInitialization = -10875;
inline constexpr OSStatus kAudioUnitErr_TooManyFramesToProcess = -10874;
inline constexpr OSStatus kAudioUnitErr_InvalidFile = -10871;
inline constexpr OSStatus kAudioUnitErr_FormatNotSupported = -10868;
inline constexpr OSStatus kAudioUnitErr_Uninitialized = -10867;
inline constexpr OSStatus kAudioUnitErr_InvalidScope = -10866;
inline constexpr OSStatus kAudioUnitErr_PropertyNotWritable = -10865;
inline constexpr OSStatus kAudioUnitErr_CannotDoInCurrentContext = -10863;
inline constexpr OSStatus kAudioUnitErr_InvalidPropertyValue = -10851;
inline constexpr OSStatus kAudioUnitErr_InstrumentTypeNotFound = -10850;
inline constexpr OSStatus kAudioUnitErr_Unauthorized = -10847;
inline constexpr OSStatus kAudioUnitErr_RenderTimeout = -66745;
inline constexpr OSStatus kAudioComponentErr_InstanceInvalidated = -66749;
inline constexpr OSStatus kAudioComponentErr_InstanceTimedOut = -66754;

// One buffer of a buffer list: for deinterleaved audio, one channel.
struct AudioBuffer {
    std::uint32_t mNumberChannels = 0;
    std::uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};

// A list of buffers. As on the platform, mBuffers is declared with one element
// and continues in memory when the list holds more; reach the buffers through
// buffers(), which spans the real count. Lists with more than one buffer are
// made by AudioBufferListStorage.
struct AudioBufferList {
    std::uint32_t mNumberBuffers = 0;
    AudioBuffer mBuffers[1] = {};

    [[nodiscard]] std::span<AudioBuffer> buffers() noexcept { return {mBuffers + 0, mNumberBuffers}; }
    [[nodiscard]] std::span<const AudioBuffer> buffers() const noexcept {
        return {mBuffers + 0, mNumberBuffers};
    }
};

// Bytes a list of n buffers occupies.
constexpr std::size_t audioBufferListSize(std::uint32_t bufferCount) noexcept {
    return offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer) * (bufferCount == 0 ? 1 : bufferCount);
}

// Owns the memory of an AudioBufferList with room for a fixed number of buffers
// (the list itself, not the sample memory the buffers point at).
class AudioBufferListStorage {
public:
    AudioBufferListStorage() : AudioBufferListStorage(0) {}
    explicit AudioBufferListStorage(std::uint32_t bufferCount)
        : capacity_(bufferCount),
          memory_(static_cast<std::byte*>(::operator new(audioBufferListSize(bufferCount),
                                                          std::align_val_t{alignof(AudioBufferList)}))) {
        list_ = new (memory_) AudioBufferList{};
        for (std::uint32_t i = 1; i < bufferCount; ++i) new (list_->mBuffers + i) AudioBuffer{};
        list_->mNumberBuffers = bufferCount;
    }
    ~AudioBufferListStorage() { release(); }
    AudioBufferListStorage(AudioBufferListStorage&& other) noexcept
        : capacity_(other.capacity_), memory_(other.memory_), list_(other.list_) {
        other.memory_ = nullptr;
        other.list_ = nullptr;
        other.capacity_ = 0;
    }
    AudioBufferListStorage& operator=(AudioBufferListStorage&& other) noexcept {
        if (this != &other) {
            release();
            capacity_ = other.capacity_;
            memory_ = other.memory_;
            list_ = other.list_;
            other.memory_ = nullptr;
            other.list_ = nullptr;
            other.capacity_ = 0;
        }
        return *this;
    }
    AudioBufferListStorage(const AudioBufferListStorage&) = delete;
    AudioBufferListStorage& operator=(const AudioBufferListStorage&) = delete;

    [[nodiscard]] AudioBufferList* get() noexcept { return list_; }
    [[nodiscard]] const AudioBufferList* get() const noexcept { return list_; }
    AudioBufferList* operator->() noexcept { return list_; }
    const AudioBufferList* operator->() const noexcept { return list_; }
    // How many buffers the memory has room for (mNumberBuffers may be set lower).
    [[nodiscard]] std::uint32_t capacity() const noexcept { return capacity_; }

private:
    void release() noexcept {
        if (memory_ != nullptr) ::operator delete(memory_, std::align_val_t{alignof(AudioBufferList)});
        memory_ = nullptr;
        list_ = nullptr;
    }
    std::uint32_t capacity_ = 0;
    std::byte* memory_ = nullptr;
    AudioBufferList* list_ = nullptr;
};

// Time stamp of a render cycle. Only the sample time is meaningful to the effect.
inline constexpr std::uint32_t kAudioTimeStampSampleTimeValid = 1u << 0;
inline constexpr std::uint32_t kAudioTimeStampHostTimeValid = 1u << 1;
inline constexpr std::uint32_t kAudioTimeStampRateScalarValid = 1u << 2;

struct AudioTimeStamp {
    double mSampleTime = 0;
    std::uint64_t mHostTime = 0;
    double mRateScalar = 1;
    std::uint64_t mWordClockTime = 0;
    std::uint32_t mFlags = kAudioTimeStampSampleTimeValid;
};

// Render events: a singly linked list ordered by sample time. The records are
// plain aggregates so that the union stays trivial; value-initialise them ({}).
enum class AURenderEventType : std::uint8_t {
    Parameter = 1,
    ParameterRamp = 2,
    MIDI = 8,
    MIDISysEx = 9,
    MIDIEventList = 10,
};
inline constexpr AURenderEventType AURenderEventParameter = AURenderEventType::Parameter;
inline constexpr AURenderEventType AURenderEventParameterRamp = AURenderEventType::ParameterRamp;
inline constexpr AURenderEventType AURenderEventMIDI = AURenderEventType::MIDI;
inline constexpr AURenderEventType AURenderEventMIDISysEx = AURenderEventType::MIDISysEx;
inline constexpr AURenderEventType AURenderEventMIDIEventList = AURenderEventType::MIDIEventList;

// Sample time meaning "as soon as possible" for scheduled events.
inline constexpr AUEventSampleTime AUEventSampleTimeImmediate = static_cast<AUEventSampleTime>(0xFFFFFFFF00000000ull);

union AURenderEvent;

struct AURenderEventHeader {
    AURenderEvent* next;
    AUEventSampleTime eventSampleTime;
    AURenderEventType eventType;
    std::uint8_t reserved;
};

// A parameter change (type 1) or ramp (type 2).
struct AUParameterEvent {
    AURenderEvent* next;
    AUEventSampleTime eventSampleTime;
    AURenderEventType eventType;
    std::uint8_t reserved[3];
    AUAudioFrameCount rampDurationSampleFrames;
    AUParameterAddress parameterAddress;
    AUValue value;
};

// A MIDI 1.0 message of up to three bytes (type 8), or system exclusive (type 9).
struct AUMIDIEvent {
    AURenderEvent* next;
    AUEventSampleTime eventSampleTime;
    AURenderEventType eventType;
    std::uint8_t reserved;
    std::uint16_t length;
    std::uint8_t cable;
    std::uint8_t data[3];
};

// A MIDI event list of Universal MIDI Packets (type 10).
struct AUMIDIEventList {
    AURenderEvent* next;
    AUEventSampleTime eventSampleTime;
    AURenderEventType eventType;
    std::uint8_t reserved;
    std::uint8_t cable;
    midi::MIDIEventList eventList;
};

union AURenderEvent {
    AURenderEventHeader head;
    AUParameterEvent parameter;
    AUMIDIEvent MIDI;
    AUMIDIEventList MIDIEventsList;
};

// The host's pull-input callback: fills inputData with the input of the given
// bus for the cycle. It may repoint the buffers' data pointers.
// Called on the render thread: it must not lock, allocate or block.
using AURenderPullInputBlock =
    std::function<OSStatus(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                           AUAudioFrameCount frameCount, NSInteger inputBusNumber, AudioBufferList* inputData)>;

// The render callback an audio unit hands its host. pullInputBlock is null (or
// points at an empty function) when the unit's input is not connected.
// Called on the render thread: it must not lock, allocate or block.
using AUInternalRenderBlock = std::function<OSStatus(
    AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp, AUAudioFrameCount frameCount,
    NSInteger outputBusNumber, AudioBufferList* outputData, const AURenderEvent* realtimeEventListHead,
    const AURenderPullInputBlock* pullInputBlock)>;

// What a host calls: like the internal block, without the event list, which the
// unit's own scheduled events supply.
using AURenderBlock = std::function<OSStatus(AudioUnitRenderActionFlags* actionFlags,
                                             const AudioTimeStamp* timestamp, AUAudioFrameCount frameCount,
                                             NSInteger outputBusNumber, AudioBufferList* outputData,
                                             const AURenderPullInputBlock* pullInputBlock)>;

}  // namespace audiounit
