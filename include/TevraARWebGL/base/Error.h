/// @file
/// The error value that crosses platform boundaries (the platform's error
/// object): a domain, a code and a human-readable description. Nothing in
/// the library throws; failures travel as this value or as an absent result.
#pragma once

#include <optional>
#include <string>
#include <utility>

/// The library: the bridge controller, the platform interfaces and their backends.
namespace tevra {

/// An error: a domain, a code and a human-readable description.
struct Error {
    /// The area the code belongs to, e.g. "ArchiveError".
    std::string domain;
    /// The code within the domain.
    long code = 0;
    /// The readable description.
    std::string localizedDescription;

    /// The text form "%@" prints for an error.
    std::string description() const {
        return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription + "\"";
    }
};

/// A value or an error: the library's way to report a failure. Platform
/// interfaces that mirror the platform's own error-out calls keep those.
template <typename T>
struct Expected {
    /// The value; absent on failure.
    std::optional<T> value;
    /// The error when there is no value.
    Error error;

    /// A success holding `v`.
    static Expected ok(T v) { return Expected{std::move(v), {}}; }
    /// A failure carrying `e`.
    static Expected fail(Error e) { return Expected{std::nullopt, std::move(e)}; }
    /// True when there is a value.
    explicit operator bool() const { return value.has_value(); }
    /// The value; only when there is one.
    T& operator*() { return *value; }
    /// The value; only when there is one.
    const T& operator*() const { return *value; }
    /// The value's members; only when there is one.
    T* operator->() { return &*value; }
    /// The value's members; only when there is one.
    const T* operator->() const { return &*value; }
};

/// Success or an error, for an operation with no value to return.
template <>
struct Expected<void> {
    /// The error after a failure.
    Error error;

    /// A success.
    static Expected ok() { return Expected(); }
    /// A failure carrying `e`.
    static Expected fail(Error e) {
        Expected r;
        r.failed_ = true;
        r.error = std::move(e);
        return r;
    }
    /// True on success.
    explicit operator bool() const { return !failed_; }

private:
    bool failed_ = false;
};

}  // namespace tevra
