#include "engine/AVAudioMixerNode.hpp"

#include <soxr.h>

#include <algorithm>
#include <cmath>

#include "audiounit/AVAudioPCMBuffer.hpp"
#include "engine/AVAudioEngine.hpp"

namespace engine {

// One connected input: pulls its source and, when the rates differ, converts it
// to the output rate through a FIFO of converted frames. Everything is sized in
// prepareForRender; render only moves samples.
struct AVAudioMixerNode::InputStage {
    AVAudioNode* source = nullptr;
    std::uint32_t channels = 0;
    AUAudioFrameCount maximumFrames = 0;
    AUAudioFrameCount chunkFrames = 0;  // frames pulled from the source per pull when converting
    audiounit::AVAudioPCMBufferPtr pullBuffer;
    audiounit::AudioBufferListStorage pullList;
    std::vector<const float*> pulled;  // where the last pull's samples are, per channel
    double inputSampleTime = 0;
    bool priming = false;

    soxr_t resampler = nullptr;
    double latency = 0;
    std::vector<float> fifo;  // planar, channels x fifoCapacity
    std::size_t fifoCapacity = 0;
    std::size_t fifoCount = 0;
    std::size_t pulledPos = 0;
    std::size_t pulledCount = 0;
    std::vector<const float*> inPointers;
    std::vector<float*> outPointers;

    InputStage() = default;
    InputStage(const InputStage&) = delete;
    InputStage& operator=(const InputStage&) = delete;
    ~InputStage() {
        if (resampler != nullptr) soxr_delete(resampler);
    }

    // Pulls `frames` frames from the source; on failure the frames are silence.
    void pull(AUAudioFrameCount frames) noexcept {
        const auto data = pullBuffer->floatChannelData();
        for (std::uint32_t c = 0; c < channels; ++c) {
            pullList->mBuffers[c] = audiounit::AudioBuffer{1, frames * 4u, data[c]};
        }
        pullList->mNumberBuffers = channels;
        AudioTimeStamp ts;
        ts.mSampleTime = inputSampleTime;
        inputSampleTime += frames;
        OSStatus status = audiounit::noErr;
        if (!priming && source != nullptr) {
            status = renderNode(*source, ts, frames, *pullList.get());
        }
        for (std::uint32_t c = 0; c < channels; ++c) {
            auto* p = static_cast<float*>(pullList->mBuffers[c].mData);
            if (priming || source == nullptr || status != audiounit::noErr || p == nullptr) {
                p = data[c];
                std::fill_n(p, frames, 0.0f);
            }
            pulled[c] = p;
        }
    }

    // Makes at least `frames` converted frames available at the front of the FIFO
    // (fewer only if the resampler fails, in which case the rest is silence).
    void convert(AUAudioFrameCount frames) noexcept {
        for (int guard = 0; fifoCount < frames && guard < 4096; ++guard) {
            if (pulledPos == pulledCount) {
                pull(chunkFrames);
                pulledPos = 0;
                pulledCount = chunkFrames;
            }
            for (std::uint32_t c = 0; c < channels; ++c) {
                inPointers[c] = pulled[c] + pulledPos;
                outPointers[c] = fifo.data() + c * fifoCapacity + fifoCount;
            }
            std::size_t used = 0;
            std::size_t made = 0;
            const soxr_error_t error = soxr_process(resampler, inPointers.data(), pulledCount - pulledPos, &used,
                                                    outPointers.data(), fifoCapacity - fifoCount, &made);
            if (error != nullptr) break;
            pulledPos += used;
            fifoCount += made;
        }
        if (fifoCount < frames) {
            for (std::uint32_t c = 0; c < channels; ++c) {
                std::fill(fifo.data() + c * fifoCapacity + fifoCount, fifo.data() + c * fifoCapacity + frames, 0.0f);
            }
            fifoCount = frames;
        }
        for (std::uint32_t c = 0; c < channels; ++c) pulled[c] = fifo.data() + c * fifoCapacity;
    }

