// Renderer: draws the AR camera image full-screen into the camera view.
//
// In: the session's current frame on each `update` (its two-plane "420f"
// camera buffer and its display transform), the view size and the interface
// orientation. Out: one command buffer per update that draws a full-screen
// quad sampling the luma and chroma planes, converted to RGB in the shader,
// and presents the view's drawable. A second pipeline for lit anchor cubes is
// built but never draws: the anchor instance count stays 0.
//
// Fails: pipeline or mesh creation failures are logged ("Failed to created
// captured image pipeline state, error %@", "Failed to created geometry
// pipeline state, error %@", "Error creating MetalKit mesh %@") and the
// renderer carries on without that part; a frame with fewer than two planes
// keeps the previous textures; without a pass descriptor nothing is encoded
// but the frame is still presented and committed.
//
// Example: a 1920 x 1440 frame gives a 1920 x 1440 R8 luma texture and a
// 960 x 720 RG8 chroma texture; the first three updates write uniform slots
// 1, 2, 0 (shared offsets 256, 512, 0; anchor offsets 4352, 8704, 0).
//
// Threads: everything on the main thread. At most three frames are in
// flight: `update` waits on `_inFlightSemaphore`, which the command buffer's
// completed handler signals on the GPU completion thread.
#pragma once

#include <cstdint>
#include <memory>
#include <semaphore>
#include <vector>

#include "math/Simd.h"
#include "platform/ARSession.h"
#include "platform/GPU.h"
#include "platform/ThreadCheck.h"
#include "render/RendererLayout.h"

namespace tevra {

struct MeshVertexBuffer {
    std::shared_ptr<GPUBuffer> buffer;
    size_t offset = 0;
};

struct Submesh {
    GPUPrimitiveType primitiveType = GPUPrimitiveType::Triangle;
    size_t indexCount = 0;
    GPUIndexType indexType = GPUIndexType::UInt16;
    std::shared_ptr<GPUBuffer> indexBuffer;
    size_t indexBufferOffset = 0;
};

struct Mesh {
    std::vector<MeshVertexBuffer> vertexBuffers;  // by buffer index
    std::vector<Submesh> submeshes;
};

using InFlightSemaphore = std::counting_semaphore<kMaxBuffersInFlight>;

class Renderer {
public:
    // Keeps the session and device, and the destination weakly.
    Renderer(std::shared_ptr<ARSession> session, std::shared_ptr<GPUDevice> device,
             std::weak_ptr<RenderDestinationProvider> renderDestinationProvider);
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;
    ~Renderer();
    // The creation message the controller uses.
    static std::shared_ptr<Renderer> initWithSession(
        std::shared_ptr<ARSession> session, std::shared_ptr<GPUDevice> metalDevice,
        std::weak_ptr<RenderDestinationProvider> renderDestinationProvider) {
        return std::make_shared<Renderer>(std::move(session), std::move(metalDevice),
                                          std::move(renderDestinationProvider));
    }

    // The view's new size in points; the next update with a frame remaps the
    // image plane.
    void drawRectResized(Size size);
    void setInterfaceOrientation(long orientation) {
        TEVRA_ASSERT_MAIN_THREAD();
        interfaceOrientation = orientation;
    }
    // Draws the current frame. Blocks while three frames are in flight.
    void update();

    bool cameraRenderEnabled() const { return _cameraRenderEnabled; }
    void setCameraRenderEnabled(bool enabled) {
        TEVRA_ASSERT_MAIN_THREAD();
        _cameraRenderEnabled = enabled;
    }
    void enableCameraRender() { setCameraRenderEnabled(true); }
    void disableCameraRender() { setCameraRenderEnabled(false); }

