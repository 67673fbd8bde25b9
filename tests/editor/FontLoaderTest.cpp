// Registering the editor's font from a bundle: the outcomes and their lines on
// standard output, and the family being usable afterwards.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "FontLoader.hpp"
#include "TempDir.hpp"
#include "ui/Fonts.hpp"

namespace fs = std::filesystem;

namespace {

std::string registerFrom(const foundation::Bundle& bundle) {
    testing::internal::CaptureStdout();
    registerEditorFont(bundle);
    return testing::internal::GetCapturedStdout();
}

TEST(FontLoader, RegistersTheShippedFontOnceAndReportsEveryOtherOutcome) {
    testsupport::TempDir bundle;
    const auto font = bundle.path() / "Resources" / "Glimra.otf";
    fs::create_directories(font.parent_path());
    EXPECT_EQ(registerFrom(foundation::Bundle(bundle.path())),
              "FontLoader: Glimra.otf not found in extension bundle: " + bundle.path().string() + "\n");
    // Without a bundle given, the one holding the code: the test executable's folder, without the font.
    const auto own = foundation::Bundle::forAddress(reinterpret_cast<const void*>(static_cast<void (*)()>(&registerEditorFont)));
    ASSERT_TRUE(own);
    testing::internal::CaptureStdout();
    registerEditorFont();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "FontLoader: Glimra.otf not found in extension bundle: " + own->bundlePath().string() + "\n");

    std::ofstream(font) << "not a font";
    std::string printed = registerFrom(foundation::Bundle(bundle.path()));
    EXPECT_EQ(printed.rfind("FontLoader: failed to register Glimra: Error Domain=", 0), 0u) << printed;
    EXPECT_NE(printed.find("Code=103"), std::string::npos) << printed;

    fs::copy_file(DUNMARROW_GLIMRA_FONT, font, fs::copy_options::overwrite_existing);
    EXPECT_EQ(registerFrom(foundation::Bundle(bundle.path())), "FontLoader: Glimra registered from: " + font.string() + "\n");
    EXPECT_EQ(ui::resolvedFontFamily(ui::Font::custom("Glimra", 64)), "Glimra");
    // A second registration of the same file is refused with an error.
    printed = registerFrom(foundation::Bundle(bundle.path()));
    EXPECT_EQ(printed.rfind("FontLoader: failed to register Glimra: Error Domain=", 0), 0u) << printed;
    EXPECT_NE(printed.find("Code=105"), std::string::npos) << printed;
}

}  // namespace
