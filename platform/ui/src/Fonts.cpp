#include "ui/Fonts.hpp"

#include <fontconfig/fontconfig.h>

#include <filesystem>
#include <set>

#include "TextEngine.hpp"

namespace ui {

std::optional<foundation::NSError> registerFontFile(const std::string& path) {
    static std::set<std::string> registered;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return foundation::NSError{CTFontManagerErrorDomain, kCTFontManagerErrorFileNotFound,
                                   "The file \"" + path + "\" could not be found."};
    const std::string canonical = std::filesystem::canonical(path, ec).string();
    if (registered.contains(canonical))
        return foundation::NSError{CTFontManagerErrorDomain, kCTFontManagerErrorAlreadyRegistered,
                                   "The file \"" + path + "\" has already been registered in the specified scope."};

    // Ask FreeType (through fontconfig) whether the file holds any face at all;
    // fontconfig itself accepts files it finds nothing in.
    FcFontSet* faces = FcFontSetCreate();
    const unsigned count = FcFreeTypeQueryAll(reinterpret_cast<const FcChar8*>(canonical.c_str()), -1, nullptr, nullptr, faces);
    FcFontSetDestroy(faces);
    if (count == 0 || !FcConfigAppFontAddFile(FcConfigGetCurrent(), reinterpret_cast<const FcChar8*>(canonical.c_str())))
        return foundation::NSError{CTFontManagerErrorDomain, kCTFontManagerErrorUnrecognizedFormat,
                                   "The file \"" + path + "\" is not a recognised font file."};
    registered.insert(canonical);
    resetFontCaches();
    return std::nullopt;
}

std::string resolvedFontFamily(const Font& font) { return resolvedFamily(font); }

}  // namespace ui
