#pragma once
// Keeps the render thread out of state that the main thread is changing,
// without the render thread ever waiting.
//
// The render thread calls tryEnter() at the start of a cycle and leave() at its
// end; when tryEnter() fails it renders silence for that cycle. The main thread
// holds a RenderGate::Closed while it changes render state: closing waits (on
// the main thread) until a cycle in progress has left, and no cycle enters until
// the gate opens again. Both sides use sequentially consistent operations on two
// flags, so at least one of them always sees the other.

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace engine {

class RenderGate {
public:
    // Render thread. Never blocks.
    [[nodiscard]] bool tryEnter() noexcept {
        inside_.store(true, std::memory_order_seq_cst);
        if (closed_.load(std::memory_order_seq_cst)) {
            inside_.store(false, std::memory_order_release);
            return false;
        }
        return true;
    }
    // Render thread, after a successful tryEnter().
    void leave() noexcept { inside_.store(false, std::memory_order_release); }

    // Main-side scope that keeps the render thread out. Closers queue on a mutex;
    // the render thread never touches it.
    class Closed {
    public:
        explicit Closed(RenderGate& gate) : gate_(gate), lock_(gate.closers_) {
            gate_.closed_.store(true, std::memory_order_seq_cst);
            while (gate_.inside_.load(std::memory_order_seq_cst)) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        }
        ~Closed() { gate_.closed_.store(false, std::memory_order_release); }
        Closed(const Closed&) = delete;
        Closed& operator=(const Closed&) = delete;

    private:
        RenderGate& gate_;
        std::lock_guard<std::recursive_mutex> lock_;
    };

private:
    std::atomic<bool> inside_{false};
    std::atomic<bool> closed_{false};
    std::recursive_mutex closers_;
};

}  // namespace engine
