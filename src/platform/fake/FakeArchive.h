// A stand-in for archive extraction in tests of code that unpacks archives.
//
// A fake archive is a text file: the first line is "FAKEZIP", each further
// line names one entry. A name ending in "/" makes a directory; any other
// name makes a file, whose content is the text after a tab on that line (if
// any). makeArchiveText() writes that form. Anything else fails like a file
// that is not a ZIP archive; names with ".." or a leading "/" fail like the
// real extractor refuses them. A test can also make the next extraction fail
// with a given error.
//
// Each extraction is recorded, and added to the transcript (when one is given)
// as "ARCHIVE unzip <archive> -> <destination>".
// Threads: any.
#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/Archive.h"
#include "base/ThreadAnnotations.h"

namespace tevra::fake {

class Transcript;

class FakeArchive : public Archive {
public:
    explicit FakeArchive(std::shared_ptr<Transcript> transcript = nullptr) : transcript_(std::move(transcript)) {}
    std::optional<Error> unzipItem(const std::string& archivePath, const std::string& destinationDirectory) override;

    // Entries as (name, content); a name ending in "/" is a directory.
    static std::string makeArchiveText(const std::vector<std::pair<std::string, std::string>>& entries);
    // The next extraction fails with `error` (and writes nothing).
    void failNextWith(Error error);
    // (archive, destination) of every extraction so far.
    std::vector<std::pair<std::string, std::string>> calls() const;

private:
    std::shared_ptr<Transcript> transcript_;
    mutable Mutex mutex_;
    std::optional<Error> nextFailure_ TEVRA_GUARDED_BY(mutex_);
    std::vector<std::pair<std::string, std::string>> calls_ TEVRA_GUARDED_BY(mutex_);
};

}  // namespace tevra::fake
