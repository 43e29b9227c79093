// The user-defaults store on Linux: a small JSON object in
//   $XDG_CONFIG_HOME/TevraARWebGL/defaults.json
// ($XDG_CONFIG_HOME unset, empty or relative: ~/.config), e.g.
//   {"url":"https://example.org/app/"}
// Values are texts; members of other types written by another version are
// kept untouched on rewrite.
//
// Reading happens once, at construction. A missing file is an empty store.
// A file that can't be parsed (corrupt or truncated) logs one line, the store
// starts empty, and the file is renamed to "defaults.json.corrupt" beside it
// (replacing an older such copy) so that nothing overwrites it silently.
//
// Writing happens in synchronize() (and, best effort, at destruction when
// changes are pending): the whole store goes to a temporary file in the same
// directory, which is flushed to disk (fsync) and then renamed over
// defaults.json, so a crash or a failed write leaves either the old or the new
// file, never a mix. A failed write logs one line, returns false, leaves the
// old file intact and keeps the changes pending for the next synchronize().
//
// Threads: meant for the main thread; calls are serialised by a lock anyway.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/UserDefaults.h"
#include "base/ThreadAnnotations.h"

namespace tevra::linux_platform {

class FileUserDefaults : public UserDefaults {
public:
    // The store at the per-user default location.
    FileUserDefaults();
    // The store at `path` (tests, or a host with its own location).
    explicit FileUserDefaults(std::string path);
    ~FileUserDefaults() override;

    std::optional<std::string> stringForKey(const std::string& key) const override;
    void setObject(const std::optional<std::string>& value, const std::string& key) override;
    bool synchronize() override;

    const std::string& path() const { return path_; }
    // $XDG_CONFIG_HOME/TevraARWebGL/defaults.json or ~/.config/...; empty when
    // no home directory can be found.
    static std::string defaultPath();

    // Test hook: makes the next writes fail with EIO after part of the data
    // went into the temporary file, as a full or failing disk would.
    void injectWriteFailureForTesting(bool fail) {
        MutexLock lock(mutex_);
        injectFailure_ = fail;
    }

private:
    void load() TEVRA_REQUIRES(mutex_);
    bool writeFile(const std::string& text, std::string& failure) TEVRA_REQUIRES(mutex_);

    std::string path_;
    mutable Mutex mutex_;
    nlohmann::json values_ TEVRA_GUARDED_BY(mutex_) = nlohmann::json::object();
    bool dirty_ TEVRA_GUARDED_BY(mutex_) = false;
    bool injectFailure_ TEVRA_GUARDED_BY(mutex_) = false;
};

}  // namespace tevra::linux_platform
