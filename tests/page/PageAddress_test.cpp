// What a text names as a page, without a controller: the address that
// resolvePageAddress gives for remote texts, file addresses and resource
// names.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "base/URL.h"
#include "page/PageAddress.h"

using namespace tevra;
namespace fs = std::filesystem;

namespace {

class PageAddress : public ::testing::Test {
protected:
    void SetUp() override {
        resources = fs::temp_directory_path() / ("tevra-pages-" + std::to_string(::getpid()) + "-" +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(resources);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(resources, ec);
    }
    void write(const std::string& rel) {
        fs::create_directories((resources / rel).parent_path());
        std::ofstream(resources / rel) << "<html></html>";
    }
    std::optional<std::string> resolve(const std::string& text) { return resolvePageAddress(text, resources.string()); }
    std::string fileURL(const std::string& rel) { return fileURLForPath((resources / rel).string()); }
    fs::path resources;
};

}  // namespace

TEST(URLParsing, SchemeHostPathAndStrictness) {
    auto u = parseURL("file://docs/Index.HTML");
    ASSERT_TRUE(u);
    EXPECT_EQ(*u->scheme, "file");
    EXPECT_EQ(*u->host, "docs");
    EXPECT_EQ(u->path, "/Index.HTML");
    EXPECT_EQ(u->pathExtension(), "HTML");
    u = parseURL("index.html");
    ASSERT_TRUE(u);
    EXPECT_FALSE(u->scheme);
    EXPECT_FALSE(u->host);
    u = parseURL("https://user@example.org:8443/a/b.js?x=1#y");
    ASSERT_TRUE(u);
    EXPECT_EQ(*u->host, "example.org");
    EXPECT_EQ(u->path, "/a/b.js");
    for (const char* bad : {"my page", "a\"b", "x<y", "50%", "%zz", "", "caf\xc3\xa9", "http://h:port/"})
        EXPECT_FALSE(parseURL(bad)) << bad;
}

TEST_F(PageAddress, TextsWithoutSchemeAreRemote) {
    EXPECT_EQ(resolve("www.example.com"), "http://www.example.com");
    EXPECT_EQ(resolve("index.html"), "http://index.html");
    EXPECT_EQ(resolve("https://example.org/ar?x=1"), "https://example.org/ar?x=1");
}

TEST_F(PageAddress, FileAddressesNameResources) {
    write("www/index.html");
    write("docs/Index.html");
    EXPECT_EQ(resolve("file://www/index.html"), fileURL("www/index.html"));
    EXPECT_EQ(resolve("file://docs/Index.HTML"), fileURL("docs/Index.html"));
    EXPECT_EQ(resolve("file://www"), fileURL("www/index.html"));
    // The name stays "index.html" (the path is empty): no index.html.html.
    write("index.html");
    EXPECT_FALSE(resolve("file://index.html"));
}

TEST_F(PageAddress, UnparsableTextsNameResourcesDirectly) {
    write("my page.html");
    write("my page.html.bak.html");
    EXPECT_EQ(resolve("my page.HTML"), fileURL("my page.html"));
    EXPECT_EQ(resolve("my page.html.bak"), fileURL("my page.html.bak.html"));
    EXPECT_FALSE(resolve("no such page"));
    fs::create_directories(resources / "empty dir");
    EXPECT_FALSE(resolve("empty dir"));  // a directory without an index page
}

TEST_F(PageAddress, NamesCannotLeaveTheResources) {
    write("../" + resources.filename().string() + "-outside.html");
    EXPECT_FALSE(resolve("file://../" + resources.filename().string() + "-outside.html"));
    EXPECT_FALSE(resolve("../outside page"));
    EXPECT_FALSE(resolvePageAddress("my page", ""));  // no resources directory at all
    std::error_code ec;
    fs::remove(resources.parent_path() / (resources.filename().string() + "-outside.html"), ec);
}

// The page view's own address of a resource page, as the controller remembers
// it after a load, names that page again at the next start; file URLs of
// anything else do not.
TEST_F(PageAddress, FileURLsOfResourcePagesNameThem) {
    write("www/my page.html");
    const std::string page = fileURLForPath(fs::canonical(resources / "www/my page.html").string());
    EXPECT_EQ(resolve(fileURL("www/my page.html")), page);
    EXPECT_EQ(resolve(fileURL("www/../www/my page.html")), page);
    const fs::path outside = resources.parent_path() / (resources.filename().string() + "-outside.html");
    std::ofstream(outside) << "<html></html>";
    fs::create_symlink(outside, resources / "link.html");
    EXPECT_FALSE(resolve(fileURLForPath(outside.string())));
    EXPECT_FALSE(resolve(fileURL("../" + outside.filename().string())));
    EXPECT_FALSE(resolve(fileURL("link.html")));  // a link out of the resources
    EXPECT_FALSE(resolve(fileURLForPath(resources.string())));
    EXPECT_FALSE(resolve(fileURL("www/missing.html")));
    std::error_code ec;
    fs::remove(outside, ec);
}
