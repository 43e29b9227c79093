// The GPU API on OpenGL ES 3 over EGL (Mesa's llvmpipe included), offscreen
// on a surfaceless display: no window system, display or GPU needed.
//
// How the command-buffer model maps onto GL:
// - Encoders issue GL calls at once on the calling (main) thread; commit()
//   presents the drawable, inserts an EGL fence sync and flushes. A
//   completion thread waits on each fence in commit order (EGL syncs belong
//   to the display, so that thread needs no GL context) and then runs the
//   buffer's completed handlers.
// - Buffers keep a CPU copy (contents()); it is uploaded whenever the buffer
//   is bound for a draw, so CPU writes are seen by commands encoded after
//   them.
// - The texture cache copies a plane once, with glTexSubImage2D straight
//   from the locked base address (row length from the plane's stride), into
//   a texture recycled from a small pool. GL orders the upload after earlier
//   draws that read the same texture object.
// - Pipelines are linked programs. Vertex attribute N is location N. A
//   sampler named "..._N" reads texture slot N; a uniform block "..._N"
//   reads buffer slot N (buffer slots that aren't vertex layouts are bound
//   as uniform buffer ranges).
//
// Threads: create the device, and make every call, on one thread (the main
// thread), which keeps the context current. Completed handlers run on the
// device's completion thread.
#pragma once

#include <EGL/egl.h>
#include <GLES3/gl3.h>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/GPU.h"
#include "base/ThreadAnnotations.h"

namespace tevra::gl {

// An EGL display and a GLES 3 context without a surface.
class GLContext {
public:
    // Null with `error` set when EGL or GLES 3 is not available.
    static std::shared_ptr<GLContext> createSurfaceless(Error* error);
    ~GLContext();
    bool makeCurrent() const;
    EGLDisplay display() const { return display_; }
    std::string rendererName() const;

private:
    GLContext() = default;
    EGLDisplay display_ = EGL_NO_DISPLAY;
    EGLContext context_ = EGL_NO_CONTEXT;
};

// Waits for fences in order and runs the completed handlers.
class GLCompletionThread {
public:
    explicit GLCompletionThread(EGLDisplay display);
    ~GLCompletionThread();
    // Takes over `sync` (may be EGL_NO_SYNC: the handlers run at once).
    void enqueue(EGLSync sync, std::vector<std::function<void()>> handlers);

private:
    void run();
    struct Item {
        EGLSync sync;
        std::vector<std::function<void()>> handlers;
    };
    EGLDisplay display_;
    Mutex mutex_;
    ConditionVariable cv_;
    std::deque<Item> items_ TEVRA_GUARDED_BY(mutex_);
    bool stopping_ TEVRA_GUARDED_BY(mutex_) = false;
    std::thread thread_;
};

class GLBuffer : public GPUBuffer {
public:
    GLBuffer(GLuint name, size_t length) : name_(name), shadow_(length, 0) {}
    ~GLBuffer() override;
    void* contents() override { return shadow_.data(); }
    size_t length() const override { return shadow_.size(); }
    GLuint name() const { return name_; }
    // Uploads the CPU copy.
    void sync();

private:
    GLuint name_;
    std::vector<uint8_t> shadow_;
};

class GLTexturePool;

class GLTexture : public GPUTexture {
public:
    GLTexture(GLuint name, size_t w, size_t h, GPUPixelFormat f, std::weak_ptr<GLTexturePool> pool)
        : name_(name), w_(w), h_(h), f_(f), pool_(std::move(pool)) {}
    ~GLTexture() override;
    size_t width() const override { return w_; }
    size_t height() const override { return h_; }
    GPUPixelFormat pixelFormat() const override { return f_; }
    GLuint name() const { return name_; }

private:
    GLuint name_;
    size_t w_, h_;
    GPUPixelFormat f_;
    std::weak_ptr<GLTexturePool> pool_;
};

// A render pass into a framebuffer, cleared to opaque black.
class GLRenderPassDescriptor : public GPURenderPassDescriptor {
public:
    GLRenderPassDescriptor(GLuint framebuffer, int width, int height)
        : framebuffer(framebuffer), width(width), height(height) {}
    GLuint framebuffer;
    int width, height;
    float clearColor[4] = {0, 0, 0, 1};
};

class GLDrawable : public GPUDrawable {
public:
    explicit GLDrawable(std::function<void()> present) : present_(std::move(present)) {}
    void present() {
        if (present_) present_();
    }

private:
    std::function<void()> present_;
};

class GLDevice : public GPUDevice, public std::enable_shared_from_this<GLDevice> {
public:
    // A device on `context`, which is made current on the calling thread.
    static std::shared_ptr<GLDevice> create(std::shared_ptr<GLContext> context);
    // A device on a new surfaceless context; null with `error` set without EGL.
    static std::shared_ptr<GLDevice> createSurfaceless(Error* error);
    ~GLDevice() override;

