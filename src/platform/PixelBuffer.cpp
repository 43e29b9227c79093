#include "platform/PixelBuffer.h"
#include "base/ThreadAnnotations.h"

#include <cstdlib>
#include <mutex>

namespace tevra {

namespace {
std::atomic<long> gLive{0};
std::atomic<int> gFailNext{0};

constexpr size_t kMaxDimension = 1u << 15;

size_t alignUp(size_t v, size_t a) { return (v + a - 1) / a * a; }

// Storage of recently released large buffers, handed to the next creation of
// a similar size. Each detection run makes and drops several frame-sized
// buffers; without this the allocator returns their pages to the system and
// every run faults 11 MB back in, page by page, which costs several times the
// pixel work. Bounded: a few blocks, only sizes of 1 MB and more.
class StorageCache {
public:
    std::vector<uint8_t> take(size_t bytes) {
        if (bytes < kMinBytes) return {};
        MutexLock lock(mutex_);
        size_t best = blocks_.size();
        for (size_t i = 0; i < blocks_.size(); ++i) {
            size_t cap = blocks_[i].capacity();
            if (cap >= bytes && cap / 2 <= bytes && (best == blocks_.size() || cap < blocks_[best].capacity()))
                best = i;
        }
        if (best == blocks_.size()) return {};
        std::vector<uint8_t> v = std::move(blocks_[best]);
        blocks_.erase(blocks_.begin() + static_cast<long>(best));
        return v;
    }
    void give(std::vector<uint8_t>&& v) {
        if (v.capacity() < kMinBytes) return;
        MutexLock lock(mutex_);
        if (blocks_.size() == kMaxBlocks) blocks_.erase(blocks_.begin());
        blocks_.push_back(std::move(v));
    }

private:
    static constexpr size_t kMinBytes = size_t{1} << 20;
    static constexpr size_t kMaxBlocks = 4;
    Mutex mutex_;
    std::vector<std::vector<uint8_t>> blocks_ TEVRA_GUARDED_BY(mutex_);
};

// Never destroyed, so buffers released during exit still find it.
StorageCache& storageCache() {
    static StorageCache* cache = new StorageCache;
    return *cache;
}

bool specsFor(size_t w, size_t h, uint32_t format, std::vector<PixelBufferPlaneSpec>& out) {
    switch (format) {
        case kCVPixelFormatType_420YpCbCr8BiPlanarFullRange:
        case kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange:
            out = {{w, h, 0, 1}, {(w + 1) / 2, (h + 1) / 2, 0, 2}};
            return true;
        case kCVPixelFormatType_32ARGB:
        case kCVPixelFormatType_32BGRA:
            out = {{w, h, 0, 4}};
            return true;
        case kCVPixelFormatType_OneComponent8:
            out = {{w, h, 0, 1}};
            return true;
        default:
            return false;
    }
}
}  // namespace

PixelBufferRef PixelBuffer::create(size_t width, size_t height, uint32_t pixelFormat,
                                   const PixelBufferAttributes& attributes) {
    std::vector<PixelBufferPlaneSpec> specs;
    if (!specsFor(width, height, pixelFormat, specs)) return nullptr;
    return createWithPlanes(width, height, pixelFormat, specs, attributes);
}

PixelBufferRef PixelBuffer::createWithPlanes(size_t width, size_t height, uint32_t pixelFormat,
                                             const std::vector<PixelBufferPlaneSpec>& specs,
                                             const PixelBufferAttributes& attributes) {
    if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension || specs.empty()) return nullptr;
    int pending = gFailNext.load();
    while (pending > 0) {
        if (gFailNext.compare_exchange_weak(pending, pending - 1)) return nullptr;
    }
    auto* b = new PixelBuffer();
    b->width_ = width;
    b->height_ = height;
    b->format_ = pixelFormat;
    b->attributes_ = attributes;
    size_t align = attributes.ioSurface ? 64 : 16;
    size_t offset = 0;
    for (const auto& s : specs) {
        Plane p;
        p.width = s.width;
        p.height = s.height;
        size_t packed = s.width * s.bytesPerSample;
        p.bytesPerRow = s.bytesPerRow ? s.bytesPerRow : alignUp(packed, align);
        if (p.bytesPerRow < packed) {
            delete b;
            return nullptr;
        }
        p.offset = offset;
        offset = alignUp(offset + p.bytesPerRow * p.height, 64);
        b->planes_.push_back(p);
    }
    b->storage_ = storageCache().take(offset);
    b->storage_.assign(offset, 0);
    gLive.fetch_add(1);
    return PixelBufferRef(b);
}

PixelBuffer::~PixelBuffer() {
    if (!storage_.empty() || !planes_.empty()) gLive.fetch_sub(1);
    storageCache().give(std::move(storage_));
}

void PixelBuffer::retain() { refs_.fetch_add(1, std::memory_order_relaxed); }

void PixelBuffer::release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

CVReturn PixelBuffer::lockBaseAddress(CVPixelBufferLockFlags flags) {
    if (flags & kCVPixelBufferLock_ReadOnly) {
        roLocks_.fetch_add(1);
        outstandingRO_.fetch_add(1);
    } else {
        wLocks_.fetch_add(1);
        outstandingW_.fetch_add(1);
    }
    return kCVReturnSuccess;
}

CVReturn PixelBuffer::unlockBaseAddress(CVPixelBufferLockFlags flags) {
    std::atomic<long>& outstanding = (flags & kCVPixelBufferLock_ReadOnly) ? outstandingRO_ : outstandingW_;
    long cur = outstanding.load();
    while (true) {
        if (cur <= 0) {
            mismatches_.fetch_add(1);
            return kCVReturnError;
        }
        if (outstanding.compare_exchange_weak(cur, cur - 1)) break;
    }
    if (flags & kCVPixelBufferLock_ReadOnly)
        roUnlocks_.fetch_add(1);
    else
        wUnlocks_.fetch_add(1);
    return kCVReturnSuccess;
}

uint8_t* PixelBuffer::baseAddressOfPlane(size_t i) const {
    if (noBase_.load() || i >= planes_.size()) return nullptr;
    return const_cast<uint8_t*>(storage_.data()) + planes_[i].offset;
}

PixelBuffer::LockStats PixelBuffer::lockStats() const {
    LockStats s;
    s.readOnlyLocks = roLocks_.load();
    s.readOnlyUnlocks = roUnlocks_.load();
    s.writeLocks = wLocks_.load();
    s.writeUnlocks = wUnlocks_.load();
    s.mismatches = mismatches_.load();
    return s;
}

long PixelBuffer::liveCount() { return gLive.load(); }

void PixelBuffer::failNextCreationsForTesting(int n) { gFailNext.store(n); }

}  // namespace tevra
