#include "render/Renderer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "platform/fake/FakeGPU.h"
#include "platform/fake/FakePlatform.h"

using namespace tevra;
using Calls = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

PixelBufferRef cameraBuffer(size_t w = 1920, size_t h = 1440) {
    return PixelBuffer::create(w, h, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
}

std::shared_ptr<fake::FakeARFrame> frameWith(PixelBufferRef image, AffineTransform display = {}) {
    auto f = std::make_shared<fake::FakeARFrame>();
    f->image_ = std::move(image);
    f->display_ = display;
    return f;
}

// Lines of `all` from the first "commandBuffer" on.
Calls frameCalls(const Calls& all) {
    auto it = std::find(all.begin(), all.end(), "commandBuffer");
    return Calls(it, all.end());
}

bool contains(const Calls& calls, const std::string& line) {
    return std::find(calls.begin(), calls.end(), line) != calls.end();
}

class RendererTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = fake::FakePlatform::install();
        gpu = std::make_shared<fake::FakeGPU>();
        destination = std::make_shared<fake::FakeRenderDestination>();
        session = std::make_shared<fake::FakeARSession>(fake->transcript);
    }
    std::unique_ptr<Renderer> make() { return std::make_unique<Renderer>(session, gpu, destination); }
    std::array<float, 16> imagePlane(const Renderer& r) {
        std::array<float, 16> v;
        std::memcpy(v.data(), r.imagePlaneVertexBuffer()->contents(), 64);
        return v;
    }

    std::shared_ptr<fake::FakePlatform> fake;
    std::shared_ptr<fake::FakeGPU> gpu;
    std::shared_ptr<fake::FakeRenderDestination> destination;
    std::shared_ptr<fake::FakeARSession> session;
};

const Calls kCameraPass = {
    "renderCommandEncoder",
    "pushDebugGroup DrawCapturedImage",
    "setCullMode none",
    "setRenderPipelineState MyCapturedImagePipeline",
    "setDepthStencilState always nowrite",
    "setVertexBuffer ImagePlaneVertexBuffer 0 0",
    "setFragmentTexture 1 R8Unorm 1920x1440",
    "setFragmentTexture 2 RG8Unorm 960x720",
    "drawPrimitives triangleStrip 0 4",
    "popDebugGroup",
    "endEncoding MyRenderEncoder",
};

