// Bundles (lookup by address, the main bundle, resources, the information file) and the log's line format.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "TempDir.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/Logger.hpp"

using namespace foundation;
namespace fs = std::filesystem;

namespace {

int functionInTheTestExecutable() { return 1; }

void writeFile(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

}  // namespace

TEST(BundleTest, AnAddressGivesTheFolderOfItsExecutableOrModuleAndTheMainBundleIsThatUnlessOverridden) {
    const fs::path executableFolder = fs::canonical("/proc/self/exe").parent_path();
    const auto bundle = Bundle::forAddress(reinterpret_cast<const void*>(&functionInTheTestExecutable));
    ASSERT_TRUE(bundle.has_value());
    EXPECT_EQ(bundle->bundlePath(), executableFolder);
    EXPECT_FALSE(Bundle::forAddress(nullptr).has_value());

    ::unsetenv("DUNMARROW_MAIN_BUNDLE");
    EXPECT_EQ(Bundle::main().bundlePath(), executableFolder);
    testsupport::TempDir folder;
    ::setenv("DUNMARROW_MAIN_BUNDLE", folder.path().c_str(), 1);
    EXPECT_EQ(Bundle::main().bundlePath(), folder.path());
    ::setenv("DUNMARROW_MAIN_BUNDLE", "", 1);
    EXPECT_EQ(Bundle::main().bundlePath(), executableFolder);
    ::unsetenv("DUNMARROW_MAIN_BUNDLE");

    void* module = ::dlopen(FOUNDATION_TEST_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << ::dlerror();
    const auto inModule = Bundle::forAddress(::dlsym(module, "foundationTestModuleAnswer"));
    ASSERT_TRUE(inModule.has_value());
    EXPECT_EQ(inModule->bundlePath(), fs::canonical(FOUNDATION_TEST_MODULE).parent_path());
    EXPECT_EQ(inModule->bundleIdentifier(), "org.dunmarrow.tests.module");
    EXPECT_EQ(inModule->stringForInfoDictionaryKey("CFBundleName"), "TestModule");
    // Present but not text.
    ASSERT_NE(inModule->objectForInfoDictionaryKey("Version"), nullptr);
    EXPECT_EQ(*inModule->objectForInfoDictionaryKey("Version"), 3);
    EXPECT_FALSE(inModule->stringForInfoDictionaryKey("Version").has_value());
    ::dlclose(module);
}

TEST(BundleTest, ResourcesAreFoundInResourcesThenAtTheTopAndABrokenInfoFileIsReportedAndIgnored) {
    testsupport::TempDir folder;
    const auto& top = folder.path();
    writeFile(top / "Resources" / "Synth.aif", "FORM");
    writeFile(top / "Top.txt", "top");
    fs::create_directories(top / "Resources" / "Folder.aif");
    const Bundle bundle(top);
    EXPECT_EQ(bundle.urlForResource("Synth", "aif"), top / "Resources" / "Synth.aif");
    EXPECT_EQ(bundle.urlForResource("Synth", ".aif"), top / "Resources" / "Synth.aif");
    EXPECT_EQ(bundle.urlForResource("Synth.aif", ""), top / "Resources" / "Synth.aif");
    EXPECT_EQ(bundle.urlForResource("Top", "txt"), top / "Top.txt");
    EXPECT_FALSE(bundle.urlForResource("Synth", "wav"));
    EXPECT_FALSE(bundle.urlForResource("Folder", "aif"));  // a folder is not a resource file
    EXPECT_FALSE(bundle.urlForResource("", "aif"));
    // No Info.json: an empty dictionary and no error.
    EXPECT_TRUE(bundle.infoDictionary().empty());
    EXPECT_TRUE(bundle.infoError().empty());
    EXPECT_FALSE(Bundle::isBundleFolder(top));

    const auto info = top / "Info.json";
    writeFile(info, "{\n  \"CFBundleName\": \"X\",\n  \"Broken\" 1\n}");
    const Bundle broken(top);
    EXPECT_TRUE(Bundle::isBundleFolder(top));
    EXPECT_TRUE(broken.infoDictionary().empty());
    EXPECT_EQ(broken.infoError().rfind(info.string() + ": is not valid JSON: ", 0), 0u) << broken.infoError();
    EXPECT_NE(broken.infoError().find(" at line 3, column "), std::string::npos) << broken.infoError();
    writeFile(info, "[\"CFBundleName\"]");
    EXPECT_EQ(Bundle(top).infoError(), info.string() + ": must hold a JSON object");
}

TEST(LoggerTest, WritesOneLineWithLevelSubsystemAndCategory) {
    const Logger logger("org.dunmarrow.DunmarrowAUExtension", "AudioUnitViewController");
    testing::internal::CaptureStderr();
    logger.error("Unable to access AU ParameterTree");
    logger.info("second");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "error [org.dunmarrow.DunmarrowAUExtension:AudioUnitViewController] Unable to access AU "
              "ParameterTree\n"
              "info [org.dunmarrow.DunmarrowAUExtension:AudioUnitViewController] second\n");
}
