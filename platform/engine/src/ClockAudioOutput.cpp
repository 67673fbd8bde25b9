#include "ClockAudioOutput.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>

#include "engine/AVAudioEngine.hpp"

namespace engine {

ClockAudioOutput::ClockAudioOutput(AVAudioEngine& engine, double sampleRate,
                                   audiounit::AUAudioFrameCount periodFrames)
    : engine_(engine),
      sampleRate_(sampleRate),
      periodFrames_(std::min(periodFrames, engine.maximumFramesToRender())),
      scratch_(std::size_t{2} * periodFrames_, 0.0f) {
    for (std::uint32_t c = 0; c < 2; ++c) {
        list_->mBuffers[c] = audiounit::AudioBuffer{1, periodFrames_ * 4u, scratch_.data() + c * periodFrames_};
    }
}

ClockAudioOutput::~ClockAudioOutput() { stop(); }

void ClockAudioOutput::start() {
    if (running_.exchange(true)) return;
    thread_ = std::thread([this] { run(); });
    sched_param param{};
    param.sched_priority = 70;
    // Refused without the privilege; the clock then runs at normal priority.
    (void)pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &param);
}

void ClockAudioOutput::stop() {
    if (!running_.exchange(false)) return;
    if (thread_.joinable()) thread_.join();
}

// The clock thread: the render thread of this output.
void ClockAudioOutput::run() noexcept {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(periodFrames_ / sampleRate_));
    auto next = Clock::now();
    while (running_.load(std::memory_order_acquire)) {
        engine_.renderCycle(periodFrames_, *list_.get());
        next += period;
        const auto now = Clock::now();
        // After a stall, carry on from now instead of rendering the missed ticks in a burst.
        if (now > next + 8 * period) next = now;
        std::this_thread::sleep_until(next);
    }
}

}  // namespace engine
