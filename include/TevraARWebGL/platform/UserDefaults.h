/// @file
/// The user-defaults store: small text values under keys, kept across launches.
/// Threads: main thread. Failure: an unreadable store reads as empty; a failed
/// write is logged and the previous stored value stays intact.
#pragma once

#include <optional>
#include <string>

namespace tevra {

/// The user-defaults store.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    /// The text stored under key, or none.
    virtual std::optional<std::string> stringForKey(const std::string& key) const = 0;
    /// Stores value under key; no value removes the key.
    virtual void setObject(const std::optional<std::string>& value, const std::string& key) = 0;
    /// Writes pending changes to persistent storage; true on success.
    virtual bool synchronize() = 0;
};

}  // namespace tevra
