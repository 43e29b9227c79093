#include "PrintBoard.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/live/BoardImage.h"

namespace tevra::live {

namespace {

constexpr double kMetresPerInch = 0.0254;
constexpr double kPointsPerInch = 72;
// The longest side of an image the PNG may have.
constexpr int kMaxPngSide = 20000;
// The pattern embedded in the PDF: at most 600 dpi and 4000 pixels on its
// longer side, drawn without smoothing so the edges stay sharp.
constexpr double kPdfMaxDotsPerInch = 600;
constexpr double kPdfMaxSide = 4000;

std::string named(const std::string& path) {
    std::string out;
    for (char c : path.substr(0, 120)) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    return "\"" + out + (path.size() > 120 ? "...\"" : "\"");
}

uint32_t crc32(const uint8_t* bytes, size_t size) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) c = table[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void putBigEndian(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// The PNG's pHYs chunk: `pixelsPerMetre` on both axes.
std::vector<uint8_t> physicalSizeChunk(uint32_t pixelsPerMetre) {
    std::vector<uint8_t> chunk;
    putBigEndian(chunk, 9);
    for (char c : {'p', 'H', 'Y', 's'}) chunk.push_back(static_cast<uint8_t>(c));
    putBigEndian(chunk, pixelsPerMetre);
    putBigEndian(chunk, pixelsPerMetre);
    chunk.push_back(1);  // the unit is the metre
    putBigEndian(chunk, crc32(chunk.data() + 4, chunk.size() - 4));
    return chunk;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = named(path) + " cannot be written (" + std::strerror(errno) + ")";
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    int writeErrno = errno;
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        writeErrno = errno;
    }
    if (!ok) error = named(path) + " cannot be written (" + std::strerror(writeErrno) + ")";
    return ok;
}

double points(double metres) { return metres / kMetresPerInch * kPointsPerInch; }

}  // namespace

bool writeBoardPng(const BoardSpec& board, double dotsPerInch, const std::string& path, std::string& error) {
    if (!std::isfinite(dotsPerInch) || dotsPerInch < 72 || dotsPerInch > 1200) {
        error = "the resolution must be from 72 to 1200 dpi";
        return false;
    }
    // pHYs holds whole pixels per metre; the pattern is drawn at exactly that.
    const auto pixelsPerMetre = static_cast<uint32_t>(std::lround(dotsPerInch / kMetresPerInch));
    const double longest = std::max(board.width(), board.height()) + 2 * kPrintMargin;
    if (longest * pixelsPerMetre > kMaxPngSide) {
        error = "the board at " + std::to_string(std::lround(dotsPerInch)) + " dpi would be over " +
                std::to_string(kMaxPngSide) + " pixels across; lower --dpi";
        return false;
    }
    const cv::Mat pattern = drawBoardImage(board, pixelsPerMetre);
    const int margin = static_cast<int>(std::lround(kPrintMargin * pixelsPerMetre));
    cv::Mat page;
    cv::copyMakeBorder(pattern, page, margin, margin, margin, margin, cv::BORDER_CONSTANT, cv::Scalar(255));
    std::vector<uint8_t> png;
    if (!cv::imencode(".png", page, png) || png.size() < 33 || std::memcmp(png.data() + 12, "IHDR", 4) != 0) {
        error = "the board image could not be encoded as PNG";
        return false;
    }
    // The signature (8 bytes) and IHDR (25) come first; pHYs goes before the image data.
    const std::vector<uint8_t> chunk = physicalSizeChunk(pixelsPerMetre);
    png.insert(png.begin() + 33, chunk.begin(), chunk.end());
    return writeFile(path, png, error);
}

bool writeBoardPdf(const BoardSpec& board, const std::string& path, std::string& error) {
    const double width = board.width(), height = board.height();
    const double pixelsPerMetre = std::min(kPdfMaxDotsPerInch / kMetresPerInch, kPdfMaxSide / std::max(width, height));
    const cv::Mat pattern = drawBoardImage(board, pixelsPerMetre);

    cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, pattern.cols, pattern.rows);
    if (cairo_surface_status(image) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(image);
        error = "the board image is too large for the PDF";
        return false;
    }
    cairo_surface_flush(image);
    unsigned char* data = cairo_image_surface_get_data(image);
    const int stride = cairo_image_surface_get_stride(image);
    for (int y = 0; y < pattern.rows; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(data + static_cast<ptrdiff_t>(y) * stride);
        const uint8_t* grey = pattern.ptr<uint8_t>(y);
        for (int x = 0; x < pattern.cols; ++x) row[x] = grey[x] * 0x010101u;
    }
    cairo_surface_mark_dirty(image);

    const double pageWidth = points(width + 2 * kPrintMargin);
    const double pageHeight = points(height + 2 * kPrintMargin + kPrintCaptionBand);
    cairo_surface_t* pdf = cairo_pdf_surface_create(path.c_str(), pageWidth, pageHeight);
    cairo_t* cr = cairo_create(pdf);

    cairo_save(cr);
    cairo_translate(cr, points(kPrintMargin), points(kPrintMargin));
    cairo_scale(cr, points(width) / pattern.cols, points(height) / pattern.rows);
    cairo_set_source_surface(cr, image, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    cairo_rectangle(cr, 0, 0, pattern.cols, pattern.rows);
    cairo_fill(cr);
    cairo_restore(cr);

    char size[64];
    std::snprintf(size, sizeof size, "%.1f x %.1f cm", width * 100, height * 100);
    const std::string caption = board.text() + "   " + size + "   print at 100 %";
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    double fontSize = 8;
    cairo_set_font_size(cr, fontSize);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, caption.c_str(), &extents);
    const double room = points(width);
    if (extents.x_advance > room && extents.x_advance > 0) {
        fontSize = std::max(3.0, fontSize * room / extents.x_advance);
        cairo_set_font_size(cr, fontSize);
    }
    cairo_move_to(cr, points(kPrintMargin), points(height + 2 * kPrintMargin + kPrintCaptionBand / 2) + fontSize / 3);
    cairo_show_text(cr, caption.c_str());
    cairo_show_page(cr);

    const cairo_status_t drawn = cairo_status(cr);
    cairo_destroy(cr);
    cairo_surface_finish(pdf);
    const cairo_status_t written = cairo_surface_status(pdf);
    cairo_surface_destroy(pdf);
    cairo_surface_destroy(image);
    // The font caches cairo and fontconfig filled for the caption are freed
    // here, not left to the process's end.
    cairo_debug_reset_static_data();
    FcFini();
    const cairo_status_t status = drawn != CAIRO_STATUS_SUCCESS ? drawn : written;
    if (status != CAIRO_STATUS_SUCCESS) {
        error = named(path) + " cannot be written (" + cairo_status_to_string(status) + ")";
        return false;
    }
    return true;
}

}  // namespace tevra::live
