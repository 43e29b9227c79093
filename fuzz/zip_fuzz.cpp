// Fuzzes ZIP extraction (libzip): any bytes as an archive, unpacked into a
// fresh directory under a scratch root. Whatever the archive holds, nothing
// may appear outside the destination, and every symbolic link left inside it
// must resolve inside it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/linux/ZipExtractor.h"
#include "FuzzFiles.h"

namespace fs = std::filesystem;

namespace {

using tevra::fuzz::fail;

fs::path scratchRoot() { return tevra::fuzz::scratchDirectory("zip"); }

void removeScratch() {
    std::error_code ec;
    fs::remove_all(scratchRoot(), ec);
}

// True when `p`, with every link followed, lies inside `root` (both canonical).
bool inside(const fs::path& p, const fs::path& root) {
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(p, ec);
    if (ec) return false;
    auto r = root.begin();
    auto q = resolved.begin();
    for (; r != root.end(); ++r, ++q)
        if (q == resolved.end() || *q != *r) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fs::path root = [] {
        removeScratch();
        fs::create_directories(scratchRoot() / "box");
        std::atexit(removeScratch);
        return fs::canonical(scratchRoot() / "box");
    }();
    // Small caps keep hostile archives cheap; the checks are the same.
    static tevra::linux_platform::ZipExtractor extractor(tevra::linux_platform::ZipExtractor::Limits{
        /*maxEntries=*/512, /*maxTotalBytes=*/8u << 20, /*maxDirectories=*/256, /*maxDepth=*/32});

    const fs::path archive = root / "in.zip";
    const fs::path destination = root / "out";
    {
        std::ofstream out(archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    auto error = extractor.unzipItem(archive.string(), destination.string());
    if (error && error->domain != tevra::kArchiveErrorDomain) fail("an extraction error outside ArchiveError");

    // Nothing beside the archive and the destination.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root, ec))
        if (entry.path() != archive && entry.path() != destination)
            fail("extraction wrote outside its destination: " + entry.path().string());
    if (fs::exists(destination, ec)) {
        const fs::path dest = fs::canonical(destination, ec);
        for (auto it = fs::recursive_directory_iterator(destination, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_symlink(ec) && !inside(it->path(), dest))
                fail("a symbolic link points outside the destination: " + it->path().string());
        }
        fs::remove_all(destination, ec);
    }
    fs::remove(archive, ec);
    return 0;
}