    // Drops the first `frames` frames of the FIFO.
    void consume(AUAudioFrameCount frames) noexcept {
        const std::size_t rest = fifoCount - frames;
        for (std::uint32_t c = 0; c < channels; ++c) {
            float* channel = fifo.data() + c * fifoCapacity;
            std::copy(channel + frames, channel + frames + rest, channel);
        }
        fifoCount = rest;
    }
};

AVAudioMixerNode::AVAudioMixerNode() = default;
AVAudioMixerNode::~AVAudioMixerNode() = default;

AVAudioNodeBus AVAudioMixerNode::nextAvailableInputBus() const {
    for (AVAudioNodeBus bus = 0; bus < kMaximumInputs; ++bus) {
        if (!inputFormatForBus(bus)) return bus;
    }
    return kMaximumInputs;
}

double AVAudioMixerNode::conversionLatencyFrames(AVAudioNodeBus bus) const {
    // stages_ only changes on the main thread, where this is called.
    return bus < stages_.size() && stages_[bus] ? stages_[bus]->latency : 0.0;
}

bool AVAudioMixerNode::prepareForRender(const AVAudioNodeRenderSetup& setup, foundation::NSError* outError) {
    stages_.clear();
    if (!setup.outputFormat) return true;
    const double outRate = setup.outputFormat->sampleRate();
    const AUAudioFrameCount maxFrames = setup.maximumFramesToRender;
    stages_.resize(setup.inputs.size());
    for (std::size_t bus = 0; bus < setup.inputs.size(); ++bus) {
        const AVAudioNodeInput& input = setup.inputs[bus];
        if (input.source == nullptr || !input.format) continue;
        auto stage = std::make_unique<InputStage>();
        stage->source = input.source;
        stage->channels = input.format->channelCount();
        stage->maximumFrames = maxFrames;
        const double inRate = input.format->sampleRate();
        const bool converting = inRate != outRate;
        stage->chunkFrames = converting ? std::min<AUAudioFrameCount>(256, maxFrames) : maxFrames;
        stage->pullBuffer = audiounit::AVAudioPCMBuffer::make(audiounit::AVAudioFormat::makeStandard(inRate, stage->channels),
                                                              stage->chunkFrames);
        if (!stage->pullBuffer) {
            if (outError != nullptr) {
                *outError = foundation::makeOSStatusError(audiounit::kAudioUnitErr_FormatNotSupported,
                                                          "The mixer cannot take this input format.");
            }
            stages_.clear();
            return false;
        }
        stage->pullList = audiounit::AudioBufferListStorage(stage->channels);
        stage->pulled.assign(stage->channels, nullptr);
        if (converting) {
            soxr_error_t error = nullptr;
            const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
            const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
            const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
            stage->resampler = soxr_create(inRate, outRate, stage->channels, &error, &io, &quality, &runtime);
            if (error != nullptr || stage->resampler == nullptr) {
                if (outError != nullptr) {
                    *outError = foundation::makeOSStatusError(audiounit::kAudioUnitErr_FormatNotSupported,
                                                              std::string("Sample-rate conversion failed: ") +
                                                                  (error != nullptr ? error : "unknown"));
                }
                stages_.clear();
                return false;
            }
            const double ratio = outRate / inRate;
            stage->fifoCapacity = maxFrames + static_cast<std::size_t>(std::ceil(stage->chunkFrames * ratio)) * 2 + 64;
            stage->fifo.assign(stage->channels * stage->fifoCapacity, 0.0f);
            stage->inPointers.assign(stage->channels, nullptr);
            stage->outPointers.assign(stage->channels, nullptr);
            // Run the resampler on silence here, off the render thread: its first calls
            // build the filters and grow its internal buffers to their working size.
            stage->priming = true;
            for (int i = 0; i < 8; ++i) {
                stage->convert(maxFrames);
                stage->consume(maxFrames);
            }
            stage->priming = false;
            stage->latency = soxr_delay(stage->resampler);
            stage->inputSampleTime = 0;
        }
        stages_[bus] = std::move(stage);
    }
    return true;
}

void AVAudioMixerNode::releaseRenderResources() { stages_.clear(); }

OSStatus AVAudioMixerNode::render(const AudioTimeStamp&, AUAudioFrameCount frames, AudioBufferList& output) noexcept {
    fillSilence(output, frames);
    const std::span<audiounit::AudioBuffer> outs = output.buffers();
    for (const auto& stage : stages_) {
        if (!stage || frames > stage->maximumFrames) continue;
        if (stage->resampler != nullptr) {
            stage->convert(frames);
        } else {
            stage->pull(frames);
        }
        const std::uint32_t inChannels = stage->channels;
        for (std::size_t c = 0; c < outs.size(); ++c) {
            auto* out = static_cast<float*>(outs[c].mData);
            if (out == nullptr) continue;
            // Fewer input channels wrap round; extra input channels are dropped.
            const float* in = stage->pulled[c % inChannels];
            for (AUAudioFrameCount i = 0; i < frames; ++i) out[i] += in[i];
        }
        if (stage->resampler != nullptr) stage->consume(frames);
    }
    const float volume = volume_.load(std::memory_order_relaxed);
    if (volume != 1.0f) {
        for (audiounit::AudioBuffer& b : outs) {
            auto* out = static_cast<float*>(b.mData);
            if (out == nullptr) continue;
            for (AUAudioFrameCount i = 0; i < frames; ++i) out[i] *= volume;
        }
    }
    return audiounit::noErr;
}

}  // namespace engine
