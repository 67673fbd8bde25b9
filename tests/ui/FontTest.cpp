// Process-local font registration: a family unknown to the system becomes usable.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "ui/Fonts.hpp"
#include "ui/View.hpp"
#include "ui/ViewHost.hpp"

namespace {

using namespace ui;
namespace fs = std::filesystem;

// Replaces every occurrence of `from` with `to` (same length), in the plain
// and the UTF-16BE forms the name table of a font file uses.
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

class FontRegistration : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path source = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
        if (!fs::exists(source)) GTEST_SKIP() << "needs " << source;
        dir = fs::temp_directory_path() / ("ui-fonts-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        std::string bytes(fs::file_size(source), '\0');
        std::ifstream(source, std::ios::binary).read(bytes.data(), std::streamsize(bytes.size()));
        renameFamily(bytes, "DejaVu Sans", "Qorvid Sans");
        fontPath = (dir / "Qorvid.ttf").string();
        std::ofstream(fontPath, std::ios::binary) << bytes;
        std::ofstream(dir / "not-a-font.otf") << "plain text";
    }
    void TearDown() override {
        if (!dir.empty()) fs::remove_all(dir);
    }
    fs::path dir;
    std::string fontPath;
};

TEST_F(FontRegistration, RegisteredFamilyIsUsedInsteadOfTheFallback) {
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

    // Registering the same file again is refused, as the platform does.
    const auto repeated = registerFontFile(fontPath);
    ASSERT_TRUE(repeated.has_value());
    EXPECT_EQ(repeated->code, kCTFontManagerErrorAlreadyRegistered);
    EXPECT_EQ(repeated->domain, CTFontManagerErrorDomain);
}

TEST_F(FontRegistration, MissingOrBrokenFilesGiveErrors) {
    const auto missing = registerFontFile((dir / "absent.otf").string());
    ASSERT_TRUE(missing.has_value());
    EXPECT_EQ(missing->code, kCTFontManagerErrorFileNotFound);
    const auto broken = registerFontFile((dir / "not-a-font.otf").string());
    ASSERT_TRUE(broken.has_value());
    EXPECT_EQ(broken->code, kCTFontManagerErrorUnrecognizedFormat);
    EXPECT_NE(broken->localizedDescription().find("not-a-font.otf"), std::string::npos);
}

}  // namespace
