#include "platform/fake/FakeGPU.h"

#include <cstring>

namespace tevra::fake {

const char* gpuPixelFormatName(GPUPixelFormat f) {
    switch (f) {
        case GPUPixelFormat::Invalid:
            return "Invalid";
        case GPUPixelFormat::R8Unorm:
            return "R8Unorm";
        case GPUPixelFormat::RG8Unorm:
            return "RG8Unorm";
        case GPUPixelFormat::BGRA8Unorm:
            return "BGRA8Unorm";
        case GPUPixelFormat::Depth32Float_Stencil8:
            return "Depth32Float_Stencil8";
    }
    return "?";
}

namespace {

const char* compareName(GPUCompareFunction f) {
    switch (f) {
        case GPUCompareFunction::Never:
            return "never";
        case GPUCompareFunction::Less:
            return "less";
        case GPUCompareFunction::LessEqual:
            return "lessEqual";
        case GPUCompareFunction::Always:
            return "always";
    }
    return "?";
}

const char* cullName(GPUCullMode m) {
    switch (m) {
        case GPUCullMode::None:
            return "none";
        case GPUCullMode::Front:
            return "front";
        case GPUCullMode::Back:
            return "back";
    }
    return "?";
}

const char* primitiveName(GPUPrimitiveType t) {
    return t == GPUPrimitiveType::TriangleStrip ? "triangleStrip" : "triangle";
}

struct FakePassDescriptor : GPURenderPassDescriptor {};
struct FakeDrawable : GPUDrawable {};

class FakeFunction : public GPUFunction {
public:
    explicit FakeFunction(std::string n) : name_(std::move(n)) {}
    const std::string& name() const override { return name_; }

private:
    std::string name_;
};

class FakeLibrary : public GPULibrary {
public:
    FakeLibrary(std::weak_ptr<FakeGPU> gpu, std::set<std::string> names)
        : gpu_(std::move(gpu)), names_(std::move(names)) {}
    std::shared_ptr<GPUFunction> newFunctionWithName(const std::string& name) override {
        const bool found = names_.count(name) > 0;
        if (auto g = gpu_.lock()) g->record("newFunctionWithName " + name + (found ? "" : " (missing)"));
        return found ? std::make_shared<FakeFunction>(name) : nullptr;
    }

private:
    std::weak_ptr<FakeGPU> gpu_;
    std::set<std::string> names_;
};

class FakePipeline : public GPURenderPipelineState {
public:
    explicit FakePipeline(std::string label) : label_(std::move(label)) {}
    const std::string& label() const override { return label_; }

private:
    std::string label_;
};

class FakeDepthState : public GPUDepthStencilState {
public:
    explicit FakeDepthState(GPUDepthStencilDescriptor d) : descriptor(d) {}
    GPUDepthStencilDescriptor descriptor;
};

class FakeEncoder : public GPURenderCommandEncoder {
public:
    explicit FakeEncoder(std::shared_ptr<FakeGPU> gpu) : gpu_(std::move(gpu)) {}
    void pushDebugGroup(const std::string& name) override { gpu_->record("pushDebugGroup " + name); }
    void popDebugGroup() override { gpu_->record("popDebugGroup"); }
    void setCullMode(GPUCullMode mode) override { gpu_->record(std::string("setCullMode ") + cullName(mode)); }
    void setRenderPipelineState(const std::shared_ptr<GPURenderPipelineState>& s) override {
        gpu_->record("setRenderPipelineState " + (s ? s->label() : std::string("null")));
    }
    void setDepthStencilState(const std::shared_ptr<GPUDepthStencilState>& s) override {
        auto* d = dynamic_cast<FakeDepthState*>(s.get());
        gpu_->record(d ? std::string("setDepthStencilState ") + compareName(d->descriptor.depthCompareFunction) +
                             (d->descriptor.depthWriteEnabled ? " write" : " nowrite")
                       : std::string("setDepthStencilState null"));
    }
    void setVertexBuffer(const std::shared_ptr<GPUBuffer>& b, size_t offset, size_t index) override {
        gpu_->record("setVertexBuffer " + (b ? b->label() : std::string("null")) + " " + std::to_string(offset) + " " +
                     std::to_string(index));
    }
    void setFragmentBuffer(const std::shared_ptr<GPUBuffer>& b, size_t offset, size_t index) override {
        gpu_->record("setFragmentBuffer " + (b ? b->label() : std::string("null")) + " " + std::to_string(offset) +
                     " " + std::to_string(index));
    }
    void setFragmentTexture(const std::shared_ptr<GPUTexture>& t, size_t index) override {
        gpu_->record("setFragmentTexture " + std::to_string(index) + " " +
                     (t ? std::string(gpuPixelFormatName(t->pixelFormat())) + " " + std::to_string(t->width()) + "x" +
                              std::to_string(t->height())
                        : std::string("null")));
    }
    void drawPrimitives(GPUPrimitiveType type, size_t start, size_t count) override {
        gpu_->record(std::string("drawPrimitives ") + primitiveName(type) + " " + std::to_string(start) + " " +
                     std::to_string(count));
    }
    void drawIndexedPrimitives(GPUPrimitiveType type, size_t indexCount, GPUIndexType,
                               const std::shared_ptr<GPUBuffer>&, size_t, size_t instanceCount) override {
        gpu_->record(std::string("drawIndexedPrimitives ") + primitiveName(type) + " " + std::to_string(indexCount) +
                     " x" + std::to_string(instanceCount));
    }
    void endEncoding() override { gpu_->record("endEncoding " + label()); }

private:
    std::shared_ptr<FakeGPU> gpu_;
};

class FakeCommandBuffer : public GPUCommandBuffer {
public:
    explicit FakeCommandBuffer(std::shared_ptr<FakeGPU> gpu) : gpu_(std::move(gpu)) {}
    void addCompletedHandler(std::function<void()> handler) override { handlers_.push_back(std::move(handler)); }
    std::shared_ptr<GPURenderCommandEncoder> renderCommandEncoderWithDescriptor(
        const GPURenderPassDescriptor&) override {
        gpu_->record("renderCommandEncoder");
        return std::make_shared<FakeEncoder>(gpu_);
    }
    void presentDrawable(const std::shared_ptr<GPUDrawable>&) override { gpu_->record("presentDrawable"); }
    void commit() override {
        gpu_->record("commit " + label());
        gpu_->committed(std::move(handlers_));
        handlers_.clear();
    }

private:
    std::shared_ptr<FakeGPU> gpu_;
    std::vector<std::function<void()>> handlers_;
};

class FakeQueue : public GPUCommandQueue {
public:
    explicit FakeQueue(std::shared_ptr<FakeGPU> gpu) : gpu_(std::move(gpu)) {}
    std::shared_ptr<GPUCommandBuffer> commandBuffer() override {
        gpu_->record("commandBuffer");
        return std::make_shared<FakeCommandBuffer>(gpu_);
    }

private:
    std::shared_ptr<FakeGPU> gpu_;
};

class FakeTextureCache : public GPUTextureCache {
public:
    explicit FakeTextureCache(std::weak_ptr<FakeGPU> gpu) : gpu_(std::move(gpu)) {}
    std::shared_ptr<GPUTexture> createTextureFromImage(PixelBuffer& buffer, GPUPixelFormat format, size_t width,
                                                       size_t height, size_t plane) override {
        auto gpu = gpu_.lock();
        if (!gpu) return nullptr;
        gpu->record("createTextureFromImage " + std::to_string(plane) + " " + gpuPixelFormatName(format) + " " +
                    std::to_string(width) + "x" + std::to_string(height));
        if (gpu->textureCreationFails() || plane >= buffer.planeCount() || buffer.widthOfPlane(plane) != width ||
            buffer.heightOfPlane(plane) != height)
            return nullptr;
        PixelBufferLock lock(buffer, kCVPixelBufferLock_ReadOnly);
        if (!buffer.baseAddressOfPlane(plane)) return nullptr;
        return std::make_shared<FakeGPUTexture>(width, height, format, &buffer, plane);
    }

private:
    std::weak_ptr<FakeGPU> gpu_;
};

}  // namespace

std::shared_ptr<GPURenderPassDescriptor> FakeRenderDestination::currentRenderPassDescriptor() {
    return hasPass_ ? std::make_shared<FakePassDescriptor>() : nullptr;
}

std::shared_ptr<GPUDrawable> FakeRenderDestination::currentDrawable() {
    return hasDrawable_ ? std::make_shared<FakeDrawable>() : nullptr;
}

FakeGPU::FakeGPU()
    : functions_{"capturedImageVertexTransform", "capturedImageFragmentShader", "anchorGeometryVertexTransform",
                 "anchorGeometryFragmentLighting"} {}

std::shared_ptr<GPUBuffer> FakeGPU::newBufferWithLength(size_t length, unsigned long options) {
    record("newBufferWithLength " + std::to_string(length) + " options " + std::to_string(options));
    return std::make_shared<FakeGPUBuffer>(length);
}

std::shared_ptr<GPUBuffer> FakeGPU::newBufferWithBytes(const void* bytes, size_t length, unsigned long options) {
    record("newBufferWithBytes " + std::to_string(length) + " options " + std::to_string(options));
    {
        MutexLock lock(mutex_);
        ++bytesCalls_;
        if (failBytesFrom_ > 0 && bytesCalls_ >= failBytesFrom_) return nullptr;
    }
    auto b = std::make_shared<FakeGPUBuffer>(length);
    if (length) std::memcpy(b->contents(), bytes, length);
    return b;
}

std::shared_ptr<GPULibrary> FakeGPU::newLibraryWithFile(const std::string& path, Error*) {
    record("newLibraryWithFile " + path);
    MutexLock lock(mutex_);
    return std::make_shared<FakeLibrary>(weak_from_this(), functions_);
}

std::shared_ptr<GPURenderPipelineState> FakeGPU::newRenderPipelineStateWithDescriptor(
    const GPURenderPipelineDescriptor& d, Error* error) {
    record("newRenderPipelineState " + d.label);
    MutexLock lock(mutex_);
    pipelines_.push_back(d);
    for (auto& [label, e] : pipelineFailures_) {
        if (label == d.label) {
            if (error) *error = e;
            return nullptr;
        }
    }
    if (!d.vertexFunction || !d.fragmentFunction) {
        if (error) *error = Error{"GPUDevice", 1, "Missing shader function"};
        return nullptr;
    }
    return std::make_shared<FakePipeline>(d.label);
}

std::shared_ptr<GPUDepthStencilState> FakeGPU::newDepthStencilStateWithDescriptor(const GPUDepthStencilDescriptor& d) {
    record(std::string("newDepthStencilState ") + compareName(d.depthCompareFunction) +
           (d.depthWriteEnabled ? " write" : " nowrite"));
    return std::make_shared<FakeDepthState>(d);
}

std::shared_ptr<GPUCommandQueue> FakeGPU::newCommandQueue() {
    record("newCommandQueue");
    return std::make_shared<FakeQueue>(shared_from_this());
}

std::shared_ptr<GPUTextureCache> FakeGPU::newTextureCache() {
    record("newTextureCache");
    return std::make_shared<FakeTextureCache>(weak_from_this());
}

void FakeGPU::record(std::string line) {
    MutexLock lock(mutex_);
    calls_.push_back(std::move(line));
}

std::vector<std::string> FakeGPU::calls() const {
    MutexLock lock(mutex_);
    return calls_;
}

void FakeGPU::clearCalls() {
    MutexLock lock(mutex_);
    calls_.clear();
}

std::vector<GPURenderPipelineDescriptor> FakeGPU::pipelineDescriptors() const {
    MutexLock lock(mutex_);
    return pipelines_;
}

void FakeGPU::failPipeline(const std::string& label, Error error) {
    MutexLock lock(mutex_);
    pipelineFailures_.emplace_back(label, std::move(error));
}

void FakeGPU::setAutoComplete(bool a) {
    MutexLock lock(mutex_);
    autoComplete_ = a;
}

void FakeGPU::committed(std::vector<std::function<void()>> handlers) {
    bool runNow = false;
    {
        MutexLock lock(mutex_);
        ++committed_;
        runNow = autoComplete_;
        if (!runNow) pending_.push_back(std::move(handlers));
    }
    cv_.notify_all();
    if (runNow)
        for (auto& h : handlers) h();
}

bool FakeGPU::completeNext() {
    std::vector<std::function<void()>> handlers;
    {
        MutexLock lock(mutex_);
        if (pending_.empty()) return false;
        handlers = std::move(pending_.front());
        pending_.pop_front();
    }
    for (auto& h : handlers) h();
    return true;
}

void FakeGPU::completeAll() {
    while (completeNext()) {
    }
}

size_t FakeGPU::committedCount() const {
    MutexLock lock(mutex_);
    return committed_;
}

size_t FakeGPU::pendingCount() const {
    MutexLock lock(mutex_);
    return pending_.size();
}

bool FakeGPU::waitForCommitted(size_t n, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    MutexLock lock(mutex_);
    while (committed_ < n)
        if (!cv_.waitUntil(mutex_, deadline)) return committed_ >= n;
    return true;
}

}  // namespace tevra::fake
