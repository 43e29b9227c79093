#include "platform/fake/FakeArchive.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/fake/FakePlatform.h"

namespace fs = std::filesystem;

TEST(FakeArchive, UnpacksItsTextFormAndFailsLikeTheRealExtractor) {
    char tmpl[] = "/tmp/tevra-fakezip-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string root = tmpl;
    auto transcript = std::make_shared<tevra::fake::Transcript>();
    tevra::fake::FakeArchive archive(transcript);

    std::ofstream(root + "/m.zip") << tevra::fake::FakeArchive::makeArchiveText(
        {{"X.mlpackage/", ""}, {"X.mlpackage/Manifest.json", "{}"}});
    EXPECT_FALSE(archive.unzipItem(root + "/m.zip", root + "/out"));
    EXPECT_TRUE(fs::is_directory(root + "/out/X.mlpackage"));
    EXPECT_TRUE(fs::exists(root + "/out/X.mlpackage/Manifest.json"));

    std::ofstream(root + "/bad.zip") << "<html>not found</html>";
    auto notZip = archive.unzipItem(root + "/bad.zip", root + "/out2");
    ASSERT_TRUE(notZip);
    EXPECT_EQ(notZip->code, tevra::kArchiveErrorNotZip);

    archive.failNextWith(tevra::Error{tevra::kArchiveErrorDomain, tevra::kArchiveErrorChecksum, "bad crc"});
    auto injected = archive.unzipItem(root + "/m.zip", root + "/out3");
    ASSERT_TRUE(injected);
    EXPECT_EQ(injected->code, tevra::kArchiveErrorChecksum);
    EXPECT_FALSE(fs::exists(root + "/out3"));

    EXPECT_EQ(archive.calls().size(), 3u);
    EXPECT_EQ(transcript->linesWithPrefix("ARCHIVE").size(), 3u);
    fs::remove_all(root);
}
