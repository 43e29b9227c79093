// A recording GPU for tests: every call lands in `calls()` as one line
// ("newBufferWithLength 768", "setFragmentTexture 1 R8Unorm 1920x1440",
// "commit MyCommand" ...), buffers have real memory, pipelines and textures
// can be made to fail, and command-buffer completion is under the test's
// control (automatic by default, or held until completeNext()).
//
// Threads: the recording and the completion control are thread-safe; a test
// may run the renderer on one thread and complete buffers from another.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/GPU.h"
#include "base/ThreadAnnotations.h"

namespace tevra::fake {

const char* gpuPixelFormatName(GPUPixelFormat f);

class FakeGPUBuffer : public GPUBuffer {
public:
    explicit FakeGPUBuffer(size_t length) : bytes_(length, 0) {}
    void* contents() override { return bytes_.data(); }
    size_t length() const override { return bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
};

class FakeGPUTexture : public GPUTexture {
public:
    FakeGPUTexture(size_t w, size_t h, GPUPixelFormat f, const PixelBuffer* source, size_t plane)
        : w_(w), h_(h), f_(f), source_(source), plane_(plane) {}
    size_t width() const override { return w_; }
    size_t height() const override { return h_; }
    GPUPixelFormat pixelFormat() const override { return f_; }
    // The buffer and plane the texture was made from (identity only).
    const PixelBuffer* source() const { return source_; }
    size_t plane() const { return plane_; }

private:
    size_t w_, h_;
    GPUPixelFormat f_;
    const PixelBuffer* source_;
    size_t plane_;
};

class FakeGPU;

// A render destination whose pass descriptor and drawable can be withheld.
class FakeRenderDestination : public RenderDestinationProvider {
public:
    std::shared_ptr<GPURenderPassDescriptor> currentRenderPassDescriptor() override;
    std::shared_ptr<GPUDrawable> currentDrawable() override;
    void setHasPassDescriptor(bool b) { hasPass_ = b; }
    void setHasDrawable(bool b) { hasDrawable_ = b; }

private:
    bool hasPass_ = true;
    bool hasDrawable_ = true;
};

class FakeGPU : public GPUDevice, public std::enable_shared_from_this<FakeGPU> {
public:
    FakeGPU();
    std::string name() const override { return "recording-gpu"; }
    std::shared_ptr<GPUBuffer> newBufferWithLength(size_t length, unsigned long options) override;
    std::shared_ptr<GPUBuffer> newBufferWithBytes(const void* bytes, size_t length, unsigned long options) override;
    std::shared_ptr<GPULibrary> newLibraryWithFile(const std::string& path, Error* error) override;
    std::shared_ptr<GPURenderPipelineState> newRenderPipelineStateWithDescriptor(
        const GPURenderPipelineDescriptor& descriptor, Error* error) override;
    std::shared_ptr<GPUDepthStencilState> newDepthStencilStateWithDescriptor(
        const GPUDepthStencilDescriptor& descriptor) override;
    std::shared_ptr<GPUCommandQueue> newCommandQueue() override;
    std::shared_ptr<GPUTextureCache> newTextureCache() override;

    // ---- Recording ----
    void record(std::string line);
    std::vector<std::string> calls() const;
    void clearCalls();
    // Pipeline descriptors as they were passed in.
    std::vector<GPURenderPipelineDescriptor> pipelineDescriptors() const;

    // ---- Fault injection ----
    // Pipelines with this label fail with `error`.
    void failPipeline(const std::string& label, Error error);
    // Buffers made from bytes fail from the n-th such call on (0: never).
    void failBufferWithBytesFrom(int n) {
        MutexLock lock(mutex_);
        failBytesFrom_ = n;
    }
    void setLibraryFunctions(std::set<std::string> names) {
        MutexLock lock(mutex_);
        functions_ = std::move(names);
    }
    void setTextureCreationFails(bool f) {
        MutexLock lock(mutex_);
        textureFails_ = f;
    }

    // ---- Completion control ----
    // Automatic: handlers run inside commit. Manual: committed buffers wait
    // for completeNext().
    void setAutoComplete(bool a);
    // Completes the oldest committed buffer; false when none is waiting.
    bool completeNext();
    void completeAll();
    size_t committedCount() const;
    size_t pendingCount() const;
    // Waits up to `timeout` until `n` buffers have been committed.
    bool waitForCommitted(size_t n, std::chrono::milliseconds timeout) const;

    // Called by command buffers.
    void committed(std::vector<std::function<void()>> handlers);
    bool textureCreationFails() const {
        MutexLock lock(mutex_);
        return textureFails_;
    }

private:
    mutable Mutex mutex_;
    mutable ConditionVariable cv_;
    std::vector<std::string> calls_ TEVRA_GUARDED_BY(mutex_);
    std::vector<GPURenderPipelineDescriptor> pipelines_ TEVRA_GUARDED_BY(mutex_);
    std::vector<std::pair<std::string, Error>> pipelineFailures_ TEVRA_GUARDED_BY(mutex_);
    std::set<std::string> functions_ TEVRA_GUARDED_BY(mutex_);
    int failBytesFrom_ TEVRA_GUARDED_BY(mutex_) = 0;
    int bytesCalls_ TEVRA_GUARDED_BY(mutex_) = 0;
    bool textureFails_ TEVRA_GUARDED_BY(mutex_) = false;
    bool autoComplete_ TEVRA_GUARDED_BY(mutex_) = true;
    std::deque<std::vector<std::function<void()>>> pending_ TEVRA_GUARDED_BY(mutex_);
    size_t committed_ TEVRA_GUARDED_BY(mutex_) = 0;
};

}  // namespace tevra::fake
