#pragma once
// Audio formats. The standard format, which every audio unit here uses, is
// deinterleaved 32-bit float: one buffer per channel, 4 bytes per frame.

#include <cstdint>
#include <memory>

#include "audiounit/RenderContract.hpp"

namespace audiounit {

inline constexpr std::uint32_t kAudioFormatLinearPCM = 0x6C70636Du;  // 'lpcm'
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
inline constexpr std::uint32_t kAudioFormatFlagIsPacked = 1u << 3;
inline constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    std::uint32_t mFormatID = 0;
    std::uint32_t mFormatFlags = 0;
    std::uint32_t mBytesPerPacket = 0;
    std::uint32_t mFramesPerPacket = 0;
    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mChannelsPerFrame = 0;
    std::uint32_t mBitsPerChannel = 0;
    std::uint32_t mReserved = 0;

    friend bool operator==(const AudioStreamBasicDescription&, const AudioStreamBasicDescription&) = default;
};

enum class AVAudioCommonFormat : std::uint32_t {
    OtherFormat = 0,
    PCMFormatFloat32 = 1,
    PCMFormatFloat64 = 2,
    PCMFormatInt16 = 3,
    PCMFormatInt32 = 4,
};

// An immutable format, shared by reference like the platform's.
class AVAudioFormat {
public:
    // The standard format (deinterleaved 32-bit float) at a sample rate and
    // channel count; null for a channel count of 0 or above kMaxChannels, or a
    // sample rate outside the supported range.
    static std::shared_ptr<const AVAudioFormat> makeStandard(double sampleRate, AVAudioChannelCount channels);

    // Any linear PCM format; null where makeStandard would be, or for OtherFormat.
    static std::shared_ptr<const AVAudioFormat> make(AVAudioCommonFormat commonFormat, double sampleRate,
                                                     AVAudioChannelCount channels, bool interleaved);

    static constexpr AVAudioChannelCount kMaxChannels = 64;

    // The sample rates formats take, 1 kHz to 1536 kHz: every rate audio
    // hardware runs at (8 kHz to 768 kHz) with room on both sides. The effect's
    // kernel gives finite output across it (and far beyond: its filters fail
    // only below about 1e-38 Hz, where the rate as a float is no longer a
    // normal number); rates outside it are refused wherever a rate comes from
    // outside (formats, the out-of-process service, the LV2 plugin).
    static constexpr double kMinimumSampleRate = 1000.0;
    static constexpr double kMaximumSampleRate = 1536000.0;
    // False for NaN too.
    static constexpr bool isSupportedSampleRate(double sampleRate) noexcept {
        return sampleRate >= kMinimumSampleRate && sampleRate <= kMaximumSampleRate;
    }

    [[nodiscard]] double sampleRate() const noexcept { return description_.mSampleRate; }
    [[nodiscard]] AVAudioChannelCount channelCount() const noexcept { return description_.mChannelsPerFrame; }
    [[nodiscard]] AVAudioCommonFormat commonFormat() const noexcept { return commonFormat_; }
    [[nodiscard]] bool isInterleaved() const noexcept { return interleaved_; }
    // Deinterleaved 32-bit float.
    [[nodiscard]] bool isStandard() const noexcept {
        return commonFormat_ == AVAudioCommonFormat::PCMFormatFloat32 && !interleaved_;
    }
    [[nodiscard]] const AudioStreamBasicDescription& streamDescription() const noexcept { return description_; }

    friend bool operator==(const AVAudioFormat& a, const AVAudioFormat& b) noexcept {
        return a.description_ == b.description_;
    }

private:
    AVAudioFormat(AVAudioCommonFormat commonFormat, bool interleaved, const AudioStreamBasicDescription& d)
        : commonFormat_(commonFormat), interleaved_(interleaved), description_(d) {}

    AVAudioCommonFormat commonFormat_;
    bool interleaved_;
    AudioStreamBasicDescription description_;
};

using AVAudioFormatPtr = std::shared_ptr<const AVAudioFormat>;

}  // namespace audiounit
