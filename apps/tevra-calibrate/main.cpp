// tevra-calibrate: calibrates a camera from views of a printed ChArUco board,
// and prints the board.
//
//   tevra-calibrate --camera SPEC --board SPEC --out FILE [--views N]
//                   [--size WxH] [--timeout S]
//   tevra-calibrate --print-board FILE.png|FILE.pdf [--board SPEC] [--dpi D]
//
// In:  camera images (platform/live/GstCameraSource.h); every image that adds
//      a view (platform/live/CharucoCalibrator.h) is kept until N views, the
//      timeout or the end of the source.
// Out: FILE in the calibration format (platform/live/CameraCalibration.h) and
//      the rms error and intrinsics on standard output; or the printable board.
// Fails: exit status 1 with one line on standard error (the camera does not
//      start, too few views, a file that cannot be written); 2 for a bad
//      command line.
// Threads: the camera's own thread finds the board; the main thread waits.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "base/ThreadAnnotations.h"
#include "platform/PixelBuffer.h"
#include "platform/live/Board.h"
#include "platform/live/CameraCalibration.h"
#include "platform/live/CharucoCalibrator.h"
#include "platform/live/GstCameraSource.h"

#include "PrintBoard.h"

namespace {

using namespace tevra;
using namespace tevra::live;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: tevra-calibrate --camera SPEC [--board SPEC] --out FILE [--views N] [--size WxH] [--timeout S]\n"
    "       tevra-calibrate --print-board FILE.png|FILE.pdf [--board SPEC] [--dpi D]\n"
    "\n"
    "Calibrates a camera from views of a printed ChArUco board and writes the\n"
    "calibration file the live session reads; or writes the board to print.\n"
    "\n"
    "  --camera SPEC       v4l2:/dev/video0, file:PATH (a video, or frames/%06d.png), test\n"
    "  --board SPEC        charuco:COLSxROWS:SQUARE:MARKER[:DICTIONARY] (metres), or \"default\"\n"
    "                      (charuco:5x7:0.04:0.03:DICT_5X5_100, 20 x 28 cm, fits A4)\n"
    "  --out FILE          the calibration file to write (JSON)\n"
    "  --views N           views to collect, 8 to 500 (default 20); hold the board at\n"
    "                      varied distances, tilts and places in the image\n"
    "  --size WxH          request this image size from the camera\n"
    "  --timeout S         stop collecting after S seconds, 1 to 86400 (default 300),\n"
    "                      and calibrate from the views so far\n"
    "  --print-board FILE  write the board: a PNG at --dpi that prints at its true size,\n"
    "                      or a PDF page of the exact size; print either at 100 %\n"
    "  --dpi D             the PNG's resolution, 72 to 1200 (default 300)\n"
    "  --help              this text\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 bad command line.\n";

int usage(const std::string& why) {
    std::fprintf(stderr, "tevra-calibrate: %s (--help lists the options)\n", why.c_str());
    return kExitUsage;
}

int failure(const std::string& why) {
    std::fprintf(stderr, "tevra-calibrate: %s\n", why.c_str());
    return kExitFailure;
}

bool endsWith(const std::string& s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::optional<long> wholeNumber(const std::string& text, long low, long high) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (v < low || v > high) return std::nullopt;
    return v;
}

std::optional<double> positiveNumber(const std::string& text, double low, double high) {
    if (text.empty() || text.size() > 24) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v) || v < low || v > high) return std::nullopt;
    return v;
}

struct Options {
    std::string camera, board = "default", out, printBoard;
    int views = 20, width = 0, height = 0;
    double timeout = 300, dpi = 300;
    bool help = false;
};

// Parses the command line; an empty string when it is sound, else why not.
std::string parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i], value;
        if (name == "--help" || name == "-h") {
            o.help = true;
            continue;
        }
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        } else if (name.rfind("--", 0) == 0 && i + 1 < argc) {
            value = argv[++i];
        } else if (name.rfind("--", 0) == 0) {
            return name + " needs a value";
        } else {
            return "unexpected argument \"" + name.substr(0, 80) + "\"";
        }
        if (name == "--camera") {
            o.camera = value;
        } else if (name == "--board") {
            o.board = value;
        } else if (name == "--out") {
            o.out = value;
        } else if (name == "--print-board") {
            o.printBoard = value;
        } else if (name == "--views") {
            const auto v = wholeNumber(value, CharucoCalibrator::kMinimumViews, 500);
            if (!v) return "--views must be a whole number from 8 to 500";
            o.views = static_cast<int>(*v);
        } else if (name == "--size") {
            const size_t x = value.find('x');
            const auto w = x == std::string::npos ? std::nullopt : wholeNumber(value.substr(0, x), 16, 16384);
            const auto h = x == std::string::npos ? std::nullopt : wholeNumber(value.substr(x + 1), 16, 16384);
            if (!w || !h) return "--size must be WxH, each from 16 to 16384, such as 1280x720";
            o.width = static_cast<int>(*w);
            o.height = static_cast<int>(*h);
        } else if (name == "--timeout") {
            const auto v = positiveNumber(value, 1, 86400);
            if (!v) return "--timeout must be seconds from 1 to 86400";
            o.timeout = *v;
        } else if (name == "--dpi") {
            const auto v = positiveNumber(value, 72, 1200);
            if (!v) return "--dpi must be from 72 to 1200";
            o.dpi = *v;
        } else {
            return "unknown option \"" + name.substr(0, 80) + "\"";
        }
    }
    return {};
}

