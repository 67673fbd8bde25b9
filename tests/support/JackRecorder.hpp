#pragma once
// A JACK client with one audio input "in" recording into a buffer sized up front, until it is full.

#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

namespace testsupport {

class JackRecorder {
public:
    explicit JackRecorder(std::size_t capacity)
        : samples_(capacity, 0.0f), client_(jack_client_open("recorder", JackNoStartServer, nullptr)) {
        if (client_ == nullptr) return;
        port_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &JackRecorder::process, this);
        jack_activate(client_);
    }
    ~JackRecorder() {
        if (client_ == nullptr) return;
        jack_deactivate(client_);
        jack_client_close(client_);
    }
    JackRecorder(const JackRecorder&) = delete;
    JackRecorder& operator=(const JackRecorder&) = delete;

    [[nodiscard]] bool ok() const { return client_ != nullptr && port_ != nullptr; }
    [[nodiscard]] jack_client_t* client() const { return client_; }
    bool listenTo(const std::string& port) { return jack_connect(client_, port.c_str(), jack_port_name(port_)) == 0; }
    [[nodiscard]] std::size_t recorded() const { return count_.load(std::memory_order_acquire); }
    [[nodiscard]] const std::vector<float>& samples() const { return samples_; }

private:
    // JACK's process thread: copies, never allocates, locks or blocks.
    static int process(jack_nframes_t frames, void* arg) {
        auto& self = *static_cast<JackRecorder*>(arg);
        const auto* in = static_cast<const float*>(jack_port_get_buffer(self.port_, frames));
        const std::size_t at = self.count_.load(std::memory_order_relaxed);
        const std::size_t n = std::min<std::size_t>(frames, self.samples_.size() - at);
        std::copy_n(in, n, self.samples_.begin() + std::ptrdiff_t(at));
        self.count_.store(at + n, std::memory_order_release);
        return 0;
    }

    std::vector<float> samples_;
    std::atomic<std::size_t> count_{0};
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
};

}  // namespace testsupport
