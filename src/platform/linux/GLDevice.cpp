#include "platform/linux/GLDevice.h"

#include <EGL/eglext.h>
#include <GLES2/gl2ext.h>

#include <time.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/ShaderLibrary.h"

namespace tevra::gl {

namespace {

Error glError(long code, std::string text) { return Error{"GLDevice", code, std::move(text)}; }

// ---- Context ----

using PushDebugGroup = void (*)(GLenum, GLuint, GLsizei, const GLchar*);
using PopDebugGroup = void (*)();

struct DebugGroups {
    PushDebugGroup push = nullptr;
    PopDebugGroup pop = nullptr;
};

const DebugGroups& debugGroups() {
    static const DebugGroups groups = [] {
        DebugGroups g;
        g.push = reinterpret_cast<PushDebugGroup>(eglGetProcAddress("glPushDebugGroupKHR"));
        g.pop = reinterpret_cast<PopDebugGroup>(eglGetProcAddress("glPopDebugGroupKHR"));
        if (!g.push || !g.pop) g = {};
        return g;
    }();
    return groups;
}

}  // namespace

std::shared_ptr<GLContext> GLContext::createSurfaceless(Error* error) {
    auto fail = [&](std::string text) -> std::shared_ptr<GLContext> {
        if (error) *error = glError(static_cast<long>(eglGetError()), std::move(text));
        return nullptr;
    };
    std::shared_ptr<GLContext> c(new GLContext());
    auto getPlatformDisplay =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (getPlatformDisplay)
        c->display_ = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (c->display_ == EGL_NO_DISPLAY) c->display_ = eglGetDisplay(EGL_DEFAULT_DISPLAY);
    if (c->display_ == EGL_NO_DISPLAY) return fail("No EGL display");
    EGLint major = 0, minor = 0;
    if (!eglInitialize(c->display_, &major, &minor)) {
        c->display_ = EGL_NO_DISPLAY;
        return fail("eglInitialize failed");
    }
    if (major < 1 || (major == 1 && minor < 5)) return fail("EGL 1.5 is needed for fence syncs");
    if (!eglBindAPI(EGL_OPENGL_ES_API)) return fail("No OpenGL ES API");
    const EGLint configAttributes[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_ES3_BIT, EGL_NONE};
    EGLConfig config = nullptr;
    EGLint count = 0;
    eglChooseConfig(c->display_, configAttributes, &config, 1, &count);
    const EGLint contextAttributes[] = {EGL_CONTEXT_MAJOR_VERSION, 3, EGL_CONTEXT_MINOR_VERSION, 0, EGL_NONE};
    // A surfaceless display may offer no configs; a config-less context works.
    c->context_ =
        eglCreateContext(c->display_, count > 0 ? config : EGLConfig{nullptr}, EGL_NO_CONTEXT, contextAttributes);
    if (c->context_ == EGL_NO_CONTEXT) return fail("No OpenGL ES 3 context");
    if (!c->makeCurrent()) return fail("eglMakeCurrent without a surface failed");
    return c;
}

GLContext::~GLContext() {
    if (display_ == EGL_NO_DISPLAY) return;
    if (eglGetCurrentContext() == context_) eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    if (context_ != EGL_NO_CONTEXT) eglDestroyContext(display_, context_);
}

bool GLContext::makeCurrent() const {
    if (eglGetCurrentContext() == context_) return true;
    return eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_) == EGL_TRUE;
}

std::string GLContext::rendererName() const {
    const auto* r = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    return r ? r : "OpenGL ES";
}

// ---- Completion thread ----

GLCompletionThread::GLCompletionThread(EGLDisplay display) : display_(display) {
    thread_ = std::thread([this] { run(); });
}

GLCompletionThread::~GLCompletionThread() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void GLCompletionThread::enqueue(EGLSync sync, std::vector<std::function<void()>> handlers) {
    {
        MutexLock lock(mutex_);
        items_.push_back({sync, std::move(handlers)});
    }
    cv_.notify_all();
}

