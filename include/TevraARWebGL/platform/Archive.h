/// @file
/// Archive extraction: unpacks a ZIP file into a directory.
///
/// Defaults every implementation keeps: the CRC-32 of every entry is checked
/// (a corrupted entry fails the extraction); symbolic links whose target lies
/// outside the destination are refused; entries with absolute paths or ".."
/// components are refused; the unpacked size, the entry count, the number of
/// directories (those file paths imply included) and the depth of an entry
/// are capped (tevra::Limits, archive*), from the archive's directory before
/// anything is written. Directory entries create directories; files get
/// ordinary user-writable modes.
///
/// Threads: any thread; the call blocks until the extraction ends. Separate
/// calls may run concurrently on different destinations.
/// Failure: an Error of the domain "ArchiveError" (codes below) with a
/// readable description. Entries written before the failure may remain in the
/// destination; the caller owns the directory and decides what to remove.
#pragma once

#include <optional>
#include <string>

#include "base/Error.h"

namespace tevra {

/// The domain of every extraction error.
inline constexpr const char* kArchiveErrorDomain = "ArchiveError";

/// The codes of the "ArchiveError" domain.
enum ArchiveErrorCode : long {
    kArchiveErrorUnreadable = 1,           ///< the archive file can't be opened or read
    kArchiveErrorNotZip = 2,               ///< the file is not a ZIP archive
    kArchiveErrorInvalidEntryPath = 3,     ///< absolute path, ".." component, or a path through a link
    kArchiveErrorChecksum = 4,             ///< an entry's CRC-32 does not match its data
    kArchiveErrorUncontainedSymlink = 5,   ///< a symbolic link pointing outside the destination
    kArchiveErrorTooLarge = 6,             ///< the unpacked size exceeds the cap
    kArchiveErrorTooManyEntries = 7,       ///< the entry count exceeds the cap
    kArchiveErrorWriteFailed = 8,          ///< the destination could not be written
    kArchiveErrorCorrupt = 9,              ///< an entry can't be decompressed or is malformed
    kArchiveErrorTooManyDirectories = 10,  ///< the directories to create exceed the cap
    kArchiveErrorTooDeep = 11,             ///< an entry's path has more components than the cap
};

/// Unpacks ZIP archives.
class Archive {
public:
    virtual ~Archive() = default;
    /// Extracts every entry of the ZIP file at `archivePath` into the
    /// directory `destinationDirectory` (created if missing). Returns no value
    /// on success, else the error that stopped the extraction.
    virtual std::optional<Error> unzipItem(const std::string& archivePath, const std::string& destinationDirectory) = 0;
};

}  // namespace tevra
