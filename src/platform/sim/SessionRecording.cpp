#include "platform/sim/SessionRecording.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "base/TextUtils.h"
#include "platform/ARSession.h"

namespace tevra::sim {

namespace {

using nlohmann::json;

constexpr int kMaxImageSide = 16384;
constexpr size_t kMaxJsonBytes = size_t{64} << 20;
constexpr size_t kMaxImageFileBytes = size_t{256} << 20;

size_t nv12Bytes(int w, int h) {
    size_t cw = (static_cast<size_t>(w) + 1) / 2, ch = (static_cast<size_t>(h) + 1) / 2;
    return static_cast<size_t>(w) * static_cast<size_t>(h) + 2 * cw * ch;
}

bool readFile(const std::string& path, size_t limit, std::vector<uint8_t>& out, std::string& error) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        error = path + ": cannot open file";
        return false;
    }
    std::streamoff size = in.tellg();
    if (size < 0) {
        error = path + ": cannot read file";
        return false;
    }
    if (static_cast<uint64_t>(size) > limit) {
        error = path + ": file too large (" + std::to_string(size) + " bytes)";
        return false;
    }
    out.resize(static_cast<size_t>(size));
    in.seekg(0);
    if (size > 0 && !in.read(reinterpret_cast<char*>(out.data()), size)) {
        error = path + ": cannot read file";
        return false;
    }
    return true;
}

struct TjHandle {
    tjhandle h = nullptr;
    explicit TjHandle(tjhandle handle) : h(handle) {}
    ~TjHandle() {
        if (h) tjDestroy(h);
    }
    TjHandle(const TjHandle&) = delete;
    TjHandle& operator=(const TjHandle&) = delete;
};

std::string tjError(tjhandle h) {
    const char* s = tjGetErrorStr2(h);
    return s ? s : "unknown error";
}

// Takes a compressor's output into `jpeg` and frees it; false with `error`
// set when the compressor failed (`rc` not 0, or no output).
bool takeCompressed(tjhandle h, int rc, unsigned char* out, unsigned long outSize, std::vector<uint8_t>& jpeg,
                    std::string& error) {
    if (rc != 0 || !out) {
        error = "cannot encode JPEG image: " + tjError(h);
        if (out) tjFree(out);
        return false;
    }
    jpeg.assign(out, out + outSize);
    tjFree(out);
    return true;
}

// ---- session.json reading. Every helper sets `error` (with `where`) and
// returns false on a fault; none throws. ----

struct Reader {
    std::string& error;

    bool fail(const std::string& where, const std::string& what) {
        error = "session.json: " + where + what;
        return false;
    }

    bool number(const json& obj, const char* key, const std::string& where, double& out, bool required = true) {
        auto it = obj.find(key);
        if (it == obj.end()) {
            if (!required) return true;
            return fail(where, std::string("missing \"") + key + "\"");
        }
        if (!it->is_number()) return fail(where, std::string("\"") + key + "\" must be a number");
        out = it->get<double>();
        if (!std::isfinite(out)) return fail(where, std::string("\"") + key + "\" must be finite");
        return true;
    }

    bool numbers(const json& obj, const char* key, const std::string& where, size_t n, float* out) {
        auto it = obj.find(key);
        if (it == obj.end()) return fail(where, std::string("missing \"") + key + "\"");
        if (!it->is_array() || it->size() != n)
            return fail(where, std::string("\"") + key + "\" needs " + std::to_string(n) + " numbers");
        for (size_t i = 0; i < n; ++i) {
            const json& v = (*it)[i];
            if (!v.is_number())
                return fail(where, std::string("\"") + key + "\" needs " + std::to_string(n) + " numbers");
            double d = v.get<double>();
            if (!std::isfinite(d) || std::fabs(d) > 3.0e38)
                return fail(where, std::string("\"") + key + "\" holds a value out of range");
            out[i] = static_cast<float>(d);
        }
        return true;
    }

