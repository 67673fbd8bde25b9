#include "DunmarrowLV2Plugin.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace dunmarrow_lv2 {

using namespace audiounit;

std::unique_ptr<DunmarrowLV2Plugin> DunmarrowLV2Plugin::create(double sampleRate, std::uint32_t channelCount,
                                                               std::uint32_t maximumBlockLength) {
    if (channelCount < 1 || channelCount > 2 || !AVAudioFormat::isSupportedSampleRate(sampleRate)) return nullptr;
    auto unit = makeDunmarrowAudioUnit();
    if (!unit) return nullptr;
    const auto format = AVAudioFormat::makeStandard(sampleRate, channelCount);
    if (!format) return nullptr;
    if (!(*unit->inputBusses())[0]->setFormat(format) || !(*unit->outputBusses())[0]->setFormat(format))
        return nullptr;
    const std::uint32_t maximumFrames =
        maximumBlockLength == 0 ? kDefaultMaximumBlockLength : std::min(maximumBlockLength, kLargestMaximumBlockLength);
    unit->setMaximumFramesToRender(maximumFrames);
    return std::make_unique<DunmarrowLV2Plugin>(std::move(unit), channelCount, maximumFrames);
}

DunmarrowLV2Plugin::DunmarrowLV2Plugin(std::shared_ptr<DunmarrowAUExtensionAudioUnit> unit,
                                       std::uint32_t channelCount, std::uint32_t maximumFrames)
    : unit_(std::move(unit)), layout_{channelCount}, maximumFrames_(maximumFrames), outputList_(channelCount) {
    const auto& ports = parameterPorts();
    for (std::size_t i = 0; i < kDunmarrowParameterCount && i < ports.size(); ++i) {
        addresses_[i] = ports[i]->address;
        minima_[i] = ports[i]->minValue;
        maxima_[i] = ports[i]->maxValue;
    }
    sent_.fill(std::numeric_limits<float>::quiet_NaN());
    // Render thread, called by the unit's render block: hands over the input
    // ports by pointer (the kernel only reads them), no copy.
    pullInputBlock_ = [this](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount frameCount,
                             NSInteger, AudioBufferList* inputData) { return pullInput(frameCount, inputData); };
}

void DunmarrowLV2Plugin::connectPort(std::uint32_t port, void* data) noexcept {
    if (port < kDunmarrowParameterCount) {
        controlPorts_[port] = static_cast<const float*>(data);
    } else if (port == kEnabledPort) {
        enabledPort_ = static_cast<const float*>(data);
    } else if (port == kInputLevelPort) {
        inputLevelPort_ = static_cast<float*>(data);
    } else if (port == kOutputLevelPort) {
        outputLevelPort_ = static_cast<float*>(data);
    } else if (port >= kFirstAudioPort && port < layout_.portCount()) {
        const std::uint32_t n = port - kFirstAudioPort;
        if (n < layout_.channelCount) {
            audioInputs_[n] = static_cast<const float*>(data);
        } else {
            audioOutputs_[n - layout_.channelCount] = static_cast<float*>(data);
        }
    }
}

bool DunmarrowLV2Plugin::activate() {
    if (active_) return true;
    if (const auto tree = unit_->parameterTree()) {
        const auto& parameters = tree->allParameters();
        for (std::size_t i = 0; i < kDunmarrowParameterCount && i < parameters.size(); ++i) {
            if (controlPorts_[i] == nullptr || std::isnan(*controlPorts_[i])) continue;
            const float value = std::clamp(*controlPorts_[i], minima_[i], maxima_[i]);
            parameters[i]->setValue(value);
            sent_[i] = value;
        }
    }
    if (enabledPort_ != nullptr) unit_->setShouldBypassEffect(!(*enabledPort_ >= 0.5f));
    sampleTime_ = 0;
    active_ = unit_->allocateRenderResources();
    return active_;
}

void DunmarrowLV2Plugin::deactivate() {
    if (!active_) return;
    unit_->deallocateRenderResources();
    active_ = false;
}

void DunmarrowLV2Plugin::forwardControls() noexcept {
    const AUScheduleParameterBlock& schedule = unit_->scheduleParameterBlock();
    for (std::size_t i = 0; i < kDunmarrowParameterCount; ++i) {
        if (controlPorts_[i] == nullptr) continue;
        const float raw = *controlPorts_[i];
        if (std::isnan(raw)) continue;
        const float value = std::clamp(raw, minima_[i], maxima_[i]);
        if (value == sent_[i]) continue;
        // Due at the first frame of this block: the kernel smooths it like any automation.
        schedule(AUEventSampleTimeImmediate, 0, addresses_[i], value);
        sent_[i] = value;
    }
    if (enabledPort_ != nullptr) {
        const bool bypass = !(*enabledPort_ >= 0.5f);
        if (bypass != unit_->shouldBypassEffect()) unit_->setShouldBypassEffect(bypass);
    }
}

OSStatus DunmarrowLV2Plugin::pullInput(AUAudioFrameCount frameCount, AudioBufferList* inputData) noexcept {
    if (inputData == nullptr || inputData->mNumberBuffers < layout_.channelCount) return kAudioUnitErr_InvalidParameter;
    inputData->mNumberBuffers = layout_.channelCount;
    const auto buffers = inputData->buffers();
    for (std::uint32_t c = 0; c < layout_.channelCount; ++c) {
        buffers[c].mNumberChannels = 1;
        buffers[c].mData = const_cast<float*>(audioInputs_[c] + inputOffset_);
        buffers[c].mDataByteSize = frameCount * static_cast<std::uint32_t>(sizeof(float));
    }
    return noErr;
}

void DunmarrowLV2Plugin::run(std::uint32_t sampleCount) noexcept {
    for (std::uint32_t c = 0; c < layout_.channelCount; ++c)
        if (audioInputs_[c] == nullptr || audioOutputs_[c] == nullptr) return;

    forwardControls();

    bool failed = !active_;
    const AURenderBlock& render = unit_->renderBlock();
    std::uint32_t done = 0;
    while (!failed && done < sampleCount) {
        const std::uint32_t frames = std::min(sampleCount - done, maximumFrames_);
        inputOffset_ = done;
        AudioBufferList* output = outputList_.get();
        output->mNumberBuffers = layout_.channelCount;
        const auto buffers = output->buffers();
        for (std::uint32_t c = 0; c < layout_.channelCount; ++c) {
            buffers[c].mNumberChannels = 1;
            buffers[c].mData = audioOutputs_[c] + done;
            buffers[c].mDataByteSize = frames * static_cast<std::uint32_t>(sizeof(float));
        }
        AudioUnitRenderActionFlags flags = 0;
        AudioTimeStamp timestamp{};
        timestamp.mSampleTime = sampleTime_;
        timestamp.mFlags = kAudioTimeStampSampleTimeValid;
        failed = render(&flags, &timestamp, frames, 0, output, &pullInputBlock_) != noErr;
        if (!failed) {
            done += frames;
            sampleTime_ += frames;
        }
    }
    // A block the unit could not render is silence, never stale memory.
    if (failed) {
        for (std::uint32_t c = 0; c < layout_.channelCount; ++c)
            std::memset(audioOutputs_[c] + done, 0, (sampleCount - done) * sizeof(float));
    }

    if (inputLevelPort_ != nullptr) *inputLevelPort_ = unit_->inputLevel();
    if (outputLevelPort_ != nullptr) *outputLevelPort_ = unit_->outputLevel();
}

}  // namespace dunmarrow_lv2