    // ---- Read-only views of the state, for diagnostics and tests. ----
    Size currentViewportSize() const { return viewportSize; }
    long currentInterfaceOrientation() const { return interfaceOrientation; }
    uint8_t uniformBufferIndex() const { return _uniformBufferIndex; }
    uint32_t sharedUniformBufferOffsetValue() const { return _sharedUniformBufferOffset; }
    uint32_t anchorUniformBufferOffsetValue() const { return _anchorUniformBufferOffset; }
    void* sharedUniformBufferAddress() const { return _sharedUniformBufferAddress; }
    void* anchorUniformBufferAddress() const { return _anchorUniformBufferAddress; }
    size_t anchorInstanceCount() const { return _anchorInstanceCount; }
    bool viewportSizeDidChange() const { return _viewportSizeDidChange; }
    const std::shared_ptr<GPUTexture>& capturedImageTextureY() const { return _capturedImageTextureY; }
    const std::shared_ptr<GPUTexture>& capturedImageTextureCbCr() const { return _capturedImageTextureCbCr; }
    const std::shared_ptr<GPUBuffer>& sharedUniformBuffer() const { return _sharedUniformBuffer; }
    const std::shared_ptr<GPUBuffer>& anchorUniformBuffer() const { return _anchorUniformBuffer; }
    const std::shared_ptr<GPUBuffer>& imagePlaneVertexBuffer() const { return _imagePlaneVertexBuffer; }
    const std::shared_ptr<GPURenderPipelineState>& capturedImagePipelineState() const {
        return _capturedImagePipelineState;
    }
    const std::shared_ptr<GPURenderPipelineState>& anchorPipelineState() const { return _anchorPipelineState; }
    const std::shared_ptr<Mesh>& cubeMesh() const { return _cubeMesh; }
    const GPUVertexDescriptor& geometryVertexDescriptor() const { return _geometryVertexDescriptor; }

private:
    void _loadMetal();
    void _loadAssets();
    void _updateBufferStates();
    void _updateGameState();
    void _updateCapturedImageTexturesWithFrame(const ARFrame& frame);
    std::shared_ptr<GPUTexture> _createTextureFromPixelBuffer(PixelBuffer& pixelBuffer, GPUPixelFormat pixelFormat,
                                                              size_t planeIndex);
    void _updateImagePlaneWithFrame(const ARFrame& frame);
    void _drawCapturedImageWithCommandEncoder(GPURenderCommandEncoder& renderEncoder);
    void _drawAnchorGeometryWithCommandEncoder(GPURenderCommandEncoder& renderEncoder);

    Size viewportSize;
    long interfaceOrientation = 0;
    std::shared_ptr<ARSession> _session;
    std::weak_ptr<RenderDestinationProvider> _renderDestination;
    // Shared with the completed handlers, which may outlive the renderer.
    std::shared_ptr<InFlightSemaphore> _inFlightSemaphore;
    std::shared_ptr<GPUDevice> _device;
    std::shared_ptr<GPUCommandQueue> _commandQueue;
    std::shared_ptr<GPUBuffer> _sharedUniformBuffer;
    std::shared_ptr<GPUBuffer> _anchorUniformBuffer;
    std::shared_ptr<GPUBuffer> _imagePlaneVertexBuffer;
    std::shared_ptr<GPURenderPipelineState> _capturedImagePipelineState;
    std::shared_ptr<GPUDepthStencilState> _capturedImageDepthState;
    std::shared_ptr<GPURenderPipelineState> _anchorPipelineState;
    std::shared_ptr<GPUDepthStencilState> _anchorDepthState;
    std::shared_ptr<GPUTexture> _capturedImageTextureY;
    std::shared_ptr<GPUTexture> _capturedImageTextureCbCr;
    std::shared_ptr<GPUTextureCache> _capturedImageTextureCache;
    GPUVertexDescriptor _geometryVertexDescriptor;
    std::shared_ptr<Mesh> _cubeMesh;
    uint8_t _uniformBufferIndex = 0;
    uint32_t _sharedUniformBufferOffset = 0;
    uint32_t _anchorUniformBufferOffset = 0;
    void* _sharedUniformBufferAddress = nullptr;
    void* _anchorUniformBufferAddress = nullptr;
    size_t _anchorInstanceCount = 0;
    bool _viewportSizeDidChange = false;
    bool _cameraRenderEnabled = false;
};

}  // namespace tevra