void GLCompletionThread::run() {
    constexpr EGLTime kSlice = 100'000'000;  // 100 ms, to notice shutdown
    constexpr int kShutdownSlices = 50;      // at shutdown, give a fence 5 s
    while (true) {
        Item item;
        {
            MutexLock lock(mutex_);
            while (!stopping_ && items_.empty()) cv_.wait(mutex_);
            if (items_.empty()) return;  // stopping with nothing left
            item = std::move(items_.front());
            items_.pop_front();
        }
        if (item.sync != EGL_NO_SYNC) {
            int slicesAfterStop = 0;
            while (eglClientWaitSync(display_, item.sync, 0, kSlice) == EGL_TIMEOUT_EXPIRED) {
                MutexLock lock(mutex_);
                if (stopping_ && ++slicesAfterStop >= kShutdownSlices) break;
            }
            eglDestroySync(display_, item.sync);
        }
        for (auto& h : item.handlers)
            if (h) h();
    }
}

// ---- Buffers and textures ----

GLBuffer::~GLBuffer() { glDeleteBuffers(1, &name_); }

void GLBuffer::sync() {
    glBindBuffer(GL_COPY_WRITE_BUFFER, name_);
    glBufferSubData(GL_COPY_WRITE_BUFFER, 0, static_cast<GLsizeiptr>(shadow_.size()), shadow_.data());
}

namespace {

struct TextureFormat {
    GLenum internal, format;
    size_t bytesPerSample;
};

bool textureFormat(GPUPixelFormat f, TextureFormat& out) {
    switch (f) {
        case GPUPixelFormat::R8Unorm:
            out = {GL_R8, GL_RED, 1};
            return true;
        case GPUPixelFormat::RG8Unorm:
            out = {GL_RG8, GL_RG, 2};
            return true;
        case GPUPixelFormat::BGRA8Unorm:
            out = {GL_RGBA8, GL_RGBA, 4};
            return true;
        default:
            return false;
    }
}

uint64_t threadCpuNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

// Texture names by (format, width, height), kept for reuse. Reuse is oldest
// first and only once a few newer ones are waiting behind it: the texture
// refilled then belongs to a frame at least three back, which the frame
// semaphore has seen finish, so the copy doesn't wait for the GPU.
class GLTexturePool {
public:
    static constexpr size_t kReserve = 2;
    static constexpr size_t kMaxPerKey = 6;
    using Key = std::tuple<int, size_t, size_t>;
    ~GLTexturePool() {
        for (auto& [key, names] : free_)
            for (GLuint n : names) glDeleteTextures(1, &n);
    }
    GLuint take(const Key& k) {
        auto it = free_.find(k);
        if (it == free_.end() || it->second.size() <= kReserve) return 0;
        GLuint n = it->second.front();
        it->second.pop_front();
        return n;
    }
    void give(const Key& k, GLuint name) {
        auto& names = free_[k];
        names.push_back(name);
        if (names.size() > kMaxPerKey) {
            glDeleteTextures(1, &names.front());
            names.pop_front();
        }
    }

private:
    std::map<Key, std::deque<GLuint>> free_;
};

GLTexture::~GLTexture() {
    if (auto pool = pool_.lock()) {
        pool->give({static_cast<int>(f_), w_, h_}, name_);
    } else {
        glDeleteTextures(1, &name_);
    }
}

namespace {

class GLTextureCache : public GPUTextureCache {
public:
    explicit GLTextureCache(std::weak_ptr<GLDevice> device)
        : device_(std::move(device)), pool_(std::make_shared<GLTexturePool>()) {}

