#include "ProgressBar.hpp"

#include <unistd.h>

#include <algorithm>

namespace render {

ProgressBar::ProgressBar(std::string label, std::int64_t total, bool enabled)
    : label_(std::move(label)), total_(total), enabled_(enabled) {}

ProgressBar::~ProgressBar() { finish(); }

bool ProgressBar::isTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

void ProgressBar::update(std::int64_t done) {
    if (!enabled_) return;
    constexpr int kWidth = 40;
    if (total_ > 0) {
        const int percent = static_cast<int>(std::min<std::int64_t>(100, done * 100 / total_));
        if (percent == lastShown_) return;
        lastShown_ = percent;
        const int filled = percent * kWidth / 100;
        std::fprintf(stderr, "\r%s [%s%s] %3d%%", label_.c_str(), std::string(static_cast<std::size_t>(filled), '#').c_str(),
                     std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(), percent);
    } else {
        // Length unknown: show the count, about ten times a second of audio at 44.1 kHz.
        const int step = static_cast<int>(done / 4410);
        if (step == lastShown_) return;
        lastShown_ = step;
        std::fprintf(stderr, "\r%s %lld frames", label_.c_str(), static_cast<long long>(done));
    }
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressBar::finish() {
    if (drawn_) std::fputc('\n', stderr);
    drawn_ = false;
}

}  // namespace render
