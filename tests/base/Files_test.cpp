// Removal of storage trees that hostile archives (or older versions) left:
// any depth with few descriptors, links never followed.
#include "base/Files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace tevra;
namespace fs = std::filesystem;

namespace {

// Builds top/C/C/.../C (`levels` directories below `top`) with descriptors
// only, so the depth may pass PATH_MAX; a file "f" every 100 levels.
void makeDeepTree(const fs::path& top, int levels, const std::string& component) {
    ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < levels; ++i) {
        ASSERT_EQ(::mkdirat(fd, component.c_str(), 0755), 0) << i;
        if (i % 100 == 0) ::close(::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        int next = ::openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        ASSERT_GE(next, 0) << i;
        fd = next;
    }
    ::close(fd);
}

// Lowers the soft descriptor limit for one scope.
class DescriptorLimit {
public:
    explicit DescriptorLimit(rlim_t soft) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = std::min<rlim_t>(soft, saved_.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    rlimit saved_{};
};

class StorageFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tevra-storage-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        fs::create_directories(root_ / "outside" / "keep");
        std::ofstream(root_ / "outside" / "keep" / "data") << "precious";
    }
    void TearDown() override {
        std::error_code ec;
        removeTree(root_.string());
        fs::remove_all(root_, ec);
    }
    fs::path root_;
};

}  // namespace

TEST_F(StorageFilesTest, DeepTreesGoWithAFewDescriptorsEvenPastPathMax) {
    // 1,100 levels under a 64-descriptor limit (one descriptor per level
    // would run out at 64).
    makeDeepTree(root_ / "deep", 1100, "d");
    {
        DescriptorLimit limit(64);
        EXPECT_TRUE(removeTree((root_ / "deep").string()));
    }
    EXPECT_FALSE(fs::exists(root_ / "deep"));

    // 400 levels of 20-byte names: about 8,400 bytes of path, past PATH_MAX.
    makeDeepTree(root_ / "long", 400, std::string(20, 'n'));
    EXPECT_TRUE(removeTree((root_ / "long").string()));
    EXPECT_FALSE(fs::exists(root_ / "long"));
}

TEST_F(StorageFilesTest, LinksAreRemovedNeverFollowed) {
    const fs::path tree = root_ / "tree";
    fs::create_directories(tree / "a" / "b");
    std::ofstream(tree / "a" / "b" / "file") << "x";
    fs::create_directory_symlink(root_ / "outside" / "keep", tree / "a" / "dirlink");
    fs::create_symlink(root_ / "outside" / "keep" / "data", tree / "a" / "b" / "filelink");
    fs::create_symlink("../../..", tree / "a" / "b" / "up");
    fs::create_symlink("missing", tree / "dangling");
    EXPECT_TRUE(removeTree(tree.string() + "/"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));

    // The path itself a link to a directory: the link goes, the directory stays.
    fs::create_directory_symlink(root_ / "outside" / "keep", root_ / "top-link");
    EXPECT_TRUE(removeTree((root_ / "top-link").string()));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "top-link")));

    std::ifstream in(root_ / "outside" / "keep" / "data");
    std::string data((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(data, "precious");
}

TEST_F(StorageFilesTest, FilesMissingPathsAndRefusals) {
    std::ofstream(root_ / "plain") << "x";
    EXPECT_TRUE(removeTree((root_ / "plain").string()));
    EXPECT_FALSE(fs::exists(root_ / "plain"));
    EXPECT_TRUE(removeTree((root_ / "never-was").string()));
    EXPECT_TRUE(removeTree((root_ / "no-parent" / "x").string()));
    for (const std::string p : {"", "/tmp/..", "."}) {
        auto removed = removeTree(p);
        ASSERT_FALSE(removed) << p;
        EXPECT_EQ(removed.error.domain, kStorageFileErrorDomain);
    }
    if (::geteuid() != 0) {
        // A directory that may not be changed: the failure is reported.
        fs::create_directories(root_ / "locked" / "inner");
        std::ofstream(root_ / "locked" / "inner" / "f") << "x";
        fs::permissions(root_ / "locked" / "inner", fs::perms::owner_read | fs::perms::owner_exec);
        auto removed = removeTree((root_ / "locked").string());
        ASSERT_FALSE(removed);
        EXPECT_EQ(removed.error.code, EACCES);
        EXPECT_NE(removed.error.localizedDescription.find("Could not remove " + (root_ / "locked").string()),
                  std::string::npos);
        fs::permissions(root_ / "locked" / "inner", fs::perms::owner_all);
    }
}

TEST_F(StorageFilesTest, PrivateDirectoriesAreFreshHiddenAndOwnerOnly) {
    auto a = makePrivateDirectory(root_.string());
    auto b = makePrivateDirectory(root_.string() + "/");
    ASSERT_TRUE(a && b);
    EXPECT_NE(*a, *b);
    EXPECT_EQ(fs::path(*a).parent_path(), root_);
    EXPECT_EQ(fs::path(*a).filename().string().rfind(kPrivateDirectoryPrefix, 0), 0u);
    struct stat st {};
    ASSERT_EQ(::stat(a->c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    auto missing = makePrivateDirectory((root_ / "none").string());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error.code, ENOENT);
}

TEST_F(StorageFilesTest, StalePrivateDirectoriesAreSweptFreshOnesKept) {
    auto stale = makePrivateDirectory(root_.string());
    auto fresh = makePrivateDirectory(root_.string());
    ASSERT_TRUE(stale && fresh);
    fs::create_directories(fs::path(*stale) / "unpacked" / "a");
    std::ofstream(root_ / ".tevra-unpack-file") << "not a directory";
    fs::create_directories(root_ / "model.mlmodelc");
    const timespec twoHoursAgo[2] = {{::time(nullptr) - 7200, 0}, {::time(nullptr) - 7200, 0}};
    for (const fs::path& p : {fs::path(*stale), root_ / ".tevra-unpack-file", root_ / "model.mlmodelc"})
        ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), twoHoursAgo, AT_SYMLINK_NOFOLLOW), 0);

    removeStalePrivateDirectories(root_.string(), std::chrono::seconds(3600));
    EXPECT_FALSE(fs::exists(*stale));
    EXPECT_TRUE(fs::exists(*fresh));
    EXPECT_TRUE(fs::exists(root_ / ".tevra-unpack-file"));
    EXPECT_TRUE(fs::exists(root_ / "model.mlmodelc"));
}
