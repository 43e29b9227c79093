// Fuzzes recorded-session files: session.json text, and the camera image a
// frame names. The input is the JSON text, optionally followed by a NUL byte
// and image bytes, which are written as "a.jpg" and "a.nv12" beside it
// (session texts in the corpus name them). The image bytes also go straight
// to the JPEG decoder.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/sim/SessionRecording.h"
#include "FuzzFiles.h"

namespace fs = std::filesystem;

namespace {

using tevra::fuzz::fail;

fs::path scratch() { return tevra::fuzz::scratchDirectory("session"); }

void write(const fs::path& p, const char* data, size_t size) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(data, static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fs::path dir = [] {
        std::error_code ec;
        fs::remove_all(scratch(), ec);
        fs::create_directories(scratch());
        std::atexit([] {
            std::error_code e;
            fs::remove_all(scratch(), e);
        });
        return scratch();
    }();
    const char* bytes = reinterpret_cast<const char*>(data);
    const char* nul = static_cast<const char*>(std::memchr(bytes, '\0', size));
    const std::string json(bytes, nul ? static_cast<size_t>(nul - bytes) : size);
    const char* image = nul ? nul + 1 : bytes + size;
    const size_t imageSize = static_cast<size_t>(bytes + size - image);
    write(dir / "a.jpg", image, imageSize);
    write(dir / "a.nv12", image, imageSize);

    std::string error;
    tevra::sim::SessionLoadOptions options;
    // Half the inputs decode on demand, half at load.
    options.preloadLimitBytes = size % 2 ? 0 : size_t{64} << 20;
    auto recording = tevra::sim::SessionRecording::parse(json, dir.string(), error, options);
    if (!recording && error.empty()) fail("a refused session gave no reason");
    if (recording) {
        if (recording->frames().empty()) fail("a loaded session has no frames");
        // Images over 4 megapixels are left alone: a few header bytes can
        // declare them, and decoding would only measure memory.
        const bool smallImages = static_cast<long>(recording->imageWidth()) * recording->imageHeight() <= (4l << 20);
        for (size_t i = 0; i < recording->frames().size(); ++i) {
            const auto& f = recording->frames()[i];
            std::string imageError;
            auto buffer = smallImages ? recording->imageForFrame(i, imageError) : tevra::PixelBufferRef();
            if (buffer && (static_cast<int>(buffer->width()) != recording->imageWidth() ||
                           static_cast<int>(buffer->height()) != recording->imageHeight()))
                fail("a frame image differs from the session's image size");
            if (smallImages && !buffer && !f.imagePath.empty() && imageError.empty())
                fail("a missing image gave no reason");
            for (const auto& change : f.planeChanges) {
                std::string id = tevra::sim::planeAnchorIdentifier(change.id);
                if (id.size() != 36) fail("a plane anchor identifier is not a UUID text");
            }
        }
        (void)recording->frameInterval();
    }

    std::string jpegError;
    int w = 0, h = 0;
    if (tevra::sim::readJpegSize(reinterpret_cast<const uint8_t*>(image), imageSize, w, h, jpegError) &&
        static_cast<long>(w) * h <= (4l << 20)) {
        if (auto decoded = tevra::sim::decodeJpegToNV12(reinterpret_cast<const uint8_t*>(image), imageSize, jpegError))
            if (static_cast<int>(decoded->width()) != w || static_cast<int>(decoded->height()) != h)
                fail("the decoded JPEG differs from the size in its header");
    }
    return 0;
}
