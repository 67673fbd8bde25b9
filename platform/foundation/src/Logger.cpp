#include "foundation/Logger.hpp"

#include <unistd.h>

#include <iostream>
#include <mutex>

namespace foundation {

const char* logLevelName(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::Debug: return "debug";
        case LogLevel::Info: return "info";
        case LogLevel::Notice: return "notice";
        case LogLevel::Error: return "error";
        case LogLevel::Fault: return "fault";
    }
    return "log";
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

std::string Logger::format(LogLevel level, std::string_view message) const {
    std::string line = logLevelName(level);
    line += " [";
    line += subsystem_;
    line += ':';
    line += category_;
    line += "] ";
    line += message;
    return line;
}

void Logger::log(LogLevel level, std::string_view message) const {
    std::string line = format(level, message);
    line += '\n';
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const auto written = ::write(STDERR_FILENO, data, left);
        if (written <= 0) return;  // nowhere to log to: drop the line
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

namespace {

struct DiagnosticRoute {
    std::mutex mutex;
    DiagnosticSink sink = nullptr;
    void* context = nullptr;
};

DiagnosticRoute& diagnosticRoute() {
    static DiagnosticRoute route;
    return route;
}

}  // namespace

void setDiagnosticSink(DiagnosticSink sink, void* context) {
    DiagnosticRoute& route = diagnosticRoute();
    const std::lock_guard lock(route.mutex);
    route.sink = sink;
    route.context = context;
}

void discardDiagnostic(void*, std::string_view) {}

void writeDiagnostic(std::string_view line) {
    DiagnosticRoute& route = diagnosticRoute();
    const std::lock_guard lock(route.mutex);
    if (route.sink != nullptr) {
        route.sink(route.context, line);
        return;
    }
    std::cout << line << std::endl;
}

}  // namespace foundation
