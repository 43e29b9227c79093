#include "platform/linux/FileUserDefaults.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/fake/FakePlatform.h"

using tevra::linux_platform::FileUserDefaults;
namespace fs = std::filesystem;

namespace {

class FileUserDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_ = tevra::fake::FakePlatform::install();
        char tmpl[] = "/tmp/tevra-defaults-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/TevraARWebGL/defaults.json";
    }
    void TearDown() override { fs::remove_all(dir_); }

    static std::string read(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static void write(const std::string& p, const std::string& text) {
        fs::create_directories(fs::path(p).parent_path());
        std::ofstream(p, std::ios::binary) << text;
    }
    size_t filesIn(const std::string& d) const {
        size_t n = 0;
        for ([[maybe_unused]] auto& e : fs::directory_iterator(d)) ++n;
        return n;
    }

    std::shared_ptr<tevra::fake::FakePlatform> fake_;
    std::string dir_, path_;
};

}  // namespace

TEST_F(FileUserDefaultsTest, ValuesSurviveARestartAndRemovalRemoves) {
    {
        FileUserDefaults d(path_);
        EXPECT_FALSE(d.stringForKey("url"));
        d.setObject(std::string("https://example.org/a?b=ü"), "url");
        d.setObject(std::string("kept"), "other");
        EXPECT_TRUE(d.synchronize());
    }
    {
        FileUserDefaults d(path_);
        EXPECT_EQ(d.stringForKey("url").value_or(""), "https://example.org/a?b=ü");
        d.setObject(std::nullopt, "url");
        EXPECT_TRUE(d.synchronize());
    }
    FileUserDefaults d(path_);
    EXPECT_FALSE(d.stringForKey("url"));
    EXPECT_EQ(d.stringForKey("other").value_or(""), "kept");
    EXPECT_TRUE(fake_->log->systemLines().empty());
    EXPECT_EQ(filesIn(dir_ + "/TevraARWebGL"), 1u);  // no temporary files left behind
}

TEST_F(FileUserDefaultsTest, PendingChangesAreSavedAtDestructionAndForeignValuesKept) {
    write(path_, "{\"count\": 3, \"url\": \"old\"}");
    {
        FileUserDefaults d(path_);
        EXPECT_FALSE(d.stringForKey("count"));  // not a text
        d.setObject(std::string("new"), "url");
    }
    auto stored = nlohmann::json::parse(read(path_));
    EXPECT_EQ(stored["url"], "new");
    EXPECT_EQ(stored["count"], 3);
}

TEST_F(FileUserDefaultsTest, CorruptFileIsLoggedKeptAsideAndNotOverwritten) {
    for (std::string bad : {std::string("{\"url\": \"http://exa"), std::string(""), std::string("[1,2]"),
                            std::string("\x89PNG\r\n\x1a\n", 8)}) {
        SCOPED_TRACE(bad);
        fake_->log->clear();
        fs::remove(path_ + ".corrupt");
        write(path_, bad);
        FileUserDefaults d(path_);
        EXPECT_FALSE(d.stringForKey("url"));
        auto lines = fake_->log->systemLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("corrupt"), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find(path_), std::string::npos) << lines[0];
        EXPECT_EQ(read(path_ + ".corrupt"), bad);
        d.setObject(std::string("fresh"), "url");
        EXPECT_TRUE(d.synchronize());
        EXPECT_EQ(read(path_ + ".corrupt"), bad);
        EXPECT_EQ(FileUserDefaults(path_).stringForKey("url").value_or(""), "fresh");
    }
}

TEST_F(FileUserDefaultsTest, FailedWriteLeavesTheOldFileIntactAndRetriesLater) {
    FileUserDefaults d(path_);
    d.setObject(std::string("first"), "url");
    ASSERT_TRUE(d.synchronize());
    std::string before = read(path_);

    d.setObject(std::string("second, a much longer value than the first one"), "url");
    d.injectWriteFailureForTesting(true);
    EXPECT_FALSE(d.synchronize());
    EXPECT_EQ(read(path_), before);
    EXPECT_EQ(filesIn(dir_ + "/TevraARWebGL"), 1u);  // the partial temporary file is gone
    auto lines = fake_->log->systemLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("could not save"), std::string::npos) << lines[0];

    d.injectWriteFailureForTesting(false);
    EXPECT_TRUE(d.synchronize());  // still pending, written now
    EXPECT_EQ(FileUserDefaults(path_).stringForKey("url").value_or(""),
              "second, a much longer value than the first one");
}

TEST_F(FileUserDefaultsTest, UnwritableLocationFailsWithALogLine) {
    write(dir_ + "/blocker", "a file where a directory should be");
    FileUserDefaults d(dir_ + "/blocker/TevraARWebGL/defaults.json");
    d.setObject(std::string("x"), "url");
    EXPECT_FALSE(d.synchronize());
    EXPECT_EQ(d.stringForKey("url").value_or(""), "x");  // still readable in memory
    EXPECT_EQ(fake_->log->systemLines().size(), 1u);
}

TEST_F(FileUserDefaultsTest, DefaultPathFollowsXdgConfigHome) {
    std::string oldXdg = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
    std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("XDG_CONFIG_HOME", "/cfg/here", 1);
    EXPECT_EQ(FileUserDefaults::defaultPath(), "/cfg/here/TevraARWebGL/defaults.json");
    setenv("XDG_CONFIG_HOME", "relative/is/ignored", 1);
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(FileUserDefaults::defaultPath(), "/home/someone/.config/TevraARWebGL/defaults.json");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(FileUserDefaults::defaultPath(), "/home/someone/.config/TevraARWebGL/defaults.json");
    if (oldXdg.empty())
        unsetenv("XDG_CONFIG_HOME");
    else
        setenv("XDG_CONFIG_HOME", oldXdg.c_str(), 1);
    if (oldHome.empty())
        unsetenv("HOME");
    else
        setenv("HOME", oldHome.c_str(), 1);
}