    bool intrinsics(const json& obj, const std::string& where, CameraIntrinsics& k) {
        if (!obj.is_object()) return fail(where, "\"intrinsics\" must be an object");
        double fx = 0, fy = 0, cx = 0, cy = 0;
        std::string w = where + "intrinsics: ";
        if (!number(obj, "fx", w, fx) || !number(obj, "fy", w, fy) || !number(obj, "cx", w, cx) ||
            !number(obj, "cy", w, cy))
            return false;
        if (fx <= 0 || fy <= 0) return fail(w, "fx and fy must be positive");
        k = {static_cast<float>(fx), static_cast<float>(fy), static_cast<float>(cx), static_cast<float>(cy)};
        return true;
    }

    bool enumValue(const json& obj, const char* key, const std::string& where, const std::vector<std::string>& names,
                   long& out) {
        auto it = obj.find(key);
        if (it == obj.end()) return true;  // keeps the default
        if (it->is_number_integer()) {
            long v = it->get<long>();
            if (v < 0 || v >= static_cast<long>(names.size()))
                return fail(where, std::string("\"") + key + "\" out of range");
            out = v;
            return true;
        }
        if (it->is_string()) {
            const std::string& s = it->get_ref<const std::string&>();
            for (size_t i = 0; i < names.size(); ++i)
                if (names[i] == s) {
                    out = static_cast<long>(i);
                    return true;
                }
            return fail(where, std::string("unknown ") + key + " \"" + s + "\"");
        }
        return fail(where, std::string("\"") + key + "\" must be a name or a number");
    }
};

const std::vector<std::string> kStateNames = {"notAvailable", "limited", "normal"};
const std::vector<std::string> kReasonNames = {"none", "initializing", "excessiveMotion", "insufficientFeatures",
                                               "relocalizing"};

bool isUUID(const std::string& s) {
    if (s.size() != 36) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (s[i] != '-') return false;
        } else if (!std::isxdigit(static_cast<unsigned char>(s[i]))) {
            return false;
        }
    }
    return true;
}

uint64_t fnv1a(const std::string& s, uint64_t seed) {
    uint64_t h = seed;
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

ImageFileKind imageKindOf(const std::string& path, const std::vector<uint8_t>& bytes) {
    auto dot = path.rfind('.');
    const std::string ext = lowercase(dot == std::string::npos ? "" : path.substr(dot + 1));
    if (ext == "nv12" || ext == "yuv") return ImageFileKind::NV12;
    if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) return ImageFileKind::Jpeg;
    return ImageFileKind::None;
}

}  // namespace

std::string planeAnchorIdentifier(const std::string& recordingId) {
    if (isUUID(recordingId)) {
        std::string s = recordingId;
        for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    }
    uint64_t hi = fnv1a(recordingId, 0xcbf29ce484222325ULL);
    uint64_t lo = fnv1a(recordingId, 0x84222325cbf29ce4ULL ^ hi);
    hi = (hi & ~0xF000ULL) | 0x5000ULL;                         // version 5 (name-based)
    lo = (lo & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;  // RFC 4122 variant
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(hi >> 32),
                  static_cast<unsigned>((hi >> 16) & 0xFFFF), static_cast<unsigned>(hi & 0xFFFF),
                  static_cast<unsigned>(lo >> 48), static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFULL));
    return buf;
}

