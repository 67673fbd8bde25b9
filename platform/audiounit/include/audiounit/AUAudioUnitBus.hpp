#pragma once
// One input or output bus of an audio unit: its current format and how many
// channels it accepts.
//
// Threads: format(), setFormat() and the other setters may be called from any
// thread except the render thread. The render thread reads only
// formatBytesPerFrame(), which is lock-free.

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include "audiounit/AVAudioFormat.hpp"
#include "foundation/NSError.hpp"

namespace audiounit {

inline constexpr OSStatus kAudioUnitErr_Initialized = -10849;

enum class AUAudioUnitBusType : NSInteger { Input = 1, Output = 2 };
inline constexpr AUAudioUnitBusType AUAudioUnitBusTypeInput = AUAudioUnitBusType::Input;
inline constexpr AUAudioUnitBusType AUAudioUnitBusTypeOutput = AUAudioUnitBusType::Output;

class AUAudioUnitBus {
public:
    // Decides whether the owning unit accepts a new format on this bus; set by
    // the unit. Returns false and fills the error to refuse.
    using FormatValidator = std::function<bool(const AUAudioUnitBus& bus, const AVAudioFormat& format,
                                               foundation::NSError* outError)>;

    // A bus with the given format; null (and the error filled where asked) when
    // the format is null.
    static std::shared_ptr<AUAudioUnitBus> make(AVAudioFormatPtr format, foundation::NSError* outError = nullptr);

    [[nodiscard]] AVAudioFormatPtr format() const;
    // Changes the format. Fails with kAudioUnitErr_FormatNotSupported for a null
    // format or one with more channels than maximumChannelCount, and with the
    // owner's error when the owner's validator refuses.
    bool setFormat(AVAudioFormatPtr format, foundation::NSError* outError = nullptr);

    // Bytes per frame of the current format's stream description. Lock-free; the
    // one read the render thread makes.
    [[nodiscard]] std::uint32_t formatBytesPerFrame() const noexcept {
        return bytesPerFrame_.load(std::memory_order_acquire);
    }

    [[nodiscard]] AUAudioChannelCount maximumChannelCount() const noexcept {
        return maximumChannelCount_.load(std::memory_order_relaxed);
    }
    void setMaximumChannelCount(AUAudioChannelCount count) noexcept {
        maximumChannelCount_.store(count, std::memory_order_relaxed);
    }

    [[nodiscard]] bool isEnabled() const noexcept { return enabled_.load(std::memory_order_relaxed); }
    void setEnabled(bool enabled) noexcept { enabled_.store(enabled, std::memory_order_relaxed); }

    [[nodiscard]] std::string name() const;
    void setName(std::string name);

    // Set by the bus array that holds the bus.
    [[nodiscard]] NSInteger index() const noexcept { return index_.load(std::memory_order_relaxed); }
    [[nodiscard]] AUAudioUnitBusType busType() const noexcept { return busType_.load(std::memory_order_relaxed); }
    void setIndexAndType(NSInteger index, AUAudioUnitBusType type) noexcept {
        index_.store(index, std::memory_order_relaxed);
        busType_.store(type, std::memory_order_relaxed);
    }

    void setFormatValidator(FormatValidator validator);

private:
    AUAudioUnitBus() = default;

    mutable std::mutex mutex_;
    AVAudioFormatPtr format_;
    std::string name_;
    FormatValidator validator_;
    std::atomic<std::uint32_t> bytesPerFrame_{0};
    std::atomic<AUAudioChannelCount> maximumChannelCount_{std::numeric_limits<AUAudioChannelCount>::max()};
    std::atomic<bool> enabled_{true};
    std::atomic<NSInteger> index_{0};
    std::atomic<AUAudioUnitBusType> busType_{AUAudioUnitBusType::Output};
};

using AUAudioUnitBusPtr = std::shared_ptr<AUAudioUnitBus>;

}  // namespace audiounit