    std::shared_ptr<GPUTexture> createTextureFromImage(PixelBuffer& buffer, GPUPixelFormat format, size_t width,
                                                       size_t height, size_t plane) override {
        TextureFormat tf;
        if (!textureFormat(format, tf) || width == 0 || height == 0) return nullptr;
        const bool planar = buffer.planeCount() > 0;
        if (planar ? plane >= buffer.planeCount() : plane != 0) return nullptr;
        if (buffer.widthOfPlane(plane) != width || buffer.heightOfPlane(plane) != height) return nullptr;
        const size_t stride = buffer.bytesPerRowOfPlane(plane);
        if (stride % tf.bytesPerSample != 0 || stride < width * tf.bytesPerSample) return nullptr;

        const auto start = std::chrono::steady_clock::now();
        const uint64_t cpuStart = threadCpuNanoseconds();
        if (buffer.lockBaseAddress(kCVPixelBufferLock_ReadOnly) != kCVReturnSuccess) return nullptr;
        const uint8_t* base = buffer.baseAddressOfPlane(plane);
        if (!base) {
            buffer.unlockBaseAddress(kCVPixelBufferLock_ReadOnly);
            return nullptr;
        }
        const GLTexturePool::Key key{static_cast<int>(format), width, height};
        GLuint name = pool_->take(key);
        if (name == 0) {
            glGenTextures(1, &name);
            glBindTexture(GL_TEXTURE_2D, name);
            glTexStorage2D(GL_TEXTURE_2D, 1, tf.internal, static_cast<GLsizei>(width), static_cast<GLsizei>(height));
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        } else {
            glBindTexture(GL_TEXTURE_2D, name);
        }
        // One copy, from the locked plane memory into the texture.
        glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, static_cast<GLint>(stride / tf.bytesPerSample));
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, static_cast<GLsizei>(width), static_cast<GLsizei>(height), tf.format,
                        GL_UNSIGNED_BYTE, base);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        buffer.unlockBaseAddress(kCVPixelBufferLock_ReadOnly);
        const GLenum err = glGetError();
        auto texture = std::make_shared<GLTexture>(name, width, height, format, pool_);
        if (err != GL_NO_ERROR) return nullptr;  // the texture goes back to the pool
        if (auto device = device_.lock()) {
            const auto ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
            device->addUpload(static_cast<uint64_t>(ns.count()), threadCpuNanoseconds() - cpuStart,
                              width * height * tf.bytesPerSample);
        }
        return texture;
    }

private:
    std::weak_ptr<GLDevice> device_;
    std::shared_ptr<GLTexturePool> pool_;
};

// ---- Library and pipelines ----

class GLFunction : public GPUFunction {
public:
    explicit GLFunction(ShaderFunctionSource s) : source(std::move(s)) {}
    const std::string& name() const override { return source.name; }
    ShaderFunctionSource source;
};

class GLLibrary : public GPULibrary {
public:
    explicit GLLibrary(ShaderFunctionMap functions) : functions_(std::move(functions)) {}
    std::shared_ptr<GPUFunction> newFunctionWithName(const std::string& name) override {
        auto it = functions_.find(name);
        return it == functions_.end() ? nullptr : std::make_shared<GLFunction>(it->second);
    }

private:
    ShaderFunctionMap functions_;
};

class GLPipeline : public GPURenderPipelineState {
public:
    GLPipeline(std::string label, GLuint program, GPUVertexDescriptor vd)
        : label_(std::move(label)), program(program), vertexDescriptor(std::move(vd)) {
        glGenVertexArrays(1, &vao);
    }
    ~GLPipeline() override {
        glDeleteVertexArrays(1, &vao);
        glDeleteProgram(program);
    }
    const std::string& label() const override { return label_; }

    std::string label_;
    GLuint program;
    GLuint vao = 0;
    GPUVertexDescriptor vertexDescriptor;
};

class GLDepthState : public GPUDepthStencilState {
public:
    explicit GLDepthState(GPUDepthStencilDescriptor d) : descriptor(d) {}
    GPUDepthStencilDescriptor descriptor;
};

GLuint compileShader(GLenum type, const ShaderFunctionSource& f, std::string& log) {
    const std::string text = "#version 300 es\nprecision highp float;\nprecision highp int;\n#line 1\n" + f.source;
    const char* src = text.c_str();
    GLuint shader = glCreateShader(type);
    glShaderSource(shader, 1, &src, nullptr);
    glCompileShader(shader);
    GLint ok = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        GLint length = 0;
        glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
        std::string info(static_cast<size_t>(std::max(length, 1)), '\0');
        glGetShaderInfoLog(shader, length, nullptr, info.data());
        log = f.name + ": " + info.c_str();
        glDeleteShader(shader);
        return 0;
    }
    return shader;
}

// The slot a "..._N" name asks for, or -1.
int slotSuffix(const std::string& name) {
    static const std::regex suffix("_([0-9]+)(\\[0\\])?$");
    std::smatch m;
    if (!std::regex_search(name, m, suffix)) return -1;
    return std::stoi(m[1].str());
}

GLenum componentType(GPUVertexFormat f) { return f == GPUVertexFormat::Half3 ? GL_HALF_FLOAT : GL_FLOAT; }
GLint componentCount(GPUVertexFormat f) { return f == GPUVertexFormat::Float2 ? 2 : 3; }

