// Process-local font registration: a family unknown to the system becomes usable.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TempDir.hpp"
#include "ui/Fonts.hpp"
#include "ui/View.hpp"
#include "ui/ViewHost.hpp"

namespace {

using namespace ui;
namespace fs = std::filesystem;

// Renames (same length) in the plain and the UTF-16BE forms a font file's name table uses.
void renameFamily(std::string& bytes, const std::string& from, const std::string& to) {
    auto replaceAll = [&](const std::string& a, const std::string& b) {
        for (std::size_t at = bytes.find(a); at != std::string::npos; at = bytes.find(a, at + b.size())) bytes.replace(at, a.size(), b);
    };
    auto wide = [](const std::string& s) {
        std::string w;
        for (char c : s) w += std::string{'\0', c};
        return w;
    };
    replaceAll(from, to);
    replaceAll(wide(from), wide(to));
}

TEST(FontRegistration, ARegisteredFamilyReplacesTheFallbackAndBadFilesGiveErrors) {
    const fs::path source = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
    if (!fs::exists(source)) GTEST_SKIP() << "needs " << source;
    testsupport::TempDir dir;
    std::string bytes(fs::file_size(source), '\0');
    std::ifstream(source, std::ios::binary).read(bytes.data(), std::streamsize(bytes.size()));
    renameFamily(bytes, "DejaVu Sans", "Qorvid Sans");
    const std::string fontPath = dir.path("Qorvid.ttf");
    std::ofstream(fontPath, std::ios::binary) << bytes;
    std::ofstream(dir.path("not-a-font.otf")) << "plain text";

    // Text has been measured already: the registration must reach a live font map.
    ViewHost host(Text("Dunmarrow").font(Font::custom("Qorvid Sans", 52)), {400, 100});
    const Rect before = *host.frameOf("Dunmarrow");
    EXPECT_NE(resolvedFontFamily(Font::custom("Qorvid Sans", 52)), "Qorvid Sans");
    const auto error = registerFontFile(fontPath);
    ASSERT_FALSE(error.has_value()) << error->localizedDescription();
    EXPECT_EQ(resolvedFontFamily(Font::custom("Qorvid Sans", 52)), "Qorvid Sans");
    // The bold face is wider than the regular fallback.
    ViewHost again(Text("Dunmarrow").font(Font::custom("Qorvid Sans", 52)), {400, 100});
    EXPECT_GT(again.frameOf("Dunmarrow")->width, before.width + 5);
    // A host laid out before the registration measures its text anew.
    EXPECT_EQ(host.frameOf("Dunmarrow")->width, again.frameOf("Dunmarrow")->width);

    // Registering the same file again is refused, as the platform does; so are missing and broken files.
    for (const auto& [path, code] : {std::pair{fontPath, kCTFontManagerErrorAlreadyRegistered},
                                     {dir.path("absent.otf"), kCTFontManagerErrorFileNotFound},
                                     {dir.path("not-a-font.otf"), kCTFontManagerErrorUnrecognizedFormat}}) {
        const auto refused = registerFontFile(path);
        ASSERT_TRUE(refused.has_value()) << path;
        EXPECT_EQ(refused->code, code);
        EXPECT_EQ(refused->domain, CTFontManagerErrorDomain);
        EXPECT_NE(refused->localizedDescription().find(fs::path(path).filename().string()), std::string::npos);
    }
}

}  // namespace
