// Camera and image pixel buffers: reference-counted images of one or more
// planes, each with a base address and a bytes-per-row stride that may exceed
// the packed row size.
//
// Threads: any. Retain and release are atomic; lock and unlock are counted
// atomically so that tests can check that every exit path is balanced.
// Failure: creation returns an empty handle (no buffer); lock/unlock with a flag that does
// not match the outstanding lock return kCVReturnError and are counted as a
// mismatch.
// Example: a 1920 x 1440 "420f" buffer has plane 0 of 1920 x 1440 luma bytes
// and plane 1 of 960 x 720 Cb/Cr pairs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace tevra {

enum : uint32_t {
    kCVPixelFormatType_420YpCbCr8BiPlanarFullRange = 0x34323066,   // "420f"
    kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange = 0x34323076,  // "420v"
    kCVPixelFormatType_32ARGB = 0x00000020,
    kCVPixelFormatType_32BGRA = 0x42475241,         // "BGRA"
    kCVPixelFormatType_OneComponent8 = 0x4C303038,  // "L008"
};

using CVPixelBufferLockFlags = uint64_t;
constexpr CVPixelBufferLockFlags kCVPixelBufferLock_ReadOnly = 1;

using CVReturn = int32_t;
constexpr CVReturn kCVReturnSuccess = 0;
constexpr CVReturn kCVReturnError = -6660;

// Creation attributes. `ioSurface` stands for the "shareable with the
// graphics hardware" attribute; on Linux it only changes how rows are aligned
// (64 bytes instead of 16) and is kept so callers and tests can tell the two
// kinds of buffer apart.
struct PixelBufferAttributes {
    bool ioSurface = false;
};

struct PixelBufferPlaneSpec {
    size_t width = 0;  // in samples (pairs for an interleaved chroma plane)
    size_t height = 0;
    size_t bytesPerRow = 0;  // 0: choose the aligned packed size
    size_t bytesPerSample = 1;
};

class PixelBufferRef;

class PixelBuffer {
public:
    // Creates a buffer of one of the known formats; the returned handle holds
    // its only reference. Returns an empty handle for a zero or absurd size or
    // an unknown format.
    static PixelBufferRef create(size_t width, size_t height, uint32_t pixelFormat,
                                 const PixelBufferAttributes& attributes = {});
    // Creates a buffer whose planes have explicit (possibly padded) strides.
    static PixelBufferRef createWithPlanes(size_t width, size_t height, uint32_t pixelFormat,
                                           const std::vector<PixelBufferPlaneSpec>& planes,
                                           const PixelBufferAttributes& attributes = {});

    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    void retain();
    void release();
    long retainCount() const { return refs_.load(std::memory_order_acquire); }

    CVReturn lockBaseAddress(CVPixelBufferLockFlags flags);
    CVReturn unlockBaseAddress(CVPixelBufferLockFlags flags);

    size_t width() const { return width_; }
    size_t height() const { return height_; }
    uint32_t pixelFormatType() const { return format_; }
    const PixelBufferAttributes& attributes() const { return attributes_; }

    bool isPlanar() const { return planes_.size() > 1; }
    size_t planeCount() const { return planes_.size() > 1 ? planes_.size() : 0; }
    size_t widthOfPlane(size_t i) const { return i < planes_.size() ? planes_[i].width : 0; }
    size_t heightOfPlane(size_t i) const { return i < planes_.size() ? planes_[i].height : 0; }
    size_t bytesPerRowOfPlane(size_t i) const { return i < planes_.size() ? planes_[i].bytesPerRow : 0; }
    uint8_t* baseAddressOfPlane(size_t i) const;
    // Non-planar access (plane 0).
    size_t bytesPerRow() const { return bytesPerRowOfPlane(0); }
    uint8_t* baseAddress() const { return baseAddressOfPlane(0); }
    size_t dataSize() const { return storage_.size(); }

    // --- Observation and fault injection, for tests and diagnostics. ---
    struct LockStats {
        long readOnlyLocks = 0, readOnlyUnlocks = 0, writeLocks = 0, writeUnlocks = 0, mismatches = 0;
        bool balanced() const {
            return readOnlyLocks == readOnlyUnlocks && writeLocks == writeUnlocks && mismatches == 0;
        }
    };
    LockStats lockStats() const;
    // While set, the base addresses read as null (a buffer whose memory is gone).
    void setBaseAddressUnavailableForTesting(bool unavailable) { noBase_ = unavailable; }
    // Number of buffers alive in the process.
    static long liveCount();
    // Makes the next `n` creations fail (return an empty handle), for failure-path tests.
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

// Reference-holding handle: copying retains, destruction releases.
// `retainFrom` takes a new reference to a buffer someone else holds.
class PixelBufferRef {
public:
    PixelBufferRef() = default;
    PixelBufferRef(std::nullptr_t) {}
    static PixelBufferRef retainFrom(PixelBuffer* b) {
        if (b) b->retain();
        return PixelBufferRef(b);
    }
    PixelBufferRef(const PixelBufferRef& o) : p_(o.p_) {
        if (p_) p_->retain();
    }
    PixelBufferRef(PixelBufferRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PixelBufferRef& operator=(PixelBufferRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~PixelBufferRef() {
        if (p_) p_->release();
    }
    PixelBuffer* get() const { return p_; }
    PixelBuffer* operator->() const { return p_; }
    PixelBuffer& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool operator==(const PixelBufferRef& o) const { return p_ == o.p_; }

private:
    friend class PixelBuffer;
    // Takes over a reference the caller already holds (a new buffer's first).
    explicit PixelBufferRef(PixelBuffer* adopted) : p_(adopted) {}

    PixelBuffer* p_ = nullptr;
};

// Locks for the lifetime of the scope and unlocks with the same flags.
class PixelBufferLock {
public:
    PixelBufferLock(PixelBuffer& b, CVPixelBufferLockFlags flags) : b_(b), flags_(flags) { b_.lockBaseAddress(flags_); }
    ~PixelBufferLock() { b_.unlockBaseAddress(flags_); }
    PixelBufferLock(const PixelBufferLock&) = delete;
    PixelBufferLock& operator=(const PixelBufferLock&) = delete;

private:
    PixelBuffer& b_;
    CVPixelBufferLockFlags flags_;
};

}  // namespace tevra