GLenum compareFunction(GPUCompareFunction f) {
    switch (f) {
        case GPUCompareFunction::Never:
            return GL_NEVER;
        case GPUCompareFunction::Less:
            return GL_LESS;
        case GPUCompareFunction::LessEqual:
            return GL_LEQUAL;
        case GPUCompareFunction::Always:
            return GL_ALWAYS;
    }
    return GL_ALWAYS;
}

GLenum primitiveMode(GPUPrimitiveType t) {
    return t == GPUPrimitiveType::TriangleStrip ? GL_TRIANGLE_STRIP : GL_TRIANGLES;
}

// ---- Encoding ----

class GLEncoder : public GPURenderCommandEncoder {
public:
    GLEncoder(std::shared_ptr<GLDevice> device, const GLRenderPassDescriptor& pass) : device_(std::move(device)) {
        glBindFramebuffer(GL_FRAMEBUFFER, pass.framebuffer);
        glViewport(0, 0, pass.width, pass.height);
        glDisable(GL_SCISSOR_TEST);
        glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
        glDepthMask(GL_TRUE);
        glClearColor(pass.clearColor[0], pass.clearColor[1], pass.clearColor[2], pass.clearColor[3]);
        glClearDepthf(1.0f);
        glClearStencil(0);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
        glEnable(GL_DEPTH_TEST);
        glDepthFunc(GL_LESS);
        glDisable(GL_CULL_FACE);
        glFrontFace(GL_CCW);  // the meshes wind counter-clockwise seen from outside
        glDisable(GL_BLEND);
    }
    void pushDebugGroup(const std::string& name) override {
        if (auto& g = debugGroups(); g.push) g.push(GL_DEBUG_SOURCE_APPLICATION_KHR, 0, -1, name.c_str());
    }
    void popDebugGroup() override {
        if (auto& g = debugGroups(); g.pop) g.pop();
    }
    void setCullMode(GPUCullMode mode) override {
        if (mode == GPUCullMode::None) {
            glDisable(GL_CULL_FACE);
        } else {
            glEnable(GL_CULL_FACE);
            glCullFace(mode == GPUCullMode::Back ? GL_BACK : GL_FRONT);
        }
    }
    void setRenderPipelineState(const std::shared_ptr<GPURenderPipelineState>& state) override {
        pipeline_ = std::dynamic_pointer_cast<GLPipeline>(state);
        glUseProgram(pipeline_ ? pipeline_->program : 0);
    }
    void setDepthStencilState(const std::shared_ptr<GPUDepthStencilState>& state) override {
        auto* d = dynamic_cast<GLDepthState*>(state.get());
        const GPUDepthStencilDescriptor desc = d ? d->descriptor : GPUDepthStencilDescriptor{};
        glDepthFunc(compareFunction(desc.depthCompareFunction));
        glDepthMask(desc.depthWriteEnabled ? GL_TRUE : GL_FALSE);
    }
    void setVertexBuffer(const std::shared_ptr<GPUBuffer>& buffer, size_t offset, size_t index) override {
        buffers_[index] = {std::dynamic_pointer_cast<GLBuffer>(buffer), offset};
    }
    void setFragmentBuffer(const std::shared_ptr<GPUBuffer>& buffer, size_t offset, size_t index) override {
        buffers_[index] = {std::dynamic_pointer_cast<GLBuffer>(buffer), offset};
    }
    void setFragmentTexture(const std::shared_ptr<GPUTexture>& texture, size_t index) override {
        auto* t = dynamic_cast<GLTexture*>(texture.get());
        glActiveTexture(GL_TEXTURE0 + static_cast<GLenum>(index));
        glBindTexture(GL_TEXTURE_2D, t ? t->name() : 0);
        textures_[index] = texture;  // keep it alive while encoding
    }
    void drawPrimitives(GPUPrimitiveType type, size_t start, size_t count) override {
        if (!prepareDraw()) return;
        glDrawArrays(primitiveMode(type), static_cast<GLint>(start), static_cast<GLsizei>(count));
        glBindVertexArray(0);
    }
    void drawIndexedPrimitives(GPUPrimitiveType type, size_t indexCount, GPUIndexType indexType,
                               const std::shared_ptr<GPUBuffer>& indexBuffer, size_t indexBufferOffset,
                               size_t instanceCount) override {
        auto ib = std::dynamic_pointer_cast<GLBuffer>(indexBuffer);
        if (!ib || instanceCount == 0 || !prepareDraw()) return;
        ib->sync();
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, ib->name());
        glDrawElementsInstanced(primitiveMode(type), static_cast<GLsizei>(indexCount),
                                indexType == GPUIndexType::UInt16 ? GL_UNSIGNED_SHORT : GL_UNSIGNED_INT,
                                reinterpret_cast<const void*>(indexBufferOffset), static_cast<GLsizei>(instanceCount));
        glBindVertexArray(0);
    }
    void endEncoding() override {
        glBindVertexArray(0);
        glUseProgram(0);
        textures_.clear();
        buffers_.clear();
    }

