#include "platform/linux/ZipExtractor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <deque>
#include <filesystem>
#include <fstream>

using tevra::linux_platform::ZipExtractor;
namespace fs = std::filesystem;

namespace {

// Builds a ZIP file with libzip, entry by entry.
class ZipBuilder {
public:
    explicit ZipBuilder(std::string path) : path_(std::move(path)) {
        int err = 0;
        zip_ = zip_open(path_.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    }
    ~ZipBuilder() {
        if (zip_) zip_discard(zip_);
    }
    ZipBuilder& file(const std::string& name, const std::string& content, mode_t mode = 0644, bool store = false) {
        return add(name, content, S_IFREG | mode, store);
    }
    ZipBuilder& link(const std::string& name, const std::string& target) {
        return add(name, target, S_IFLNK | 0777, true);
    }
    ZipBuilder& dir(const std::string& name) {
        zip_int64_t i = zip_dir_add(zip_, name.c_str(), ZIP_FL_ENC_UTF_8);
        EXPECT_GE(i, 0) << name;
        return *this;
    }
    bool close() {
        bool ok = zip_close(zip_) == 0;
        zip_ = nullptr;
        return ok;
    }

private:
    ZipBuilder& add(const std::string& name, const std::string& content, mode_t mode, bool store) {
        data_.push_back(content);
        zip_source_t* src = zip_source_buffer(zip_, data_.back().data(), data_.back().size(), 0);
        zip_int64_t i = zip_file_add(zip_, name.c_str(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
        EXPECT_GE(i, 0) << name;
        if (i < 0) return zip_source_free(src), *this;
        zip_file_set_external_attributes(zip_, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_UNIX,
                                         static_cast<zip_uint32_t>(mode) << 16);
        if (store) zip_set_file_compression(zip_, static_cast<zip_uint64_t>(i), ZIP_CM_STORE, 0);
        return *this;
    }

    std::string path_;
    zip_t* zip_ = nullptr;
    std::deque<std::string> data_;
};

class ZipExtractorTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tevra-zip-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        archive_ = root_ + "/model.zip";
        dest_ = root_ + "/out/model";
    }
    void TearDown() override { fs::remove_all(root_); }

    static std::string read(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    long extract(ZipExtractor::Limits limits = {}) {
        auto error = ZipExtractor(limits).unzipItem(archive_, dest_);
        if (error) message_ = error->localizedDescription;
        return error ? error->code : 0;
    }

    std::string root_, archive_, dest_, message_;
};

}  // namespace

TEST_F(ZipExtractorTest, ExtractsAModelPackageWithDirectoriesFilesAndModes) {
    std::string weights;
    for (int i = 0; i < 200000; ++i) weights.push_back(static_cast<char>(i * 13 + (i >> 7)));
    ZipBuilder b(archive_);
    b.dir("X.mlpackage/")
        .file("X.mlpackage/Manifest.json", "{\"fileFormatVersion\":\"1.0.0\"}")
        .file("X.mlpackage/Data/weights.bin", weights)
        .file("tools/run.sh", "#!/bin/sh\n", 0755)
        .dir("empty/");
    ASSERT_TRUE(b.close());

    ASSERT_EQ(extract(), 0) << message_;
    EXPECT_TRUE(fs::is_directory(dest_ + "/X.mlpackage"));
    EXPECT_TRUE(fs::is_directory(dest_ + "/empty"));
    EXPECT_EQ(read(dest_ + "/X.mlpackage/Manifest.json"), "{\"fileFormatVersion\":\"1.0.0\"}");
    EXPECT_EQ(read(dest_ + "/X.mlpackage/Data/weights.bin"), weights);
    struct stat st {};
    ASSERT_EQ(stat((dest_ + "/tools/run.sh").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    ASSERT_EQ(stat((dest_ + "/X.mlpackage/Manifest.json").c_str(), &st), 0);
    EXPECT_FALSE(st.st_mode & S_IXUSR);
    EXPECT_TRUE(st.st_mode & S_IRUSR);

    // A second extraction over the first replaces the files.
    ASSERT_EQ(extract(), 0) << message_;
}

TEST_F(ZipExtractorTest, CorruptedEntryFailsTheChecksumAndLeavesNoFile) {
    const std::string content = "MODEL-WEIGHTS-0123456789-ABCDEFGHIJ";
    ZipBuilder b(archive_);
    b.dir("X.mlpackage/").file("X.mlpackage/w.bin", content, 0644, /*store=*/true);
    ASSERT_TRUE(b.close());
    std::string bytes = read(archive_);
    size_t at = bytes.find(content);
    ASSERT_NE(at, std::string::npos);
    bytes[at + 5] ^= 0x20;
    std::ofstream(archive_, std::ios::binary | std::ios::trunc) << bytes;

    EXPECT_EQ(extract(), tevra::kArchiveErrorChecksum) << message_;
    EXPECT_NE(message_.find("X.mlpackage/w.bin"), std::string::npos) << message_;
    EXPECT_FALSE(fs::exists(dest_ + "/X.mlpackage/w.bin"));
}

TEST_F(ZipExtractorTest, SymbolicLinksInsideAreKeptAndLinksOutsideRefused) {
    {
        ZipBuilder b(archive_);
        b.file("X.mlpackage/Data/w.bin", "weights")
            .link("X.mlpackage/latest", "Data/w.bin")
            .link("pkg", "X.mlpackage/.");
        ASSERT_TRUE(b.close());
        ASSERT_EQ(extract(), 0) << message_;
        EXPECT_EQ(fs::read_symlink(dest_ + "/X.mlpackage/latest"), "Data/w.bin");
        EXPECT_EQ(read(dest_ + "/X.mlpackage/latest"), "weights");
        EXPECT_EQ(read(dest_ + "/pkg/Data/w.bin"), "weights");
    }
    for (std::string target : {"../../outside", "/etc/passwd", "a/../../.."}) {
        SCOPED_TRACE(target);
        fs::remove_all(root_ + "/out");
        ZipBuilder b(archive_);
        b.file("ok.txt", "fine").link("sub/evil", target);
        ASSERT_TRUE(b.close());
        EXPECT_EQ(extract(), tevra::kArchiveErrorUncontainedSymlink) << message_;
        EXPECT_FALSE(fs::is_symlink(dest_ + "/sub/evil"));
    }
}

TEST_F(ZipExtractorTest, AChainOfLinksCannotEscapeInEitherOrder) {
    // "a/up" leads to the destination itself (allowed alone); "a/l2" ->
    // "up/.." then leads above it, whichever link is created first.
    for (bool upFirst : {true, false}) {
        SCOPED_TRACE(upFirst);
        fs::remove_all(root_ + "/out");
        ZipBuilder b(archive_);
        b.dir("a/");
        if (upFirst)
            b.link("a/up", "..").link("a/l2", "up/..");
        else
            b.link("a/l2", "up/..").link("a/up", "..");
        ASSERT_TRUE(b.close());
        EXPECT_EQ(extract(), tevra::kArchiveErrorUncontainedSymlink) << message_;
        EXPECT_FALSE(fs::is_symlink(dest_ + "/a/l2"));
    }
}

TEST_F(ZipExtractorTest, ZipSlipAndAbsolutePathsAreRefused) {
    for (std::string name : {"../evil.txt", "a/../../evil.txt", "/tmp/tevra-zip-evil.txt"}) {
        SCOPED_TRACE(name);
        fs::remove_all(root_ + "/out");
        ZipBuilder b(archive_);
        b.file("good.txt", "good").file(name, "evil");
        ASSERT_TRUE(b.close());
        EXPECT_EQ(extract(), tevra::kArchiveErrorInvalidEntryPath) << message_;
        EXPECT_FALSE(fs::exists(root_ + "/out/evil.txt"));
        EXPECT_FALSE(fs::exists(root_ + "/evil.txt"));
        EXPECT_FALSE(fs::exists("/tmp/tevra-zip-evil.txt"));
        EXPECT_FALSE(fs::exists(dest_ + "/good.txt"));  // refused before anything is written
    }
}

TEST_F(ZipExtractorTest, SizeAndEntryCapsStopHostileArchives) {
    {
        ZipBuilder b(archive_);
        b.file("small.txt", "x").file("big.bin", std::string(5000, '\0'));  // compresses to almost nothing
        ASSERT_TRUE(b.close());
        EXPECT_EQ(extract(ZipExtractor::Limits{100, 4096}), tevra::kArchiveErrorTooLarge) << message_;
        EXPECT_FALSE(fs::exists(dest_ + "/big.bin"));
        EXPECT_EQ(extract(ZipExtractor::Limits{100, 8192}), 0) << message_;
    }
    {
        ZipBuilder b(archive_);
        for (int i = 0; i < 6; ++i) b.file("f" + std::to_string(i), "x");
        ASSERT_TRUE(b.close());
        EXPECT_EQ(extract(ZipExtractor::Limits{5, 1 << 20}), tevra::kArchiveErrorTooManyEntries) << message_;
        EXPECT_EQ(extract(ZipExtractor::Limits{6, 1 << 20}), 0) << message_;
    }
    ZipExtractor::Limits defaults;
    EXPECT_EQ(defaults.maxEntries, 10000u);
    EXPECT_EQ(defaults.maxTotalBytes, 512u * 1024 * 1024);
    EXPECT_EQ(defaults.maxDirectories, 1000u);
    EXPECT_EQ(defaults.maxDepth, 32u);
}

TEST_F(ZipExtractorTest, DirectoriesThatFilePathsImplyAreCountedAndDepthIsCapped) {
    {
        // 3 directory entries and 2 file paths imply a, a/b, a/b/c, x, x/y:
        // 5 directories (each counted once).
        ZipBuilder b(archive_);
        b.dir("a/").dir("a/b/").file("a/b/c/f", "1").file("x/y/g", "2").dir("a/b/c/");
        ASSERT_TRUE(b.close());
        EXPECT_EQ(extract(ZipExtractor::Limits{100, 1 << 20, 4, 32}), tevra::kArchiveErrorTooManyDirectories)
            << message_;
        EXPECT_NE(message_.find("more than 4 directories"), std::string::npos) << message_;
        EXPECT_FALSE(fs::exists(dest_));  // refused before anything is written
        EXPECT_EQ(extract(ZipExtractor::Limits{100, 1 << 20, 5, 32}), 0) << message_;
        EXPECT_EQ(read(dest_ + "/a/b/c/f"), "1");
    }
    {
        std::string deep;
        for (int i = 0; i < 40; ++i) deep += "d/";
        ZipBuilder b(archive_);
        b.file("ok", "x").file(deep + "f", "deep");  // 41 components
        ASSERT_TRUE(b.close());
        fs::remove_all(root_ + "/out");
        EXPECT_EQ(extract(ZipExtractor::Limits{100, 1 << 20, 1000, 40}), tevra::kArchiveErrorTooDeep) << message_;
        EXPECT_NE(message_.find("41 levels deep; at most 40"), std::string::npos) << message_;
        EXPECT_FALSE(fs::exists(dest_ + "/ok"));
        EXPECT_EQ(extract(ZipExtractor::Limits{100, 1 << 20, 1000, 41}), 0) << message_;
    }
    // The platform's bounds reach the extractor.
    tevra::Limits bounds;
    bounds.archiveMaxDirectories = 39;  // the archive above needs 40
    bounds.archiveMaxDepth = 41;
    auto error = ZipExtractor(bounds).unzipItem(archive_, root_ + "/other");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, tevra::kArchiveErrorTooManyDirectories);
}

TEST_F(ZipExtractorTest, AnEndRecordDeclaringTooManyEntriesIsRefusedBeforeLibzipReadsIt) {
    ZipBuilder b(archive_);
    b.file("a", "1").file("b", "2");
    ASSERT_TRUE(b.close());
    std::string bytes = read(archive_);
    size_t end = bytes.rfind("PK\x05\x06");
    ASSERT_NE(end, std::string::npos);
    bytes[end + 8] = bytes[end + 10] = static_cast<char>(0x60);  // 0xEA60 = 60000 entries
    bytes[end + 9] = bytes[end + 11] = static_cast<char>(0xEA);
    std::ofstream(archive_, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_EQ(extract(ZipExtractor::Limits{10000, 1 << 20}), tevra::kArchiveErrorTooManyEntries) << message_;
    EXPECT_NE(message_.find("60000 entries"), std::string::npos) << message_;
}

TEST_F(ZipExtractorTest, NonZipAndMissingFilesFailClearly) {
    std::ofstream(archive_) << "<html><body>404 Not Found</body></html>";
    EXPECT_EQ(extract(), tevra::kArchiveErrorNotZip) << message_;
    EXPECT_NE(message_.find("not a ZIP archive"), std::string::npos) << message_;
    fs::remove(archive_);
    EXPECT_EQ(extract(), tevra::kArchiveErrorUnreadable) << message_;
}

TEST(Crc32, MatchesTheStandardCheckValue) {
    EXPECT_EQ(tevra::linux_platform::crc32Update(0, "123456789", 9), 0xCBF43926u);
    uint32_t crc = tevra::linux_platform::crc32Update(0, "1234", 4);
    EXPECT_EQ(tevra::linux_platform::crc32Update(crc, "56789", 5), 0xCBF43926u);
}
