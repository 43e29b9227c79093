/// @file
/// Camera and image pixel buffers: reference-counted images of one or more
/// planes, each with a base address and a bytes-per-row stride that may exceed
/// the packed row size.
///
/// Threads: any. Retain and release are atomic; lock and unlock are counted
/// atomically so that tests can check that every exit path is balanced.
/// Failure: creation returns an empty handle (no buffer); lock/unlock with a flag that does
/// not match the outstanding lock return kCVReturnError and are counted as a
/// mismatch.
/// Example: a 1920 x 1440 "420f" buffer has plane 0 of 1920 x 1440 luma bytes
/// and plane 1 of 960 x 720 Cb/Cr pairs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace tevra {

/// The pixel format codes, most of them four characters packed big-endian:
/// "420f" a plane of luma and a plane of Cb/Cr pairs at half width and height,
/// full range; "420v" the same, video range; kCVPixelFormatType_32ARGB one plane
/// of 8-bit alpha, red, green, blue; "BGRA" one plane of 8-bit blue, green, red,
/// alpha; "L008" one plane of one 8-bit component.
enum : uint32_t {
    kCVPixelFormatType_420YpCbCr8BiPlanarFullRange = 0x34323066,   ///< "420f"
    kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange = 0x34323076,  ///< "420v"
    kCVPixelFormatType_32ARGB = 0x00000020,
    kCVPixelFormatType_32BGRA = 0x42475241,         ///< "BGRA"
    kCVPixelFormatType_OneComponent8 = 0x4C303038,  ///< "L008"
};

/// Lock flags: 0 (read and write) or kCVPixelBufferLock_ReadOnly.
using CVPixelBufferLockFlags = uint64_t;
/// The lock flag of a read-only lock.
constexpr CVPixelBufferLockFlags kCVPixelBufferLock_ReadOnly = 1;

/// The result code of a lock or unlock.
using CVReturn = int32_t;
/// The call succeeded.
constexpr CVReturn kCVReturnSuccess = 0;
/// The call failed (an unlock without a matching lock).
constexpr CVReturn kCVReturnError = -6660;

/// Creation attributes. `ioSurface` stands for the "shareable with the
/// graphics hardware" attribute; on Linux it only changes how rows are aligned
/// (64 bytes instead of 16) and is kept so callers and tests can tell the two
/// kinds of buffer apart.
struct PixelBufferAttributes {
    /// The "shareable with the graphics hardware" attribute.
    bool ioSurface = false;
};

/// The layout of one plane, for createWithPlanes().
struct PixelBufferPlaneSpec {
    size_t width = 0;  ///< in samples (pairs for an interleaved chroma plane)
    /// Rows.
    size_t height = 0;
    size_t bytesPerRow = 0;  ///< 0: choose the aligned packed size
    /// Bytes of one sample (2 for a Cb/Cr pair).
    size_t bytesPerSample = 1;
};

class PixelBufferRef;

/// A reference-counted image of one or more planes.
class PixelBuffer {
public:
    /// Creates a buffer of one of the known formats; the returned handle holds
    /// its only reference. Returns an empty handle for a zero or absurd size or
    /// an unknown format.
    static PixelBufferRef create(size_t width, size_t height, uint32_t pixelFormat,
                                 const PixelBufferAttributes& attributes = {});
    /// Creates a buffer whose planes have explicit (possibly padded) strides.
    static PixelBufferRef createWithPlanes(size_t width, size_t height, uint32_t pixelFormat,
                                           const std::vector<PixelBufferPlaneSpec>& planes,
                                           const PixelBufferAttributes& attributes = {});

    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    /// Takes one more reference. Any thread.
    void retain();
    /// Gives up one reference; the last one frees the buffer. Any thread.
    void release();
    /// The number of references now.
    long retainCount() const { return refs_.load(std::memory_order_acquire); }

    /// Locks the base addresses (read-only with kCVPixelBufferLock_ReadOnly);
    /// counted, always kCVReturnSuccess.
    CVReturn lockBaseAddress(CVPixelBufferLockFlags flags);
    /// Ends a lock taken with the same flags; kCVReturnError, counted as a
    /// mismatch, when there is no such lock outstanding.
    CVReturn unlockBaseAddress(CVPixelBufferLockFlags flags);

    /// Width in pixels.
    size_t width() const { return width_; }
    /// Height in pixels.
    size_t height() const { return height_; }
    /// The pixel format code.
    uint32_t pixelFormatType() const { return format_; }
    /// The attributes it was created with.
    const PixelBufferAttributes& attributes() const { return attributes_; }

