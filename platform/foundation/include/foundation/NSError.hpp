#pragma once
// An error value: a domain, a code and a human-readable description, returned
// beside a result by platform calls that can fail.

#include <cstdint>
#include <string>

namespace foundation {

inline constexpr const char* NSOSStatusErrorDomain = "NSOSStatusErrorDomain";
inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";

struct NSError {
    std::string domain;
    std::int64_t code = 0;
    std::string description;

    // "Error Domain=D Code=C \"description\"", the form diagnostics print.
    [[nodiscard]] std::string localizedDescription() const {
        std::string text = "Error Domain=" + domain + " Code=" + std::to_string(code);
        if (!description.empty()) text += " \"" + description + "\"";
        return text;
    }

    friend bool operator==(const NSError&, const NSError&) = default;
};

// An error of NSOSStatusErrorDomain for a platform status code.
inline NSError makeOSStatusError(std::int32_t status, std::string description = {}) {
    return NSError{NSOSStatusErrorDomain, status, std::move(description)};
}

}  // namespace foundation
