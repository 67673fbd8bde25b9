#pragma once
// A private dummy-driver jackd as this process's default server, and a client playing queued MIDI.
// A test that starts one is named in its program's JACK_TESTS (cmake/Dunmarrow.cmake), so that no two run at once.

#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "RunProgram.hpp"
#include "TempDir.hpp"

namespace testsupport {

class JackTestServer {
public:
    static std::string jackdPath() { return std::filesystem::exists("/usr/bin/jackd") ? "/usr/bin/jackd" : ""; }

    // JACK's machine-wide registry holds eight servers and frees a dead one's slot only when its name starts
    // again, so names come from a small pool; a name a live server holds makes jackd exit and the next is tried.
    JackTestServer() {
        const auto jackd = jackdPath();
        if (jackd.empty()) return;
        ::setenv("JACK_NO_START_SERVER", "1", 1);
        jack_set_error_function(+[](const char*) {});  // each refused connection attempt
        for (int slot = 0; slot < 8 && !ready_; ++slot) {
            name_ = "dunmarrow-midi-test-" + std::to_string(slot);
            ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
            start(jackd);
        }
        jack_set_error_function(+[](const char* message) { std::fprintf(stderr, "JACK: %s\n", message); });
    }

    ~JackTestServer() { stop(); }
    JackTestServer(const JackTestServer&) = delete;
    JackTestServer& operator=(const JackTestServer&) = delete;

    [[nodiscard]] bool ready() const { return ready_; }

    // SIGSTOP: it keeps its clients but answers nothing. A stop is delivered asynchronously; this returns once
    // every thread of the server has stopped (or after five seconds), so that a request made next is not answered.
    void pause() {
        if (pid_ <= 0 || ::kill(pid_, SIGSTOP) != 0) return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid_, &status, WUNTRACED | WNOHANG) == pid_) {
                if (!WIFSTOPPED(status)) pid_ = -1;  // it had ended
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void resume() const {
        if (pid_ > 0) ::kill(pid_, SIGCONT);
    }

    // Paused or not; killed when it has not ended after twenty seconds.
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::kill(pid_, SIGCONT);
            if (int status = 0; reapWithin(pid_, status, std::chrono::seconds(20)) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
        }
        pid_ = -1;
        ready_ = false;
        scratch_.reset();  // open files live on until jackd ends
    }

private:
    void start(const std::string& jackd) {
        stop();
        scratch_.emplace();  // for its output
        ProgramOptions options;
        options.scratch = scratch_->path();
        pid_ = startProgram({jackd, "-n", name_, "--no-realtime", "-d", "dummy", "-r", "48000", "-p", "256"}, options)
                   .pid;
        const auto exited = [this] {
            if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) != pid_) return false;
            pid_ = -1;
            return true;
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline && !exited()) {  // exited: the name is taken, or jackd failed
            jack_status_t status{};
            if (jack_client_t* probe = jack_client_open("probe", JackNoStartServer, &status)) {
                jack_client_close(probe);
                // A live server of the same name answers too; ours would have given up by now.
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                ready_ = !exited();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stop();
    }

    std::string name_;
    std::optional<TempDir> scratch_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// One MIDI output port "out", playing queued messages at its next cycle's start.
class JackTestKeyboard {
public:
    explicit JackTestKeyboard(const std::string& clientName) {
        jack_status_t status{};
        client_ = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
        if (client_ == nullptr) return;
        port_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client_, process, this);
        jack_on_shutdown(client_, [](void* arg) { static_cast<JackTestKeyboard*>(arg)->serverGone_ = true; }, this);
        jack_activate(client_);
    }
    ~JackTestKeyboard() {
        if (client_ == nullptr) return;
        if (!serverGone_) jack_deactivate(client_);
        jack_client_close(client_);
    }
    JackTestKeyboard(const JackTestKeyboard&) = delete;
    JackTestKeyboard& operator=(const JackTestKeyboard&) = delete;

    [[nodiscard]] bool ok() const { return client_ != nullptr && port_ != nullptr; }
    [[nodiscard]] std::string portName() const { return port_ ? jack_port_name(port_) : std::string(); }
    [[nodiscard]] int connectionCount() const { return port_ ? jack_port_connected(port_) : 0; }

    void send(std::vector<std::uint8_t> message) {
        const std::lock_guard lock(mutex_);
        pending_.push_back(std::move(message));
    }

private:
    // JACK's process thread. Test code: a try-lock is good enough here.
    static int process(jack_nframes_t frames, void* arg) {
        auto& self = *static_cast<JackTestKeyboard*>(arg);
        void* buffer = jack_port_get_buffer(self.port_, frames);
        jack_midi_clear_buffer(buffer);
        if (self.mutex_.try_lock()) {
            jack_nframes_t time = 0;
            for (const auto& message : self.pending_)
                jack_midi_event_write(buffer, time++ % frames, message.data(), message.size());
            self.pending_.clear();
            self.mutex_.unlock();
        }
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    std::atomic<bool> serverGone_{false};
    std::mutex mutex_;
    std::vector<std::vector<std::uint8_t>> pending_;
};

}  // namespace testsupport