private:
    struct Binding {
        std::shared_ptr<GLBuffer> buffer;
        size_t offset = 0;
    };

    bool prepareDraw() {
        if (!pipeline_) return false;
        glBindVertexArray(pipeline_->vao);
        const auto& vd = pipeline_->vertexDescriptor;
        for (auto& [index, binding] : buffers_) {
            if (!binding.buffer) continue;
            binding.buffer->sync();
            if (vd.layouts.count(index)) continue;
            glBindBufferRange(GL_UNIFORM_BUFFER, static_cast<GLuint>(index), binding.buffer->name(),
                              static_cast<GLintptr>(binding.offset),
                              static_cast<GLsizeiptr>(binding.buffer->length() - binding.offset));
        }
        for (auto& [location, attribute] : vd.attributes) {
            auto b = buffers_.find(attribute.bufferIndex);
            auto layout = vd.layouts.find(attribute.bufferIndex);
            if (b == buffers_.end() || !b->second.buffer || layout == vd.layouts.end()) return false;
            glBindBuffer(GL_ARRAY_BUFFER, b->second.buffer->name());
            glEnableVertexAttribArray(static_cast<GLuint>(location));
            glVertexAttribPointer(static_cast<GLuint>(location), componentCount(attribute.format),
                                  componentType(attribute.format), GL_FALSE,
                                  static_cast<GLsizei>(layout->second.stride),
                                  reinterpret_cast<const void*>(b->second.offset + attribute.offset));
        }
        return true;
    }

    std::shared_ptr<GLDevice> device_;
    std::shared_ptr<GLPipeline> pipeline_;
    std::map<size_t, Binding> buffers_;
    std::map<size_t, std::shared_ptr<GPUTexture>> textures_;
};

class GLCommandBuffer : public GPUCommandBuffer {
public:
    explicit GLCommandBuffer(std::shared_ptr<GLDevice> device) : device_(std::move(device)) {}
    ~GLCommandBuffer() override {
        // A buffer dropped without commit still reports completion.
        if (!committed_ && !handlers_.empty()) device_->commit(nullptr, std::move(handlers_));
    }
    void addCompletedHandler(std::function<void()> handler) override { handlers_.push_back(std::move(handler)); }
    std::shared_ptr<GPURenderCommandEncoder> renderCommandEncoderWithDescriptor(
        const GPURenderPassDescriptor& descriptor) override {
        auto* pass = dynamic_cast<const GLRenderPassDescriptor*>(&descriptor);
        if (!pass || committed_) return nullptr;
        return std::make_shared<GLEncoder>(device_, *pass);
    }
    void presentDrawable(const std::shared_ptr<GPUDrawable>& drawable) override {
        drawable_ = std::dynamic_pointer_cast<GLDrawable>(drawable);
    }
    void commit() override {
        if (committed_) return;
        committed_ = true;
        device_->commit(drawable_, std::move(handlers_));
        handlers_.clear();
        drawable_.reset();
    }

private:
    std::shared_ptr<GLDevice> device_;
    std::vector<std::function<void()>> handlers_;
    std::shared_ptr<GLDrawable> drawable_;
    bool committed_ = false;
};

class GLCommandQueue : public GPUCommandQueue {
public:
    explicit GLCommandQueue(std::weak_ptr<GLDevice> device) : device_(std::move(device)) {}
    std::shared_ptr<GPUCommandBuffer> commandBuffer() override {
        auto d = device_.lock();
        return d ? std::make_shared<GLCommandBuffer>(d) : nullptr;
    }

private:
    std::weak_ptr<GLDevice> device_;
};

}  // namespace

// ---- Device ----

GLDevice::GLDevice(std::shared_ptr<GLContext> context)
    : context_(std::move(context)), completion_(std::make_unique<GLCompletionThread>(context_->display())) {}

