// Bundles (lookup by address, the main bundle, resources, the information
// file) and the log's line format.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "foundation/Bundle.hpp"
#include "foundation/Logger.hpp"

using namespace foundation;
namespace fs = std::filesystem;

namespace {

int functionInTheTestExecutable() { return 1; }

// A fresh folder under the system's temporary folder, removed afterwards.
class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "dunmarrow-bundle-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    [[nodiscard]] const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void writeFile(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

}  // namespace

TEST(BundleTest, AnAddressGivesTheFolderOfItsExecutableAndTheMainBundleIsThatUnlessOverridden) {
    const fs::path executableFolder = fs::canonical("/proc/self/exe").parent_path();
    const auto bundle = Bundle::forAddress(reinterpret_cast<const void*>(&functionInTheTestExecutable));
    ASSERT_TRUE(bundle.has_value());
    EXPECT_EQ(bundle->bundlePath(), executableFolder);
    EXPECT_FALSE(Bundle::forAddress(nullptr).has_value());

    ::unsetenv("DUNMARROW_MAIN_BUNDLE");
    EXPECT_EQ(Bundle::main().bundlePath(), executableFolder);
    TemporaryFolder folder;
    ::setenv("DUNMARROW_MAIN_BUNDLE", folder.path().c_str(), 1);
    EXPECT_EQ(Bundle::main().bundlePath(), folder.path());
    ::setenv("DUNMARROW_MAIN_BUNDLE", "", 1);
    EXPECT_EQ(Bundle::main().bundlePath(), executableFolder);
    ::unsetenv("DUNMARROW_MAIN_BUNDLE");
}

TEST(BundleTest, AnAddressInAModuleGivesTheBundleFolderHoldingIt) {
    void* module = ::dlopen(FOUNDATION_TEST_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << ::dlerror();
    const void* symbol = ::dlsym(module, "foundationTestModuleAnswer");
    ASSERT_NE(symbol, nullptr);
    const auto bundle = Bundle::forAddress(symbol);
    ASSERT_TRUE(bundle.has_value());
    EXPECT_EQ(bundle->bundlePath(), fs::canonical(FOUNDATION_TEST_MODULE).parent_path());
    EXPECT_EQ(bundle->bundlePath().filename(), "TestModule.bundle");
    EXPECT_EQ(bundle->bundleIdentifier(), "org.dunmarrow.tests.module");
    EXPECT_EQ(bundle->stringForInfoDictionaryKey("CFBundleName"), "TestModule");
    // Present but not text.
    ASSERT_NE(bundle->objectForInfoDictionaryKey("Version"), nullptr);
    EXPECT_EQ(*bundle->objectForInfoDictionaryKey("Version"), 3);
    EXPECT_FALSE(bundle->stringForInfoDictionaryKey("Version").has_value());
    ::dlclose(module);
}

TEST(BundleTest, ResourcesAreFoundInResourcesThenAtTheTop) {
    TemporaryFolder folder;
    writeFile(folder.path() / "Resources" / "Synth.aif", "FORM");
    writeFile(folder.path() / "Top.txt", "top");
    fs::create_directories(folder.path() / "Resources" / "Folder.aif");
    const Bundle bundle(folder.path());
    EXPECT_EQ(bundle.urlForResource("Synth", "aif"), folder.path() / "Resources" / "Synth.aif");
    EXPECT_EQ(bundle.urlForResource("Synth", ".aif"), folder.path() / "Resources" / "Synth.aif");
    EXPECT_EQ(bundle.urlForResource("Synth.aif", ""), folder.path() / "Resources" / "Synth.aif");
    EXPECT_EQ(bundle.urlForResource("Top", "txt"), folder.path() / "Top.txt");
    EXPECT_FALSE(bundle.urlForResource("Synth", "wav"));
    EXPECT_FALSE(bundle.urlForResource("Folder", "aif"));  // a folder is not a resource file
    EXPECT_FALSE(bundle.urlForResource("", "aif"));
    // No Info.json: an empty dictionary and no error.
    EXPECT_TRUE(bundle.infoDictionary().empty());
    EXPECT_TRUE(bundle.infoError().empty());
    EXPECT_FALSE(Bundle::isBundleFolder(folder.path()));
}

TEST(BundleTest, MalformedOrNonObjectInfoIsReportedWithItsPathAndIgnored) {
    TemporaryFolder folder;
    const auto info = folder.path() / "Info.json";
    writeFile(info, "{\n  \"CFBundleName\": \"X\",\n  \"Broken\" 1\n}");
    const Bundle broken(folder.path());
    EXPECT_TRUE(Bundle::isBundleFolder(folder.path()));
    EXPECT_TRUE(broken.infoDictionary().empty());
    // The parser's words follow, saying where the mistake is.
    EXPECT_EQ(broken.infoError().rfind(info.string() + ": is not valid JSON: ", 0), 0u) << broken.infoError();
    EXPECT_NE(broken.infoError().find(" at line 3, column "), std::string::npos) << broken.infoError();

    writeFile(info, "[\"CFBundleName\"]");
    const Bundle array(folder.path());
    EXPECT_TRUE(array.infoDictionary().empty());
    EXPECT_EQ(array.infoError(), info.string() + ": must hold a JSON object");
}

TEST(LoggerTest, WritesOneLineWithLevelSubsystemAndCategory) {
    const Logger logger("org.dunmarrow.DunmarrowAUExtension", "AudioUnitViewController");
    EXPECT_EQ(logger.format(LogLevel::Error, "Unable to access AU ParameterTree"),
              "error [org.dunmarrow.DunmarrowAUExtension:AudioUnitViewController] Unable to access AU "
              "ParameterTree");
    testing::internal::CaptureStderr();
    logger.error("Unable to access AU ParameterTree");
    logger.info("second");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "error [org.dunmarrow.DunmarrowAUExtension:AudioUnitViewController] Unable to access AU "
              "ParameterTree\n"
              "info [org.dunmarrow.DunmarrowAUExtension:AudioUnitViewController] second\n");
}
