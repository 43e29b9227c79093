/// @file
/// The GPU device, the small drawing API the renderer uses, and the camera
/// view's render destination.
///
/// GPUDevice is the handle of the system default GPU; absent when there is no
/// usable GPU API. Its factory methods return null (with an Error where one is
/// taken) when the device can't make the object; the base class makes nothing,
/// so a device that only names itself draws nothing.
///
/// The model is that of a command-buffer GPU API: buffers with CPU-visible
/// contents, textures made from pixel-buffer planes by a texture cache,
/// pipelines built from named shader functions of a library, depth states,
/// command buffers that are committed and report completion on a GPU
/// completion thread, and a render destination that hands out the current
/// pass descriptor and drawable.
///
/// Threads: every call is made on the main thread (the thread that owns the
/// GPU context), except that completed handlers run on the device's
/// completion thread and must only signal.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "base/Error.h"
#include "platform/PixelBuffer.h"

namespace tevra {

/// Texture and attachment formats: Invalid (none), R8Unorm (one normalised
/// 8-bit channel: a luma plane), RG8Unorm (two: a Cb/Cr plane), BGRA8Unorm
/// (colour), Depth32Float_Stencil8 (depth and stencil).
enum class GPUPixelFormat { Invalid, R8Unorm, RG8Unorm, BGRA8Unorm, Depth32Float_Stencil8 };
/// Vertex attribute formats: Float2 and Float3 (32-bit floats), Half3 (three 16-bit floats).
enum class GPUVertexFormat { Float2, Float3, Half3 };
/// Depth tests: a fragment passes Never, if Less or LessEqual than the stored depth, or Always.
enum class GPUCompareFunction { Never, Less, LessEqual, Always };
/// Which triangles are culled: None, the Front faces or the Back faces.
enum class GPUCullMode { None, Front, Back };
/// How vertices make triangles: each three a Triangle, or a TriangleStrip.
enum class GPUPrimitiveType { Triangle, TriangleStrip };
/// Index sizes: UInt16 or UInt32.
enum class GPUIndexType { UInt16, UInt32 };

/// Resource options: 0 is CPU/GPU shared storage, the only kind used.
constexpr unsigned long GPUResourceStorageModeShared = 0;

/// Base of every labelled GPU object.
class GPULabelled {
public:
    virtual ~GPULabelled() = default;
    /// Names the object (for debugging tools).
    void setLabel(std::string label) { label_ = std::move(label); }
    /// The name given; empty by default.
    const std::string& label() const { return label_; }

private:
    std::string label_;
};

/// A buffer of bytes shared by CPU and GPU.
class GPUBuffer : public GPULabelled {
public:
    /// The CPU view of the buffer; writes are seen by commands encoded after
    /// them. Never null for a buffer that exists.
    virtual void* contents() = 0;
    /// The size in bytes.
    virtual size_t length() const = 0;
};

/// A two-dimensional texture.
class GPUTexture : public GPULabelled {
public:
    /// Width in texels.
    virtual size_t width() const = 0;
    /// Height in texels.
    virtual size_t height() const = 0;
    /// The texel format.
    virtual GPUPixelFormat pixelFormat() const = 0;
};

/// Makes textures from pixel-buffer planes.
class GPUTextureCache {
public:
    virtual ~GPUTextureCache() = default;
    /// A texture holding plane `planeIndex` of `buffer` (width x height
    /// samples, one or two 8-bit channels by `format`). Null on failure: a
    /// plane that doesn't exist or doesn't match the size or format, or memory
    /// that can't be read. Locks the buffer read-only for as long as it reads.
    virtual std::shared_ptr<GPUTexture> createTextureFromImage(PixelBuffer& buffer, GPUPixelFormat format, size_t width,
                                                               size_t height, size_t planeIndex) = 0;
};

/// A shader function of a library.
class GPUFunction {
public:
    virtual ~GPUFunction() = default;
    /// The function's name in its library.
    virtual const std::string& name() const = 0;
};

/// A library of named shader functions.
class GPULibrary {
public:
    virtual ~GPULibrary() = default;
    /// The named shader function, or null when the library has none.
    virtual std::shared_ptr<GPUFunction> newFunctionWithName(const std::string& name) = 0;
};

/// One vertex attribute: its format and where it is read from.
struct GPUVertexAttribute {
    /// The attribute's format.
    GPUVertexFormat format = GPUVertexFormat::Float2;
    /// Byte offset within a vertex.
    size_t offset = 0;
    /// The vertex buffer it is read from.
    size_t bufferIndex = 0;
};

/// The layout of one vertex buffer.
struct GPUVertexBufferLayout {
    size_t stride = 0;  ///< one step per vertex
};

/// The vertex layout of a pipeline.
struct GPUVertexDescriptor {
    std::map<size_t, GPUVertexAttribute> attributes;  ///< by attribute index
    std::map<size_t, GPUVertexBufferLayout> layouts;  ///< by buffer index
};

/// What a render pipeline is built from.
struct GPURenderPipelineDescriptor {
    /// A name for debugging tools.
    std::string label;
    /// The vertex shader function.
    std::shared_ptr<GPUFunction> vertexFunction;
    /// The fragment shader function.
    std::shared_ptr<GPUFunction> fragmentFunction;
    /// The vertex layout.
    GPUVertexDescriptor vertexDescriptor;
    /// Samples per pixel.
    unsigned long rasterSampleCount = 1;
    /// The colour attachment's format.
    GPUPixelFormat colorAttachment0PixelFormat = GPUPixelFormat::Invalid;
    /// The depth attachment's format; Invalid for none.
    GPUPixelFormat depthAttachmentPixelFormat = GPUPixelFormat::Invalid;
    /// The stencil attachment's format; Invalid for none.
    GPUPixelFormat stencilAttachmentPixelFormat = GPUPixelFormat::Invalid;
};

/// A built render pipeline (shaders and vertex layout).
class GPURenderPipelineState {
public:
    virtual ~GPURenderPipelineState() = default;
    /// The descriptor's label.
    virtual const std::string& label() const = 0;
};

/// What a depth state is built from.
struct GPUDepthStencilDescriptor {
    /// The depth test.
    GPUCompareFunction depthCompareFunction = GPUCompareFunction::Always;
    /// Whether passing fragments write their depth.
    bool depthWriteEnabled = false;
};

/// A built depth state; what it is belongs to the implementation.
class GPUDepthStencilState {
public:
    virtual ~GPUDepthStencilState() = default;
};

/// Where one frame's pass draws; what it is belongs to the implementation.
class GPURenderPassDescriptor {
public:
    virtual ~GPURenderPassDescriptor() = default;
};

/// The image that is shown once the command buffer that presents it is done.
class GPUDrawable {
public:
    virtual ~GPUDrawable() = default;
};

/// Encodes the draws of one render pass.
class GPURenderCommandEncoder : public GPULabelled {
public:
    /// Opens a named group of commands for debugging tools.
    virtual void pushDebugGroup(const std::string& name) = 0;
    /// Closes the group opened last.
    virtual void popDebugGroup() = 0;
    /// Which faces the following draws cull.
    virtual void setCullMode(GPUCullMode mode) = 0;
    /// The pipeline the following draws use.
    virtual void setRenderPipelineState(const std::shared_ptr<GPURenderPipelineState>& state) = 0;
    /// The depth test the following draws use.
    virtual void setDepthStencilState(const std::shared_ptr<GPUDepthStencilState>& state) = 0;
    /// Binds `buffer` from byte `offset` at vertex-stage slot `index`.
    virtual void setVertexBuffer(const std::shared_ptr<GPUBuffer>& buffer, size_t offset, size_t index) = 0;
    /// Binds `buffer` from byte `offset` at fragment-stage slot `index`.
    virtual void setFragmentBuffer(const std::shared_ptr<GPUBuffer>& buffer, size_t offset, size_t index) = 0;
    /// Binds `texture` at fragment-stage texture slot `index`.
    virtual void setFragmentTexture(const std::shared_ptr<GPUTexture>& texture, size_t index) = 0;
    /// Draws `vertexCount` vertices from `vertexStart`.
    virtual void drawPrimitives(GPUPrimitiveType type, size_t vertexStart, size_t vertexCount) = 0;
    /// Draws `instanceCount` instances of `indexCount` indices read from
    /// `indexBuffer` at byte `indexBufferOffset`.
    virtual void drawIndexedPrimitives(GPUPrimitiveType type, size_t indexCount, GPUIndexType indexType,
                                       const std::shared_ptr<GPUBuffer>& indexBuffer, size_t indexBufferOffset,
                                       size_t instanceCount) = 0;
    /// Ends the pass; the encoder takes no more commands.
    virtual void endEncoding() = 0;
};

/// A command buffer: the passes of one frame, committed once.
class GPUCommandBuffer : public GPULabelled {
public:
    /// `handler` runs once on the completion thread after the GPU has finished
    /// the buffer's work (also for a buffer with no work). Register before
    /// commit.
    virtual void addCompletedHandler(std::function<void()> handler) = 0;
    /// An encoder drawing into the pass, or null if the pass can't be used.
    virtual std::shared_ptr<GPURenderCommandEncoder> renderCommandEncoderWithDescriptor(
        const GPURenderPassDescriptor& descriptor) = 0;
    /// Shows the drawable once the buffer's work is done.
    virtual void presentDrawable(const std::shared_ptr<GPUDrawable>& drawable) = 0;
    /// Hands the buffer's work to the GPU; a second commit does nothing.
    virtual void commit() = 0;
};

/// Hands out command buffers.
class GPUCommandQueue {
public:
    virtual ~GPUCommandQueue() = default;
    /// A new command buffer, or null when the queue can't make one.
    virtual std::shared_ptr<GPUCommandBuffer> commandBuffer() = 0;
};

/// The GPU device: makes buffers, libraries, pipelines, depth states,
/// command queues and texture caches.
class GPUDevice {
public:
    virtual ~GPUDevice() = default;
    /// The device's name.
    virtual std::string name() const = 0;