GLDevice::~GLDevice() {
    context_->makeCurrent();
    glFinish();
    completion_.reset();  // waits for the outstanding fences and runs their handlers
}

std::shared_ptr<GLDevice> GLDevice::create(std::shared_ptr<GLContext> context) {
    if (!context || !context->makeCurrent()) return nullptr;
    return std::shared_ptr<GLDevice>(new GLDevice(std::move(context)));
}

std::shared_ptr<GLDevice> GLDevice::createSurfaceless(Error* error) {
    auto context = GLContext::createSurfaceless(error);
    return context ? create(std::move(context)) : nullptr;
}

std::string GLDevice::name() const { return context_->rendererName(); }

std::shared_ptr<GPUBuffer> GLDevice::newBufferWithLength(size_t length, unsigned long options) {
    return newBufferWithBytes(nullptr, length, options);
}

std::shared_ptr<GPUBuffer> GLDevice::newBufferWithBytes(const void* bytes, size_t length, unsigned long) {
    if (length == 0) return nullptr;
    GLuint name = 0;
    glGenBuffers(1, &name);
    if (name == 0) return nullptr;
    auto buffer = std::make_shared<GLBuffer>(name, length);
    if (bytes) std::memcpy(buffer->contents(), bytes, length);
    glBindBuffer(GL_COPY_WRITE_BUFFER, name);
    glBufferData(GL_COPY_WRITE_BUFFER, static_cast<GLsizeiptr>(length), buffer->contents(), GL_DYNAMIC_DRAW);
    if (glGetError() != GL_NO_ERROR) return nullptr;
    return buffer;
}

std::shared_ptr<GPULibrary> GLDevice::newLibraryWithFile(const std::string& path, Error* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = glError(1, "Can't read the shader library " + path);
        return nullptr;
    }
    std::stringstream text;
    text << in.rdbuf();
    auto functions = parseShaderLibrary(text.str());
    if (!functions) {
        if (error) *error = glError(2, path + ": " + functions.error.localizedDescription);
        return nullptr;
    }
    return std::make_shared<GLLibrary>(std::move(*functions));
}

std::shared_ptr<GPURenderPipelineState> GLDevice::newRenderPipelineStateWithDescriptor(
    const GPURenderPipelineDescriptor& descriptor, Error* error) {
    auto fail = [&](long code, std::string text) -> std::shared_ptr<GPURenderPipelineState> {
        if (error) *error = glError(code, std::move(text));
        return nullptr;
    };
    auto* vf = dynamic_cast<GLFunction*>(descriptor.vertexFunction.get());
    auto* ff = dynamic_cast<GLFunction*>(descriptor.fragmentFunction.get());
    if (!vf || !ff) return fail(3, "Pipeline " + descriptor.label + " lacks a vertex or fragment function");
    if (vf->source.stage != ShaderStage::Vertex || ff->source.stage != ShaderStage::Fragment)
        return fail(3, "Pipeline " + descriptor.label + " has functions of the wrong stage");
    std::string log;
    GLuint vs = compileShader(GL_VERTEX_SHADER, vf->source, log);
    if (!vs) return fail(4, "Compiling failed: " + log);
    GLuint fs = compileShader(GL_FRAGMENT_SHADER, ff->source, log);
    if (!fs) {
        glDeleteShader(vs);
        return fail(4, "Compiling failed: " + log);
    }
    GLuint program = glCreateProgram();
    glAttachShader(program, vs);
    glAttachShader(program, fs);
    glLinkProgram(program);
    glDeleteShader(vs);
    glDeleteShader(fs);
    GLint ok = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &ok);
    if (!ok) {
        GLint length = 0;
        glGetProgramiv(program, GL_INFO_LOG_LENGTH, &length);
        std::string info(static_cast<size_t>(std::max(length, 1)), '\0');
        glGetProgramInfoLog(program, length, nullptr, info.data());
        glDeleteProgram(program);
        return fail(5, "Linking " + descriptor.label + " failed: " + info.c_str());
    }
    // Texture and buffer slots from the names' "_N" suffixes.
    glUseProgram(program);
    GLint uniforms = 0;
    glGetProgramiv(program, GL_ACTIVE_UNIFORMS, &uniforms);
    for (GLint i = 0; i < uniforms; ++i) {
        char name[256];
        GLint size = 0;
        GLenum type = 0;
        glGetActiveUniform(program, static_cast<GLuint>(i), sizeof name, nullptr, &size, &type, name);
        if (type != GL_SAMPLER_2D) continue;
        const int slot = slotSuffix(name);
        if (slot >= 0) glUniform1i(glGetUniformLocation(program, name), slot);
    }
    GLint blocks = 0;
    glGetProgramiv(program, GL_ACTIVE_UNIFORM_BLOCKS, &blocks);
    for (GLint i = 0; i < blocks; ++i) {
        char name[256];
        glGetActiveUniformBlockName(program, static_cast<GLuint>(i), sizeof name, nullptr, name);
        const int slot = slotSuffix(name);
        if (slot >= 0) glUniformBlockBinding(program, static_cast<GLuint>(i), static_cast<GLuint>(slot));
    }
    glUseProgram(0);
    return std::make_shared<GLPipeline>(descriptor.label, program, descriptor.vertexDescriptor);
}

