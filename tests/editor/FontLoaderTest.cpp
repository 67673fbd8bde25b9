// Registering the editor's font from a bundle: the three outcomes and their
// lines on standard output, and the family being usable afterwards.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "FontLoader.hpp"
#include "ui/Fonts.hpp"

namespace fs = std::filesystem;

namespace {

class FontLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        bundlePath = fs::temp_directory_path() /
                     ("dunmarrow-fontloader-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) +
                      "-" + std::to_string(::getpid()));
        fs::remove_all(bundlePath);
        fs::create_directories(bundlePath / "Resources");
    }
    void TearDown() override { fs::remove_all(bundlePath); }

    std::string runLoader() {
        testing::internal::CaptureStdout();
        registerEditorFont(foundation::Bundle(bundlePath));
        return testing::internal::GetCapturedStdout();
    }

    fs::path bundlePath;
};

TEST_F(FontLoaderTest, MissingFontPrintsBundlePath) {
    EXPECT_EQ(runLoader(), "FontLoader: Glimra.otf not found in extension bundle: " + bundlePath.string() + "\n");
}

TEST_F(FontLoaderTest, RegistersShippedFontOnceThenReportsTheRefusal) {
    const auto font = bundlePath / "Resources" / "Glimra.otf";
    fs::copy_file(DUNMARROW_GLIMRA_FONT, font);
    EXPECT_EQ(runLoader(), "FontLoader: Glimra registered from: " + font.string() + "\n");
    EXPECT_EQ(ui::resolvedFontFamily(ui::Font::custom("Glimra", 64)), "Glimra");

    // A second registration of the same file is refused with an error.
    const std::string again = runLoader();
    EXPECT_EQ(again.rfind("FontLoader: failed to register Glimra: Error Domain=", 0), 0u) << again;
    EXPECT_NE(again.find("Code=105"), std::string::npos) << again;
}

TEST_F(FontLoaderTest, FileThatIsNotAFontPrintsTheError) {
    std::ofstream(bundlePath / "Resources" / "Glimra.otf") << "not a font";
    const std::string out = runLoader();
    EXPECT_EQ(out.rfind("FontLoader: failed to register Glimra: Error Domain=", 0), 0u) << out;
    EXPECT_NE(out.find("Code=103"), std::string::npos) << out;
}

TEST(FontLoaderDefaultBundle, UsesTheBundleHoldingTheCode) {
    // The test executable's folder has no Glimra.otf: the line names that folder.
    testing::internal::CaptureStdout();
    registerEditorFont();
    const std::string out = testing::internal::GetCapturedStdout();
    auto bundle = foundation::Bundle::forAddress(reinterpret_cast<const void*>(static_cast<void (*)()>(&registerEditorFont)));
    ASSERT_TRUE(bundle);
    EXPECT_EQ(out, "FontLoader: Glimra.otf not found in extension bundle: " + bundle->bundlePath().string() + "\n");
}

}  // namespace
