#pragma once
// A stand-in for the platform's unified log: each message becomes one line on
// standard error naming its level, subsystem and category.

#include <string>
#include <string_view>

namespace foundation {

enum class LogLevel { Debug, Info, Notice, Error, Fault };

class Logger {
public:
    Logger(std::string subsystem, std::string category);

    [[nodiscard]] const std::string& subsystem() const noexcept { return subsystem_; }
    [[nodiscard]] const std::string& category() const noexcept { return category_; }

    // Writes "<level> [<subsystem>:<category>] <message>" as a single write, so
    // lines from different threads never interleave. Any thread.
    void log(LogLevel level, std::string_view message) const;
    void debug(std::string_view message) const { log(LogLevel::Debug, message); }
    void info(std::string_view message) const { log(LogLevel::Info, message); }
    void notice(std::string_view message) const { log(LogLevel::Notice, message); }
    void error(std::string_view message) const { log(LogLevel::Error, message); }
    void fault(std::string_view message) const { log(LogLevel::Fault, message); }

    // The line log() writes, without its newline.
    [[nodiscard]] std::string format(LogLevel level, std::string_view message) const;

private:
    std::string subsystem_;
    std::string category_;
};

[[nodiscard]] const char* logLevelName(LogLevel level) noexcept;

// Where the effect's diagnostic lines go ("Param was set ...", "FontLoader:
// ..."): standard output, one line each, unless whoever embeds the effect
// (a plugin wrapper that has its host's log) installs a sink. The sink and
// its context must stay valid until another sink replaces them.
using DiagnosticSink = void (*)(void* context, std::string_view line);
// Any thread but the render thread; null goes back to standard output.
void setDiagnosticSink(DiagnosticSink sink, void* context = nullptr);
// A sink that drops every line.
void discardDiagnostic(void* context, std::string_view line);
// One line, without its newline. Any thread but the render thread.
void writeDiagnostic(std::string_view line);

}  // namespace foundation