    /// True for a buffer of more than one plane.
    bool isPlanar() const { return planes_.size() > 1; }
    /// The number of planes; 0 for a non-planar buffer.
    size_t planeCount() const { return planes_.size() > 1 ? planes_.size() : 0; }
    /// Width of plane `i` in samples; 0 for no such plane.
    size_t widthOfPlane(size_t i) const { return i < planes_.size() ? planes_[i].width : 0; }
    /// Height of plane `i` in rows; 0 for no such plane.
    size_t heightOfPlane(size_t i) const { return i < planes_.size() ? planes_[i].height : 0; }
    /// The row stride of plane `i` in bytes; 0 for no such plane.
    size_t bytesPerRowOfPlane(size_t i) const { return i < planes_.size() ? planes_[i].bytesPerRow : 0; }
    /// The first byte of plane `i`; null for no such plane or while the
    /// base addresses are unavailable.
    uint8_t* baseAddressOfPlane(size_t i) const;
    ///@{
    /// Non-planar access (plane 0).
    size_t bytesPerRow() const { return bytesPerRowOfPlane(0); }
    uint8_t* baseAddress() const { return baseAddressOfPlane(0); }
    ///@}
    /// The bytes of all planes together, padding included.
    size_t dataSize() const { return storage_.size(); }

    // --- Observation and fault injection, for tests and diagnostics. ---
    /// Locks and unlocks counted since creation.
    struct LockStats {
        ///@{
        /// Read-only and read-write locks and unlocks, and unlocks that matched no lock.
        long readOnlyLocks = 0, readOnlyUnlocks = 0, writeLocks = 0, writeUnlocks = 0, mismatches = 0;
        ///@}
        /// True when every lock was unlocked and no unlock mismatched.
        bool balanced() const {
            return readOnlyLocks == readOnlyUnlocks && writeLocks == writeUnlocks && mismatches == 0;
        }
    };
    /// The lock counts so far.
    LockStats lockStats() const;
    /// While set, the base addresses read as null (a buffer whose memory is gone).
    void setBaseAddressUnavailableForTesting(bool unavailable) { noBase_ = unavailable; }
    /// Number of buffers alive in the process.
    static long liveCount();
    /// Makes the next `n` creations fail (return an empty handle), for failure-path tests.
    static void failNextCreationsForTesting(int n);

private:
    PixelBuffer() = default;
    ~PixelBuffer();

    struct Plane {
        size_t width = 0, height = 0, bytesPerRow = 0, offset = 0;
    };
    std::atomic<long> refs_{1};
    size_t width_ = 0, height_ = 0;
    uint32_t format_ = 0;
    PixelBufferAttributes attributes_;
    std::vector<Plane> planes_;
    std::vector<uint8_t> storage_;
    std::atomic<bool> noBase_{false};
    std::atomic<long> roLocks_{0}, roUnlocks_{0}, wLocks_{0}, wUnlocks_{0}, mismatches_{0};
    std::atomic<long> outstandingRO_{0}, outstandingW_{0};
};

/// Reference-holding handle: copying retains, destruction releases.
/// `retainFrom` takes a new reference to a buffer someone else holds.
class PixelBufferRef {
public:
    /// A null handle.
    PixelBufferRef() = default;
    /// A null handle.
    PixelBufferRef(std::nullptr_t) {}
    /// A handle with a new reference to `b`.
    static PixelBufferRef retainFrom(PixelBuffer* b) {
        if (b) b->retain();
        return PixelBufferRef(b);
    }
    /// Another reference to the same buffer.
    PixelBufferRef(const PixelBufferRef& o) : p_(o.p_) {
        if (p_) p_->retain();
    }
    /// Takes the reference of `o`, which becomes null.
    PixelBufferRef(PixelBufferRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    /// Holds the buffer of `o` and releases the one held before.
    PixelBufferRef& operator=(PixelBufferRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    /// Releases the reference held.
    ~PixelBufferRef() {
        if (p_) p_->release();
    }
    /// The buffer, or null.
    PixelBuffer* get() const { return p_; }
    /// The buffer's members.
    PixelBuffer* operator->() const { return p_; }
    /// The buffer; only when not null.
    PixelBuffer& operator*() const { return *p_; }
    /// True when a buffer is held.
    explicit operator bool() const { return p_ != nullptr; }
    /// True when both hold the same buffer (or both none).
    bool operator==(const PixelBufferRef& o) const { return p_ == o.p_; }

private:
    friend class PixelBuffer;
    // Takes over a reference the caller already holds (a new buffer's first).
    explicit PixelBufferRef(PixelBuffer* adopted) : p_(adopted) {}

    PixelBuffer* p_ = nullptr;
};

/// Locks for the lifetime of the scope and unlocks with the same flags.
class PixelBufferLock {
public:
    /// Locks `b` with `flags`.
    PixelBufferLock(PixelBuffer& b, CVPixelBufferLockFlags flags) : b_(b), flags_(flags) { b_.lockBaseAddress(flags_); }
    /// Unlocks with the same flags.
    ~PixelBufferLock() { b_.unlockBaseAddress(flags_); }
    PixelBufferLock(const PixelBufferLock&) = delete;
    PixelBufferLock& operator=(const PixelBufferLock&) = delete;

private:
    PixelBuffer& b_;
    CVPixelBufferLockFlags flags_;
};

}  // namespace tevra
