/// @file
/// The monotonic media clock (seconds), used to pace camera frames.
/// Threads: any. Failure: none.
#pragma once

namespace tevra {

/// The monotonic media clock.
class MediaClock {
public:
    virtual ~MediaClock() = default;
    /// Seconds since an arbitrary fixed point; never decreases.
    virtual double now() const = 0;
};

}  // namespace tevra
