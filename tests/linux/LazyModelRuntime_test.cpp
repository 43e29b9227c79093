#include "platform/linux/LazyModelRuntime.h"

#include <gtest/gtest.h>

#include <cstdio>
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
