/// @file
/// The newest camera frame, kept for a VPS request: storing a frame releases
/// the one before, and a reader takes its own reference under the same lock,
/// so a frame can't be released between being read and being retained.
///
/// In: every frame forwarded to the page (store). Out: a reference to the
/// newest one, or null before the first (retained).
/// Example: after store(a), store(b) the store holds one reference to b and
/// none to a; retained() answers b with one more reference.
/// Threads: any thread; store() comes from the main thread, retained() from
/// the main thread or a conversion.
#pragma once

#include <mutex>

#include "platform/PixelBuffer.h"

namespace tevra {

/// The newest camera frame under a lock of its own.
class NewestFrame {
public:
    /// Keeps `frame` (one more reference) and releases the one before.
    /// A null frame is ignored: the newest one stays.
    void store(const PixelBufferRef& frame);
    /// A new reference to the newest frame, taken under the lock; null before the first.
    PixelBufferRef retained() const;

private:
    mutable std::mutex mutex_;
    PixelBufferRef frame_;  // guarded by mutex_
};

}  // namespace tevra
