#pragma once
// Process-local font registration: a font file made available to this
// process's text drawing without installing it. Main thread; best done before
// the first text is measured (Pango's font map is recreated afterwards, so
// later registrations work too, at the cost of its caches).

#include <optional>
#include <string>

#include "foundation/NSError.hpp"
#include "ui/Geometry.hpp"

namespace ui {

inline constexpr const char* CTFontManagerErrorDomain = "com.apple.CoreText.CTFontManagerErrorDomain";
enum CTFontManagerError : int {
    kCTFontManagerErrorFileNotFound = 101,
    kCTFontManagerErrorUnrecognizedFormat = 103,
    kCTFontManagerErrorAlreadyRegistered = 105,
};

// Registers every face in the file for this process. Errors: file not found,
// not a font file, or the same file registered before.
std::optional<foundation::NSError> registerFontFile(const std::string& path);

// The family text drawing really uses for `font` (a missing family resolves to
// the system fallback's).
std::string resolvedFontFamily(const Font& font);

}  // namespace ui
