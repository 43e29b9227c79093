#include "render/Renderer.h"

#include <cstring>

#include "platform/Log.h"
#include "platform/ShaderLibrary.h"
#include "platform/ThreadCheck.h"

namespace tevra {

namespace {
constexpr GPUPixelFormat kDepthStencilFormat = GPUPixelFormat::Depth32Float_Stencil8;
constexpr GPUPixelFormat kColorFormat = GPUPixelFormat::BGRA8Unorm;
constexpr float kCubeSize = 0.075f;
}  // namespace

Renderer::Renderer(std::shared_ptr<ARSession> session, std::shared_ptr<GPUDevice> device,
                   std::weak_ptr<RenderDestinationProvider> renderDestinationProvider)
    : _session(std::move(session)),
      _renderDestination(std::move(renderDestinationProvider)),
      _inFlightSemaphore(std::make_shared<InFlightSemaphore>(kMaxBuffersInFlight)),
      _device(std::move(device)) {
    _cameraRenderEnabled = true;
    _loadMetal();
    _loadAssets();
}

Renderer::~Renderer() = default;

void Renderer::drawRectResized(Size size) {
    TEVRA_ASSERT_MAIN_THREAD();
    viewportSize = size;
    _viewportSizeDidChange = true;
}

void Renderer::_loadMetal() {
    auto destination = _renderDestination.lock();
    if (destination) {
        destination->setDepthStencilPixelFormat(kDepthStencilFormat);
        destination->setColorPixelFormat(kColorFormat);
        destination->setSampleCount(1);
    }
    if (!_device) return;

    _sharedUniformBuffer = _device->newBufferWithLength(kSharedUniformBufferSize, GPUResourceStorageModeShared);
    if (_sharedUniformBuffer) _sharedUniformBuffer->setLabel("SharedUniformBuffer");
    _anchorUniformBuffer = _device->newBufferWithLength(kAnchorUniformBufferSize, GPUResourceStorageModeShared);
    if (_anchorUniformBuffer) _anchorUniformBuffer->setLabel("AnchorUniformBuffer");
    _imagePlaneVertexBuffer = _device->newBufferWithBytes(kImagePlaneVertexData.data(), kImagePlaneVertexBufferSize,
                                                          GPUResourceStorageModeShared);
    if (_imagePlaneVertexBuffer) _imagePlaneVertexBuffer->setLabel("ImagePlaneVertexBuffer");

    // A library that fails to load is not reported here: the pipelines that
    // need its functions report their own failure.
    Error libraryError;
    auto defaultLibrary = _device->newLibraryWithFile(frameworkShaderPath("default", "glsl"), &libraryError);
    auto function = [&](const char* name) -> std::shared_ptr<GPUFunction> {
        return defaultLibrary ? defaultLibrary->newFunctionWithName(name) : nullptr;
    };

    const unsigned long sampleCount = destination ? destination->sampleCount() : 1;
    const GPUPixelFormat colorFormat = destination ? destination->colorPixelFormat() : kColorFormat;
    const GPUPixelFormat depthFormat = destination ? destination->depthStencilPixelFormat() : kDepthStencilFormat;

    GPUVertexDescriptor imagePlaneVertexDescriptor;
    imagePlaneVertexDescriptor.attributes[0] = {GPUVertexFormat::Float2, 0, 0};
    imagePlaneVertexDescriptor.attributes[1] = {GPUVertexFormat::Float2, 8, 0};
    imagePlaneVertexDescriptor.layouts[0] = {kImagePlaneVertexStride};

    GPURenderPipelineDescriptor capturedImagePipelineStateDescriptor;
    capturedImagePipelineStateDescriptor.label = "MyCapturedImagePipeline";
    capturedImagePipelineStateDescriptor.rasterSampleCount = sampleCount;
    capturedImagePipelineStateDescriptor.vertexFunction = function("capturedImageVertexTransform");
    capturedImagePipelineStateDescriptor.fragmentFunction = function("capturedImageFragmentShader");
    capturedImagePipelineStateDescriptor.vertexDescriptor = imagePlaneVertexDescriptor;
    capturedImagePipelineStateDescriptor.colorAttachment0PixelFormat = colorFormat;
    capturedImagePipelineStateDescriptor.depthAttachmentPixelFormat = depthFormat;
    capturedImagePipelineStateDescriptor.stencilAttachmentPixelFormat = depthFormat;

    Error error;
    _capturedImagePipelineState =
        _device->newRenderPipelineStateWithDescriptor(capturedImagePipelineStateDescriptor, &error);
    if (!_capturedImagePipelineState)
        logSystem("Failed to created captured image pipeline state, error " + error.description());

    _capturedImageDepthState =
        _device->newDepthStencilStateWithDescriptor({GPUCompareFunction::Always, /*depthWriteEnabled=*/false});

    _capturedImageTextureCache = _device->newTextureCache();

    _geometryVertexDescriptor = {};
    _geometryVertexDescriptor.attributes[0] = {GPUVertexFormat::Float3, 0, 0};                 // position
    _geometryVertexDescriptor.attributes[1] = {GPUVertexFormat::Float2, 0, 1};                 // texture coordinate
    _geometryVertexDescriptor.attributes[2] = {GPUVertexFormat::Half3, kCubeNormalOffset, 1};  // normal
    _geometryVertexDescriptor.layouts[0] = {kCubePositionStride};
    _geometryVertexDescriptor.layouts[1] = {kCubeAttributeStride};

    GPURenderPipelineDescriptor anchorPipelineStateDescriptor;
    anchorPipelineStateDescriptor.label = "MyAnchorPipeline";
    anchorPipelineStateDescriptor.rasterSampleCount = sampleCount;
    anchorPipelineStateDescriptor.vertexFunction = function("anchorGeometryVertexTransform");
    anchorPipelineStateDescriptor.fragmentFunction = function("anchorGeometryFragmentLighting");
    anchorPipelineStateDescriptor.vertexDescriptor = _geometryVertexDescriptor;
    anchorPipelineStateDescriptor.colorAttachment0PixelFormat = colorFormat;
    anchorPipelineStateDescriptor.depthAttachmentPixelFormat = depthFormat;
    anchorPipelineStateDescriptor.stencilAttachmentPixelFormat = depthFormat;

    error = {};
    _anchorPipelineState = _device->newRenderPipelineStateWithDescriptor(anchorPipelineStateDescriptor, &error);
    if (!_anchorPipelineState) logSystem("Failed to created geometry pipeline state, error " + error.description());

    _anchorDepthState =
        _device->newDepthStencilStateWithDescriptor({GPUCompareFunction::Less, /*depthWriteEnabled=*/true});

    _commandQueue = _device->newCommandQueue();
}

void Renderer::_loadAssets() {
    if (!_device) return;
    // The box in the layout of _geometryVertexDescriptor: positions in vertex
    // buffer 0, texture coordinates and half-float normals in buffer 1.
    const BoxMeshData box = makeBoxMesh(kCubeSize);
    auto positions = _device->newBufferWithBytes(box.positions.data(), box.positions.size(), 0);
    auto attributes = _device->newBufferWithBytes(box.attributes.data(), box.attributes.size(), 0);
    auto indices = _device->newBufferWithBytes(box.indices.data(), box.indices.size() * sizeof(uint16_t), 0);
    if (!positions || !attributes || !indices) {
        const Error error{"MeshError", -1, "Could not allocate the cube mesh's GPU buffers"};
        logSystem("Error creating MetalKit mesh " + error.localizedDescription);
        return;
    }
    auto mesh = std::make_shared<Mesh>();
    mesh->vertexBuffers = {{positions, 0}, {attributes, 0}};
    mesh->submeshes.push_back({GPUPrimitiveType::Triangle, box.indices.size(), GPUIndexType::UInt16, indices, 0});
    _cubeMesh = std::move(mesh);
}

void Renderer::update() {
    TEVRA_ASSERT_MAIN_THREAD();
    // Wait until the command buffer that last used this frame's slot is done.
    _inFlightSemaphore->acquire();

    auto commandBuffer = _commandQueue ? _commandQueue->commandBuffer() : nullptr;
    if (!commandBuffer) {
        // No GPU to draw with: nothing will signal, so give the slot back.
        _inFlightSemaphore->release();
        return;
    }
    commandBuffer->setLabel("MyCommand");
    std::shared_ptr<InFlightSemaphore> blockSemaphore = _inFlightSemaphore;
    commandBuffer->addCompletedHandler([blockSemaphore] { blockSemaphore->release(); });

    _updateBufferStates();
    _updateGameState();

    auto destination = _renderDestination.lock();
    if (auto renderPassDescriptor = destination ? destination->currentRenderPassDescriptor() : nullptr) {
        if (auto renderEncoder = commandBuffer->renderCommandEncoderWithDescriptor(*renderPassDescriptor)) {
            renderEncoder->setLabel("MyRenderEncoder");
            _drawCapturedImageWithCommandEncoder(*renderEncoder);
            _drawAnchorGeometryWithCommandEncoder(*renderEncoder);
            renderEncoder->endEncoding();
        }
    }
    if (destination) {
        if (auto drawable = destination->currentDrawable()) commandBuffer->presentDrawable(drawable);
    }
    commandBuffer->commit();
}

void Renderer::_updateBufferStates() {
    _uniformBufferIndex = nextUniformBufferIndex(_uniformBufferIndex);
    _sharedUniformBufferOffset = sharedUniformBufferOffset(_uniformBufferIndex);
    _anchorUniformBufferOffset = anchorUniformBufferOffset(_uniformBufferIndex);
    _sharedUniformBufferAddress =
        _sharedUniformBuffer ? static_cast<uint8_t*>(_sharedUniformBuffer->contents()) + _sharedUniformBufferOffset
                             : nullptr;
    _anchorUniformBufferAddress =
        _anchorUniformBuffer ? static_cast<uint8_t*>(_anchorUniformBuffer->contents()) + _anchorUniformBufferOffset
                             : nullptr;
}

void Renderer::_updateGameState() {
    auto currentFrame = _session ? _session->currentFrame() : nullptr;
    if (!currentFrame) return;
    if (_cameraRenderEnabled) _updateCapturedImageTexturesWithFrame(*currentFrame);
    if (_viewportSizeDidChange) {
        _viewportSizeDidChange = false;
        _updateImagePlaneWithFrame(*currentFrame);
    }
}

void Renderer::_updateCapturedImageTexturesWithFrame(const ARFrame& frame) {
    PixelBufferRef pixelBuffer = frame.capturedImage();
    if (!pixelBuffer || pixelBuffer->planeCount() < 2) return;
    _capturedImageTextureY = _createTextureFromPixelBuffer(*pixelBuffer, GPUPixelFormat::R8Unorm, 0);
    _capturedImageTextureCbCr = _createTextureFromPixelBuffer(*pixelBuffer, GPUPixelFormat::RG8Unorm, 1);
}

std::shared_ptr<GPUTexture> Renderer::_createTextureFromPixelBuffer(PixelBuffer& pixelBuffer,
                                                                    GPUPixelFormat pixelFormat, size_t planeIndex) {
    if (!_capturedImageTextureCache) return nullptr;
    const size_t width = pixelBuffer.widthOfPlane(planeIndex);
    const size_t height = pixelBuffer.heightOfPlane(planeIndex);
    return _capturedImageTextureCache->createTextureFromImage(pixelBuffer, pixelFormat, width, height, planeIndex);
}

void Renderer::_updateImagePlaneWithFrame(const ARFrame& frame) {
    if (!_imagePlaneVertexBuffer) return;
    const AffineTransform displayToCameraTransform =
        frame.displayTransformForOrientation(interfaceOrientation, viewportSize);
    const std::array<float, 16> vertexData = imagePlaneVertexData(displayToCameraTransform);
    auto* vertices = static_cast<float*>(_imagePlaneVertexBuffer->contents());
    for (size_t index = 0; index < 4; ++index) {
        vertices[index * 4 + 2] = vertexData[index * 4 + 2];
        vertices[index * 4 + 3] = vertexData[index * 4 + 3];
    }
}

void Renderer::_drawCapturedImageWithCommandEncoder(GPURenderCommandEncoder& renderEncoder) {
    if (!_capturedImageTextureY || !_capturedImageTextureCbCr) return;
    // Without its pipeline the pass has nothing to draw with.
    if (!_capturedImagePipelineState || !_imagePlaneVertexBuffer) return;
    renderEncoder.pushDebugGroup("DrawCapturedImage");
    renderEncoder.setCullMode(GPUCullMode::None);
    renderEncoder.setRenderPipelineState(_capturedImagePipelineState);
    renderEncoder.setDepthStencilState(_capturedImageDepthState);
    renderEncoder.setVertexBuffer(_imagePlaneVertexBuffer, 0, 0);
    renderEncoder.setFragmentTexture(_capturedImageTextureY, 1);
    renderEncoder.setFragmentTexture(_capturedImageTextureCbCr, 2);
    renderEncoder.drawPrimitives(GPUPrimitiveType::TriangleStrip, 0, 4);
    renderEncoder.popDebugGroup();
}

void Renderer::_drawAnchorGeometryWithCommandEncoder(GPURenderCommandEncoder& renderEncoder) {
    if (_anchorInstanceCount == 0) return;
    if (!_anchorPipelineState || !_cubeMesh) return;
    renderEncoder.pushDebugGroup("DrawAnchors");
    renderEncoder.setCullMode(GPUCullMode::Back);
    renderEncoder.setRenderPipelineState(_anchorPipelineState);
    renderEncoder.setDepthStencilState(_anchorDepthState);
    renderEncoder.setVertexBuffer(_anchorUniformBuffer, _anchorUniformBufferOffset, 2);
    renderEncoder.setVertexBuffer(_sharedUniformBuffer, _sharedUniformBufferOffset, 3);
    renderEncoder.setFragmentBuffer(_sharedUniformBuffer, _sharedUniformBufferOffset, 3);
    for (size_t bufferIndex = 0; bufferIndex < _cubeMesh->vertexBuffers.size(); ++bufferIndex) {
        const MeshVertexBuffer& vertexBuffer = _cubeMesh->vertexBuffers[bufferIndex];
        renderEncoder.setVertexBuffer(vertexBuffer.buffer, vertexBuffer.offset, bufferIndex);
    }
    for (const Submesh& submesh : _cubeMesh->submeshes) {
        renderEncoder.drawIndexedPrimitives(submesh.primitiveType, submesh.indexCount, submesh.indexType,
                                            submesh.indexBuffer, submesh.indexBufferOffset, _anchorInstanceCount);
    }
    renderEncoder.popDebugGroup();
}

}  // namespace tevra
