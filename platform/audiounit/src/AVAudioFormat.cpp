#include "audiounit/AVAudioFormat.hpp"

namespace audiounit {

std::shared_ptr<const AVAudioFormat> AVAudioFormat::makeStandard(double sampleRate, AVAudioChannelCount channels) {
    return make(AVAudioCommonFormat::PCMFormatFloat32, sampleRate, channels, false);
}

std::shared_ptr<const AVAudioFormat> AVAudioFormat::make(AVAudioCommonFormat commonFormat, double sampleRate,
                                                        AVAudioChannelCount channels, bool interleaved) {
    if (!isSupportedSampleRate(sampleRate) || channels == 0 || channels > kMaxChannels) return nullptr;

    std::uint32_t bytesPerSample = 0;
    std::uint32_t flags = kAudioFormatFlagIsPacked;
    switch (commonFormat) {
        case AVAudioCommonFormat::PCMFormatFloat32: bytesPerSample = 4; flags |= kAudioFormatFlagIsFloat; break;
        case AVAudioCommonFormat::PCMFormatFloat64: bytesPerSample = 8; flags |= kAudioFormatFlagIsFloat; break;
        case AVAudioCommonFormat::PCMFormatInt16: bytesPerSample = 2; flags |= kAudioFormatFlagIsSignedInteger; break;
        case AVAudioCommonFormat::PCMFormatInt32: bytesPerSample = 4; flags |= kAudioFormatFlagIsSignedInteger; break;
        case AVAudioCommonFormat::OtherFormat: return nullptr;
    }
    if (!interleaved) flags |= kAudioFormatFlagIsNonInterleaved;

    AudioStreamBasicDescription d;
    d.mSampleRate = sampleRate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = flags;
    // Deinterleaved formats describe one buffer (one channel) per frame.
    d.mBytesPerFrame = interleaved ? bytesPerSample * channels : bytesPerSample;
    d.mBytesPerPacket = d.mBytesPerFrame;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = channels;
    d.mBitsPerChannel = bytesPerSample * 8;
    return std::shared_ptr<const AVAudioFormat>(new AVAudioFormat(commonFormat, interleaved, d));
}

}  // namespace audiounit
