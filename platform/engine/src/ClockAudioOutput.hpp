#pragma once
// The output used when there is no JACK server: a thread that renders one
// engine cycle per period, on a real-time clock, into a scratch buffer that
// nobody hears. It asks for real-time scheduling and runs without it if refused.

#include <atomic>
#include <thread>
#include <vector>

#include "audiounit/RenderContract.hpp"

namespace engine {

class AVAudioEngine;

class ClockAudioOutput {
public:
    ClockAudioOutput(AVAudioEngine& engine, double sampleRate, audiounit::AUAudioFrameCount periodFrames);
    ~ClockAudioOutput();
    ClockAudioOutput(const ClockAudioOutput&) = delete;
    ClockAudioOutput& operator=(const ClockAudioOutput&) = delete;

    void start();
    // Returns once the clock thread has ended.
    void stop();

private:
    void run() noexcept;

    AVAudioEngine& engine_;
    double sampleRate_;
    audiounit::AUAudioFrameCount periodFrames_;
    std::vector<float> scratch_;
    audiounit::AudioBufferListStorage list_{2};
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace engine
