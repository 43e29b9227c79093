#include "platform/linux/LazyModelRuntime.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

using tevra::Limits;
using tevra::linux_platform::LazyModelRuntime;

namespace {
std::string librariesOf(const std::string& file) {
    std::string libraries;
    if (FILE* f = popen(("ldd '" + file + "' 2>&1").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) libraries.append(buf, n);
        pclose(f);
    }
    return libraries;
}
}  // namespace

// The platform library reaches OpenCV's DNN module only through the runtime
// library it loads on first use, and the host reaches the tracker only
// through its --camera module: neither links OpenCV.
TEST(LazyModelRuntime, NothingLinksTheRuntimeAndItLoadsOnFirstUse) {
    const std::string platformLibraries = librariesOf(TEVRA_LINUX_LIBRARY);
    EXPECT_EQ(platformLibraries.find("libopencv"), std::string::npos) << platformLibraries;
    const std::string hostLibraries = librariesOf(TEVRA_HOST_BINARY);
    ASSERT_NE(hostLibraries.find("libTevraARWebGLLinux"), std::string::npos) << hostLibraries;
    EXPECT_EQ(hostLibraries.find("libopencv"), std::string::npos) << hostLibraries;
    EXPECT_EQ(hostLibraries.find("libTevraARWebGLLive"), std::string::npos) << hostLibraries;
    EXPECT_EQ(hostLibraries.find("libTevraARWebGLModels"), std::string::npos) << hostLibraries;

    LazyModelRuntime runtime{Limits()};
    EXPECT_FALSE(runtime.loaded());
    // A package that is not there: the loaded runtime's own answer, not a
    // failure to load it.
    auto compiled = runtime.compileModelAtURL("/nonexistent/none.mlpackage");
    EXPECT_TRUE(runtime.loaded());
    ASSERT_FALSE(compiled);
    EXPECT_EQ(compiled.error.localizedDescription.find("could not be loaded"), std::string::npos)
        << compiled.error.localizedDescription;
}

// A host copied away from its camera module still runs recorded sessions;
// asked for a camera it stops with one line naming the missing module.
TEST(LazyModelRuntime, AHostWithoutItsCameraModuleStopsWithOneLine) {
    const std::string dir = testing::TempDir() + "tevra-host-alone";
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(TEVRA_HOST_BINARY, dir + "/tevra-host",
                               std::filesystem::copy_options::overwrite_existing);
    std::string out;
    if (FILE* f =
            popen(("timeout 60 '" + dir + "/tevra-host' --headless --camera test --seconds 1 2>&1").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        const int status = pclose(f);
        EXPECT_NE(status, 0) << out;
    }
    EXPECT_NE(out.find("tevra-host: the live camera module could not be loaded: "), std::string::npos) << out;
    EXPECT_NE(out.find("libtevra-host-live.so"), std::string::npos) << out;
    std::filesystem::remove_all(dir);
}
