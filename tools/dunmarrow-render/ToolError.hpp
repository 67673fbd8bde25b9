#pragma once
// The one kind of failure the tool reports: a message that main prints after
// "dunmarrow-render: " before it exits with a non-zero status. Thrown only on
// the main thread, never from inside a render cycle.

#include <stdexcept>
#include <string>

namespace render {

class ToolError : public std::runtime_error {
public:
    explicit ToolError(const std::string& message, int exitStatus = 1)
        : std::runtime_error(message), exitStatus_(exitStatus) {}
    [[nodiscard]] int exitStatus() const noexcept { return exitStatus_; }

private:
    int exitStatus_;
};

}  // namespace render
