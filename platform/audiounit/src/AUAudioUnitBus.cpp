#include "audiounit/AUAudioUnitBus.hpp"

namespace audiounit {

std::shared_ptr<AUAudioUnitBus> AUAudioUnitBus::make(AVAudioFormatPtr format, foundation::NSError* outError) {
    if (!format) {
        if (outError) *outError = foundation::makeOSStatusError(kAudioUnitErr_FormatNotSupported, "no format");
        return nullptr;
    }
    std::shared_ptr<AUAudioUnitBus> bus(new AUAudioUnitBus());
    bus->bytesPerFrame_.store(format->streamDescription().mBytesPerFrame, std::memory_order_release);
    bus->format_ = std::move(format);
    return bus;
}

AVAudioFormatPtr AUAudioUnitBus::format() const {
    std::lock_guard lock(mutex_);
    return format_;
}

bool AUAudioUnitBus::setFormat(AVAudioFormatPtr format, foundation::NSError* outError) {
    if (!format) {
        if (outError) *outError = foundation::makeOSStatusError(kAudioUnitErr_FormatNotSupported, "no format");
        return false;
    }
    if (format->channelCount() > maximumChannelCount()) {
        if (outError)
            *outError = foundation::makeOSStatusError(kAudioUnitErr_FormatNotSupported,
                                                      "more channels than the bus accepts");
        return false;
    }
    FormatValidator validator;
    {
        std::lock_guard lock(mutex_);
        validator = validator_;
    }
    if (validator && !validator(*this, *format, outError)) return false;

    std::lock_guard lock(mutex_);
    bytesPerFrame_.store(format->streamDescription().mBytesPerFrame, std::memory_order_release);
    format_ = std::move(format);
    return true;
}

std::string AUAudioUnitBus::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void AUAudioUnitBus::setName(std::string name) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
}

void AUAudioUnitBus::setFormatValidator(FormatValidator validator) {
    std::lock_guard lock(mutex_);
    validator_ = std::move(validator);
}

}  // namespace audiounit