    std::string name() const override;
    std::shared_ptr<GPUBuffer> newBufferWithLength(size_t length, unsigned long options) override;
    std::shared_ptr<GPUBuffer> newBufferWithBytes(const void* bytes, size_t length, unsigned long options) override;
    std::shared_ptr<GPULibrary> newLibraryWithFile(const std::string& path, Error* error) override;
    std::shared_ptr<GPURenderPipelineState> newRenderPipelineStateWithDescriptor(
        const GPURenderPipelineDescriptor& descriptor, Error* error) override;
    std::shared_ptr<GPUDepthStencilState> newDepthStencilStateWithDescriptor(
        const GPUDepthStencilDescriptor& descriptor) override;
    std::shared_ptr<GPUCommandQueue> newCommandQueue() override;
    std::shared_ptr<GPUTextureCache> newTextureCache() override;

    const std::shared_ptr<GLContext>& context() const { return context_; }
    // Commits: presents, fences, flushes, and hands the fence to the
    // completion thread.
    void commit(const std::shared_ptr<GLDrawable>& drawable, std::vector<std::function<void()>> handlers);

    // Time spent copying planes into textures, for measurements.
    struct UploadStats {
        uint64_t nanoseconds = 0;     // wall time on the calling thread
        uint64_t cpuNanoseconds = 0;  // that thread's CPU time
        uint64_t planes = 0;
        uint64_t bytes = 0;
    };
    UploadStats uploadStats() const;
    void addUpload(uint64_t ns, uint64_t cpuNs, uint64_t bytes);

private:
    explicit GLDevice(std::shared_ptr<GLContext> context);
    std::shared_ptr<GLContext> context_;
    std::unique_ptr<GLCompletionThread> completion_;
    std::atomic<uint64_t> uploadNs_{0}, uploadCpuNs_{0}, uploadPlanes_{0}, uploadBytes_{0};
};

// An offscreen render destination: a framebuffer with an RGBA8 colour and a
// 32-bit float depth / 8-bit stencil attachment. Its drawable's present only
// counts. Main thread.
class GLOffscreenDestination : public RenderDestinationProvider {
public:
    GLOffscreenDestination(std::shared_ptr<GLDevice> device, int width, int height);
    ~GLOffscreenDestination() override;
    std::shared_ptr<GPURenderPassDescriptor> currentRenderPassDescriptor() override;
    std::shared_ptr<GPUDrawable> currentDrawable() override;

    // Withholds the pass descriptor (a view without a drawable yet).
    void setPassAvailableForTesting(bool available) { passAvailable_ = available; }
    // The colour attachment as RGBA bytes, top row first.
    std::vector<uint8_t> readPixels() const;
    int width() const { return width_; }
    int height() const { return height_; }
    int presentCount() const { return *presents_; }

private:
    std::shared_ptr<GLDevice> device_;
    int width_, height_;
    GLuint framebuffer_ = 0, color_ = 0, depthStencil_ = 0;
    bool passAvailable_ = true;
    std::shared_ptr<std::atomic<int>> presents_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace tevra::gl
