// ZIP extraction with libzip.
//
// What is checked, entry by entry:
// - the CRC-32 of every file and link entry is computed over the unpacked
//   bytes and compared with the archive's record; a mismatch (or data libzip
//   can't decompress) fails the extraction, and the damaged file is removed;
// - entry names must be relative and free of ".." components (no "zip-slip":
//   "../x", "/tmp/x", "a/../../x" are refused); "." and empty components are
//   ignored;
// - no entry is written through a symbolic link;
// - symbolic links (Unix mode S_IFLNK in the entry's external attributes) are
//   created only when their target, resolved inside the destination, stays
//   inside it: absolute targets and targets that climb out are refused.
//   Links are created after every file and directory, and the whole set is
//   checked again once all exist, so a chain of links can't escape either;
// - caps against hostile archives: at most `maxEntries` entries (default
//   10000), at most `maxTotalBytes` unpacked bytes (default 512 MiB), at most
//   `maxDirectories` directories created (default 1000; "a/b/c.txt" alone
//   creates 2) and at most `maxDepth` components in one entry's path
//   (default 32; "a/b/c.txt" has 3), all checked against the archive's
//   directory before anything is written (the entry count already from the
//   end record, before libzip reads the directory), and the size again
//   against the bytes actually unpacked. A host sets them through
//   tevra::Limits (archiveMaxEntries, archiveMaxTotalBytes,
//   archiveMaxDirectories, archiveMaxDepth).
// Directory entries (names ending in "/") create directories (mode 0755);
// files get 0644, or 0755 when the entry's Unix mode has an execute bit.
// Existing files of the same name are replaced.
//
// Errors: domain "ArchiveError" with the codes of platform/Archive.h, e.g.
// "The file /x/model.zip is not a ZIP archive" (code 2).
// Threads: any; each call opens its own archive handle.
#pragma once

#include <cstdint>

#include "platform/Archive.h"
#include "platform/Limits.h"

namespace tevra::linux_platform {

class ZipExtractor : public Archive {
public:
    struct Limits {
        uint64_t maxEntries = 10000;
        uint64_t maxTotalBytes = 512ull * 1024 * 1024;
        uint64_t maxDirectories = 1000;
        uint64_t maxDepth = 32;
    };
    ZipExtractor() = default;
    explicit ZipExtractor(Limits limits) : limits_(limits) {}
    // The archive caps of the library's bounds.
    explicit ZipExtractor(const tevra::Limits& limits)
        : limits_{limits.archiveMaxEntries, limits.archiveMaxTotalBytes, limits.archiveMaxDirectories,
                  limits.archiveMaxDepth} {}

    std::optional<Error> unzipItem(const std::string& archivePath, const std::string& destinationDirectory) override;

private:
    Limits limits_;
};

// CRC-32 (IEEE 802.3, as in ZIP) of `size` bytes, continuing from `crc`
// (start with 0).
uint32_t crc32Update(uint32_t crc, const void* data, size_t size);

}  // namespace tevra::linux_platform