    /// A zero-filled buffer of `length` bytes, or null.
    virtual std::shared_ptr<GPUBuffer> newBufferWithLength(size_t /*length*/, unsigned long /*options*/) {
        return nullptr;
    }
    /// A buffer holding a copy of `length` bytes at `bytes`, or null.
    virtual std::shared_ptr<GPUBuffer> newBufferWithBytes(const void* /*bytes*/, size_t /*length*/,
                                                          unsigned long /*options*/) {
        return nullptr;
    }
    /// The shader library in the file at `path`, or null with `error` set.
    virtual std::shared_ptr<GPULibrary> newLibraryWithFile(const std::string& /*path*/, Error* error) {
        if (error) *error = Error{"GPUDevice", -1, "No GPU API"};
        return nullptr;
    }
    /// A pipeline, or null with `error` set (missing function, compile or
    /// link failure).
    virtual std::shared_ptr<GPURenderPipelineState> newRenderPipelineStateWithDescriptor(
        const GPURenderPipelineDescriptor& /*descriptor*/, Error* error) {
        if (error) *error = Error{"GPUDevice", -1, "No GPU API"};
        return nullptr;
    }
    /// A depth state, or null.
    virtual std::shared_ptr<GPUDepthStencilState> newDepthStencilStateWithDescriptor(
        const GPUDepthStencilDescriptor& /*descriptor*/) {
        return nullptr;
    }
    /// A command queue, or null.
    virtual std::shared_ptr<GPUCommandQueue> newCommandQueue() { return nullptr; }
    /// The cache that turns pixel-buffer planes into textures, or null.
    virtual std::shared_ptr<GPUTextureCache> newTextureCache() { return nullptr; }
};

/// What a view offers the renderer to draw into. The formats and sample count
/// are set once by the renderer; the pass descriptor and drawable are asked
/// for on every frame and may be absent (no drawable yet).
class RenderDestinationProvider {
public:
    virtual ~RenderDestinationProvider() = default;
    /// Sets the depth-stencil attachment's format.
    virtual void setDepthStencilPixelFormat(GPUPixelFormat f) { depthStencilPixelFormat_ = f; }
    /// Sets the colour attachment's format.
    virtual void setColorPixelFormat(GPUPixelFormat f) { colorPixelFormat_ = f; }
    /// Sets the samples per pixel.
    virtual void setSampleCount(unsigned long n) { sampleCount_ = n; }
    /// The depth-stencil attachment's format; Invalid until set.
    GPUPixelFormat depthStencilPixelFormat() const { return depthStencilPixelFormat_; }
    /// The colour attachment's format; BGRA8Unorm until set.
    GPUPixelFormat colorPixelFormat() const { return colorPixelFormat_; }
    /// Samples per pixel; 1 until set.
    unsigned long sampleCount() const { return sampleCount_; }

    /// The pass of the frame being drawn, or null.
    virtual std::shared_ptr<GPURenderPassDescriptor> currentRenderPassDescriptor() = 0;
    /// The image of the frame being drawn, or null (no drawable yet).
    virtual std::shared_ptr<GPUDrawable> currentDrawable() = 0;

private:
    GPUPixelFormat depthStencilPixelFormat_ = GPUPixelFormat::Invalid;
    GPUPixelFormat colorPixelFormat_ = GPUPixelFormat::BGRA8Unorm;
    unsigned long sampleCount_ = 1;
};

}  // namespace tevra