std::shared_ptr<GPUDepthStencilState> GLDevice::newDepthStencilStateWithDescriptor(
    const GPUDepthStencilDescriptor& descriptor) {
    return std::make_shared<GLDepthState>(descriptor);
}

std::shared_ptr<GPUCommandQueue> GLDevice::newCommandQueue() {
    return std::make_shared<GLCommandQueue>(weak_from_this());
}

std::shared_ptr<GPUTextureCache> GLDevice::newTextureCache() {
    return std::make_shared<GLTextureCache>(weak_from_this());
}

void GLDevice::commit(const std::shared_ptr<GLDrawable>& drawable, std::vector<std::function<void()>> handlers) {
    if (drawable) drawable->present();
    EGLSync sync = eglCreateSync(context_->display(), EGL_SYNC_FENCE, nullptr);
    glFlush();
    if (sync == EGL_NO_SYNC) glFinish();  // no fence: finish here so completion is still true
    completion_->enqueue(sync, std::move(handlers));
}

GLDevice::UploadStats GLDevice::uploadStats() const {
    return {uploadNs_.load(), uploadCpuNs_.load(), uploadPlanes_.load(), uploadBytes_.load()};
}

void GLDevice::addUpload(uint64_t ns, uint64_t cpuNs, uint64_t bytes) {
    uploadNs_ += ns;
    uploadCpuNs_ += cpuNs;
    ++uploadPlanes_;
    uploadBytes_ += bytes;
}

// ---- Offscreen destination ----

GLOffscreenDestination::GLOffscreenDestination(std::shared_ptr<GLDevice> device, int width, int height)
    : device_(std::move(device)), width_(width), height_(height) {
    glGenRenderbuffers(1, &color_);
    glBindRenderbuffer(GL_RENDERBUFFER, color_);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
    glGenRenderbuffers(1, &depthStencil_);
    glBindRenderbuffer(GL_RENDERBUFFER, depthStencil_);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH32F_STENCIL8, width, height);
    glGenFramebuffers(1, &framebuffer_);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, color_);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_STENCIL_ATTACHMENT, GL_RENDERBUFFER, depthStencil_);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) passAvailable_ = false;
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
}

GLOffscreenDestination::~GLOffscreenDestination() {
    glDeleteFramebuffers(1, &framebuffer_);
    glDeleteRenderbuffers(1, &color_);
    glDeleteRenderbuffers(1, &depthStencil_);
}

std::shared_ptr<GPURenderPassDescriptor> GLOffscreenDestination::currentRenderPassDescriptor() {
    if (!passAvailable_) return nullptr;
    return std::make_shared<GLRenderPassDescriptor>(framebuffer_, width_, height_);
}

std::shared_ptr<GPUDrawable> GLOffscreenDestination::currentDrawable() {
    return std::make_shared<GLDrawable>([presents = presents_] { ++*presents; });
}

std::vector<uint8_t> GLOffscreenDestination::readPixels() const {
    const size_t row = static_cast<size_t>(width_) * 4;
    std::vector<uint8_t> bottomUp(row * static_cast<size_t>(height_));
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width_, height_, GL_RGBA, GL_UNSIGNED_BYTE, bottomUp.data());
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    std::vector<uint8_t> topDown(bottomUp.size());
    for (int y = 0; y < height_; ++y)
        std::memcpy(&topDown[static_cast<size_t>(y) * row], &bottomUp[static_cast<size_t>(height_ - 1 - y) * row], row);
    return topDown;
}

}  // namespace tevra::gl