PixelBufferRef nv12FromRGB(const uint8_t* rgb, int width, int height, size_t rgbStride) {
    if (!rgb || width <= 0 || height <= 0) return nullptr;
    PixelBufferRef buf = PixelBuffer::create(static_cast<size_t>(width), static_cast<size_t>(height),
                                             kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    if (!buf) return nullptr;
    PixelBufferLock lock(*buf, 0);
    uint8_t* yPlane = buf->baseAddressOfPlane(0);
    uint8_t* cPlane = buf->baseAddressOfPlane(1);
    if (!yPlane || !cPlane) return nullptr;
    const size_t yStride = buf->bytesPerRowOfPlane(0), cStride = buf->bytesPerRowOfPlane(1);
    // Full-range BT.601 (the JPEG matrix), 16-bit fixed point.
    for (int y = 0; y < height; ++y) {
        const uint8_t* src = rgb + static_cast<size_t>(y) * rgbStride;
        uint8_t* dst = yPlane + static_cast<size_t>(y) * yStride;
        for (int x = 0; x < width; ++x) {
            const uint8_t* p = src + 3 * x;
            dst[x] = static_cast<uint8_t>((19595 * p[0] + 38470 * p[1] + 7471 * p[2] + 32768) >> 16);
        }
    }
    for (int cy = 0; cy < (height + 1) / 2; ++cy) {
        uint8_t* dst = cPlane + static_cast<size_t>(cy) * cStride;
        for (int cx = 0; cx < (width + 1) / 2; ++cx) {
            int64_t r = 0, g = 0, b = 0, n = 0;
            for (int dy = 0; dy < 2; ++dy) {
                int y = 2 * cy + dy;
                if (y >= height) continue;
                for (int dx = 0; dx < 2; ++dx) {
                    int x = 2 * cx + dx;
                    if (x >= width) continue;
                    const uint8_t* p = rgb + static_cast<size_t>(y) * rgbStride + 3 * x;
                    r += p[0];
                    g += p[1];
                    b += p[2];
                    ++n;
                }
            }
            int64_t cb = (128 * 65536 * n + (-11059 * r - 21709 * g + 32768 * b) + 32768 * n) / (65536 * n);
            int64_t cr = (128 * 65536 * n + (32768 * r - 27439 * g - 5329 * b) + 32768 * n) / (65536 * n);
            dst[2 * cx] = static_cast<uint8_t>(std::clamp<int64_t>(cb, 0, 255));
            dst[2 * cx + 1] = static_cast<uint8_t>(std::clamp<int64_t>(cr, 0, 255));
        }
    }
    return buf;
}

bool readJpegSize(const uint8_t* data, size_t size, int& width, int& height, std::string& error) {
    TjHandle tj(tjInitDecompress());
    if (!tj.h) {
        error = "cannot start the JPEG decoder";
        return false;
    }
    if (size == 0 || size > kMaxImageFileBytes) {
        error = "not a JPEG image (empty or too large)";
        return false;
    }
    int subsamp = 0, colorspace = 0;
    if (tjDecompressHeader3(tj.h, data, static_cast<unsigned long>(size), &width, &height, &subsamp, &colorspace) !=
        0) {
        error = "not a valid JPEG image: " + tjError(tj.h);
        return false;
    }
    if (width <= 0 || height <= 0) {
        error = "not a valid JPEG image: no image size in its header";
        return false;
    }
    if (width > kMaxImageSide || height > kMaxImageSide) {
        error = "JPEG image size " + std::to_string(width) + "x" + std::to_string(height) + " out of range";
        return false;
    }
    return true;
}

PixelBufferRef decodeJpegToNV12(const uint8_t* data, size_t size, std::string& error) {
    int w = 0, h = 0;
    if (!readJpegSize(data, size, w, h, error)) return nullptr;
    TjHandle tj(tjInitDecompress());
    if (!tj.h) {
        error = "cannot start the JPEG decoder";
        return nullptr;
    }
    int hw = 0, hh = 0, subsamp = -1, colorspace = -1;
    tjDecompressHeader3(tj.h, data, static_cast<unsigned long>(size), &hw, &hh, &subsamp, &colorspace);
    if (subsamp == TJSAMP_420 && colorspace == TJCS_YCbCr) {
        // A 4:2:0 JPEG already holds full-range BT.601 planes: take them as
        // they are, luma straight into the buffer, chroma interleaved.
        PixelBufferRef buf = PixelBuffer::create(static_cast<size_t>(w), static_cast<size_t>(h),
                                                 kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
        if (!buf) {
            error = "cannot create a pixel buffer";
            return nullptr;
        }
        const size_t cw = (static_cast<size_t>(w) + 1) / 2, ch = (static_cast<size_t>(h) + 1) / 2;
        std::vector<uint8_t> cb(cw * ch), cr(cw * ch);
        PixelBufferLock lock(*buf, 0);
        unsigned char* planes[3] = {buf->baseAddressOfPlane(0), cb.data(), cr.data()};
        int strides[3] = {static_cast<int>(buf->bytesPerRowOfPlane(0)), static_cast<int>(cw), static_cast<int>(cw)};
        uint8_t* interleaved = buf->baseAddressOfPlane(1);
        if (!planes[0] || !interleaved) {
            error = "pixel buffer memory unavailable";
            return nullptr;
        }
        if (tjDecompressToYUVPlanes(tj.h, data, static_cast<unsigned long>(size), planes, w, strides, h, 0) != 0 &&
            tjGetErrorCode(tj.h) != TJERR_WARNING) {
            error = "cannot decode JPEG image: " + tjError(tj.h);
            return nullptr;
        }
        for (size_t y = 0; y < ch; ++y) {
            uint8_t* row = interleaved + y * buf->bytesPerRowOfPlane(1);
            for (size_t x = 0; x < cw; ++x) {
                row[2 * x] = cb[y * cw + x];
                row[2 * x + 1] = cr[y * cw + x];
            }
        }
        return buf;
    }
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
    if (tjDecompress2(tj.h, data, static_cast<unsigned long>(size), rgb.data(), w, w * 3, h, TJPF_RGB, 0) != 0) {
        // A warning (a truncated file, say) still leaves a usable image; an
        // error does not.
        if (tjGetErrorCode(tj.h) != TJERR_WARNING) {
            error = "cannot decode JPEG image: " + tjError(tj.h);
            return nullptr;
        }
    }
    PixelBufferRef buf = nv12FromRGB(rgb.data(), w, h, static_cast<size_t>(w) * 3);
    if (!buf) error = "cannot create a pixel buffer";
    return buf;
}

bool encodeRGBToJpeg(const uint8_t* rgb, int width, int height, size_t rgbStride, int quality,
                     std::vector<uint8_t>& jpeg, std::string& error) {
    if (!rgb || width <= 0 || height <= 0 || width > kMaxImageSide || height > kMaxImageSide) {
        error = "cannot encode an empty or oversized image";
        return false;
    }
    TjHandle tj(tjInitCompress());
    if (!tj.h) {
        error = "cannot start the JPEG encoder";
        return false;
    }
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    int rc = tjCompress2(tj.h, rgb, width, static_cast<int>(rgbStride), height, TJPF_RGB, &out, &outSize, TJSAMP_420,
                         std::clamp(quality, 1, 100), 0);
    return takeCompressed(tj.h, rc, out, outSize, jpeg, error);
}

bool encodeNV12ToJpeg(const PixelBuffer& image, int quality, std::vector<uint8_t>& jpeg, std::string& error) {
    const uint32_t format = image.pixelFormatType();
    const int width = static_cast<int>(image.width()), height = static_cast<int>(image.height());
    if ((format != kCVPixelFormatType_420YpCbCr8BiPlanarFullRange &&
         format != kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange) ||
        image.planeCount() != 2) {
        error = "cannot encode a pixel buffer that is not 4:2:0 with two planes";
        return false;
    }
    if (width <= 0 || height <= 0 || width > kMaxImageSide || height > kMaxImageSide) {
        error = "cannot encode an empty or oversized image";
        return false;
    }
    PixelBufferLock lock(const_cast<PixelBuffer&>(image), kCVPixelBufferLock_ReadOnly);  // read only
    const uint8_t* luma = image.baseAddressOfPlane(0);
    const uint8_t* chroma = image.baseAddressOfPlane(1);
    if (!luma || !chroma) {
        error = "cannot read the pixel buffer";
        return false;
    }
    // The compressor takes separate Cb and Cr planes.
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    std::vector<uint8_t> cb(static_cast<size_t>(cw) * ch), cr(cb.size());
    const size_t chromaStride = image.bytesPerRowOfPlane(1);
    for (int y = 0; y < ch; ++y) {
        const uint8_t* row = chroma + y * chromaStride;
        for (int x = 0; x < cw; ++x) {
            cb[static_cast<size_t>(y) * cw + x] = row[2 * x];
            cr[static_cast<size_t>(y) * cw + x] = row[2 * x + 1];
        }
    }
    TjHandle tj(tjInitCompress());
    if (!tj.h) {
        error = "cannot start the JPEG encoder";
        return false;
    }
    const unsigned char* planes[3] = {luma, cb.data(), cr.data()};
    int strides[3] = {static_cast<int>(image.bytesPerRowOfPlane(0)), cw, cw};
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    int rc = tjCompressFromYUVPlanes(tj.h, planes, width, strides, height, TJSAMP_420, &out, &outSize,
                                     std::clamp(quality, 1, 100), 0);
    return takeCompressed(tj.h, rc, out, outSize, jpeg, error);
}

PixelBufferRef loadNV12File(const std::string& path, int width, int height, std::string& error) {
    std::vector<uint8_t> bytes;
    if (!readFile(path, kMaxImageFileBytes, bytes, error)) return nullptr;
    if (width <= 0 || height <= 0 || bytes.size() != nv12Bytes(width, height)) {
        error = path + ": NV12 file has " + std::to_string(bytes.size()) + " bytes, a " + std::to_string(width) + "x" +
                std::to_string(height) + " image needs " + std::to_string(nv12Bytes(width, height));
        return nullptr;
    }
    PixelBufferRef buf = PixelBuffer::create(static_cast<size_t>(width), static_cast<size_t>(height),
                                             kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    if (!buf) {
        error = path + ": cannot create a pixel buffer";
        return nullptr;
    }
    PixelBufferLock lock(*buf, 0);
    const uint8_t* src = bytes.data();
    for (size_t plane = 0; plane < 2; ++plane) {
        uint8_t* base = buf->baseAddressOfPlane(plane);
        if (!base) {
            error = path + ": pixel buffer memory unavailable";
            return nullptr;
        }
        size_t rowBytes = buf->widthOfPlane(plane) * (plane == 0 ? 1 : 2);
        for (size_t row = 0; row < buf->heightOfPlane(plane); ++row) {
            std::memcpy(base + row * buf->bytesPerRowOfPlane(plane), src, rowBytes);
            src += rowBytes;
        }
    }
    return buf;
}

std::shared_ptr<const SessionRecording> SessionRecording::load(const std::string& directory, std::string& error,
                                                               const SessionLoadOptions& options) {
    std::vector<uint8_t> bytes;
    std::string path = directory + "/session.json";
    if (!readFile(path, kMaxJsonBytes, bytes, error)) return nullptr;
    return parse(std::string(bytes.begin(), bytes.end()), directory, error, options);
}

std::shared_ptr<const SessionRecording> SessionRecording::parse(const std::string& jsonText,
                                                                const std::string& directory, std::string& error,
                                                                const SessionLoadOptions& options) {
    error.clear();
    json root = json::parse(jsonText, nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded()) {
        error = "session.json: not valid JSON";
        return nullptr;
    }
    Reader rd{error};
    if (!root.is_object()) return rd.fail("", "the top level must be an object"), nullptr;

    std::shared_ptr<SessionRecording> rec(new SessionRecording());
    rec->directory_ = directory;

    double version = 1;
    if (!rd.number(root, "version", "", version, /*required=*/false)) return nullptr;
    if (version != 1) return rd.fail("", "unsupported version " + std::to_string(version)), nullptr;

    auto sizeIt = root.find("imageSize");
    if (sizeIt == root.end() || !sizeIt->is_object()) return rd.fail("", "missing \"imageSize\" object"), nullptr;
    double w = 0, h = 0;
    if (!rd.number(*sizeIt, "width", "imageSize: ", w) || !rd.number(*sizeIt, "height", "imageSize: ", h))
        return nullptr;
    if (w != std::floor(w) || h != std::floor(h) || w < 1 || h < 1 || w > kMaxImageSide || h > kMaxImageSide)
        return rd.fail("imageSize: ", "width and height must be whole numbers from 1 to 16384"), nullptr;
    rec->width_ = static_cast<int>(w);
    rec->height_ = static_cast<int>(h);

    CameraIntrinsics sessionK;
    auto kIt = root.find("intrinsics");
    if (kIt == root.end()) return rd.fail("", "missing \"intrinsics\""), nullptr;
    if (!rd.intrinsics(*kIt, "", sessionK)) return nullptr;

    auto framesIt = root.find("frames");
    if (framesIt == root.end() || !framesIt->is_array() || framesIt->empty())
        return rd.fail("", "\"frames\" must be a non-empty array"), nullptr;

    std::vector<std::string> alivePlanes, aliveAnchors;
    for (size_t i = 0; i < framesIt->size(); ++i) {
        const json& jf = (*framesIt)[i];
        const std::string where = "frame " + std::to_string(i) + ": ";
        if (!jf.is_object()) return rd.fail(where, "must be an object"), nullptr;
        RecordedFrame f;
        if (!rd.number(jf, "timestamp", where, f.timestamp)) return nullptr;
        if (i > 0 && f.timestamp < rec->frames_.back().timestamp)
            return rd.fail(where, "timestamps must not decrease"), nullptr;
        float t[16];
        if (!rd.numbers(jf, "transform", where, 16, t)) return nullptr;
        f.transform = float4x4::fromElements(t);
        f.intrinsics = sessionK;
        if (auto it = jf.find("intrinsics"); it != jf.end() && !rd.intrinsics(*it, where, f.intrinsics)) return nullptr;
        if (!rd.enumValue(jf, "trackingState", where, kStateNames, f.trackingState) ||
            !rd.enumValue(jf, "trackingStateReason", where, kReasonNames, f.trackingStateReason))
            return nullptr;

        if (auto it = jf.find("image"); it != jf.end()) {
            if (!it->is_string() || it->get_ref<const std::string&>().empty())
                return rd.fail(where, "\"image\" must be a file name"), nullptr;
            const std::string& name = it->get_ref<const std::string&>();
            f.imagePath = name.front() == '/' ? name : directory + "/" + name;
        }

        // Plane changes ("planes") and the changes of other anchors ("anchors":
        // what a recorder saw a page or a person place) share one form.
        for (const bool planes : {true, false}) {
            const char* key = planes ? "planes" : "anchors";
            const std::string noun = planes ? "plane" : "anchor";
            std::vector<std::string>& alive = planes ? alivePlanes : aliveAnchors;
            auto it = jf.find(key);
            if (it == jf.end()) continue;
            if (!it->is_array()) return rd.fail(where, "\"" + std::string(key) + "\" must be an array"), nullptr;
            for (size_t p = 0; p < it->size(); ++p) {
                const json& jp = (*it)[p];
                const std::string pw = where + noun + " change " + std::to_string(p) + ": ";
                if (!jp.is_object()) return rd.fail(pw, "must be an object"), nullptr;
                PlaneChange c;
                auto change = jp.find("change");
                auto id = jp.find("id");
                if (change == jp.end() || !change->is_string())
                    return rd.fail(pw, "\"change\" must be \"add\", \"update\" or \"remove\""), nullptr;
                if (id == jp.end() || !id->is_string() || id->get_ref<const std::string&>().empty())
                    return rd.fail(pw, "\"id\" must be a non-empty text"), nullptr;
                c.id = id->get<std::string>();
                const std::string& kind = change->get_ref<const std::string&>();
                auto present = std::find(alive.begin(), alive.end(), c.id);
                const std::string named = noun + " \"" + c.id + "\"";
                if (kind == "add") {
                    c.kind = PlaneChangeKind::Add;
                    if (present != alive.end()) return rd.fail(pw, named + " is added twice"), nullptr;
                    alive.push_back(c.id);
                } else if (kind == "update") {
                    c.kind = PlaneChangeKind::Update;
                    if (present == alive.end()) return rd.fail(pw, named + " is updated before it is added"), nullptr;
                } else if (kind == "remove") {
                    c.kind = PlaneChangeKind::Remove;
                    if (present == alive.end()) return rd.fail(pw, named + " is removed but not present"), nullptr;
                    alive.erase(present);
                } else {
                    return rd.fail(pw, "\"change\" must be \"add\", \"update\" or \"remove\""), nullptr;
                }
                if (c.kind != PlaneChangeKind::Remove) {
                    float pt[16];
                    if (!rd.numbers(jp, "transform", pw, 16, pt)) return nullptr;
                    c.transform = float4x4::fromElements(pt);
                }
                if (c.kind != PlaneChangeKind::Remove && planes) {
                    float ce[3], ex[3];
                    if (!rd.numbers(jp, "center", pw, 3, ce) || !rd.numbers(jp, "extent", pw, 3, ex)) return nullptr;
                    if (ex[0] < 0 || ex[1] < 0 || ex[2] < 0)
                        return rd.fail(pw, "\"extent\" must not be negative"), nullptr;
                    c.center = {ce[0], ce[1], ce[2]};
                    c.extent = {ex[0], ex[1], ex[2]};
                }
                (planes ? f.planeChanges : f.anchorChanges).push_back(std::move(c));
            }
        }
        rec->frames_.push_back(std::move(f));
    }

    // Frame spacing: the median of the timestamp steps.
    if (rec->frames_.size() >= 2) {
        std::vector<double> steps;
        for (size_t i = 1; i < rec->frames_.size(); ++i)
            steps.push_back(rec->frames_[i].timestamp - rec->frames_[i - 1].timestamp);
        std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
        if (steps[steps.size() / 2] > 0) rec->frameInterval_ = steps[steps.size() / 2];
    }

    // Check every image file; decode them now when they fit the budget.
    size_t withImages = 0;
    for (const RecordedFrame& f : rec->frames_) withImages += f.imagePath.empty() ? 0 : 1;
    const bool preload = withImages * nv12Bytes(rec->width_, rec->height_) <= options.preloadLimitBytes;
    for (size_t i = 0; i < rec->frames_.size(); ++i) {
        RecordedFrame& f = rec->frames_[i];
        if (f.imagePath.empty()) continue;
        std::vector<uint8_t> bytes;
        std::string err;
        const std::string where = "frame " + std::to_string(i) + ": ";
        if (!readFile(f.imagePath, kMaxImageFileBytes, bytes, err)) {
            error = where + err;
            return nullptr;
        }
        f.imageKind = imageKindOf(f.imagePath, bytes);
        if (f.imageKind == ImageFileKind::None) {
            error = where + f.imagePath + ": not a JPEG image or an .nv12 file";
            return nullptr;
        }
        if (f.imageKind == ImageFileKind::NV12) {
            if (bytes.size() != nv12Bytes(rec->width_, rec->height_)) {
                error = where + f.imagePath + ": NV12 file has " + std::to_string(bytes.size()) + " bytes, a " +
                        std::to_string(rec->width_) + "x" + std::to_string(rec->height_) + " image needs " +
                        std::to_string(nv12Bytes(rec->width_, rec->height_));
                return nullptr;
            }
            if (preload && !(f.image = loadNV12File(f.imagePath, rec->width_, rec->height_, err))) {
                error = where + err;
                return nullptr;
            }
            continue;
        }
        int jw = 0, jh = 0;
        if (!readJpegSize(bytes.data(), bytes.size(), jw, jh, err)) {
            error = where + f.imagePath + ": " + err;
            return nullptr;
        }
        if (jw != rec->width_ || jh != rec->height_) {
            error = where + f.imagePath + ": image is " + std::to_string(jw) + "x" + std::to_string(jh) +
                    ", the session's imageSize is " + std::to_string(rec->width_) + "x" + std::to_string(rec->height_);
            return nullptr;
        }
        if (preload && !(f.image = decodeJpegToNV12(bytes.data(), bytes.size(), err))) {
            error = where + f.imagePath + ": " + err;
            return nullptr;
        }
    }
    return rec;
}

PixelBufferRef SessionRecording::imageForFrame(size_t index, std::string& error) const {
    error.clear();
    if (index >= frames_.size()) {
        error = "no frame " + std::to_string(index);
        return nullptr;
    }
    const RecordedFrame& f = frames_[index];
    if (f.image) return f.image;
    if (f.imagePath.empty()) return nullptr;
    if (f.imageKind == ImageFileKind::NV12) return loadNV12File(f.imagePath, width_, height_, error);
    std::vector<uint8_t> bytes;
    if (!readFile(f.imagePath, kMaxImageFileBytes, bytes, error)) return nullptr;
    std::string err;
    PixelBufferRef buf = decodeJpegToNV12(bytes.data(), bytes.size(), err);
    if (buf && (static_cast<int>(buf->width()) != width_ || static_cast<int>(buf->height()) != height_)) {
        err = "image size changed since the session was loaded";
        buf = nullptr;
    }
    if (!buf) error = f.imagePath + ": " + err;
    return buf;
}

}  // namespace tevra::sim
