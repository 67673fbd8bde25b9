#include "DunmarrowLV2Plugin.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "foundation/ThreadContract.hpp"

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
    const auto& ports = layout_.parameters();
    for (std::size_t i = 0; i < ports.size(); ++i) {
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
    if (port < layout_.parameterCount()) {
        controlPorts_[port] = static_cast<const float*>(data);
    } else if (port == layout_.enabledPort()) {
        enabledPort_ = static_cast<const float*>(data);
    } else if (port == layout_.inputLevelPort()) {
        inputLevelPort_ = static_cast<float*>(data);
    } else if (port == layout_.outputLevelPort()) {
        outputLevelPort_ = static_cast<float*>(data);
    } else if (port >= layout_.inputPort(0) && port < layout_.portCount()) {
        const std::uint32_t n = port - layout_.inputPort(0);
        if (n < layout_.channelCount) {
            audioInputs_[n] = static_cast<const float*>(data);
        } else {
            audioOutputs_[n - layout_.channelCount] = static_cast<float*>(data);
        }
    }
}

bool DunmarrowLV2Plugin::activate() {
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
    if (active_) return true;
    if (const auto tree = unit_->parameterTree()) {
        for (std::uint32_t i = 0; i < layout_.parameterCount(); ++i) {
            if (controlPorts_[i] == nullptr || std::isnan(*controlPorts_[i])) continue;
            const float value = std::clamp(*controlPorts_[i], minima_[i], maxima_[i]);
            if (const auto parameter = tree->parameterWithAddress(addresses_[i])) parameter->setValue(value);
            sent_[i] = value;
        }
    }
    enabled_ = enabledPortValue().value_or(true);
    wet_ = enabled_ ? 1.0f : 0.0f;
    unit_->setShouldBypassEffect(!enabled_);
    const double sampleRate = (*unit_->outputBusses())[0]->format()->sampleRate();
    settlingFrames_ = static_cast<std::uint64_t>(std::ceil(sampleRate * kSettlingSeconds));
    settlingFramesLeft_ = 0;
    fadeStep_ = 1.0f / static_cast<float>(std::max(1.0, std::round(sampleRate * kBypassFadeSeconds)));
    sampleTime_ = 0;
    startingSettingsTaken_ = false;
    active_ = unit_->allocateRenderResources();
    return active_;
}

void DunmarrowLV2Plugin::deactivate() {
    DUNMARROW_ASSERT_NOT_RENDER_THREAD();
    if (!active_) return;
    unit_->deallocateRenderResources();
    active_ = false;
}

std::optional<bool> DunmarrowLV2Plugin::enabledPortValue() const noexcept {
    if (enabledPort_ == nullptr || std::isnan(*enabledPort_)) return std::nullopt;
    // Above zero processes; zero bypasses, and so do the negative values LV2
    // reserves for later use.
    return *enabledPort_ > 0.0f;
}

void DunmarrowLV2Plugin::takeStartingSettings() noexcept {
    DunmarrowAUExtensionDSPKernel& kernel = unit_->dspKernel();
    for (std::uint32_t i = 0; i < layout_.parameterCount(); ++i) {
        if (controlPorts_[i] == nullptr || std::isnan(*controlPorts_[i])) continue;
        const float value = std::clamp(*controlPorts_[i], minima_[i], maxima_[i]);
        kernel.setParameter(addresses_[i], value);
        sent_[i] = value;
    }
    // Nothing has been rendered since activate(): with the smoothing at the
    // targets the kernel is where activate() would have left it.
    kernel.snapSmoothingToTargets();
    enabled_ = enabledPortValue().value_or(enabled_);
    wet_ = enabled_ ? 1.0f : 0.0f;
    unit_->setShouldBypassEffect(!enabled_);
}

