// The error value that crosses platform boundaries (the platform's error
// object): a domain, a code and a human-readable description. Nothing in
// the library throws; failures travel as this value or as an absent result.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace tevra {

struct Error {
    std::string domain;
    long code = 0;
    std::string localizedDescription;

    // The text form "%@" prints for an error.
    std::string description() const {
        return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription + "\"";
    }
};

// A value or an error: the library's way to report a failure. Platform
// interfaces that mirror the platform's own error-out calls keep those.
template <typename T>
struct Expected {
    std::optional<T> value;
    Error error;

    static Expected ok(T v) { return Expected{std::move(v), {}}; }
    static Expected fail(Error e) { return Expected{std::nullopt, std::move(e)}; }
    explicit operator bool() const { return value.has_value(); }
    T& operator*() { return *value; }
    const T& operator*() const { return *value; }
    T* operator->() { return &*value; }
    const T* operator->() const { return &*value; }
};

// Success or an error, for an operation with no value to return.
template <>
struct Expected<void> {
    Error error;  // meaningful only after a failure

    static Expected ok() { return Expected(); }
    static Expected fail(Error e) {
        Expected r;
        r.failed_ = true;
        r.error = std::move(e);
        return r;
    }
    explicit operator bool() const { return !failed_; }

private:
    bool failed_ = false;
};

}  // namespace tevra