TEST_F(RendererTest, SetUpConfiguresTheDestinationBuffersAndPipelines) {
    auto r = make();
    EXPECT_EQ(destination->depthStencilPixelFormat(), GPUPixelFormat::Depth32Float_Stencil8);
    EXPECT_EQ(destination->colorPixelFormat(), GPUPixelFormat::BGRA8Unorm);
    EXPECT_EQ(destination->sampleCount(), 1u);
    EXPECT_TRUE(r->cameraRenderEnabled());

    EXPECT_EQ(r->sharedUniformBuffer()->length(), 768u);
    EXPECT_EQ(r->sharedUniformBuffer()->label(), "SharedUniformBuffer");
    EXPECT_EQ(r->anchorUniformBuffer()->length(), 13056u);
    EXPECT_EQ(r->anchorUniformBuffer()->label(), "AnchorUniformBuffer");
    EXPECT_EQ(r->imagePlaneVertexBuffer()->length(), 64u);
    EXPECT_EQ(r->imagePlaneVertexBuffer()->label(), "ImagePlaneVertexBuffer");
    EXPECT_EQ(imagePlane(*r), kImagePlaneVertexData);

    const auto calls = gpu->calls();
    EXPECT_TRUE(contains(calls, "newBufferWithLength 768 options 0"));
    EXPECT_TRUE(contains(calls, "newBufferWithLength 13056 options 0"));
    EXPECT_TRUE(contains(calls, "newBufferWithBytes 64 options 0"));
    EXPECT_TRUE(contains(calls, "newDepthStencilState always nowrite"));
    EXPECT_TRUE(contains(calls, "newDepthStencilState less write"));
    EXPECT_TRUE(contains(calls, "newTextureCache"));
    EXPECT_TRUE(contains(calls, "newCommandQueue"));
    auto lib = std::find_if(calls.begin(), calls.end(), [](auto& l) { return l.rfind("newLibraryWithFile", 0) == 0; });
    ASSERT_NE(lib, calls.end());
    EXPECT_NE(lib->find("/shaders/default.glsl"), std::string::npos);

    const auto pipelines = gpu->pipelineDescriptors();
    ASSERT_EQ(pipelines.size(), 2u);
    const auto& camera = pipelines[0];
    EXPECT_EQ(camera.label, "MyCapturedImagePipeline");
    EXPECT_EQ(camera.vertexFunction->name(), "capturedImageVertexTransform");
    EXPECT_EQ(camera.fragmentFunction->name(), "capturedImageFragmentShader");
    EXPECT_EQ(camera.colorAttachment0PixelFormat, GPUPixelFormat::BGRA8Unorm);
    EXPECT_EQ(camera.depthAttachmentPixelFormat, GPUPixelFormat::Depth32Float_Stencil8);
    EXPECT_EQ(camera.stencilAttachmentPixelFormat, GPUPixelFormat::Depth32Float_Stencil8);
    EXPECT_EQ(camera.rasterSampleCount, 1u);
    ASSERT_EQ(camera.vertexDescriptor.attributes.size(), 2u);
    EXPECT_EQ(camera.vertexDescriptor.attributes.at(1).offset, 8u);
    EXPECT_EQ(camera.vertexDescriptor.layouts.at(0).stride, 16u);
    const auto& anchor = pipelines[1];
    EXPECT_EQ(anchor.label, "MyAnchorPipeline");
    EXPECT_EQ(anchor.vertexFunction->name(), "anchorGeometryVertexTransform");
    EXPECT_EQ(anchor.fragmentFunction->name(), "anchorGeometryFragmentLighting");
    const auto& g = anchor.vertexDescriptor;
    EXPECT_EQ(g.attributes.at(0).format, GPUVertexFormat::Float3);
    EXPECT_EQ(g.attributes.at(1).bufferIndex, 1u);
    EXPECT_EQ(g.attributes.at(2).format, GPUVertexFormat::Half3);
    EXPECT_EQ(g.attributes.at(2).offset, 8u);
    EXPECT_EQ(g.layouts.at(0).stride, 12u);
    EXPECT_EQ(g.layouts.at(1).stride, 16u);

    ASSERT_TRUE(r->cubeMesh());
    EXPECT_EQ(r->cubeMesh()->vertexBuffers.size(), 2u);
    ASSERT_EQ(r->cubeMesh()->submeshes.size(), 1u);
    EXPECT_EQ(r->cubeMesh()->submeshes[0].indexCount, 36u);
    EXPECT_TRUE(fake->log->systemLines().empty());
}

TEST_F(RendererTest, PipelineAndMeshFailuresAreLoggedAndTheRendererCarriesOn) {
    gpu->failPipeline("MyCapturedImagePipeline", Error{"GLSL", 3, "compile failed"});
    gpu->failPipeline("MyAnchorPipeline", Error{"GLSL", 4, "link failed"});
    gpu->failBufferWithBytesFrom(2);  // the image plane succeeds, the cube's buffers fail
    auto r = make();
    EXPECT_EQ(
        fake->log->systemLines(),
        (Calls{"Failed to created captured image pipeline state, error Error Domain=GLSL Code=3 \"compile failed\"",
               "Failed to created geometry pipeline state, error Error Domain=GLSL Code=4 \"link failed\"",
               "Error creating MetalKit mesh Could not allocate the cube mesh's GPU buffers"}));
    EXPECT_FALSE(r->cubeMesh());

    session->setCurrentFrame(frameWith(cameraBuffer()));
    gpu->clearCalls();
    r->update();
    const auto calls = frameCalls(gpu->calls());
    EXPECT_FALSE(contains(calls, "pushDebugGroup DrawCapturedImage"));
    EXPECT_TRUE(contains(calls, "presentDrawable"));
    EXPECT_TRUE(contains(calls, "commit MyCommand"));
}

TEST_F(RendererTest, MissingShaderFunctionsFailThePipelines) {
    gpu->setLibraryFunctions({"capturedImageVertexTransform", "capturedImageFragmentShader"});
    auto r = make();
    EXPECT_TRUE(r->capturedImagePipelineState());
    EXPECT_FALSE(r->anchorPipelineState());
    ASSERT_EQ(fake->log->systemLines().size(), 1u);
    EXPECT_EQ(fake->log->systemLines()[0].rfind("Failed to created geometry pipeline state, error ", 0), 0u);
}