int printBoard(const Options& o, const BoardSpec& board) {
    std::string error;
    const bool pdf = endsWith(o.printBoard, ".pdf") || endsWith(o.printBoard, ".PDF");
    const bool ok = pdf ? writeBoardPdf(board, o.printBoard, error) : writeBoardPng(board, o.dpi, o.printBoard, error);
    if (!ok) return failure(error);
    std::printf("wrote %s: %s, %.1f x %.1f cm; print at 100 %%\n", o.printBoard.c_str(), board.text().c_str(),
                board.width() * 100, board.height() * 100);
    return 0;
}

// What the camera's thread and the main thread share while views are taken.
struct Collection {
    Mutex mutex;
    ConditionVariable changed;
    bool done TEVRA_GUARDED_BY(mutex) = false;
    std::string lostReason TEVRA_GUARDED_BY(mutex);
};

int calibrate(const Options& o, const BoardSpec& board) {
    std::string error;
    CameraSourceOptions sourceOptions;
    sourceOptions.width = o.width;
    sourceOptions.height = o.height;
    // A file is read as fast as views are taken; a camera runs at its own rate.
    sourceOptions.realTime = false;
    auto source = makeCameraSource(o.camera, sourceOptions, error);
    if (!source) return usage(error);

    // Only the camera's thread touches the calibrator until stop() returns.
    CharucoCalibrator calibrator(board);
    Collection collection;
    double lastRefusal = -1e9;
    auto onSample = [&](CameraSample sample) {
        {
            MutexLock lock(collection.mutex);
            if (collection.done) return;
        }
        if (!sample.image || sample.image->widthOfPlane(0) == 0) return;
        PixelBuffer& image = *sample.image;
        PixelBufferLock pixels(image, kCVPixelBufferLock_ReadOnly);
        const CalibrationViewResult result =
            calibrator.addView(image.baseAddressOfPlane(0), static_cast<int>(image.widthOfPlane(0)),
                               static_cast<int>(image.heightOfPlane(0)), image.bytesPerRowOfPlane(0));
        if (result.kept) {
            std::printf("%s, %d of %d\n", result.text.c_str(), calibrator.views(), o.views);
        } else if (sample.timestamp - lastRefusal >= 2) {
            // Why images are not taken, now and then rather than for every image.
            std::printf("  %s\n", result.text.c_str());
            lastRefusal = sample.timestamp;
        }
        std::fflush(stdout);
        if (calibrator.views() >= o.views) {
            MutexLock lock(collection.mutex);
            collection.done = true;
            collection.changed.notify_all();
        }
    };
    auto onLost = [&](const std::string& reason) {
        MutexLock lock(collection.mutex);
        collection.lostReason = reason;
        collection.done = true;
        collection.changed.notify_all();
    };
    if (!source->start(onSample, onLost, error)) return failure(source->description() + ": " + error);
    std::printf("collecting %d views from %s; show the board at varied distances, tilts and places\n", o.views,
                source->description().c_str());
    std::fflush(stdout);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(o.timeout);
    bool timedOut = false;
    std::string lostReason;
    {
        MutexLock lock(collection.mutex);
        while (!collection.done && !timedOut) timedOut = !collection.changed.waitUntil(collection.mutex, deadline);
        collection.done = true;
        lostReason = collection.lostReason;
    }
    source->stop();
    if (timedOut) std::printf("stopped after %.0f s with %d views\n", o.timeout, calibrator.views());
    if (!lostReason.empty()) std::printf("the camera source ended: %s\n", lostReason.c_str());

    const auto result = calibrator.calibrate(error);
    if (!result) return failure(error);
    if (!saveCameraCalibration(*result, o.out, error)) return failure(error);
    std::printf("rms %.3f px over %d views at %dx%d\n", result->rms, result->views, result->width, result->height);
    std::printf("fx %.2f  fy %.2f  cx %.2f  cy %.2f\n", result->fx, result->fy, result->cx, result->cy);
    std::printf("distortion");
    for (double k : result->distortion) std::printf(" %.5g", k);
    std::printf("\nwrote %s\n", o.out.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (const std::string why = parse(argc, argv, o); !why.empty()) return usage(why);
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::string error;
    const auto board = parseBoardSpec(o.board, error);
    if (!board) return usage(error);
    if (!o.printBoard.empty()) {
        if (!o.camera.empty() || !o.out.empty()) return usage("--print-board takes no --camera or --out");
        if (!endsWith(o.printBoard, ".png") && !endsWith(o.printBoard, ".PNG") && !endsWith(o.printBoard, ".pdf") &&
            !endsWith(o.printBoard, ".PDF"))
            return usage("--print-board writes a FILE.png or a FILE.pdf");
        return printBoard(o, *board);
    }
    if (o.camera.empty() || o.out.empty()) return usage("--camera and --out are needed (or --print-board)");
    if (board->kind != BoardKind::Charuco) return usage("calibration needs a ChArUco board, not a single marker");
    return calibrate(o, *board);
}
