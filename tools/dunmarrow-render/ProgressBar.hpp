#pragma once
// A one-line progress bar on standard error, drawn only when standard error is
// a terminal, so that logs and pipes get no control characters. Main thread.

#include <cstdint>
#include <cstdio>
#include <string>

namespace render {

class ProgressBar {
public:
    // total: frames expected, or -1 when unknown (then frames are counted instead).
    ProgressBar(std::string label, std::int64_t total, bool enabled);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void update(std::int64_t done);
    // Ends the bar's line, so that what follows starts on a fresh one.
    void finish();

    // True when the stream is a terminal.
    static bool isTerminal(std::FILE* stream);

private:
    std::string label_;
    std::int64_t total_;
    bool enabled_;
    bool drawn_ = false;
    int lastShown_ = -1;
};

}  // namespace render