void DunmarrowLV2Plugin::forwardControls() noexcept {
    const AUScheduleParameterBlock& schedule = unit_->scheduleParameterBlock();
    for (std::uint32_t i = 0; i < layout_.parameterCount(); ++i) {
        if (controlPorts_[i] == nullptr) continue;
        const float raw = *controlPorts_[i];
        if (std::isnan(raw)) continue;
        const float value = std::clamp(raw, minima_[i], maxima_[i]);
        if (value == sent_[i]) continue;
        // Due at the first frame of this block: the kernel smooths it like any automation.
        schedule(AUEventSampleTimeImmediate, 0, addresses_[i], value);
        sent_[i] = value;
        settlingFramesLeft_ = settlingFrames_;
    }
    const bool enabled = enabledPortValue().value_or(enabled_);
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (enabled_ && unit_->shouldBypassEffect()) {
        // The kernel comes back from its own bypass, where its smoothing stood
        // still: what changed meanwhile glides in from here.
        unit_->setShouldBypassEffect(false);
        settlingFramesLeft_ = settlingFrames_;
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

bool DunmarrowLV2Plugin::renderChunk(std::uint32_t offset, std::uint32_t frames, float& inputPeak,
                                     float& outputPeak) noexcept {
    const float wetTarget = enabled_ ? 1.0f : 0.0f;
    const bool fading = wet_ != wetTarget;
    if (fading) {
        for (std::uint32_t c = 0; c < layout_.channelCount; ++c)
            std::copy_n(audioInputs_[c] + offset, frames, dry_[c].data());
    }

    inputOffset_ = offset;
    AudioBufferList* output = outputList_.get();
    output->mNumberBuffers = layout_.channelCount;
    const auto buffers = output->buffers();
    for (std::uint32_t c = 0; c < layout_.channelCount; ++c) {
        buffers[c].mNumberChannels = 1;
        buffers[c].mData = audioOutputs_[c] + offset;
        buffers[c].mDataByteSize = frames * static_cast<std::uint32_t>(sizeof(float));
    }
    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp timestamp{};
    timestamp.mSampleTime = sampleTime_;
    timestamp.mFlags = kAudioTimeStampSampleTimeValid;
    if (unit_->renderBlock()(&flags, &timestamp, frames, 0, output, &pullInputBlock_) != noErr) return false;
    sampleTime_ += frames;
    inputPeak = std::max(inputPeak, unit_->inputLevel());
    if (!unit_->shouldBypassEffect() && settlingFramesLeft_ > 0)
        settlingFramesLeft_ -= std::min<std::uint64_t>(settlingFramesLeft_, frames);
    if (!fading) {
        outputPeak = std::max(outputPeak, unit_->outputLevel());
        return true;
    }

    // The processed share moves one step per frame; at 0 the output is the dry input itself.
    const float step = enabled_ ? fadeStep_ : -fadeStep_;
    float wet = wet_;
    for (std::uint32_t c = 0; c < layout_.channelCount; ++c) {
        float* out = audioOutputs_[c] + offset;
        wet = wet_;
        for (std::uint32_t n = 0; n < frames; ++n) {
            wet = std::clamp(wet + step, 0.0f, 1.0f);
            const float dry = dry_[c][n];
            out[n] = wet == 0.0f ? dry : dry + (out[n] - dry) * wet;
            outputPeak = std::max(outputPeak, std::fabs(out[n]));
        }
    }
    wet_ = wet;
    // Fully bypassed: from the next chunk on, the unit's bypass copies the input bit for bit.
    if (wet_ == 0.0f) unit_->setShouldBypassEffect(true);
    return true;
}

void DunmarrowLV2Plugin::run(std::uint32_t sampleCount) noexcept {
    const foundation::RenderThreadScope renderThread;
    for (std::uint32_t c = 0; c < layout_.channelCount; ++c)
        if (audioInputs_[c] == nullptr || audioOutputs_[c] == nullptr) return;

    if (!startingSettingsTaken_) {
        takeStartingSettings();
        startingSettingsTaken_ = true;
    } else {
        forwardControls();
    }

    bool failed = !active_;
    float inputPeak = 0.0f, outputPeak = 0.0f;
    std::uint32_t done = 0;
    while (!failed && done < sampleCount) {
        std::uint32_t frames = std::min(sampleCount - done, maximumFrames_);
        // While a change settles or the bypass fades, calls end on the grid of
        // sub-blocks, wherever the host's blocks begin and end. The unit's own
        // bypass neither smooths nor fades: its calls stay whole.
        const bool settling = settlingFramesLeft_ > 0 && !unit_->shouldBypassEffect();
        if (settling || wet_ != (enabled_ ? 1.0f : 0.0f)) {
            const auto position = static_cast<std::uint64_t>(sampleTime_);
            frames = std::min(frames, kSubBlockFrames - static_cast<std::uint32_t>(position % kSubBlockFrames));
        }
        failed = !renderChunk(done, frames, inputPeak, outputPeak);
        if (!failed) done += frames;
    }
    // A block the unit could not render is silence, never stale memory.
    if (failed) {
        for (std::uint32_t c = 0; c < layout_.channelCount; ++c)
            std::memset(audioOutputs_[c] + done, 0, (sampleCount - done) * sizeof(float));
    }

    if (inputLevelPort_ != nullptr) *inputLevelPort_ = inputPeak;
    if (outputLevelPort_ != nullptr) *outputLevelPort_ = outputPeak;
}

}  // namespace dunmarrow_lv2
