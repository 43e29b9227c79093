#include "linux/support/GeneratedFiles.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

namespace fs = std::filesystem;

namespace tevra::testing {

namespace {

// Fixed at first use: some tests point TMPDIR elsewhere while they run.
const fs::path& base() {
    static const fs::path dir = fs::temp_directory_path() / ("tevra-generated-" + std::to_string(::getpid()));
    return dir;
}

class RemoveGenerated : public ::testing::Environment {
public:
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(base(), ec);
    }
};
[[maybe_unused]] ::testing::Environment* const kRemove = ::testing::AddGlobalTestEnvironment(new RemoveGenerated);

}  // namespace

const fs::path& generated(const std::string& name, const std::string& scriptAndArguments) {
    static std::map<std::string, fs::path> made;
    auto it = made.find(name);
    if (it != made.end()) return it->second;
    const fs::path dir = base() / name;
    std::error_code ec;
    fs::remove_all(dir, ec);
    const std::string script = scriptAndArguments.substr(0, scriptAndArguments.find(' '));
    const std::string arguments =
        script.size() < scriptAndArguments.size() ? scriptAndArguments.substr(script.size()) : std::string();
    const std::string cmd = std::string("/usr/bin/python3 ") + TEVRA_SOURCE_DIR + "/tools/" + script + " " +
                            dir.string() + arguments + " > /dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return made.emplace(name, dir).first->second;
}

}  // namespace tevra::testing
