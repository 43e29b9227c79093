// File operations of the model storage (the documents directory) that must
// hold up against trees built from hostile archives, and the moves that put
// entries in place.
//
// removeTree
//   In: a path, e.g. "/home/u/.local/share/tevra/victim" (a file, a link or a
//   directory tree of any depth). Out: nothing is left at that path; success
//   also when nothing was there.
//   How: the tree is walked with openat/unlinkat from one directory
//   descriptor at a time, going back up through ".."; the way down is kept as
//   a stack of names, not of descriptors, so a tree 1,100 levels deep (or
//   deeper than PATH_MAX) is removed with 3 descriptors. Links are removed,
//   never followed (O_NOFOLLOW). Before each step up, the parent reached
//   through ".." is checked to hold the directory just emptied (same device
//   and inode), so a tree moved during the removal stops it instead of
//   removing elsewhere.
//   Fails: an Error of domain "TevraARWebGL.FileError" with errno as code,
//   e.g. "Could not remove /x/victim: Permission denied"; what was removed
//   before the failure stays removed.
//   Threads: any; concurrent calls on different trees are independent.
//
// makePrivateDirectory
//   In: an existing directory, e.g. the documents directory. Out: the path of
//   a fresh, empty directory inside it, mode 0700, named
//   ".tevra-unpack-XXXXXX" (mkdtemp): a name starting with "." that no model
//   name may take, so no stored entry of any model can be in its way.
//   Fails: the same FileError, with mkdtemp's errno.
//   Threads: any.
//
// removeStalePrivateDirectories
//   In: the directory makePrivateDirectory was given, and an age, e.g. 3600 s.
//   Out: every private directory in it last changed longer ago than that is
//   removed (removeTree): what a process killed in the middle of an unpack
//   left. A download in progress changes its directory within seconds, so an
//   hour's age never takes one that is in use. Failures are skipped.
//   Threads: any.
//
// entryExists: true when anything is at the path, a dangling link included.
// fileError: a FileError from a std::error_code: "WHAT: MESSAGE".
// removeItem: removeTree of the path.
// moveItem: a rename when both lie on one file system; across file systems
//   (EXDEV) a copy followed by removing the source. Fails with the FileError
//   of the step that failed ("Could not move A to B: …").
// replaceItem: puts the directory `incoming` in the place of `destination`.
//   With an earlier entry there, the two are exchanged in one step
//   (renameat2 RENAME_EXCHANGE, so the name never points at nothing) and the
//   earlier one, now at `incoming`, is removed (if that fails, the next
//   replacement removes it); where the file system can't exchange, the
//   earlier entry is removed first.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "base/Error.h"

namespace tevra {

inline constexpr const char* kStorageFileErrorDomain = "TevraARWebGL.FileError";
// The name every private unpack directory starts with.
inline constexpr const char* kPrivateDirectoryPrefix = ".tevra-unpack-";

Expected<void> removeTree(const std::string& path);
Expected<std::string> makePrivateDirectory(const std::string& parent);
void removeStalePrivateDirectories(const std::string& parent, std::chrono::seconds age);

bool entryExists(const std::filesystem::path& p);
Error fileError(const std::string& what, const std::error_code& ec);
Expected<void> removeItem(const std::filesystem::path& p);
Expected<void> moveItem(const std::filesystem::path& from, const std::filesystem::path& to);
Expected<void> replaceItem(const std::filesystem::path& incoming, const std::filesystem::path& destination);

}  // namespace tevra