TEST_F(RendererTest, FirstFramesRotateThroughSlotsOneTwoZero) {
    auto r = make();
    EXPECT_EQ(r->uniformBufferIndex(), 0);
    std::vector<uint32_t> shared, anchor;
    for (int i = 0; i < 3; ++i) {
        r->update();
        shared.push_back(r->sharedUniformBufferOffsetValue());
        anchor.push_back(r->anchorUniformBufferOffsetValue());
        EXPECT_EQ(r->sharedUniformBufferAddress(),
                  static_cast<uint8_t*>(r->sharedUniformBuffer()->contents()) + shared.back());
        EXPECT_EQ(r->anchorUniformBufferAddress(),
                  static_cast<uint8_t*>(r->anchorUniformBuffer()->contents()) + anchor.back());
    }
    EXPECT_EQ(shared, (std::vector<uint32_t>{256, 512, 0}));
    EXPECT_EQ(anchor, (std::vector<uint32_t>{4352, 8704, 0}));
}

TEST_F(RendererTest, AFrameIsUploadedDrawnPresentedAndCommitted) {
    auto r = make();
    auto image = cameraBuffer();
    auto frame = frameWith(image);
    frame->anchors_.push_back(std::make_shared<ARAnchor>("A", float4x4::identity()));
    session->setCurrentFrame(frame);
    gpu->clearCalls();
    r->update();
    Calls expected = {"commandBuffer", "createTextureFromImage 0 R8Unorm 1920x1440",
                      "createTextureFromImage 1 RG8Unorm 960x720"};
    expected.insert(expected.end(), kCameraPass.begin(), kCameraPass.end());
    expected.push_back("presentDrawable");
    expected.push_back("commit MyCommand");
    EXPECT_EQ(gpu->calls(), expected);
    EXPECT_EQ(r->anchorInstanceCount(), 0u) << "anchors in the session never become instances";
    EXPECT_TRUE(image->lockStats().balanced());
    EXPECT_EQ(image->lockStats().readOnlyLocks, 2);
}

TEST_F(RendererTest, FramesWithFewerThanTwoPlanesKeepThePreviousTextures) {
    auto r = make();
    // Before any two-plane frame: nothing to draw, but the frame still goes out.
    auto mono = PixelBuffer::create(640, 480, kCVPixelFormatType_OneComponent8);
    session->setCurrentFrame(frameWith(mono));
    r->update();
    EXPECT_FALSE(r->capturedImageTextureY());
    auto calls = frameCalls(gpu->calls());
    EXPECT_EQ(calls, (Calls{"commandBuffer", "renderCommandEncoder", "endEncoding MyRenderEncoder", "presentDrawable",
                            "commit MyCommand"}));

    session->setCurrentFrame(frameWith(cameraBuffer()));
    r->update();
    const auto y = r->capturedImageTextureY();
    const auto cbcr = r->capturedImageTextureCbCr();
    ASSERT_TRUE(y && cbcr);

    for (auto& image : {mono, PixelBufferRef()}) {
        session->setCurrentFrame(frameWith(image));
        gpu->clearCalls();
        r->update();
        EXPECT_EQ(r->capturedImageTextureY(), y);
        EXPECT_EQ(r->capturedImageTextureCbCr(), cbcr);
        calls = gpu->calls();
        EXPECT_FALSE(contains(calls, "createTextureFromImage 0 R8Unorm 640x480"));
        EXPECT_TRUE(contains(calls, "drawPrimitives triangleStrip 0 4")) << "the old image is drawn again";
    }
}

TEST_F(RendererTest, FailedTextureSkipsTheCameraPass) {
    auto r = make();
    session->setCurrentFrame(frameWith(cameraBuffer()));
    r->update();
    gpu->setTextureCreationFails(true);
    gpu->clearCalls();
    r->update();
    EXPECT_FALSE(r->capturedImageTextureY());
    const auto calls = gpu->calls();
    EXPECT_FALSE(contains(calls, "pushDebugGroup DrawCapturedImage"));
    EXPECT_TRUE(contains(calls, "commit MyCommand"));
}

TEST_F(RendererTest, WithoutPassDescriptorOrDrawableTheFrameIsStillCommitted) {
    auto r = make();
    session->setCurrentFrame(frameWith(cameraBuffer()));
    destination->setHasPassDescriptor(false);
    gpu->clearCalls();
    r->update();
    EXPECT_EQ(gpu->calls(),
              (Calls{"commandBuffer", "createTextureFromImage 0 R8Unorm 1920x1440",
                     "createTextureFromImage 1 RG8Unorm 960x720", "presentDrawable", "commit MyCommand"}));
    destination->setHasDrawable(false);
    gpu->clearCalls();
    r->update();
    EXPECT_FALSE(contains(gpu->calls(), "presentDrawable"));
    EXPECT_TRUE(contains(gpu->calls(), "commit MyCommand"));
}

TEST_F(RendererTest, TextureCoordinatesFollowTheDisplayTransformOnlyAfterAResize) {
    auto r = make();
    r->setInterfaceOrientation(1);
    r->drawRectResized({390, 844});
    r->update();  // no frame yet: the change waits for the first frame
    EXPECT_TRUE(r->viewportSizeDidChange());
    EXPECT_EQ(imagePlane(*r), kImagePlaneVertexData);

    auto frame = frameWith(cameraBuffer(), AffineTransform{0, 1, -1, 0, 1, 0});
    session->setCurrentFrame(frame);
    r->update();
    EXPECT_FALSE(r->viewportSizeDidChange());
    const auto v = imagePlane(*r);
    const float expected[4][2] = {{1, 1}, {1, 0}, {0, 1}, {0, 0}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(v[i * 4], kImagePlaneVertexData[i * 4]);
        EXPECT_NEAR(v[i * 4 + 2], expected[i][0], 1e-6);
        EXPECT_NEAR(v[i * 4 + 3], expected[i][1], 1e-6);
    }

    // A new transform or orientation alone changes nothing...
    frame->display_ = AffineTransform::identity();
    r->setInterfaceOrientation(3);
    r->update();
    EXPECT_EQ(imagePlane(*r), v);
    // ...until the view is resized; the mapping then starts from the table.
    r->drawRectResized({844, 390});
    r->update();
    EXPECT_EQ(imagePlane(*r), kImagePlaneVertexData);
}

TEST_F(RendererTest, DisabledCameraRenderFreezesTheImage) {
    auto r = make();
    session->setCurrentFrame(frameWith(cameraBuffer()));
    r->update();
    auto y = r->capturedImageTextureY();
    r->disableCameraRender();
    EXPECT_FALSE(r->cameraRenderEnabled());
    session->setCurrentFrame(frameWith(cameraBuffer()));
    gpu->clearCalls();
    r->update();
    EXPECT_EQ(r->capturedImageTextureY(), y);
    EXPECT_FALSE(contains(gpu->calls(), "createTextureFromImage 0 R8Unorm 1920x1440"));
    EXPECT_TRUE(contains(gpu->calls(), "drawPrimitives triangleStrip 0 4"));
    r->enableCameraRender();
    r->update();
    EXPECT_NE(r->capturedImageTextureY(), y);
}

TEST_F(RendererTest, NoDeviceDrawsNothingAndNeverBlocks) {
    Renderer r(session, nullptr, destination);
    session->setCurrentFrame(frameWith(cameraBuffer()));
    for (int i = 0; i < 5; ++i) r.update();
    EXPECT_FALSE(r.capturedImageTextureY());
}

// The CPU never gets more than three frames ahead of the GPU: the fourth
// update waits until the first command buffer completes.
TEST_F(RendererTest, AtMostThreeFramesInFlight) {
    gpu->setAutoComplete(false);
    auto r = std::shared_ptr<Renderer>(make());
    session->setCurrentFrame(frameWith(cameraBuffer()));
    auto done = std::make_shared<std::atomic<int>>(0);
    // This thread plays the main thread (update is main-thread only) while
    // the test thread completes command buffers, as the GPU would.
    std::thread main([r, done, dispatch = fake->dispatch] {
        dispatch->setMainThreadToCurrent();
        for (int i = 0; i < 6; ++i) {
            r->update();
            ++*done;
        }
    });
    EXPECT_TRUE(gpu->waitForCommitted(3, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(gpu->committedCount(), 3u) << "a fourth frame started before any finished";
    EXPECT_EQ(done->load(), 3);

    ASSERT_TRUE(gpu->completeNext());
    EXPECT_TRUE(gpu->waitForCommitted(4, 5s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(gpu->committedCount(), 4u);

    ASSERT_TRUE(gpu->completeNext());
    ASSERT_TRUE(gpu->completeNext());
    EXPECT_TRUE(gpu->waitForCommitted(6, 5s));
    EXPECT_LE(gpu->pendingCount(), 3u);

    // Let everything finish, with a bound.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (done->load() < 6 && std::chrono::steady_clock::now() < deadline) {
        gpu->completeAll();
        std::this_thread::sleep_for(1ms);
    }
    gpu->completeAll();
    if (done->load() == 6) {
        main.join();
        fake->dispatch->setMainThreadToCurrent();
    } else {
        main.detach();
        FAIL() << "update never returned";
    }
}

TEST_F(RendererTest, CompletionAfterTheRendererIsGoneIsSafe) {
    gpu->setAutoComplete(false);
    {
        auto r = make();
        r->update();
        r->update();
    }
    EXPECT_EQ(gpu->pendingCount(), 2u);
    gpu->completeAll();
}

}  // namespace
